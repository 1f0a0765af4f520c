/*
 * The copy-on-write worker "kbackupd": takes the held requests in order, preserves the old
 * contents of every block a write is about to overwrite, then passes the request on.
 *
 * Failure policy: no page for a copy gives BACKUP_ERR_CACHE, a failed copy read
 * BACKUP_ERR_BLOCK_READ, a full or out-of-memory cache BACKUP_ERR_CACHE (set by the cache);
 * each takes the backup's hook off the queue (errorAMS). The held request is passed on to
 * the disk whatever happened, and later blocks of it are no longer copied.
 */
#include <csignal>

#include "2.6/shim-2.6.h"
#include "2.6/tav-2.6.h"
#include "2.6/tavlib.h"
#include "kernel/buffer_head.h"
#include "kernel/printk.h"
#include "kernel/sched.h"

/* Allocations on the write path retry rather than fail. */
template <class T, class Alloc>
static T* retryAlloc(Alloc alloc) {
    T* p;
    while (!(p = alloc())) schedule();
    return p;
}

/*
 * Reads block blockNum's present contents with a private one-block read, past every hook,
 * and saves them in the block cache. Worker thread only. Process context; may sleep.
 */
void cacheBlock(Backup* b, MakeRequest*, unsigned int blockNum) {
    down_read(&b->cacheUsers);
    if (backupState(b) > BACKUP_MAP_LOADED) {
        up_read(&b->cacheUsers);
        return;
    }
    struct page* page = alloc_page(GFP_NOIO);
    if (!page) {
        setBackupState(b, BACKUP_ERR_CACHE);
        errorAMS(b);
        up_read(&b->cacheUsers);
        return;
    }
    atomic_inc(&b->totalAllocPages);
    atomic_inc(&b->curAllocPages);

    struct buffer_head* bh = retryAlloc<struct buffer_head>([] { return alloc_buffer_head(GFP_NOIO); });
    struct bio* bio = retryAlloc<struct bio>([] { return bio_alloc(GFP_NOIO, 1); });
    atomic_inc(&b->curAllocBRs);
    atomic_inc(&b->totalAllocBRs);

    initBH(b, bh, page, 0, blockNum);
    initBIO(b, bio, bh);
    bio->bi_rw = READ;
    callRealMRF(b, bio);
    wait_on_buffer(bh);

    unsigned int major = MAJOR(b->diskInfo.kdev), minor = MINOR(b->diskInfo.kdev);
    if (!bio_flagged(bio, BIO_UPTODATE)) {
        setBackupState(b, BACKUP_ERR_BLOCK_READ);
        printk("<3>%s: Block read error blockNum=%u MAJOR=%d MINOR=%d\n", __func__, blockNum,
               static_cast<int>(major), static_cast<int>(minor));
        errorAMS(b);
    } else if (saveBlock(b, static_cast<char*>(page_address(page)), blockNum)) {
        printk("<3>%s: Error caching blockNum=%u MAJOR=%d MINOR=%d\n", __func__, blockNum, static_cast<int>(major),
               static_cast<int>(minor));
        errorAMS(b);
    }

    /* The completion dropped the I/O's references: the owner's bio reference is left. */
    bio_put(bio);
    free_buffer_head(bh);
    atomic_dec(&b->curAllocBRs);
    __free_page(page);
    atomic_dec(&b->curAllocPages);
    up_read(&b->cacheUsers);
}

/*
 * One held request: copies what a write needs preserved, passes the request on, marks its
 * blocks handled. The marks come after the request is on its way, so a later write of
 * the same block that passes straight on reaches the disk after this one. Worker thread
 * only. Process context; may sleep.
 */
void processMR(Backup* b, MakeRequest* mr) {
    unsigned long rw = bio_rw(mr->bio);
    if (rw & WRITE) {
        for (u64 i = mr->startBN; i <= mr->endBN; i++)
            if (doWeCacheBlock(b, static_cast<unsigned int>(i))) cacheBlock(b, mr, static_cast<unsigned int>(i));
    }
    callRealMRF(b, mr->bio); /* the bio is the driver's from here on */
    /*
     * Its submitter unplugged the disk when it began to wait, before the request left the
     * FIFO: kick the disk now, unless more held requests follow to be merged with it.
     */
    if (atomic_read(&b->mrInQueue) == 1) {
        request_queue_t* q = getRequestQueue(&b->diskInfo);
        if (q) tavUnplugRequestQueue(q);
    }
    if (rw & WRITE) {
        for (u64 i = mr->startBN; i <= mr->endBN; i++)
            if (doWeCacheBlock(b, static_cast<unsigned int>(i))) setBlock(&b->cacheMap, static_cast<unsigned int>(i));
    }
    atomic_dec(&b->mrInQueue);
    closeMR(mr);
}

/*
 * The worker thread. One record per wake-up of signalThread. A SIGKILL is allowed (the
 * thread shows up as killable) but does not end the thread, which would strand the held
 * writes: it is cleared, so that the interrupted wait is not retried at once forever.
 */
int backup_cache(void*) {
    daemonize("kbackupd");
    allow_signal(SIGKILL);
    printk("<6>%s: kbackupd thread started%s", __func__, "\n");
    complete(&backup_cacheThreadStartCompleted);

    while (atomic_read(&backup_cacheThreadContinue) == 1) {
        if (down_interruptible(&signalThread)) flush_signals(current);
        down_read(&activeSessionUsers);
        Backup* b = activeSession;
        up_read(&activeSessionUsers);
        if (atomic_read(&backup_cacheThreadContinue) == 1 && b && backupState(b) > BACKUP_STARTED) {
            MakeRequest* mr = getTopMR(b);
            if (mr) processMR(b, mr);
        }
    }

    /*
     * Leave exactly the slot's unit for the next start. A stop that came before this
     * thread first slept left its wake-up unconsumed; every record's unit has been used
     * (close drained the FIFO), so whatever remains is spare.
     */
    while (down_trylock(&signalThread) == 0) {
    }
    up(&signalThread);
    printk("<6>%s: backupd thread exiting%s", __func__, "\n");
    complete_and_exit(&backup_cacheThreadExited, 0);
}
