// The cost of the write hooks on a file disk, each measured side by side in one run:
//
//   cow_first_write_vs_plain  4 KiB writes of blocks the backup still has to preserve
//                             (each needs a copy first), against the same writes with
//                             the queue's own function                     target >= 0.4
//   cow_rewrite_vs_plain      rewrites of blocks already preserved (tavMRF passes them
//                             straight on), against the queue's own function  >= 0.9
//   automap_write_vs_plain    writes through tavAMRF with an in-sync automap, against
//                             the queue's own function                     >= 0.95
//   frozen_ms_idle            the snapshot's eTimeFrozen on an idle file system, ms  <= 1
//   frozen_ms_busy            the same while writers keep the file system busy   <= 20
//
// Writes are the file system's direct writes, one 4 KiB bio at a time at random blocks,
// each waited for. A backup's hook and the queue's own function take turns on the same
// queue (the bench swaps the queue's make_request_fn), three rounds each; the best round
// of each side gives the ratio (plain time / hooked time). Frozen times are medians.
//
// Usage: cow_bench [bench.json] [image]   (an image of the right size is reused)
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
#include "bench/bench_util.h"
#include "kernel/fs.h"
#include "kernel/printk.h"
#include "tav/blockio.h"
#include "tav/modules.h"
#include "tav/sys.h"

namespace {

constexpr unsigned kBlockSize = 4096, kWritesPerRound = 1500, kRounds = 3;
using bench::Clock;
using bench::seconds;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "cow_bench: %s\n", what.c_str());
    std::exit(1);
}

struct Bench {
    std::unique_ptr<tav::Disk> disk;
    std::unique_ptr<tav::Mount> mount;
    std::vector<unsigned> order;  // a random permutation of the blocks, consumed in turn
    size_t next = 0;
    std::vector<std::uint8_t> data = std::vector<std::uint8_t>(kBlockSize, 0x5a);

    std::vector<unsigned> freshBlocks(unsigned n) {
        if (next + n > order.size()) die("image too small for the rounds");
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
    void setFn(make_request_fn* fn) { disk->queue()->make_request_fn = fn; }
};

Backup* recordOf(int fd) {
    struct file* f = fget(static_cast<unsigned>(fd));
    Backup* b = static_cast<Backup*>(f->private_data);
    fput(f);
    return b;
}

double frozenMs(Backup* b) { return b->eTimeFrozen.tv_sec * 1e3 + b->eTimeFrozen.tv_nsec / 1e6; }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A backup through its snapshot; returns the descriptor.
int startAndSnap(Bench& bench, unsigned numBlocks) {
    int fd = tav::sys::open(TAV_DEVICE_PATH, O_RDWR);
    if (fd < 0) die("open");
    if (tav::sys::ioctl(fd, TAV_NO_START_AUTOMAP, 0UL)) die("NoStartAutoMap");
    StartBackup sb{MAJOR(bench.disk->dev(0)), MINOR(bench.disk->dev(0)), numBlocks, numBlocks};
    if (int rc = tav::sys::ioctl(fd, TAV_START_BACKUP, &sb)) die("StartBackup " + std::to_string(rc));
    AMSessionKey key{};
    SnapShot ss{&key, 0};
    if (int rc = tav::sys::ioctl(fd, TAV_SNAPSHOT, &ss)) die("SnapShot " + std::to_string(rc));
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    tav::kernel::setLogSink(nullptr);
    std::uint64_t mb = std::getenv("TAV_BENCH_MB") ? std::strtoull(std::getenv("TAV_BENCH_MB"), nullptr, 10) : 128;
    std::uint64_t bytes = mb << 20;
    std::string json = argc > 1 ? argv[1] : "bench.json";
    std::string image = argc > 2 ? argv[2] : "cow-bench.img";
    if (std::string e = bench::makeImage(image, bytes); !e.empty()) die(e);

    Bench bench;
    tav::DiskConfig cfg;
    cfg.backing = tav::Backing::File;
    cfg.path = image;
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
    bench.writeAll(bench.freshBlocks(500));  // warm up the disk and the fs

    // Copy-on-write: the backup's hook and the queue's own function take turns.
    int fd = startAndSnap(bench, numBlocks);
    Backup* b = recordOf(fd);
    double plain = 1e9, first = 1e9, rewrite = 1e9, plainRewrite = 1e9;
    for (unsigned r = 0; r < kRounds; r++) {
        bench.setFn(own);
        plain = std::min(plain, bench.writeAll(bench.freshBlocks(kWritesPerRound)));
        bench.setFn(tavMRF);
        std::vector<unsigned> blocks = bench.freshBlocks(kWritesPerRound);
        first = std::min(first, bench.writeAll(blocks));
        rewrite = std::min(rewrite, bench.writeAll(blocks));
        bench.setFn(own);
        plainRewrite = std::min(plainRewrite, bench.writeAll(blocks));
        bench.setFn(tavMRF);
    }
    if (b->state != BACKUP_SNAPSHOT_DONE) die("the backup failed: state " + std::to_string(b->state));
    if (atomic_read(&b->totalCBs) != static_cast<int>(kRounds * kWritesPerRound)) die("not every first write was copied");
    tav::sys::close(fd);

    // The automap hook: a backup whose close leaves its in-sync automap recording.
    fd = tav::sys::open(TAV_DEVICE_PATH, O_RDWR);
    StartBackup sb{MAJOR(bench.disk->dev(0)), MINOR(bench.disk->dev(0)), numBlocks, 16};
    AMSessionKey key{};
    SnapShot ss{&key, 0};
    if (tav::sys::ioctl(fd, TAV_START_BACKUP, &sb) || tav::sys::ioctl(fd, TAV_SNAPSHOT, &ss)) die("automap backup");
    tav::sys::close(fd);
    if (bench.disk->queue()->make_request_fn != &tavAMRF) die("no automap hook after close");
    double amPlain = 1e9, am = 1e9;
    for (unsigned r = 0; r < kRounds; r++) {
        bench.setFn(own);
        amPlain = std::min(amPlain, bench.writeAll(bench.freshBlocks(kWritesPerRound)));
        bench.setFn(tavAMRF);
        am = std::min(am, bench.writeAll(bench.freshBlocks(kWritesPerRound)));
    }
    int sessions = 0;
    for (auto& row : amList)
        for (AutoMapSession* s : row) sessions += s && amsState(s) == AMS_IN_SYNC;
    if (sessions != 1) die("the automap fell out of sync");
    fd = tav::sys::open(TAV_DEVICE_PATH, O_RDWR);
    tav::sys::ioctl(fd, TAV_UNLOAD, 0UL);  // drops the automap and its hook
    tav::sys::close(fd);

    // Frozen time: idle, then with writers keeping the write-back cache dirty.
    std::vector<double> idle, busy;
    for (int i = 0; i < 5; i++) {
        fd = startAndSnap(bench, numBlocks);
        idle.push_back(frozenMs(recordOf(fd)));
        tav::sys::close(fd);
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; t++)
        writers.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t));
            std::vector<std::uint8_t> d(kBlockSize, static_cast<std::uint8_t>(t));
            while (!stop) {
                unsigned blk = static_cast<unsigned>(rng() % numBlocks);
                int rc = t == 0 ? bench.mount->write(blk, d.data(), 1) : bench.mount->writeDirect(blk, d.data(), 1);
                if (rc) die("busy writer");
            }
        });
    for (int i = 0; i < 5; i++) {
        usleep(20000);  // let the write-back cache fill between snapshots
        fd = startAndSnap(bench, numBlocks);
        busy.push_back(frozenMs(recordOf(fd)));
        tav::sys::close(fd);
    }
    stop = true;
    for (auto& t : writers) t.join();

    double firstRatio = plain / first, rewriteRatio = plainRewrite / rewrite, amRatio = amPlain / am;
    double idleMs = median(idle), busyMs = median(busy);
    std::fprintf(stderr,
                 "cow_bench: %u writes/round, file disk %s: plain %.1f us, first write %.1f us, rewrite %.1f us "
                 "(plain %.1f us), automap %.1f us (plain %.1f us); frozen idle %.3f ms, busy %.3f ms\n",
                 kWritesPerRound, bench.disk->usesUring() ? "io_uring" : "pread", plain / kWritesPerRound * 1e6,
                 first / kWritesPerRound * 1e6, rewrite / kWritesPerRound * 1e6, plainRewrite / kWritesPerRound * 1e6,
                 am / kWritesPerRound * 1e6, amPlain / kWritesPerRound * 1e6, idleMs, busyMs);
    std::printf("bench cow_first_write_vs_plain %.3f target 0.4\n", firstRatio);
    std::printf("bench cow_rewrite_vs_plain %.3f target 0.9\n", rewriteRatio);
    std::printf("bench automap_write_vs_plain %.3f target 0.95\n", amRatio);
    std::printf("bench frozen_ms_idle %.4f target 1\n", idleMs);
    std::printf("bench frozen_ms_busy %.4f target 20\n", busyMs);

    tav::sys::exitProcess();
    tav::unloadModule();
    bench.mount.reset();
    bench.disk.reset();
    bench::mergeJson(json, {{"cow_first_write_vs_plain", {firstRatio, 0.4}},
                            {"cow_rewrite_vs_plain", {rewriteRatio, 0.9}},
                            {"automap_write_vs_plain", {amRatio, 0.95}},
                            {"frozen_ms_idle", {idleMs, 1}},
                            {"frozen_ms_busy", {busyMs, 20}}});
    return 0;
}
