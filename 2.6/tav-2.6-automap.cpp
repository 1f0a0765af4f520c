/*
 * The automap hook and the automap update that both hooks run for every write. Kept
 * beside tav-2.6.cpp (the block-I/O side) in a unit of its own.
 *
 * A bio counts as a write when the write bit of bi_rw is set: a write with the
 * read-ahead bit overwrites blocks like any other, so leaving it out would hide changed
 * blocks from the next incremental backup. A read-ahead (2) is a read.
 */
#include "2.6/tav-2.6.h"
#include "2.6/tavlib.h"
#include "kernel/printk.h"

/* The bits are set before the bio reaches the disk. Process context; may sleep. */
void updateAM(struct bio* bio, int bioMinor) {
    unsigned int major = MAJOR(bio->bi_bdev->bd_dev);
    if (major >= AM_LIST_DIM || bioMinor < 0 || bioMinor >= AM_LIST_DIM) return;
    AutoMapSession* ams = getDeviceAMS(MKDEV(major, static_cast<unsigned int>(bioMinor)));
    if (!ams) return;

    unsigned int startBN, endBN;
    BIOToBlockNumbers(&ams->diskInfo, bio, &startBN, &endBN);
    if (amsState(ams) == AMS_IN_SYNC) {
        /* 64-bit counter: endBN may be the largest block number. */
        for (u64 i = startBN; i <= endBN; i++) {
            int beyond = setBlock(&ams->map, static_cast<unsigned int>(i));
            if (beyond) {
                /* The map no longer covers the device: its change set is incomplete. */
                setAMSState(ams, AMS_NOT_IN_SYNC);
                printk("<4>%s: device resize detected (block %d in size %d) in automap update, automap not in "
                       "sync%s",
                       __func__, beyond, static_cast<int>(ams->map.size), "\n");
            }
        }
    }
    putDeviceAMS(ams);
}

/* Never delays, changes or completes a bio itself. */
int tavAMRF(request_queue_t* q, struct bio* bio) {
    int bioMinor = BIOToMinor(bio);
    if (bio->bi_rw & (1UL << BIO_RW)) updateAM(bio, bioMinor);
    make_request_fn* realMRF = getRealMRF(q);
    if (!realMRF) {
        printk("<2>%s: request intercepted for unknown device major=%d realMRF=%p\n", __func__,
               static_cast<int>(MAJOR(bio->bi_bdev->bd_dev)), reinterpret_cast<void*>(realMRF));
        BUG();
    }
    return realMRF(q, bio);
}
