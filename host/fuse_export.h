// Exports emulated disks to the host through FUSE: every added disk ("tda") and each of
// its partitions ("tda1", ...) is a regular file of the device's size in one directory,
// so the host's own kernel can put a loop device, and a real file system, on top.
//
// Every read and write of such a file becomes bios on the matching block device through
// generic_make_request, so hooks on the disk's queue see them as they see a file system's
// I/O. The reply goes to the host only after the bios have completed: a write the host
// sees complete is on the disk. Unaligned I/O is read-modify-write of its edge sectors;
// writes that overlap serialize (in whole-disk sectors, so a disk and its partitions
// agree). fallocate's PUNCH_HOLE|KEEP_SIZE and ZERO_RANGE are writes of zeros; every
// other mode fails with EOPNOTSUPP. A file whose disk has a tavfs mount cannot be opened
// for writing (EBUSY).
//
// The session is multi-threaded, on threads of its own; they become platform tasks on
// first use and hold no platform lock while they wait for I/O. Built without libfuse3,
// available() is false and mount() fails with -ENOSYS.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct block_device;

namespace tav {
class Disk;
}

namespace tav::host {

class FuseExport {
public:
    struct Options {
        unsigned maxThreads = 16;       // worker threads of the session
        unsigned maxRequestBytes = 1u << 20;  // largest read or write the host may send
    };
    struct Entry {
        std::string name;                    // "tda", "tda1"
        struct block_device* bdev = nullptr;  // borrowed from the disk
        std::uint64_t startSector = 0;        // on the whole disk
        std::uint64_t sectors = 0;
    };
    struct Stats {
        long requests = 0;  // opens, reads, writes, fallocates, flushes and fsyncs
        long reads = 0, writes = 0, fallocates = 0, fsyncs = 0;
        long readBytes = 0, writeBytes = 0;
        long ioErrors = 0;   // requests answered EIO
        long busyOpens = 0;  // opens for writing refused with EBUSY
    };

    FuseExport();
    explicit FuseExport(Options options);
    ~FuseExport();  // unmount(true) if still mounted
    FuseExport(const FuseExport&) = delete;
    FuseExport& operator=(const FuseExport&) = delete;

    static bool available();

    // Before mount(): exports the disk and every partition it has. backingFile, when
    // given, is made durable (fdatasync) on every fsync of one of its files.
    // 0, -EINVAL (no such disk, already mounted) or -EEXIST (a name is taken).
    int addDisk(tav::Disk* disk, const std::string& backingFile = "");
    // Mounts the export at dir (created when missing; a non-empty one is refused with
    // -ENOTEMPTY) and starts serving. 0 or a negative errno with *message.
    int mount(const std::string& dir, std::string* message);
    // Unmounts and stops serving. -EBUSY while the host holds a file open (a loop device
    // on it): nothing changes then, unless force, which detaches the mount and aborts the
    // connection (the host's users get errors from then on). 0 when not mounted.
    int unmount(bool force = false, std::string* message = nullptr);

    bool mounted() const { return mounted_; }
    const std::string& mountPoint() const { return dir_; }
    // "<dir>/<name>" of an entry.
    std::string pathOf(const Entry& e) const { return dir_ + "/" + e.name; }
    const std::vector<Entry>& entries() const;
    // Also orders the caller's earlier memory accesses before the requests after it.
    Stats stats() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    std::string dir_;
    bool mounted_ = false;
};

}  // namespace tav::host
