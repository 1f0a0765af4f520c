// The incremental backup: a first backup is read while writers go on, closes, and writes
// continue through the automap hook; a second backup presenting the first one's key gets
// exactly the blocks written between the two freezes as its change map, loads it, reads
// those blocks while writers still go on, and the first image with them laid over equals
// the device as it stood at the second snapshot.
#include "tests/unit/module/pointintime_fixture.h"

namespace {

class IncrementalTest : public tav::test::BackupTest, public ::testing::WithParamInterface<unsigned> {
protected:
    // Snapshot with the device captured while frozen.
    int snapCapturing(int fd, const AMSessionKey* key, std::vector<std::uint8_t>* truth) {
        truth->resize(std::size_t{fsBlocks()} * bs_);
        mount1()->setFreezeSyncPoint(
            [&](struct super_block*) { EXPECT_EQ(disk_->readRaw(kP1Start, truth->data(), truth->size()), 0); });
        int rc = snapShot(fd, key, key ? AMS_KEY_LEN : 0);
        mount1()->setFreezeSyncPoint(nullptr);
        return rc;
    }
};

TEST_P(IncrementalTest, TheChangeMapHoldsExactlyTheBlocksWrittenBetweenTheFreezes) {
    makeDisk(GetParam(), kP1Sectors, 5);
    const unsigned n = fsBlocks(), bsz = bs_;
    tav::test::Writers writers(mount1(), disk_->bdev(1), disk_->bdev(2), bsz, n,
                               static_cast<unsigned>(kP2Sectors * 512 / bsz));
    writers.start(1);
    ASSERT_TRUE(writers.waitWrites(30));
    writers.stop();
    writers.takeWritten();

    // First backup, read whole while writers go on.
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    unsigned char* area = mapArea(fd);
    std::vector<std::uint8_t> truth1, base;
    ASSERT_EQ(snapCapturing(fd, nullptr, &truth1), 0);
    writers.start(2);
    ASSERT_EQ(readImage(fd, area, 0, n, &base), 0);
    ASSERT_TRUE(writers.waitWrites(30));
    writers.stop();
    ASSERT_EQ(base, truth1);
    AMSessionKey key = autoMapState(fd).amsKey;
    tav::sys::munmap(area, static_cast<size_t>(getState(fd).mmapSize));
    ASSERT_EQ(tav::sys::close(fd), 0);
    ASSERT_EQ(queueFn(), &tavAMRF);

    // Writes between the backups.
    writers.start(3);
    ASSERT_TRUE(writers.waitWrites(60));
    writers.stop();
    std::set<unsigned> changed = writers.takeWritten();
    ASSERT_FALSE(changed.empty());

    // Second backup: its change map.
    fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    area = mapArea(fd);
    std::vector<std::uint8_t> truth2;
    ASSERT_EQ(snapCapturing(fd, &key, &truth2), 0);
    ASSERT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_SNAPSHOT_DONE));
    std::vector<std::uint8_t> bits;
    ASSERT_EQ(getAutoMap(fd, n, &bits), 0);
    std::set<unsigned> reported;
    for (unsigned i = 0; i < n; i++)
        if (bits[i / 8] & (1 << (i % 8))) reported.insert(i);
    EXPECT_EQ(reported, changed);
    std::vector<std::uint8_t> again;
    EXPECT_EQ(getAutoMap(fd, n, &again), TAV_ERR_INVALID) << "the change map is handed out once";
    AutoMapState renewed = autoMapState(fd);
    EXPECT_NE(memcmp(renewed.amsKey.key, key.key, AMS_KEY_LEN), 0);
    EXPECT_EQ(renewed.state, static_cast<unsigned>(AMS_IN_SYNC));

    // Only the changed blocks, read while writers go on, laid over the first image.
    ASSERT_EQ(loadBlockMap(fd, bits, n), 0);
    writers.start(4);
    unsigned perBatch = static_cast<unsigned>(getState(fd).mmapSize) / bsz;
    for (auto it = reported.begin(); it != reported.end();) {
        unsigned start = *it, count = 0;
        while (it != reported.end() && *it == start + count && count < perBatch) ++it, ++count;
        ReadBlocks r{start, count, area};
        ASSERT_EQ(tav::sys::ioctl(fd, TAV_READ_BLOCKS, &r), 0);
        memcpy(&base[std::size_t{start} * bsz], area, std::size_t{count} * bsz);
    }
    ASSERT_TRUE(writers.waitWrites(20));
    writers.stop();
    EXPECT_EQ(writers.errors(), 0);
    EXPECT_EQ(base, truth2);
    ASSERT_EQ(tav::sys::close(fd), 0);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, IncrementalTest, ::testing::Values(1024u, 4096u));

}  // namespace
