// The daemon's socket against the in-process seam, in one run on one image.
//
// daemon_readblocks_vs_inprocess: a full-device read in 256-block ReadBlocks batches into
// a mapped transfer buffer, once through tav::sys in this process and once through a
// tavguardd server (on a thread of this process, the client on the socket); best of each
// over five alternating rounds; ratio = in-process time / daemon time. The client reads the module's pages in
// place, so only the request crosses the socket.
// daemon_ioctl_roundtrip_us: median round trip of a GetState ioctl over the socket.
//
// Usage: daemon_bench [bench.json] [image]   (256 MiB; TAV_BENCH_MB overrides)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "2.6/tavguard.h"
#include "bench/bench_util.h"
#include "host/daemon.h"
#include "kernel/printk.h"
#include "tav/client.h"
#include "tav/machine.h"

namespace {

constexpr unsigned kBlockSize = 4096, kBatch = 256;
constexpr double kRatioTarget = 0.9, kRoundTripTarget = 30;

using bench::Clock;
using bench::seconds;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "daemon_bench: %s\n", what.c_str());
    std::exit(1);
}

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
    double best = 1e9;
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
        best = std::min(best, seconds(t0));
    }
    if (b) {
        b->munmap(area, len);
        b->close(fd);
    } else {
        tav::sys::munmap(area, len);
        tav::sys::close(fd);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    tav::kernel::setLogSink(nullptr);
    std::uint64_t mb = std::getenv("TAV_BENCH_MB") ? std::strtoull(std::getenv("TAV_BENCH_MB"), nullptr, 10) : 256;
    std::string json = argc > 1 ? argv[1] : "bench.json";
    std::string image = argc > 2 ? argv[2] : "daemon-bench.img";
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
    fullRead(nullptr, 8, 0, blocks);  // warms the page cache
    // Rounds alternate, so a busy moment of the machine hits both sides alike.
    double inProcess = 1e9, daemon = 1e9;
    for (int round = 0; round < 5; round++) {
        inProcess = std::min(inProcess, fullRead(nullptr, 8, 0, blocks));
        daemon = std::min(daemon, fullRead(conn.get(), 8, 0, blocks));
    }

    int fd = conn->open(TAV_DEVICE_PATH, O_RDWR);
    State st = {};
    GetState gs = {&st, sizeof st};
    std::vector<double> us;
    for (int i = 0; i < 20000; i++) {
        auto t0 = Clock::now();
        if (conn->ioctl(fd, TAV_GET_STATE, reinterpret_cast<unsigned long>(&gs))) die("GetState");
        us.push_back(seconds(t0) * 1e6);
    }
    std::nth_element(us.begin(), us.begin() + us.size() / 2, us.end());
    double median = us[us.size() / 2];
    conn->close(fd);
    conn.reset();
    server.stop();
    serving.join();
    machine.shutdown();

    double ratio = inProcess / daemon;
    std::fprintf(stderr, "daemon_bench: %llu MiB, in-process %.0f MiB/s, daemon %.0f MiB/s\n",
                 static_cast<unsigned long long>(mb), static_cast<double>(mb) / inProcess,
                 static_cast<double>(mb) / daemon);
    std::printf("bench daemon_readblocks_vs_inprocess %.3f target %.1f\n", ratio, kRatioTarget);
    std::printf("bench daemon_ioctl_roundtrip_us %.1f target %.0f\n", median, kRoundTripTarget);
    bench::mergeJson(json, {{"daemon_readblocks_vs_inprocess", {ratio, kRatioTarget}},
                            {"daemon_ioctl_roundtrip_us", {median, kRoundTripTarget}}});
    return 0;
}
