// Request queues, plugging (the unplug timer thread, "kblockd") and the submission path.
#include "kernel/blkdev.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "kernel/printk.h"
#include "kernel/sched.h"

namespace {

using Clock = std::chrono::steady_clock;

// Serialises starting and stopping the unplug thread; outermost, never taken on an
// unplug path.
std::mutex queueLifeLock;
// The queue registry: shared by unplug calls, exclusive to add or remove a queue.
std::shared_mutex registryLock;
std::vector<request_queue*> registry;  // guarded by registryLock

// Non-zero while this thread runs drivers' unplug functions under registryLock.
thread_local int registryDepth = 0;
struct RegistrySection {
    RegistrySection() { registryDepth++; }
    ~RegistrySection() { registryDepth--; }
};

/* Caller holds registryLock (either mode). */
bool registered(request_queue* q) {
    return std::find(registry.begin(), registry.end(), q) != registry.end();
}

// The unplug timers. A timer is not disarmed when its queue is unplugged early: it fires
// later, finds the queue unplugged (or plugged again, with a later deadline) and lapses or
// re-arms. So a busy queue costs this thread about one wake-up per unplug_delay rather
// than one per plug. Entries may outlive their queue; the thread compares the pointer with
// the registry before it touches the queue.
class UnplugTimers {
public:
    /* Caller holds queueLifeLock. */
    void start() {
        std::lock_guard lk(lock_);
        if (thread_.joinable()) return;
        stop_ = false;
        thread_ = std::thread([this] { run(); });
    }
    /* Caller holds queueLifeLock and no registry lock. */
    void stop() {
        {
            std::lock_guard lk(lock_);
            if (!thread_.joinable()) return;
            stop_ = true;
            timers_.clear();
        }
        cv_.notify_all();
        thread_.join();
    }
    void arm(request_queue* q, Clock::time_point due) {
        bool wake;
        {
            std::lock_guard lk(lock_);
            auto it = std::find_if(timers_.begin(), timers_.end(), [q](const Timer& t) { return t.q == q; });
            if (it == timers_.end())
                timers_.push_back({q, due});
            else if (due < it->due)
                it->due = due;  // a later deadline is found when the timer fires
            else
                return;
            wake = due < sleepingUntil_;
        }
        if (wake) cv_.notify_one();
    }
    void forget(request_queue* q) {
        std::lock_guard lk(lock_);
        std::erase_if(timers_, [q](const Timer& t) { return t.q == q; });
    }

private:
    struct Timer {
        request_queue* q;
        Clock::time_point due;
    };
    void run() {
        std::unique_lock lk(lock_);
        while (!stop_) {
            auto next = std::min_element(timers_.begin(), timers_.end(),
                                         [](const Timer& a, const Timer& b) { return a.due < b.due; });
            if (next == timers_.end()) {
                sleepingUntil_ = Clock::time_point::max();
                cv_.wait(lk);
                continue;
            }
            if (next->due > Clock::now()) {
                // A copy: the vector may grow (and move) while we wait with the lock dropped.
                const Clock::time_point due = next->due;
                sleepingUntil_ = due;
                cv_.wait_until(lk, due);
                continue;
            }
            sleepingUntil_ = Clock::time_point::min();
            request_queue* q = next->q;
            timers_.erase(next);
            lk.unlock();
            {
                std::shared_lock reg(registryLock);
                RegistrySection inside;
                if (registered(q) && blk_queue_plugged(q)) {
                    auto due = Clock::time_point(std::chrono::nanoseconds(q->unplug_expires.load()));
                    if (due > Clock::now())
                        arm(q, due);
                    else if (q->unplug_fn)
                        q->unplug_fn(q);
                }
            }
            tav::kernel::runDeferredCompletions();
            lk.lock();
        }
    }

    std::mutex lock_;  // leaf
    std::condition_variable cv_;
    std::vector<Timer> timers_;  // guarded by lock_
    Clock::time_point sleepingUntil_ = Clock::time_point::min();  // guarded by lock_
    bool stop_ = false;          // guarded by lock_
    std::thread thread_;         // guarded by queueLifeLock
};
UnplugTimers unplugTimers;

/* Caller holds no block-layer lock. */
void endIo(struct bio* bio) { bio_endio(bio, bio->bi_size, -EIO); }

void partitionRemap(struct bio* bio) {
    struct block_device* bdev = bio->bi_bdev;
    if (bdev == bdev->bd_contains) return;
    struct hd_struct* p = bdev->bd_part;
    switch (bio->bi_rw) {
    case READ:
        std::atomic_ref(p->read_sectors).fetch_add(bio_sectors(bio), std::memory_order_relaxed);
        std::atomic_ref(p->reads).fetch_add(1, std::memory_order_relaxed);
        break;
    case WRITE:
        std::atomic_ref(p->write_sectors).fetch_add(bio_sectors(bio), std::memory_order_relaxed);
        std::atomic_ref(p->writes).fetch_add(1, std::memory_order_relaxed);
        break;
    }
    bio->bi_sector += p->start_sect;
    bio->bi_bdev = bdev->bd_contains;
}

}  // namespace

request_queue_t* blk_alloc_queue(gfp_t) {
    auto* q = new (std::nothrow) request_queue();
    if (!q) return nullptr;
    spin_lock_init(&q->__queue_lock);
    q->queue_lock = &q->__queue_lock;
    atomic_set(&q->refcnt, 1);
    std::lock_guard life(queueLifeLock);
    {
        std::unique_lock reg(registryLock);
        registry.push_back(q);
    }
    unplugTimers.start();
    return q;
}

void blk_queue_make_request(request_queue_t* q, make_request_fn* mfn) {
    q->max_sectors = 255;
    q->max_hw_sectors = 255;
    q->max_phys_segments = 128;
    q->max_hw_segments = 128;
    q->hardsect_size = 512;
    q->unplug_thresh = 4;
    q->unplug_delay = 1;  // jiffies (1 ms here; 2.6.9 uses 3 ms)
    q->make_request_fn = mfn;
}

void blk_queue_max_sectors(request_queue_t* q, unsigned short max_sectors) {
    q->max_sectors = q->max_hw_sectors = max_sectors;
}

void blk_queue_hardsect_size(request_queue_t* q, unsigned short size) { q->hardsect_size = size; }

void blk_cleanup_queue(request_queue_t* q) {
    set_bit(QUEUE_FLAG_DEAD, &q->queue_flags);
    {
        std::lock_guard life(queueLifeLock);
        bool empty;
        {
            // Waits for unplug calls inside the queue's driver to return.
            std::unique_lock reg(registryLock);
            std::erase(registry, q);
            empty = registry.empty();
        }
        unplugTimers.forget(q);
        if (empty) unplugTimers.stop();
    }
    blk_put_queue(q);
}

void blk_get_queue(request_queue_t* q) { atomic_inc(&q->refcnt); }

void blk_put_queue(request_queue_t* q) {
    if (atomic_dec_and_test(&q->refcnt)) delete q;
}

request_queue_t* bdev_get_queue(struct block_device* bdev) {
    struct gendisk* disk = bdev->bd_disk;
    return disk ? disk->queue : nullptr;
}

void blk_plug_device(request_queue_t* q) {
    if (test_bit(QUEUE_FLAG_STOPPED, &q->queue_flags)) return;
    if (test_bit(QUEUE_FLAG_PLUGGED, &q->queue_flags)) return;
    auto due = Clock::now() + std::chrono::milliseconds(q->unplug_delay);
    q->unplug_expires.store(std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count());
    if (!test_and_set_bit(QUEUE_FLAG_PLUGGED, &q->queue_flags)) unplugTimers.arm(q, due);
}

int blk_remove_plug(request_queue_t* q) { return test_and_clear_bit(QUEUE_FLAG_PLUGGED, &q->queue_flags); }

// As 2.6.9's: under queue_lock, a stopped or unplugged queue is left alone; a plugged one
// loses its plug and its driver is run. Here the driver's unplug_fn stands in for the
// request function, and runs once queue_lock is dropped (these drivers' dispatch takes
// sleeping locks). A queue without a queue_lock (a bio-based driver's) oopses, as
// spin_lock_irq(NULL) does on 2.6.9: such a queue is unplugged through q->unplug_fn.
void generic_unplug_device(request_queue_t* q) {
    if (!q->queue_lock) {
        printk("<1>Unable to handle kernel NULL pointer dereference in generic_unplug_device\n");
        BUG();
    }
    spin_lock_irq(q->queue_lock);
    bool run = !test_bit(QUEUE_FLAG_STOPPED, &q->queue_flags) && blk_remove_plug(q);
    spin_unlock_irq(q->queue_lock);
    if (run) {
        std::shared_lock reg(registryLock);
        RegistrySection inside;
        if (registered(q) && q->unplug_fn) q->unplug_fn(q);
    }
    tav::kernel::runDeferredCompletions();
}

void blk_run_queues(void) {
    {
        std::shared_lock reg(registryLock);
        RegistrySection inside;
        for (request_queue* q : registry)
            if (q->unplug_fn && blk_queue_plugged(q)) q->unplug_fn(q);
    }
    tav::kernel::runDeferredCompletions();
}

bool tav::kernel::insideQueueRegistry() { return registryDepth > 0; }

void generic_make_request(struct bio* bio) {
    might_sleep();
    char b[BDEVNAME_SIZE];
    sector_t maxsector = bdevSectors(bio->bi_bdev);
    sector_t nr_sectors = bio_sectors(bio);
    if (maxsector && (maxsector < nr_sectors || maxsector - nr_sectors < bio->bi_sector)) {
        printk(KERN_INFO "attempt to access beyond end of device\n");
        printk(KERN_INFO "%s: rw=%lu, want=%llu, limit=%llu\n", bdevname(bio->bi_bdev, b), bio->bi_rw,
               static_cast<unsigned long long>(bio->bi_sector + nr_sectors),
               static_cast<unsigned long long>(maxsector));
        set_bit(BIO_EOF, &bio->bi_flags);
        endIo(bio);
        return;
    }
    int ret;
    do {
        request_queue_t* q = bdev_get_queue(bio->bi_bdev);
        if (!q) {
            printk(KERN_ERR "generic_make_request: Trying to access nonexistent block-device %s (%llu)\n",
                   bdevname(bio->bi_bdev, b), static_cast<unsigned long long>(bio->bi_sector));
            endIo(bio);
            return;
        }
        if (unlikely(bio_sectors(bio) > q->max_hw_sectors)) {
            printk("bio too big device %s (%u > %u)\n", bdevname(bio->bi_bdev, b), bio_sectors(bio),
                   static_cast<unsigned>(q->max_hw_sectors));
            endIo(bio);
            return;
        }
        if (test_bit(QUEUE_FLAG_DEAD, &q->queue_flags)) {
            endIo(bio);
            return;
        }
        partitionRemap(bio);
        ret = q->make_request_fn(q, bio);
    } while (ret);
}

void submit_bio(int rw, struct bio* bio) {
    bio->bi_rw |= static_cast<unsigned long>(rw);
    generic_make_request(bio);
}
