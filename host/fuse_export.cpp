#include "host/fuse_export.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "kernel/blkdev.h"
#include "kernel/fs.h"
#include "kernel/hostfs.h"
#include "kernel/printk.h"
#include "kernel/super.h"
#include "tav/blockio.h"

#if TAV_HAVE_FUSE
#define FUSE_USE_VERSION 314
#include <fuse_lowlevel.h>
#include <linux/falloc.h>
#endif

#ifndef PR_SET_IO_FLUSHER
#define PR_SET_IO_FLUSHER 57
#endif

namespace tav::host {

namespace {

// Overlapping writes (and the read-modify-write of an edge sector) run one at a time;
// disjoint ones in parallel. Ranges are whole-disk sectors, [first, end).
class RangeLock {
public:
    void lock(std::uint64_t first, std::uint64_t end) {
        std::unique_lock lk(m_);
        cv_.wait(lk, [&] {
            return std::none_of(held_.begin(), held_.end(),
                                [&](const auto& r) { return r.first < end && first < r.second; });
        });
        held_.emplace_back(first, end);
    }
    void unlock(std::uint64_t first, std::uint64_t end) {
        std::lock_guard lk(m_);
        auto it = std::find(held_.begin(), held_.end(), std::pair{first, end});
        if (it != held_.end()) held_.erase(it);
        cv_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> held_;  // guarded by m_
};

// Writes in flight, by ticket: a flush waits for those that began before it, not for
// every later one a busy host keeps sending.
class Inflight {
public:
    std::uint64_t begin() {
        std::lock_guard lk(m_);
        std::uint64_t t = next_++;
        active_.insert(t);
        return t;
    }
    void end(std::uint64_t t) {
        std::lock_guard lk(m_);
        active_.erase(t);
        cv_.notify_all();
    }
    void drain() {
        std::unique_lock lk(m_);
        std::uint64_t upto = next_;
        cv_.wait(lk, [&] { return active_.empty() || *active_.begin() >= upto; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::uint64_t next_ = 0;        // guarded by m_
    std::set<std::uint64_t> active_;  // guarded by m_
};

void becomeIoFlusher() {
    // The host's reclaim may wait on our writes; our own allocations must then not wait
    // on reclaim. Root only; without it we run as before.
    thread_local bool done = false;
    if (done) return;
    done = true;
    ::prctl(PR_SET_IO_FLUSHER, 1, 0, 0, 0);
}

}  // namespace

struct FuseExport::Impl {
    struct DiskState {
        tav::Disk* disk = nullptr;
        std::vector<struct block_device*> group;  // the whole disk and its partitions
        int backingFd = -1;
        RangeLock lock;
        Inflight inflight;
    };
    struct Node {
        Entry entry;
        DiskState* disk = nullptr;
    };

    Options options;
    std::vector<std::unique_ptr<DiskState>> disks;
    std::vector<Node> nodes;  // inode 2 + index
    std::vector<Entry> entries;
    std::vector<struct block_device*> opened;  // held open while mounted
    std::atomic<long> requests{0}, reads{0}, writes{0}, fallocates{0}, fsyncs{0}, readBytes{0}, writeBytes{0}, ioErrors{0},
        busyOpens{0};
    std::time_t mountTime = 0;
#if TAV_HAVE_FUSE
    struct fuse_session* session = nullptr;
    std::thread loop;
    std::atomic<bool> loopEnded{false};
#endif
    dev_t mountDev = 0;

    Node* node(std::uint64_t ino) {
        if (ino < 2 || ino - 2 >= nodes.size()) return nullptr;
        return &nodes[ino - 2];
    }

    // A tavfs mount anywhere on the disk makes its files read-only to the host: two
    // writers of one device would corrupt it. (get_super would also see the host's own
    // mount of an attached export, which is the writer we serve.)
    static bool tavfsMounted(const DiskState& d) {
        return std::any_of(d.group.begin(), d.group.end(), tav::kernel::tavfsMountedOn);
    }

    static std::size_t maxBioBytes(struct block_device* bdev) {
        std::size_t bytes = BIO_MAX_SIZE;
        if (request_queue_t* q = bdev_get_queue(bdev); q && q->max_sectors)
            bytes = std::min<std::size_t>(bytes, std::size_t{q->max_sectors} * 512);
        return std::max<std::size_t>(512, bytes / 512 * 512);
    }

    // Whole sectors of bdev through generic_make_request, split at the queue's limits;
    // returns once every bio has completed. 0 or -EIO.
    static int transfer(struct block_device* bdev, int rw, std::uint64_t sector, char* buf, std::size_t bytes) {
        const std::size_t maxBio = maxBioBytes(bdev);
        for (int attempt = 0;; ++attempt) {
            tav::BioBatch batch(bdev);
            int rc = 0;
            for (std::size_t off = 0; off < bytes && rc == 0; off += maxBio)
                rc = batch.add(rw, sector + off / 512, buf + off, std::min(maxBio, bytes - off));
            if (rc == -ENOMEM && attempt < 100) {  // pages come back as other requests end
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            if (rc) return -EIO;
            batch.submit();
            return batch.wait() ? -EIO : 0;
        }
    }

    // Bytes [off, off + len) of the entry, all inside it.
    int writeRange(Node& n, std::uint64_t off, const char* data, std::size_t len) {
        const std::uint64_t first = off / 512, end = (off + len + 511) / 512;
        const std::uint64_t base = n.entry.startSector;
        DiskState& d = *n.disk;
        d.lock.lock(base + first, base + end);
        std::uint64_t ticket = d.inflight.begin();
        int rc;
        if (off % 512 == 0 && len % 512 == 0) {
            rc = transfer(n.entry.bdev, WRITE, first, const_cast<char*>(data), len);
        } else {
            std::size_t bytes = (end - first) * 512;
            std::unique_ptr<char[]> buf(new char[bytes]);
            rc = 0;
            if (off % 512) rc = transfer(n.entry.bdev, READ, first, buf.get(), 512);
            if (rc == 0 && (off + len) % 512 && (end - 1 != first || off % 512 == 0))
                rc = transfer(n.entry.bdev, READ, end - 1, buf.get() + bytes - 512, 512);
            if (rc == 0) {
                std::memcpy(buf.get() + off % 512, data, len);
                rc = transfer(n.entry.bdev, WRITE, first, buf.get(), bytes);
            }
        }
        d.inflight.end(ticket);
        d.lock.unlock(base + first, base + end);
        return rc;
    }

    int zeroRange(Node& n, std::uint64_t off, std::uint64_t len) {
        static const std::vector<char> zeros(1u << 20, 0);
        while (len) {
            // Chunks end on a sector boundary so that only the range's own edges are partial.
            std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(len, zeros.size() - off % 512));
            if (int rc = writeRange(n, off, zeros.data(), chunk)) return rc;
            off += chunk;
            len -= chunk;
        }
        return 0;
    }

    int fsync(Node& n, bool durable) {
        n.disk->inflight.drain();
        if (durable && n.disk->backingFd >= 0 && ::fdatasync(n.disk->backingFd) != 0) return -EIO;
        return 0;
    }

    struct stat attr(std::uint64_t ino) {
        struct stat st{};
        st.st_ino = ino;
        st.st_uid = ::geteuid();
        st.st_gid = ::getegid();
        st.st_atime = st.st_mtime = st.st_ctime = mountTime;
        if (Node* n = node(ino)) {
            st.st_mode = S_IFREG | 0600;
            st.st_nlink = 1;
            st.st_size = static_cast<off_t>(n->entry.sectors * 512);
            st.st_blocks = static_cast<blkcnt_t>(n->entry.sectors);
            st.st_blksize = 4096;
        } else {
            st.st_mode = S_IFDIR | 0755;
            st.st_nlink = 2;
        }
        return st;
    }
};

FuseExport::FuseExport() : FuseExport(Options{}) {}
FuseExport::FuseExport(Options options) : impl_(std::make_unique<Impl>()) { impl_->options = options; }

FuseExport::~FuseExport() {
    unmount(true);
    for (auto& d : impl_->disks)
        if (d->backingFd >= 0) ::close(d->backingFd);
}

const std::vector<FuseExport::Entry>& FuseExport::entries() const { return impl_->entries; }

FuseExport::Stats FuseExport::stats() const {
    Stats s;
    // A read-modify-write: what the caller did before this happens before the requests
    // that follow, as every request begins with one too. The kernel orders the two, but
    // ThreadSanitizer cannot see that.
    s.requests = impl_->requests.fetch_add(0);
    s.reads = impl_->reads;
    s.writes = impl_->writes;
    s.fallocates = impl_->fallocates;
    s.fsyncs = impl_->fsyncs;
    s.readBytes = impl_->readBytes;
    s.writeBytes = impl_->writeBytes;
    s.ioErrors = impl_->ioErrors;
    s.busyOpens = impl_->busyOpens;
    return s;
}

int FuseExport::addDisk(tav::Disk* disk, const std::string& backingFile) {
    if (!disk || mounted_ || !disk->bdev(0)) return -EINVAL;
    std::vector<Entry> add;
    add.push_back({disk->name(), disk->bdev(0), 0, disk->sectors()});
    for (const PartitionSpec& p : disk->partitions())
        if (struct block_device* b = disk->bdev(p.number))
            add.push_back({disk->name() + std::to_string(p.number), b, p.startSector, p.sectors});
    for (const Entry& e : add)
        for (const Entry& have : impl_->entries)
            if (have.name == e.name) return -EEXIST;
    auto d = std::make_unique<Impl::DiskState>();
    d->disk = disk;
    for (const Entry& e : add) d->group.push_back(e.bdev);
    if (!backingFile.empty()) d->backingFd = ::open(backingFile.c_str(), O_RDONLY | O_CLOEXEC);
    for (const Entry& e : add) {
        impl_->entries.push_back(e);
        impl_->nodes.push_back({e, d.get()});
    }
    impl_->disks.push_back(std::move(d));
    return 0;
}

#if TAV_HAVE_FUSE

namespace {

FuseExport::Impl* implOf(fuse_req_t req) { return static_cast<FuseExport::Impl*>(fuse_req_userdata(req)); }

constexpr double kTimeout = 3600;  // the tree never changes while mounted

void opInit(void* userdata, struct fuse_conn_info* conn) {
    auto* impl = static_cast<FuseExport::Impl*>(userdata);
    // Every write reaches us before it completes: no page cache between the host and the disk.
    conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    if (conn->capable & FUSE_CAP_ASYNC_DIO) conn->want |= FUSE_CAP_ASYNC_DIO;
    conn->max_write = impl->options.maxRequestBytes;
    conn->max_read = impl->options.maxRequestBytes;
    conn->max_background = 64;
    conn->congestion_threshold = 48;
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    auto* impl = implOf(req);
    if (parent != FUSE_ROOT_ID) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    for (std::size_t i = 0; i < impl->nodes.size(); ++i) {
        if (impl->nodes[i].entry.name != name) continue;
        fuse_entry_param e{};
        e.ino = 2 + i;
        e.attr = impl->attr(e.ino);
        e.attr_timeout = e.entry_timeout = kTimeout;
        fuse_reply_entry(req, &e);
        return;
    }
    fuse_reply_err(req, ENOENT);
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info*) {
    auto* impl = implOf(req);
    if (ino != FUSE_ROOT_ID && !impl->node(ino)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st = impl->attr(ino);
    fuse_reply_attr(req, &st, kTimeout);
}

void opSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* want, int to_set, struct fuse_file_info*) {
    auto* impl = implOf(req);
    struct stat st = impl->attr(ino);
    // A device's size is its own (an O_TRUNC open lands here too); the rest is fixed.
    if ((to_set & FUSE_SET_ATTR_SIZE) && want->st_size != st.st_size) {
        fuse_reply_err(req, EPERM);
        return;
    }
    fuse_reply_attr(req, &st, kTimeout);
}

void opReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info*) {
    auto* impl = implOf(req);
    if (ino != FUSE_ROOT_ID) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    std::vector<char> buf(size);
    std::size_t used = 0;
    std::vector<std::pair<std::string, fuse_ino_t>> all = {{".", FUSE_ROOT_ID}, {"..", FUSE_ROOT_ID}};
    for (std::size_t i = 0; i < impl->nodes.size(); ++i) all.emplace_back(impl->nodes[i].entry.name, 2 + i);
    for (std::size_t i = static_cast<std::size_t>(std::max<off_t>(off, 0)); i < all.size(); ++i) {
        struct stat st = impl->attr(all[i].second);
        std::size_t n = fuse_add_direntry(req, buf.data() + used, size - used, all[i].first.c_str(), &st,
                                          static_cast<off_t>(i + 1));
        if (n > size - used) break;
        used += n;
    }
    fuse_reply_buf(req, buf.data(), used);
}

void opOpen(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    auto* impl = implOf(req);
    impl->requests++;
    FuseExport::Impl::Node* n = impl->node(ino);
    if (!n) {
        fuse_reply_err(req, ino == FUSE_ROOT_ID ? EISDIR : ENOENT);
        return;
    }
    becomeIoFlusher();
    if ((fi->flags & O_ACCMODE) != O_RDONLY && FuseExport::Impl::tavfsMounted(*n->disk)) {
        impl->busyOpens++;
        fuse_reply_err(req, EBUSY);
        return;
    }
    fi->direct_io = 1;
    fi->keep_cache = 0;
    // Every write is on the disk when it is answered, so a close has nothing to flush; and
    // a close never waits for this server (a process that serves itself can then still exit).
    fi->noflush = 1;
    fuse_reply_open(req, fi);
}

// What a read and a write share up front: the node, or null once the error is answered.
FuseExport::Impl::Node* ioNode(fuse_req_t req, fuse_ino_t ino, off_t off, std::atomic<long> FuseExport::Impl::*count) {
    auto* impl = implOf(req);
    impl->requests++;
    FuseExport::Impl::Node* n = impl->node(ino);
    if (!n || off < 0) {
        fuse_reply_err(req, n ? EINVAL : ENOENT);
        return nullptr;
    }
    becomeIoFlusher();
    (impl->*count)++;
    return n;
}

void opRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info*) {
    FuseExport::Impl::Node* n = ioNode(req, ino, off, &FuseExport::Impl::reads);
    if (!n) return;
    auto* impl = implOf(req);
    const std::uint64_t bytes = n->entry.sectors * 512, pos = static_cast<std::uint64_t>(off);
    if (pos >= bytes || size == 0) {
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(size, bytes - pos));
    const std::uint64_t first = pos / 512, end = (pos + len + 511) / 512;
    std::unique_ptr<char[]> buf(new char[(end - first) * 512]);
    if (FuseExport::Impl::transfer(n->entry.bdev, READ, first, buf.get(), (end - first) * 512)) {
        impl->ioErrors++;
        fuse_reply_err(req, EIO);
        return;
    }
    impl->readBytes += static_cast<long>(len);
    fuse_reply_buf(req, buf.get() + pos % 512, len);
}

void opWrite(fuse_req_t req, fuse_ino_t ino, const char* data, size_t size, off_t off, struct fuse_file_info*) {
    FuseExport::Impl::Node* n = ioNode(req, ino, off, &FuseExport::Impl::writes);
    if (!n) return;
    auto* impl = implOf(req);
    const std::uint64_t bytes = n->entry.sectors * 512, pos = static_cast<std::uint64_t>(off);
    if (size == 0) {
        fuse_reply_write(req, 0);
        return;
    }
    if (pos >= bytes) {
        fuse_reply_err(req, ENOSPC);
        return;
    }
    // A write across the end is short: what fits lands, and the next one gets ENOSPC.
    const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(size, bytes - pos));
    if (impl->writeRange(*n, pos, data, len)) {
        impl->ioErrors++;
        fuse_reply_err(req, EIO);
        return;
    }
    impl->writeBytes += static_cast<long>(len);
    fuse_reply_write(req, len);
}

void opFallocate(fuse_req_t req, fuse_ino_t ino, int mode, off_t off, off_t length, struct fuse_file_info*) {
    auto* impl = implOf(req);
    impl->requests++;
    FuseExport::Impl::Node* n = impl->node(ino);
    if (!n || off < 0 || length <= 0) {
        fuse_reply_err(req, n ? EINVAL : ENOENT);
        return;
    }
    becomeIoFlusher();
    impl->fallocates++;
    // Discards become writes of zeros through the block layer, so a snapshot still keeps
    // what they drop.
    const bool keep = mode & FALLOC_FL_KEEP_SIZE;
    const int kind = mode & ~FALLOC_FL_KEEP_SIZE;
    if (!(kind == FALLOC_FL_PUNCH_HOLE && keep) && kind != FALLOC_FL_ZERO_RANGE) {
        fuse_reply_err(req, EOPNOTSUPP);
        return;
    }
    const std::uint64_t bytes = n->entry.sectors * 512, pos = static_cast<std::uint64_t>(off);
    std::uint64_t len = static_cast<std::uint64_t>(length);
    if (pos >= bytes || len > bytes - pos) {
        if (!keep) {  // the file would have to grow
            fuse_reply_err(req, ENOSPC);
            return;
        }
        len = pos >= bytes ? 0 : bytes - pos;
    }
    if (len && impl->zeroRange(*n, pos, len)) {
        impl->ioErrors++;
        fuse_reply_err(req, EIO);
        return;
    }
    impl->writeBytes += static_cast<long>(len);
    fuse_reply_err(req, 0);
}

void opFlush(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info*) {
    auto* impl = implOf(req);
    impl->requests++;
    if (FuseExport::Impl::Node* n = impl->node(ino)) impl->fsync(*n, false);
    fuse_reply_err(req, 0);
}

void opFsync(fuse_req_t req, fuse_ino_t ino, int, struct fuse_file_info*) {
    auto* impl = implOf(req);
    impl->requests++;
    FuseExport::Impl::Node* n = impl->node(ino);
    if (!n) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    impl->fsyncs++;
    int rc = impl->fsync(*n, true);
    if (rc) impl->ioErrors++;
    fuse_reply_err(req, -rc);
}

void opRelease(fuse_req_t req, fuse_ino_t, struct fuse_file_info*) { fuse_reply_err(req, 0); }

const struct fuse_lowlevel_ops kOps = [] {
    struct fuse_lowlevel_ops ops{};
    ops.init = opInit;
    ops.lookup = opLookup;
    ops.getattr = opGetattr;
    ops.setattr = opSetattr;
    ops.readdir = opReaddir;
    ops.open = opOpen;
    ops.read = opRead;
    ops.write = opWrite;
    ops.flush = opFlush;
    ops.fsync = opFsync;
    ops.release = opRelease;
    ops.fallocate = opFallocate;
    return ops;
}();

std::string errnoText(int e) { return std::strerror(e); }

}  // namespace

bool FuseExport::available() { return true; }

int FuseExport::mount(const std::string& dir, std::string* message) {
    std::string ignored;
    if (!message) message = &ignored;
    if (mounted_) {
        *message = "already mounted at " + dir_;
        return -EINVAL;
    }
    if (impl_->entries.empty()) {
        *message = "nothing to export";
        return -EINVAL;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::exists(dir, ec)) {
        fs::create_directories(dir, ec);
        if (ec) {
            *message = "cannot create " + dir + ": " + ec.message();
            return -ec.value();
        }
    }
    if (!fs::is_directory(dir, ec)) {
        *message = dir + " is not a directory";
        return -ENOTDIR;
    }
    if (!fs::is_empty(dir, ec) || ec) {
        *message = ec ? "cannot read " + dir + ": " + ec.message() : dir + " is not empty";
        return ec ? -ec.value() : -ENOTEMPTY;
    }
    // Held open for the export's life, as any opener of a device node would.
    for (const Entry& e : impl_->entries) {
        if (int rc = blkdev_get(tav::kernel::bdgrab(e.bdev), FMODE_READ | FMODE_WRITE, 0)) {
            for (struct block_device* b : impl_->opened) blkdev_put(b);
            impl_->opened.clear();
            *message = "cannot open " + e.name + ": " + errnoText(-rc);
            return rc;
        }
        impl_->opened.push_back(e.bdev);
    }
    auto fail = [&](int rc, std::string why) {
        if (impl_->session) fuse_session_destroy(impl_->session);
        impl_->session = nullptr;
        for (struct block_device* b : impl_->opened) blkdev_put(b);
        impl_->opened.clear();
        *message = std::move(why);
        return rc;
    };
    std::string opts = "fsname=tavguard,subtype=tavguard,default_permissions,max_read=" +
                       std::to_string(impl_->options.maxRequestBytes);
    const char* argv[] = {"tavguardd", "-o", opts.c_str(), nullptr};
    struct fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
    impl_->session = fuse_session_new(&args, &kOps, sizeof kOps, impl_.get());
    fuse_opt_free_args(&args);
    if (!impl_->session) return fail(-EIO, "cannot start a FUSE session (is libfuse3 working?)");
    if (fuse_session_mount(impl_->session, dir.c_str()) != 0)
        return fail(-EIO, "cannot mount FUSE at " + dir + " (is /dev/fuse there, and are we root?)");
    impl_->mountTime = std::time(nullptr);
    dir_ = fs::absolute(dir).lexically_normal().string();
    if (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
    impl_->loopEnded.store(false);
    impl_->loop = std::thread([impl = impl_.get(), threads = impl_->options.maxThreads] {
        becomeIoFlusher();  // the workers libfuse starts from here inherit it
        struct fuse_loop_config* cfg = fuse_loop_cfg_create();
        fuse_loop_cfg_set_max_threads(cfg, threads);
        fuse_loop_cfg_set_idle_threads(cfg, std::min(threads, 4u));
        fuse_loop_cfg_set_clone_fd(cfg, 0);
        fuse_session_loop_mt(impl->session, cfg);  // resets the session's exit flag as it returns
        fuse_loop_cfg_destroy(cfg);
        impl->loopEnded.store(true);
    });
    mounted_ = true;
    struct stat st{};
    if (::stat(dir_.c_str(), &st) == 0) impl_->mountDev = st.st_dev;
    std::string names;
    for (const Entry& e : impl_->entries) names += (names.empty() ? "" : ", ") + e.name;
    printk("<6>fuseExport: %s exported at %s\n", names.c_str(), dir_.c_str());
    return 0;
}

int FuseExport::unmount(bool force, std::string* message) {
    std::string ignored;
    if (!message) message = &ignored;
    if (!mounted_) return 0;
    int e = ::umount2(dir_.c_str(), 0) == 0 ? 0 : errno;
    if (e == EINVAL) {
        // Detached by someone else: the connection ends with the host's last user.
        for (int i = 0; i < 100 && !impl_->loopEnded.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        e = impl_->loopEnded.load() ? 0 : EBUSY;
    }
    if (e) {
        if (!force) {
            *message = "cannot unmount " + dir_ + ": " + errnoText(e);
            return -e;
        }
        // Detached from the tree and the connection aborted: the loop below then ends
        // even while a host opener keeps the file system alive.
        ::umount2(dir_.c_str(), MNT_DETACH);
        if (impl_->mountDev) {
            if (!std::filesystem::exists("/sys/fs/fuse/connections/" + std::to_string(minor(impl_->mountDev))))
                ::mount("fusectl", "/sys/fs/fuse/connections", "fusectl", 0, nullptr);
            std::string abort = "/sys/fs/fuse/connections/" + std::to_string(minor(impl_->mountDev)) + "/abort";
            int fd = ::open(abort.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd >= 0) {
                [[maybe_unused]] ssize_t n = ::write(fd, "1", 1);
                ::close(fd);
            }
        }
        printk("<4>fuseExport: %s was busy (%s); detached and aborted\n", dir_.c_str(), errnoText(e).c_str());
    }
    fuse_session_exit(impl_->session);
    if (impl_->loop.joinable()) impl_->loop.join();
    fuse_session_unmount(impl_->session);
    fuse_session_destroy(impl_->session);
    impl_->session = nullptr;
    for (struct block_device* b : impl_->opened) blkdev_put(b);
    impl_->opened.clear();
    mounted_ = false;
    printk("<6>fuseExport: %s unmounted\n", dir_.c_str());
    return 0;
}

#else  // built without libfuse3

bool FuseExport::available() { return false; }

int FuseExport::mount(const std::string&, std::string* message) {
    if (message) *message = "this build has no FUSE export (libfuse3 was not found)";
    return -ENOSYS;
}

int FuseExport::unmount(bool, std::string*) { return 0; }

#endif

}  // namespace tav::host
