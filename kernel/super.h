// Super blocks, freezing, and "tavfs": the emulated file system that can be mounted on
// any block device.
//
// tavfs keeps whole file-system blocks in a small write-back cache. Dirty blocks reach
// the disk as write bios through generic_make_request on the mounted bdev (so a hook on
// the disk's queue sees them), sent by the flusher thread once they are writebackDelayMs
// old, by fsync_bdev, by freeze_bdev, by unmount, or when the cache is full. A block
// under write-back is stable: a new write of it waits for that bio to complete.
//
// Lock order (outermost first; block-layer locks are in kernel/blkdev.h):
//   bd_mount_sem (freeze_bdev .. thaw_bdev; mount; unmount)
//     s_umount (read: every get_super holder, a frozen fs included; write: unmount)
//       sb_lock (leaf: the super block list and s_count)
//       the fs's cache lock (leaf; never held across I/O submission or waits for I/O)
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "kernel/semaphore.h"
#include "kernel/types.h"

struct block_device;

// s_frozen levels.
constexpr int SB_UNFROZEN = 0;
constexpr int SB_FREEZE_WRITE = 1;  // new writes wait; the flush is running
constexpr int SB_FREEZE_TRANS = 2;  // flushed and quiescent

struct super_block {
    dev_t s_dev;                     // set at mount, read-only after
    unsigned long s_blocksize;       // set at mount, read-only after
    unsigned char s_blocksize_bits;  // set at mount, read-only after
    unsigned long s_magic;
    struct block_device* s_bdev;     // set at mount, read-only after
    int s_count;                     // references; guarded by sb_lock
    struct rw_semaphore s_umount;    // see the lock order above
    void* s_root;                    // non-null while mounted; cleared under s_umount (w)
    std::atomic<int> s_frozen{SB_UNFROZEN};  // written under bd_mount_sem
    // Writers of a frozen fs sleep on s_wait_unfrozen; thaw wakes them.
    std::mutex s_wait_lock;
    std::condition_variable s_wait_unfrozen;
    char s_id[32];                   // the device name
    void* s_fs_info;                 // the file system's private record
};

// The super block of the file system mounted on exactly bdev, with a reference and
// s_umount held for reading (release both with drop_super); null when none is mounted.
// For a bdev attached to a host fs, get_super, freeze_bdev, thaw_bdev and fsync_bdev act
// on the host's mount instead (kernel/hostfs.h).
// Process context; may sleep.
struct super_block* get_super(struct block_device* bdev);
void drop_super(struct super_block* sb);

// Takes bd_mount_sem, stops new writes of the fs mounted on bdev, writes back its dirty
// blocks and waits for its writes in flight, then, as ext3 does (unless the mount turned
// freezeWrites off), writes a journal block (block count / 2) and the super block (the
// block holding byte 1024) synchronously from the calling task; returns its super block
// (held until
// thaw_bdev), or null when nothing is mounted or the "freeze" fault fires. Every call must
// be paired with thaw_bdev(bdev, what freeze_bdev returned). Process context; may sleep.
struct super_block* freeze_bdev(struct block_device* bdev);
// Writes the super block again from the calling task (ext3's unlockfs), then lets writers
// go on, drops the reference and releases bd_mount_sem; sb may be null. Process context.
void thaw_bdev(struct block_device* bdev, struct super_block* sb);
// Writes back the dirty blocks of the fs on bdev and waits for them; 0, or -EIO when a
// write failed since the last sync. Process context; may sleep.
int fsync_bdev(struct block_device* bdev);
// Block-device buffers: tavfs keeps none outside its own cache, so this is fsync_bdev.
int sync_blockdev(struct block_device* bdev);

namespace tav::kernel {

constexpr unsigned long TAVFS_MAGIC = 0x74617666;  // "tavf"
constexpr unsigned short EXT_SUPER_MAGIC = 0xEF53;

struct TavfsOptions {
    // 512, 1024, 2048 or 4096; 0 takes it from an ext2/3/4 super block on the device
    // (1024 bytes in, magic 0xEF53, 1024 << s_log_block_size).
    unsigned blockSize = 0;
    // Cache capacity in blocks, one page each, allocated at mount (with 256 more pages
    // for direct I/O) so that later page faults hit only the code under test.
    unsigned cacheBlocks = 256;
    unsigned writebackDelayMs = 20;   // dirty age before the flusher writes; 0: no flusher
    // ext3's writes around a freeze (see freeze_bdev); off for tests that count every write.
    bool freezeWrites = true;
};

struct TavfsStats {
    long cachedWrites;    // block writes absorbed by the cache
    long cacheHits;       // block reads served from the cache
    long writebackBios;   // write bios sent
    long writebackBlocks; // blocks in them
    long writeErrors;     // blocks whose write-back failed
    long fullFlushes;     // write-backs forced by a full cache
};

// Reads the block size from an ext2/3/4 super block on bdev: 0, or -EIO / -EINVAL
// (no ext magic, or a block size outside 1024..4096).
int readExtBlockSize(struct block_device* bdev, unsigned* blockSize);

// Mounts tavfs on bdev. 0 and *sb (the mount's own reference), -ENXIO (no disk),
// -EBUSY (already mounted, or attached to a host fs: kernel/hostfs.h), -EINVAL (block
// size), -EIO, -ENOMEM. Process context.
int tavfsMount(struct block_device* bdev, const TavfsOptions& options, struct super_block** sb);
// Writes back, waits, and unmounts; waits for get_super holders (a frozen fs stays
// mounted until it is thawed). 0 or the -EIO of a failed final write-back.
int tavfsUnmount(struct super_block* sb);

// count blocks from block, through the cache. Writes wait while the fs is frozen.
// 0, -EINVAL (beyond the fs), -EIO (read).
int tavfsWrite(struct super_block* sb, u64 block, unsigned count, const void* data);
int tavfsRead(struct super_block* sb, u64 block, unsigned count, void* data);
// Uncached and synchronous: one bio per call, straight to the disk through
// generic_make_request. A direct write waits while frozen, first waits for a write-back
// of the same blocks and drops their cache entries (the direct data supersedes them).
int tavfsWriteDirect(struct super_block* sb, u64 block, unsigned count, const void* data);
int tavfsReadDirect(struct super_block* sb, u64 block, unsigned count, void* data);
// Called inside freeze_bdev after the flush, while frozen (null to remove).
void tavfsSetFreezeSyncPoint(struct super_block* sb, std::function<void(struct super_block*)> fn);
u64 tavfsBlockCount(struct super_block* sb);
unsigned tavfsDirtyBlocks(struct super_block* sb);
TavfsStats tavfsStats(struct super_block* sb);

}  // namespace tav::kernel
