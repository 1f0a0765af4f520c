// The FUSE export in-process: a RAM disk with two partitions exported at a temporary
// directory, driven through ordinary POSIX calls on its files.
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <numeric>
#include <span>
#include <thread>

#include "host/fuse_export.h"
#include "kernel/blkdev.h"
#include "tav/machine.h"
#include "tests/support/checks.h"
#include "tests/unit/host/host_stack.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kDiskSectors = 16384;                 // 8 MiB
constexpr std::uint64_t kP1Start = 2048, kP1Sectors = 8192;   // 1 MiB .. 5 MiB
constexpr std::uint64_t kP2Start = 10240, kP2Sectors = 4096;  // 5 MiB .. 7 MiB, adjacent to p1

using tav::test::QueueSpy;

class FuseExportTest : public tav::test::PlatformTest {
protected:
    void SetUp() override {
        if (!tav::host::FuseExport::available()) GTEST_SKIP() << "built without libfuse3";
        if (std::string why = tav::test::fuseMissing(); !why.empty()) GTEST_SKIP() << why;
        PlatformTest::SetUp();
        dir_ = fs::temp_directory_path() / ("tavexport-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        tav::DiskConfig cfg;
        cfg.sectors = kDiskSectors;
        cfg.partitions = {{kP1Start, kP1Sectors, 1}, {kP2Start, kP2Sectors, 2}};
        disk_ = machine_.addDisk(cfg);
        ASSERT_NE(disk_, nullptr);
        model_.resize(kDiskSectors * 512);
        for (std::size_t i = 0; i < model_.size(); ++i) model_[i] = static_cast<char>(i * 7 + i / 512);
        ASSERT_EQ(disk_->writeRaw(0, model_.data(), model_.size()), 0);
        ASSERT_EQ(export_.addDisk(disk_), 0);
        std::string msg;
        stack_.fuses.push_back((dir_ / "x").string());
        ASSERT_EQ(export_.mount((dir_ / "x").string(), &msg), 0) << msg;
        watchdog_.start((dir_ / "x").string());
        spied_ = true;
        QueueSpy::install(disk_->queue());
    }
    void TearDown() override {
        if (!spied_) return;
        for (int fd : fds_) ::close(fd);
        export_.unmount(true);
        watchdog_.stop();
        stack_.tearDown();
        QueueSpy::remove(disk_->queue());
        machine_.shutdown();
        fs::remove_all(dir_);
        PlatformTest::TearDown();
    }
    std::string path(const std::string& name) { return (dir_ / "x" / name).string(); }
    int open(const std::string& name, int flags) {
        int fd = ::open(path(name).c_str(), flags | O_CLOEXEC);
        if (fd >= 0) fds_.push_back(fd);
        return fd;
    }
    std::vector<char> disk() {
        // The export's counters, updated after its I/O and before its reply, order this
        // thread after that I/O for ThreadSanitizer, which cannot see through the kernel.
        (void)export_.stats();
        std::vector<char> now(kDiskSectors * 512);
        EXPECT_EQ(disk_->readRaw(0, now.data(), now.size()), 0);
        (void)export_.stats();  // and the requests after it after this read
        return now;
    }
    // First differing byte of the disk against the model, or -1.
    long firstDifference() {
        auto now = disk();
        auto m = std::mismatch(now.begin(), now.end(), model_.begin());
        return m.first == now.end() ? -1 : m.first - now.begin();
    }
    static std::vector<char> pattern(std::size_t n, unsigned seed) {
        std::vector<char> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<char>((i * 131 + seed * 17) ^ (i >> 9));
        return v;
    }

    tav::Machine machine_;
    tav::Disk* disk_ = nullptr;
    tav::host::FuseExport export_;
    tav::test::StackRecord stack_;
    tav::test::FuseWatchdog watchdog_;
    fs::path dir_;
    std::vector<char> model_;  // what the disk must hold
    std::vector<int> fds_;
    bool spied_ = false;
};

TEST_F(FuseExportTest, ListsTheDiskAndEachPartitionAtItsSize) {
    std::map<std::string, std::uintmax_t> seen;
    for (auto& e : fs::directory_iterator(dir_ / "x")) seen[e.path().filename()] = fs::file_size(e.path());
    std::map<std::string, std::uintmax_t> want = {
        {"tda", kDiskSectors * 512}, {"tda1", kP1Sectors * 512}, {"tda2", kP2Sectors * 512}};
    EXPECT_EQ(seen, want);
    EXPECT_EQ(::truncate(path("tda1").c_str(), 4096), -1) << "a device keeps its size";
}

// A write the host sees complete has reached the driver, through the queue.
TEST_F(FuseExportTest, WriteCompletesOnlyAfterItsBiosAndLandsOnTheDisk) {
    int fd = open("tda1", O_RDWR);
    ASSERT_GE(fd, 0) << strerror(errno);
    const std::uint64_t off = 3 << 20;  // 3 MiB into the partition
    auto bytes = pattern(1 << 20, 1);
    // Page-aligned, as a loop device's pages are: the kernel then sends it in one request.
    std::unique_ptr<char, decltype(&std::free)> aligned(static_cast<char*>(std::aligned_alloc(4096, bytes.size())), std::free);
    std::memcpy(aligned.get(), bytes.data(), bytes.size());
    std::span<char> data(aligned.get(), bytes.size());
    int gate = disk_->hold(kP1Start + off / 512, kP1Start + off / 512);
    std::atomic<ssize_t> written{-2};
    std::thread writer([&] { written = ::pwrite(fd, data.data(), data.size(), off); });
    ASSERT_TRUE(disk_->waitHeld(gate, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(written.load(), -2) << "the reply came before the bio completed";
    disk_->removeHold(gate);
    writer.join();
    ASSERT_EQ(written.load(), static_cast<ssize_t>(data.size()));
    EXPECT_EQ(export_.stats().writes, 1) << "the host cut a 1 MiB write into pieces";
    EXPECT_GE(QueueSpy::writes.load(), 1);
    std::memcpy(model_.data() + kP1Start * 512 + off, data.data(), data.size());
    EXPECT_EQ(firstDifference(), -1);
    std::vector<char> back(data.size());
    ASSERT_EQ(::pread(fd, back.data(), back.size(), off), static_cast<ssize_t>(back.size()));
    EXPECT_EQ(back, bytes);
}

TEST_F(FuseExportTest, BiosAreSplitAtTheQueuesLimit) {
    blk_queue_max_sectors(disk_->queue(), 64);
    int fd = open("tda", O_RDWR);
    ASSERT_GE(fd, 0);
    auto data = pattern(1 << 20, 2);
    ssize_t n = ::pwrite(fd, data.data(), data.size(), 0);
    (void)export_.stats();  // after the export's bios (see disk())
    blk_queue_max_sectors(disk_->queue(), BIO_MAX_SIZE >> 9);
    ASSERT_EQ(n, static_cast<ssize_t>(data.size()));
    EXPECT_LE(QueueSpy::largestSectors.load(), 64);
    EXPECT_GE(QueueSpy::writes.load(), 16);
    std::memcpy(model_.data(), data.data(), data.size());
    EXPECT_EQ(firstDifference(), -1);
}

struct IoCase {
    const char* file;
    std::uint64_t fileStart;  // on the disk, in sectors
    std::uint64_t fileSectors;
    std::uint64_t offset;
    std::size_t length;
    ssize_t expect;  // bytes written and read back, or -errno
};

// Edge sectors are read-modify-written, the end of a device cuts a transfer short, and a
// disk's file reaches across its partitions.
TEST_F(FuseExportTest, UnalignedAndBoundaryWritesAndReads) {
    const std::uint64_t p1End = kP1Sectors * 512;
    const IoCase cases[] = {
        {"tda1", kP1Start, kP1Sectors, 100, 10, 10},                 // inside one sector
        {"tda1", kP1Start, kP1Sectors, 510, 4, 4},                   // across a sector boundary
        {"tda1", kP1Start, kP1Sectors, 1000, 5000, 5000},            // partial head and tail
        {"tda1", kP1Start, kP1Sectors, 0, 1, 1},
        {"tda1", kP1Start, kP1Sectors, 8192, 1536, 1536},            // aligned
        {"tda1", kP1Start, kP1Sectors, 8192 + 512, 512 * 300, 512 * 300},
        {"tda1", kP1Start, kP1Sectors, p1End - 100, 300, 100},       // short at the end
        {"tda1", kP1Start, kP1Sectors, p1End - 512, 4096, 512},
        {"tda1", kP1Start, kP1Sectors, p1End, 512, -ENOSPC},         // at the end
        {"tda1", kP1Start, kP1Sectors, p1End + 4096, 10, -ENOSPC},
        {"tda", 0, kDiskSectors, kP2Start * 512 - 700, 1400, 1400},  // across p1's end into p2
        {"tda", 0, kDiskSectors, kP1Start * 512 - 3, 6, 6},          // across p1's start
        {"tda2", kP2Start, kP2Sectors, kP2Sectors * 512 - 1, 1, 1},  // last byte
    };
    unsigned seed = 10;
    for (const IoCase& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " @" + std::to_string(c.offset) + "+" + std::to_string(c.length));
        int fd = open(c.file, O_RDWR);
        ASSERT_GE(fd, 0);
        auto data = pattern(c.length, seed++);
        ssize_t n = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(c.offset));
        ASSERT_EQ(n < 0 ? -errno : n, c.expect);
        if (c.expect <= 0) {
            EXPECT_EQ(firstDifference(), -1) << "a refused write changed the disk";
            char b;
            EXPECT_EQ(::pread(fd, &b, 1, static_cast<off_t>(c.offset)), 0) << "a read beyond the end is empty";
            continue;
        }
        std::memcpy(model_.data() + c.fileStart * 512 + c.offset, data.data(), static_cast<std::size_t>(n));
        EXPECT_EQ(firstDifference(), -1);
        std::vector<char> back(c.length + 1000);
        ssize_t r = ::pread(fd, back.data(), back.size(), static_cast<off_t>(c.offset));
        std::size_t rest = c.fileSectors * 512 - c.offset;
        ASSERT_EQ(r, static_cast<ssize_t>(std::min(back.size(), rest)));
        EXPECT_TRUE(std::equal(back.begin(), back.begin() + r, model_.begin() + c.fileStart * 512 + c.offset));
    }
}

// Single-byte writes from several threads into the same two sectors, half through the
// partition's file and half through the disk's (the host serializes writes to one file,
// not across files): a read-modify-write that is not serialized against its neighbours
// loses some of them.
TEST_F(FuseExportTest, ConcurrentWritesIntoOneSectorAllLand) {
    constexpr int kThreads = 4, kEach = 150;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            bool whole = t % 2;
            int fd = ::open(path(whole ? "tda" : "tda1").c_str(), O_RDWR | O_CLOEXEC);
            const off_t base = whole ? kP1Start * 512 : 0;
            for (int i = 0; i < kEach; ++i) {
                char b = static_cast<char>(0x80 | t);
                if (::pwrite(fd, &b, 1, base + 300 + i * kThreads + t) != 1) failures++;
            }
            ::close(fd);
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    for (int i = 0; i < kThreads * kEach; ++i) model_[kP1Start * 512 + 300 + i] = static_cast<char>(0x80 | (i % kThreads));
    EXPECT_EQ(firstDifference(), -1);
}

// Discards and zeroing become writes of zeros through the queue; other modes are refused.
TEST_F(FuseExportTest, FallocateModes) {
    struct Case {
        const char* what;
        int mode;
        std::uint64_t offset, length;
        int expect;  // 0 or errno
        std::uint64_t zeroed;
    };
    const std::uint64_t end = kP1Sectors * 512;
    const Case cases[] = {
        {"punch", FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 4096, 1 << 20, 0, 1 << 20},
        {"punch unaligned", FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, (2 << 20) + 1000, 10000, 0, 10000},
        {"zero", FALLOC_FL_ZERO_RANGE, (1 << 20) + 4096, 2 << 20, 0, 2 << 20},
        {"zero+keep", FALLOC_FL_ZERO_RANGE | FALLOC_FL_KEEP_SIZE, 100, 100, 0, 100},
        {"zero+keep past the end", FALLOC_FL_ZERO_RANGE | FALLOC_FL_KEEP_SIZE, end - 512, 4096, 0, 512},
        {"zero past the end", FALLOC_FL_ZERO_RANGE, end - 512, 4096, ENOSPC, 0},
        {"allocate", 0, 0, 4096, EOPNOTSUPP, 0},
        {"allocate+keep", FALLOC_FL_KEEP_SIZE, 0, 4096, EOPNOTSUPP, 0},
        {"collapse", FALLOC_FL_COLLAPSE_RANGE, 0, 4096, EOPNOTSUPP, 0},
        {"insert", FALLOC_FL_INSERT_RANGE, 0, 4096, EOPNOTSUPP, 0},
    };
    int fd = open("tda1", O_RDWR);
    ASSERT_GE(fd, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        long before = QueueSpy::writes.load();
        int rc = ::fallocate(fd, c.mode, static_cast<off_t>(c.offset), static_cast<off_t>(c.length));
        EXPECT_EQ(rc == 0 ? 0 : errno, c.expect);
        if (c.zeroed) {
            std::memset(model_.data() + kP1Start * 512 + c.offset, 0, c.zeroed);
            EXPECT_GT(QueueSpy::writes.load(), before) << "zeros must go through the block layer";
        }
        EXPECT_EQ(firstDifference(), -1);
        struct stat st{};
        ASSERT_EQ(::fstat(fd, &st), 0);
        EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), end);
    }
}

TEST_F(FuseExportTest, FailedBiosAreEIO) {
    int fd = open("tda1", O_RDWR);
    ASSERT_GE(fd, 0);
    const std::uint64_t bad = kP1Start + 64;  // partition sector 64
    std::vector<char> buf(8192);
    for (tav::IoDir dir : {tav::IoDir::Read, tav::IoDir::Write}) {
        SCOPED_TRACE(dir == tav::IoDir::Read ? "read" : "write");
        disk_->failSectors(bad, bad, dir);
        ssize_t n = dir == tav::IoDir::Read ? ::pread(fd, buf.data(), buf.size(), 60 * 512)
                                            : ::pwrite(fd, buf.data(), buf.size(), 60 * 512);
        EXPECT_EQ(n, -1);
        EXPECT_EQ(errno, EIO);
        // The sectors around it still work.
        EXPECT_EQ(::pread(fd, buf.data(), 512, 0), 512);
        disk_->clearFaults();
    }
    EXPECT_EQ(export_.stats().ioErrors, 2);
}

TEST_F(FuseExportTest, WritersOfADiskWithATavfsMountAreRefused) {
    tav::MountOptions mo;
    mo.blockSize = 4096;
    tav::Mount* m = machine_.mount(disk_, 2, mo);
    ASSERT_NE(m, nullptr);
    for (const char* f : {"tda", "tda1", "tda2"}) {
        SCOPED_TRACE(f);
        EXPECT_EQ(open(f, O_RDWR), -1);
        EXPECT_EQ(errno, EBUSY);
        EXPECT_EQ(open(f, O_WRONLY), -1);
        EXPECT_GE(open(f, O_RDONLY), 0) << "reading stays allowed";
    }
    ASSERT_EQ(machine_.unmount(m), 0);
    EXPECT_GE(open("tda1", O_RDWR), 0);
    EXPECT_EQ(export_.stats().busyOpens, 6);
}

// The export stays while the host holds one of its files open.
TEST_F(FuseExportTest, UnmountWhileAFileIsOpenIsRefusedAndServingGoesOn) {
    int fd = open("tda2", O_RDWR);
    ASSERT_GE(fd, 0);
    std::string msg;
    EXPECT_EQ(export_.unmount(false, &msg), -EBUSY) << msg;
    EXPECT_TRUE(export_.mounted());
    auto data = pattern(4096, 3);
    EXPECT_EQ(::pwrite(fd, data.data(), data.size(), 0), 4096);
    EXPECT_EQ(::fsync(fd), 0);
    ::close(fd);
    fds_.clear();
    EXPECT_EQ(export_.unmount(false, &msg), 0) << msg;
    EXPECT_FALSE(export_.mounted());
    EXPECT_FALSE(fs::exists(path("tda2")));
    std::memcpy(model_.data() + kP2Start * 512, data.data(), data.size());
    EXPECT_EQ(firstDifference(), -1);
}

TEST_F(FuseExportTest, RefusesANonEmptyDirectory) {
    fs::create_directories(dir_ / "full");
    std::ofstream(dir_ / "full" / "something") << "x";
    tav::host::FuseExport other;
    ASSERT_EQ(other.addDisk(disk_), 0);
    std::string msg;
    EXPECT_EQ(other.mount((dir_ / "full").string(), &msg), -ENOTEMPTY);
    EXPECT_NE(msg.find("not empty"), std::string::npos) << msg;
    EXPECT_EQ(other.addDisk(disk_), -EEXIST) << "names are unique";
}

}  // namespace

namespace {

// Someone else unmounted it (fusermount3 -u -z): once the host has no user left, there is
// nothing to refuse a stop for.
TEST_F(FuseExportTest, DetachedFromOutsideIsDownWithoutABusyRefusal) {
    auto r = tav::test::run("fusermount3 -u -z " + (dir_ / "x").string());
    ASSERT_EQ(r.code(), 0) << r.out;
    std::string msg;
    EXPECT_EQ(export_.unmount(false, &msg), 0) << msg;
    EXPECT_FALSE(export_.mounted());
}

}  // namespace
