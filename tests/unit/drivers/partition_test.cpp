// Partition layouts: explicit lists, hand-built MBRs and images partitioned by sfdisk.
#include "kernel/printk.h"
#include "tests/unit/drivers/block_fixture.h"

namespace {

class PartitionTest : public tav::test::PlatformTest {
protected:
    void TearDown() override {
        for (auto& p : paths_) std::remove(p.c_str());
        PlatformTest::TearDown();
    }
    std::string image(const std::string& tag, std::uint64_t bytes) {
        std::string path = tav::test::tempPath(tag);
        std::remove(path.c_str());
        std::string cmd = "truncate -s " + std::to_string(bytes) + " " + path;
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        paths_.push_back(path);
        return path;
    }
    static std::unique_ptr<tav::Disk> fileDisk(const std::string& path, unsigned major, unsigned firstMinor,
                                               unsigned minors, int* err) {
        tav::DiskConfig c;
        c.name = "tdx";
        c.major = major;
        c.firstMinor = firstMinor;
        c.minors = minors;
        c.backing = tav::Backing::File;
        c.path = path;
        c.readMbr = true;
        return tav::Disk::create(c, err);
    }
    std::vector<std::string> paths_;
};

void entry(unsigned char* mbr, int slot, unsigned char type, std::uint32_t start, std::uint32_t len) {
    unsigned char* e = mbr + 446 + 16 * slot;
    e[4] = type;
    for (int i = 0; i < 4; ++i) {
        e[8 + i] = static_cast<unsigned char>(start >> (8 * i));
        e[12 + i] = static_cast<unsigned char>(len >> (8 * i));
    }
}

TEST_F(PartitionTest, HandBuiltMbrGivesPrimaryPartitionsAtTheirSlots) {
    std::string path = image("mbr", 2048 * 512);
    unsigned char mbr[512] = {};
    entry(mbr, 0, 0x83, 63, 500);
    entry(mbr, 1, 0x05, 600, 100);   // extended: not a data partition
    entry(mbr, 3, 0x83, 1800, 500);  // runs past the 2048-sector disk
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    {
        tav::DiskConfig c;
        c.name = "tdx";
        c.backing = tav::Backing::File;
        c.path = path;
        auto raw = tav::Disk::create(c);
        ASSERT_TRUE(raw);
        ASSERT_EQ(raw->writeRaw(0, mbr, sizeof(mbr)), 0);
        EXPECT_EQ(raw->bdev(1), nullptr) << "no MBR scan unless asked";
    }
    int err = 0;
    auto disk = fileDisk(path, 200, 32, 8, &err);
    ASSERT_TRUE(disk) << err;
    auto parts = disk->partitions();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].number, 1);
    EXPECT_EQ(parts[1].number, 4);
    struct block_device* p1 = disk->bdev(1);
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(p1->bd_dev, MKDEV(200, 33));
    EXPECT_EQ(p1->bd_part->start_sect, 63u);
    EXPECT_EQ(p1->bd_part->nr_sects, 500u);
    EXPECT_EQ(disk->bdev(2), nullptr);
    ASSERT_NE(disk->bdev(4), nullptr);
    EXPECT_EQ(disk->bdev(4)->bd_part->nr_sects, 2048u - 1800) << "clamped to the disk";
    EXPECT_TRUE(tav::kernel::logContains("partition 4 extends beyond the disk"));
    EXPECT_TRUE(tav::kernel::logContains("extended partition in slot 2"));

    // I/O through a partition of the scanned disk lands at its offset.
    auto data = tav::test::pattern(63 + 10, 1024);
    ASSERT_EQ(tav::submitAndWait(p1, WRITE, 10, data.data(), data.size()), 0);
    std::vector<unsigned char> raw(1024);
    ASSERT_EQ(disk->readRaw(73, raw.data(), raw.size()), 0);
    EXPECT_EQ(raw, data);
}

TEST_F(PartitionTest, SfdiskImageIsScanned) {
    if (std::system("command -v sfdisk >/dev/null 2>&1") != 0) GTEST_SKIP() << "sfdisk is not installed";
    std::string path = image("sfdisk", 16 << 20);
    std::string cmd = "printf 'label: dos\\nstart=2048, size=8192, type=83\\nstart=10240, type=83\\n' | sfdisk -q " +
                      path + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    int err = 0;
    auto disk = fileDisk(path, 8, 16, 16, &err);
    ASSERT_TRUE(disk) << err;
    ASSERT_NE(disk->bdev(1), nullptr);
    ASSERT_NE(disk->bdev(2), nullptr);
    EXPECT_EQ(disk->bdev(1)->bd_part->start_sect, 2048u);
    EXPECT_EQ(disk->bdev(1)->bd_part->nr_sects, 8192u);
    EXPECT_EQ(disk->bdev(2)->bd_part->start_sect, 10240u);
    EXPECT_EQ(disk->bdev(2)->bd_part->nr_sects, (16u << 11) - 10240);
    EXPECT_EQ(disk->bdev(2)->bd_dev, MKDEV(8, 18));
}

TEST_F(PartitionTest, ExplicitListsAreValidated) {
    int err = 0;
    tav::DiskConfig c;
    c.name = "tdv";
    c.sectors = 1000;
    c.minors = 4;
    c.partitions = {{0, 100, 0}, {100, 100, 0}};  // numbered 1 and 2 in order
    auto disk = tav::Disk::create(c, &err);
    ASSERT_TRUE(disk);
    EXPECT_EQ(disk->bdev(2)->bd_part->start_sect, 100u);
    disk.reset();

    for (auto bad : std::vector<std::vector<tav::PartitionSpec>>{
             {{900, 101, 1}},              // past the end
             {{0, 10, 4}},                 // number beyond minors - 1
             {{0, 10, 1}, {20, 10, 1}},    // number used twice
             {{0, 0, 1}}}) {               // empty
        c.partitions = bad;
        EXPECT_EQ(tav::Disk::create(c, &err), nullptr);
        EXPECT_EQ(err, -EINVAL);
    }
    std::string path = image("nombr", 64 * 512);
    EXPECT_TRUE(fileDisk(path, 8, 0, 16, &err)) << "a blank image has no partitions, which is fine";
}

}  // namespace
