/* Module init and exit, the control device's file operations and the ioctl dispatcher. */
#include <new>

#include "2.6/shim-2.6.h"
#include "2.6/tavlib.h"
#include "kernel/module.h"
#include "kernel/printk.h"
#include "kernel/uaccess.h"

MODULE_LICENSE("Proprietary");
MODULE_DESCRIPTION("tavguard: point-in-time snapshots and changed-block tracking for block devices");

void initModuleGlobals(void);

struct file_operations tavFileOps = {
    .owner = nullptr, /* set by tavModRegister */
    .read = tavRead,
    .write = tavWrite,
    .poll = tavPoll,
    .ioctl = tavIOCTL,
    .mmap = tavMMAP,
    .open = tavOpen,
    .release = tavRelease,
};

int tavInit(void) {
    initModuleGlobals();
    sema_init(&signalThread, 1);
    int rc = tavModRegister(TAV_MAJOR, TAV_DEVICE_NAME, &tavFileOps);
    if (rc == 0) atomic_set(&initDone, 1);
    printk("<6>%s: tavguard version %d.%d.%d build %d %s\n", __func__, TAV_VERSION_MAJOR, TAV_VERSION_MINOR,
           TAV_VERSION_MINOR2, TAV_VERSION_BUILD, atomic_read(&initDone) == 1 ? "loaded" : "load FAILED");
    return rc;
}

void tavExit(void) {
    doModuleUnload();
    printk("<6>%s: tavguard version %d.%d.%d build %d exiting\n", __func__, TAV_VERSION_MAJOR, TAV_VERSION_MINOR,
           TAV_VERSION_MINOR2, TAV_VERSION_BUILD);
}

module_init(tavInit);
module_exit(tavExit);

int tavUnload(void) {
    if (tavCheckModUse()) return -1;
    closeAllAMS();
    unSetAllMRF(); /* the hooks end with the module */
    unregister_chrdev(TAV_MAJOR, TAV_DEVICE_NAME);
    printk("<6>%s: tavguard version %d.%d.%d build %d ready to be unloaded\n", __func__, TAV_VERSION_MAJOR,
           TAV_VERSION_MINOR, TAV_VERSION_MINOR2, TAV_VERSION_BUILD);
    return 0;
}

/* Drops the change tracking that would outlive every open file; sessions stay as they are. */
int tavShutdown(void) {
    if (tavCheckModUse()) return -1;
    closeAllAMS();
    return 0;
}

/* Failed opens: -ENXIO not initialised, -ENOMEM no record, -ENODEV module going away. */
int tavOpen(struct inode*, struct file* filp) {
    if (atomic_read(&initDone) != 1) return -ENXIO;
    void* mem = kmalloc(sizeof(Backup), GFP_KERNEL);
    if (!mem) return -ENOMEM;
    Backup* b = new (mem) Backup(); /* zero-filled, then the locks set up below */
    sema_init(&b->bSem, 1);
    sema_init(&b->vmSem, 1);
    setBackupState(b, BACKUP_IDLE);
    init_rwsem(&b->writers);
    init_rwsem(&b->cacheUsers);
    spin_lock_init(&b->mrLock);
    filp->private_data = b;
    if (tavModGet()) {
        kfree(b);
        filp->private_data = nullptr;
        return -ENODEV;
    }
    return 0;
}

/* The kernel ignores the result; 2 marks a file without a record. */
int tavRelease(struct inode*, struct file* filp) {
    Backup* b = static_cast<Backup*>(filp->private_data);
    if (!b) return TAV_ERR_INVALID;
    filp->private_data = nullptr;
    closeBackup(b);
    tavModPut();
    return 0;
}

ssize_t tavRead(struct file*, char*, size_t, loff_t*) { return 0; }
ssize_t tavWrite(struct file*, const char*, size_t, loff_t*) { return 0; }
unsigned int tavPoll(struct file*, struct poll_table_struct*) { return 0; }

/* Handlers that later parts of the engine provide. */
int ioctlStartBackup(Backup* b, dev_t kdev, unsigned int totalBlocks, unsigned int maxCacheBlocks);
int ioctlSnapShot(Backup* b, AMSessionKey* amsKey, unsigned int len);
int ioctlGetAutoMapState(Backup* b, AutoMapState* userAMS, unsigned int len);
int ioctlNoLoadFromAutoMap(Backup* b);
int ioctlNoStartAutoMap(Backup* b);
int ioctlLoadBlockMap(Backup* b, UserBlockMap* ubm);
int ioctlGetAutoMap(Backup* b, UserBlockMap* ubm);
int ioctlGetDirtyBlock(Backup* b, unsigned int* blockNum);
int ioctlReadBlocks(Backup* b, unsigned int startBlockNum, unsigned int numBlocks, void* data);

/* Copies the record of a command in; nothing is logged on failure. */
template <class Record>
static int copyRecordIn(Record* rec, unsigned long arg) {
    return copy_from_user(rec, reinterpret_cast<const void*>(arg), sizeof *rec) ? TAV_ERR_COPY_FROM_USER : 0;
}

static int copyVersionOut(unsigned long arg, int value) {
    if (copy_to_user(reinterpret_cast<void*>(arg), &value, sizeof value)) {
        printk("<3>%s: copy to user space %s\n", "tavIOCTL", "failed");
        return TAV_ERR_COPY_TO_USER;
    }
    return 0;
}

/* Takes no lock: each handler serialises itself on the record's bSem where it needs to. */
int tavIOCTL(struct inode*, struct file* filp, unsigned int cmd, unsigned long arg) {
    if (atomic_read(&initDone) != 1) return TAV_ERR_NOT_READY;
    Backup* b = static_cast<Backup*>(filp->private_data);
    if (!b) return TAV_ERR_INVALID;
    atomic_inc(&b->ioctlCount);

    int rc;
    switch (cmd) {
    case TAV_GET_BLOCK_SIZE: {
        GetBlockSize r;
        if ((rc = copyRecordIn(&r, arg))) return rc;
        return ioctlGetBlockSize(b, (r.major << 20) | r.minor, r.bs, r.len);
    }
    case TAV_START_BACKUP: {
        StartBackup r;
        if ((rc = copyRecordIn(&r, arg))) return rc;
        return ioctlStartBackup(b, (r.major << 20) | r.minor, r.totalBlocks, r.maxCacheBlocks);
    }
    case TAV_SNAPSHOT: {
        SnapShot r;
        if ((rc = copyRecordIn(&r, arg))) return rc;
        return ioctlSnapShot(b, r.amsKey, r.len);
    }
    case TAV_GET_STATE: {
        GetState r;
        if ((rc = copyRecordIn(&r, arg))) return rc;
        return ioctlGetState(b, r.s, r.len);
    }
    case TAV_GET_AUTOMAP_STATE: {
        GetAutoMapState r;
        if ((rc = copyRecordIn(&r, arg))) return rc;
        return ioctlGetAutoMapState(b, r.ams, r.len);
    }
    case TAV_NO_LOAD_FROM_AUTOMAP:
        return ioctlNoLoadFromAutoMap(b);
    case TAV_NO_START_AUTOMAP:
        return ioctlNoStartAutoMap(b);
    case TAV_LOAD_BLOCK_MAP: {
        LoadBlockMap r;
        UserBlockMap ubm;
        if ((rc = copyRecordIn(&r, arg))) return rc;
        if ((rc = copyRecordIn(&ubm, reinterpret_cast<unsigned long>(r.bm)))) return rc;
        return ioctlLoadBlockMap(b, &ubm);
    }
    case TAV_GET_AUTOMAP: {
        GetAutoMap r;
        UserBlockMap ubm;
        if ((rc = copyRecordIn(&r, arg))) return rc;
        if ((rc = copyRecordIn(&ubm, reinterpret_cast<unsigned long>(r.bm)))) return rc;
        return ioctlGetAutoMap(b, &ubm);
    }
    case TAV_GET_DIRTY_BLOCK: {
        DirtyBlock r;
        if ((rc = copyRecordIn(&r, arg))) return rc;
        return ioctlGetDirtyBlock(b, r.blockNum);
    }
    case TAV_READ_BLOCKS: {
        ReadBlocks r;
        if ((rc = copyRecordIn(&r, arg))) return rc;
        return ioctlReadBlocks(b, r.startBlockNum, r.numBlocks, r.data);
    }
    case TAV_GET_VERSION_MAJOR:
        return copyVersionOut(arg, TAV_VERSION_MAJOR);
    case TAV_GET_VERSION_MINOR:
        return copyVersionOut(arg, TAV_VERSION_MINOR);
    case TAV_SYNC:
        return ioctlSync(b);
    case TAV_UNLOAD:
        return tavShutdown();
    case TAV_RESERVED:
        return TAV_ERR_GENERAL;
    default:
        printk("<3>%s: ioctl command not found%s", __func__, "\n");
        return TAV_ERR_BAD_COMMAND;
    }
}
