// ReadBlocks throughput over a file disk against plain sequential pread of the same
// image, measured side by side in one run.
//
// A 1 GiB image (TAV_BENCH_MB overrides the size) carries a file system of 4096-byte
// blocks; a started backup in BACKUP_SNAPSHOT_DONE with no concurrent writes reads it
// whole in full 256-block batches into its mapped transfer buffer. The baseline reads the
// image with pread in 1 MiB steps (the batch's size), from the same warm page cache.
// Rounds alternate; the best of three of each gives the ratio (pread time / ReadBlocks
// time).
//
// Usage: readblocks_bench [bench.json] [image]   (an image of the right size is reused)
// Prints: bench readblocks_vs_pread <ratio> target 0.8, and merges it into bench.json.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "kernel/fs.h"
#include "kernel/printk.h"
#include "tav/blockio.h"
#include "tav/modules.h"
#include "tav/sys.h"
#include "tests/unit/module/record_start.h"

namespace {

constexpr unsigned kBlockSize = 4096, kBatch = 256;
constexpr double kTarget = 0.8;

using bench::Clock;
using bench::seconds;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "readblocks_bench: %s\n", what.c_str());
    std::exit(1);
}

double preadPass(const std::string& path, std::uint64_t bytes, std::vector<char>& buf) {
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

double readBlocksPass(int fd, unsigned numBlocks, void* area) {
    auto t0 = Clock::now();
    for (unsigned start = 0; start < numBlocks; start += kBatch) {
        ReadBlocks r{start, kBatch, area};
        int rc = tav::sys::ioctl(fd, TAV_READ_BLOCKS, &r);
        if (rc) die("ReadBlocks returned " + std::to_string(rc));
    }
    return seconds(t0);
}

}  // namespace

int main(int argc, char** argv) {
    tav::kernel::setLogSink(nullptr);
    std::uint64_t mb = std::getenv("TAV_BENCH_MB") ? std::strtoull(std::getenv("TAV_BENCH_MB"), nullptr, 10) : 1024;
    std::uint64_t bytes = mb << 20;
    std::string json = argc > 1 ? argv[1] : "bench.json";
    std::string image = argc > 2 ? argv[2] : "readblocks-bench.img";
    if (std::string e = bench::makeImage(image, bytes); !e.empty()) die(e);

    tav::DiskConfig cfg;
    cfg.backing = tav::Backing::File;
    cfg.path = image;
    cfg.minors = 1;
    int err = 0;
    auto disk = tav::Disk::create(cfg, &err);
    if (!disk) die("disk: " + std::to_string(err));
    auto mount = tav::Mount::create(disk->bdev(0), {kBlockSize, 16, 0}, &err);
    if (!mount) die("mount: " + std::to_string(err));

    if (tav::loadLinkedModule() != 0) die("module load");
    int fd = tav::sys::open(TAV_DEVICE_PATH, O_RDWR);
    if (fd < 0) die("open: " + std::to_string(fd));
    struct file* f = fget(static_cast<unsigned>(fd));
    Backup* b = static_cast<Backup*>(f->private_data);
    fput(f);
    if (getDiskInfo(&b->diskInfo, disk->dev(0))) die("getDiskInfo");
    unsigned numBlocks = static_cast<unsigned>(bytes / kBlockSize);
    b->diskInfo.numBlocks = numBlocks;
    if (tav::test::startRecord(b, 0)) die("start");
    b->state = BACKUP_SNAPSHOT_DONE;
    void* area = tav::sys::mmap(fd, kBatch * kBlockSize, PROT_READ, MAP_PRIVATE, 0, &err);
    if (area == MAP_FAILED) die("mmap: " + std::to_string(err));
    for (unsigned p = 0; p < kBatch; p++) tav::sys::touch(static_cast<char*>(area) + p * 4096);

    // The delivered bytes are the image's.
    std::vector<char> buf(kBatch * kBlockSize);
    int imageFd = ::open(image.c_str(), O_RDONLY);
    ReadBlocks last{numBlocks - kBatch, kBatch, area};
    if (tav::sys::ioctl(fd, TAV_READ_BLOCKS, &last) ||
        ::pread(imageFd, buf.data(), buf.size(), static_cast<off_t>(bytes - buf.size())) !=
            static_cast<ssize_t>(buf.size()) ||
        memcmp(buf.data(), area, buf.size()) != 0)
        die("ReadBlocks delivered other bytes than the image holds");
    ::close(imageFd);

    preadPass(image, bytes, buf);  // warm the page cache
    double bestPread = 1e9, bestReadBlocks = 1e9;
    for (int round = 0; round < 3; round++) {
        bestPread = std::min(bestPread, preadPass(image, bytes, buf));
        bestReadBlocks = std::min(bestReadBlocks, readBlocksPass(fd, numBlocks, area));
    }
    double ratio = bestPread / bestReadBlocks;
    std::fprintf(stderr, "readblocks_bench: %llu MiB, pread %.0f MiB/s, ReadBlocks %.0f MiB/s, file disk %s\n",
                 static_cast<unsigned long long>(mb), static_cast<double>(mb) / bestPread,
                 static_cast<double>(mb) / bestReadBlocks, disk->usesUring() ? "io_uring" : "pread");
    std::printf("bench readblocks_vs_pread %.3f target %.1f\n", ratio, kTarget);

    tav::sys::munmap(area, kBatch * kBlockSize);
    tav::test::releaseRecord(b);
    tav::sys::close(fd);
    tav::unloadModule();
    mount.reset();
    disk.reset();
    bench::mergeJson(json, {{"readblocks_vs_pread", {ratio, kTarget}}});
    return 0;
}
