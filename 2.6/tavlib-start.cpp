/*
 * Backup start and close: StartBackup builds everything the copy-on-write path needs and
 * makes the record the active session; close settles the queue's hook, drains the held
 * writes, stops the worker, releases everything and frees the record.
 *
 * A failed start releases nothing itself: what it built stays on the record, the busy
 * flag stays held, and close releases all of it.
 */
#include "2.6/tav-2.6.h"
#include "2.6/tavlib.h"
#include "kernel/printk.h"
#include "kernel/sched.h"

/*
 * Starts kbackupd and waits until it runs. The worker slot's unit of signalThread is
 * taken first (an earlier worker gives it back as it exits) and given back when no thread
 * can be had. 0 or the negative errno. Caller holds bSem. Process context; may sleep.
 */
int startWorkQueue(Backup* b) {
    down(&signalThread);
    atomic_set(&backup_cacheThreadContinue, 1);
    pid_t pid = kernel_thread(backup_cache, nullptr, 0);
    setWorkerPID(pid);
    if (pid < 0) {
        up(&signalThread);
        printk("<3>%s: error starting cache thread%s", __func__, "\n");
        return pid;
    }
    b->startedCacheThread = 1;
    wait_for_completion(&backup_cacheThreadStartCompleted);
    return 0;
}

/* A slab cache of size-byte objects, named prefix and the device's numbers in hex. */
static safe_kmem_cache newDeviceCache(char* name, const char* prefix, dev_t kdev, size_t size) {
    snprintf(name, TAV_CACHE_NAME_LEN, "%s%02x%02x", prefix, MAJOR(kdev), MINOR(kdev));
    return kmem_cache_create(name, size, 0, SLAB_HWCACHE_ALIGN, nullptr, nullptr);
}

/* 0, a positive result code, or the negative errno of a failed worker creation. */
int ioctlStartBackup(Backup* b, dev_t kdev, unsigned int totalBlocks_, unsigned int maxCacheBlocks_) {
    unsigned long flags;
    int rc;
    unsigned int major, minor;

    spin_lock_irqsave(&busyLock, flags);
    if (atomic_read(&busy) == 1) {
        spin_unlock_irqrestore(&busyLock, flags);
        setBackupState(b, BACKUP_REFUSED_BUSY);
        printk("<3>%s: another backup operation is open can't start backup on device major=%d minor=%d\n",
               __func__, static_cast<int>(MAJOR(kdev)), static_cast<int>(MINOR(kdev)));
        return TAV_ERR_BACKUP_ACTIVE;
    }
    atomic_set(&busy, 1);
    b->setBusy = 1;
    spin_unlock_irqrestore(&busyLock, flags);

    down(&b->bSem);
    if (backupState(b) != BACKUP_IDLE) {
        printk("<3>%s: tried to start backup on device major=%d minor=%d that is already busy\n", __func__,
               static_cast<int>(MAJOR(kdev)), static_cast<int>(MINOR(kdev)));
        rc = TAV_ERR_ALREADY_STARTED;
        goto out;
    }
    b->maxCacheBlocks = maxCacheBlocks_;
    b->diskInfo.numBlocks = totalBlocks_;
    if ((rc = getDiskInfo(&b->diskInfo, kdev))) goto out;

    setBackupState(b, BACKUP_STARTING);
    b->maxVMPages = b->diskInfo.blockSize * 256 / 4096;
    if (b->maxVMPages > 256) b->maxVMPages = 256;
    major = MAJOR(b->diskInfo.kdev);
    minor = MINOR(b->diskInfo.kdev);

    if ((rc = newBlockTable(b))) goto out;
    if ((rc = startWorkQueue(b))) goto out;

    b->cpCache = newDeviceCache(b->cpCacheName, "tavCP", kdev,
                                sizeof(CachePage) + (b->diskInfo.blocksPerPage - 1) * sizeof(unsigned int));
    if (!b->cpCache) {
        printk("<3>%s: kmem_cache_create failed during backup start major=%d minor=%d\n", __func__,
               static_cast<int>(MAJOR(kdev)), static_cast<int>(MINOR(kdev)));
        rc = TAV_ERR_NO_MEMORY;
        goto out;
    }
    b->dataCache = newDeviceCache(b->dataCacheName, "tavDC", kdev, static_cast<size_t>(b->diskInfo.blockSize));
    if (!b->dataCache) {
        printk("<3>%s: kmem_cache_create failed during backup start major=%d minor=%d\n", __func__,
               static_cast<int>(MAJOR(kdev)), static_cast<int>(MINOR(kdev)));
        rc = TAV_ERR_NO_MEMORY;
        goto out;
    }
    if ((rc = newCacheMap(b))) goto out;

    b->diskInfo.realMRF = getRealMRF(getRequestQueue(&b->diskInfo));
    if (!b->diskInfo.realMRF) {
        printk("<3>%s: error getting real MRF for major=%d minor=%d\n", __func__, static_cast<int>(major),
               static_cast<int>(minor));
        rc = TAV_ERR_NOT_READY;
        goto out;
    }
    if ((rc = allocateBlockRequests(b)) || (rc = allocateBRCache(b))) goto out;

    /* Another file's hook or close may be looking at activeSession meanwhile. */
    down_write(&activeSessionUsers);
    activeSession = b;
    up_write(&activeSessionUsers);
    setBackupState(b, BACKUP_STARTED);
    printk("<6>%s: backup started for device major=%d minor=%d\n", __func__, static_cast<int>(major),
           static_cast<int>(minor));
out:
    up(&b->bSem);
    return rc;
}

/*
 * Waits for the worker to have passed every held request on, for as long as it lives.
 * Called and returns with mrLock held (interrupts saved in *flags).
 */
void waitForMRs(Backup* b, unsigned long* flags) {
    while (atomic_read(&b->mrInQueue) > 0 && workerPID() > 0) {
        spin_unlock_irqrestore(&b->mrLock, *flags);
        schedule();
        spin_lock_irqsave(&b->mrLock, *flags);
    }
}

/* Caller holds writers (w) and has set a state in which the worker copies nothing. */
void flushWorkQueue(Backup* b) {
    if (workerPID() <= 0) return;
    unsigned long flags;
    spin_lock_irqsave(&b->mrLock, flags);
    waitForMRs(b, &flags);
    if (workerPID() <= 0) printk("<3>%s: backup_cache thread died during waitForMRs%s", __func__, "\n");
    spin_unlock_irqrestore(&b->mrLock, flags);
}

/* Stops the worker this record started; another record's worker is left alone. */
void killWorkQueue(Backup* b) {
    if (!b->startedCacheThread || workerPID() <= 0) return;
    atomic_set(&backup_cacheThreadContinue, 0);
    up(&signalThread);
    wait_for_completion(&backup_cacheThreadExited);
    setWorkerPID(0);
}

void freeAllMMPages(Backup* b) {
    for (int i = 0; i < MAX_BVMAS; i++) freeMMPages(b, &b->vmAreas[i]);
}

/*
 * The queue's hook after the backup: tavAMRF while an automap of the queue must go on
 * recording, otherwise the queue's own function. Caller holds writers (w).
 */
static void settleHook(Backup* b) {
    AutoMapSession* ams = getDeviceAMS(b->diskInfo.kdev);
    if (ams && amsState(ams) == AMS_IN_SYNC) {
        putDeviceAMS(ams);
        if (setMRF(b, tavAMRF) == 0) return;
        errorAMSDEV(b->diskInfo.kdev);
    } else if (ams) {
        putDeviceAMS(ams);
    }
    if (backupState(b) == BACKUP_IDLE) return;
    /* A record that never hooked the queue of its device leaves the queue's automaps be. */
    if (b->diskInfo.bdev && !b->hookedQueue) return;

    request_queue_t* q = getRequestQueue(&b->diskInfo);
    if (countQueueAMS(q) > 1) {
        if (setMRF(b, tavAMRF) == 0) return;
        errorAMSDEV(b->diskInfo.kdev);
    }
    unsetQueueMRFAMS(q);
}

/*
 * Ends the record's backup and frees the record; called by release once the file is
 * detached. Cannot fail. Process context; may sleep.
 */
void closeBackup(Backup* b) {
    down(&b->bSem);
    down_write(&b->writers);
    /* From here no hook can decide to copy for this record, and nothing more is queued. */
    settleHook(b);

    unsigned int savedState = backupState(b);
    if (savedState <= BACKUP_MAP_LOADED) setBackupState(b, BACKUP_CLOSING);

    flushWorkQueue(b);
    down_write(&activeSessionUsers);
    if (activeSession == b) activeSession = nullptr;
    up_write(&activeSessionUsers);
    /*
     * An automap closed under this backup left its device's node and hook to it. Without
     * a snapshot's hook the settling above left them be: give them up as that close
     * would have, or the queue keeps tavAMRF for a session that is gone.
     */
    if (!b->hookedQueue && atomic_read(&b->nodeLeftByAutomap)) unSetMRFDEV(&b->diskInfo);
    killWorkQueue(b);

    freeAllMMPages(b);
    freeMMBRs(b);
    closeBRCache(b);
    closeCache(b);
    closeDiskInfo(&b->diskInfo);
    closeBUBlockMap(b);
    closeFailedMap(b);
    closeCacheMap(b);
    closeBlockTable(b);

    if (savedState != BACKUP_IDLE) {
        Stats* st = static_cast<Stats*>(kmalloc(sizeof(Stats), GFP_KERNEL));
        if (st) {
            memset(st, 0, sizeof *st);
            setStats(b, st);
            printStats(st);
            kfree(st);
        }
        printk("<6>%s: backup finished device major=%d minor=%d\n", __func__,
               static_cast<int>(MAJOR(b->diskInfo.kdev)), static_cast<int>(MINOR(b->diskInfo.kdev)));
    }
    if (backupState(b) <= BACKUP_CLOSING) setBackupState(b, BACKUP_IDLE);
    up_write(&b->writers);
    up(&b->bSem);

    if (b->setBusy) {
        unsigned long flags;
        spin_lock_irqsave(&busyLock, flags);
        if (atomic_read(&busy) == 1) atomic_set(&busy, 0);
        spin_unlock_irqrestore(&busyLock, flags);
    }

    /* A hook that found the record before activeSession was cleared may still be inside. */
    while (atomic_read(&b->hooksInside) > 0) schedule();
    kfree(b);
}
