// Device geometry and GetBlockSize on partitions, whole disks and unmounted devices.
#include "tav/blockio.h"
#include "tests/support/module_fixture.h"

namespace {

using tav::test::ModuleTest;

class GeometryTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        tav::DiskConfig cfg;
        cfg.name = "tda";
        cfg.major = 8;
        cfg.minors = 16;
        cfg.sectors = 128 * 2048;  // 128 MiB
        cfg.partitions = {{63, 20000 * 8 + 3, 1}, {63 + 20000 * 8 + 3, 1000, 2}};
        int error = 0;
        disk_ = tav::Disk::create(cfg, &error);
        ASSERT_NE(disk_, nullptr) << error;
        tav::DiskConfig whole;
        whole.name = "tdb";
        whole.major = 9;
        whole.minors = 1;
        whole.sectors = 8192;
        wholeDisk_ = tav::Disk::create(whole);
        ASSERT_NE(wholeDisk_, nullptr);
        fd_ = openDevice();
    }
    void TearDown() override {
        mounts_.clear();
        disk_.reset();
        wholeDisk_.reset();
        ModuleTest::TearDown();
    }
    void mount(struct block_device* bdev, unsigned blockSize) {
        tav::MountOptions o;
        o.blockSize = blockSize;
        auto m = tav::Mount::create(bdev, o);
        ASSERT_NE(m, nullptr);
        mounts_.push_back(std::move(m));
    }
    int getBlockSize(unsigned major, unsigned minor, void* out, unsigned len) {
        GetBlockSize r = {major, minor, static_cast<BlockSize*>(out), len};
        return tav::sys::ioctl(fd_, TAV_GET_BLOCK_SIZE, &r);
    }
    std::unique_ptr<tav::Disk> disk_, wholeDisk_;
    std::vector<std::unique_ptr<tav::Mount>> mounts_;
    int fd_ = -1;
};

TEST_F(GeometryTest, PartitionAtSector63WithEveryBlockSize) {
    struct Case {
        unsigned bs;
        unsigned perPage, sectorsPerBlock, shift;
    } cases[] = {{512, 8, 1, 0}, {1024, 4, 2, 1}, {2048, 2, 4, 2}, {4096, 1, 8, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bs);
        mount(disk_->bdev(1), c.bs);
        DiskInfo di = {};
        ASSERT_EQ(getDiskInfo(&di, MKDEV(8, 1)), 0);
        EXPECT_EQ(di.blockSize, static_cast<int>(c.bs));
        EXPECT_EQ(di.blocksPerPage, c.perPage);
        EXPECT_EQ(di.sectorsPerBlock, static_cast<int>(c.sectorsPerBlock));
        EXPECT_EQ(di.sectorsPerBlockShift, static_cast<int>(c.shift));
        EXPECT_EQ(di.partitionStart, 63U);
        EXPECT_EQ(di.partitionLen, 20000U * 8 + 3);
        EXPECT_EQ(di.partitionSizeKB, (20000U * 8 + 3) / 2);
        EXPECT_EQ(10 * di.sectorsPerBlock + di.partitionStart, 63U + 10 * c.sectorsPerBlock);
        EXPECT_EQ(di.superBlock, nullptr) << "the fill keeps no super block";
        closeDiskInfo(&di);

        BlockSize bs = {};
        ASSERT_EQ(getBlockSize(8, 1, &bs, sizeof bs), 0);
        EXPECT_EQ(bs.major, 8U);
        EXPECT_EQ(bs.minor, 1U);
        EXPECT_EQ(bs.blockSize, static_cast<int>(c.bs));
        EXPECT_EQ(bs.partitionSizeKB, (20000U * 8 + 3) / 2);
        mounts_.clear();
    }
}

TEST_F(GeometryTest, WholeDiskUsesTheDiskCapacity) {
    mount(wholeDisk_->bdev(0), 2048);
    DiskInfo di = {};
    ASSERT_EQ(getDiskInfo(&di, MKDEV(9, 0)), 0);
    EXPECT_EQ(di.partitionStart, 0U);
    EXPECT_EQ(di.partitionLen, 8192U);
    EXPECT_EQ(di.partitionSizeKB, 4096U);
    closeDiskInfo(&di);
}

TEST_F(GeometryTest, UnmountedOrMissingDeviceWritesNothing) {
    unsigned char out[16];
    memset(out, 0xee, sizeof out);
    EXPECT_EQ(getBlockSize(8, 2, out, sizeof out), TAV_ERR_NO_DEVICE);
    EXPECT_TRUE(tav::kernel::logContains(
        "<3>getDiskInfo: device major=8 minor=2 not found, getting super block failed"));
    EXPECT_EQ(getBlockSize(77, 5, out, sizeof out), TAV_ERR_NO_DEVICE);
    for (unsigned char c : out) EXPECT_EQ(c, 0xee);
    EXPECT_EQ(tav::kernel::bdevReferences(MKDEV(77, 5)), 0) << "a number without a disk leaves no bdev";
}

TEST_F(GeometryTest, EveryLookupGivesItsReferenceBack) {
    int before = tav::kernel::bdevReferences(MKDEV(8, 1));
    mount(disk_->bdev(1), 4096);
    int mounted = tav::kernel::bdevReferences(MKDEV(8, 1));
    BlockSize bs = {};
    for (int i = 0; i < 3; i++) ASSERT_EQ(getBlockSize(8, 1, &bs, sizeof bs), 0);
    EXPECT_EQ(getBlockSize(8, 2, &bs, sizeof bs), TAV_ERR_NO_DEVICE);
    EXPECT_EQ(tav::kernel::bdevReferences(MKDEV(8, 1)), mounted);
    EXPECT_EQ(tav::kernel::bdevReferences(MKDEV(8, 2)), before);
}

TEST_F(GeometryTest, LengthLimitsTheCopyOut) {
    mount(disk_->bdev(2), 1024);
    unsigned char out[100];
    for (unsigned len : {0U, 4U, 8U, 100U}) {
        SCOPED_TRACE(len);
        memset(out, 0xee, sizeof out);
        ASSERT_EQ(getBlockSize(8, 2, out, len), 0);
        unsigned written = std::min(len, 16U);
        for (unsigned i = written; i < sizeof out; i++) ASSERT_EQ(out[i], 0xee) << "byte " << i;
        if (len >= 4) {
            EXPECT_EQ(reinterpret_cast<BlockSize*>(out)->major, 8U);
        }
        if (len >= 16) {
            EXPECT_EQ(reinterpret_cast<BlockSize*>(out)->partitionSizeKB, 500U);
        }
    }
    GetBlockSize r = {8, 2, reinterpret_cast<BlockSize*>(8), 16};
    EXPECT_EQ(tav::sys::ioctl(fd_, TAV_GET_BLOCK_SIZE, &r), TAV_ERR_COPY_TO_USER);
    EXPECT_TRUE(tav::kernel::logContains("<3>ioctlGetBlockSize: copy to user space failed"));
}

TEST_F(GeometryTest, OddPartitionSizeDropsTheHalfSector) {
    disk_.reset();
    tav::DiskConfig cfg;
    cfg.name = "tdc";
    cfg.major = 8;
    cfg.minors = 4;
    cfg.sectors = 4096;
    cfg.partitions = {{100, 3, 1}};
    auto d = tav::Disk::create(cfg);
    ASSERT_NE(d, nullptr);
    mount(d->bdev(1), 512);
    BlockSize bs = {};
    ASSERT_EQ(getBlockSize(8, 1, &bs, sizeof bs), 0);
    EXPECT_EQ(bs.partitionSizeKB, 1U);
    mounts_.clear();
}

}  // namespace
