// Block devices, request queues and the submission path (2.6.9 semantics).
//
// A bio travels: submit_bio / generic_make_request -> size check against the bdev ->
// partition remap onto the whole disk -> q->make_request_fn (a driver, or a hook that
// stands in front of it), resubmitted while that returns non-zero. Drivers may plug:
// hold fresh bios briefly to merge them, until blk_run_queues(), wait_on_buffer(), the
// queue's unplug timer (unplug_delay) or their own batch cap unplugs them.
//
// Lock order of the block layer (outermost first):
//   queue registry (shared by every unplug: blk_run_queues, the unplug timer;
//                   exclusive by blk_alloc_queue / blk_cleanup_queue)
//     a driver's own locks (drivers/: plug list, in-flight transfers)
//       unplug timer lock (leaf: blk_plug_device, blk_remove_plug)
//   a partition's bd_sem (its open and close)
//     whole disk's bd_sem (its open and close; the partition table of its gendisk)
//       bdev table lock (leaf: the bdget table, the list of added disks, the bindings)
//   bd_mount_sem (freeze_bdev .. thaw_bdev, mount; see kernel/super.h)
// Completion callbacks (bio_endio from a driver) are called with no block-layer lock held,
// inside a tav::kernel::InterruptContext (kernel/bio.h).
#pragma once

#include <atomic>

#include "kernel/atomic.h"
#include "kernel/bio.h"
#include "kernel/genhd.h"
#include "kernel/semaphore.h"
#include "kernel/spinlock.h"
#include "kernel/types.h"

struct block_device {
    dev_t bd_dev;             // set at creation, read-only after
    struct semaphore bd_sem;  // open/close; on a whole disk also its partition table
    struct semaphore bd_mount_sem;  // mount, unmount, freeze_bdev .. thaw_bdev
    // The disk binding: set by the first blkdev_get, cleared by the last blkdev_put (and
    // bd_disk/bd_part by del_gendisk or delete_partition while open). Written under the
    // bdev table lock, with this bdev's bd_sem held (and the whole disk's, for partitions).
    struct block_device* bd_contains;  // the whole disk (holds a reference and an open of it)
    struct hd_struct* bd_part;         // null for a whole disk
    struct gendisk* bd_disk;           // null while not open or no disk owns bd_dev
    int bd_openers;                    // guarded by bd_sem
    unsigned bd_block_size;            // the mounted file system's block size, else 512
    atomic_t bd_count;                 // references (bdget / bdput)
};

// The block device for dev, created on first use; unbound (null bd_disk) until opened.
// Every call takes a reference. Process context; may sleep.
struct block_device* bdget(dev_t dev);
void bdput(struct block_device* bdev);
// Opens bdev, taking over the caller's reference: the first open binds it to the disk
// that owns bd_dev (a partition also opens its whole disk). 0, or -ENXIO when no added
// disk has that number or partition; on failure the reference is dropped, as 2.6.9 does.
// Process context; may sleep.
int blkdev_get(struct block_device* bdev, mode_t mode, unsigned flags);
// Closes bdev and drops the reference the open took over; the last close unbinds it.
int blkdev_put(struct block_device* bdev);
namespace tav::kernel {
// Another reference on a bdev the caller holds one on.
struct block_device* bdgrab(struct block_device* bdev);
}  // namespace tav::kernel
// Size of the block device in sectors: its partition's or its disk's; 0 without a disk.
sector_t bdevSectors(const struct block_device* bdev);
// "tda1" etc. (see disk_name); "unknown-block(M,m)" for a bdev without a disk.
const char* bdevname(struct block_device* bdev, char* buf);

namespace tav::kernel {
// References held on dev's block device; 0 when none exists. For leak checks.
int bdevReferences(dev_t dev);
}  // namespace tav::kernel

typedef struct request_queue request_queue_t;
typedef int(make_request_fn)(request_queue_t* q, struct bio* bio);
typedef void(unplug_fn)(request_queue_t* q);

namespace tav::kernel {
// q->make_request_fn is replaced (under queue_lock) while other tasks submit through it,
// so it is an atomic slot that reads, assigns, compares and calls like the plain pointer.
class MakeRequestSlot {
public:
    MakeRequestSlot() = default;
    MakeRequestSlot(const MakeRequestSlot&) = delete;
    MakeRequestSlot& operator=(const MakeRequestSlot&) = delete;
    MakeRequestSlot& operator=(make_request_fn* fn) {
        fn_.store(fn, std::memory_order_release);
        return *this;
    }
    operator make_request_fn*() const { return fn_.load(std::memory_order_acquire); }
    int operator()(request_queue_t* q, struct bio* bio) const { return (*fn_.load(std::memory_order_acquire))(q, bio); }

private:
    std::atomic<make_request_fn*> fn_{nullptr};
};
}  // namespace tav::kernel

// queue_flags bits.
#define QUEUE_FLAG_CLUSTER 0
#define QUEUE_FLAG_QUEUED 1
#define QUEUE_FLAG_STOPPED 2
#define QUEUE_FLAG_READFULL 3
#define QUEUE_FLAG_WRITEFULL 4
#define QUEUE_FLAG_DEAD 5
#define QUEUE_FLAG_REENTER 6
#define QUEUE_FLAG_PLUGGED 7

struct request_queue {
    tav::kernel::MakeRequestSlot make_request_fn;  // atomic; replaced under queue_lock
    ::unplug_fn* unplug_fn;  // set by the driver before the queue is used, read-only after
    // The lock that guards replacing make_request_fn; points at __queue_lock unless the
    // driver gives its own. Null on a bio-based driver's queue, as blk_alloc_queue leaves
    // it on 2.6.9: there is then nothing to take.
    spinlock_t* queue_lock;
    void* queuedata;  // the driver's; set before use, read-only after
    unsigned long queue_flags;  // QUEUE_FLAG_* (atomic bit operations)

    unsigned short max_sectors;
    unsigned short max_hw_sectors;
    unsigned short max_phys_segments;
    unsigned short max_hw_segments;
    unsigned short hardsect_size;
    unsigned long unplug_delay;  // jiffies from plugging until the unplug timer fires
    unsigned int unplug_thresh;

    atomic_t refcnt;
    spinlock_t __queue_lock;
    // When the current plug's unplug timer is due (steady clock, ns); set by
    // blk_plug_device, read by the unplug thread.
    std::atomic<long long> unplug_expires{0};
};

// A queue without a make_request_fn yet (set it with blk_queue_make_request); registered
// for unplugging. Null when no memory.
request_queue_t* blk_alloc_queue(gfp_t gfp_mask);
// Sets the make_request_fn and the 2.6.9 defaults (max_sectors 255, hardsect 512,
// unplug_delay 1 ms, unplug_thresh 4).
void blk_queue_make_request(request_queue_t* q, make_request_fn* mfn);
void blk_queue_max_sectors(request_queue_t* q, unsigned short max_sectors);
void blk_queue_hardsect_size(request_queue_t* q, unsigned short size);
// Marks the queue dead, stops its unplug timer (waiting for a running one) and drops the
// queue's reference. After it returns no unplug call reaches the queue's driver.
void blk_cleanup_queue(request_queue_t* q);
void blk_get_queue(request_queue_t* q);
void blk_put_queue(request_queue_t* q);
// The queue of the bdev's disk; null when the bdev has no disk.
request_queue_t* bdev_get_queue(struct block_device* bdev);

// Plugging. blk_plug_device marks the queue plugged and arms its unplug timer
// (unplug_delay); when it fires while the queue is still plugged by then, the unplug
// thread ("kblockd") calls q->unplug_fn. blk_remove_plug clears the mark and returns 1 if
// the queue was plugged. Any context; never sleep.
void blk_plug_device(request_queue_t* q);
int blk_remove_plug(request_queue_t* q);
inline int blk_queue_plugged(request_queue_t* q) { return test_bit(QUEUE_FLAG_PLUGGED, &q->queue_flags); }
// 2.6.9's: takes queue_lock; a plugged, not stopped queue loses its plug and its driver
// runs (q->unplug_fn, once queue_lock is dropped). On a queue without a queue_lock it is a
// fatal error, as the NULL dereference is on 2.6.9.
void generic_unplug_device(request_queue_t* q);
// Unplugs every queue: plugged bios are dispatched at once. Process context.
void blk_run_queues(void);
namespace tav::kernel {
// True while this thread runs a driver's unplug_fn for the block layer (which then runs
// the deferred completions); false when a driver's unplug_fn is called directly.
bool insideQueueRegistry();
}  // namespace tav::kernel

// Submits a bio (see the top of this file). A bio beyond the end of its device, or for a
// device without a disk or queue, is ended at once with -EIO. Process context; may sleep.
void generic_make_request(struct bio* bio);
// bi_rw |= rw, then generic_make_request.
void submit_bio(int rw, struct bio* bio);
