// Buffer heads: allocation, the BH_Lock wait protocol and synchronous buffer I/O.
#include "kernel/buffer_head.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/bio.h"
#include "kernel/blkdev.h"
#include "kernel/fault.h"
#include "kernel/sched.h"

namespace {

// Waiters sleep in a bucket chosen by the buffer's address, like the kernel's hashed
// bit wait queues. Each bucket lock is a leaf.
struct WaitBucket {
    std::mutex lock;
    std::condition_variable cv;
    std::atomic<int> waiters{0};  // tasks that may sleep here (see unlock_buffer)
};
std::array<WaitBucket, 64> waitTable;

WaitBucket& bucketOf(const struct buffer_head* bh) {
    auto a = reinterpret_cast<std::uintptr_t>(bh);
    return waitTable[(a >> 6) % waitTable.size()];
}

int endBioBhIoSync(struct bio* bio, unsigned int, int err) {
    if (bio->bi_size) return 1;
    auto* bh = static_cast<struct buffer_head*>(bio->bi_private);
    if (err == -EOPNOTSUPP) {
        set_bit(BIO_EOPNOTSUPP, &bio->bi_flags);
        set_bit(BH_Eopnotsupp, &bh->b_state);
    }
    bh->b_end_io(bh, test_bit(BIO_UPTODATE, &bio->bi_flags));
    bio_put(bio);
    return 0;
}

tav::kernel::ObjectCache<sizeof(buffer_head)> bufferHeads;

}  // namespace

struct buffer_head* alloc_buffer_head(gfp_t) {
    if (tav::fault::shouldFail(tav::fault::Site::AllocBufferHead)) return nullptr;
    auto* bh = new (bufferHeads.get()) buffer_head();
    INIT_LIST_HEAD(&bh->b_assoc_buffers);
    tav::kernel::live().bufferHeads++;
    return bh;
}

// A completion may still drop its reference after unlock_buffer has let the waiter free
// the buffer (end_buffer_read_sync does exactly that), which the kernel's slab memory
// tolerates. Freed buffers are therefore kept, per freeing thread, until a moment when no
// completion runs: every completion that could have seen them has ended by then.
namespace {
constexpr size_t kDeferredBatch = 64;
// Beyond this the freeing task waits for the grace period instead of trying later.
constexpr size_t kDeferredLimit = 4096;

struct DeferredFrees {
    std::vector<struct buffer_head*> list;  // this thread only
    void release() {
        for (struct buffer_head* b : list) {
            b->~buffer_head();
            bufferHeads.put(b);
        }
        list.clear();
    }
    ~DeferredFrees() {
        if (list.empty()) return;
        tav::kernel::synchronizeInterrupts();
        release();
    }
};
thread_local DeferredFrees deferred;
// Buffers freed inside completions wait here for a process-context free to reclaim them.
std::mutex orphanLock;                      // leaf
std::vector<struct buffer_head*> orphans;   // guarded by orphanLock
}  // namespace

void free_buffer_head(struct buffer_head* bh) {
    BUG_ON(!list_empty(&bh->b_assoc_buffers));
    tav::kernel::live().bufferHeads--;
    deferred.list.push_back(bh);
    if (deferred.list.size() < kDeferredBatch) return;
    if (tav::kernel::inInterrupt()) {
        std::lock_guard lk(orphanLock);
        orphans.insert(orphans.end(), deferred.list.begin(), deferred.list.end());
        deferred.list.clear();
        return;
    }
    {
        std::lock_guard lk(orphanLock);
        deferred.list.insert(deferred.list.end(), orphans.begin(), orphans.end());
        orphans.clear();
    }
    // Waiting could deadlock against a completion that needs a lock the caller holds, so
    // only a long list makes the caller wait.
    if (deferred.list.size() >= kDeferredLimit)
        tav::kernel::synchronizeInterrupts();
    else if (!tav::kernel::interruptsQuiescent())
        return;
    deferred.release();
}

void set_bh_page(struct buffer_head* bh, struct page* page, unsigned long offset) {
    bh->b_page = page;
    BUG_ON(offset >= PAGE_SIZE);
    bh->b_data = static_cast<char*>(page_address(page)) + offset;
}

namespace {
bool lockedSeqCst(const struct buffer_head* bh) {
    auto& state = const_cast<unsigned long&>(bh->b_state);
    return (std::atomic_ref(state).load(std::memory_order_seq_cst) >> BH_Lock) & 1;
}
}  // namespace

void __wait_on_buffer(struct buffer_head* bh) {
    if (!bufferLockedAcquire(bh)) return;
    might_sleep();
    // The I/O this buffer waits for may sit in a plugged queue.
    blk_run_queues();
    // A completion usually follows within microseconds (the driver is ending a batch).
    if (tav::kernel::pollBriefly([bh] { return !bufferLockedAcquire(bh); })) return;
    WaitBucket& b = bucketOf(bh);
    b.waiters.fetch_add(1, std::memory_order_seq_cst);
    {
        std::unique_lock lk(b.lock);
        b.cv.wait(lk, [bh] { return !lockedSeqCst(bh); });
    }
    b.waiters.fetch_sub(1, std::memory_order_relaxed);
}

void lock_buffer(struct buffer_head* bh) {
    while (test_set_buffer_locked(bh)) __wait_on_buffer(bh);
}

void unlock_buffer(struct buffer_head* bh) {
    WaitBucket& b = bucketOf(bh);
    clear_buffer_locked(bh);  // a seq_cst read-modify-write
    // Pairs with the waiter's count-then-test: either it sees the bit clear or we see it
    // counted. Taking the bucket lock orders the wake after its test.
    if (b.waiters.load(std::memory_order_seq_cst) == 0) return;
    std::lock_guard lk(b.lock);
    b.cv.notify_all();
}

int submit_bh(int rw, struct buffer_head* bh) {
    BUG_ON(!buffer_locked(bh));
    BUG_ON(!buffer_mapped(bh));
    BUG_ON(!bh->b_end_io);
    if (buffer_ordered(bh) && rw == WRITE) rw |= 1 << BIO_RW_BARRIER;
    if (test_set_buffer_req(bh) && (rw & WRITE)) clear_buffer_write_io_error(bh);

    // The kernel's bio mempool never fails here, so neither does this allocation.
    struct bio* bio = tav::kernel::platformBioAlloc(1);
    bio->bi_sector = bh->b_blocknr * (bh->b_size >> 9);
    bio->bi_bdev = bh->b_bdev;
    bio->bi_io_vec[0].bv_page = bh->b_page;
    bio->bi_io_vec[0].bv_len = bh->b_size;
    bio->bi_io_vec[0].bv_offset = static_cast<unsigned>(bh_offset(bh));
    bio->bi_vcnt = 1;
    bio->bi_idx = 0;
    bio->bi_size = bh->b_size;
    bio->bi_end_io = endBioBhIoSync;
    bio->bi_private = bh;

    bio_get(bio);
    submit_bio(rw, bio);
    int ret = test_bit(BIO_EOPNOTSUPP, &bio->bi_flags) ? -EOPNOTSUPP : 0;
    bio_put(bio);
    return ret;
}

void end_buffer_read_sync(struct buffer_head* bh, int uptodate) {
    if (uptodate)
        set_buffer_uptodate(bh);
    else
        clear_buffer_uptodate(bh);
    unlock_buffer(bh);
    put_bh(bh);
}

void end_buffer_write_sync(struct buffer_head* bh, int uptodate) {
    if (uptodate) {
        set_buffer_uptodate(bh);
    } else {
        set_buffer_write_io_error(bh);
        clear_buffer_uptodate(bh);
    }
    unlock_buffer(bh);
    put_bh(bh);
}
