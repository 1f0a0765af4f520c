/* The block-I/O side: device geometry. */
#include "2.6/tav-2.6.h"
#include "2.6/tavlib.h"
#include "kernel/printk.h"
#include "kernel/uaccess.h"

int doModuleUnload(void) { return tavUnload(); }

/*
 * Fills di for the device kdev from its mounted file system and its partition record.
 * The bdget reference stays in di->bdev for the record's life (automap sessions copy the
 * pointer), so it is never dropped.
 */
int getDiskInfo(DiskInfo* di, dev_t kdev) {
    di->superBlock = nullptr;
    di->kdev = kdev;
    di->bdev = bdget(kdev);

    struct super_block* sb = get_super(di->bdev);
    if (!sb) {
        printk("<3>%s: device major=%d minor=%d not found, getting super block failed\n", __func__,
               static_cast<int>(MAJOR(kdev)), static_cast<int>(MINOR(kdev)));
        return TAV_ERR_NO_DEVICE;
    }
    di->blockSize = static_cast<int>(sb->s_blocksize);
    di->blocksPerPage = di->blockSize > 0 ? 4096 / di->blockSize : 0;
    di->sectorsPerBlock = di->blockSize >> 9;
    if (di->sectorsPerBlock == 0) {
        printk("<4>%s: device %x has bad block size %d\n", __func__, kdev, di->blockSize);
        drop_super(sb);
        return TAV_ERR_GENERAL;
    }
    di->sectorsPerBlockShift = __builtin_ctz(static_cast<unsigned int>(di->sectorsPerBlock));

    struct block_device* bdev = di->bdev;
    di->partitionStart = (bdev->bd_contains == bdev || !bdev->bd_part) ? 0 : bdev->bd_part->start_sect;
    if (bdev->bd_part)
        di->partitionLen = bdev->bd_part->nr_sects;
    else if (bdev->bd_disk)
        di->partitionLen = get_capacity(bdev->bd_disk);
    else
        printk("<4>%s: can't detect device %x size.\n", __func__, kdev);
    di->partitionSizeKB = di->partitionLen >> 1;

    drop_super(sb);
    return 0;
}

void closeDiskInfo(DiskInfo* di) {
    if (di->superBlock) {
        drop_super(di->superBlock);
        di->superBlock = nullptr;
    }
}

/* Takes no session lock: it works for any device and ignores the record. */
int ioctlGetBlockSize(Backup*, dev_t kdev, BlockSize* userBS, unsigned int len) {
    DiskInfo di = {};
    BlockSize bs = {};
    bs.major = MAJOR(kdev);
    bs.minor = MINOR(kdev);

    int rc = getDiskInfo(&di, kdev);
    if (rc) {
        closeDiskInfo(&di);
        return rc;
    }
    bs.blockSize = di.blockSize;
    bs.partitionSizeKB = static_cast<unsigned int>(di.partitionSizeKB);
    unsigned int n = len < sizeof bs ? len : sizeof bs;
    if (copy_to_user(userBS, &bs, n)) {
        printk("<3>%s: copy to user space %s\n", __func__, "failed");
        rc = TAV_ERR_COPY_TO_USER;
    }
    closeDiskInfo(&di);
    return rc;
}
