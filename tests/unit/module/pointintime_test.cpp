// The point-in-time image: writers overwrite random blocks of both partitions before,
// during and after the snapshot and all through the read; the image read with ReadBlocks
// equals, byte for byte, partition 1 as it stood when the backup became
// BACKUP_SNAPSHOT_DONE, captured while the file system was frozen. With a block map
// loaded, the blocks of the map are the ones that must match.
#include "tests/unit/module/pointintime_fixture.h"

namespace {

struct PointInTime {
    unsigned blockSize;
    bool withMap;
    bool bioBased = false;  // the disk's queue has no queue_lock
};

void PrintTo(const PointInTime& p, std::ostream* os) {
    *os << p.blockSize << (p.withMap ? " with map" : "") << (p.bioBased ? " bio-based" : "");
}

class PointInTimeTest : public tav::test::BackupTest, public ::testing::WithParamInterface<PointInTime> {};

TEST_P(PointInTimeTest, TheImageIsTheDeviceAsItStoodAtTheSnapshot) {
    const unsigned bsz = GetParam().blockSize;
    queueLock_ = !GetParam().bioBased;
    freezeWrites_ = true;
    makeDisk(bsz, kP1Sectors, 5);
    const unsigned n = fsBlocks();
    tav::test::Writers writers(mount1(), disk_->bdev(1), disk_->bdev(2), bsz, n,
                               static_cast<unsigned>(kP2Sectors * 512 / bsz));
    writers.start(bsz + GetParam().withMap);
    ASSERT_TRUE(writers.waitWrites(40));

    int fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    Backup* b = recordOf(fd);
    unsigned char* area = mapArea(fd);
    ASSERT_NE(area, nullptr);
    ASSERT_TRUE(writers.waitWrites(40));

    std::vector<std::uint8_t> truth(std::size_t{n} * bsz);
    mount1()->setFreezeSyncPoint(
        [&](struct super_block*) { EXPECT_EQ(disk_->readRaw(kP1Start, truth.data(), truth.size()), 0); });
    ASSERT_EQ(snapShot(fd), 0);
    mount1()->setFreezeSyncPoint(nullptr);
    ASSERT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_SNAPSHOT_DONE));

    std::vector<std::uint8_t> map((n + 7) / 8, 0);
    if (GetParam().withMap) {
        std::mt19937 rng(bsz);
        for (unsigned i = 0; i < n; i++)
            if (rng() % 2) map[i / 8] |= static_cast<std::uint8_t>(1 << (i % 8));
        ASSERT_TRUE(writers.waitWrites(20));
        ASSERT_EQ(loadBlockMap(fd, map, n), 0);
    } else {
        std::fill(map.begin(), map.end(), 0xff);
    }
    ASSERT_TRUE(writers.waitWrites(40));
    long before = writers.fsWrites();
    std::vector<std::uint8_t> image;
    // A fast read could otherwise finish between two writes.
    ASSERT_EQ(readImage(fd, area, 0, n, &image, [&] { writers.waitWrites(2); }), 0);
    long duringRead = writers.fsWrites() - before;
    writers.stop();
    EXPECT_EQ(mount1()->sync(), 0);
    EXPECT_EQ(writers.errors(), 0);

    unsigned compared = 0, wrong = 0, firstWrong = ~0u;
    for (unsigned i = 0; i < n; i++) {
        if (!(map[i / 8] & (1 << (i % 8)))) continue;
        compared++;
        if (memcmp(&image[std::size_t{i} * bsz], &truth[std::size_t{i} * bsz], bsz)) {
            if (!wrong++) firstWrong = i;
        }
    }
    EXPECT_EQ(wrong, 0u) << "first differing block " << firstWrong << " of " << compared;
    EXPECT_GT(compared, n / 3);
    EXPECT_GT(atomic_read(&b->totalCBs), 0) << "writes met blocks that still needed preserving";
    EXPECT_GT(duringRead, 0) << "writes went on during the read";
    EXPECT_NE(raw(1, 0, n), truth) << "the device moved on after the snapshot";
    EXPECT_EQ(stateOf(fd), GetParam().withMap ? static_cast<unsigned>(BACKUP_MAP_LOADED)
                                              : static_cast<unsigned>(BACKUP_SNAPSHOT_DONE));
    ASSERT_EQ(tav::sys::close(fd), 0);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, PointInTimeTest,
                         ::testing::Values(PointInTime{512, false}, PointInTime{1024, false},
                                           PointInTime{4096, false}, PointInTime{512, true},
                                           PointInTime{1024, true}, PointInTime{4096, true},
                                           PointInTime{4096, true, true}),
                         [](const auto& info) {
                             return std::to_string(info.param.blockSize) + (info.param.withMap ? "_map" : "") +
                                    (info.param.bioBased ? "_bio" : "");
                         });

}  // namespace
