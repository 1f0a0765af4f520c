// The fault sweep: for every site of the fault plan, fail its nth call for every n up to
// the calls a clean run makes (an even sample of at most TAV_SWEEP_CAP of them), through
// one scenario driven as an agent does it: a full backup while writers run, then an
// incremental presenting the full backup's key. Each run starts from a fresh disk and
// module and must end with no leak, no unexpected critical line, every acknowledged write
// on the disk, and each backup either exact (the device as it stood at its freeze) or
// refused with a result code or error state: never success with wrong data.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "2.6/tavguard.h"
#include "kernel/accounting.h"
#include "kernel/bio.h"
#include "kernel/blkdev.h"
#include "kernel/fault.h"
#include "kernel/printk.h"
#include "kernel/sched.h"
#include "tav/blockio.h"
#include "tav/modules.h"
#include "tav/sys.h"

namespace {

using tav::fault::Site;

constexpr unsigned kBlockSize = 1024;
constexpr std::uint64_t kP1Start = 64, kP1Sectors = 2048, kP2Start = kP1Start + kP1Sectors, kP2Sectors = 512;
constexpr unsigned kFsBlocks = kP1Sectors * 512 / kBlockSize;
constexpr unsigned kP2Blocks = kP2Sectors * 512 / kBlockSize;
constexpr std::uint64_t kUnknown = ~std::uint64_t{0};  // a failed write: content not known

void fillStamp(std::uint8_t* p, std::size_t bytes, std::uint64_t stamp) {
    for (std::size_t i = 0; i < bytes; i += 8) {
        std::uint64_t w = stamp * 0x9e3779b97f4a7c15ull + i;
        memcpy(p + i, &w, 8);
    }
}

// Writers on disjoint blocks, so the last acknowledged write of each block is known: two
// file-system writers on partition 1 (blocks 0 and 1 left to the file system) and one raw
// writer on partition 2, which the hook passes through, with read-aheads of partition 1.
// Each burst is a fixed number of writes per thread.
class Writers {
public:
    Writers(tav::Mount* fs, struct block_device* p1, struct block_device* p2)
        : fs_(fs), p1_(p1), p2_(p2), p1Stamp_(kFsBlocks, 0), p2Stamp_(kP2Blocks, 0) {}
    ~Writers() { join(); }

    void burst(int writes) {
        join();
        burst_++;
        done_ = 0;
        unsigned half = (kFsBlocks - 2) / 2;
        for (unsigned t = 0; t < 2; t++)
            threads_.emplace_back([this, t, half, writes] { fsLoop(t, 2 + t * half, 2 + (t + 1) * half, writes); });
        threads_.emplace_back([this, writes] { rawLoop(writes); });
    }
    void join() {
        for (auto& t : threads_) t.join();
        threads_.clear();
    }
    // Lets the running burst make n more writes (or finish).
    void waitWrites(long n) {
        long target = writes_.load() + n;
        while (writes_.load() < target && done_.load() < 3) std::this_thread::yield();
    }
    long errors() const { return errors_.load(); }

    // Every acknowledged write is on the disk; "" or what is not.
    std::string verify(tav::Disk& disk) const {
        std::vector<std::uint8_t> got(kBlockSize), want(kBlockSize);
        auto check = [&](const std::vector<std::uint64_t>& stamps, std::uint64_t start, const char* part) -> std::string {
            for (unsigned b = 0; b < stamps.size(); b++) {
                if (stamps[b] == 0 || stamps[b] == kUnknown) continue;
                if (disk.readRaw(start + std::uint64_t{b} * (kBlockSize / 512), got.data(), kBlockSize)) return "raw read";
                fillStamp(want.data(), kBlockSize, stamps[b]);
                if (got != want) return std::string("write lost: ") + part + " block " + std::to_string(b);
            }
            return "";
        };
        std::string r = check(p1Stamp_, kP1Start, "p1");
        return r.empty() ? check(p2Stamp_, kP2Start, "p2") : r;
    }

private:
    std::uint64_t stamp(unsigned thread, int seq) const {
        return (std::uint64_t{burst_} << 32 | std::uint64_t{thread} << 24 | static_cast<unsigned>(seq)) + 1;
    }
    void record(std::vector<std::uint64_t>& stamps, unsigned block, unsigned count, std::uint64_t s, bool ok) {
        for (unsigned i = 0; i < count; i++) stamps[block + i] = ok ? s : kUnknown;
        writes_++;
    }
    void fsLoop(unsigned t, unsigned lo, unsigned hi, int writes) {
        std::mt19937 rng(burst_ * 7 + t);
        std::vector<std::uint8_t> data(4 * kBlockSize);
        for (int i = 0; i < writes; i++) {
            unsigned count = rng() % 3 == 0 ? 1 + rng() % 4 : 1;
            unsigned block = lo + rng() % (hi - lo - count + 1);
            std::uint64_t s = stamp(t, i);
            for (unsigned k = 0; k < count; k++) fillStamp(&data[k * kBlockSize], kBlockSize, s + (std::uint64_t{k} << 20));
            int rc = fs_->writeDirect(block, data.data(), count);
            if (rc) errors_++;
            for (unsigned k = 0; k < count; k++) record(p1Stamp_, block + k, 1, s + (std::uint64_t{k} << 20), rc == 0);
            usleep(20);
        }
        done_++;
    }
    void rawLoop(int writes) {
        std::mt19937 rng(burst_ * 7 + 5);
        std::vector<std::uint8_t> data(kBlockSize);
        for (int i = 0; i < writes; i++) {
            unsigned block = rng() % kP2Blocks;
            std::uint64_t s = stamp(9, i);
            fillStamp(data.data(), kBlockSize, s);
            tav::BioBatch batch(p2_);
            int rc = batch.add(WRITE, sector_t{block} * (kBlockSize / 512), data.data(), kBlockSize);
            if (!rc) {
                batch.submit();
                rc = batch.wait();
            }
            if (rc) errors_++;
            record(p2Stamp_, block, 1, s, rc == 0);
            // A read-ahead of the backed-up partition, which the hook must pass on (or drop).
            tav::BioBatch ahead(p1_);
            if (ahead.add(READA, sector_t{rng() % kFsBlocks} * (kBlockSize / 512), data.data(), kBlockSize) == 0) {
                ahead.submit();
                ahead.wait();
            }
            usleep(20);
        }
        done_++;
    }

    tav::Mount* fs_;
    struct block_device* p1_;
    struct block_device* p2_;
    std::vector<std::thread> threads_;
    unsigned burst_ = 0;
    // Each thread writes only the entries of its own blocks; read after join.
    std::vector<std::uint64_t> p1Stamp_, p2Stamp_;
    std::atomic<long> writes_{0}, errors_{0};
    std::atomic<int> done_{0};
};

// A fresh disk (a pattern that differs per sector), tavfs on partition 1, the module
// loaded with its node; everything down in the right order.
struct World {
    std::unique_ptr<tav::Disk> disk;
    std::unique_ptr<tav::Mount> fs;
    make_request_fn* realFn = nullptr;
    bool ok = false;

    World() {
        tav::DiskConfig cfg;
        cfg.name = "fsw";
        cfg.major = 8;
        cfg.firstMinor = 16;
        cfg.sectors = kP2Start + kP2Sectors + 64;
        cfg.partitions = {{kP1Start, kP1Sectors, 1}, {kP2Start, kP2Sectors, 2}};
        disk = tav::Disk::create(cfg);
        if (!disk) return;
        std::vector<std::uint32_t> words(cfg.sectors * 128);
        for (std::size_t i = 0; i < words.size(); i++) words[i] = static_cast<std::uint32_t>(i * 2654435761u) | 1;
        if (disk->writeRaw(0, words.data(), words.size() * 4)) return;
        realFn = disk->queue()->make_request_fn;
        fs = tav::Mount::create(disk->bdev(1), {kBlockSize, 64, 0});
        if (!fs) return;
        tav::sys::mknod(TAV_DEVICE_PATH, TAV_MAJOR, 0);
        ok = tav::loadLinkedModule() == 0;
    }
    // Process and module gone: true when the unload worked and the queue has its own
    // function back.
    bool down() {
        tav::sys::exitProcess();
        bool unloaded = !tav::moduleLoaded() || tav::unloadModule() == 0;
        return unloaded && disk->queue()->make_request_fn == realFn;
    }
    ~World() {
        tav::sys::exitProcess();
        if (tav::moduleLoaded()) tav::unloadModule();
        tav::sys::unlink(TAV_DEVICE_PATH);
        fs.reset();
        disk.reset();
    }
};

enum class Outcome { NotReached, Exact, ExactWhole, FullFailed, IncrementalFailed, BothFailed, Violation, Count };
const char* const kOutcomeNames[] = {"fault not reached", "both exact", "both exact, incremental read whole",
                                     "full refused, incremental exact", "full exact, incremental refused",
                                     "both refused", "VIOLATION"};

// One backup as the agent runs it. The first refusal ends it (the agent closes).
struct BackupRun {
    std::string refused;  // the step and its result; empty when every step succeeded
    bool changeMap = false;
    std::vector<std::uint8_t> truth, image;
    AMSessionKey key{};
    bool haveKey = false;
    bool badCode = false;
};

class Agent {
public:
    Agent(World& w, Writers& writers) : w_(w), writers_(writers) {}

    // base: the previous backup's image and key (an incremental), or null (a full backup).
    BackupRun run(const BackupRun* base) {
        BackupRun r;
        int fd = tav::sys::open(TAV_DEVICE_PATH, O_RDWR);
        if (fd < 0) return refuse(r, "open", fd);
        step(r, fd, base);
        writers_.join();
        if (area_) tav::sys::munmap(area_, areaBytes_);
        area_ = nullptr;
        if (int rc = tav::sys::close(fd); rc && r.refused.empty()) refuse(r, "close", rc);
        return r;
    }

private:
    // A refusal names its step and result; one that is no code of the table (or an errno
    // the step may give) is a violation of its own.
    static BackupRun& refuse(BackupRun& r, const char* what, long rc) {
        r.refused = std::string(what) + " " + std::to_string(rc);
        auto code = [](long c) { return c >= TAV_ERR_NOT_READY && c <= TAV_ERR_READ_IO && c != 10; };
        std::string w = what;
        bool ok = w == "open"          ? rc == -ENOMEM
                  : w == "mmap"        ? rc == -ENOMEM || rc == -EINVAL
                  : w == "StartBackup" ? code(rc) || rc == -EAGAIN
                  : w == "state after SnapShot"
                      ? rc == BACKUP_ERR_BLOCK_READ || rc == BACKUP_ERR_CACHE || rc == BACKUP_ERR_QUEUE || code(rc - 1000)
                      : code(rc);
        if (!ok) r.badCode = true;
        return r;
    }
    unsigned state(int fd) {
        State s{};
        GetState g{&s, sizeof s};
        int rc = tav::sys::ioctl(fd, TAV_GET_STATE, &g);
        return rc == 0 ? s.state : 1000 + rc;  // a refused GetState shows as 100x
    }
    void step(BackupRun& r, int fd, const BackupRun* base) {
        StartBackup sb{8, 17, kFsBlocks, 100000};
        if (int rc = tav::sys::ioctl(fd, TAV_START_BACKUP, &sb)) return void(refuse(r, "StartBackup", rc));
        State s{};
        GetState gs{&s, sizeof s};
        if (int rc = tav::sys::ioctl(fd, TAV_GET_STATE, &gs)) return void(refuse(r, "GetState", rc));
        int err = 0;
        void* p = tav::sys::mmap(fd, static_cast<size_t>(s.mmapSize), PROT_READ, MAP_PRIVATE, 0, &err);
        if (p == MAP_FAILED) return void(refuse(r, "mmap", err));
        area_ = static_cast<unsigned char*>(p);
        areaBytes_ = static_cast<size_t>(s.mmapSize);

        // Writes around the freeze, then a second burst after it, which meets blocks still
        // to be preserved however fast the snapshot went.
        writers_.burst(20);
        writers_.waitWrites(5);
        r.truth.assign(std::size_t{kFsBlocks} * kBlockSize, 0);
        w_.fs->setFreezeSyncPoint([&](struct super_block*) { w_.disk->readRaw(kP1Start, r.truth.data(), r.truth.size()); });
        AMSessionKey zero{};
        const bool incremental = base && base->haveKey;
        SnapShot snap{incremental ? const_cast<AMSessionKey*>(&base->key) : &zero, incremental ? AMS_KEY_LEN : 0u};
        int rc = tav::sys::ioctl(fd, TAV_SNAPSHOT, &snap);
        if (rc) rc = tav::sys::ioctl(fd, TAV_SNAPSHOT, &snap);  // once more, as an agent would
        if (rc == 0 && state(fd) == BACKUP_STARTED) {
            // The key was not taken (or none was given while the device has an automap): a
            // full backup with a new automap.
            if (int rc2 = tav::sys::ioctl(fd, TAV_NO_LOAD_FROM_AUTOMAP, 0UL)) return void(refuse(r, "NoLoadFromAutoMap", rc2));
            snap = {&zero, 0};
            rc = tav::sys::ioctl(fd, TAV_SNAPSHOT, &snap);
        }
        w_.fs->setFreezeSyncPoint(nullptr);
        writers_.burst(30);
        if (rc) return void(refuse(r, "SnapShot", rc));
        if (unsigned st = state(fd); st != BACKUP_SNAPSHOT_DONE) return void(refuse(r, "state after SnapShot", st));

        AutoMapState ams{};
        GetAutoMapState gams{&ams, sizeof ams};
        if (int rc2 = tav::sys::ioctl(fd, TAV_GET_AUTOMAP_STATE, &gams)) return void(refuse(r, "GetAutoMapState", rc2));
        r.key = ams.amsKey;
        r.haveKey = ams.state == AMS_IN_SYNC;

        std::vector<std::uint8_t> bits((kFsBlocks + 7) / 8, 0);
        if (base) {
            // The module says whether it holds a change map since base's snapshot.
            UserBlockMap ubm{bits.data(), kFsBlocks};
            GetAutoMap gam{&ubm, sizeof ubm};
            rc = tav::sys::ioctl(fd, TAV_GET_AUTOMAP, &gam);
            if (rc == 0) {
                r.changeMap = true;
            } else if (rc != TAV_ERR_INVALID) {
                return void(refuse(r, "GetAutoMap", rc));
            }
        }
        if (r.changeMap) {
            UserBlockMap ubm{bits.data(), kFsBlocks};
            LoadBlockMap lbm{&ubm, sizeof ubm};
            if (int rc2 = tav::sys::ioctl(fd, TAV_LOAD_BLOCK_MAP, &lbm)) return void(refuse(r, "LoadBlockMap", rc2));
            r.image = base->image;
        } else {
            std::fill(bits.begin(), bits.end(), 0xff);
            r.image.assign(std::size_t{kFsBlocks} * kBlockSize, 0);
        }
        // The runs of the map, at most one area per ReadBlocks, writers going on between.
        unsigned perBatch = static_cast<unsigned>(areaBytes_ / kBlockSize);
        for (unsigned b = 0; b < kFsBlocks;) {
            if (!(bits[b / 8] & (1 << (b % 8)))) {
                b++;
                continue;
            }
            unsigned n = 0;
            while (b + n < kFsBlocks && n < perBatch && (bits[(b + n) / 8] & (1 << ((b + n) % 8)))) n++;
            ReadBlocks rb{b, n, area_};
            int rc2 = tav::sys::ioctl(fd, TAV_READ_BLOCKS, &rb);
            if (rc2 == TAV_ERR_READ_IO) rc2 = tav::sys::ioctl(fd, TAV_READ_BLOCKS, &rb);  // a retry must not pass bad data
            if (rc2) return void(refuse(r, "ReadBlocks", rc2));
            memcpy(&r.image[std::size_t{b} * kBlockSize], area_, std::size_t{n} * kBlockSize);
            b += n;
            writers_.waitWrites(3);
        }
    }

    World& w_;
    Writers& writers_;
    unsigned char* area_ = nullptr;
    size_t areaBytes_ = 0;
};


// Critical lines the module itself defines, for its internal invariants.
bool moduleOwnCritical(const std::string& line) {
    for (const char* m : {"request intercepted for unknown device", "was destroyed before kmem_cache_alloc",
                          "Blocksize set to 0 when making automap", "Could not find real make request fn"})
        if (line.find(m) != std::string::npos) return true;
    return false;
}

struct RunReport {
    Outcome outcome = Outcome::NotReached;
    std::string violation;
    std::string detail;  // the refusals
};


// A run that takes longer than this is a hang: say which and stop.
class Watchdog {
public:
    Watchdog() : thread_([this] { loop(); }) {}
    ~Watchdog() {
        stop_ = true;
        thread_.join();
    }
    void arm(std::string what) {
        std::lock_guard g(lock_);
        what_ = std::move(what);
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    }

private:
    void loop() {
        while (!stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::lock_guard g(lock_);
            if (!what_.empty() && std::chrono::steady_clock::now() > deadline_) {
                fprintf(stderr, "fault sweep: %s hangs\n", what_.c_str());
                std::abort();
            }
        }
    }
    std::mutex lock_;
    std::string what_;  // guarded by lock_
    std::chrono::steady_clock::time_point deadline_;  // guarded by lock_
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Arms the plan (arm runs once the world stands), runs the scenario, disarms, checks.
template <class Arm, class Disarm>
RunReport runScenario(Arm arm, Disarm disarm) {
    RunReport rep;
    tav::fault::clear();
    tav::kernel::clearLog();
    auto before = tav::kernel::liveSnapshot();
    std::string lost, wrong;
    std::vector<std::string> others;  // violations besides a wrong image
    {
        World w;
        if (!w.ok) {
            rep.outcome = Outcome::Violation;
            rep.violation = "world not built";
            return rep;
        }
        Writers writers(w.fs.get(), w.disk->bdev(1), w.disk->bdev(2));
        Agent agent(w, writers);
        arm();
        BackupRun full = agent.run(nullptr);
        writers.burst(30);  // between the backups: the automap hook records these
        writers.join();
        long firedEarly = 0;  // the rule fails one call: once it fired, nothing else fails
        for (int i = 0; i < static_cast<int>(Site::Count); i++) firedEarly += tav::fault::fired(static_cast<Site>(i));
        BackupRun incr = agent.run(full.refused.empty() ? &full : nullptr);
        bool fired = disarm();
        tav::fault::clear();
        w.fs->sync();
        lost = writers.verify(*w.disk);

        bool fullOk = full.refused.empty(), incrOk = incr.refused.empty();
        bool fullWrong = fullOk && full.image != full.truth, incrWrong = incrOk && incr.image != incr.truth;
        if (fullWrong) wrong = "full backup succeeded with an image that is not the device at its freeze";
        if (incrWrong && !fullWrong)
            wrong = incr.changeMap ? "incremental succeeded with a wrong image (change map + base)"
                                   : "incremental succeeded with a wrong image";
        if (!lost.empty()) others.push_back(lost);
        if (full.badCode || incr.badCode) others.push_back("refused with a result outside the table");
        if (firedEarly && !incrOk) others.push_back("a backup after the fault had passed was refused");
        if (!w.down()) others.push_back("the module did not unload, or left a hook on the queue");
        rep.detail = (fullOk ? std::string("full ok") : "full refused at " + full.refused) + "; " +
                     (incrOk ? std::string(incr.changeMap ? "incremental ok" : "incremental ok, whole")
                             : "incremental refused at " + incr.refused);
        if (!fired)
            rep.outcome = Outcome::NotReached;
        else if (fullOk && incrOk)
            rep.outcome = incr.changeMap ? Outcome::Exact : Outcome::ExactWhole;
        else
            rep.outcome = fullOk ? Outcome::IncrementalFailed : incrOk ? Outcome::FullFailed : Outcome::BothFailed;
    }
    tav::kernel::waitForKernelThreads(5000);
    auto after = tav::kernel::liveSnapshot();
    if ((after.pages != before.pages || after.kmallocBlocks != before.kmallocBlocks ||
                                  after.vmallocBlocks != before.vmallocBlocks || after.slabObjects != before.slabObjects ||
                                  after.slabCaches != before.slabCaches || after.bios != before.bios ||
                                  after.bufferHeads != before.bufferHeads || after.kernelThreads != before.kernelThreads))
        others.push_back("leak: before " + before.describe() + " after " + after.describe());
    for (auto& l : tav::kernel::logLinesAtMost(2))
        if (!moduleOwnCritical(l.text)) others.push_back("critical line: " + l.text);
    for (const std::string& v : others) rep.violation += (rep.violation.empty() ? "" : "; ") + v;
    if (!wrong.empty()) rep.violation = wrong + (rep.violation.empty() ? "" : "; ") + rep.violation;
    if (!rep.violation.empty()) {
        rep.outcome = Outcome::Violation;
    }
    return rep;
}

struct SweepSite {
    const char* label;
    Site site;
    const char* name;  // slab cache prefix, or null
};

void PrintTo(const SweepSite& s, std::ostream* os) { *os << s.label; }

const SweepSite kSites[] = {
    {"kmalloc", Site::Kmalloc, nullptr},
    {"vmalloc", Site::Vmalloc, nullptr},
    {"alloc_page", Site::AllocPage, nullptr},
    {"kmem_cache_create", Site::SlabCreate, nullptr},
    {"slab_tavHT", Site::SlabAlloc, "tavHT"},
    {"slab_tavCP", Site::SlabAlloc, "tavCP"},
    {"slab_tavDC", Site::SlabAlloc, "tavDC"},
    {"bio_alloc", Site::BioAlloc, nullptr},
    {"alloc_buffer_head", Site::AllocBufferHead, nullptr},
    {"kernel_thread", Site::KernelThread, nullptr},
    {"copy_from_user", Site::CopyFromUser, nullptr},
    {"copy_to_user", Site::CopyToUser, nullptr},
    {"freeze_bdev", Site::Freeze, nullptr},
    {"disk_read", Site::DiskRead, nullptr},
    {"disk_write", Site::DiskWrite, nullptr},
};

tav::fault::Rule ruleFor(const SweepSite& s, std::uint64_t nth, long times) {
    tav::fault::Rule r = tav::fault::failNth(s.site, nth);
    r.times = times;
    if (s.name) r.name = s.name;
    return r;
}

// Which n to fail: all of 1..calls, or cap of them spread evenly over that range.
std::vector<std::uint64_t> sampleOf(long calls, long cap) {
    std::vector<std::uint64_t> out;
    if (calls <= cap) {
        for (long n = 1; n <= calls; n++) out.push_back(static_cast<std::uint64_t>(n));
    } else {
        for (long i = 0; i < cap; i++) out.push_back(static_cast<std::uint64_t>(1 + i * (calls - 1) / (cap - 1)));
    }
    return out;
}

long capPerSite() {
    if (const char* e = std::getenv("TAV_SWEEP_CAP")) return std::max(2L, std::atol(e));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return 12;
#else
    return 200;
#endif
}

class FaultSweep : public ::testing::TestWithParam<SweepSite> {};

TEST_P(FaultSweep, EveryNthCallFailsCleanlyOrTheBackupIsExact) {
    const SweepSite& s = GetParam();
    Watchdog watchdog;

    // A clean run counts the site's calls (a times = 0 rule counts without failing).
    int counter = 0;
    long calls = 0;
    watchdog.arm(std::string(s.label) + " clean run");
    RunReport clean = runScenario([&] { counter = tav::fault::add(ruleFor(s, 1, 0)); },
                                  [&] {
                                      calls = tav::fault::matched(counter);
                                      return true;
                                  });
    ASSERT_TRUE(clean.outcome != Outcome::Violation) << clean.violation;
    ASSERT_EQ(clean.outcome, Outcome::Exact) << clean.detail;
    ASSERT_GT(calls, 0) << "the scenario never reaches " << s.label;

    long counts[static_cast<int>(Outcome::Count)] = {};
    const bool verbose = std::getenv("TAV_SWEEP_VERBOSE") != nullptr;
    std::vector<std::uint64_t> ns = sampleOf(calls, capPerSite());
    for (std::uint64_t n : ns) {
        watchdog.arm(std::string(s.label) + " n=" + std::to_string(n));
        RunReport rep = runScenario([&] { tav::fault::add(ruleFor(s, n, 1)); },
                                    [&] { return tav::fault::fired(s.site) > 0; });
        counts[static_cast<int>(rep.outcome)]++;
        if (verbose) printf("%s n=%llu: %s; %s\n", s.label, static_cast<unsigned long long>(n), kOutcomeNames[static_cast<int>(rep.outcome)], rep.detail.c_str());
        EXPECT_TRUE(rep.outcome != Outcome::Violation) << s.label << " n=" << n << ": " << rep.violation << " (" << rep.detail << ")";
    }
    watchdog.arm("");

    std::string summary = std::string("fault sweep ") + s.label + ": " + std::to_string(calls) + " calls in a clean run, " +
                          std::to_string(ns.size()) + " (site, n) pairs run";
    for (int o = 0; o < static_cast<int>(Outcome::Count); o++)
        if (counts[o]) summary += std::string("; ") + kOutcomeNames[o] + " " + std::to_string(counts[o]);
    printf("%s\n", summary.c_str());
    const char* dir = std::getenv("TAV_SWEEP_REPORT_DIR");
    std::string d = dir ? dir : "fault-sweep";
    mkdir(d.c_str(), 0755);
    std::ofstream(d + "/" + s.label + ".txt") << summary << "\n";
}

INSTANTIATE_TEST_SUITE_P(Sites, FaultSweep, ::testing::ValuesIn(kSites), [](const auto& info) {
    return std::string(info.param.label);
});

}  // namespace
