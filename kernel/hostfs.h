// Host-backed file systems: a block device that the host's own kernel mounts through a
// loop device on an exported file (the daemon's FUSE export of the device). The host's
// ext2/3/4 is the file system; the platform only sees its blocks arriving as bios. Once a
// bdev is attached, get_super / freeze_bdev / thaw_bdev on it reach the host's fs:
//   get_super   a super block while the host has the export mounted (found each call
//               from /sys/block/loop*/loop/backing_file and /proc/self/mountinfo), null
//               while not; s_magic EF53, s_blocksize from the ext super block read
//               through bdev when that host mount is first seen.
//   freeze_bdev FIFREEZE on the host mount point (after checking that the directory
//               opened is the root of the loop device's fs), null when that fails.
//   thaw_bdev   FITHAW when freeze_bdev froze it; with null, leaves the host fs alone.
//
// Lock order (outermost first; see kernel/super.h for bd_mount_sem and s_umount):
//   bd_mount_sem
//     s_umount (read)
//       the hostfs table lock (never held across host system calls or block I/O)
//         sb_lock (a reference taken on a host super block while it is looked up)
#pragma once

#include <functional>
#include <string>

struct block_device;
struct super_block;

namespace tav::kernel {

struct HostfsOptions {
    std::string exportPath;  // the file the host's loop device is backed by (absolute)
    std::string mountPoint;  // empty: found from the host's mount table
};

// bdev may be mounted by the host through exportPath. From now on get_super(bdev) gives
// a super block while the host has it mounted (s_blocksize from the real ext2/3/4 super
// block read through bdev at the time the host mount is first seen; s_magic EF53), null
// while not; freeze_bdev freezes the host fs (FIFREEZE on its mount point) and thaw_bdev
// thaws it (FITHAW). 0, -EBUSY (tavfs-mounted or already attached), -EINVAL (no bdev,
// a relative or empty export path). Paths are made canonical now (the export itself may
// not exist yet). Process context; takes bd_mount_sem, so it waits while bdev is frozen:
// never call it from a thread that a freeze's write-back depends on.
int hostfsAttach(struct block_device* bdev, const HostfsOptions& options);
// Forgets bdev: thaws a freeze we still hold (logs it), waits for get_super holders.
// Process context; may sleep.
void hostfsDetach(struct block_device* bdev);
// The host's mount point of bdev's export, empty when the host has it not mounted; and
// the loop device (e.g. "/dev/loop3") backed by the export, empty when none.
std::string hostfsMountPoint(struct block_device* bdev);
std::string hostfsLoopDevice(struct block_device* bdev);

// Tests: called in get_super after the block size of a newly seen host mount was read,
// with no lock held, before the super block is installed (null to remove).
void hostfsSetProbeSyncPoint(std::function<void(struct block_device*)> fn);

// ---- Platform-internal: the dispatch between kernel/super.cpp and kernel/hostfs.cpp ----

// hostfs.cpp, for super.cpp.
bool hostfsAttached(struct block_device* bdev);
// get_super for an attached bdev: a reference and s_umount (read), or null.
struct super_block* hostfsGetSuper(struct block_device* bdev);
/* Caller holds bdev->bd_mount_sem. Process context; may sleep. */
struct super_block* hostfsFreeze(struct block_device* bdev);
/* Caller holds sb->s_bdev->bd_mount_sem. Undoes hostfsFreeze; keeps the reference. */
void hostfsThaw(struct super_block* sb);
int hostfsSync(struct super_block* sb);  // syncfs on the host fs: 0 or -EIO
bool isHostSuper(struct super_block* sb);
void hostfsFreeSuper(struct super_block* sb);  // after the last reference

// super.cpp, for hostfs.cpp.
bool tavfsMountedOn(struct block_device* bdev);
void superGrab(struct super_block* sb);  // one more reference (s_count, under sb_lock)
void superPut(struct super_block* sb);   // drops one; frees after the last

}  // namespace tav::kernel
