// The driver core shared by the RAM and file disks: the make_request_fn, plugging,
// merging, ordering of overlapping transfers, fault and hold gates, and completion.
//
// Lock order (inside a queue-registry unplug, see kernel/blkdev.h):
//   plugLock_ (plug list; also orders registration of transfers with submission)
//     flightLock_ (transfers in flight and waiting)
//     spareLock_ (recycled transfers; leaf)
//     the unplug timer lock (blk_plug_device; leaf)
//   holdLock_: never held with another lock (taken before plugLock_, one after the other)
//   engine locks (the io_uring submission lock, the worker queue) are leaves, never held
//   while calling back into the core.
// Completions run in a tav::kernel::InterruptContext with none of these locks held: a read
// the page cache holds is copied by the submitter and completed through
// tav::kernel::deferCompletion once the submitter has left the block layer, and so is a
// write to a file store.
#pragma once

#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tav/blockio.h"
#include "kernel/blkdev.h"
#include "kernel/spinlock.h"

namespace tav::drivers {

using Clock = std::chrono::steady_clock;

// One run of bios that are adjacent on disk and go the same way, or a single bio that
// ends without I/O (noIo: invalid, faulted, or empty).
struct Transfer {
    int dir = READ;
    std::uint64_t sector = 0;
    std::size_t bytes = 0;
    std::vector<struct bio*> bios;
    std::vector<iovec> iov;
    bool noIo = false;
    int error = 0;     // noIo: what every bio ends with
    long result = 0;   // set by the engine: bytes done or -errno
    Clock::time_point due{};
    std::uint64_t end() const { return sector + bytes / 512; }
};

// The backing store: synchronous vectored access at a byte offset. Thread-safe.
class Storage {
public:
    virtual ~Storage() = default;
    // Bytes moved (short only at the end of the store) or -errno.
    virtual long readv(std::uint64_t offset, const iovec* iov, int count) = 0;
    virtual long writev(std::uint64_t offset, const iovec* iov, int count) = 0;
    virtual std::uint64_t bytes() const = 0;
    virtual int fd() const { return -1; }
    // A read served only if the page cache holds all of it, without blocking: the bytes
    // moved (fewer when only part was cached) or -EAGAIN.
    virtual long readvCached(std::uint64_t, const iovec*, int) { return -EAGAIN; }
    // A write the submitter may do itself (a file's page cache takes it without waiting for
    // the device): bytes moved or -errno, -EAGAIN when it must go to the engine.
    virtual long writevInline(std::uint64_t, const iovec*, int) { return -EAGAIN; }
};

class BlockDisk;

// The plug list's lock, taken once per bio: the platform's spinning lock, as the kernel's
// queue_lock is (an uncontended std::mutex costs two locked instructions and two calls),
// in a form std::lock_guard takes. Holders are in atomic context and must not sleep.
class SpinMutex {
public:
    void lock() { spin_lock(&spin_); }
    void unlock() { spin_unlock(&spin_); }

private:
    spinlock_t spin_;
};

// Runs transfers and hands each back to BlockDisk::complete on its completion thread.
class Engine {
public:
    virtual ~Engine() = default;
    virtual void submit(Transfer* t) = 0;  // never blocks on I/O
    virtual void stop() = 0;               // after the disk has drained
    virtual bool uring() const { return false; }
};

// preadv/pwritev or memcpy on worker threads, which are also the completion threads.
std::unique_ptr<Engine> makeWorkerEngine(BlockDisk& disk, Storage& storage, unsigned threads);
// io_uring; null (with *error) when the ring cannot be set up.
std::unique_ptr<Engine> makeUringEngine(BlockDisk& disk, int fd, int* error);

std::unique_ptr<Storage> makeRamStorage(std::uint64_t bytes, int* error);
std::unique_ptr<Storage> makeFileStorage(const std::string& path, std::uint64_t bytes, int* error);

// Primary partitions of an MBR sector (512 bytes); empty without the 0x55AA signature.
// Extended partitions are skipped; entries are clamped to capacity.
std::vector<PartitionSpec> parseMbr(const unsigned char* sector0, std::uint64_t capacity);

class BlockDisk {
public:
    BlockDisk(const DiskConfig& config, std::unique_ptr<Storage> storage);
    ~BlockDisk();

    // Builds the queue and gendisk and adds the disk; 0 or a negative errno.
    int start(std::unique_ptr<Engine> engine);

    const std::string& name() const { return config_.name; }
    struct gendisk* disk() const { return disk_; }
    request_queue_t* queue() const { return queue_; }
    std::uint64_t sectors() const { return sectors_; }
    const std::vector<PartitionSpec>& partitions() const { return partitions_; }
    struct block_device* bdev(int partno) const;
    bool usesUring() const { return engine_ && engine_->uring(); }
    Storage& storage() { return *storage_; }

    void setLatency(std::chrono::microseconds latency) { latencyUs_.store(latency.count()); }
    void setSkipReadCopy(bool on) { skipReadCopy_.store(on); }
    int hold(std::uint64_t first, std::uint64_t last, IoDir dir);
    bool waitHeld(int id, std::size_t count, std::chrono::milliseconds timeout);
    std::size_t heldCount(int id) const;
    void release(int id, std::size_t count);
    void removeHold(int id);
    DiskStats stats() const;

    // From the engine's completion thread (or, for a cached read, the submitter on its way out
    // of the block layer), with t->result set (or t->noIo).
    void complete(Transfer* t);

private:
    static int makeRequest(request_queue_t* q, struct bio* bio);
    static void unplug(request_queue_t* q);
    // fresh: first time in the driver (a bio a gate released was counted when held).
    void plug(struct bio* bio, bool fresh);
    void unplugNow();
    // unplugNow from outside the queue registry, which may end what it finished at once.
    void unplugOutside();
    /* Caller holds plugLock_. Returns the transfers to hand to the engine. */
    std::vector<Transfer*> registerLocked(std::vector<struct bio*>& batch);
    std::vector<Transfer*> buildRuns(std::vector<struct bio*>& batch);
    bool heldByGate(struct bio* bio);
    void startTransfers(const std::vector<Transfer*>& ts);
    bool readCached(Transfer* t);
    bool writeInline(Transfer* t);
    static void completeDeferred(void* disk, void* t);
    void endBios(Transfer* t);
    void stopAll();

    DiskConfig config_;
    std::uint64_t sectors_;                    // read-only after construction
    std::vector<PartitionSpec> partitions_;    // read-only after start
    std::unique_ptr<Storage> storage_;
    std::unique_ptr<Engine> engine_;           // set in start, read-only until the destructor
    request_queue_t* queue_ = nullptr;
    struct gendisk* disk_ = nullptr;
    std::vector<struct block_device*> bdevs_;  // our bdget references; read-only after start

    SpinMutex plugLock_;
    std::vector<struct bio*> plugged_;         // guarded by plugLock_

    std::mutex flightLock_;
    std::condition_variable drained_;
    std::vector<Transfer*> active_;            // guarded by flightLock_: with the engine
    std::deque<Transfer*> waiting_;            // guarded by flightLock_: behind an overlap
    long inFlight_ = 0;                        // guarded by flightLock_: not yet completed

    struct Gate {
        int id;
        std::uint64_t first, last;
        IoDir dir;
        std::deque<struct bio*> held;
    };
    mutable std::mutex holdLock_;
    std::condition_variable heldCv_;
    std::vector<Gate> gates_;                  // guarded by holdLock_
    int nextGate_ = 1;                         // guarded by holdLock_
    std::atomic<bool> gatesActive_{false};     // mirrors !gates_.empty()

    std::atomic<long> latencyUs_{0};
    std::atomic<bool> skipReadCopy_{false};  // benchmarks only: reads move no data

    // Submitters and the completion thread count on separate cache lines.
    struct Counters {
        // Bios that reached the driver: plugged (changed under plugLock_) plus held by a gate.
        alignas(64) std::atomic<long> plugged{0}, held{0}, transfers{0}, mergedBios{0}, largestTransferBios{0},
            readBytes{0}, writeBytes{0};
        alignas(64) std::atomic<long> completed{0}, failed{0};
    };
    Counters counters_;  // atomic

    // Finished transfers kept with their vectors' capacity for the next dispatch.
    Transfer* newTransfer();
    void recycle(Transfer* t);
    std::mutex spareLock_;          // leaf
    std::vector<Transfer*> spare_;  // guarded by spareLock_
};

}  // namespace tav::drivers
