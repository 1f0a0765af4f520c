// Host-backed file systems: discovery of the host's loop device and mount, super blocks
// that follow the host mount, FIFREEZE/FITHAW.
#include "kernel/hostfs.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <vector>

#include "kernel/blkdev.h"
#include "kernel/printk.h"
#include "kernel/super.h"

namespace {

namespace fs = std::filesystem;

// What the host shows of one attached export right now.
struct HostMount {
    std::string loopDevice;   // "/dev/loopN"; empty: no loop device on the export
    dev_t loopDev = 0;        // the host's dev_t of that loop device
    std::string mountPoint;   // empty: not mounted
    std::vector<int> mountIds;  // every mount of the loop device's fs (bind mounts)
};

// The host-side state of a host-backed super block (its s_fs_info).
struct HostSuper {
    int mountId = 0;       // the host mount it was made for; read-only after creation
    dev_t loopDev = 0;     // read-only after creation
    std::string mountPoint;  // where it was last seen; guarded by tableLock
    int freezeFd = -1;     // guarded by tableLock: open on the frozen fs while we hold FIFREEZE
};

struct Attachment {
    struct block_device* bdev;
    tav::kernel::HostfsOptions options;  // paths made canonical at attach; read-only
    super_block* sb = nullptr;  // guarded by tableLock; holds one reference (s_count)
};

// The hostfs table lock: a leaf, except that sb_lock (a leaf too) may be taken inside it.
std::mutex tableLock;
std::vector<Attachment*> attachments;  // guarded by tableLock
std::vector<super_block*> frozen;      // guarded by tableLock: the freezes we hold
std::function<void(struct block_device*)> probeSyncPoint;  // guarded by tableLock

HostSuper* hostOf(super_block* sb) { return static_cast<HostSuper*>(sb->s_fs_info); }

/* Caller holds tableLock. */
Attachment* findLocked(struct block_device* bdev) {
    for (Attachment* a : attachments)
        if (a->bdev == bdev) return a;
    return nullptr;
}

// A copy of bdev's options (the host is then looked up with no lock held), or none.
std::optional<tav::kernel::HostfsOptions> attachedOptions(struct block_device* bdev) {
    std::lock_guard lk(tableLock);
    Attachment* a = findLocked(bdev);
    if (!a) return std::nullopt;
    return a->options;
}

std::string readLine(const fs::path& p) {
    std::ifstream in(p);
    std::string s;
    std::getline(in, s);
    return s;
}

std::string canonical(const std::string& path) {
    std::error_code ec;
    fs::path c = fs::weakly_canonical(path, ec);
    return ec ? path : c.string();
}

// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && std::all_of(s.begin() + i + 1, s.begin() + i + 4,
                                                                [](char c) { return c >= '0' && c <= '7'; })) {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The loop device backed by the export, then the host mounts of its fs (mountinfo's
// major:minor field; the source name could be a symlink or stale). The kernel shows the
// backing file's canonical path, " (deleted)" appended once it is unlinked. Nothing here
// stats the export: the daemon itself may be the one to answer that.
HostMount lookup(const tav::kernel::HostfsOptions& options) {
    HostMount m;
    const std::string& want = options.exportPath;
    std::vector<std::pair<std::string, dev_t>> loops;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/sys/block", ec)) {
        std::string name = e.path().filename().string();
        if (name.rfind("loop", 0) != 0) continue;
        std::string backing = readLine(e.path() / "loop" / "backing_file");
        if (backing.empty()) continue;
        constexpr std::string_view deleted = " (deleted)";
        if (backing.ends_with(deleted)) backing.resize(backing.size() - deleted.size());
        if (backing != want) continue;
        unsigned maj = 0, min = 0;
        if (std::sscanf(readLine(e.path() / "dev").c_str(), "%u:%u", &maj, &min) != 2) continue;
        loops.emplace_back("/dev/" + name, makedev(maj, min));
    }
    std::sort(loops.begin(), loops.end());
    if (loops.empty()) return m;
    m.loopDevice = loops.front().first;
    m.loopDev = loops.front().second;

    const std::string& wantPoint = options.mountPoint;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    bool found = false;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        int id = 0, parent = 0;
        std::string majmin, root, point;
        if (!(f >> id >> parent >> majmin >> root >> point)) continue;
        unsigned maj = 0, min = 0;
        if (std::sscanf(majmin.c_str(), "%u:%u", &maj, &min) != 2) continue;
        dev_t dev = makedev(maj, min);
        point = unescape(point);
        for (const auto& [name, loopDev] : loops) {
            if (dev != loopDev) continue;
            if (!wantPoint.empty() && point != wantPoint) continue;
            if (found && loopDev != m.loopDev) continue;  // the first mounted loop device wins
            if (!found) {
                found = true;
                m.loopDevice = name;
                m.loopDev = loopDev;
                m.mountPoint = point;
            }
            m.mountIds.push_back(id);
        }
    }
    return m;
}

// Opens the mount point and makes sure it is on the loop device's fs: after a host
// unmount the directory is a plain one of the parent fs, whose FIFREEZE would freeze the
// wrong file system. The fd or a negative errno.
int openVerified(const std::string& mountPoint, dev_t loopDev) {
    int fd = ::open(mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int err = -errno;
        ::close(fd);
        return err;
    }
    if (st.st_dev != loopDev) {
        ::close(fd);
        return -ENODEV;
    }
    return fd;
}

super_block* newSuper(struct block_device* bdev, const HostMount& m, unsigned blockSize, unsigned long magic) {
    auto* hs = new HostSuper();
    hs->mountId = m.mountIds.front();
    hs->loopDev = m.loopDev;
    hs->mountPoint = m.mountPoint;
    auto* sb = new super_block();
    sb->s_dev = bdev->bd_dev;
    sb->s_bdev = bdev;
    sb->s_blocksize = blockSize;
    sb->s_blocksize_bits = static_cast<unsigned char>(__builtin_ctz(blockSize));
    sb->s_magic = magic;
    sb->s_count = 1;  // the attachment's
    init_rwsem(&sb->s_umount);
    sb->s_root = hs;
    sb->s_fs_info = hs;
    bdevname(bdev, sb->s_id);
    return sb;
}

// The block size of the fs the host mounted: from its ext super block through bdev (what
// the module will read and copy), else what the host's statfs says. The block I/O runs
// with no lock held.
int probe(struct block_device* bdev, const HostMount& m, unsigned* blockSize, unsigned long* magic) {
    unsigned bs = 0;
    if (tav::kernel::readExtBlockSize(bdev, &bs) == 0) {
        *blockSize = bs;
        *magic = tav::kernel::EXT_SUPER_MAGIC;
        return 0;
    }
    int fd = openVerified(m.mountPoint, m.loopDev);
    if (fd < 0) return fd;
    struct statfs st {};
    int rc = ::fstatfs(fd, &st);
    int err = rc ? -errno : 0;
    ::close(fd);
    if (err) return err;
    bs = static_cast<unsigned>(st.f_bsize);
    if (bs < 512 || bs > 4096 || (bs & (bs - 1))) {
        printk(KERN_ERR "hostfs: %s: the host fs on %s has block size %u\n", m.mountPoint.c_str(),
               m.loopDevice.c_str(), bs);
        return -EINVAL;
    }
    printk(KERN_WARNING "hostfs: %s: no ext super block read; block size %u from the host\n",
           m.mountPoint.c_str(), bs);
    *blockSize = bs;
    *magic = static_cast<unsigned long>(st.f_type);
    return 0;
}

bool sameMount(super_block* sb, const HostMount& m) {
    HostSuper* hs = hostOf(sb);
    return hs->loopDev == m.loopDev &&
           std::find(m.mountIds.begin(), m.mountIds.end(), hs->mountId) != m.mountIds.end();
}

// Takes the fd of a freeze we hold on sb, if any (exactly one caller thaws it).
/* Caller holds tableLock. */
int takeFreezeLocked(super_block* sb) {
    HostSuper* hs = hostOf(sb);
    int fd = hs->freezeFd;
    hs->freezeFd = -1;
    std::erase(frozen, sb);
    return fd;
}

void thawFd(int fd, super_block* sb, const char* why) {
    if (fd < 0) return;
    if (::ioctl(fd, FITHAW, 0) != 0)
        printk(KERN_ERR "hostfs: %s: thawing the host fs failed: %s\n", sb->s_id, std::strerror(errno));
    else if (why)
        printk(KERN_WARNING "hostfs: %s: %s; thawed the host fs\n", sb->s_id, why);
    ::close(fd);
}

// Thaws every freeze still held when the process exits: a daemon must never leave a
// frozen host fs behind. The kernel log may be gone by then; this reports to stderr.
struct ThawAtExit {
    ~ThawAtExit() {
        std::lock_guard lk(tableLock);
        while (!frozen.empty()) {
            super_block* sb = frozen.back();
            int fd = takeFreezeLocked(sb);
            if (fd < 0) continue;
            int rc = ::ioctl(fd, FITHAW, 0);
            std::fprintf(stderr, "hostfs: %s: still frozen at exit; %s\n", sb->s_id,
                         rc == 0 ? "thawed the host fs" : std::strerror(errno));
            ::close(fd);
        }
    }
} thawAtExit;

}  // namespace

namespace tav::kernel {

int hostfsAttach(struct block_device* bdev, const HostfsOptions& options) {
    if (!bdev || options.exportPath.empty() || options.exportPath.front() != '/') return -EINVAL;
    if (!options.mountPoint.empty() && options.mountPoint.front() != '/') return -EINVAL;
    // The export may not exist yet (its FUSE file system not mounted): its directory then
    // gives the canonical prefix.
    HostfsOptions canonicalOptions{canonical(options.exportPath),
                                   options.mountPoint.empty() ? "" : canonical(options.mountPoint)};
    // bd_mount_sem orders this against tavfsMount.
    down(&bdev->bd_mount_sem);
    int err = 0;
    if (tavfsMountedOn(bdev)) {
        err = -EBUSY;
    } else {
        std::lock_guard lk(tableLock);
        if (findLocked(bdev))
            err = -EBUSY;
        else
            attachments.push_back(new Attachment{bdev, canonicalOptions});
    }
    up(&bdev->bd_mount_sem);
    return err;
}

void hostfsDetach(struct block_device* bdev) {
    Attachment* a;
    std::vector<std::pair<int, super_block*>> fds;
    {
        std::lock_guard lk(tableLock);
        a = findLocked(bdev);
        if (!a) return;
        std::erase(attachments, a);
        // Any sb of this bdev we froze, the present one or one the host mount replaced.
        for (size_t i = frozen.size(); i-- > 0;)
            if (frozen[i]->s_bdev == bdev) {
                super_block* sb = frozen[i];
                fds.emplace_back(takeFreezeLocked(sb), sb);
            }
    }
    for (auto [f, sb] : fds) thawFd(f, sb, "detached while frozen");
    if (super_block* sb = a->sb) {
        // Out of the table no get_super finds it, so only holders from before remain.
        down_write(&sb->s_umount);
        sb->s_root = nullptr;
        up_write(&sb->s_umount);
        superPut(sb);
    }
    delete a;
}

std::string hostfsMountPoint(struct block_device* bdev) {
    auto options = attachedOptions(bdev);
    return options ? lookup(*options).mountPoint : std::string();
}

std::string hostfsLoopDevice(struct block_device* bdev) {
    auto options = attachedOptions(bdev);
    return options ? lookup(*options).loopDevice : std::string();
}

void hostfsSetProbeSyncPoint(std::function<void(struct block_device*)> fn) {
    std::lock_guard lk(tableLock);
    probeSyncPoint = std::move(fn);
}

bool hostfsAttached(struct block_device* bdev) {
    std::lock_guard lk(tableLock);
    return findLocked(bdev) != nullptr;
}

struct super_block* hostfsGetSuper(struct block_device* bdev) {
    auto options = attachedOptions(bdev);
    if (!options) return nullptr;
    HostMount m = lookup(*options);
    super_block* spare = nullptr;
    for (;;) {
        super_block* stale = nullptr;
        super_block* sb = nullptr;
        bool needProbe = false;
        {
            std::lock_guard lk(tableLock);
            Attachment* a = findLocked(bdev);
            if (!a) break;
            if (a->sb && (m.mountPoint.empty() || !sameMount(a->sb, m))) {
                stale = a->sb;  // unmounted, or the host mounted another fs
                a->sb = nullptr;
            }
            if (!m.mountPoint.empty()) {
                if (!a->sb && spare && sameMount(spare, m)) {
                    a->sb = spare;
                    spare = nullptr;
                }
                if (a->sb) {
                    sb = a->sb;
                    hostOf(sb)->mountPoint = m.mountPoint;
                    superGrab(sb);
                } else {
                    needProbe = true;
                }
            }
        }
        if (stale) superPut(stale);
        if (sb) {
            if (spare) superPut(spare);  // lost the first-sight race to another get_super
            down_read(&sb->s_umount);
            if (sb->s_root) return sb;
            drop_super(sb);  // detached meanwhile
            return nullptr;
        }
        if (!needProbe) break;
        // First sight of this host mount: read its block size with no lock held, then look
        // again (another caller may have installed one, or the host moved on).
        unsigned bs = 0;
        unsigned long magic = 0;
        if (probe(bdev, m, &bs, &magic) != 0) break;
        if (spare) superPut(spare);
        spare = newSuper(bdev, m, bs, magic);
        std::function<void(struct block_device*)> syncPoint;
        {
            std::lock_guard lk(tableLock);
            syncPoint = probeSyncPoint;
        }
        if (syncPoint) syncPoint(bdev);
    }
    if (spare) superPut(spare);
    return nullptr;
}

/* Caller holds bdev->bd_mount_sem; the "freeze" fault was checked. */
struct super_block* hostfsFreeze(struct block_device* bdev) {
    super_block* sb = hostfsGetSuper(bdev);
    if (!sb) {
        char name[BDEVNAME_SIZE];
        printk(KERN_ERR "hostfs: %s: cannot freeze: the host has no fs mounted from its export\n",
               bdevname(bdev, name));
        return nullptr;
    }
    HostSuper* hs = hostOf(sb);
    std::string point;
    {
        std::lock_guard lk(tableLock);
        point = hs->mountPoint;
    }
    int fd = openVerified(point, hs->loopDev);
    if (fd < 0) {
        printk(KERN_ERR "hostfs: %s: cannot freeze %s: not on the host fs of the export: %s\n", sb->s_id,
               point.c_str(), std::strerror(-fd));
        drop_super(sb);
        return nullptr;
    }
    sb->s_frozen.store(SB_FREEZE_WRITE);
    // The host writes back its dirty blocks before FIFREEZE returns; they reach this bdev
    // through other threads (the FUSE daemon's), so no platform lock is held here that
    // the block layer or a hook would need.
    if (::ioctl(fd, FIFREEZE, 0) != 0) {
        int err = errno;
        sb->s_frozen.store(SB_UNFROZEN);
        printk(KERN_ERR "hostfs: %s: FIFREEZE on %s failed: %s\n", sb->s_id, point.c_str(), std::strerror(err));
        ::close(fd);
        drop_super(sb);
        return nullptr;
    }
    sb->s_frozen.store(SB_FREEZE_TRANS);
    {
        std::lock_guard lk(tableLock);
        hs->freezeFd = fd;
        frozen.push_back(sb);
    }
    return sb;
}

/* Caller holds bdev->bd_mount_sem (from hostfsFreeze). */
void hostfsThaw(struct super_block* sb) {
    int fd;
    {
        std::lock_guard lk(tableLock);
        fd = takeFreezeLocked(sb);
    }
    thawFd(fd, sb, nullptr);
    {
        std::lock_guard lk(sb->s_wait_lock);
        sb->s_frozen.store(SB_UNFROZEN);
    }
    sb->s_wait_unfrozen.notify_all();
}

int hostfsSync(struct super_block* sb) {
    HostSuper* hs = hostOf(sb);
    std::string point;
    {
        std::lock_guard lk(tableLock);
        point = hs->mountPoint;
    }
    int fd = openVerified(point, hs->loopDev);
    if (fd < 0) return 0;  // gone: nothing of ours to flush
    int err = ::syncfs(fd) ? -EIO : 0;
    ::close(fd);
    return err;
}

bool isHostSuper(struct super_block* sb) { return sb->s_magic != TAVFS_MAGIC; }

void hostfsFreeSuper(struct super_block* sb) {
    delete hostOf(sb);
    delete sb;
}

}  // namespace tav::kernel
