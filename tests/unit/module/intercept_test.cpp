// Write interception: partition and block mapping of a bio, and which requests the hook
// holds for the worker and which it passes straight on, by state, direction, partition
// and block. A request counts as held when mrInQueue grows as its submission returns;
// a copy read held at the disk keeps the worker busy, so nothing leaves the FIFO meanwhile.
#include "tests/unit/module/start_fixture.h"

namespace {

class InterceptTest : public tav::test::BackupTest {
protected:
    // A backup of partition 1 in BACKUP_SNAPSHOT_DONE.
    void startAndSnap(unsigned totalBlocks = 0) {
        makeDisk(4096);
        fd_ = openDevice();
        ASSERT_EQ(startBackup(fd_, totalBlocks), 0);
        ASSERT_EQ(snapShot(fd_), 0);
        b_ = recordOf(fd_);
        ASSERT_EQ(stateOf(fd_), static_cast<unsigned>(BACKUP_SNAPSHOT_DONE));
    }
    // Holds the worker's copy read of block x: submits a write of x and waits until the
    // worker's read of x's old contents is stopped at the disk.
    void wedgeWorkerOn(unsigned x, tav::BioBatch& batch, std::vector<std::uint8_t>& data) {
        gate_ = disk_->hold(sectorOf(1, x), sectorOf(1, x) + bs_ / 512 - 1, tav::IoDir::Read);
        ASSERT_EQ(batch.add(WRITE, sector_t{x} * (bs_ / 512), data.data(), data.size()), 0);
        batch.submit();
        ASSERT_TRUE(disk_->waitHeld(gate_, 1));
        ASSERT_EQ(atomic_read(&b_->mrInQueue), 1);
    }
    int queued() { return atomic_read(&b_->mrInQueue); }

    int fd_ = -1;
    Backup* b_ = nullptr;
    int gate_ = -1;
};

TEST_F(InterceptTest, ABioMapsToThePartitionOfItsFirstSector) {
    makeDisk(4096);
    struct Case {
        std::uint64_t sector;
        int minor;
    } cases[] = {
        {0, 16}, {kP1Start - 1, 16}, {kP1Start, 17}, {kP2Start - 1, 17}, {kP2Start, 18}, {kP3Start + 5, 19},
        {kP3Start + kP3Sectors, 16},
    };
    for (const Case& c : cases) {
        struct bio* bio = bio_alloc(GFP_KERNEL, 1);
        bio->bi_bdev = disk_->bdev(0);
        bio->bi_sector = c.sector;
        EXPECT_EQ(BIOToMinor(bio), c.minor) << "sector " << c.sector;
        bio_put(bio);
    }
}

TEST_F(InterceptTest, ABioMapsToAnInclusiveBlockRangeLimitedToThePartition) {
    DiskInfo di{};
    di.partitionStart = 100;
    di.partitionLen = 800;  // 100 blocks of 4096 bytes
    di.sectorsPerBlockShift = 3;
    struct Case {
        std::uint64_t sector;
        unsigned size, startBN, endBN;
    } cases[] = {
        {100, 4096, 0, 0},          // one aligned block is exactly one block
        {108, 8192, 1, 2},
        {50, 4096, 0, 0},           // starts before the partition: counted from its start
        {100 + 7, 513, 0, 1},       // a partial last sector counts
        {100 + 784, 8192, 98, 99},  // ends exactly at the last sector
        {100 + 792, 16384, 99, 99}, // runs past the end: limited to the last block
        {108, 0, 1, 0},             // empty
    };
    for (const Case& c : cases) {
        struct bio bio {};
        bio.bi_sector = c.sector;
        bio.bi_size = c.size;
        unsigned s = ~0u, e = ~0u;
        BIOToBlockNumbers(&di, &bio, &s, &e);
        EXPECT_EQ(s, c.startBN) << c.sector << "+" << c.size;
        EXPECT_EQ(e, c.endBN) << c.sector << "+" << c.size;
    }
    di.partitionLen = 0;
    struct bio bio {};
    bio.bi_sector = 100 + 16;
    bio.bi_size = 4096;
    unsigned s, e;
    BIOToBlockNumbers(&di, &bio, &s, &e);
    EXPECT_EQ(e, 0u);
}

// With the worker held on the copy of block 10, each request either joins the FIFO behind
// it or completes on its own.
TEST_F(InterceptTest, WhichRequestsWaitInTheFifoWhileTheWorkerIsBusy) {
    unsigned total = fsBlocks() - 4;
    startAndSnap(total);
    auto before10 = raw(1, 10), before20 = raw(1, 20), before30 = raw(1, 30), before40 = raw(1, 40);
    tav::BioBatch first(disk_->bdev(1));
    auto a = filled(0xa1);
    wedgeWorkerOn(10, first, a);

    // Straight on: read-ahead, another partition, a block beyond the backup's block count.
    EXPECT_EQ(submit(1, 20, 1, 0, READA), 0);
    EXPECT_EQ(submit(2, 10, 1, 0xb2), 0);
    EXPECT_EQ(submit(1, total + 1, 1, 0xb3), 0);
    EXPECT_EQ(queued(), 1);
    EXPECT_EQ(raw(2, 10), filled(0xb2));
    EXPECT_EQ(raw(1, total + 1), filled(0xb3));

    // Held: a read of a block still to preserve, a second write of block 10, and a write
    // that carries the read-ahead bit.
    std::vector<std::uint8_t> readBack(bs_), b = filled(0xc4);
    tav::BioBatch later(disk_->bdev(1));
    ASSERT_EQ(later.add(READ, 20 * (bs_ / 512), readBack.data(), bs_), 0);
    ASSERT_EQ(later.add(WRITE, 10 * (bs_ / 512), b.data(), bs_), 0);
    later.submit();
    tav::test::OneBio writeAhead(disk_->bdev(1), 30 * (bs_ / 512), bs_, 0xd5, WRITE | READA);
    writeAhead.submit();
    EXPECT_EQ(queued(), 4);
    EXPECT_EQ(raw(1, 10), before10) << "nothing passed the held copy";

    disk_->release(gate_);
    EXPECT_EQ(first.wait(), 0);
    EXPECT_EQ(later.wait(), 0);
    EXPECT_EQ(writeAhead.wait(), 0);
    disk_->removeHold(gate_);
    EXPECT_TRUE(settled(b_));
    EXPECT_EQ(raw(1, 10), b) << "the second write of block 10 reached the disk after the first";
    EXPECT_EQ(raw(1, 30), filled(0xd5));
    EXPECT_EQ(std::vector<std::uint8_t>(readBack), before20);
    EXPECT_EQ(atomic_read(&b_->totalCBs), 2) << "block 10 copied once, block 30 once, the read not at all";
    EXPECT_EQ(atomic_read(&b_->totalAllocBRs), 2);
    EXPECT_TRUE(blockInMap(&b_->cacheMap, 10) && blockInMap(&b_->cacheMap, 30));
    EXPECT_FALSE(blockInMap(&b_->cacheMap, 20));

    // The image keeps the old contents, the automap has the written blocks.
    unsigned char* area = mapArea(fd_);
    std::vector<std::uint8_t> img;
    ASSERT_EQ(readImage(fd_, area, 0, 64, &img), 0);
    auto at = [&](unsigned n) { return std::vector<std::uint8_t>(img.begin() + n * bs_, img.begin() + (n + 1) * bs_); };
    EXPECT_EQ(at(10), before10);
    EXPECT_EQ(at(30), before30);
    EXPECT_EQ(at(40), before40);
}

// The write bit decides, read-ahead bit or not: such a write is preserved before it lands
// and recorded in the automap, by the backup's hook and by the automap hook after it.
TEST_F(InterceptTest, AWriteWithTheReadAheadBitIsAWrite) {
    startAndSnap();
    auto old30 = raw(1, 30);
    {
        tav::test::OneBio w(disk_->bdev(1), 30 * (bs_ / 512), bs_, 0xd5, WRITE | READA);
        w.submit();
        ASSERT_EQ(w.wait(), 0);
    }
    EXPECT_EQ(raw(1, 30), filled(0xd5));
    EXPECT_EQ(atomic_read(&b_->totalCBs), 1);
    unsigned char* area = mapArea(fd_);
    ReadBlocks r{30, 1, area};
    ASSERT_EQ(tav::sys::ioctl(fd_, TAV_READ_BLOCKS, &r), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(area, area + bs_), old30);
    AutoMapSession* ams = amList[kMajor][kFirstMinor + 1];
    ASSERT_NE(ams, nullptr);
    EXPECT_TRUE(blockInMap(&ams->map, 30));

    tav::sys::exitProcess();
    ASSERT_EQ(queueFn(), &tavAMRF);
    ASSERT_EQ(amsState(ams), static_cast<unsigned>(AMS_IN_SYNC));
    tav::test::OneBio w(disk_->bdev(1), 31 * (bs_ / 512), bs_, 0xd6, WRITE | READA);
    w.submit();
    ASSERT_EQ(w.wait(), 0);
    EXPECT_TRUE(blockInMap(&ams->map, 31));
    EXPECT_EQ(raw(1, 31), filled(0xd6));
}

TEST_F(InterceptTest, APreservedBlockIsNotCopiedAgain) {
    startAndSnap();
    ASSERT_EQ(submit(1, 7, 1, 0x11), 0);
    ASSERT_EQ(atomic_read(&b_->totalCBs), 1);
    long submittedBefore = disk_->stats().submitted;
    ASSERT_EQ(submit(1, 7, 1, 0x22), 0);
    EXPECT_EQ(atomic_read(&b_->totalCBs), 1);
    EXPECT_EQ(disk_->stats().submitted - submittedBefore, 1) << "just the write, no copy read";
    ASSERT_EQ(submit(1, 6, 3, 0x33), 0) << "one new block among three";
    EXPECT_EQ(atomic_read(&b_->totalCBs), 3);
    EXPECT_EQ(raw(1, 6, 3), filled(0x33, 3));
}

TEST_F(InterceptTest, WithABlockMapOnlyItsUnpreservedBlocksAreCopied) {
    startAndSnap();
    auto old11 = raw(1, 11);
    std::vector<std::uint8_t> map((fsBlocks() + 7) / 8, 0);
    map[11 / 8] |= 1 << (11 % 8);
    ASSERT_EQ(loadBlockMap(fd_, map, fsBlocks()), 0);
    ASSERT_EQ(stateOf(fd_), static_cast<unsigned>(BACKUP_MAP_LOADED));

    ASSERT_EQ(submit(1, 9, 1, 0x44), 0);
    EXPECT_EQ(atomic_read(&b_->totalAllocBRs), 0) << "a block outside the map passes straight on";

    tav::BioBatch batch(disk_->bdev(1));
    auto data = filled(0x55, 3);
    int gate = disk_->hold(sectorOf(1, 11), sectorOf(1, 11), tav::IoDir::Read);
    ASSERT_EQ(batch.add(WRITE, 10 * (bs_ / 512), data.data(), data.size()), 0);
    batch.submit();
    EXPECT_EQ(queued(), 1) << "a write that touches one needed block is held whole";
    ASSERT_TRUE(disk_->waitHeld(gate, 1));
    disk_->removeHold(gate);
    ASSERT_EQ(batch.wait(), 0);
    EXPECT_EQ(atomic_read(&b_->totalAllocBRs), 1) << "only the needed block is copied";
    EXPECT_EQ(raw(1, 10, 3), data);

    unsigned char* area = mapArea(fd_);
    ReadBlocks r{11, 1, area};
    ASSERT_EQ(tav::sys::ioctl(fd_, TAV_READ_BLOCKS, &r), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(area, area + bs_), old11);
}

}  // namespace
