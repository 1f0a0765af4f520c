#include "tavagent/imagehost.h"

#include "tavagent/session.h"

#include <cstring>

namespace tav::agent {

ImageHost::ImageHost(const ImageHostOptions& o) {
    int rc = machine_.loadModule();
    if (rc) throw AgentError(ErrorKind::Refused, "loading the module failed: " + std::string(strerror(-rc)));
    tav::DiskConfig cfg;
    cfg.name = "tda";
    cfg.major = o.major;
    cfg.minors = 16;
    cfg.backing = tav::Backing::File;
    cfg.path = o.image;
    cfg.readMbr = o.partition != 0;
    int error = 0;
    disk_ = machine_.addDisk(cfg, &error);
    if (!disk_) throw AgentError(ErrorKind::Io, "cannot attach " + o.image + ": " + strerror(-error));
    if (o.partition != 0 && !disk_->bdev(o.partition))
        throw AgentError(ErrorKind::Usage, o.image + " has no partition " + std::to_string(o.partition));
    major_ = o.major;
    minor_ = static_cast<unsigned>(o.partition);
    if (o.mount) {
        tav::MountOptions mo;
        mo.blockSize = o.blockSize;
        mount_ = machine_.mount(disk_, o.partition, mo, &error);
        if (!mount_)
            throw AgentError(ErrorKind::Io, "cannot mount partition " + std::to_string(o.partition) + " of " + o.image +
                                                ": " + strerror(-error) +
                                                (o.blockSize ? "" : " (no ext2/3/4 file system? give --block-size)"));
    }
}

ImageHost::~ImageHost() { machine_.shutdown(); }

}  // namespace tav::agent
