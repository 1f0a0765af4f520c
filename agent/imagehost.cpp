#include "tavagent/imagehost.h"

#include "tavagent/session.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tavagent/backup.h"

namespace tav::agent {

ImageHost::ImageHost(const ImageHostOptions& o) {
    // The file disk opens its image read-write; say why when it cannot.
    if (::access(o.image.c_str(), W_OK) != 0 && (errno == EROFS || errno == EACCES))
        throw AgentError(ErrorKind::Io, "cannot attach " + o.image + ": " +
                                            (errno == EROFS ? "it is on a read-only file system"
                                                            : "it is read-only for this user") +
                                            ", and the hosted disk needs it writable");
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
    std::error_code ec;
    source_.path = std::filesystem::absolute(o.image, ec).lexically_normal().string();
    std::uint64_t start = 0;
    for (const auto& p : disk_->partitions())
        if (p.number == o.partition) start = p.startSector;
    std::uint8_t head[2048];
    if (disk_->readRaw(start, head, sizeof head) == 0) source_.fsUuid = extUuid(head);
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
