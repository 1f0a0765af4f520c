// ReadBlocks: validation, disk reads straight into the mapped area, cached blocks, failed
// and unreachable reads, blocks preserved while their read is in flight, allocation
// retries, partial completions, and an unmap racing a batch.
#include <random>
#include <thread>

#include "kernel/buffer_head.h"
#include "tav/blockio.h"
#include "tests/unit/module/started_record.h"

namespace {

using tav::kernel::logContains;

constexpr std::uint64_t kPartStart = 2048, kPartSectors = 8192;

class ReaderTest : public tav::test::RecordTest {
protected:
    void startOnDisk(unsigned blockSize, unsigned maxCacheBlocks = 1000) {
        tav::DiskConfig cfg;
        cfg.sectors = kPartStart + kPartSectors + 64;
        cfg.partitions = {{kPartStart, kPartSectors, 1}};
        disk_ = tav::Disk::create(cfg);
        ASSERT_TRUE(disk_);
        std::vector<unsigned char> bytes(cfg.sectors * 512);
        std::mt19937 rng(blockSize);
        for (auto& c : bytes) c = static_cast<unsigned char>(rng() | 1);  // never zero
        ASSERT_EQ(disk_->writeRaw(0, bytes.data(), bytes.size()), 0);
        mount_ = tav::Mount::create(disk_->bdev(1), {blockSize, 16, 0});
        ASSERT_TRUE(mount_);
        ASSERT_EQ(getDiskInfo(&b_->diskInfo, disk_->dev(1)), 0);
        blocks_ = static_cast<unsigned>(kPartSectors * 512 / blockSize);
        b_->diskInfo.numBlocks = blocks_;
        ASSERT_EQ(tav::test::startRecord(b_, maxCacheBlocks), 0);
        setBackupState(b_, BACKUP_SNAPSHOT_DONE);
        bs_ = blockSize;
        area_ = static_cast<unsigned char*>(map(static_cast<size_t>(b_->maxVMPages)));
        ASSERT_NE(area_, MAP_FAILED);
        perBatch_ = static_cast<unsigned>(b_->maxVMPages) * 4096 / blockSize;
    }
    void releaseDevices() override {
        mount_.reset();
        disk_.reset();
    }
    std::vector<unsigned char> onDisk(unsigned block) {
        std::vector<unsigned char> v(bs_);
        EXPECT_EQ(disk_->readRaw(kPartStart + std::uint64_t{block} * (bs_ / 512), v.data(), bs_), 0);
        return v;
    }
    std::vector<unsigned char> delivered(unsigned slot) {
        EXPECT_EQ(tav::sys::touch(area_ + std::size_t{slot} * bs_), 0);
        return {area_ + std::size_t{slot} * bs_, area_ + std::size_t{slot + 1} * bs_};
    }
    void expectFromDisk(unsigned start, unsigned count, unsigned skip = ~0u) {
        for (unsigned i = 0; i < count; i++) {
            if (i == skip) continue;
            ASSERT_EQ(delivered(i), onDisk(start + i)) << "block " << start + i;
        }
    }
    std::uint64_t firstSector(unsigned block) { return kPartStart + std::uint64_t{block} * (bs_ / 512); }

    std::unique_ptr<tav::Disk> disk_;
    std::unique_ptr<tav::Mount> mount_;
    unsigned char* area_ = nullptr;
    unsigned bs_ = 0, blocks_ = 0, perBatch_ = 0;
};

TEST_F(ReaderTest, ValidationStepsRefuseWithTheirMessagesAndTouchNothing) {
    startOnDisk(1024);
    memset(pageOf(0, 0), 0x5c, PAGE_SIZE);
    BlockMap aside{};
    struct Case {
        std::function<void()> set, undo;
        unsigned start, count;
        long offset;
        const char* message;
    } cases[] = {
        {[&] { setBackupState(b_, BACKUP_STARTED); }, [&] { setBackupState(b_, BACKUP_SNAPSHOT_DONE); }, 0, 1, 0,
         "<3>ioctlReadBlocks: state (2) not valid"},
        {[] {}, [] {}, 0xFFFFFFF0u, 0x20, 0, "<3>ioctlReadBlocks: invalid block read range (4294967280-16)"},
        {[&] { setBackupState(b_, BACKUP_MAP_LOADED); }, [&] { setBackupState(b_, BACKUP_SNAPSHOT_DONE); }, 0, 1, 0,
         "<3>ioctlReadBlocks: block map is null"},
        {[&] { loadMap(10, {}); }, [&] { closeBUBlockMap(b_); setBackupState(b_, BACKUP_SNAPSHOT_DONE); }, 0, 11, 0,
         "<3>ioctlReadBlocks: end block number out of block map range"},
        {[&] { std::swap(aside, b_->cacheMap); }, [&] { std::swap(aside, b_->cacheMap); }, 0, 1, 0,
         "<3>ioctlReadBlocks: cache map is null"},
        {[] {}, [] {}, 4096 - 10, 11, 0, "<3>ioctlReadBlocks: block num (4097) out of range (4096)"},
        {[] {}, [] {}, 0, 1, 4096, "<3>ioctlReadBlocks: invalid data pointer"},
        {[] {}, [] {}, 0, 257, 0,
         "<3>ioctlReadBlocks: tried to read (257) number of blocks size (1024) and mmap region can hold (262144) "
         "bytes"},
    };
    long submitted = disk_->stats().submitted;
    for (Case& c : cases) {
        SCOPED_TRACE(c.message);
        c.set();
        EXPECT_EQ(readBlocksIoctl(c.start, c.count, area_ + c.offset), TAV_ERR_INVALID);
        EXPECT_TRUE(logContains(c.message));
        c.undo();
    }
    EXPECT_EQ(disk_->stats().submitted, submitted);
    EXPECT_EQ(std::count(pageOf(0, 0), pageOf(0, 0) + PAGE_SIZE, 0x5c), static_cast<long>(PAGE_SIZE));
    EXPECT_EQ(readBlocksIoctl(4096, 0, area_), 0) << "count 0 at the end: nothing to read";
    EXPECT_EQ(disk_->stats().submitted, submitted);
}

class ReaderBlockSizeTest : public ReaderTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(ReaderBlockSizeTest, AFullBatchGoesStraightToTheDiskAndIntoTheMappedArea) {
    startOnDisk(GetParam());
    unsigned start = blocks_ - perBatch_;  // ends exactly at the cache map's size
    EXPECT_EQ(perBatch_, 256U);
    tav::DiskStats before = disk_->stats();
    ASSERT_EQ(readBlocksIoctl(start, perBatch_, area_), 0);
    expectFromDisk(start, perBatch_);
    tav::DiskStats after = disk_->stats();
    EXPECT_EQ(after.submitted - before.submitted, 256);
    EXPECT_GT(after.largestTransferBios, 1) << "the batch is submitted whole, so the disk can merge it";
    EXPECT_EQ(atomic_read(&b_->totalReadBlocks), 256);
    EXPECT_EQ(atomic_read(&b_->totalAllocBRs), 256);
    EXPECT_EQ(atomic_read(&b_->curAllocBRs), 0);
    EXPECT_EQ(settled(tav::kernel::live().bios, before_.bios), before_.bios);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, ReaderBlockSizeTest, ::testing::Values(512u, 1024u, 4096u));

TEST_F(ReaderTest, CachedBlocksComeFromTheCacheAndNeverFromTheDisk) {
    startOnDisk(4096);
    for (unsigned n = 100; n < 104; n++) ASSERT_EQ(save(n, static_cast<unsigned char>(n)), 0);
    long submitted = disk_->stats().submitted;
    ASSERT_EQ(readBlocksIoctl(100, 4, area_), 0);
    EXPECT_EQ(disk_->stats().submitted, submitted);
    for (unsigned i = 0; i < 4; i++) EXPECT_EQ(delivered(i), std::vector<unsigned char>(4096, 100 + i));

    ASSERT_EQ(readBlocksIoctl(98, 8, area_), 0) << "mixed: two cached blocks in the middle";
    EXPECT_EQ(disk_->stats().submitted, submitted + 4);
    EXPECT_EQ(delivered(3), std::vector<unsigned char>(4096, 101));
    EXPECT_EQ(delivered(6), onDisk(104));
    EXPECT_EQ(atomic_read(&b_->totalReadCBs), 8);
    EXPECT_EQ(atomic_read(&b_->curCBs), 4) << "records stay until the map is loaded";
}

TEST_F(ReaderTest, AnUnreadableBlockReadsAsZerosAndStillCountsAsDelivered) {
    startOnDisk(1024);
    loadMap(blocks_, {});
    for (unsigned n = 0; n < 16; n++) setBlock(&b_->blockMap, 40 + n);
    disk_->failSectors(firstSector(45), firstSector(45) + 1, tav::IoDir::Read);
    EXPECT_EQ(readBlocksIoctl(40, 16, area_), TAV_ERR_READ_IO);
    EXPECT_EQ(delivered(5), std::vector<unsigned char>(1024, 0));
    expectFromDisk(40, 16, 5);
    for (unsigned n = 0; n < 16; n++) EXPECT_EQ(blockInMap(&b_->blockMap, 40 + n), 0) << 40 + n;
    EXPECT_TRUE(logContains("<4>tavBHEndIO: buffer_head I/O error bh="));
    EXPECT_TRUE(logContains("block=45"));
    EXPECT_TRUE(logContains("<4>ioctlReadBlocks: Received an IO error while reading sectors for backup."));
}

TEST_F(ReaderTest, AnUnreadableBlockKeepsFailingForTheBackup) {
    startOnDisk(1024);
    loadMap(blocks_, {});
    for (unsigned n = 0; n < 16; n++) setBlock(&b_->blockMap, 40 + n);
    disk_->failSectors(firstSector(45), firstSector(45) + 1, tav::IoDir::Read);
    ASSERT_EQ(readBlocksIoctl(40, 16, area_), TAV_ERR_READ_IO);
    disk_->clearFaults();
    // No longer preserved: a later write reaches the disk as it is.
    std::vector<unsigned char> fresh(1024, 0xee);
    ASSERT_EQ(disk_->writeRaw(firstSector(45), fresh.data(), fresh.size()), 0);
    for (unsigned start : {40u, 45u}) {
        SCOPED_TRACE(start);
        EXPECT_EQ(readBlocksIoctl(start, 8, area_), TAV_ERR_READ_IO) << "the disk reads fine now";
        EXPECT_EQ(delivered(45 - start), std::vector<unsigned char>(1024, 0));
    }
    EXPECT_EQ(readBlocksIoctl(46, 8, area_), 0) << "the other blocks are unaffected";
    expectFromDisk(46, 8);
}

TEST_F(ReaderTest, WithoutMemoryToRememberAnUnreadableBlockTheBackupFails) {
    startOnDisk(1024);
    loadMap(blocks_, {});
    for (unsigned n = 0; n < 8; n++) setBlock(&b_->blockMap, 40 + n);
    disk_->failSectors(firstSector(45), firstSector(45) + 1, tav::IoDir::Read);
    tav::fault::add(tav::fault::failNth(tav::fault::Site::Vmalloc, 1));
    EXPECT_EQ(readBlocksIoctl(40, 8, area_), TAV_ERR_INVALID);
    EXPECT_EQ(tav::fault::fired(tav::fault::Site::Vmalloc), 1);
    EXPECT_TRUE(logContains("<3>markReadFailed: no memory to remember unreadable block (45), backup failed"));
    EXPECT_EQ(backupState(b_), static_cast<unsigned>(BACKUP_ERR_BLOCK_READ));
    EXPECT_EQ(readBlocksIoctl(48, 1, area_), TAV_ERR_INVALID) << "refused from now on";
}

TEST_F(ReaderTest, ABlockPreservedWhileItsReadIsInFlightIsDeliveredFromTheCache) {
    startOnDisk(4096);
    int gate = disk_->hold(firstSector(7), firstSector(7), tav::IoDir::Read);
    int rc = -1;
    std::thread reader([&] { rc = readBlocksIoctl(5, 4, area_); });
    ASSERT_TRUE(disk_->waitHeld(gate, 1));
    // The worker's part of a racing write: old contents cached, then the write reaches the disk.
    std::vector<unsigned char> old = onDisk(7);
    ASSERT_EQ(save(7, 0, false), 0);
    memcpy(b_->blockTable[7]->busy->data, old.data(), 4096);
    std::vector<unsigned char> fresh(4096, 0xee);
    ASSERT_EQ(disk_->writeRaw(firstSector(7), fresh.data(), 4096), 0);
    disk_->removeHold(gate);
    reader.join();
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(delivered(2), old);
    expectFromDisk(5, 2);
}

TEST_F(ReaderTest, ABatchDuringWhichTheBackupFailedDoesNotCountAsRead) {
    startOnDisk(4096);
    int gate = disk_->hold(firstSector(2), firstSector(2), tav::IoDir::Read);
    int rc = -1;
    std::thread reader([&] { rc = readBlocksIoctl(0, 4, area_); });
    ASSERT_TRUE(disk_->waitHeld(gate, 1));
    setBackupState(b_, BACKUP_ERR_CACHE);  // the worker gave up: writes now pass unpreserved
    disk_->removeHold(gate);
    reader.join();
    EXPECT_EQ(rc, TAV_ERR_INVALID);
    EXPECT_TRUE(logContains("<3>ioctlReadBlocks: state (10) not valid"));
    EXPECT_EQ(atomic_read(&b_->curAllocBRs), 0);
}

TEST_F(ReaderTest, AMissingCachedBlockFailsTheBatchAndDeliversNothing) {
    startOnDisk(1024);
    ASSERT_EQ(save(900, 1), 0);
    loadMap(blocks_, {});
    for (unsigned n = 0; n < 8; n++) setBlock(&b_->blockMap, n);
    setBlock(&b_->cacheMap, 3);  // marked preserved, but no record
    EXPECT_EQ(readBlocksIoctl(0, 8, area_), TAV_ERR_INVALID);
    EXPECT_TRUE(logContains("<4>readFromCache: expected to read block number (3) from cache and block not found"));
    EXPECT_TRUE(logContains(
        "<3>ioctlReadBlocks: read (7) blocks from disk and (0) blocks from cache and expected to read (8) blocks"));
    for (unsigned n = 0; n < 8; n++) EXPECT_NE(blockInMap(&b_->blockMap, n), 0) << "block " << n << " not delivered";
    EXPECT_EQ(atomic_read(&b_->curAllocBRs), 0);
}

TEST_F(ReaderTest, ReadAllocationsRetryUntilTheyGetMemory) {
    startOnDisk(1024);
    using tav::fault::Site;
    tav::fault::Rule bh = tav::fault::failNth(Site::AllocBufferHead, 1);
    bh.times = 3;
    tav::fault::add(tav::fault::failNth(Site::Kmalloc, 2));
    tav::fault::add(bh);
    tav::fault::add(tav::fault::failNth(Site::BioAlloc, 5));
    ASSERT_EQ(readBlocksIoctl(0, 32, area_), 0);
    EXPECT_EQ(tav::fault::fired(Site::Kmalloc), 1);
    EXPECT_EQ(tav::fault::fired(Site::AllocBufferHead), 3);
    EXPECT_EQ(tav::fault::fired(Site::BioAlloc), 1);
    expectFromDisk(0, 32);
}

TEST_F(ReaderTest, AReadThatCannotReachADriverFailsAsAnIOError) {
    startOnDisk(1024);
    struct block_device* real = b_->diskInfo.bdev;
    struct block_device* diskless = bdget(MKDEV(250, 3));
    b_->diskInfo.bdev = diskless;
    EXPECT_EQ(readBlocksIoctl(0, 2, area_), TAV_ERR_READ_IO);
    b_->diskInfo.bdev = real;
    bdput(diskless);
    EXPECT_TRUE(logContains("<3>callRealMRF: Block read error: (bdev queue is null) MAJOR=8 MINOR=1"));
    EXPECT_EQ(delivered(1), std::vector<unsigned char>(1024, 0));
}

TEST_F(ReaderTest, APartialCompletionEndsTheBlockOnlyWhenItIsWhole) {
    startOnDisk(1024);
    struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
    struct bio* bio = bio_alloc(GFP_NOIO, 1);
    initBH(b_, bh, b_->vmAreas[0].mmPages[0], 1024, 9);
    initBIO(b_, bio, bh);
    EXPECT_EQ(bio->bi_sector, kPartStart + 18);
    EXPECT_EQ(atomic_read(&bio->bi_cnt), 2);
    bio_endio(bio, 512, 0);
    EXPECT_TRUE(buffer_locked(bh));
    EXPECT_TRUE(logContains("<4>tavBIOEndIO: IO info, size=512"));
    EXPECT_TRUE(logContains(", major=8, sector=" + std::to_string(kPartStart + 19)));
    bio_endio(bio, 512, -EOPNOTSUPP);
    EXPECT_FALSE(buffer_locked(bh));
    EXPECT_FALSE(buffer_uptodate(bh));
    EXPECT_TRUE(bio_flagged(bio, BIO_EOPNOTSUPP));
    EXPECT_TRUE(buffer_eopnotsupp(bh));
    EXPECT_EQ(atomic_read(&bio->bi_cnt), 1) << "the completion's reference is dropped once";
    bio_put(bio);
    free_buffer_head(bh);
}

TEST_F(ReaderTest, UnmappingAnAreaWaitsForTheBatchThatFillsIt) {
    startOnDisk(1024);
    int gate = disk_->hold(firstSector(0), firstSector(0), tav::IoDir::Read);
    int rc = -1;
    std::thread reader([&] { rc = readBlocksIoctl(0, 4, area_); });
    ASSERT_TRUE(disk_->waitHeld(gate, 1));
    std::thread unmapper([&] { EXPECT_EQ(unmap(area_), 0); });
    while (semaphoreWaiters(&b_->bSem) == 0) std::this_thread::yield();
    EXPECT_NE(b_->vmAreas[0].vma, nullptr) << "the area outlives the batch";
    EXPECT_NE(b_->vmAreas[0].mmPages[0], nullptr);
    disk_->removeHold(gate);
    reader.join();
    unmapper.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(b_->vmAreas[0].vma, nullptr);
    EXPECT_EQ(b_->vmAreas[0].mmPages[0], nullptr);
}

}  // namespace
