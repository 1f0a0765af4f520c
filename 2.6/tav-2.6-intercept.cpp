/*
 * Write interception: the backup's make-request hook, the mapping of a bio to its
 * partition and blocks, and the FIFO of requests held for the copy-on-write worker.
 *
 * A bio counts as a write when the write bit of bi_rw is set, read-ahead bit or not: a
 * write with the read-ahead bit overwrites blocks like any other write.
 */
#include "2.6/tav-2.6.h"
#include "2.6/tavlib.h"
#include "kernel/printk.h"
#include "kernel/sched.h"

/*
 * The partition of the bio's first sector; the disk's own minor when no partition holds
 * it. Process context; may sleep (the disk's bd_sem guards its partition table).
 */
int BIOToMinor(struct bio* bio) {
    struct block_device* bdev = bio->bi_bdev;
    struct gendisk* disk = bdev->bd_disk;
    if (!disk) return static_cast<int>(MINOR(bdev->bd_dev));
    int minor = disk->first_minor;
    down(&bdev->bd_sem);
    for (int p = 1; p < disk->minors; p++) {
        struct hd_struct* part = disk->part[p - 1];
        if (part && part->start_sect <= bio->bi_sector && bio->bi_sector < part->start_sect + part->nr_sects) {
            minor = disk->first_minor + p;
            break;
        }
    }
    up(&bdev->bd_sem);
    return minor;
}

/* The inclusive, partition-relative block range of the bio, limited to the partition. */
void BIOToBlockNumbers(DiskInfo* diskInfo, struct bio* bio, unsigned int* startBN, unsigned int* endBN) {
    u64 start = bio->bi_sector < diskInfo->partitionStart ? 0 : bio->bi_sector - diskInfo->partitionStart;
    u64 end = start + bio->bi_size / 512;
    if (end) end--;
    if (bio->bi_size % 512) end++;
    if (end >= diskInfo->partitionLen) end = diskInfo->partitionLen ? diskInfo->partitionLen - 1 : 0;
    *startBN = static_cast<unsigned int>(start >> diskInfo->sectorsPerBlockShift);
    *endBN = static_cast<unsigned int>(end >> diskInfo->sectorsPerBlockShift);
}

/*
 * Whether bn's present contents must be preserved before it is overwritten. A block
 * beyond the backup's block count is never read by the agent and has no cache-map bit to
 * record its copy, so it is never preserved.
 */
int doWeCacheBlock(Backup* b, unsigned int bn) {
    if (bn >= b->cacheMap.size) return 0;
    if (backupState(b) == BACKUP_MAP_LOADED) return blockInMap(&b->blockMap, bn) && !blockInMap(&b->cacheMap, bn);
    return !blockInMap(&b->cacheMap, bn);
}

int doWeCacheBlocks(Backup* b, unsigned int startBN, unsigned int endBN) {
    for (u64 bn = startBN; bn <= endBN; bn++)
        if (doWeCacheBlock(b, static_cast<unsigned int>(bn))) return 1;
    return 0;
}

/* The record is the worker's from here on; it runs once per queued record. */
void addMRToQueue(Backup* b, MakeRequest* mr) {
    unsigned long flags;
    spin_lock_irqsave(&b->mrLock, flags);
    if (!b->mrTail) {
        b->mrHead = mr;
    } else {
        b->mrTail->next = mr;
    }
    b->mrTail = mr;
    atomic_inc(&b->mrInQueue);
    spin_unlock_irqrestore(&b->mrLock, flags);
    up(&signalThread);
}

/* The oldest record, unlinked; mrInQueue counts it until the worker is done with it. */
MakeRequest* getTopMR(Backup* b) {
    unsigned long flags;
    spin_lock_irqsave(&b->mrLock, flags);
    MakeRequest* mr = b->mrHead;
    if (mr) {
        b->mrHead = mr->next;
        if (b->mrTail == mr) b->mrTail = nullptr;
        mr->next = nullptr;
    }
    spin_unlock_irqrestore(&b->mrLock, flags);
    return mr;
}

void closeMR(MakeRequest* mr) { kfree(mr); }

/*
 * No memory for the record: the backup fails (BACKUP_ERR_QUEUE), its hook leaves the
 * queue, and the caller passes the request on unpreserved. 1 when queued, -1 otherwise.
 * Caller holds b->writers for reading. Process context; may sleep.
 */
int newMR(Backup* b, request_queue_t* q, struct bio* bio, unsigned int startBN, unsigned int endBN) {
    MakeRequest* mr = static_cast<MakeRequest*>(kmalloc(sizeof(MakeRequest), GFP_NOIO));
    if (!mr) {
        setBackupState(b, BACKUP_ERR_QUEUE);
        errorAMS(b);
        return -1;
    }
    memset(mr, 0, sizeof *mr);
    mr->q = q;
    mr->bio = bio;
    mr->startBN = startBN;
    mr->endBN = endBN;
    mr->next = nullptr;
    addMRToQueue(b, mr);
    return 1;
}

/*
 * 1 = held for the worker; 0 = pass on; -1 = the session failed for want of a queue
 * record, pass on. A queued write is recorded in its automap here, before the worker can
 * pass it on and its completion end it: *amUpdated tells the hook. Process context; may
 * sleep.
 */
int cacheMRFBlock(request_queue_t* q, struct bio* bio, int bioMinor, int* amUpdated) {
    unsigned long rw = bio_rw(bio);
    *amUpdated = 0;
    if (rw == READA) return 0;

    unsigned int major = MAJOR(bio->bi_bdev->bd_dev);
    Backup* b = nullptr;
    down_read(&activeSessionUsers);
    Backup* s = activeSession;
    if (s && MAJOR(s->diskInfo.kdev) == major && MINOR(s->diskInfo.kdev) == static_cast<unsigned int>(bioMinor)) {
        b = s;
        atomic_inc(&b->hooksInside);
    }
    up_read(&activeSessionUsers);
    if (!b) return 0;

    int result = 0;
    down_read(&b->writers);
    unsigned int state = backupState(b);
    if (state > 3 && state <= BACKUP_MAP_LOADED) {
        unsigned int startBN, endBN;
        BIOToBlockNumbers(&b->diskInfo, bio, &startBN, &endBN);
        if (doWeCacheBlocks(b, startBN, endBN)) {
            if (rw & WRITE) {
                updateAM(bio, bioMinor);
                *amUpdated = 1;
            }
            result = newMR(b, q, bio, startBN, endBN);
        }
    }
    up_read(&b->writers);
    atomic_dec(&b->hooksInside);
    return result;
}

/*
 * The make_request_fn of a disk under backup. Every write is recorded in its device's
 * automap after the copy decision: a write decided before the snapshot's switch lands in
 * the image and in the change map that the snapshot hands over; one decided after it is
 * preserved and counts for the next backup. Process context; may sleep.
 */
int tavMRF(request_queue_t* q, struct bio* bio) {
    set_current_state(TASK_RUNNING);
    unsigned long rw = bio_rw(bio);
    int bioMinor = BIOToMinor(bio);
    int amUpdated;
    int cachedBlock = cacheMRFBlock(q, bio, bioMinor, &amUpdated);
    if (cachedBlock > 0) return 0;
    if ((rw & WRITE) && !amUpdated) updateAM(bio, bioMinor);

    make_request_fn* realMRF = getRealMRF(q);
    if (!realMRF) {
        /* No driver to hand the request to: end it, so that its submitter sees it fail. */
        printk("<2>%s: request intercepted for unknown device major=%d minor=%d\n", __func__,
               static_cast<int>(MAJOR(bio->bi_bdev->bd_dev)), bioMinor);
        bio_endio(bio, bio->bi_size, -EIO);
        return 0;
    }
    return realMRF(q, bio);
}
