/* The block-I/O side: device geometry, the block reader and the transfer-buffer faults. */
#include "2.6/tav-2.6.h"
#include "2.6/shim-2.6.h"
#include "2.6/tavlib.h"
#include "kernel/buffer_head.h"
#include "kernel/printk.h"
#include "kernel/sched.h"
#include "kernel/uaccess.h"
#include "kernel/vmalloc.h"

int doModuleUnload(void) { return tavUnload(); }

/*
 * Fills di for the device kdev from its mounted file system and its partition record.
 * di->bdev holds a bdget reference from a success until closeDiskInfo; a copy of di that
 * outlives it (an automap session) takes its own. A failure keeps no reference: a number
 * with no disk behind it would otherwise leave an unbound bdev behind for good. Nor does
 * it keep the number, so that nothing later (a close settling hooks) acts on a device the
 * record never got.
 */
int getDiskInfo(DiskInfo* di, dev_t kdev) {
    closeDiskInfo(di);
    di->kdev = kdev;
    di->bdev = bdget(kdev);

    struct super_block* sb = get_super(di->bdev);
    if (!sb) {
        printk("<3>%s: device major=%d minor=%d not found, getting super block failed\n", __func__,
               static_cast<int>(MAJOR(kdev)), static_cast<int>(MINOR(kdev)));
        closeDiskInfo(di);
        di->kdev = 0;
        return TAV_ERR_NO_DEVICE;
    }
    di->blockSize = static_cast<int>(sb->s_blocksize);
    di->blocksPerPage = di->blockSize > 0 ? 4096 / di->blockSize : 0;
    di->sectorsPerBlock = di->blockSize >> 9;
    if (di->sectorsPerBlock == 0) {
        printk("<4>%s: device %x has bad block size %d\n", __func__, kdev, di->blockSize);
        drop_super(sb);
        closeDiskInfo(di);
        di->kdev = 0;
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
    if (di->bdev) {
        bdput(di->bdev);
        di->bdev = nullptr;
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

/* ==== the block reader, its read requests and the transfer-buffer fault handler ==== */

request_queue_t* getRequestQueue(DiskInfo* di) { return tavGetRequestQueue(di->bdev); }

/*
 * Hands bio to the disk's saved make-request function, past every hook. A bio that cannot
 * reach a driver is ended with an I/O error, so that its waiter wakes and sees it failed.
 * Always 0. Process context; may sleep.
 */
int callRealMRF(Backup* b, struct bio* bio) {
    struct gendisk* disk = bio->bi_bdev ? bio->bi_bdev->bd_disk : nullptr;
    request_queue_t* q = disk ? disk->queue : nullptr;
    if (!q) {
        printk("<3>%s: Block read error: (bdev queue is null) MAJOR=%d MINOR=%d\n", __func__,
               static_cast<int>(MAJOR(b->diskInfo.kdev)), static_cast<int>(MINOR(b->diskInfo.kdev)));
        bio_endio(bio, bio->bi_size, -EIO);
        return 0;
    }
    if (b->diskInfo.realMRF(q, bio)) generic_make_request(bio);
    return 0;
}

/* The request table: one slot per block the largest transfer-buffer area holds. */
int allocateBlockRequests(Backup* b) {
    size_t bytes = static_cast<size_t>(b->diskInfo.blocksPerPage) * static_cast<size_t>(b->maxVMPages) *
                   sizeof(BIORequest*);
    b->mmBIORequests = static_cast<BIORequest**>(vmalloc(bytes));
    if (!b->mmBIORequests) return TAV_ERR_NO_MEMORY;
    memset(b->mmBIORequests, 0, bytes);
    return 0;
}

void freeMMBRs(Backup* b) {
    if (!b->mmBIORequests) return;
    vfree(b->mmBIORequests);
    b->mmBIORequests = nullptr;
}

/* No read-request cache on 2.6 kernels. */
int allocateBRCache(Backup*) { return 0; }
void closeBRCache(Backup*) {}

int isRequestSubmitted(Backup* b, unsigned int slot) { return b->mmBIORequests[slot] != nullptr; }

/* Block slot of a batch lies slot * blockSize bytes into the area. */
char* mmPageAddr(Backup* b, unsigned int slot, BackupVMA* bVMA) {
    unsigned int perPage = b->diskInfo.blocksPerPage;
    char* page = static_cast<char*>(page_address(bVMA->mmPages[slot / perPage]));
    if (perPage == 1) return page;
    return page + static_cast<size_t>(slot % perPage) * static_cast<size_t>(b->diskInfo.blockSize);
}

/* The reference taken here is the I/O's: the completion drops it. */
void initBH(Backup* b, struct buffer_head* bh, struct page* page, unsigned long offset, unsigned int block) {
    bh->b_blocknr = block;
    bh->b_bdev = b->diskInfo.bdev;
    set_bh_page(bh, page, offset);
    bh->b_end_io = tavBHEndIO;
    bh->b_state = (1UL << BH_Lock) | (1UL << BH_Req) | (1UL << BH_Mapped);
    bh->b_size = static_cast<u32>(b->diskInfo.blockSize);
    INIT_LIST_HEAD(&bh->b_assoc_buffers);
    get_bh(bh);
}

/*
 * The sector is absolute on the whole disk: the saved make-request function gets the bio
 * without the block layer's partition remap. Two bio references: the completion's and the
 * owner's (dropped by freeSubmitted or the worker).
 */
void initBIO(Backup* b, struct bio* bio, struct buffer_head* bh) {
    bio->bi_bdev = bh->b_bdev;
    bio->bi_sector = static_cast<sector_t>(bh->b_blocknr) * static_cast<sector_t>(b->diskInfo.sectorsPerBlock) +
                     b->diskInfo.partitionStart;
    bio->bi_io_vec[0].bv_page = bh->b_page;
    bio->bi_io_vec[0].bv_len = static_cast<unsigned int>(b->diskInfo.blockSize);
    bio->bi_io_vec[0].bv_offset = static_cast<unsigned int>(bh_offset(bh));
    bio->bi_vcnt = 1;
    bio->bi_idx = 0;
    bio->bi_private = bh;
    bio->bi_end_io = tavBIOEndIO;
    bio->bi_size = static_cast<unsigned int>(b->diskInfo.blockSize);
    bio_get(bio);
}

/*
 * Interrupt context. Partial completions are only logged: the buffer head is completed and
 * the completion's bio reference dropped once, by the call that ends the whole block.
 */
int tavBIOEndIO(struct bio* bio, unsigned int, int error) {
    if (bio->bi_size) {
        printk("<4>%s: IO info, size=%d\n", __func__, static_cast<int>(bio->bi_size));
        printk("<4>%s: IO error, bio=%p, major=%d, sector=%llu\n", __func__, static_cast<void*>(bio),
               static_cast<int>(MAJOR(bio->bi_bdev->bd_dev)), static_cast<unsigned long long>(bio->bi_sector));
        return 1;
    }
    struct buffer_head* bh = static_cast<struct buffer_head*>(bio->bi_private);
    if (error == -EOPNOTSUPP) {
        set_bit(BIO_EOPNOTSUPP, &bio->bi_flags);
        set_bit(BH_Eopnotsupp, &bh->b_state);
    }
    bh->b_end_io(bh, test_bit(BIO_UPTODATE, &bio->bi_flags));
    bio_put(bio);
    return 0;
}

/*
 * Interrupt context. The waiter may free bh as soon as it is unlocked, so the reference is
 * dropped first and unlock_buffer is the last touch.
 */
void tavBHEndIO(struct buffer_head* bh, int uptodate) {
    if (uptodate) {
        set_buffer_uptodate(bh);
    } else {
        printk("<4>%s: buffer_head I/O error bh=%p, major=%d, minor=%d, block=%llu\n", __func__,
               static_cast<void*>(bh), static_cast<int>(MAJOR(bh->b_bdev->bd_dev)),
               static_cast<int>(MINOR(bh->b_bdev->bd_dev)), static_cast<unsigned long long>(bh->b_blocknr));
    }
    put_bh(bh);
    unlock_buffer(bh);
}

/* Allocations on the read path retry rather than fail: the disk may be under write pressure. */
template <class T, class Alloc>
static T* allocRetrying(Alloc alloc) {
    T* p;
    while (!(p = alloc())) schedule();
    return p;
}

/*
 * Submits one single-block read per slot whose block is not preserved in the cache, all
 * before any is waited for; returns how many. Caller holds bSem. Process context; may sleep.
 */
int readBlocks(Backup* b, unsigned int start, unsigned int count, BackupVMA* bVMA) {
    int submitted = 0;
    unsigned int perPage = b->diskInfo.blocksPerPage;
    /*
     * While the backup is sound a cache-map bit is set only with its record, so an empty
     * cache needs no bitmap test; a block cached meanwhile is overlaid by readCheckCache,
     * and a failure meanwhile fails the batch.
     */
    int anyCached = atomic_read(&b->curCBs) != 0;
    for (unsigned int i = 0; i < count; i++) {
        unsigned int block = start + i;
        if (anyCached && blockInMap(&b->cacheMap, block)) continue;

        BIORequest* br =
            allocRetrying<BIORequest>([] { return static_cast<BIORequest*>(kmalloc(sizeof(BIORequest), GFP_NOIO)); });
        memset(static_cast<void*>(br), 0, sizeof *br);
        b->mmBIORequests[i] = br;
        struct buffer_head* bh = allocRetrying<struct buffer_head>([] { return alloc_buffer_head(GFP_NOIO); });
        struct bio* bio = allocRetrying<struct bio>([] { return bio_alloc(GFP_NOIO, 1); });
        br->bio = bio;
        atomic_inc(&b->curAllocBRs);
        atomic_inc(&b->totalAllocBRs);

        initBH(b, bh, bVMA->mmPages[i / perPage],
               static_cast<unsigned long>(i % perPage) * static_cast<unsigned long>(b->diskInfo.blockSize), block);
        initBIO(b, bio, bh);
        bio->bi_rw = READ;
        callRealMRF(b, bio);
        atomic_inc(&b->totalReadBlocks);
        submitted++;
    }
    return submitted;
}

/* Caller holds bSem. Process context; may sleep. */
static void waitForIO(Backup* b, unsigned int count) {
    for (unsigned int i = 0; i < count; i++) {
        BIORequest* br = b->mmBIORequests[i];
        if (br) wait_on_buffer(static_cast<struct buffer_head*>(br->bio->bi_private));
    }
}

static void markReadFailed(Backup* b, unsigned int blockNum);

/*
 * Waits for the batch in slot order. A failed block reads as zeros; once the block map is
 * loaded, every block waited for counts as delivered, and a failed one is remembered.
 * 0, or TAV_ERR_READ_IO. Caller holds bSem. Process context; may sleep.
 */
int waitForSubmitted(Backup* b, unsigned int start, unsigned int count) {
    int rc = 0;
    for (unsigned int i = 0; i < count; i++) {
        BIORequest* br = b->mmBIORequests[i];
        if (!br) continue;
        struct bio* bio = br->bio;
        wait_on_buffer(static_cast<struct buffer_head*>(bio->bi_private));
        if (!bio_flagged(bio, BIO_UPTODATE)) {
            rc = TAV_ERR_READ_IO;
            for (unsigned short v = 0; v < bio->bi_vcnt; v++) {
                struct bio_vec* bv = &bio->bi_io_vec[v];
                if (bv->bv_offset + bv->bv_len > PAGE_SIZE) {
                    printk("<2>%s: BIO segment greater than page size (offset=%d, length=%d)", __func__,
                           static_cast<int>(bv->bv_offset), static_cast<int>(bv->bv_len));
                    BUG();
                }
                memset(static_cast<char*>(page_address(bv->bv_page)) + bv->bv_offset, 0, bv->bv_len);
            }
        }
        if (backupState(b) == BACKUP_MAP_LOADED) {
            if (!bio_flagged(bio, BIO_UPTODATE)) markReadFailed(b, start + i);
            unSetBlock(&b->blockMap, start + i);
        }
    }
    return rc;
}

/*
 * Once its read failed in BACKUP_MAP_LOADED a block is no longer preserved (its block-map
 * bit goes, as for every delivered block), so no later read can know it for the snapshot's:
 * it keeps failing for this backup. Without memory to remember it the backup fails whole.
 * Caller holds bSem. Process context; may sleep.
 */
static void markReadFailed(Backup* b, unsigned int blockNum) {
    if (!b->failedMap.map) {
        unsigned int pages = 0;
        if (newBlockMap(&b->failedMap, b->blockMap.size, nullptr, 1, &pages)) {
            printk("<3>%s: no memory to remember unreadable block (%u), backup failed\n", __func__, blockNum);
            moveBackupState(b, BACKUP_MAP_LOADED, BACKUP_ERR_BLOCK_READ);
            return;
        }
        atomic_add(static_cast<int>(pages), &b->totalAllocPages);
        atomic_add(static_cast<int>(pages), &b->curAllocPages);
    }
    setBlock(&b->failedMap, blockNum);
}

/*
 * Zeroes every block of the batch whose read failed earlier in BACKUP_MAP_LOADED, whatever
 * this batch found for it; returns how many there were. Caller holds bSem.
 */
int failedReadsInBatch(Backup* b, unsigned int start, unsigned int count, BackupVMA* bVMA) {
    if (!b->failedMap.map) return 0;
    int failed = 0;
    for (unsigned int i = 0; i < count; i++) {
        if (!blockInMap(&b->failedMap, start + i)) continue;
        memset(mmPageAddr(b, i, bVMA), 0, static_cast<size_t>(b->diskInfo.blockSize));
        failed++;
    }
    return failed;
}

void closeFailedMap(Backup* b) {
    if (!b->failedMap.map) return;
    unsigned int freed = 0;
    closeBlockMap(&b->failedMap, &freed);
    atomic_sub(static_cast<int>(freed), &b->curAllocPages);
}

/*
 * Releases the requests of slots 0 .. count - 1; their reads have completed, so the
 * completion has dropped the buffer head's I/O reference already. Caller holds bSem.
 */
void freeSubmitted(Backup* b, unsigned int count) {
    for (unsigned int i = 0; i < count; i++) {
        BIORequest* br = b->mmBIORequests[i];
        if (!br) continue;
        struct bio* bio = br->bio;
        if (bio) {
            struct buffer_head* bh = static_cast<struct buffer_head*>(bio->bi_private);
            if (bh) {
                free_buffer_head(bh);
                bio->bi_private = nullptr;
            }
            bio_put(bio);
            br->bio = nullptr;
            atomic_dec(&b->curAllocBRs);
        }
        kfree(br);
        b->mmBIORequests[i] = nullptr;
    }
}

/*
 * ReadBlocks: count blocks from start, as they stood at the snapshot, into the area mapped
 * at data. Validation failures (2) touch nothing; a failed disk read gives 12 with that
 * block zeroed. Process context; may sleep.
 */
int ioctlReadBlocks(Backup* b, unsigned int start, unsigned int count, void* data) {
    int rc = 0;
    unsigned int end = start + count;
    BackupVMA* bVMA = nullptr;
    int fromDisk, fromCache;

    down(&b->bSem);
    if (backupState(b) != BACKUP_MAP_LOADED && backupState(b) != BACKUP_SNAPSHOT_DONE) {
        printk("<3>%s: state (%d) not valid\n", __func__, static_cast<int>(backupState(b)));
        rc = TAV_ERR_INVALID;
        goto out;
    }
    if (end < start) {
        printk("<3>%s: invalid block read range (%u-%u)\n", __func__, start, end);
        rc = TAV_ERR_INVALID;
        goto out;
    }
    if (backupState(b) == BACKUP_MAP_LOADED) {
        if (!b->blockMap.map) {
            printk("<3>%s: block map is null%s", __func__, "\n");
            rc = TAV_ERR_INVALID;
            goto out;
        }
        if (end > b->blockMap.size) {
            printk("<3>%s: end block number out of block map range%s", __func__, "\n");
            rc = TAV_ERR_INVALID;
            goto out;
        }
    }
    if (!b->cacheMap.map) {
        printk("<3>%s: cache map is null%s", __func__, "\n");
        rc = TAV_ERR_INVALID;
        goto out;
    }
    if (end > b->cacheMap.size) {
        printk("<3>%s: block num (%u) out of range (%u)\n", __func__, end, b->cacheMap.size);
        rc = TAV_ERR_INVALID;
        goto out;
    }
    if (!checkVMA(b, reinterpret_cast<unsigned long>(data), &bVMA)) {
        printk("<3>%s: invalid data pointer%s", __func__, "\n");
        rc = TAV_ERR_INVALID;
        goto out;
    }
    if (static_cast<u64>(count) * static_cast<u64>(b->diskInfo.blockSize) >
        static_cast<u64>(bVMA->vmPages) * PAGE_SIZE) {
        printk("<3>%s: tried to read (%u) number of blocks size (%u) and mmap region can hold (%lu) bytes\n",
               __func__, count, static_cast<unsigned int>(b->diskInfo.blockSize),
               static_cast<unsigned long>(bVMA->vmPages) * PAGE_SIZE);
        rc = TAV_ERR_INVALID;
        goto out;
    }

    fromDisk = readBlocks(b, start, count, bVMA);
    if (static_cast<unsigned int>(fromDisk) < count) {
        fromCache = readFromCache(b, start, count, bVMA);
        if (static_cast<unsigned int>(fromDisk + fromCache) != count) {
            printk("<3>%s: read (%u) blocks from disk and (%u) blocks from cache and expected to read (%u) blocks\n",
                   __func__, static_cast<unsigned int>(fromDisk), static_cast<unsigned int>(fromCache), count);
            /* Nothing of this batch counts as delivered: the block map keeps its bits. */
            waitForIO(b, count);
            freeSubmitted(b, count);
            rc = TAV_ERR_INVALID;
            goto out;
        }
    }
    if (waitForSubmitted(b, start, count) == TAV_ERR_READ_IO) {
        printk("<4>%s: Received an IO error while reading sectors for backup.  Some sectors could not be read%s",
               __func__, "\n");
        rc = TAV_ERR_READ_IO;
    }
    readCheckCache(b, start, count, bVMA);
    if (failedReadsInBatch(b, start, count, bVMA)) {
        if (rc != TAV_ERR_READ_IO)
            printk("<4>%s: Received an IO error while reading sectors for backup.  Some sectors could not be read%s",
                   __func__, "\n");
        rc = TAV_ERR_READ_IO;
    }
    if (fromDisk > 0) freeSubmitted(b, count);
    /*
     * A copy-on-write failure during the batch stops the preserving: a block overwritten
     * after that may have reached this batch new, so the batch cannot count as read.
     */
    if (backupState(b) != BACKUP_MAP_LOADED && backupState(b) != BACKUP_SNAPSHOT_DONE) {
        printk("<3>%s: state (%d) not valid\n", __func__, static_cast<int>(backupState(b)));
        rc = TAV_ERR_INVALID;
    }
out:
    up(&b->bSem);
    return rc;
}

/*
 * Serves a page of a transfer-buffer area. A VMA that is not registered (a fork copy, a
 * split piece) is served from slot 0 when that is mapped. The index counts from the
 * mapping's file offset, so a piece left by a split still sees its own pages. The page's
 * reference is taken under vmSem, so an unmap of the original in another process frees it
 * only after. Caller holds the process's mmap lock. Process context; may sleep.
 */
struct page* tavVMnopage(struct vm_area_struct* vma, unsigned long address, int*) {
    Backup* b = vma->vm_file ? static_cast<Backup*>(vma->vm_file->private_data) : nullptr;
    if (!b) {
        printk("<4>%s: vma does not have associated backup%s", __func__, "\n");
        return NOPAGE_SIGBUS;
    }
    unsigned long index = (address - vma->vm_start) / PAGE_SIZE + vma->vm_pgoff;
    BackupVMA* bVMA = nullptr;
    struct page* page = NOPAGE_SIGBUS;
    down(&b->vmSem);
    if (!findVMA(b, vma, &bVMA)) {
        if (!b->vmAreas[0].vma) {
            printk("<3>%s: vma is not found in associated backup%s", __func__, "\n");
            goto out;
        }
        bVMA = &b->vmAreas[0];
    }
    if (index >= static_cast<unsigned long>(bVMA->vmPages)) {
        printk("<4>%s: Bad vm address%s", __func__, "\n");
        goto out;
    }
    page = bVMA->mmPages[index];
    get_page(page);
out:
    up(&b->vmSem);
    return page;
}
