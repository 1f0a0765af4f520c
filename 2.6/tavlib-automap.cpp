/*
 * Automap sessions: the per-device change maps in amList, their lifetime, their failure
 * paths, and the automap commands.
 *
 * A session leaves its slot while the table is held, so no new user can find it, and is
 * freed only once every user that found it before has left (waitForAMSUsers). A device
 * with a major or minor of 256 or more has no slot: it never gets a session, and nothing
 * indexes the table with its numbers.
 */
#include <new>

#include "2.6/shim-2.6.h"
#include "2.6/tavlib.h"
#include "kernel/printk.h"
#include "kernel/sched.h"
#include "kernel/slab.h"
#include "kernel/uaccess.h"

void waitForAMListUsers(unsigned long* flags) { waitForUsers(&amListUsers, &amListUsersLock, flags); }

void waitForAMSUsers(AutoMapSession* ams, unsigned long* flags) { waitForUsers(&ams->users, &ams->usersLock, flags); }

/* Process context; may sleep. TAV_ERR_INVALID, with nothing built, for a device without a slot. */
int newAMS(Backup* b, AutoMapSession** amSession) {
    dev_t kdev = b->diskInfo.kdev;
    if (!amSlotValid(kdev)) return TAV_ERR_INVALID;
    void* mem = kmalloc(sizeof(AutoMapSession), GFP_KERNEL);
    if (!mem) return TAV_ERR_NO_MEMORY;
    AutoMapSession* ams = new (mem) AutoMapSession(); /* zeroed: key all zero */
    ams->diskInfo = b->diskInfo;
    ams->diskInfo.bdev = bdget(kdev); /* the session outlives the record's reference */
    ams->diskInfo.superBlock = nullptr;
    ams->state = AMS_NOT_IN_SYNC;
    if (ams->diskInfo.blockSize == 0) {
        printk("<2>%s: Blocksize set to 0 when making automap%s", __func__, "\n");
        BUG();
    }
    unsigned int pages = 0;
    int rc = newBlockMap(&ams->map, static_cast<unsigned int>(ams->diskInfo.numBlocks), nullptr, 1, &pages);
    if (rc) {
        printk("<3>%s: failed to create new device map%s", __func__, "\n");
        closeDiskInfo(&ams->diskInfo);
        kfree(ams);
        return rc;
    }
    atomic_add(static_cast<int>(pages), &curAllocAMPages);
    atomic_set(&ams->users, 1);
    spin_lock_init(&ams->usersLock);
    *amSession = ams;

    unsigned long flags;
    waitForAMListUsers(&flags);
    amList[MAJOR(kdev)][MINOR(kdev)] = ams; /* callers close a previous occupant first */
    spin_unlock_irqrestore(&amListUsersLock, flags);
    return 0;
}

/* Empties the slot; the session it held is the caller's to close. */
static AutoMapSession* takeAMSFromSlot(dev_t kdev) {
    unsigned long flags;
    waitForAMListUsers(&flags);
    AutoMapSession* ams = amList[MAJOR(kdev)][MINOR(kdev)];
    amList[MAJOR(kdev)][MINOR(kdev)] = nullptr;
    spin_unlock_irqrestore(&amListUsersLock, flags);
    return ams;
}

int closeAMS(Backup* b) {
    if (!amSlotValid(b->diskInfo.kdev)) return 2;
    AutoMapSession* ams = takeAMSFromSlot(b->diskInfo.kdev);
    if (!ams) return 2;
    closeAM(ams);
    return 0;
}

void closeAllAMS(void) {
    for (unsigned int major = 0; major < AM_LIST_DIM; major++)
        for (unsigned int minor = 0; minor < AM_LIST_DIM; minor++) {
            AutoMapSession* ams = takeAMSFromSlot(MKDEV(major, minor));
            if (ams) closeAM(ams);
        }
}

/*
 * Whether the started backup on this device may need its hook: the registry node of a
 * device is shared by its session and its backup, so the Unload command, closing the
 * session under a started backup (even one whose snapshot is freezing), must leave the
 * node and tavMRF to the backup, whose close settles the queue. The backup is told, so
 * that its close gives the node up should no snapshot have hooked the queue. Process
 * context; may sleep.
 */
static int backupHoldsHook(dev_t kdev) {
    down_read(&activeSessionUsers);
    Backup* b = activeSession;
    unsigned int state = b ? backupState(b) : BACKUP_IDLE;
    int holds = b && b->diskInfo.kdev == kdev && state >= BACKUP_STARTED && state <= BACKUP_MAP_LOADED;
    if (holds) atomic_set(&b->nodeLeftByAutomap, 1);
    up_read(&activeSessionUsers);
    return holds;
}

/* The session has left its slot. Process context; may sleep. */
void closeAM(AutoMapSession* ams) {
    if (!backupHoldsHook(ams->diskInfo.kdev)) unSetMRFAMS(ams);
    unsigned long flags;
    waitForAMSUsers(ams, &flags);
    spin_unlock_irqrestore(&ams->usersLock, flags);
    unsigned int pages = 0;
    closeBlockMap(&ams->map, &pages);
    atomic_sub(static_cast<int>(pages), &curAllocAMPages);
    closeDiskInfo(&ams->diskInfo);
    kfree(ams);
}

/*
 * The backup on b's device failed: its session can no longer know every write. The
 * queue keeps tavAMRF for the other devices' sessions, or, when none is left or the
 * re-hook fails, every session of the queue goes out of sync and the queue gets its own
 * function back. Writes go on reaching the disk either way.
 */
void errorAMS(Backup* b) {
    dev_t kdev = b->diskInfo.kdev;
    int foundAMS = 0;
    if (amSlotValid(kdev)) {
        enterUsers(&amListUsersLock, &amListUsers);
        AutoMapSession* ams = amList[MAJOR(kdev)][MINOR(kdev)];
        if (ams) {
            setAMSState(ams, AMS_NOT_IN_SYNC);
            foundAMS = 1;
        }
        leaveUsers(&amListUsers);
    }
    if (countQueueAMS(getRequestQueue(&b->diskInfo)) > foundAMS) {
        if (setMRF(b, tavAMRF) == 0) return;
        errorAMSDEV(kdev);
    }
    unsetQueueMRFAMS(getRequestQueue(&b->diskInfo));
}

void errorAMSDEV(dev_t kdev) {
    enterUsers(&queueListUsersLock, &queueListUsers);
    struct list_head* pos;
    list_for_each(pos, &queueListHead) {
        QueueList* ql = list_entry(pos, QueueList, list);
        if (!isInDevList(ql, kdev)) continue;
        enterUsers(&amListUsersLock, &amListUsers);
        struct list_head* dpos;
        list_for_each(dpos, &ql->devList) {
            dev_t dev = list_entry(dpos, DevList, list)->kdev;
            AutoMapSession* ams = amSlotValid(dev) ? amList[MAJOR(dev)][MINOR(dev)] : nullptr;
            if (ams) setAMSState(ams, AMS_NOT_IN_SYNC);
        }
        leaveUsers(&amListUsers);
        break;
    }
    leaveUsers(&queueListUsers);
}

/* Works in every backup state; before StartBackup the device is 0 and the record all zero. */
int ioctlGetAutoMapState(Backup* b, AutoMapState* userAMS, unsigned int amsLen) {
    AutoMapState st;
    memset(&st, 0, sizeof st);
    down(&b->bSem);
    AutoMapSession* ams = getDeviceAMS(b->diskInfo.kdev);
    if (ams) {
        st.major = MAJOR(ams->diskInfo.kdev);
        st.minor = MINOR(ams->diskInfo.kdev);
        st.state = amsState(ams);
        st.mapLen = ams->map.size;
        st.mapSize = ams->map.numBytes;
        st.amsKey = ams->sessionKey;
        putDeviceAMS(ams);
    }
    up(&b->bSem);
    if (copy_to_user(userAMS, &st, amsLen < sizeof st ? amsLen : sizeof st)) {
        printk("<3>%s: copy to user space %s\n", __func__, "failed");
        return TAV_ERR_COPY_TO_USER;
    }
    return 0;
}

/* Read by this record's next snapshot; never reset. */
int ioctlNoLoadFromAutoMap(Backup* b) {
    down(&b->bSem);
    b->noLoadFromAutoMap = 1;
    up(&b->bSem);
    return 0;
}

int ioctlNoStartAutoMap(Backup* b) {
    down(&b->bSem);
    b->noStartAutoMap = 1;
    up(&b->bSem);
    return 0;
}

/*
 * Hands out the change map that the snapshot moved into the backup block map, once:
 * after a complete copy the map is released; a failed copy keeps it for a retry.
 * A user copy may fault and so take the process's mmap lock, inside which munmap takes
 * bSem: the copy runs after bSem is released, from the pages taken off the record.
 */
int ioctlGetAutoMap(Backup* b, UserBlockMap* userBM) {
    BlockMap taken;
    taken.size = taken.numBytes = 0;
    taken.map = nullptr;
    atomic_set(&taken.users, 1);
    spin_lock_init(&taken.usersLock);
    down(&b->bSem);
    if (backupState(b) != BACKUP_SNAPSHOT_DONE) {
        printk("<3>%s: backup error map not loaded %s", __func__, "\n");
        up(&b->bSem);
        return TAV_ERR_INVALID;
    }
    BlockMap* bm = &b->blockMap;
    int rc = 0;
    if (!bm->map) {
        printk("<3>%s: backup error automap is NULL %s", __func__, "\n");
        rc = TAV_ERR_INVALID;
    } else if (bm->size != userBM->mapLen) {
        printk("<3>%s: backup error map size mismatch kernel map size=%u user map size=%u\n", __func__, bm->size,
               userBM->mapLen);
        rc = TAV_ERR_INVALID;
    } else {
        moveBlockMap(&taken, bm);
    }
    up(&b->bSem);
    if (rc) return rc;

    unsigned int pages = numPagesInBlockMap(&taken);
    for (unsigned int i = 0; i < pages; i++) {
        unsigned int bytes = 4096;
        if (i == pages - 1 && (taken.numBytes & 4095)) bytes = taken.numBytes & 4095;
        unsigned char* to = userBM->map + static_cast<size_t>(i) * 4096;
        void* from = kmap(taken.map[i]);
        unsigned long left = copy_to_user(to, from, bytes);
        kunmap(taken.map[i]);
        if (left) {
            printk("<3>%s: copy to user space failed data=%p bytesCopied=%d bytesInMap=%d\n", __func__,
                   static_cast<void*>(to), static_cast<int>(bytes), static_cast<int>(taken.numBytes));
            rc = TAV_ERR_COPY_TO_USER;
            break;
        }
    }

    down(&b->bSem);
    /* Kept for a retry unless the record moved on meanwhile (a LoadBlockMap, a close). */
    if (rc && backupState(b) == BACKUP_SNAPSHOT_DONE && !bm->map) {
        moveBlockMap(bm, &taken);
    } else {
        unsigned int freed = 0;
        closeBlockMap(&taken, &freed);
        atomic_sub(static_cast<int>(freed), &b->curAllocPages);
    }
    up(&b->bSem);
    return rc;
}
