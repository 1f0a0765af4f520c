// ReadBlocks over a file disk against plain sequential pread of the same image, the way an
// agent reads a full backup: StartBackup, mmap, SnapShot, LoadBlockMap of every block,
// then ReadBlocks in full 256-block batches into the mapped transfer buffer.
//
//   readblocks_vs_pread               pread time / ReadBlocks time, both from a warm page
//                                     cache (checked with mincore before each side)  >= 0.75
//   readblocks_overhead_ns_per_block  ReadBlocks time per block when the disk moves no
//                                     data: the reader's own cost per block (each
//                                     round the shortest of 3 passes)                <= 120
//
// A 1 GiB image (TAV_BENCH_MB overrides the size) carries a file system of 4096-byte
// blocks. The baseline reads it with pread in 1 MiB steps (the batch's size) into shared
// memory-file pages, the kind the transfer buffer is made of. Each round
// is a pair: pread pass, then the ReadBlocks pass. The overhead figure's rounds pair a
// pread pass with a ReadBlocks pass on a disk switched to skip the data copy; the pread
// side shows what the copy itself costs per block.
//
// Usage: readblocks_bench [--rounds N] [bench.json] [image]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/harness.h"
#include "kernel/printk.h"
#include "tav/blockio.h"
#include "tav/modules.h"
#include "tav/sys.h"
#include "tavagent/session.h"

namespace {

constexpr unsigned kBlockSize = 4096, kBatch = 256;
constexpr double kRatioTarget = 0.75, kOverheadTarget = 120;
constexpr int kBareRepeats = 3;

using bench::Clock;
using bench::seconds;

[[noreturn]] void die(const std::string& what) { bench::die("readblocks_bench", what); }

double preadPass(const std::string& path, std::uint64_t bytes, bench::SharedBuffer& buf) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) die("cannot open " + path);
    auto t0 = Clock::now();
    for (std::uint64_t off = 0; off < bytes; off += buf.size())
        if (::pread(fd, buf.data(), buf.size(), static_cast<off_t>(off)) != static_cast<ssize_t>(buf.size()))
            die("short pread");
    double s = seconds(t0);
    ::close(fd);
    return s;
}

double readBlocksPass(tav::agent::Session& s, unsigned numBlocks) {
    auto t0 = Clock::now();
    for (unsigned start = 0; start < numBlocks; start += kBatch)
        if (!s.readBlocks(start, kBatch)) die("ReadBlocks met an I/O error");
    return seconds(t0);
}

// Single-block batches spread over the disk, as an incremental backup reads: the fixed
// cost of one ReadBlocks call. Seconds per call.
__attribute__((noinline)) double singleBlockPass(tav::agent::Session& s, unsigned numBlocks, unsigned stride) {
    unsigned calls = 0;
    auto t0 = Clock::now();
    for (unsigned b = stride / 2; b < numBlocks; b += stride, calls++)
        if (!s.readBlocks(b, 1)) die("ReadBlocks met an I/O error");
    return calls ? seconds(t0) / calls : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!bench::kernelLogWanted()) tav::kernel::setLogSink(nullptr);
    auto opt = bench::parseArgs(argc, argv, "readblocks-bench.img");
    if (!opt) return 64;
    std::uint64_t mb = bench::envMiB("TAV_BENCH_MB", 1024);
    std::uint64_t bytes = mb << 20;
    if (std::string e = bench::makeImage(opt->image, bytes); !e.empty()) die(e);
    unsigned numBlocks = static_cast<unsigned>(bytes / kBlockSize);
    if (numBlocks % kBatch) die("TAV_BENCH_MB must be a whole number of batches");

    tav::DiskConfig cfg;
    cfg.backing = tav::Backing::File;
    cfg.path = opt->image;
    cfg.minors = 1;
    int err = 0;
    auto disk = tav::Disk::create(cfg, &err);
    if (!disk) die("disk: " + std::to_string(err));
    auto mount = tav::Mount::create(disk->bdev(0), {kBlockSize, 16, 0}, &err);
    if (!mount) die("mount: " + std::to_string(err));
    if (tav::loadLinkedModule() != 0) die("module load");

    bench::Report report("readblocks_bench", opt->json);
    bench::CacheGuard cache{opt->image, "readblocks_bench"};
    if (!cache.settle()) die("the image does not fit in the page cache");
    try {
        tav::agent::Session s;
        s.start(MAJOR(disk->dev(0)), MINOR(disk->dev(0)), numBlocks, 16);
        const std::uint8_t* area = s.mapBuffer();
        if (s.bufferBytes() < kBatch * kBlockSize) die("the transfer buffer holds less than a batch");
        AMSessionKey key{};
        if (s.snapshot(key) != BACKUP_SNAPSHOT_DONE) die("the snapshot was refused");
        std::vector<std::uint8_t> all((numBlocks + 7) / 8, 0xff);
        s.loadBlockMap(all, numBlocks);

        // The delivered bytes are the image's.
        bench::SharedBuffer buf(kBatch * kBlockSize);
        int imageFd = ::open(opt->image.c_str(), O_RDONLY);
        if (!s.readBlocks(numBlocks - kBatch, kBatch) ||
            ::pread(imageFd, buf.data(), buf.size(), static_cast<off_t>(bytes - buf.size())) !=
                static_cast<ssize_t>(buf.size()) ||
            std::memcmp(buf.data(), area, buf.size()) != 0)
            die("ReadBlocks delivered other bytes than the image holds");
        ::close(imageFd);

        auto warm = [&](bool) {
            if (!cache.ensureWarm()) die("the image does not stay in the page cache: not enough memory");
        };
        auto pread = [&] { return preadPass(opt->image, bytes, buf); };
        preadPass(opt->image, bytes, buf);  // a first pass also faults in the buffer's pages
        readBlocksPass(s, numBlocks);

        auto pairs = bench::runPaired(
            opt->rounds, pread, [&] { return readBlocksPass(s, numBlocks); }, warm);
        // Without the copy, a pass is the reader's CPU work alone: each side of a round is
        // the shortest of kBareRepeats passes, so a neighbour's burst does not count as ours.
        disk->setSkipReadCopy(true);
        auto bare = bench::runPaired(
            opt->rounds, [&] { return bench::minOfRepeats(kBareRepeats, pread); },
            [&] { return bench::minOfRepeats(kBareRepeats, [&] { return readBlocksPass(s, numBlocks); }); }, warm);
        disk->setSkipReadCopy(false);
        std::vector<double> single;
        for (int r = 0; r < opt->rounds; r++) {
            warm(false);
            single.push_back(singleBlockPass(s, numBlocks, 97) * 1e6);
        }
        std::fprintf(stderr, "readblocks_bench: one-block ReadBlocks calls, every 97th block: %.2f us per call (rounds: %s)\n",
                     bench::median(single), bench::formatValues(single).c_str());

        std::vector<double> perBlock, preadPerBlock;
        for (const bench::Pair& p : bare) {
            perBlock.push_back(p.subject * 1e9 / numBlocks);
            preadPerBlock.push_back(p.baseline * 1e9 / numBlocks);
        }
        double preadS = bench::median(bench::baselines(pairs)), rbS = bench::median(bench::subjects(pairs));
        std::fprintf(stderr,
                     "readblocks_bench: %llu MiB, file disk %s; medians: pread %.0f MiB/s, ReadBlocks %.0f MiB/s; "
                     "pread %.0f ns/block (rounds: %s); image re-warmed %d times\n",
                     static_cast<unsigned long long>(mb), disk->usesUring() ? "io_uring" : "pread",
                     static_cast<double>(mb) / preadS, static_cast<double>(mb) / rbS, bench::median(preadPerBlock),
                     bench::formatValues(preadPerBlock).c_str(), cache.rewarmed);
        report.add({"readblocks_vs_pread", kRatioTarget, bench::Better::Higher, bench::speedRatios(pairs),
                    bench::kInMemoryLimit});
        report.add({"readblocks_overhead_ns_per_block", kOverheadTarget, bench::Better::Lower, perBlock});
    } catch (const tav::agent::AgentError& e) {
        die(e.what());
    }
    tav::sys::exitProcess();
    tav::unloadModule();
    mount.reset();
    disk.reset();
    report.writeJson();
    return report.exitCode();
}
