// The cost of the write hooks on a file disk, each measured in interleaved pairs:
//
//   cow_first_write_vs_plain  4 KiB writes of blocks the backup still has to preserve
//                             (each needs a copy first), against the same writes with no
//                             backup on the device                         target >= 0.5
//   cow_rewrite_vs_plain      rewrites of blocks already preserved (tavMRF passes them
//                             straight on), against the same rewrites once the backup is
//                             closed                                        >= 0.95
//   automap_write_vs_plain    writes with an in-sync automap recording them, against
//                             writes with none                              >= 0.97
//   frozen_ms_idle            each round's snapshot eTimeFrozen on an idle file system  <= 1 ms
//   frozen_ms_busy            the same while writers keep the file system busy          <= 10 ms
//
// Writes are the file system's direct writes, one 4 KiB bio at a time at random blocks,
// each waited for. Every round starts its own backup (StartBackup, SnapShot through the
// system-call seam) and closes it; the image is checked resident in the page cache
// before each side, since a copy-on-write reads the old block first.
//
// Usage: cow_bench [--rounds N] [bench.json] [image]   (an image of the right size is reused)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "2.6/tavlib.h"
#include "bench/harness.h"
#include "kernel/fs.h"
#include "kernel/printk.h"
#include "tav/blockio.h"
#include "tav/modules.h"
#include "tav/sys.h"

namespace {

// Tens of milliseconds a side at a few microseconds a write.
constexpr unsigned kBlockSize = 4096, kWritesPerRound = 6000;
using bench::Clock;
using bench::seconds;

[[noreturn]] void die(const std::string& what) { bench::die("cow_bench", what); }

struct Bench {
    std::unique_ptr<tav::Disk> disk;
    std::unique_ptr<tav::Mount> mount;
    std::vector<unsigned> order;  // a random permutation of the blocks
    size_t next = 0;
    std::vector<std::uint8_t> data = std::vector<std::uint8_t>(kBlockSize, 0x5a);

    // n distinct blocks, the next ones of a random permutation (starting over at its end).
    std::vector<unsigned> someBlocks(unsigned n) {
        if (n > order.size()) die("image too small");
        if (next + n > order.size()) next = 0;
        std::vector<unsigned> v(order.begin() + static_cast<long>(next), order.begin() + static_cast<long>(next + n));
        next += n;
        return v;
    }
    double writeAll(const std::vector<unsigned>& blocks) {
        auto t0 = Clock::now();
        for (unsigned blk : blocks) {
            data[0] = static_cast<std::uint8_t>(blk);
            if (mount->writeDirect(blk, data.data(), 1)) die("write failed");
        }
        return seconds(t0);
    }
    unsigned major() const { return MAJOR(disk->dev(0)); }
    unsigned minor() const { return MINOR(disk->dev(0)); }
};

// Read-only look at the record behind a descriptor (the seam has no statistics call).
const Backup* recordOf(int fd) {
    struct file* f = fget(static_cast<unsigned>(fd));
    const Backup* b = static_cast<const Backup*>(f->private_data);
    fput(f);
    return b;
}

double frozenMs(const Backup* b) { return b->eTimeFrozen.tv_sec * 1e3 + b->eTimeFrozen.tv_nsec / 1e6; }

// A backup through its snapshot; returns the descriptor.
int startAndSnap(Bench& bench, unsigned numBlocks, bool automap) {
    int fd = tav::sys::open(TAV_DEVICE_PATH, O_RDWR);
    if (fd < 0) die("open");
    if (!automap && tav::sys::ioctl(fd, TAV_NO_START_AUTOMAP, 0UL)) die("NoStartAutoMap");
    StartBackup sb{bench.major(), bench.minor(), numBlocks, numBlocks};
    if (int rc = tav::sys::ioctl(fd, TAV_START_BACKUP, &sb)) die("StartBackup " + std::to_string(rc));
    AMSessionKey key{};
    SnapShot ss{&key, 0};
    if (int rc = tav::sys::ioctl(fd, TAV_SNAPSHOT, &ss)) die("SnapShot " + std::to_string(rc));
    if (recordOf(fd)->state != BACKUP_SNAPSHOT_DONE) die("the snapshot did not take");
    return fd;
}

void dropAutomaps() {
    int fd = tav::sys::open(TAV_DEVICE_PATH, O_RDWR);
    tav::sys::ioctl(fd, TAV_UNLOAD, 0UL);  // drops the automap and its hook
    tav::sys::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    if (!bench::kernelLogWanted()) tav::kernel::setLogSink(nullptr);
    auto opt = bench::parseArgs(argc, argv, "cow-bench.img");
    if (!opt) return 64;
    std::uint64_t bytes = bench::envMiB("TAV_BENCH_MB", 128) << 20;
    if (std::string e = bench::makeImage(opt->image, bytes); !e.empty()) die(e);

    Bench bench;
    tav::DiskConfig cfg;
    cfg.backing = tav::Backing::File;
    cfg.path = opt->image;
    cfg.minors = 1;
    int err = 0;
    bench.disk = tav::Disk::create(cfg, &err);
    if (!bench.disk) die("disk: " + std::to_string(err));
    bench.mount = tav::Mount::create(bench.disk->bdev(0), {kBlockSize, 256, 5}, &err);
    if (!bench.mount) die("mount: " + std::to_string(err));
    unsigned numBlocks = static_cast<unsigned>(bytes / kBlockSize);
    bench.order.resize(numBlocks);
    for (unsigned i = 0; i < numBlocks; i++) bench.order[i] = i;
    std::shuffle(bench.order.begin(), bench.order.end(), std::mt19937(7));
    make_request_fn* own = bench.disk->queue()->make_request_fn;

    if (tav::loadLinkedModule() != 0) die("module load");
    bench.writeAll(bench.someBlocks(500));  // warm up the disk and the fs
    bench::CacheGuard cache{opt->image, "cow_bench", bench::Layout::Pages};
    if (!cache.settle()) die("the image does not fit in the page cache");
    auto warm = [&](bool) {
        if (!cache.ensureWarm()) die("the image does not stay in the page cache");
    };
    // The first round of each kind also grows the module's caches and the allocator's
    // arenas: it runs once more up front and is not counted.
    auto counted = [](std::vector<bench::Pair> pairs) {
        pairs.erase(pairs.begin());
        return pairs;
    };

    // Copy-on-write: writes with no backup, then the same count of first writes under a
    // fresh backup; then rewrites of those blocks under it, and once it is closed.
    std::vector<double> idle;
    std::vector<bench::Pair> rewrites;
    std::vector<unsigned> blocks;
    int fd = -1;
    auto firsts = counted(bench::runPaired(
        opt->rounds + 1, [&] { return bench.writeAll(bench.someBlocks(kWritesPerRound)); },
        [&] {
            fd = startAndSnap(bench, numBlocks, false);
            idle.push_back(frozenMs(recordOf(fd)));
            blocks = bench.someBlocks(kWritesPerRound);
            double first = bench.writeAll(blocks);
            double rewrite = bench.writeAll(blocks);
            const Backup* b = recordOf(fd);
            if (b->state != BACKUP_SNAPSHOT_DONE) die("the backup failed: state " + std::to_string(b->state));
            // The thaw's super block write is copied too, so count ours by the cache map.
            auto* cached = const_cast<BlockMap*>(&b->cacheMap);
            if (!std::all_of(blocks.begin(), blocks.end(), [&](unsigned blk) { return blockInMap(cached, blk) != 0; }))
                die("not every first write was copied");
            tav::sys::close(fd);
            if (bench.disk->queue()->make_request_fn != own) die("the hook stayed after close");
            rewrites.push_back({bench.writeAll(blocks), rewrite});
            return first;
        },
        warm));
    idle.erase(idle.begin());
    rewrites.erase(rewrites.begin());

    // The automap hook: a backup whose close leaves its in-sync automap recording.
    auto automap = counted(bench::runPaired(
        opt->rounds + 1, [&] { return bench.writeAll(bench.someBlocks(kWritesPerRound)); },
        [&] {
            fd = startAndSnap(bench, numBlocks, true);
            tav::sys::close(fd);
            if (bench.disk->queue()->make_request_fn != &tavAMRF) die("no automap hook after close");
            double t = bench.writeAll(bench.someBlocks(kWritesPerRound));
            int sessions = 0;
            for (auto& row : amList)
                for (AutoMapSession* s : row) sessions += s && amsState(s) == AMS_IN_SYNC;
            if (sessions != 1) die("the automap fell out of sync");
            dropAutomaps();
            return t;
        },
        warm));

    // Frozen time with writers keeping the write-back cache dirty.
    std::vector<double> busy;
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; t++)
        writers.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t));
            std::vector<std::uint8_t> d(kBlockSize, static_cast<std::uint8_t>(t));
            while (!stop) {
                unsigned blk = static_cast<unsigned>(rng() % numBlocks);
                int rc = t == 0 ? bench.mount->write(blk, d.data(), 1) : bench.mount->writeDirect(blk, d.data(), 1);
                if (rc) die(std::string(t == 0 ? "a cached" : "a direct") + " write while busy failed: " + std::to_string(rc));
            }
        });
    for (int i = 0; i < opt->rounds; i++) {
        usleep(20000);  // let the write-back cache fill between snapshots
        fd = startAndSnap(bench, numBlocks, false);
        busy.push_back(frozenMs(recordOf(fd)));
        tav::sys::close(fd);
    }
    stop = true;
    for (auto& t : writers) t.join();

    auto us = [](const std::vector<double>& v) { return bench::median(v) / kWritesPerRound * 1e6; };
    std::fprintf(stderr,
                 "cow_bench: %u writes/round, file disk %s, medians: plain %.1f us, first write %.1f us, rewrite "
                 "%.1f us (plain %.1f us), automap %.1f us (plain %.1f us); image re-warmed %d times\n",
                 kWritesPerRound, bench.disk->usesUring() ? "io_uring" : "pread", us(bench::baselines(firsts)),
                 us(bench::subjects(firsts)), us(bench::subjects(rewrites)), us(bench::baselines(rewrites)),
                 us(bench::subjects(automap)), us(bench::baselines(automap)), cache.rewarmed);
    std::fprintf(stderr, "cow_bench: seconds per round of first writes: plain %s; hooked %s\n",
                 bench::formatValues(bench::baselines(firsts)).c_str(),
                 bench::formatValues(bench::subjects(firsts)).c_str());

    bench::Report report("cow_bench", opt->json);
    report.add(
        {"cow_first_write_vs_plain", 0.5, bench::Better::Higher, bench::speedRatios(firsts), bench::kInMemoryLimit});
    report.add(
        {"cow_rewrite_vs_plain", 0.95, bench::Better::Higher, bench::speedRatios(rewrites), bench::kInMemoryLimit});
    report.add(
        {"automap_write_vs_plain", 0.97, bench::Better::Higher, bench::speedRatios(automap), bench::kInMemoryLimit});
    report.add({"frozen_ms_idle", 1, bench::Better::Lower, idle});
    report.add({"frozen_ms_busy", 10, bench::Better::Lower, busy});

    tav::sys::exitProcess();
    tav::unloadModule();
    bench.mount.reset();
    bench.disk.reset();
    report.writeJson();
    return report.exitCode();
}
