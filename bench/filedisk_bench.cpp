// Reads a 1 GiB image through the file disk the way the module's block reader does (one
// bio and one buffer head per 4096-byte block, 256 submitted before the first wait,
// wait_on_buffer in order) and compares the time with plain sequential 1 MiB preads of
// the same file, both from a warm page cache, alternating, best of 3.
//
// Usage: filedisk_bench [bench.json] [image]
// Prints: bench filedisk_batch_vs_pread <ratio> target 0.8  (ratio = pread time / disk time)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "kernel/bio.h"
#include "kernel/blkdev.h"
#include "kernel/buffer_head.h"
#include "kernel/printk.h"
#include "tav/blockio.h"

namespace {

constexpr std::uint64_t kImageBytes = 1ull << 30;
constexpr unsigned kBlock = 4096;
constexpr unsigned kBatch = 256;
constexpr double kTarget = 0.8;

using Clock = std::chrono::steady_clock;

bool makeImage(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) == kImageBytes) return true;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    std::vector<unsigned char> chunk(1 << 20);
    for (std::uint64_t off = 0; off < kImageBytes; off += chunk.size()) {
        for (std::size_t i = 0; i < chunk.size(); i += 8) {
            std::uint64_t v = (off + i) * 0x9E3779B97F4A7C15ull;
            std::memcpy(&chunk[i], &v, 8);
        }
        if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
            close(fd);
            return false;
        }
    }
    fsync(fd);
    close(fd);
    return true;
}

double preadSeconds(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    std::vector<char> buf(1 << 20);
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
    std::string json = argc > 1 ? argv[1] : "bench.json";
    std::string image = argc > 2 ? argv[2] : "filedisk-bench.img";
    if (!makeImage(image)) {
        std::fprintf(stderr, "cannot create %s\n", image.c_str());
        return 1;
    }
    tav::DiskConfig c;
    c.name = "tbench";
    c.major = 250;
    c.minors = 1;
    c.backing = tav::Backing::File;
    c.path = image;
    int err = 0;
    auto disk = tav::Disk::create(c, &err);
    if (!disk) {
        std::fprintf(stderr, "cannot create the disk: %d\n", err);
        return 1;
    }
    std::vector<struct page*> pages;
    for (unsigned i = 0; i < kBatch; ++i) pages.push_back(alloc_page(GFP_KERNEL));

    preadSeconds(image);  // warm the page cache
    double bestPread = 1e9, bestDisk = 1e9;
    long failures = 0;
    for (int run = 0; run < 3; ++run) {
        bestPread = std::min(bestPread, preadSeconds(image));
        bestDisk = std::min(bestDisk, diskSeconds(disk->bdev(0), pages, &failures));
    }
    tav::DiskStats s = disk->stats();
    bool uring = disk->usesUring();
    for (struct page* p : pages) __free_page(p);
    disk.reset();
    if (failures) {
        std::fprintf(stderr, "%ld block reads failed\n", failures);
        return 1;
    }
    double gib = static_cast<double>(kImageBytes) / (1 << 30);
    std::fprintf(stderr, "pread %.2f GiB/s, file disk %.2f GiB/s (%s, %ld transfers, %.1f bios each)\n",
                 gib / bestPread, gib / bestDisk, uring ? "io_uring" : "preadv",
                 s.transfers, s.transfers ? double(s.completed) / double(s.transfers) : 0.0);
    double ratio = bestPread / bestDisk;
    std::printf("bench filedisk_batch_vs_pread %.3f target %.1f\n", ratio, kTarget);
    bench::mergeJson(json, {{"filedisk_batch_vs_pread", {ratio, kTarget}}});
    return 0;
}
