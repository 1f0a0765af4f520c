/* The backup record: Sync, GetState, the backup block map and the record's end. */
#include "2.6/tavlib.h"
#include "kernel/printk.h"
#include "kernel/uaccess.h"

/*
 * Tests no state; a record without a device has nothing to flush. The device is read under
 * bSem, since another thread's StartBackup may be setting it or, failing, dropping it.
 */
int ioctlSync(Backup* b) {
    down(&b->bSem);
    if (b->diskInfo.bdev) fsync_bdev(b->diskInfo.bdev);
    up(&b->bSem);
    return 0;
}

int ioctlGetState(Backup* b, State* userState, unsigned int stateLen) {
    State s = {};
    down(&b->bSem);
    s.major = MAJOR(b->diskInfo.kdev);
    s.minor = MINOR(b->diskInfo.kdev);
    s.state = backupState(b);
    s.blockSize = b->diskInfo.blockSize;
    s.mmapSize = b->maxVMPages * 4096;
    up(&b->bSem);

    unsigned int n = stateLen < sizeof s ? stateLen : sizeof s;
    if (copy_to_user(userState, &s, n)) {
        printk("<3>%s: copy to user space %s\n", __func__, "failed");
        return TAV_ERR_COPY_TO_USER;
    }
    return 0;
}

void closeBUBlockMap(Backup* b) {
    if (!b->blockMap.map) return;
    unsigned int freed = 0;
    closeBlockMap(&b->blockMap, &freed);
    atomic_sub(static_cast<int>(freed), &b->curAllocPages);
}
