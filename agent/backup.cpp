#include "tavagent/backup.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace tav::agent {
namespace {

using Clock = std::chrono::steady_clock;

std::int64_t realtimeNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

bool bitSet(const std::vector<std::uint8_t>& map, std::uint64_t n) { return (map[n >> 3] >> (n & 7)) & 1; }

bool allZero(const std::uint8_t* p, std::size_t n) {
    static const std::uint8_t zeros[4096] = {};
    for (std::size_t off = 0; off < n; off += sizeof zeros) {
        std::size_t len = std::min(sizeof zeros, n - off);
        if (memcmp(p + off, zeros, len) != 0) return false;
    }
    return true;
}

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const fs::path& p, int flags) : fd(::open(p.c_str(), flags | O_CLOEXEC, 0644)) {
        if (fd < 0) throw AgentError(ErrorKind::Io, "cannot open " + p.string() + ": " + strerror(errno));
    }
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    void pwriteAll(const void* data, std::size_t n, off_t at, const std::string& what) const {
        const char* p = static_cast<const char*>(data);
        while (n) {
            ssize_t w = ::pwrite(fd, p, n, at);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) throw AgentError(ErrorKind::Io, "write to " + what + " failed: " + errnoText(w < 0 ? errno : ENOSPC));
            p += w;
            n -= static_cast<std::size_t>(w);
            at += w;
        }
    }
    void preadAll(void* data, std::size_t n, off_t at, const std::string& what) const {
        char* p = static_cast<char*>(data);
        while (n) {
            ssize_t r = ::pread(fd, p, n, at);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) throw AgentError(ErrorKind::Io, "read of " + what + " failed: " + errnoText(errno));
            if (r == 0) throw AgentError(ErrorKind::Verify, what + " ends early (truncated)");
            p += r;
            n -= static_cast<std::size_t>(r);
            at += r;
        }
    }
};

std::string utcNow() {
    std::time_t t = std::time(nullptr);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
    return buf;
}

void writeWholeFile(const fs::path& p, const void* data, std::size_t n) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    out.close();
    if (!out) throw AgentError(ErrorKind::Io, "cannot write " + p.string() + ": " + errnoText(errno));
}

// Where the blocks of one backup go: a full image at block offsets, or the changed
// blocks packed in block order (position = rank among the set bits).
class BlockSink {
public:
    BlockSink(const fs::path& dataFile, std::uint32_t blockSize, std::uint32_t blockCount,
              const std::vector<std::uint8_t>* changes)
        : file_(dataFile, O_WRONLY | O_CREAT | O_TRUNC), blockSize_(blockSize), changes_(changes) {
        std::uint64_t slots = blockCount;
        if (changes_) {
            // Rank of each 64-block word, so a block's position is one popcount away.
            std::size_t words = (blockCount + 63) / 64;
            rank_.resize(words + 1);
            std::uint64_t total = 0;
            for (std::size_t w = 0; w < words; w++) {
                rank_[w] = total;
                total += std::popcount(word(w, blockCount));
            }
            rank_[words] = total;
            slots = total;
        }
        slots_ = slots;
        checksums_.assign(slots, 0);
        if (::ftruncate(file_.fd, static_cast<off_t>(slots * blockSize)) != 0)
            throw AgentError(ErrorKind::Io, "cannot size " + dataFile.string() + ": " + errnoText(errno));
        blockCount_ = blockCount;
    }

    std::uint64_t slots() const { return slots_; }

    // Stores count consecutive blocks from start; runs of zero blocks stay holes in a full image.
    void store(std::uint32_t start, std::uint32_t count, const std::uint8_t* data) {
        std::uint32_t i = 0;
        while (i < count) {
            std::uint32_t runStart = i;
            bool zero = allZero(data + static_cast<std::size_t>(i) * blockSize_, blockSize_);
            i++;
            while (i < count && allZero(data + static_cast<std::size_t>(i) * blockSize_, blockSize_) == zero &&
                   (!changes_ || slotOf(start + i) == slotOf(start + i - 1) + 1))
                i++;
            for (std::uint32_t k = runStart; k < i; k++)
                checksums_[slotOf(start + k)] = hashBytes(data + static_cast<std::size_t>(k) * blockSize_, blockSize_);
            if (zero && !changes_) continue;  // a hole already reads as zeros
            bytes_ += static_cast<std::uint64_t>(i - runStart) * blockSize_;
            write(data + static_cast<std::size_t>(runStart) * blockSize_,
                  static_cast<std::size_t>(i - runStart) * blockSize_, slotOf(start + runStart) * blockSize_);
        }
        // Start write-back as the data comes, so the fsync before publishing finds little
        // left to do and the disk works while the device is still being read. What was
        // started a window ago has had that long to get there: it leaves the page cache,
        // which a backup would otherwise fill at everyone else's expense.
        if (bytes_ - kicked_ >= kKickBytes) {
            flush();
            ::sync_file_range(file_.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
            if (startedEnd_) {
                ::sync_file_range(file_.fd, 0, static_cast<off_t>(startedEnd_),
                                  SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
                ::posix_fadvise(file_.fd, 0, static_cast<off_t>(startedEnd_), POSIX_FADV_DONTNEED);
            }
            startedEnd_ = end_;
            kicked_ = bytes_;
        }
    }

    void finish(const fs::path& checksumFile, std::uint64_t* checksumHash) {
        flush();
        writeWholeFile(checksumFile, checksums_.data(), checksums_.size() * sizeof(std::uint64_t));
        *checksumHash = hashBytes(checksums_.data(), checksums_.size() * sizeof(std::uint64_t));
    }
    std::uint64_t bytesStored() const { return bytes_; }

private:
    // Small pieces that continue one another (an incremental's single blocks) are gathered
    // and written together; large ones go straight to the file.
    void write(const std::uint8_t* p, std::size_t n, std::uint64_t at) {
        end_ = std::max<std::uint64_t>(end_, at + n);
        if (!pending_.empty() && (at != pendingAt_ + pending_.size() || pending_.size() + n > kGather)) flush();
        if (n >= kGather / 4 && pending_.empty()) {
            file_.pwriteAll(p, n, static_cast<off_t>(at), "backup data");
            return;
        }
        if (pending_.empty()) pendingAt_ = at;
        pending_.insert(pending_.end(), p, p + n);
    }
    void flush() {
        if (pending_.empty()) return;
        file_.pwriteAll(pending_.data(), pending_.size(), static_cast<off_t>(pendingAt_), "backup data");
        pending_.clear();
    }
    std::uint64_t word(std::size_t w, std::uint32_t blockCount) const {
        std::uint64_t v = 0;
        for (int b = 0; b < 8; b++) {
            std::size_t byte = w * 8 + b;
            if (byte < changes_->size()) v |= static_cast<std::uint64_t>((*changes_)[byte]) << (8 * b);
        }
        std::uint64_t first = static_cast<std::uint64_t>(w) * 64;
        if (first + 64 > blockCount) v &= (blockCount > first) ? ((1ULL << (blockCount - first)) - 1) : 0;
        return v;
    }
    std::uint64_t slotOf(std::uint32_t block) const {
        if (!changes_) return block;
        std::size_t w = block / 64;
        std::uint64_t below = word(w, blockCount_) & ((1ULL << (block % 64)) - 1);
        return rank_[w] + std::popcount(below);
    }

    Fd file_;
    std::uint32_t blockSize_;
    std::uint32_t blockCount_ = 0;
    const std::vector<std::uint8_t>* changes_;
    std::vector<std::uint64_t> rank_;
    std::vector<std::uint64_t> checksums_;
    std::uint64_t slots_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t kicked_ = 0;  // bytes_ when write-back was last started
    std::uint64_t end_ = 0;         // the end of the furthest write
    std::uint64_t startedEnd_ = 0;  // end_ when write-back was last started
    static constexpr std::uint64_t kKickBytes = 8u << 20;
    std::vector<std::uint8_t> pending_;  // gathered data not yet written, for pendingAt_
    std::uint64_t pendingAt_ = 0;
    static constexpr std::size_t kGather = 1u << 20;
};

constexpr std::uint32_t kHandOverBlocks = 32;
// Short reads (an incremental's scattered blocks) are copied out of the transfer buffer and
// handed over this many blocks at a time: storing them where they are read would put the
// hashing and the writes on the reading thread.
constexpr std::uint32_t kStageBlocks = 64;
constexpr int kMaxStaged = 4;  // staged batches queued at most: bounds their memory

// Stores batches on a thread of its own while the next one is read: the session's
// transfer buffers take turns, and a buffer is read into again only once its last batch
// is stored; staged batches carry their own copy of scattered blocks. A store failure is
// rethrown to the reading thread at its next wait.
class StoreThread {
public:
    explicit StoreThread(BlockSink& sink, std::uint32_t blockSize)
        : sink_(sink), blockSize_(blockSize), thread_([this] { run(); }) {}
    ~StoreThread() {
        {
            std::lock_guard lk(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    StoreThread(const StoreThread&) = delete;
    StoreThread& operator=(const StoreThread&) = delete;

    void waitFree(unsigned buf) {
        std::unique_lock lk(mu_);
        cv_.wait(lk, [&] { return uses_[buf] == 0 || error_; });
        if (error_) std::rethrow_exception(error_);
    }
    void push(std::uint32_t start, std::uint32_t count, const std::uint8_t* data, unsigned buf) {
        {
            std::lock_guard lk(mu_);
            uses_[buf]++;
            jobs_.push_back({start, count, data, buf, {}, {}});
        }
        cv_.notify_all();
    }
    // blocks[i] is at data + i * blockSize; waits while kMaxStaged such batches are queued.
    void pushStaged(std::vector<std::uint32_t> blocks, std::vector<std::uint8_t> data) {
        {
            std::unique_lock lk(mu_);
            cv_.wait(lk, [&] { return uses_[kStaged] < kMaxStaged || error_; });
            if (error_) std::rethrow_exception(error_);
            uses_[kStaged]++;
            jobs_.push_back({0, 0, nullptr, kStaged, std::move(blocks), std::move(data)});
        }
        cv_.notify_all();
    }
    // Waits until every queued batch is stored.
    void finish() {
        std::unique_lock lk(mu_);
        cv_.wait(lk, [&] { return (jobs_.empty() && uses_[0] == 0 && uses_[1] == 0 && uses_[kStaged] == 0) || error_; });
        if (error_) std::rethrow_exception(error_);
    }

private:
    static constexpr unsigned kStaged = 2;  // uses_ slot of the staged batches
    struct Job {
        std::uint32_t start, count;
        const std::uint8_t* data;
        unsigned buf;
        std::vector<std::uint32_t> blocks;  // staged: the blocks, in staged order
        std::vector<std::uint8_t> owned;    // staged: their bytes
    };
    void store(const Job& j) {
        if (j.buf != kStaged) {
            sink_.store(j.start, j.count, j.data);
            return;
        }
        // Runs of consecutive blocks go together, as they would have from the buffer.
        for (std::size_t i = 0; i < j.blocks.size();) {
            std::size_t k = i + 1;
            while (k < j.blocks.size() && j.blocks[k] == j.blocks[k - 1] + 1) k++;
            sink_.store(j.blocks[i], static_cast<std::uint32_t>(k - i), j.owned.data() + i * blockSize_);
            i = k;
        }
    }
    void run() {
        std::unique_lock lk(mu_);
        for (;;) {
            cv_.wait(lk, [&] { return stop_ || !jobs_.empty(); });
            if (jobs_.empty()) return;
            Job j = std::move(jobs_.front());
            jobs_.pop_front();
            if (!error_) {
                lk.unlock();
                try {
                    store(j);
                } catch (...) {
                    lk.lock();
                    error_ = std::current_exception();
                    lk.unlock();
                }
                lk.lock();
            }
            uses_[j.buf]--;
            cv_.notify_all();
        }
    }

    BlockSink& sink_;
    std::uint32_t blockSize_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Job> jobs_;             // guarded by mu_
    std::array<int, 3> uses_{};        // guarded by mu_: batches queued or being stored, per buffer and staged
    std::exception_ptr error_;         // guarded by mu_
    bool stop_ = false;                // guarded by mu_
    std::thread thread_;               // last: starts once the rest is built
};

}  // namespace

BackupResult runBackup(const Repository& repo, const BackupOptions& opt) {
    auto began = Clock::now();
    BackupResult result;
    auto phaseStart = began;
    auto phase = [&](const char* name) {
        auto now = Clock::now();
        result.phases.emplace_back(name, std::chrono::duration<double>(now - phaseStart).count());
        phaseStart = now;
    };
    std::optional<Manifest> base;
    RepoLock lock(repo, RepoLock::Exclusive);
    repo.removeStale();
    if (opt.incremental) {
        base = repo.newest(opt.source, opt.major, opt.minor);
        if (!base) {
            result.fallbackReason = "no earlier backup of this file system in the repository";
            // Say so when the newest backup of the same place is of another file system.
            for (const Manifest& m : repo.list())
                if (!m.source.fsUuid.empty() && m.source.fsUuid != opt.source.fsUuid && m.source.path == opt.source.path &&
                    m.major == opt.major && m.minor == opt.minor)
                    result.fallbackReason = "the newest backup of " + (m.source.path.empty() ? "this device" : m.source.path) +
                                            ", " + m.id + ", is of another file system (" + m.source.describe() +
                                            "; now " + opt.source.describe() + ")";
        } else {
            try {
                repo.chain(base->id);
            } catch (const AgentError& e) {
                result.fallbackReason = std::string("the base chain is incomplete (") + e.what() + ")";
                base.reset();
            }
        }
    }
    lock.unlock();
    phase("repository");

    Session s(opt.devicePath);
    BlockSize bs = s.blockSize(opt.major, opt.minor);
    if (bs.blockSize < 512 || bs.blockSize > 4096)
        throw AgentError(ErrorKind::Refused, "GetBlockSize: unusable block size " + std::to_string(bs.blockSize));
    std::uint32_t blockSize = static_cast<std::uint32_t>(bs.blockSize);
    std::uint32_t blockCount =
        static_cast<std::uint32_t>(static_cast<std::uint64_t>(bs.partitionSizeKB) * 1024 / blockSize);
    if (blockCount == 0) throw AgentError(ErrorKind::Refused, "GetBlockSize: the device has no blocks");
    if (base && (base->blockSize != blockSize || base->blockCount != blockCount)) {
        result.fallbackReason = "the device geometry changed since backup " + base->id;
        base.reset();
    }

    s.start(opt.major, opt.minor, blockCount, opt.maxCacheBlocks);
    std::array<const std::uint8_t*, 2> buffers{s.mapBuffer(), nullptr};
    try {
        buffers[1] = s.mapBuffer();
    } catch (const AgentError&) {
        buffers[1] = nullptr;  // one buffer still works: reads and stores take turns
    }
    std::uint32_t batch = static_cast<std::uint32_t>(s.bufferBytes() / blockSize);
    phase("start");

    AMSessionKey key{};
    if (base) {
        key = base->sessionKey;
    } else {
        s.noLoadFromAutoMap();
    }
    auto snapshot = [&](const AMSessionKey& k) {
        result.manifest.snapshotStartNs = realtimeNs();
        unsigned state = s.snapshot(k);
        result.manifest.snapshotEndNs = realtimeNs();
        return state;
    };
    unsigned st = snapshot(key);
    if (st == BACKUP_STARTED && base) {
        result.fallbackReason = "the module refused the session key of backup " + base->id;
        base.reset();
        s.noLoadFromAutoMap();
        st = snapshot(AMSessionKey{});
    }
    if (st != BACKUP_SNAPSHOT_DONE)
        throw AgentError(ErrorKind::Refused, std::string("SnapShot left the session ") + stateName(st));
    phase("snapshot");
    if (opt.afterSnapshot) opt.afterSnapshot();
    AutoMapState ams = s.autoMapState();

    std::optional<std::vector<std::uint8_t>> changes;
    if (base) {
        changes = s.getAutoMap(blockCount);
        if (!changes) {
            result.fallbackReason = "the module kept no change map for backup " + base->id;
            base.reset();
        }
    }
    bool incremental = base.has_value();
    phase("get-map");
    std::vector<std::uint8_t> map = incremental ? *changes : std::vector<std::uint8_t>((blockCount + 7) / 8, 0xFF);
    s.loadBlockMap(map, blockCount);
    phase("load-map");

    Manifest m;
    lock.relock(RepoLock::Exclusive);
    PendingBackup pending(repo, incremental ? "incremental" : "full");
    lock.unlock();
    m.id = pending.id();
    m.dataFile = incremental ? "changes.dat" : "image.raw";
    BlockSink sink(pending.file(m.dataFile), blockSize, blockCount, incremental ? &map : nullptr);
    phase("create");

    std::vector<std::uint64_t> done((blockCount + 63) / 64, 0);
    auto isDone = [&](std::uint32_t b) { return (done[b / 64] >> (b % 64)) & 1; };
    auto markDone = [&](std::uint32_t b, std::uint32_t n) {
        for (std::uint32_t k = b; k < b + n; k++) done[k / 64] |= 1ULL << (k % 64);
    };
    auto needed = [&](std::uint32_t b) { return bitSet(map, b) && !isDone(b); };
    StoreThread store(sink, blockSize);
    std::vector<std::uint32_t> stagedBlocks;
    std::vector<std::uint8_t> staged;
    auto handOverStaged = [&] {
        if (stagedBlocks.empty()) return;
        store.pushStaged(std::move(stagedBlocks), std::move(staged));
        stagedBlocks = {};
        staged = {};
    };
    unsigned turn = 0;
    auto readInto = [&](std::uint32_t b, std::uint32_t n) {
        // A few blocks are cheaper to copy out and hand over with others than on their own.
        bool handOver = n >= kHandOverBlocks;
        unsigned buf = buffers[1] ? (handOver ? turn++ : turn) % 2 : 0;
        store.waitFree(buf);
        if (!s.readBlocks(b, n, buffers[buf]))
            throw AgentError(ErrorKind::Io, "ReadBlocks: a disk read failed in blocks " + std::to_string(b) + ".." +
                                                std::to_string(b + n - 1));
        if (handOver) {
            store.push(b, n, buffers[buf], buf);
        } else {
            if (staged.empty()) staged.reserve(static_cast<std::size_t>(kStageBlocks + kHandOverBlocks) * blockSize);
            for (std::uint32_t k = 0; k < n; k++) stagedBlocks.push_back(b + k);
            staged.insert(staged.end(), buffers[buf], buffers[buf] + static_cast<std::size_t>(n) * blockSize);
            if (stagedBlocks.size() >= kStageBlocks) handOverStaged();
        }
        markDone(b, n);
        result.manifest.stats.blocksRead += n;
    };

    Progress progress{0, sink.slots(), 0};
    std::uint32_t sinceDrain = 0;
    for (std::uint32_t next = 0; next < blockCount;) {
        if (!needed(next)) {
            next++;
            continue;
        }
        std::uint32_t n = 1;
        while (n < batch && next + n < blockCount && needed(next + n)) n++;
        readInto(next, n);
        progress.done += n;
        next += n;
        sinceDrain += n;
        // Blocks the cache holds leave it once read: take them all, once a batch's worth
        // has been read since the last time, so it stays small. Only unread blocks are
        // ever cached, so this ends even while writers run.
        if (sinceDrain < batch && next < blockCount) continue;
        sinceDrain = 0;
        std::uint64_t drained = 0;
        for (;;) {
            auto d = s.dirtyBlock();
            if (!d || *d >= blockCount || isDone(*d)) break;
            readInto(*d, 1);
            drained++;
            progress.done++;
        }
        result.manifest.stats.blocksFromDirty += drained;
        result.maxDirtyDrained = std::max(result.maxDirtyDrained, drained);
        progress.seconds = secondsSince(began);
        if (opt.progress) opt.progress(progress);
    }
    handOverStaged();
    phase("read");
    store.finish();
    phase("drain");
    progress.seconds = secondsSince(began);
    if (opt.progress) opt.progress(progress);

    m.source = opt.source;
    m.major = opt.major;
    m.minor = opt.minor;
    m.blockSize = blockSize;
    m.blockCount = blockCount;
    m.partitionSizeKB = bs.partitionSizeKB;
    m.kind = incremental ? "incremental" : "full";
    m.parent = incremental ? base->id : "";
    m.time = utcNow();
    m.sessionKey = ams.amsKey;
    m.changedBlocks = sink.slots();
    if (incremental) {
        writeWholeFile(pending.file("changes.bitmap"), map.data(), map.size());
        m.bitmapHash = hashBytes(map.data(), map.size());
    }
    sink.finish(pending.file("checksums.bin"), &m.checksumsHash);
    m.stats = result.manifest.stats;
    m.snapshotStartNs = result.manifest.snapshotStartNs;
    m.snapshotEndNs = result.manifest.snapshotEndNs;
    m.stats.bytesStored = sink.bytesStored();
    m.stats.seconds = secondsSince(began);
    phase("checksums");
    lock.relock(RepoLock::Exclusive);
    pending.publish(m);
    lock.unlock();
    phase("publish");
    result.manifest = m;
    return result;
}

namespace {

// Calls fn(block, slot) for every block a backup stores, in slot order.
template <class F>
void forEachStored(const Manifest& m, const std::vector<std::uint8_t>& bitmap, F fn) {
    std::uint64_t slot = 0;
    for (std::uint64_t b = 0; b < m.blockCount; b++) {
        if (m.kind == "incremental" && !bitSet(bitmap, b)) continue;
        fn(b, slot++);
    }
}

struct LoadedBackup {
    std::vector<std::uint64_t> checksums;
    std::vector<std::uint8_t> bitmap;
};

// The manifest was validated against these files' sizes; they are read no further.
LoadedBackup loadChecks(const Repository& repo, const Manifest& m) {
    LoadedBackup lb;
    fs::path dir = repo.dir(m.id);
    auto sums = readRepoFile(dir / "checksums.bin", m.changedBlocks * 8);
    if (hashBytes(sums.data(), sums.size()) != m.checksumsHash)
        throw AgentError(ErrorKind::Verify, m.id + ": checksums.bin does not match its manifest");
    lb.checksums.resize(m.changedBlocks);
    memcpy(lb.checksums.data(), sums.data(), sums.size());
    if (m.kind == "incremental") {
        lb.bitmap = readRepoFile(dir / "changes.bitmap", (m.blockCount + 7) / 8);
        if (hashBytes(lb.bitmap.data(), lb.bitmap.size()) != m.bitmapHash)
            throw AgentError(ErrorKind::Verify, m.id + ": changes.bitmap does not match its manifest");
    }
    return lb;
}

void verifyOne(const Repository& repo, const Manifest& m, VerifyReport* report) {
    report->backups++;
    std::uint64_t bad = 0;
    try {
        LoadedBackup lb = loadChecks(repo, m);
        Fd data(openRepoFile(repo.dir(m.id) / m.dataFile));
        std::vector<std::uint8_t> block(m.blockSize);
        forEachStored(m, lb.bitmap, [&](std::uint64_t b, std::uint64_t slot) {
            data.preadAll(block.data(), block.size(), static_cast<off_t>(slot * m.blockSize), m.id + "/" + m.dataFile);
            report->blocksChecked++;
            if (hashBytes(block.data(), block.size()) != lb.checksums[slot] && bad++ < 5)
                report->problems.push_back(m.id + ": block " + std::to_string(b) + " does not match its checksum");
        });
    } catch (const AgentError& e) {
        report->problems.push_back(e.what());
    }
    if (bad > 5) report->problems.push_back(m.id + ": " + std::to_string(bad) + " blocks in all do not match");
}

// Why parent cannot carry child, or empty.
std::string linkProblem(const Manifest& child, const Manifest& parent) {
    if (parent.blockSize != child.blockSize || parent.blockCount != child.blockCount)
        return child.id + " has another geometry than its parent " + parent.id;
    if (!parent.source.sameAs(child.source, parent.major, parent.minor, child.major, child.minor))
        return child.id + " is of " + child.source.describe() + ", its parent " + parent.id + " of " +
               parent.source.describe();
    return {};
}

}  // namespace

VerifyReport verifyChain(const Repository& repo, const std::string& id) {
    RepoLock lock(repo, RepoLock::Shared);
    if (!repo.has(id)) throw AgentError(ErrorKind::Usage, "no backup " + id + " in " + repo.root().string());
    VerifyReport report;
    std::set<std::string> seen;
    std::optional<Manifest> child;
    for (std::string at = id;;) {
        if (!seen.insert(at).second) {
            report.problems.push_back("the backup chain of " + id + " loops at " + at);
            break;
        }
        std::optional<Manifest> m;
        try {
            m = repo.find(at);
            if (!m) throw AgentError(ErrorKind::Verify, at + ": missing from the repository (the parent of " + (child ? child->id : id) + ")");
        } catch (const AgentError& e) {
            report.problems.push_back(e.what());
            break;
        }
        if (child)
            if (std::string p = linkProblem(*child, *m); !p.empty()) report.problems.push_back(p);
        verifyOne(repo, *m, &report);
        if (m->kind == "full") break;
        at = m->parent;
        child = std::move(m);
    }
    return report;
}

VerifyReport verifyRepository(const Repository& repo) {
    RepoLock lock(repo, RepoLock::Shared);
    RepoScan scan = repo.scan();
    VerifyReport report;
    report.problems = scan.problems;
    std::map<std::string, const Manifest*> byId;
    for (const Manifest& m : scan.backups) byId[m.id] = &m;
    std::set<std::string> damaged(scan.damaged.begin(), scan.damaged.end());
    std::set<std::string> said;
    for (const Manifest& m : scan.backups) {
        verifyOne(repo, m, &report);
        // Walk to the base through what the scan found: bounded by the number of backups.
        std::set<std::string> seen{m.id};
        for (const Manifest* at = &m; at->kind == "incremental";) {
            std::string p;
            auto parent = byId.find(at->parent);
            if (parent == byId.end())
                p = at->id + ": its parent " + at->parent + (damaged.count(at->parent) ? " is damaged" : " is missing");
            else if (!seen.insert(at->parent).second)
                p = "the backup chain of " + m.id + " loops at " + at->parent;
            else
                p = linkProblem(*at, *parent->second);
            if (!p.empty()) {
                if (said.insert(p).second) report.problems.push_back(p);
                break;
            }
            at = parent->second;
        }
    }
    return report;
}

std::string defaultRestoreId(const Repository& repo) {
    RepoScan scan = repo.scan();
    if (scan.backups.empty()) {
        if (!scan.problems.empty())
            throw AgentError(ErrorKind::Verify, "the repository holds no valid backup: " + scan.problems.front());
        throw AgentError(ErrorKind::Usage, "the repository " + repo.root().string() + " holds no backup");
    }
    std::vector<const Manifest*> newestOf;  // per source
    for (const Manifest& m : scan.backups) {
        auto same = std::find_if(newestOf.begin(), newestOf.end(), [&](const Manifest* n) {
            return n->source.sameAs(m.source, n->major, n->minor, m.major, m.minor);
        });
        if (same == newestOf.end()) newestOf.push_back(&m);
        else *same = &m;
    }
    if (newestOf.size() > 1) {
        std::string all;
        for (const Manifest* n : newestOf)
            all += (all.empty() ? "" : "; ") + n->source.describe() + " (device " + std::to_string(n->major) + ":" +
                   std::to_string(n->minor) + ", newest " + n->id + ")";
        throw AgentError(ErrorKind::Usage, "the repository holds backups of " + std::to_string(newestOf.size()) +
                                               " sources: " + all + "; give --id");
    }
    const std::string& id = newestOf.front()->id;
    // Ids begin with their UTC time ("20261209T101500..."): a damaged entry named like one
    // and newer may be the backup that was meant.
    auto idLike = [](const std::string& n) {
        return n.size() > 16 && n[8] == 'T' && std::all_of(n.begin(), n.begin() + 8, [](char c) { return c >= '0' && c <= '9'; });
    };
    for (std::size_t i = 0; i < scan.damaged.size(); i++)
        if (idLike(scan.damaged[i]) && scan.damaged[i] > id)
            throw AgentError(ErrorKind::Verify, "a newer backup than " + id + " is damaged (" + scan.problems[i] +
                                                    "); give --id " + id + " to restore the older state");
    return id;
}

namespace {

bool isInside(const fs::path& p, const fs::path& dir) {
    std::error_code ec;
    fs::path a = fs::weakly_canonical(p, ec), d = fs::canonical(dir, ec);
    if (ec) return false;
    auto [end, _] = std::mismatch(d.begin(), d.end(), a.begin(), a.end());
    return end == d.end();
}

// Where a restore writes: a temporary file beside the target, renamed over it once
// complete and removed otherwise; or a block device, written in place.
class RestoreTarget {
public:
    RestoreTarget(const Repository& repo, const std::vector<Manifest>& chain, const fs::path& out,
                  const RestoreOptions& o, std::uint64_t bytes)
        : out_(out) {
        if (isInside(out, repo.root()))
            throw AgentError(ErrorKind::Usage, out.string() + " is inside the repository " + repo.root().string());
        struct stat st {};
        bool exists = ::stat(out.c_str(), &st) == 0;
        if (!exists && errno != ENOENT)
            throw AgentError(ErrorKind::Usage, "cannot look at " + out.string() + ": " + errnoText(errno));
        if (exists) {
            refuseSameFile(repo, chain, o, st);
            if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
                throw AgentError(ErrorKind::Usage, out.string() + " is neither a regular file nor a block device");
            if (!o.force)
                throw AgentError(ErrorKind::Usage, out.string() + " exists; give --force to replace it");
            std::error_code ec;
            out_ = fs::canonical(out, ec);  // a symlink's target is what gets replaced
            if (ec) out_ = out;
        }
        if (exists && S_ISBLK(st.st_mode)) {
            device_ = true;
            // O_EXCL: refused while the device is mounted or otherwise held.
            int fd = ::open(out_.c_str(), O_WRONLY | O_EXCL | O_CLOEXEC);
            if (fd < 0) throw AgentError(ErrorKind::Io, "cannot open " + out_.string() + ": " + errnoText(errno));
            file_ = std::make_unique<Fd>(fd);
            std::uint64_t size = 0;
            if (::ioctl(fd, BLKGETSIZE64, &size) != 0)
                throw AgentError(ErrorKind::Io, "cannot size " + out_.string() + ": " + errnoText(errno));
            if (size < bytes)
                throw AgentError(ErrorKind::Usage, out_.string() + " holds " + std::to_string(size) + " bytes, the image " +
                                                       std::to_string(bytes));
            return;
        }
        tmp_ = out_.parent_path() / ("." + out_.filename().string() + ".tavbackup-" + std::to_string(::getpid()));
        int fd = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) throw AgentError(ErrorKind::Io, "cannot create " + tmp_.string() + ": " + errnoText(errno));
        file_ = std::make_unique<Fd>(fd);
        if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
            int err = errno;
            discard();
            throw AgentError(ErrorKind::Io, "cannot size " + tmp_.string() + ": " + errnoText(err));
        }
    }
    ~RestoreTarget() { discard(); }
    bool device() const { return device_; }
    const Fd& file() const { return *file_; }
    const fs::path& path() const { return out_; }

    void commit() {
        if (::fsync(file_->fd) != 0) throw AgentError(ErrorKind::Io, "fsync of " + out_.string() + " failed: " + errnoText(errno));
        if (device_) return;
        if (::rename(tmp_.c_str(), out_.c_str()) != 0)
            throw AgentError(ErrorKind::Io, "cannot rename " + tmp_.string() + " to " + out_.string() + ": " + errnoText(errno));
        tmp_.clear();
        fsyncPath(out_.parent_path().empty() ? fs::path(".") : out_.parent_path());
    }

private:
    void discard() {
        file_.reset();
        if (!tmp_.empty()) ::unlink(tmp_.c_str());
        tmp_.clear();
    }
    void refuseSameFile(const Repository& repo, const std::vector<Manifest>& chain, const RestoreOptions& o,
                        const struct stat& target) {
        auto same = [&](const fs::path& p) {
            struct stat st {};
            return ::stat(p.c_str(), &st) == 0 && st.st_dev == target.st_dev && st.st_ino == target.st_ino;
        };
        for (const fs::path& p : o.protect)
            if (same(p)) throw AgentError(ErrorKind::Usage, out_.string() + " is " + p.string() + ", which must not be written");
        for (const Manifest& m : chain)
            if (!m.source.path.empty() && same(m.source.path))
                throw AgentError(ErrorKind::Usage, out_.string() + " is the source of backup " + m.id + ", " + m.source.path);
        std::error_code ec;
        for (const auto& d : fs::directory_iterator(repo.root(), ec)) {
            if (!d.is_directory(ec) || d.is_symlink(ec)) continue;
            for (const auto& f : fs::directory_iterator(d.path(), ec))
                if (!f.is_symlink(ec) && same(f.path()))
                    throw AgentError(ErrorKind::Usage, out_.string() + " is the repository's " + f.path().string());
        }
    }

    fs::path out_, tmp_;
    bool device_ = false;
    std::unique_ptr<Fd> file_;
};

}  // namespace

void restoreChain(const Repository& repo, const std::string& id, const fs::path& out, const RestoreOptions& o) {
    auto began = Clock::now();
    RepoLock lock(repo, RepoLock::Shared);
    if (!repo.has(id)) throw AgentError(ErrorKind::Usage, "no backup " + id + " in " + repo.root().string());
    std::vector<Manifest> chain = repo.chain(id);
    const Manifest& full = chain.front();
    std::uint64_t bytes = full.blockCount * full.blockSize;
    RestoreTarget dst(repo, chain, out, o, bytes);

    Progress p{0, 0, 0};
    for (const Manifest& m : chain) p.total += m.changedBlocks;
    std::vector<std::uint8_t> block(full.blockSize);
    for (const Manifest& m : chain) {
        LoadedBackup lb = loadChecks(repo, m);
        Fd data(openRepoFile(repo.dir(m.id) / m.dataFile));
        forEachStored(m, lb.bitmap, [&](std::uint64_t b, std::uint64_t slot) {
            data.preadAll(block.data(), block.size(), static_cast<off_t>(slot * m.blockSize), m.id + "/" + m.dataFile);
            if (hashBytes(block.data(), block.size()) != lb.checksums[slot])
                throw AgentError(ErrorKind::Verify, m.id + ": block " + std::to_string(b) + " does not match its checksum");
            // Zero blocks of the base are holes of a fresh file already; a device holds
            // anything, and later zeros must overwrite.
            if (m.kind == "full" && !dst.device() && allZero(block.data(), block.size())) return;
            dst.file().pwriteAll(block.data(), block.size(), static_cast<off_t>(b * m.blockSize), dst.path().string());
            if (++p.done % 4096 == 0 && o.progress) {
                p.seconds = secondsSince(began);
                o.progress(p);
            }
        });
    }
    dst.commit();
    p.done = p.total;
    p.seconds = secondsSince(began);
    if (o.progress) o.progress(p);
}

std::string extUuid(const std::uint8_t* first2048) {
    const std::uint8_t* sb = first2048 + 1024;
    if (sb[0x38] != 0x53 || sb[0x39] != 0xEF) return {};
    const std::uint8_t* u = sb + 0x68;
    char buf[37];
    std::snprintf(buf, sizeof buf, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0], u[1], u[2],
                  u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
    return buf;
}

}  // namespace tav::agent
