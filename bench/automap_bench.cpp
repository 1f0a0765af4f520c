// What change tracking costs on the largest device the block maps address: a sparse
// 16 TiB RAM disk with 4096-byte blocks, 2^32 - 8 of them in the backup (the most a map
// holds).
//
//   automap_bytes_per_tib   memory the automap left by a backup holds (pages, the page
//                           array, the session), per TiB of device; ideal 32 MiB  <= 34 MiB
//   blockmap_build_ms_16tib time of a LoadBlockMap that builds and fills the backup
//                           block map from a 512 MiB user bitmap, ms
//
// Each round runs a backup through the system-call seam (StartBackup, SnapShot, close)
// and measures what the automap it leaves behind adds to the platform's pages and the
// heap; TAV_UNLOAD then drops the automap and everything must come back. A second series
// of backups (no automap) times LoadBlockMap alone.
//
// Usage: automap_bench [--rounds N] [bench.json] [image]   (the image is not used)
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/harness.h"
#include "kernel/accounting.h"
#include "kernel/mm.h"
#include "kernel/printk.h"
#include "tav/blockio.h"
#include "tav/modules.h"
#include "tav/sys.h"
#include "tavagent/session.h"

namespace {

constexpr unsigned kBlockSize = 4096;
constexpr std::uint64_t kTiB = 1ull << 40, kDeviceBytes = 16 * kTiB;
constexpr unsigned kMapBlocks = 0xFFFFFFF8u;  // 2^32 - 8
constexpr double kBytesTarget = 34.0 * (1 << 20), kBuildTarget = 1000;

using bench::Clock;
using bench::seconds;

[[noreturn]] void die(const std::string& what) { bench::die("automap_bench", what); }

// Bytes the platform's page allocator and the process heap hold now.
long long heldBytes() {
    struct mallinfo2 mi = mallinfo2();
    return tav::kernel::live().pages.load() * static_cast<long long>(PAGE_SIZE) +
           static_cast<long long>(mi.uordblks + mi.hblkhd);
}

void dropAutomaps() {
    int fd = tav::sys::open(TAV_DEVICE_PATH, O_RDWR);
    if (fd < 0) die("open for unload: " + std::to_string(fd));
    if (int rc = tav::sys::ioctl(fd, TAV_UNLOAD, 0UL)) die("TAV_UNLOAD: " + std::to_string(rc));
    tav::sys::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    if (!bench::kernelLogWanted()) tav::kernel::setLogSink(nullptr);
    auto opt = bench::parseArgs(argc, argv, "");
    if (!opt) return 64;

    tav::DiskConfig cfg;
    cfg.backing = tav::Backing::Ram;  // reserved lazily: 16 TiB cost nothing until written
    cfg.sectors = kDeviceBytes / 512;
    cfg.minors = 1;
    int err = 0;
    auto disk = tav::Disk::create(cfg, &err);
    if (!disk) die("disk: " + std::to_string(err));
    auto mount = tav::Mount::create(disk->bdev(0), {kBlockSize, 16, 0}, &err);
    if (!mount) die("mount: " + std::to_string(err));
    if (tav::loadLinkedModule() != 0) die("module load");
    unsigned major = MAJOR(disk->dev(0)), minor = MINOR(disk->dev(0));

    std::vector<double> perTiB, buildMs;
    std::vector<std::uint8_t> all((static_cast<std::size_t>(kMapBlocks) + 7) / 8, 0xff);
    try {
        // Round 0 is a warm-up, not counted: the platform's page descriptors and the heap
        // grow to hold the first maps and keep that memory for the rounds that follow.
        for (int r = 0; r <= opt->rounds; r++) {
            long long before = heldBytes();
            {
                tav::agent::Session s;
                s.start(major, minor, kMapBlocks, 16);
                AMSessionKey key{};
                if (s.snapshot(key) != BACKUP_SNAPSHOT_DONE) die("the snapshot was refused");
                if (s.autoMapState().state != AMS_IN_SYNC) die("the snapshot left no recording automap");
            }
            long long held = heldBytes() - before;
            dropAutomaps();
            long long after = heldBytes() - before;
            if (r > 0 && after > 64 * 1024) die("dropping the automap left " + std::to_string(after) + " bytes behind");
            if (r > 0) perTiB.push_back(static_cast<double>(held) / static_cast<double>(kDeviceBytes / kTiB));

            tav::agent::Session s;
            s.noStartAutoMap();
            s.start(major, minor, kMapBlocks, 16);
            AMSessionKey key{};
            if (s.snapshot(key) != BACKUP_SNAPSHOT_DONE) die("the snapshot was refused");
            auto t0 = Clock::now();
            s.loadBlockMap(all, kMapBlocks);
            if (r > 0) buildMs.push_back(seconds(t0) * 1e3);
            if (s.state().state != BACKUP_MAP_LOADED) die("LoadBlockMap left the backup unloaded");
        }
    } catch (const tav::agent::AgentError& e) {
        die(e.what());
    }
    bench::Report report("automap_bench", opt->json);
    report.add({"automap_bytes_per_tib", kBytesTarget, bench::Better::Lower, perTiB});
    report.add({"blockmap_build_ms_16tib", kBuildTarget, bench::Better::Lower, buildMs});
    std::fprintf(stderr, "automap_bench: %.2f MiB per TiB (ideal %.2f: one bit per block and the page array)\n",
                 bench::median(perTiB) / (1 << 20),
                 (static_cast<double>(kMapBlocks) / 8 + (kMapBlocks / 8 / 4096 + 1) * 8.0) / 16 / (1 << 20));
    tav::sys::exitProcess();
    tav::unloadModule();
    mount.reset();
    disk.reset();
    report.writeJson();
    return report.exitCode();
}
