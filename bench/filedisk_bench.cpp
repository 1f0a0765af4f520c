// Reads a 1 GiB image through the file disk the way the module's block reader does (one
// bio and one buffer head per 4096-byte block, 256 submitted before the first wait,
// wait_on_buffer in order) and compares the time with plain sequential 1 MiB preads of
// the same file, both from a warm page cache (checked with mincore before each side), in
// interleaved pairs.
//
//   filedisk_batch_vs_pread   pread time / disk time   >= 0.75
//
// Usage: filedisk_bench [--rounds N] [bench.json] [image]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/harness.h"
#include "kernel/bio.h"
#include "kernel/blkdev.h"
#include "kernel/buffer_head.h"
#include "kernel/printk.h"
#include "tav/blockio.h"

namespace {

constexpr std::uint64_t kImageBytes = 1ull << 30;
constexpr unsigned kBlock = 4096;
constexpr unsigned kBatch = 256;
constexpr double kTarget = 0.75;

using Clock = std::chrono::steady_clock;

double preadSeconds(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    static bench::SharedBuffer buf(1 << 20);  // the kind of pages the disk reads into
    auto t0 = Clock::now();
    for (std::uint64_t off = 0; off < kImageBytes; off += buf.size())
        if (pread(fd, buf.data(), buf.size(), static_cast<off_t>(off)) != static_cast<ssize_t>(buf.size())) {
            std::perror("pread");
            std::exit(1);
        }
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    close(fd);
    return s;
}

int endBio(struct bio* bio, unsigned int, int) {
    if (bio->bi_size) return 1;
    auto* bh = static_cast<struct buffer_head*>(bio->bi_private);
    bh->b_end_io(bh, test_bit(BIO_UPTODATE, &bio->bi_flags));
    bio_put(bio);
    return 0;
}

void endBh(struct buffer_head* bh, int uptodate) {
    if (uptodate) set_buffer_uptodate(bh);
    unlock_buffer(bh);
    put_bh(bh);
}

double diskSeconds(struct block_device* bdev, const std::vector<struct page*>& pages, long* failures) {
    std::vector<struct buffer_head*> bhs(kBatch);
    auto t0 = Clock::now();
    for (std::uint64_t block = 0; block < kImageBytes / kBlock; block += kBatch) {
        for (unsigned i = 0; i < kBatch; ++i) {
            struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
            struct bio* bio = bio_alloc(GFP_NOIO, 1);
            set_bh_page(bh, pages[i], 0);
            bh->b_bdev = bdev;
            bh->b_blocknr = block + i;
            bh->b_size = kBlock;
            bh->b_end_io = endBh;
            bh->b_state = (1UL << BH_Lock) | (1UL << BH_Req) | (1UL << BH_Mapped);
            get_bh(bh);
            bio->bi_bdev = bdev;
            bio->bi_sector = (block + i) * (kBlock / 512);
            bio->bi_io_vec[0] = {pages[i], kBlock, 0};
            bio->bi_vcnt = 1;
            bio->bi_size = kBlock;
            bio->bi_private = bh;
            bio->bi_end_io = endBio;
            submit_bio(READ, bio);
            bhs[i] = bh;
        }
        for (struct buffer_head* bh : bhs) {
            wait_on_buffer(bh);
            if (!buffer_uptodate(bh)) ++*failures;
            free_buffer_head(bh);
        }
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (!bench::kernelLogWanted()) tav::kernel::setLogSink(nullptr);
    auto opt = bench::parseArgs(argc, argv, "filedisk-bench.img");
    if (!opt) return 64;
    if (std::string e = bench::makeImage(opt->image, kImageBytes); !e.empty()) {
        std::fprintf(stderr, "filedisk_bench: %s\n", e.c_str());
        return 1;
    }
    tav::DiskConfig c;
    c.name = "tbench";
    c.major = 250;
    c.minors = 1;
    c.backing = tav::Backing::File;
    c.path = opt->image;
    int err = 0;
    auto disk = tav::Disk::create(c, &err);
    if (!disk) {
        std::fprintf(stderr, "cannot create the disk: %d\n", err);
        return 1;
    }
    std::vector<struct page*> pages;
    for (unsigned i = 0; i < kBatch; ++i) pages.push_back(alloc_page(GFP_KERNEL));

    bench::CacheGuard cache{opt->image, "filedisk_bench"};
    if (!cache.settle()) {
        std::fprintf(stderr, "filedisk_bench: the image does not fit in the page cache\n");
        return 1;
    }
    long failures = 0;
    auto warm = [&](bool) {
        if (!cache.ensureWarm()) {
            std::fprintf(stderr, "filedisk_bench: the image does not stay in the page cache\n");
            std::exit(1);
        }
    };
    auto pairs = bench::runPaired(
        opt->rounds, [&] { return preadSeconds(opt->image); },
        [&] { return diskSeconds(disk->bdev(0), pages, &failures); }, warm);
    tav::DiskStats s = disk->stats();
    bool uring = disk->usesUring();
    for (struct page* p : pages) __free_page(p);
    disk.reset();
    if (failures) {
        std::fprintf(stderr, "%ld block reads failed\n", failures);
        return 1;
    }
    double gib = static_cast<double>(kImageBytes) / (1 << 30);
    std::fprintf(stderr,
                 "filedisk_bench: medians pread %.2f GiB/s, file disk %.2f GiB/s (%s, %ld transfers, %.1f bios each); "
                 "image re-warmed %d times\n",
                 gib / bench::median(bench::baselines(pairs)), gib / bench::median(bench::subjects(pairs)),
                 uring ? "io_uring" : "preadv", s.transfers,
                 s.transfers ? double(s.completed) / double(s.transfers) : 0.0, cache.rewarmed);
    bench::Report report("filedisk_bench", opt->json);
    report.add(
        {"filedisk_batch_vs_pread", kTarget, bench::Better::Higher, bench::speedRatios(pairs), bench::kInMemoryLimit});
    report.writeJson();
    return report.exitCode();
}
