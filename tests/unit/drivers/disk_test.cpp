// The RAM and file disks under every engine: asynchronous completion, merging, failing
// sectors inside merged runs, ordering, hold gates, latency and teardown.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>

#include <cstring>
#include <future>

#include "kernel/printk.h"
#include "tests/unit/drivers/block_fixture.h"

namespace {

using tav::test::BioWaiter;
using tav::test::pattern;

enum class Kind { Ram, FileUring, FilePosix };

std::string kindName(const ::testing::TestParamInfo<Kind>& info) {
    switch (info.param) {
    case Kind::Ram: return "Ram";
    case Kind::FileUring: return "FileUring";
    case Kind::FilePosix: return "FilePosix";
    }
    return "?";
}

class DiskTest : public tav::test::PlatformTest, public ::testing::WithParamInterface<Kind> {
protected:
    static constexpr std::uint64_t kSectors = 4096;

    void SetUp() override {
        PlatformTest::SetUp();
        disk_ = make("tdd", 8, 0);
        ASSERT_TRUE(disk_);
        // No timer unplugs in these tests: batches go out when the test unplugs.
        disk_->queue()->unplug_delay = 600000;
        for (int i = 0; i < 64; ++i) pages_.push_back(alloc_page(GFP_KERNEL));
    }
    void TearDown() override {
        disk_.reset();
        for (struct page* p : pages_) __free_page(p);
        std::remove(path_.c_str());
        PlatformTest::TearDown();
    }
    std::unique_ptr<tav::Disk> make(const std::string& name, unsigned major, unsigned firstMinor) {
        tav::DiskConfig c;
        c.name = name;
        c.major = major;
        c.firstMinor = firstMinor;
        c.sectors = kSectors;
        c.partitions = {{64, 2048, 1}};
        if (GetParam() != Kind::Ram) {
            path_ = tav::test::tempPath(name);
            std::remove(path_.c_str());
            c.backing = tav::Backing::File;
            c.path = path_;
            c.fileIo = GetParam() == Kind::FileUring ? tav::FileIo::Uring : tav::FileIo::Posix;
        }
        int err = 0;
        auto d = tav::Disk::create(c, &err);
        if (!d && GetParam() == Kind::FileUring) ADD_FAILURE() << "no io_uring on this host (" << err << ")";
        return d;
    }
    // n adjacent 4 KiB bios of the whole disk from sector, in one plugged batch.
    void submitRun(int rw, std::uint64_t sector, int n, BioWaiter& w, int firstPage = 0) {
        w.expect(n);
        for (int i = 0; i < n; ++i)
            submit_bio(rw, tav::test::pageBio(disk_->bdev(0), sector + i * 8, pages_[firstPage + i], 4096, 0, &w));
    }
    std::unique_ptr<tav::Disk> disk_;
    std::vector<struct page*> pages_;
    std::string path_;
};

// A RAM disk ends a write on its engine's thread; a file disk's submitter writes into the
// page cache itself and ends the write on its way out of the block layer.
TEST_P(DiskTest, CompletesInInterruptContextOnTheEngineOrItsSubmitter) {
    auto data = pattern(64, 8192);
    tav::BioBatch batch(disk_->bdev(1));
    ASSERT_EQ(batch.add(WRITE, 0, data.data(), data.size()), 0);
    batch.submit();
    ASSERT_EQ(batch.wait(), 0);
    EXPECT_EQ(batch.completionThread(0) == std::this_thread::get_id(), GetParam() != Kind::Ram);
    std::vector<unsigned char> raw(8192);
    ASSERT_EQ(disk_->readRaw(64, raw.data(), raw.size()), 0);
    EXPECT_EQ(raw, data);

    std::vector<unsigned char> back(8192);
    ASSERT_EQ(tav::submitAndWait(disk_->bdev(1), READ, 0, back.data(), back.size(), 1024), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(disk_->usesUring(), GetParam() == Kind::FileUring);

    // A completion that sleeps is reported: it runs in interrupt context.
    struct Sleeper {
        static int endIo(struct bio* bio, unsigned int, int) {
            might_sleep();
            static_cast<BioWaiter*>(bio->bi_private)->endIo(bio, 0, 0);
            return 0;
        }
    };
    BioWaiter w;
    w.expect(1);
    struct bio* bio = tav::test::pageBio(disk_->bdev(0), 0, pages_[0], 512, 0, &w);
    bio->bi_end_io = Sleeper::endIo;
    long before = tav::kernel::sleepInAtomicReports();
    submit_bio(READ, bio);
    blk_run_queues();
    ASSERT_TRUE(w.wait());
    EXPECT_EQ(tav::kernel::sleepInAtomicReports(), before + 1);
    checkCritical_ = false;  // the report is a critical line
}

// A read the page cache holds is copied by its submitter and ended on its way out of the
// block layer, still in interrupt context; one that must wait for the store goes to the
// engine. A RAM disk always hands over.
TEST_P(DiskTest, ACachedReadEndsInItsSubmitterAndAColdOneOnTheEngine) {
    auto data = pattern(7, 4096);
    ASSERT_EQ(disk_->writeRaw(64, data.data(), data.size()), 0);
    struct InIrq {
        static int endIo(struct bio* bio, unsigned int, int) {
            EXPECT_TRUE(tav::kernel::inInterrupt());
            return BioWaiter::endIo(bio, 0, 0);
        }
    };
    auto readOne = [&](BioWaiter& w) {
        w.expect(1);
        struct bio* bio = tav::test::pageBio(disk_->bdev(1), 0, pages_[0], 4096, 0, &w);
        bio->bi_end_io = InIrq::endIo;
        submit_bio(READ, bio);
        blk_run_queues();
    };
    BioWaiter warm;
    readOne(warm);
    if (GetParam() == Kind::Ram) {
        ASSERT_TRUE(warm.wait());
        EXPECT_NE(warm.threads.at(0), std::this_thread::get_id());
        return;
    }
    ASSERT_TRUE(warm.done()) << "a cached read is over when the unplug returns";
    EXPECT_EQ(warm.threads.at(0), std::this_thread::get_id());
    EXPECT_EQ(std::memcmp(page_address(pages_[0]), data.data(), 4096), 0);

    // Dropping the pages races with anything that reads them back in (readahead the warm
    // read started, the host): a cold read gets three tries to reach the engine.
    auto dropped = [&] {
        int fd = ::open(path_.c_str(), O_RDONLY);
        if (fd < 0) return false;
        ::fdatasync(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        void* m = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 64 * 512);
        unsigned char resident = 1;
        if (m != MAP_FAILED) {
            ::mincore(m, 4096, &resident);
            ::munmap(m, 4096);
        }
        ::close(fd);
        return !(resident & 1);
    };
    // Some hosts serve a dropped page without blocking (a DAX image, or a disk that ends
    // the read-ahead before the non-blocking read looks again); only there may a cold read
    // end in its submitter.
    auto hostServesDroppedInline = [&] {
        if (!dropped()) return false;
        int fd = ::open(path_.c_str(), O_RDONLY);
        if (fd < 0) return false;
        std::vector<unsigned char> probe(4096);
        iovec iov{probe.data(), probe.size()};
        ssize_t n = ::preadv2(fd, &iov, 1, 64 * 512, RWF_NOWAIT);
        ::close(fd);
        return n == 4096;
    };
    bool cold = false, everDropped = false, hostInline = false;
    for (int attempt = 0; attempt < 3 && !cold; ++attempt) {
        if (!dropped()) continue;
        everDropped = true;
        std::memset(page_address(pages_[0]), 0, 4096);
        BioWaiter w;
        readOne(w);
        ASSERT_TRUE(w.wait());
        EXPECT_EQ(std::memcmp(page_address(pages_[0]), data.data(), 4096), 0);
        cold = w.threads.at(0) != std::this_thread::get_id();
        if (!cold) {
            hostInline = hostInline || hostServesDroppedInline();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    if (!everDropped) GTEST_SKIP() << "the host keeps the image's pages cached; no cold read to test";
    if (!cold && hostInline) GTEST_SKIP() << "the host serves uncached pages without blocking; no cold read to test";
    EXPECT_TRUE(cold) << "a read the page cache did not hold was copied by its submitter";
}

// The benchmark switch: reads succeed without moving a byte, writes still land, and
// switching back delivers the store's bytes again.
TEST_P(DiskTest, SkipReadCopyCompletesReadsWithoutTouchingThePages) {
    auto data = pattern(64, 8 * 4096);
    ASSERT_EQ(disk_->writeRaw(64, data.data(), data.size()), 0);
    auto readRun = [&] {
        for (int i = 0; i < 8; ++i) std::memset(page_address(pages_[i]), 0xee, 4096);
        BioWaiter w;
        submitRun(READ, 64, 8, w);
        blk_run_queues();
        EXPECT_TRUE(w.wait());
        EXPECT_EQ(std::count(w.errors.begin(), w.errors.end(), 0), 8);
    };
    disk_->setSkipReadCopy(true);
    tav::DiskStats before = disk_->stats();
    readRun();
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(static_cast<unsigned char*>(page_address(pages_[i]))[4095], 0xee) << "page " << i;
    EXPECT_EQ(disk_->stats().completed - before.completed, 8);
    auto other = pattern(64, 4096, 1);
    ASSERT_EQ(tav::submitAndWait(disk_->bdev(0), WRITE, 64, other.data(), other.size()), 0);
    std::vector<unsigned char> raw(4096);
    ASSERT_EQ(disk_->readRaw(64, raw.data(), raw.size()), 0);
    EXPECT_EQ(raw, other);

    disk_->setSkipReadCopy(false);
    readRun();
    EXPECT_EQ(std::memcmp(page_address(pages_[0]), other.data(), 4096), 0);
    EXPECT_EQ(std::memcmp(page_address(pages_[7]), data.data() + 7 * 4096, 4096), 0);
}

TEST_P(DiskTest, MergedReadsDeliverEachBioItsOwnBytes) {
    auto data = pattern(0, 64 * 4096);
    ASSERT_EQ(disk_->writeRaw(0, data.data(), data.size()), 0);
    for (struct page* p : pages_) std::memset(page_address(p), 0xEE, PAGE_SIZE);
    BioWaiter w;
    submitRun(READ, 0, 32, w);
    // Two segments with offsets inside their pages, adjacent to the run's end.
    w.expect(1);
    struct bio* split = bio_alloc(GFP_NOIO, 2);
    split->bi_bdev = disk_->bdev(0);
    split->bi_sector = 32 * 8;
    bio_add_page(split, pages_[40], 1024, 512);
    bio_add_page(split, pages_[41], 3072, 1024);
    split->bi_end_io = BioWaiter::endIo;
    split->bi_private = &w;
    submit_bio(READ, split);
    submitRun(READ, 100 * 8, 4, w, 44);  // not adjacent: a second transfer
    EXPECT_EQ(disk_->stats().transfers, 0);
    blk_run_queues();
    ASSERT_TRUE(w.wait());
    for (int e : w.errors) EXPECT_EQ(e, 0);

    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(0, std::memcmp(page_address(pages_[i]), data.data() + i * 4096, 4096)) << "bio " << i;
    auto* p40 = static_cast<unsigned char*>(page_address(pages_[40]));
    auto* p41 = static_cast<unsigned char*>(page_address(pages_[41]));
    EXPECT_EQ(0, std::memcmp(p40 + 512, data.data() + 32 * 4096, 1024));
    EXPECT_EQ(0, std::memcmp(p41 + 1024, data.data() + 32 * 4096 + 1024, 3072));
    EXPECT_EQ(p40[511], 0xEE) << "bytes outside a segment were written";
    EXPECT_EQ(p41[1023], 0xEE);
    tav::DiskStats s = disk_->stats();
    EXPECT_EQ(s.transfers, 2);
    EXPECT_EQ(s.mergedBios, 32 + 3);
    EXPECT_EQ(s.largestTransferBios, 33);
    EXPECT_EQ(s.completed, 37);
}

TEST_P(DiskTest, FailingSectorFailsOnlyItsBiosInAMergedRun) {
    auto data = pattern(0, 16 * 4096);
    ASSERT_EQ(disk_->writeRaw(0, data.data(), data.size()), 0);
    disk_->failSectors(5 * 8 + 3, 5 * 8 + 3, tav::IoDir::Read);
    EXPECT_TRUE(tav::kernel::logContains("tdd: disk fault model active: reads of sectors 43-43"));
    BioWaiter w;
    struct bio* bios[16];
    w.expect(16);
    for (int i = 0; i < 16; ++i) {
        bios[i] = tav::test::pageBio(disk_->bdev(0), i * 8, pages_[i], 4096, 0, &w);
        bio_get(bios[i]);
        submit_bio(READ, bios[i]);
    }
    blk_run_queues();
    ASSERT_TRUE(w.wait());
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(bio_flagged(bios[i], BIO_UPTODATE) != 0, i != 5) << "bio " << i;
        if (i != 5) {
            EXPECT_EQ(0, std::memcmp(page_address(pages_[i]), data.data() + i * 4096, 4096)) << "bio " << i;
        }
        bio_put(bios[i]);
    }
    EXPECT_EQ(tav::fault::fired(tav::fault::Site::DiskRead), 1);
    EXPECT_EQ(disk_->stats().failed, 1);
    EXPECT_TRUE(tav::kernel::logContains("end_request: I/O error, dev tdd, sector 40"));

    // A failed write leaves the store untouched; its neighbours land.
    disk_->clearFaults();
    disk_->failSectors(9 * 8, 9 * 8, tav::IoDir::Write);
    for (int i = 0; i < 16; ++i) std::memset(page_address(pages_[i]), 0x5A, PAGE_SIZE);
    BioWaiter ww;
    submitRun(WRITE, 0, 16, ww);
    blk_run_queues();
    ASSERT_TRUE(ww.wait());
    EXPECT_EQ(std::count(ww.errors.begin(), ww.errors.end(), -EIO), 1);
    std::vector<unsigned char> raw(16 * 4096);
    ASSERT_EQ(disk_->readRaw(0, raw.data(), raw.size()), 0);
    for (int i = 0; i < 16; ++i) {
        if (i == 9) {
            EXPECT_EQ(0, std::memcmp(raw.data() + i * 4096, data.data() + i * 4096, 4096)) << "failed write landed";
        } else {
            EXPECT_EQ(raw[i * 4096], 0x5A) << "bio " << i;
        }
    }
}

TEST_P(DiskTest, OverlappingRequestsReachTheStoreInSubmissionOrder) {
    disk_->setLatency(std::chrono::milliseconds(5));
    std::memset(page_address(pages_[0]), 0x11, PAGE_SIZE);
    std::memset(page_address(pages_[1]), 0x22, PAGE_SIZE);
    std::memset(page_address(pages_[3]), 0x33, PAGE_SIZE);
    BioWaiter w;
    w.expect(4);
    submit_bio(WRITE, tav::test::pageBio(disk_->bdev(0), 8, pages_[0], 4096, 0, &w));
    submit_bio(WRITE, tav::test::pageBio(disk_->bdev(0), 12, pages_[1], 4096, 0, &w));  // overlaps the first
    submit_bio(READ, tav::test::pageBio(disk_->bdev(0), 8, pages_[2], 4096, 0, &w));    // sees both
    submit_bio(WRITE, tav::test::pageBio(disk_->bdev(0), 1000, pages_[3], 4096, 0, &w));  // overlaps nothing
    blk_run_queues();
    ASSERT_TRUE(w.wait());
    auto* r = static_cast<unsigned char*>(page_address(pages_[2]));
    EXPECT_EQ(r[0], 0x11);
    EXPECT_EQ(r[4 * 512], 0x22) << "the read passed the write before it";
    std::vector<unsigned char> raw(8 * 512);
    ASSERT_EQ(disk_->readRaw(12, raw.data(), raw.size()), 0);
    EXPECT_EQ(raw[0], 0x22) << "the later write must win";
    EXPECT_EQ(raw.back(), 0x22);
}

TEST_P(DiskTest, HoldGateOrdersARaceDeterministically) {
    int gate = disk_->hold(100, 107, tav::IoDir::Write);
    BioWaiter held, free;
    held.expect(1);
    free.expect(2);
    submit_bio(WRITE, tav::test::pageBio(disk_->bdev(0), 104, pages_[0], 512, 0, &held));
    submit_bio(READ, tav::test::pageBio(disk_->bdev(0), 100, pages_[1], 4096, 0, &free));  // reads pass
    submit_bio(WRITE, tav::test::pageBio(disk_->bdev(0), 200, pages_[2], 4096, 0, &free));
    ASSERT_TRUE(disk_->waitHeld(gate, 1));
    blk_run_queues();
    ASSERT_TRUE(free.wait());
    EXPECT_FALSE(held.done());
    EXPECT_EQ(disk_->heldCount(gate), 1u);
    disk_->release(gate);
    ASSERT_TRUE(held.wait());
    EXPECT_EQ(disk_->stats().held, 1);

    // A gate still holds after a release; removing it sends everything on.
    held.expect(1);
    submit_bio(WRITE, tav::test::pageBio(disk_->bdev(0), 100, pages_[0], 512, 0, &held));
    ASSERT_TRUE(disk_->waitHeld(gate, 1));
    disk_->removeHold(gate);
    ASSERT_TRUE(held.wait());
}

TEST_P(DiskTest, LatencyDelaysCompletion) {
    disk_->setLatency(std::chrono::milliseconds(30));
    EXPECT_TRUE(tav::kernel::logContains("tdd: disk fault model active: latency 30000 us"));
    std::vector<unsigned char> buf(4096);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(tav::submitAndWait(disk_->bdev(0), READ, 0, buf.data(), buf.size()), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(30));
}

TEST_P(DiskTest, BadRequestsFailInTheDriverAndTeardownReleasesHeldBios) {
    // Straight to the driver, past generic_make_request's checks, as a hook may send them.
    make_request_fn* driver = disk_->queue()->make_request_fn;
    BioWaiter w;
    w.expect(3);
    driver(disk_->queue(), tav::test::pageBio(disk_->bdev(0), kSectors - 4, pages_[0], 4096, 0, &w));
    struct bio* odd = tav::test::pageBio(disk_->bdev(0), 0, pages_[1], 4096, 0, &w);
    odd->bi_size = 1000;
    driver(disk_->queue(), odd);
    driver(disk_->queue(), tav::test::pageBio(disk_->bdev(0), kSectors - 8, pages_[2], 4096, 0, &w));
    blk_run_queues();
    ASSERT_TRUE(w.wait());
    EXPECT_EQ(std::count(w.errors.begin(), w.errors.end(), -EIO), 2);
    EXPECT_TRUE(tav::kernel::logContains("tdd: bad request: sector 4092"));

    int gate = disk_->hold(0, 0);
    BioWaiter held;
    held.expect(1);
    submit_bio(READ, tav::test::pageBio(disk_->bdev(0), 0, pages_[3], 512, 0, &held));
    ASSERT_TRUE(disk_->waitHeld(gate, 1));
    disk_.reset();
    EXPECT_TRUE(held.done()) << "the destroyed disk kept a bio";
    EXPECT_EQ(held.errors.at(0), 0);
}

// The ring cancels work still queued when the thread that submitted it exits, though the
// file is fine: such a transfer is redone, not failed. Reads and writes, alone and merged.
class RingTest : public DiskTest {};

TEST_P(RingTest, ACancelledTransferIsRedoneNotFailed) {
    disk_->setLatency(std::chrono::microseconds(1));  // reads go to the ring, not the page cache
    tav::fault::Rule r;
    r.site = tav::fault::Site::RingCancel;
    r.times = -1;
    r.name = "tdd";
    r.first = 3 * 8;
    r.last = 3 * 8;
    tav::fault::add(r);
    auto data = pattern(0, 16 * 4096, 3);
    for (int i = 0; i < 16; ++i) std::memcpy(page_address(pages_[i]), data.data() + i * 4096, 4096);
    BioWaiter ww;
    submitRun(WRITE, 0, 16, ww);                                                                  // one merged run
    ww.expect(1);
    submit_bio(WRITE, tav::test::pageBio(disk_->bdev(0), 3 * 8, pages_[3], 4096, 0, &ww));  // alone
    blk_run_queues();
    ASSERT_TRUE(ww.wait());
    EXPECT_EQ(std::count(ww.errors.begin(), ww.errors.end(), 0), 17);
    long cancelled = tav::fault::fired(tav::fault::Site::RingCancel);
    EXPECT_EQ(cancelled, 2);
    std::vector<unsigned char> raw(16 * 4096);
    ASSERT_EQ(disk_->readRaw(0, raw.data(), raw.size()), 0);
    EXPECT_EQ(raw, data);

    BioWaiter rw;
    submitRun(READ, 0, 16, rw, 16);
    blk_run_queues();
    ASSERT_TRUE(rw.wait());
    EXPECT_EQ(std::count(rw.errors.begin(), rw.errors.end(), 0), 16);
    EXPECT_EQ(tav::fault::fired(tav::fault::Site::RingCancel), cancelled + 1);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(0, std::memcmp(page_address(pages_[16 + i]), data.data() + i * 4096, 4096)) << "bio " << i;
    EXPECT_EQ(disk_->stats().failed, 0);
    EXPECT_FALSE(tav::kernel::logContains("I/O error"));
}

INSTANTIATE_TEST_SUITE_P(Uring, RingTest, ::testing::Values(Kind::FileUring), kindName);

INSTANTIATE_TEST_SUITE_P(Engines, DiskTest, ::testing::Values(Kind::Ram, Kind::FileUring, Kind::FilePosix),
                         kindName);

}  // namespace
