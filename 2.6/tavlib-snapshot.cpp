/*
 * The snapshot and the loading of the backup block map.
 *
 * The snapshot decides the fate of the device's automap, installs the backup's hook,
 * freezes the file system, switches state and maps under writers (w) and thaws. Every
 * allocation happens before the freeze: while frozen only two page arrays are exchanged
 * and two states set.
 */
#include "2.6/tav-2.6.h"
#include "2.6/tavlib.h"
#include "kernel/printk.h"
#include "kernel/random.h"
#include "kernel/sched.h"
#include "kernel/time.h"
#include "kernel/uaccess.h"

/* A device with a major or minor of 256 or more has no amList slot, hence no automap. */
int amSlotValid(dev_t kdev) { return MAJOR(kdev) < AM_LIST_DIM && MINOR(kdev) < AM_LIST_DIM; }

static void getAMSRef(AutoMapSession* ams) {
    unsigned long flags;
    spin_lock_irqsave(&ams->usersLock, flags);
    atomic_inc(&ams->users);
    spin_unlock_irqrestore(&ams->usersLock, flags);
}

/* The device's automap with a user reference taken (putDeviceAMS drops it), or null. */
AutoMapSession* getDeviceAMS(dev_t kdev) {
    if (!amSlotValid(kdev)) return nullptr;
    unsigned long flags;
    spin_lock_irqsave(&amListUsersLock, flags);
    atomic_inc(&amListUsers);
    spin_unlock_irqrestore(&amListUsersLock, flags);
    AutoMapSession* ams = amList[MAJOR(kdev)][MINOR(kdev)];
    if (ams) getAMSRef(ams);
    atomic_dec(&amListUsers);
    return ams;
}

void putDeviceAMS(AutoMapSession* ams) { atomic_dec(&ams->users); }

/*
 * The users-count wait for a caller that holds a user reference of its own: returns with
 * usersLock held once that reference is the only one besides the resting count. Holding
 * the reference across the freeze keeps a concurrent closeAM (the Unload command) from
 * freeing the session under the snapshot. The caller must not sleep until it unlocks.
 */
static void waitForOtherAMSUsers(AutoMapSession* ams, unsigned long* flags) {
    for (;;) {
        spin_lock_irqsave(&ams->usersLock, *flags);
        if (atomic_sub_return(2, &ams->users) == 0) {
            atomic_add(2, &ams->users);
            return;
        }
        atomic_add(2, &ams->users);
        spin_unlock_irqrestore(&ams->usersLock, *flags);
        schedule();
    }
}

/*
 * SnapShot. Every failure, and a key that does not match the in-sync automap, leaves the
 * state at BACKUP_STARTED, so the snapshot can be repeated; a hook installed before a
 * failed freeze stays and passes writes on uncopied.
 */
int ioctlSnapShot(Backup* b, AMSessionKey* userKey, unsigned int keyLen) {
    AMSessionKey key;
    memset(&key, 0, sizeof key);
    AutoMapSession* ams = nullptr;
    int rc = 0, reuse = 0, needNew = 0, noChangeSet = 0;
    dev_t kdev;
    unsigned int n;
    unsigned long keyLeft;
    struct timespec freezeTime, afterFreezeTime, thawTime;
    struct super_block* freezeSB;

    /* Before bSem: a copy that faults takes the mmap lock, inside which munmap takes bSem. */
    n = keyLen < sizeof key ? keyLen : sizeof key;
    keyLeft = copy_from_user(&key, userKey, n);
    down(&b->bSem);
    kdev = b->diskInfo.kdev;
    if (backupState(b) != BACKUP_STARTED) {
        rc = TAV_ERR_INVALID;
        goto out;
    }
    if (keyLeft) {
        printk("<3>%s: copy from user space %s\n", __func__, "failed");
        rc = TAV_ERR_COPY_FROM_USER;
        goto out;
    }

    ams = getDeviceAMS(kdev);
    if (ams) {
        if (b->noStartAutoMap == 1) {
            putDeviceAMS(ams);
            ams = nullptr;
            closeAMS(b);
        } else if (amsState(ams) != AMS_IN_SYNC || b->noLoadFromAutoMap == 1) {
            putDeviceAMS(ams);
            ams = nullptr;
            closeAMS(b);
            needNew = 1;
        } else if (memcmp(key.key, ams->sessionKey.key, AMS_KEY_LEN) != 0) {
            printk("<3>%s: session key mismatch%s", __func__, "\n");
            goto out;
        } else if (static_cast<u64>(ams->map.size) != static_cast<u64>(b->diskInfo.numBlocks)) {
            printk("<4>%s: device resize detected, device has (%u) blocks and automap has (%u), resetting automap\n",
                   __func__, static_cast<unsigned int>(b->diskInfo.numBlocks), ams->map.size);
            setAMSState(ams, AMS_NOT_IN_SYNC);
            putDeviceAMS(ams);
            ams = nullptr;
            closeAMS(b);
            needNew = 1;
        } else {
            unsigned int pages = 0;
            closeBUBlockMap(b);
            if ((rc = newBlockMap(&b->blockMap, ams->map.size, nullptr, 1, &pages))) {
                printk("<3>%s: failed to create new device map%s", __func__, "\n");
                goto out;
            }
            atomic_add(static_cast<int>(pages), &b->totalAllocPages);
            atomic_add(static_cast<int>(pages), &b->curAllocPages);
            reuse = 1;
        }
    } else if (b->noStartAutoMap != 1 && amSlotValid(kdev)) {
        needNew = 1;
    }
    /* Only a reused automap hands this backup a change set; a map left by an earlier try goes. */
    if (!reuse) closeBUBlockMap(b);
    if (needNew) {
        if ((rc = newAMS(b, &ams))) {
            ams = nullptr;
            printk("<3>%s: new automap failed%s", __func__, "\n");
            goto out;
        }
        getAMSRef(ams);
    }

    if (ams) {
        memset(ams->sessionKey.key, 0xff, AMS_KEY_LEN);
        for (int i = 0; i < AMS_KEY_LEN; i++) get_random_bytes(&ams->sessionKey.key[i], 1);
    }

    if (setMRF(b, tavMRF)) {
        printk("<3>%s: device major=%d minor=%d not valid\n", __func__, static_cast<int>(MAJOR(kdev)),
               static_cast<int>(MINOR(kdev)));
        rc = TAV_ERR_INVALID;
        goto failed;
    }
    b->hookedQueue = 1;
    printk("<3>%s: Going to freez: %d.%d\n", __func__, static_cast<int>(MAJOR(b->diskInfo.bdev->bd_dev)),
           static_cast<int>(MINOR(b->diskInfo.bdev->bd_dev)));

    freezeTime = current_kernel_time();
    freezeSB = freeze_bdev(b->diskInfo.bdev);
    afterFreezeTime = current_kernel_time();
    if (!freezeSB) {
        thaw_bdev(b->diskInfo.bdev, nullptr);
        printk("<3>%s: freeze_bdev could not freeze the device.%s", __func__, "\n");
        rc = TAV_ERR_INVALID;
        goto failed;
    }

    down_write(&b->writers);
    if (ams) {
        unsigned long amsFlags, buFlags, amFlags;
        waitForOtherAMSUsers(ams, &amsFlags);
        if (reuse) {
            waitForBlockMapUsers(&b->blockMap, &buFlags);
            waitForBlockMapUsers(&ams->map, &amFlags);
            struct page** changes = ams->map.map;
            ams->map.map = b->blockMap.map;
            b->blockMap.map = changes;
            spin_unlock_irqrestore(&ams->map.usersLock, amFlags);
            spin_unlock_irqrestore(&b->blockMap.usersLock, buFlags);
            /*
             * Out of sync since the key check: its map misses writes, so it is no change
             * set. It goes on from this freeze with the cleared pages it now holds.
             */
            if (amsState(ams) != AMS_IN_SYNC) noChangeSet = 1;
        }
        setAMSState(ams, AMS_IN_SYNC);
        setBackupState(b, BACKUP_SNAPSHOT_DONE);
        spin_unlock_irqrestore(&ams->usersLock, amsFlags);
    } else {
        setBackupState(b, BACKUP_SNAPSHOT_DONE);
    }
    up_write(&b->writers);

    thaw_bdev(b->diskInfo.bdev, freezeSB);
    thawTime = current_kernel_time();
    b->eTimeToFreeze = calcTimeDiff(freezeTime, afterFreezeTime);
    b->eTimeFrozen = calcTimeDiff(freezeTime, thawTime);

    if (noChangeSet) {
        closeBUBlockMap(b);
        printk("<4>%s: automap fell out of sync before the freeze, no change set for this backup%s", __func__,
               "\n");
    }
    goto out;
failed:
    /* The zero-filled map built for the exchange carries nothing without the exchange. */
    if (reuse) closeBUBlockMap(b);
out:
    if (ams) putDeviceAMS(ams);
    up(&b->bSem);
    return rc;
}

/*
 * Builds size bits from the user bitmap at data into staged. Called without bSem: the copy
 * may fault and take the process's mmap lock, inside which munmap takes bSem.
 */
int newBUBlockMap(BlockMap* staged, unsigned int size, char* data, unsigned int* pages) {
    int rc = newBlockMap(staged, size, data, 0, pages);
    if (rc) printk("<3>%s: error creating map of size=%u\n", __func__, size);
    return rc;
}

/*
 * LoadBlockMap. A map that cannot be built, or a cache that cannot be cleaned against it,
 * leaves the record in BACKUP_ERR_MAP_LOAD for good. The map is built between two looks
 * at the state under bSem; one built for a record that moved on meanwhile is dropped. A
 * copy-on-write failure while the map is installed or the cache cleaned keeps its own
 * error state (the hook is already off the queue, so writes since then reached the disk
 * uncopied) and fails the command with TAV_ERR_GENERAL.
 */
int ioctlLoadBlockMap(Backup* b, UserBlockMap* userBM) {
    int rc, built = 0, loaded;
    unsigned int pages = 0, freed = 0;
    BlockMap staged;
    staged.size = staged.numBytes = 0;
    staged.map = nullptr;
    atomic_set(&staged.users, 1);
    spin_lock_init(&staged.usersLock);
    down(&b->bSem);
    rc = backupState(b) == BACKUP_SNAPSHOT_DONE ? 0 : TAV_ERR_INVALID;
    up(&b->bSem);
    if (!rc) built = newBUBlockMap(&staged, userBM->mapLen, reinterpret_cast<char*>(userBM->map), &pages);
    down(&b->bSem);
    /* Until BACKUP_MAP_LOADED nothing reads the backup block map, so it can be rebuilt. */
    if (rc || !moveBackupState(b, BACKUP_SNAPSHOT_DONE, BACKUP_MAP_LOADING)) {
        printk("<3>%s: backup error snapshot not %s\n", __func__, "complete");
        rc = TAV_ERR_INVALID;
        goto out;
    }
    if ((rc = built)) {
        moveBackupState(b, BACKUP_MAP_LOADING, BACKUP_ERR_MAP_LOAD);
        printk("<3>%s: backup error failed to load device map%s", __func__, "\n");
        goto out;
    }
    closeBUBlockMap(b);
    moveBlockMap(&b->blockMap, &staged);
    atomic_add(static_cast<int>(pages), &b->totalAllocPages);
    atomic_add(static_cast<int>(pages), &b->curAllocPages);
    down_write(&b->writers);
    loaded = moveBackupState(b, BACKUP_MAP_LOADING, BACKUP_MAP_LOADED);
    up_write(&b->writers);
    if (!loaded) {
        printk("<3>%s: backup error failed to load device map%s", __func__, "\n");
        rc = TAV_ERR_GENERAL;
        goto out;
    }
    if ((rc = cleanUpCache(b))) {
        moveBackupState(b, BACKUP_MAP_LOADED, BACKUP_ERR_MAP_LOAD);
        printk("<3>%s: error cleaning cache%s", __func__, "\n");
    } else if (backupState(b) != BACKUP_MAP_LOADED) {
        printk("<3>%s: error cleaning cache%s", __func__, "\n");
        rc = TAV_ERR_GENERAL;
    }
out:
    up(&b->bSem);
    closeBlockMap(&staged, &freed);
    return rc;
}
