// The daemon's socket against the in-process seam, in one run on one image.
//
// daemon_readblocks_vs_inprocess: a full-device read in 256-block ReadBlocks batches into
// a mapped transfer buffer, once through tav::sys in this process and once through a
// tavguardd server (on a thread of this process, the client on the socket), in paired
// rounds with the image kept warm; ratio = in-process time / daemon time. The client
// reads the module's pages in place, so only the request crosses the socket.
// daemon_ioctl_roundtrip_us: per round, the median round trip of 2000 GetState ioctls
// over the socket.
//
// Usage: daemon_bench [--rounds N] [bench.json] [image]   (256 MiB; TAV_BENCH_MB overrides)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "2.6/tavguard.h"
#include "bench/harness.h"
#include "host/daemon.h"
#include "kernel/printk.h"
#include "tav/client.h"
#include "tav/machine.h"

namespace {

constexpr unsigned kBlockSize = 4096, kBatch = 256;
constexpr double kRatioTarget = 0.9, kRoundTripTarget = 30;

using bench::Clock;
using bench::seconds;

[[noreturn]] void die(const std::string& what) { bench::die("daemon_bench", what); }

// One backup's full read, through whichever seam b is (null: tav::sys); the set-up is
// not timed.
double fullRead(tav::sys::Backend* b, unsigned major, unsigned minor, unsigned blocks) {
    auto open = [&](const char* p) { return b ? b->open(p, O_RDWR) : tav::sys::open(p, O_RDWR); };
    auto ioctl = [&](int fd, unsigned cmd, void* arg) {
        auto a = reinterpret_cast<unsigned long>(arg);
        return b ? b->ioctl(fd, cmd, a) : tav::sys::ioctl(fd, cmd, a);
    };
    int fd = open(TAV_DEVICE_PATH);
    if (fd < 0) die("open " + std::to_string(fd));
    StartBackup sb = {major, minor, blocks, 1024};
    AMSessionKey key{};
    SnapShot ss = {&key, sizeof key};
    std::vector<unsigned char> all((blocks + 7) / 8, 0xFF);
    UserBlockMap ubm = {all.data(), blocks};
    LoadBlockMap lbm = {&ubm, sizeof ubm};
    if (int rc = ioctl(fd, TAV_START_BACKUP, &sb)) die("StartBackup " + std::to_string(rc));
    if (int rc = ioctl(fd, TAV_NO_LOAD_FROM_AUTOMAP, nullptr)) die("NoLoadFromAutoMap " + std::to_string(rc));
    if (int rc = ioctl(fd, TAV_SNAPSHOT, &ss)) die("SnapShot " + std::to_string(rc));
    if (int rc = ioctl(fd, TAV_LOAD_BLOCK_MAP, &lbm)) die("LoadBlockMap " + std::to_string(rc));
    int err = 0;
    size_t len = kBatch * kBlockSize;
    void* area = b ? b->mmap(fd, len, PROT_READ, MAP_PRIVATE, 0, &err) : tav::sys::mmap(fd, len, PROT_READ, MAP_PRIVATE, 0, &err);
    if (area == MAP_FAILED) die("mmap " + std::to_string(err));
    double elapsed = 0;
    {
        auto t0 = Clock::now();
        for (unsigned start = 0; start < blocks; start += kBatch) {
            ReadBlocks r{start, std::min(kBatch, blocks - start), area};
            if (int rc = ioctl(fd, TAV_READ_BLOCKS, &r)) die("ReadBlocks " + std::to_string(rc));
            // The agent reads what arrived: one word per block.
            std::uint64_t sink = 0;
            for (unsigned i = 0; i < r.numBlocks; i++) sink += static_cast<const volatile std::uint64_t*>(area)[i * kBlockSize / 8];
            asm volatile("" : : "r"(sink));
        }
        elapsed = seconds(t0);
    }
    if (b) {
        b->munmap(area, len);
        b->close(fd);
    } else {
        tav::sys::munmap(area, len);
        tav::sys::close(fd);
    }
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    if (!bench::kernelLogWanted()) tav::kernel::setLogSink(nullptr);
    auto opt = bench::parseArgs(argc, argv, "daemon-bench.img");
    if (!opt) return 2;
    std::uint64_t mb = bench::envMiB("TAV_BENCH_MB", 256);
    const std::string& image = opt->image;
    if (std::string e = bench::makeImage(image, mb << 20); !e.empty()) die(e);

    tav::Machine machine;
    if (machine.loadModule()) die("module load");
    tav::DiskConfig cfg;
    cfg.backing = tav::Backing::File;
    cfg.path = image;
    cfg.minors = 1;
    int err = 0;
    tav::Disk* disk = machine.addDisk(cfg, &err);
    if (!disk || !machine.mount(disk, 0, {kBlockSize, 16, 0}, &err)) die("disk or mount: " + std::to_string(err));

    std::string sock = (std::filesystem::temp_directory_path() / ("daemon-bench-" + std::to_string(getpid()) + ".sock")).string();
    tav::host::Server server;
    std::string msg;
    if (server.listen(sock, &msg)) die(msg);
    std::thread serving([&] { server.serve(); });
    auto conn = tav::client::Connection::connect(sock, &err);
    if (!conn) die("connect " + std::to_string(err));

    unsigned blocks = static_cast<unsigned>((mb << 20) / kBlockSize);
    bench::Report report("daemon_bench", opt->json);
    bench::CacheGuard cache{image, "daemon_bench"};
    if (!cache.settle()) die("the image does not fit in the page cache");
    fullRead(nullptr, 8, 0, blocks);  // warms the page cache and the arena
    auto warm = [&](bool) {
        if (!cache.ensureWarm()) die("the image does not stay in the page cache: not enough memory");
    };
    auto pairs = bench::runPaired(
        opt->rounds, [&] { return fullRead(nullptr, 8, 0, blocks); }, [&] { return fullRead(conn.get(), 8, 0, blocks); },
        warm);

    int fd = conn->open(TAV_DEVICE_PATH, O_RDWR);
    State st = {};
    GetState gs = {&st, sizeof st};
    std::vector<double> roundTrips;
    for (int round = 0; round < opt->rounds; round++) {
        std::vector<double> us;
        for (int i = 0; i < 2000; i++) {
            auto t0 = Clock::now();
            if (conn->ioctl(fd, TAV_GET_STATE, reinterpret_cast<unsigned long>(&gs))) die("GetState");
            us.push_back(seconds(t0) * 1e6);
        }
        roundTrips.push_back(bench::median(us));
    }
    conn->close(fd);
    conn.reset();
    server.stop();
    serving.join();
    machine.shutdown();

    double inProcess = bench::median(bench::baselines(pairs)), daemon = bench::median(bench::subjects(pairs));
    std::fprintf(stderr, "daemon_bench: %llu MiB, medians: in-process %.0f MiB/s, daemon %.0f MiB/s; image re-warmed %d times\n",
                 static_cast<unsigned long long>(mb), static_cast<double>(mb) / inProcess,
                 static_cast<double>(mb) / daemon, cache.rewarmed);
    // The daemon does the in-process work and more: it cannot beat it by more than noise.
    report.add({"daemon_readblocks_vs_inprocess", kRatioTarget, bench::Better::Higher, bench::speedRatios(pairs),
                bench::kInMemoryLimit});
    report.add({"daemon_ioctl_roundtrip_us", kRoundTripTarget, bench::Better::Lower, roundTrips});
    report.writeJson();
    return report.exitCode();
}
