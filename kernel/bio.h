// struct bio: the unit of block I/O, with the 2.6.9 fields, flags and completion protocol.
//
// Completion (bio_endio) runs in the driver's "interrupt context": a thread other than
// the submitter's, where the callback must not sleep. A bio is freed by bio_put when its
// count (bi_cnt, 1 after bio_alloc) reaches 0.
#pragma once

#include <mutex>
#include <vector>

#include "kernel/atomic.h"
#include "kernel/object_cache.h"
#include "kernel/mm.h"
#include "kernel/types.h"

// Request directions (bi_rw bit 0 = write, bit 1 = read-ahead).
#ifndef READ
#define READ 0
#define WRITE 1
#define READA 2
#endif
#define RW_MASK 1
#define RWA_MASK 2

// bi_rw bits.
#define BIO_RW 0
#define BIO_RW_AHEAD 1
#define BIO_RW_BARRIER 2
#define BIO_RW_FAILFAST 3
#define BIO_RW_SYNC 4

// bi_flags bits.
#define BIO_UPTODATE 0    // ok after I/O completion
#define BIO_RW_BLOCK 1    // RW_AHEAD set, and read/write would block
#define BIO_EOF 2         // out-of-bounds error
#define BIO_SEG_VALID 3   // nr_hw_seg valid
#define BIO_CLONED 4      // doesn't own data
#define BIO_BOUNCED 5     // bio is a bounce bio
#define BIO_USER_MAPPED 6 // contains user pages
#define BIO_EOPNOTSUPP 7  // not supported

#define BIO_MAX_PAGES 256
#define BIO_MAX_SIZE (BIO_MAX_PAGES << PAGE_SHIFT)

struct bio;
struct block_device;

struct bio_vec {
    struct page* bv_page;
    unsigned int bv_len;
    unsigned int bv_offset;
};

typedef int(bio_end_io_t)(struct bio*, unsigned int bytes_done, int error);
typedef void(bio_destructor_t)(struct bio*);

struct bio {
    sector_t bi_sector;
    struct bio* bi_next;  // request queue link; free for the owner of the bio
    struct block_device* bi_bdev;
    unsigned long bi_flags;  // status, command, etc. (atomic bit operations)
    unsigned long bi_rw;     // bottom bits READ/WRITE, top bits priority

    unsigned short bi_vcnt;  // how many bio_vec's
    unsigned short bi_idx;   // current index into bvl_vec

    unsigned short bi_phys_segments;
    unsigned short bi_hw_segments;

    unsigned int bi_size;  // residual I/O count in bytes

    unsigned int bi_hw_front_size;
    unsigned int bi_hw_back_size;

    unsigned int bi_max_vecs;  // max bvl_vecs we can hold

    struct bio_vec* bi_io_vec;  // the actual vec list

    bio_end_io_t* bi_end_io;
    atomic_t bi_cnt;  // pin count

    void* bi_private;

    bio_destructor_t* bi_destructor;  // destructor; the default one frees the bio
};

#define bio_flagged(bio, flag) ((bio)->bi_flags & (1UL << (flag)))
#define bio_rw(bio) ((bio)->bi_rw & (RW_MASK | RWA_MASK))
#define bio_data_dir(bio) ((bio)->bi_rw & 1)
#define bio_barrier(bio) ((bio)->bi_rw & (1UL << BIO_RW_BARRIER))
#define bio_sync(bio) ((bio)->bi_rw & (1UL << BIO_RW_SYNC))
#define bio_iovec_idx(bio, idx) (&((bio)->bi_io_vec[(idx)]))
#define bio_iovec(bio) bio_iovec_idx((bio), (bio)->bi_idx)
#define bio_page(bio) bio_iovec((bio))->bv_page
#define bio_offset(bio) bio_iovec((bio))->bv_offset
#define bio_segments(bio) ((bio)->bi_vcnt - (bio)->bi_idx)
#define bio_sectors(bio) ((bio)->bi_size >> 9)
#define bio_cur_sectors(bio) (bio_iovec(bio)->bv_len >> 9)
#define bio_data(bio) (static_cast<char*>(page_address(bio_page((bio)))) + bio_offset((bio)))
#define __bio_for_each_segment(bvl, bio, i, start_idx) \
    for (bvl = bio_iovec_idx((bio), (start_idx)), i = (start_idx); i < (bio)->bi_vcnt; bvl++, i++)
#define bio_for_each_segment(bvl, bio, i) __bio_for_each_segment(bvl, bio, i, (bio)->bi_idx)

// A bio with room for nr_iovecs vectors (0 .. BIO_MAX_PAGES), count 1, BIO_UPTODATE set;
// null when nr_iovecs is too large or the "bio_alloc" fault fires. Counted in
// tav::kernel::live().bios until freed.
struct bio* bio_alloc(gfp_t gfp_mask, int nr_iovecs);
void bio_get(struct bio* bio);
// Drops a reference; at 0 the bio's destructor runs.
void bio_put(struct bio* bio);
// Adds len bytes of page at offset as the next vector; returns len, or 0 when the bio is
// full or the vector would cross the page.
int bio_add_page(struct bio* bio, struct page* page, unsigned int len, unsigned int offset);
// Ends bytes_done bytes of the bio: an error clears BIO_UPTODATE; bi_size shrinks and
// bi_sector advances; then bi_end_io(bio, bytes_done, error) runs.
void bio_endio(struct bio* bio, unsigned int bytes_done, int error);
// bio_endio of the whole residual size with -EIO.
inline void bio_io_error(struct bio* bio, unsigned int bytes) { bio_endio(bio, bytes, -EIO); }

namespace tav::kernel {

// Drivers end bios inside an InterruptContext: the task counts as atomic there (a callback
// that sleeps is reported by might_sleep), and synchronizeInterrupts() can wait for it.
class InterruptContext {
public:
    InterruptContext();
    ~InterruptContext();
    InterruptContext(const InterruptContext&) = delete;
    InterruptContext& operator=(const InterruptContext&) = delete;
};
// Returns once every InterruptContext entered before the call has been left (a grace
// period). Process context; may sleep.
void synchronizeInterrupts();
// The same without waiting: true when no InterruptContext is active at this moment.
bool interruptsQuiescent();
// True inside an InterruptContext on this thread.
bool inInterrupt();

// Completions a driver finished in the submitting task (a page-cache hit) but may not run
// where it found them: an unplug runs under the queue registry's lock. The task's queue
// runs, in order, when it leaves the block layer: the driver's make_request_fn, and
// generic_unplug_device, blk_run_queues and the unplug timer once the registry is
// released. A completion queued while the queue runs joins the same run.
void deferCompletion(void (*fn)(void*, void*), void* a, void* b);
// Nonzero while this task has completions queued (so that the common call finds nothing
// without touching the queue).
extern thread_local constinit int deferredPending;
void runDeferredCompletionsQueued();
inline void runDeferredCompletions() {
    if (deferredPending) runDeferredCompletionsQueued();
}

// bio_alloc for the platform's own I/O (the emulated file system, test helpers): never
// consults the fault plan, so platform traffic does not shift fault-sweep call counts.
struct bio* platformBioAlloc(int nr_iovecs);
}  // namespace tav::kernel
