// Block I/O for tests and tools: emulated disks, the emulated file system (tavfs) and
// raw bio helpers, over the platform's kernel block layer (kernel/blkdev.h).
//
// A Disk is a gendisk with a request queue whose make_request_fn is the disk's driver:
// it plugs fresh bios (up to plugBatch, or until an unplug: blk_run_queues,
// wait_on_buffer, the 1 ms unplug timer), merges runs of bios that are adjacent on disk
// and go the same way into one transfer, serves transfers asynchronously (RAM: memcpy on
// the disk's worker; file: io_uring, or preadv/pwritev on the worker) and completes every
// bio with bio_endio from its own completion thread, in interrupt context (a callback
// that sleeps is reported by might_sleep). Writes that overlap a transfer in flight wait
// for it, so overlapping I/O reaches the store in submission order.
//
// Sectors given to a Disk (faults, holds, raw access) are whole-disk sectors, which is
// what the driver sees after the partition remap; BioBatch and Mount take sectors and
// blocks relative to their block device.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kernel/super.h"
#include "kernel/types.h"

struct block_device;
struct gendisk;
struct request_queue;
struct bio;

namespace tav {

namespace drivers {
class BlockDisk;
}

struct PartitionSpec {
    std::uint64_t startSector = 0;  // on the whole disk
    std::uint64_t sectors = 0;
    int number = 0;                 // partition number 1..minors-1; 0: the next free one
};

enum class Backing { Ram, File };
enum class FileIo {
    Auto,   // io_uring when the host allows it, else preadv/pwritev
    Uring,  // io_uring or fail
    Posix,  // preadv/pwritev on the disk's worker thread
};
enum class IoDir { Read, Write, Any };

struct DiskConfig {
    std::string name = "tda";  // disk_name; partitions are tda1, tda2, ...
    unsigned major = 8;
    unsigned firstMinor = 0;
    unsigned minors = 16;       // 1 = no partitions
    std::uint64_t sectors = 0;  // RAM: the size (required). File: 0 = the file's size,
                                // otherwise the file is extended to it if shorter
    Backing backing = Backing::Ram;
    std::string path;           // File: the image (created when missing)
    FileIo fileIo = FileIo::Auto;  // the environment variable TAV_NO_URING=1 turns Auto into Posix
    // Partitions: this list, or (readMbr) the primary partitions of an MBR in sector 0.
    std::vector<PartitionSpec> partitions;
    bool readMbr = false;
    // Request plugging and merging.
    unsigned plugBatch = 256;              // bios plugged before the driver unplugs itself
    unsigned maxTransferBytes = 1u << 20;  // a merged transfer's size limit
    unsigned maxSegments = 256;            // and its iovec limit (at most 1024)
    // false: the queue has no queue_lock, as a bio-based driver's has none on 2.6.9.
    bool queueLock = true;
    // The driver holds its block devices open for the disk's life, as a long-lived opener
    // of the device node would, so they stay bound. false: they bind only while something
    // opens them (a mount, blkdev_get), and an unmount is then the last close.
    bool holdOpen = true;
};

struct DiskStats {
    long submitted = 0;    // bios that reached the driver
    long completed = 0;    // bios ended by the driver (failed ones included)
    long failed = 0;       // bios ended with an error
    long held = 0;         // bios that a hold gate stopped
    long transfers = 0;    // transfers sent to the store (each one or more bios)
    long mergedBios = 0;   // bios that joined the transfer of an earlier bio
    long largestTransferBios = 0;
    long readBytes = 0;
    long writeBytes = 0;
};

// An emulated disk, live (bdget finds it) from create until destruction.
class Disk {
public:
    // Null on failure, with *error set to a negative errno (-EEXIST: its numbers are
    // taken; -EINVAL: bad geometry; -EIO: the image cannot be opened or read).
    static std::unique_ptr<Disk> create(const DiskConfig& config, int* error = nullptr);
    // The disk leaves the system: held bios are released, plugged and in-flight I/O
    // completes, then the queue and threads go. Unmount file systems on it first.
    ~Disk();
    Disk(const Disk&) = delete;
    Disk& operator=(const Disk&) = delete;

    const std::string& name() const;
    struct gendisk* disk() const;
    struct request_queue* queue() const;
    std::uint64_t sectors() const;
    dev_t dev(int partno = 0) const;
    // The bdev of the whole disk (0) or a partition; borrowed (valid while the disk lives),
    // null for a partition that does not exist.
    struct block_device* bdev(int partno = 0) const;
    // The partition layout in effect (from the list or the MBR).
    std::vector<PartitionSpec> partitions() const;
    bool usesUring() const;

    // The backing store itself, bypassing the block layer, hooks, faults and holds.
    // Sectors with I/O in flight read or write undefined data. 0 or a negative errno.
    int readRaw(std::uint64_t sector, void* buf, std::size_t bytes) const;
    int writeRaw(std::uint64_t sector, const void* buf, std::size_t bytes);

    // Fault model: bios touching [first, last] in direction dir fail with -EIO (no
    // BIO_UPTODATE; a failed write does not reach the store). Other bios of the same
    // merged transfer are unaffected. times: how many bios fail (-1: all); probability
    // with a seed gives the same failures every run. Adds tav::fault rules on the
    // DiskRead / DiskWrite sites named after the disk (names match by prefix, so give
    // disks distinct prefixes). Logs that the model is active.
    void failSectors(std::uint64_t first, std::uint64_t last, IoDir dir = IoDir::Any, long times = -1,
                    double probability = 1.0, std::uint64_t seed = 1);
    // Removes the rules failSectors added.
    void clearFaults();
    // Every transfer completes no sooner than this after dispatch (0: off). Logged.
    void setLatency(std::chrono::microseconds latency);
    // Benchmarks only: reads that no hold, fault or latency stops complete at once, in the
    // submitter, without touching the store or the bio's pages, so a reader's own cost per
    // block can be told apart from the copy's. Logged.
    void setSkipReadCopy(bool on);

    // Hold gate: bios that touch [first, last] in direction dir stop in the driver
    // until released. Returns the gate id.
    int hold(std::uint64_t first, std::uint64_t last, IoDir dir = IoDir::Any);
    // Waits until the gate holds at least count bios; false on timeout.
    bool waitHeld(int id, std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::size_t heldCount(int id) const;
    // Sends the count oldest held bios on (in their order); the gate stays.
    void release(int id, std::size_t count = std::numeric_limits<std::size_t>::max());
    // Releases everything it holds and removes the gate.
    void removeHold(int id);

    DiskStats stats() const;

    explicit Disk(std::unique_ptr<drivers::BlockDisk> impl);

private:
    std::unique_ptr<drivers::BlockDisk> impl_;
    std::vector<int> faultRules_;
};

// bdget as a shared pointer whose deleter is bdput.
std::shared_ptr<struct block_device> getBdev(dev_t dev);

struct MountOptions {
    unsigned blockSize = 0;  // 512..4096; 0: from the ext2/3/4 super block on the device
    unsigned cacheBlocks = 256;
    unsigned writebackDelayMs = 20;  // 0: no background write-back
    bool freezeWrites = true;        // ext3's metadata writes at freeze and thaw
};

// tavfs mounted on a block device (see kernel/super.h).
class Mount {
public:
    // Null on failure with *error (-EBUSY, -EINVAL, -ENXIO, -EIO).
    static std::unique_ptr<Mount> create(struct block_device* bdev, const MountOptions& options = {},
                                         int* error = nullptr);
    ~Mount();  // unmounts unless unmount() did
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;

    // Writes back and unmounts; 0 or -EIO. Waits while the fs is frozen.
    int unmount();
    struct super_block* superBlock() const { return sb_; }
    unsigned blockSize() const;
    std::uint64_t blocks() const;

    // Through the write-back cache; writes wait while frozen. 0 or a negative errno.
    int write(std::uint64_t block, const void* data, unsigned count = 1);
    int read(std::uint64_t block, void* data, unsigned count = 1);
    // Uncached, synchronous, one bio.
    int writeDirect(std::uint64_t block, const void* data, unsigned count = 1);
    int readDirect(std::uint64_t block, void* data, unsigned count = 1);
    // fsync_bdev of the mounted bdev.
    int sync();
    // Runs inside freeze_bdev, after the flush, while frozen.
    void setFreezeSyncPoint(std::function<void(struct super_block*)> fn);
    unsigned dirtyBlocks() const;
    kernel::TavfsStats stats() const;

    explicit Mount(struct super_block* sb) : sb_(sb) {}

private:
    struct super_block* sb_;
};

// A batch of raw bios to one block device through generic_make_request (the file-system
// path: hooks see them). Every bio gets its own pages; write data is copied in at add,
// read data out at wait.
class BioBatch {
public:
    explicit BioBatch(struct block_device* bdev);
    ~BioBatch();  // waits for bios still in flight
    BioBatch(const BioBatch&) = delete;
    BioBatch& operator=(const BioBatch&) = delete;

    // One bio of bytes (a multiple of 512, at most 1 MiB) at sector (relative to the bdev).
    // READ, WRITE or READA. 0, -EINVAL, or -ENOMEM when no page could be had.
    int add(int rw, sector_t sector, void* buf, std::size_t bytes);
    // Submits the bios added since the last submit, in order.
    void submit();
    // Unplugs, waits for every submitted bio, copies reads out; 0 or the first error.
    int wait();
    std::size_t size() const { return items_.size(); }
    int result(std::size_t i) const;
    std::thread::id completionThread(std::size_t i) const;

private:
    struct Item;
    struct State;
    static int endIo(struct bio* bio, unsigned int bytes, int error);
    struct block_device* bdev_;
    std::vector<std::unique_ptr<Item>> items_;
    std::size_t submitted_ = 0;
    std::unique_ptr<State> state_;
};

// One synchronous transfer split into bios of at most bioBytes; 0 or the first error.
int submitAndWait(struct block_device* bdev, int rw, sector_t sector, void* buf, std::size_t bytes,
                  std::size_t bioBytes = 4096);

}  // namespace tav
