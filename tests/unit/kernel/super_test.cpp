// Super blocks and tavfs: lookup and mount rules, block sizes from ext super blocks, the
// write-back cache, freeze/thaw, direct I/O and write-back errors.
#include <future>
#include <mutex>
#include <utility>

#include "kernel/blkdev.h"
#include "kernel/printk.h"
#include "kernel/sched.h"
#include "kernel/super.h"
#include "tests/unit/drivers/block_fixture.h"

namespace {

using tav::test::pattern;

constexpr std::uint64_t kStart = 63;  // partition 1's first sector

class SuperTest : public tav::test::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        disk_ = tav::test::ramDisk(8192, {{kStart, 4096, 1}}, "tdf");
        ASSERT_TRUE(disk_);
        part_ = disk_->bdev(1);
    }
    void TearDown() override {
        disk_.reset();
        PlatformTest::TearDown();
    }
    std::unique_ptr<tav::Mount> mount(unsigned blockSize, unsigned delayMs = 0, unsigned cacheBlocks = 64) {
        int err = 0;
        auto m = tav::Mount::create(part_, {blockSize, cacheBlocks, delayMs}, &err);
        EXPECT_TRUE(m) << "mount failed: " << err;
        return m;
    }
    std::vector<unsigned char> raw(std::uint64_t block, unsigned blockSize, unsigned count = 1) {
        std::vector<unsigned char> v(std::size_t{blockSize} * count);
        EXPECT_EQ(disk_->readRaw(kStart + block * (blockSize / 512), v.data(), v.size()), 0);
        return v;
    }
    std::unique_ptr<tav::Disk> disk_;
    struct block_device* part_ = nullptr;
};

TEST_F(SuperTest, GetSuperFindsTheFileSystemOnExactlyThatBdev) {
    EXPECT_EQ(get_super(part_), nullptr);
    {
        auto m = mount(1024);
        struct super_block* sb = get_super(part_);
        ASSERT_EQ(sb, m->superBlock());
        EXPECT_EQ(sb->s_blocksize, 1024u);
        EXPECT_EQ(sb->s_blocksize_bits, 10);
        EXPECT_EQ(sb->s_bdev, part_);
        EXPECT_EQ(m->blocks(), 4096u / 2);
        EXPECT_EQ(part_->bd_block_size, 1024u);
        EXPECT_EQ(get_super(disk_->bdev(0)), nullptr) << "the whole disk carries no file system";
        drop_super(sb);

        int err = 0;
        EXPECT_EQ(tav::Mount::create(part_, {1024, 8, 0}, &err), nullptr);
        EXPECT_EQ(err, -EBUSY);
        EXPECT_EQ(m->unmount(), 0);
    }
    EXPECT_EQ(get_super(part_), nullptr);
    EXPECT_EQ(part_->bd_block_size, 512u);

    int err = 0;
    EXPECT_EQ(tav::Mount::create(part_, {3000, 8, 0}, &err), nullptr);
    EXPECT_EQ(err, -EINVAL);
    struct block_device* nowhere = bdget(MKDEV(201, 0));
    EXPECT_EQ(tav::Mount::create(nowhere, {1024, 8, 0}, &err), nullptr);
    EXPECT_EQ(err, -ENXIO);
    bdput(nowhere);
}

TEST_F(SuperTest, BlockSizeComesFromAnExtSuperBlock) {
    int err = 0;
    EXPECT_EQ(tav::Mount::create(part_, {0, 8, 0}, &err), nullptr);
    EXPECT_EQ(err, -EINVAL) << "no ext magic on a blank partition";

    unsigned char sb[1024] = {};
    sb[24] = 1;  // s_log_block_size: 1024 << 1
    sb[56] = 0x53;
    sb[57] = 0xEF;
    ASSERT_EQ(disk_->writeRaw(kStart + 2, sb, sizeof(sb)), 0);
    auto m = mount(0);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->blockSize(), 2048u);
    unsigned bs = 0;
    EXPECT_EQ(tav::kernel::readExtBlockSize(part_, &bs), 0);
    EXPECT_EQ(bs, 2048u);
}

TEST_F(SuperTest, MkfsImageGivesItsBlockSize) {
    if (std::system("command -v mke2fs >/dev/null 2>&1") != 0) GTEST_SKIP() << "mke2fs is not installed";
    std::string path = tav::test::tempPath("mkfs");
    std::string cmd = "truncate -s 8M " + path + " && mke2fs -q -F -t ext4 -b 4096 " + path + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    tav::DiskConfig c;
    c.name = "tdm";
    c.major = 9;
    c.backing = tav::Backing::File;
    c.path = path;
    auto disk = tav::Disk::create(c);
    ASSERT_TRUE(disk);
    auto m = tav::Mount::create(disk->bdev(0), {0, 8, 0});
    ASSERT_TRUE(m);
    EXPECT_EQ(m->blockSize(), 4096u);
    EXPECT_EQ(m->blocks(), 2048u);
    m.reset();
    disk.reset();
    std::remove(path.c_str());
}

struct WriteCounter {
    static inline std::atomic<int> bios{0};
    static inline std::atomic<sector_t> firstSector{0};
    static inline make_request_fn* real = nullptr;
    static int fn(request_queue_t* q, struct bio* bio) {
        if (bio_data_dir(bio) == WRITE && bios++ == 0) firstSector = bio->bi_sector;
        return real(q, bio);
    }
};

TEST_F(SuperTest, CachedWritesReachTheDiskThroughTheQueue) {
    WriteCounter::bios = 0;
    WriteCounter::real = disk_->queue()->make_request_fn;
    disk_->queue()->make_request_fn = WriteCounter::fn;
    auto m = mount(2048);
    auto a = pattern(1000, 2 * 2048), b = pattern(2000, 2048);
    ASSERT_EQ(m->write(1, a.data(), 2), 0);
    ASSERT_EQ(m->write(7, b.data()), 0);
    EXPECT_EQ(m->dirtyBlocks(), 3u);
    EXPECT_EQ(raw(1, 2048, 2), std::vector<unsigned char>(2 * 2048, 0)) << "written before any write-back";
    std::vector<unsigned char> back(2048);
    ASSERT_EQ(m->read(7, back.data()), 0);
    EXPECT_EQ(back, b);
    EXPECT_EQ(m->stats().cacheHits, 1);

    EXPECT_EQ(fsync_bdev(part_), 0);
    EXPECT_EQ(m->dirtyBlocks(), 0u);
    EXPECT_EQ(raw(1, 2048, 2), a);
    EXPECT_EQ(raw(7, 2048), b);
    EXPECT_EQ(m->stats().writebackBios, 2) << "blocks 1 and 2 go as one bio";
    EXPECT_EQ(WriteCounter::bios.load(), 2) << "write-back must pass the queue's make_request_fn";
    EXPECT_EQ(WriteCounter::firstSector.load(), kStart + 4) << "the hook sees whole-disk sectors";
    m.reset();
    disk_->queue()->make_request_fn = WriteCounter::real;
}

TEST_F(SuperTest, FlusherWritesBackAfterTheDelay) {
    auto m = mount(4096, 5);
    auto a = pattern(77, 4096);
    ASSERT_EQ(m->write(3, a.data()), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (m->stats().writebackBios == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(m->stats().writebackBios, 1) << "the flusher never wrote the block";
    EXPECT_EQ(m->sync(), 0);  // waits for that bio; has nothing of its own to write
    EXPECT_EQ(m->stats().writebackBios, 1);
    EXPECT_EQ(raw(3, 4096), a);
}

TEST_F(SuperTest, FreezeFlushesStopsWritersAndRunsTheSyncPoint) {
    auto m = mount(1024);
    auto a = pattern(5, 1024), b = pattern(6, 1024);
    ASSERT_EQ(m->write(5, a.data()), 0);
    std::vector<unsigned char> atFreeze;
    int frozenLevel = -1;
    m->setFreezeSyncPoint([&](struct super_block* sb) {
        atFreeze = raw(5, 1024);
        frozenLevel = sb->s_frozen.load();
    });

    struct super_block* sb = freeze_bdev(part_);
    ASSERT_EQ(sb, m->superBlock());
    EXPECT_EQ(atFreeze, a) << "the sync point must see the flushed data on disk";
    EXPECT_EQ(frozenLevel, SB_FREEZE_TRANS);
    auto writer = std::async(std::launch::async, [&] { return m->write(6, b.data()); });
    auto direct = std::async(std::launch::async, [&] { return m->writeDirect(8, b.data()); });
    EXPECT_EQ(writer.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
        << "a write went through a frozen file system";
    EXPECT_EQ(direct.wait_for(std::chrono::milliseconds(1)), std::future_status::timeout);
    EXPECT_EQ(raw(8, 1024), std::vector<unsigned char>(1024, 0));
    thaw_bdev(part_, sb);
    EXPECT_EQ(writer.get(), 0);
    EXPECT_EQ(direct.get(), 0);
    EXPECT_EQ(raw(8, 1024), b);
}

// As ext3: a journal block and the super block are written inside freeze_bdev, and the
// super block again inside thaw_bdev, by the task that freezes or thaws, through the
// queue (a hook sees them), and with the blocks' own bytes.
struct WriteLog {
    static inline make_request_fn* real = nullptr;
    static inline std::mutex lock;
    static inline std::vector<std::pair<sector_t, pid_t>> writes;  // guarded by lock
    static int fn(request_queue_t* q, struct bio* bio) {
        if (bio_data_dir(bio) == WRITE) {
            std::lock_guard g(lock);
            writes.emplace_back(bio->bi_sector, current->pid);
        }
        return real(q, bio);
    }
    static std::vector<std::pair<sector_t, pid_t>> take() {
        std::lock_guard g(lock);
        return std::exchange(writes, {});
    }
};

TEST_F(SuperTest, FreezeAndThawWriteTheJournalAndSuperBlockFromTheirTask) {
    auto m = mount(1024);
    request_queue_t* q = disk_->queue();
    WriteLog::real = q->make_request_fn;
    unsigned long flags;
    spin_lock_irqsave(q->queue_lock, flags);
    q->make_request_fn = WriteLog::fn;
    spin_unlock_irqrestore(q->queue_lock, flags);
    auto super = raw(1, 1024), journal = raw(1024, 1024);
    const pid_t me = current->pid;
    using Writes = std::vector<std::pair<sector_t, pid_t>>;

    struct super_block* sb = freeze_bdev(part_);
    ASSERT_NE(sb, nullptr);
    EXPECT_EQ(WriteLog::take(), (Writes{{kStart + 2048, me}, {kStart + 2, me}})) << "journal, then super block";
    thaw_bdev(part_, sb);
    EXPECT_EQ(WriteLog::take(), (Writes{{kStart + 2, me}}));
    EXPECT_EQ(raw(1, 1024), super);
    EXPECT_EQ(raw(1024, 1024), journal);
    spin_lock_irqsave(q->queue_lock, flags);
    q->make_request_fn = WriteLog::real;
    spin_unlock_irqrestore(q->queue_lock, flags);
}

TEST_F(SuperTest, FreezeFaultAndNothingMountedReturnNull) {
    EXPECT_EQ(freeze_bdev(part_), nullptr) << "nothing mounted";
    thaw_bdev(part_, nullptr);
    auto m = mount(1024);
    tav::fault::add(tav::fault::failNth(tav::fault::Site::Freeze, 1));
    EXPECT_EQ(freeze_bdev(part_), nullptr);
    EXPECT_EQ(tav::fault::fired(tav::fault::Site::Freeze), 1);
    thaw_bdev(part_, nullptr);
    // bd_mount_sem was given back: the next freeze works.
    auto next = std::async(std::launch::async, [&] { return freeze_bdev(part_); });
    ASSERT_EQ(next.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    struct super_block* sb = next.get();
    EXPECT_EQ(sb, m->superBlock());
    thaw_bdev(part_, sb);
}

TEST_F(SuperTest, UnmountWaitsForThaw) {
    auto m = mount(1024);
    struct super_block* sb = freeze_bdev(part_);
    ASSERT_NE(sb, nullptr);
    auto unmount = std::async(std::launch::async, [&] { return m->unmount(); });
    EXPECT_EQ(unmount.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    thaw_bdev(part_, sb);
    EXPECT_EQ(unmount.get(), 0);
    EXPECT_EQ(get_super(part_), nullptr);
}

TEST_F(SuperTest, FullCacheWritesBackToMakeRoom) {
    auto m = mount(512, 0, 4);
    auto data = pattern(0, 12 * 512, 3);
    for (unsigned i = 0; i < 12; ++i) ASSERT_EQ(m->write(i * 2, data.data() + i * 512), 0);
    EXPECT_GT(m->stats().fullFlushes, 0);
    EXPECT_LE(m->dirtyBlocks(), 4u);
    std::vector<unsigned char> back(512);
    for (unsigned i = 0; i < 12; ++i) {
        ASSERT_EQ(m->read(i * 2, back.data()), 0);
        EXPECT_EQ(0, std::memcmp(back.data(), data.data() + i * 512, 512)) << "block " << i * 2;
    }
    EXPECT_EQ(m->sync(), 0);
    for (unsigned i = 0; i < 12; ++i)
        EXPECT_EQ(0, std::memcmp(raw(i * 2, 512).data(), data.data() + i * 512, 512)) << "block " << i * 2;
}

TEST_F(SuperTest, DirectWritesSupersedeCachedData) {
    auto m = mount(1024);
    auto a = pattern(3, 1024, 1), b = pattern(3, 1024, 2);
    ASSERT_EQ(m->write(3, a.data()), 0);
    std::vector<unsigned char> back(1024);
    ASSERT_EQ(m->readDirect(3, back.data()), 0);
    EXPECT_EQ(back, std::vector<unsigned char>(1024, 0)) << "a direct read must bypass the cache";
    ASSERT_EQ(m->writeDirect(3, b.data()), 0);
    EXPECT_EQ(raw(3, 1024), b);
    ASSERT_EQ(m->read(3, back.data()), 0);
    EXPECT_EQ(back, b);
    EXPECT_EQ(m->sync(), 0);
    EXPECT_EQ(raw(3, 1024), b) << "stale cached data was written over the direct write";
}

TEST_F(SuperTest, WriteBackErrorsReachFsyncOnce) {
    auto m = mount(1024);
    disk_->failSectors(kStart + 4, kStart + 4, tav::IoDir::Write);
    auto data = pattern(0, 3 * 1024);
    ASSERT_EQ(m->write(1, data.data(), 3), 0);
    EXPECT_EQ(m->sync(), -EIO);
    EXPECT_EQ(m->stats().writeErrors, 3) << "the failed bio carried blocks 1 to 3";
    EXPECT_TRUE(tav::kernel::logContains("Buffer I/O error on device tdf1, logical block 1"));
    EXPECT_EQ(m->sync(), 0) << "an error is reported once";
    disk_->clearFaults();
}

}  // namespace
