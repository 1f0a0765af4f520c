// Helpers shared by the block-layer, file-system and disk tests.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/bio.h"
#include "kernel/blkdev.h"
#include "tav/blockio.h"
#include "tests/support/checks.h"

namespace tav::test {

// A byte pattern that names its sector, so a misplaced sector is visible.
inline std::vector<unsigned char> pattern(std::uint64_t firstSector, std::size_t bytes, unsigned salt = 0) {
    std::vector<unsigned char> v(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        std::uint64_t s = firstSector + i / 512;
        v[i] = static_cast<unsigned char>((s * 131 + (i % 512) * 7 + salt * 29) ^ (s >> 8));
    }
    return v;
}

inline std::string tempPath(const std::string& tag) {
    std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(test.begin(), test.end(), '/', '_');
    return (std::filesystem::temp_directory_path() /
            ("tav-" + tag + "-" + std::to_string(getpid()) + "-" + test + ".img"))
        .string();
}

inline std::unique_ptr<Disk> ramDisk(std::uint64_t sectors, std::vector<PartitionSpec> parts = {},
                                     const std::string& name = "tda", unsigned major = 8, unsigned firstMinor = 0,
                                     unsigned minors = 16, bool holdOpen = true) {
    DiskConfig c;
    c.holdOpen = holdOpen;
    c.name = name;
    c.major = major;
    c.firstMinor = firstMinor;
    c.minors = minors;
    c.sectors = sectors;
    c.partitions = std::move(parts);
    int err = 0;
    auto d = Disk::create(c, &err);
    EXPECT_TRUE(d) << "create failed: " << err;
    return d;
}

// Completion record for hand-built bios; the completion drops the bio's reference.
struct BioWaiter {
    std::mutex lock;
    std::condition_variable cv;
    int pending = 0;  // guarded by lock
    std::vector<int> errors;
    std::vector<std::thread::id> threads;

    static int endIo(struct bio* bio, unsigned int, int error) {
        if (bio->bi_size) return 1;
        auto* w = static_cast<BioWaiter*>(bio->bi_private);
        int result = test_bit(BIO_UPTODATE, &bio->bi_flags) ? 0 : (error ? error : -EIO);
        bio_put(bio);
        std::lock_guard lk(w->lock);
        w->errors.push_back(result);
        w->threads.push_back(std::this_thread::get_id());
        if (--w->pending == 0) w->cv.notify_all();
        return 0;
    }
    void expect(int n) {
        std::lock_guard lk(lock);
        pending += n;
    }
    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lk(lock);
        return cv.wait_for(lk, timeout, [this] { return pending == 0; });
    }
    bool done() {
        std::lock_guard lk(lock);
        return pending == 0;
    }
};

// A one-page bio of len bytes at offset in page, completing into w.
inline struct bio* pageBio(struct block_device* bdev, sector_t sector, struct page* page, unsigned len,
                           unsigned offset, BioWaiter* w) {
    struct bio* bio = bio_alloc(GFP_NOIO, 1);
    bio->bi_bdev = bdev;
    bio->bi_sector = sector;
    bio_add_page(bio, page, len, offset);
    bio->bi_end_io = BioWaiter::endIo;
    bio->bi_private = w;
    return bio;
}

}  // namespace tav::test
