// The machine seam: one object that builds a world for a test or a tool — the loaded
// module with its device node, disks, mounted file systems (tavfs, or the host's own
// through a loop device: attachHost) — and takes it down in the right order (the module,
// which may still hook the disks' queues, then host attachments and mounts, then disks). The pieces it is made of stay
// usable on their own: tav/modules.h (load, unload), tav/blockio.h (disks, mounts, raw
// I/O, disk faults, hold gates), tav/sys.h (system calls), kernel/fault.h (the fault
// plan), kernel/printk.h (the kernel log) and kernel/accounting.h (leak counters).
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/fault.h"
#include "kernel/hostfs.h"
#include "kernel/printk.h"
#include "tav/blockio.h"
#include "tav/modules.h"
#include "tav/sys.h"

namespace tav {

class Machine {
public:
    Machine() = default;
    ~Machine() { shutdown(); }
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Loads the module this binary links and creates its device node
    // (char major, minor 0 at path). 0 or the load's negative error.
    int loadModule(const char* path = "/dev/tavguard", unsigned major = 120) {
        nodePath_ = path;
        sys::mknod(path, major, 0);
        int rc = loadLinkedModule();
        if (rc) sys::unlink(path);
        return rc;
    }
    // Ends the process's descriptors and mappings, then unloads. 0, or -EBUSY while
    // something else still holds the module.
    int unloadModule() {
        sys::exitProcess();
        int rc = moduleLoaded() ? tav::unloadModule() : 0;
        if (rc == 0 && !nodePath_.empty()) {
            sys::unlink(nodePath_.c_str());
            nodePath_.clear();
        }
        return rc;
    }

    // Adds a disk; null with *error on failure. The machine owns it.
    Disk* addDisk(const DiskConfig& config, int* error = nullptr) {
        auto d = Disk::create(config, error);
        if (!d) return nullptr;
        disks_.push_back(std::move(d));
        return disks_.back().get();
    }
    // Mounts the emulated file system on partition partno of disk; null with *error.
    Mount* mount(Disk* disk, int partno, const MountOptions& options = {}, int* error = nullptr) {
        struct block_device* bdev = disk->bdev(partno);
        if (!bdev) {
            if (error) *error = -ENXIO;
            return nullptr;
        }
        auto m = Mount::create(bdev, options, error);
        if (!m) return nullptr;
        mounts_.push_back(std::move(m));
        return mounts_.back().get();
    }
    // Unmounts (write-back first); 0 or -EIO. The Mount is gone afterwards.
    int unmount(Mount* m) {
        for (auto it = mounts_.begin(); it != mounts_.end(); ++it) {
            if (it->get() != m) continue;
            int rc = (*it)->unmount();
            mounts_.erase(it);
            return rc;
        }
        return -EINVAL;
    }

    // Partition partno of disk (0: the whole disk) is exported to the host, which mounts
    // a real file system on a loop device over options.exportPath: get_super, freeze_bdev
    // and thaw_bdev on it then act on that host mount (kernel/hostfs.h). 0, -ENXIO, or
    // hostfsAttach's error. Detached at shutdown, which thaws a freeze still held.
    int attachHost(Disk* disk, int partno, const kernel::HostfsOptions& options) {
        struct block_device* bdev = disk->bdev(partno);
        if (!bdev) return -ENXIO;
        int rc = kernel::hostfsAttach(bdev, options);
        if (rc == 0) hostBdevs_.push_back(bdev);
        return rc;
    }
    // Forgets an attachment (see hostfsDetach); -EINVAL when it is not this machine's.
    int detachHost(Disk* disk, int partno) {
        struct block_device* bdev = disk->bdev(partno);
        auto it = std::find(hostBdevs_.begin(), hostBdevs_.end(), bdev);
        if (!bdev || it == hostBdevs_.end()) return -EINVAL;
        hostBdevs_.erase(it);
        kernel::hostfsDetach(bdev);
        return 0;
    }

    const std::vector<std::unique_ptr<Disk>>& disks() const { return disks_; }

    // Everything down: process state, module, host attachments, mounts, disks.
    void shutdown() {
        unloadModule();
        while (!hostBdevs_.empty()) {
            kernel::hostfsDetach(hostBdevs_.back());
            hostBdevs_.pop_back();
        }
        mounts_.clear();
        disks_.clear();
    }

private:
    std::string nodePath_;
    std::vector<std::unique_ptr<Disk>> disks_;
    std::vector<std::unique_ptr<Mount>> mounts_;
    std::vector<struct block_device*> hostBdevs_;  // attached by attachHost, borrowed
};

}  // namespace tav
