// bio allocation, reference counting and completion.
#include "kernel/bio.h"

#include <new>
#include <shared_mutex>

#include "kernel/accounting.h"
#include "kernel/blkdev.h"
#include "kernel/fault.h"
#include "kernel/printk.h"
#include "kernel/sched.h"

namespace {

// Shared by every interrupt section, taken exclusively for a grace period.
std::shared_mutex interruptSections;
thread_local int interruptDepth = 0;

// 2.6.9 serves vectors from pools of these sizes; a bio gets the smallest that fits.
unsigned poolVecs(int nr) {
    for (unsigned size : {1u, 4u, 16u, 64u, 128u, 256u})
        if (static_cast<unsigned>(nr) <= size) return size;
    return 0;
}

// The sizes nearly every bio has: up to 4 vectors.
constexpr size_t kSmallBio = sizeof(struct bio) + 4 * sizeof(struct bio_vec);
tav::kernel::ObjectCache<kSmallBio> smallBios;

void bioFree(struct bio* bio) {
    bool small = bio->bi_max_vecs <= 4;
    bio->~bio();
    if (small)
        smallBios.put(bio);
    else
        ::operator delete(static_cast<void*>(bio));
    tav::kernel::live().bios--;
}

struct bio* allocate(int nr_iovecs) {
    if (nr_iovecs < 0 || nr_iovecs > BIO_MAX_PAGES) return nullptr;
    unsigned vecs = nr_iovecs ? poolVecs(nr_iovecs) : 0;
    size_t bytes = sizeof(struct bio) + vecs * sizeof(struct bio_vec);
    void* mem = vecs <= 4 ? smallBios.get() : ::operator new(bytes, std::nothrow);
    if (!mem) return nullptr;
    auto* bio = new (mem) struct bio();
    if (vecs) std::memset(static_cast<void*>(bio + 1), 0, vecs * sizeof(struct bio_vec));
    bio->bi_flags = 1UL << BIO_UPTODATE;
    bio->bi_cnt.counter.store(1, std::memory_order_relaxed);  // not yet shared
    bio->bi_max_vecs = vecs;
    bio->bi_io_vec = vecs ? reinterpret_cast<struct bio_vec*>(bio + 1) : nullptr;
    bio->bi_destructor = bioFree;
    tav::kernel::live().bios++;
    return bio;
}

}  // namespace

struct bio* bio_alloc(gfp_t, int nr_iovecs) {
    if (tav::fault::shouldFail(tav::fault::Site::BioAlloc)) return nullptr;
    return allocate(nr_iovecs);
}

struct bio* tav::kernel::platformBioAlloc(int nr_iovecs) {
    struct bio* bio = allocate(nr_iovecs);
    BUG_ON(!bio);
    return bio;
}

void bio_get(struct bio* bio) {
    BUG_ON(atomic_read(&bio->bi_cnt) <= 0);
    atomic_inc(&bio->bi_cnt);
}

void bio_put(struct bio* bio) {
    BUG_ON(atomic_read(&bio->bi_cnt) <= 0);
    if (atomic_dec_and_test(&bio->bi_cnt)) {
        bio->bi_next = nullptr;
        bio->bi_destructor(bio);
    }
}

int bio_add_page(struct bio* bio, struct page* page, unsigned int len, unsigned int offset) {
    if (bio->bi_vcnt >= bio->bi_max_vecs || offset + len > PAGE_SIZE || len == 0) return 0;
    if (bio->bi_bdev) {
        request_queue_t* q = bdev_get_queue(bio->bi_bdev);
        if (q && ((bio->bi_size + len) >> 9) > q->max_sectors) return 0;
    }
    struct bio_vec* bv = &bio->bi_io_vec[bio->bi_vcnt++];
    bv->bv_page = page;
    bv->bv_len = len;
    bv->bv_offset = offset;
    bio->bi_size += len;
    return static_cast<int>(len);
}

void bio_endio(struct bio* bio, unsigned int bytes_done, int error) {
    if (error) clear_bit(BIO_UPTODATE, &bio->bi_flags);
    if (unlikely(bytes_done > bio->bi_size)) {
        printk("%s: want %u bytes done, only %u left\n", __func__, bytes_done, bio->bi_size);
        bytes_done = bio->bi_size;
    }
    bio->bi_size -= bytes_done;
    bio->bi_sector += bytes_done >> 9;
    if (bio->bi_end_io) bio->bi_end_io(bio, bytes_done, error);
}

tav::kernel::InterruptContext::InterruptContext() {
    if (interruptDepth++ == 0) interruptSections.lock_shared();
    current->atomicDepth++;
}

tav::kernel::InterruptContext::~InterruptContext() {
    current->atomicDepth--;
    if (--interruptDepth == 0) interruptSections.unlock_shared();
}

void tav::kernel::synchronizeInterrupts() {
    BUG_ON(interruptDepth > 0);
    std::lock_guard lk(interruptSections);
}

bool tav::kernel::interruptsQuiescent() {
    BUG_ON(interruptDepth > 0);
    if (!interruptSections.try_lock()) return false;
    interruptSections.unlock();
    return true;
}

bool tav::kernel::inInterrupt() { return interruptDepth > 0; }

namespace {
struct Deferred {
    void (*fn)(void*, void*);
    void* a;
    void* b;
};
thread_local std::vector<Deferred> deferred;  // this task's; in order
thread_local bool runningDeferred = false;
}  // namespace

thread_local constinit int tav::kernel::deferredPending = 0;

void tav::kernel::deferCompletion(void (*fn)(void*, void*), void* a, void* b) {
    deferred.push_back({fn, a, b});
    deferredPending = 1;
}

void tav::kernel::runDeferredCompletionsQueued() {
    if (runningDeferred) return;  // the run in progress picks up what is added
    runningDeferred = true;
    for (std::size_t i = 0; i < deferred.size(); ++i) {
        Deferred d = deferred[i];  // the vector may grow during the call
        d.fn(d.a, d.b);
    }
    deferred.clear();
    deferredPending = 0;
    runningDeferred = false;
}
