// An in-process machine around a disk image: the module loaded, the image attached as a
// file disk with its MBR partitions, and a file system mounted on one partition. The
// tools use it until they talk to a daemon.
#pragma once

#include <memory>
#include <string>

#include "tav/machine.h"
#include "tavagent/repository.h"

namespace tav::agent {

struct ImageHostOptions {
    std::string image;       // disk image, partitioned with an MBR (or none: whole disk)
    int partition = 1;       // partition to mount; 0 = the whole disk
    unsigned blockSize = 0;  // 0: from the ext2/3/4 super block on the partition
    unsigned major = 8;      // the disk's device numbers: (major, partition)
    bool mount = true;
};

class ImageHost {
public:
    // Throws AgentError when the image cannot be attached or mounted.
    explicit ImageHost(const ImageHostOptions& options);
    ~ImageHost();
    tav::Machine& machine() { return machine_; }
    tav::Disk* disk() const { return disk_; }
    tav::Mount* mount() const { return mount_; }
    unsigned major() const { return major_; }
    unsigned minor() const { return minor_; }
    // The image's absolute path and the UUID of the file system on the partition.
    const SourceId& source() const { return source_; }

private:
    tav::Machine machine_;
    tav::Disk* disk_ = nullptr;
    tav::Mount* mount_ = nullptr;
    unsigned major_ = 0, minor_ = 0;
    SourceId source_;
};

}  // namespace tav::agent
