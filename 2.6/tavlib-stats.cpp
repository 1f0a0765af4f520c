/* A backup's statistics: the Stats record, its 26 log lines and the snapshot timings. */
#include "2.6/tavlib.h"
#include "kernel/printk.h"
#include "kernel/slab.h"
#include "kernel/uaccess.h"

void setStats(Backup* b, Stats* st) {
    DiskInfo* di = &b->diskInfo;
    st->major = MAJOR(di->kdev);
    st->minor = MINOR(di->kdev);
    st->state = backupState(b);
    st->partitionStart = static_cast<unsigned int>(di->partitionStart);
    st->blockSize = di->blockSize;
    st->blocksPerPage = static_cast<int>(di->blocksPerPage);
    st->partitionSizeKB = static_cast<unsigned int>(di->partitionSizeKB);
    st->numBlocks = static_cast<unsigned int>(di->numBlocks);
    st->maxVMPages = b->maxVMPages;
    st->vmPages = getVMAPageCount(b);
    st->maxCacheBlocks = b->maxCacheBlocks;
    st->curAllocAMPages = atomic_read(&curAllocAMPages);
    st->totalAllocPages = atomic_read(&b->totalAllocPages);
    st->curAllocPages = atomic_read(&b->curAllocPages);
    st->totalAllocBRs = atomic_read(&b->totalAllocBRs);
    st->curAllocBRs = atomic_read(&b->curAllocBRs);
    st->totalAllocCPs = atomic_read(&b->totalAllocCPs);
    st->curAllocCPs = atomic_read(&b->curAllocCPs);
    st->peakAllocCPs = atomic_read(&b->peakAllocCPs);
    st->totalCBs = atomic_read(&b->totalCBs);
    st->curCBs = atomic_read(&b->curCBs);
    st->totalReadBlocks = atomic_read(&b->totalReadBlocks);
    st->totalReadCBs = atomic_read(&b->totalReadCBs);
    st->totalCleanedCBs = atomic_read(&b->totalCleanedCBs);
    st->ioctlCount = atomic_read(&b->ioctlCount);
    st->eTimeToFreeze = b->eTimeToFreeze;
    st->eTimeFrozen = b->eTimeFrozen;
}

void printStats(Stats* st) {
    printk("<6>%s: device: major(%u) minor(%u)\n", __func__, st->major, st->minor);
    printk("<6>%s: state: %u\n", __func__, st->state);
    printk("<6>%s: block size: %i\n", __func__, st->blockSize);
    printk("<6>%s: partition size (KB): %u\n", __func__, st->partitionSizeKB);
    printk("<6>%s: file system size (blocks): %u\n", __func__, st->numBlocks);
    printk("<6>%s: pages allocated for write journal: %d\n", __func__, st->curAllocAMPages);
    printk("<6>%s: max cache size in blocks: %i\n", __func__, static_cast<int>(st->maxCacheBlocks));
    printk("<6>%s: total pages allocated: %d\n", __func__, st->totalAllocPages);
    printk("<6>%s: current pages allocated: %d\n", __func__, st->curAllocPages);
    printk("<6>%s: total Block Requests allocated: %d\n", __func__, st->totalAllocBRs);
    printk("<6>%s: current Block Requests allocated: %d\n", __func__, st->curAllocBRs);
    printk("<6>%s: total cached blocks: %d\n", __func__, st->totalAllocCPs);
    printk("<6>%s: current cached blocks: %d\n", __func__, st->curAllocCPs);
    printk("<6>%s: peak cached blocks: %d\n", __func__, st->peakAllocCPs);
    printk("<6>%s: total block cache data structures: %d\n", __func__, st->totalCBs);
    printk("<6>%s: current block cache data structures: %d\n", __func__, st->curCBs);
    printk("<6>%s: total reads from disk: %d\n", __func__, st->totalReadBlocks);
    printk("<6>%s: total reads from cache: %d\n", __func__, st->totalReadCBs);
    printk("<6>%s: blocks cleaned from cache: %d\n", __func__, st->totalCleanedCBs);
    printk("<6>%s: partition start (sector): %u\n", __func__, st->partitionStart);
    printk("<6>%s: blocks per page: %i\n", __func__, st->blocksPerPage);
    printk("<6>%s: max buffer size in pages: %i\n", __func__, st->maxVMPages);
    printk("<6>%s: buffer pages allocated: %i\n", __func__, st->vmPages);
    printk("<6>%s: commands processed: %d\n", __func__, st->ioctlCount);
    printk("<6>%s: time to freeze in seconds: %d.%09d\n", __func__, static_cast<int>(st->eTimeToFreeze.tv_sec),
           static_cast<int>(st->eTimeToFreeze.tv_nsec));
    printk("<6>%s: time frozen in seconds: %d.%09d\n", __func__, static_cast<int>(st->eTimeFrozen.tv_sec),
           static_cast<int>(st->eTimeFrozen.tv_nsec));
}

/* end - start, with the nanoseconds kept in 0 .. 999999999 for end >= start. */
struct timespec calcTimeDiff(struct timespec start, struct timespec end) {
    struct timespec d;
    d.tv_sec = end.tv_sec - start.tv_sec;
    d.tv_nsec = end.tv_nsec - start.tv_nsec;
    if (d.tv_nsec < 0) {
        d.tv_nsec += 1000000000;
        d.tv_sec--;
    }
    return d;
}

int ioctlGetStats(Backup* b, Stats* userStats, unsigned int len) {
    Stats* st = static_cast<Stats*>(kmalloc(sizeof(Stats), GFP_KERNEL));
    if (!st) return TAV_ERR_NO_MEMORY;
    memset(st, 0, sizeof *st);
    down(&b->bSem);
    setStats(b, st);
    up(&b->bSem);
    int rc = 0;
    if (copy_to_user(userStats, st, len < sizeof *st ? len : sizeof *st)) {
        printk("<3>%s: copy to user space %s\n", __func__, "failed");
        rc = TAV_ERR_COPY_TO_USER;
    }
    kfree(st);
    return rc;
}
