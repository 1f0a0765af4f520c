// Unmounting the file system under a running backup and under a live automap, on a disk
// whose partitions are bound only while mounted: the unmount is their last close, so the
// module meets a block device without a disk or queue.
#include "tests/unit/module/start_fixture.h"

namespace {

class UnmountTest : public tav::test::BackupTest {
protected:
    void SetUp() override {
        BackupTest::SetUp();
        holdOpen_ = false;
        makeDisk();
    }
};

TEST_F(UnmountTest, UnderARunningBackup) {
    make_request_fn* own = queueFn();
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    ASSERT_EQ(snapShot(fd), 0);
    auto before = raw(1, 5);
    auto fresh = filled(0xab);
    auto cached = filled(0x77);
    ASSERT_EQ(mount1()->writeDirect(5, fresh.data()), 0);
    ASSERT_EQ(mount1()->write(6, cached.data()), 0);  // left for the unmount to write back
    ASSERT_EQ(mount1()->unmount(), 0);
    EXPECT_EQ(disk_->bdev(1)->bd_disk, nullptr) << "the unmount was the last close";
    EXPECT_EQ(raw(1, 5), fresh) << "an acknowledged write reached the disk";
    EXPECT_EQ(raw(1, 6), cached) << "the unmount's write-back went through the hook";

    unsigned char* area = mapArea(fd);
    ASSERT_NE(area, nullptr);
    std::vector<std::uint8_t> image;
    ReadBlocks r{4, 2, area};
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_READ_BLOCKS, &r), TAV_ERR_READ_IO) << "block 4 has no disk to be read from";
    EXPECT_EQ(std::vector<std::uint8_t>(area, area + bs_), filled(0)) << "a failed read reads as zeros";
    EXPECT_EQ(std::vector<std::uint8_t>(area + bs_, area + 2 * bs_), before) << "block 5 comes from the cache";
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_SNAPSHOT_DONE)) << "a failed read does not end the backup";
    EXPECT_EQ(submit(1, 6, 1, 0xcd), -EIO) << "no disk behind the partition any more";
    EXPECT_EQ(tav::sys::close(fd), 0);
    tav::sys::exitProcess();  // drops the mapping, so the record is released
    // The close found no queue to hand back to the automap: the backup's hook stays, and
    // must still pass writes to the disk once the device is mounted again.
    EXPECT_EQ(queueFn(), &tavMRF);
    EXPECT_TRUE(tav::kernel::logContains("queue was null"));
    mountOn(1, bs_);
    auto later = filled(0x3c);
    ASSERT_EQ(mounts_.back()->writeDirect(9, later.data()), 0);
    EXPECT_EQ(raw(1, 9), later);
    AutoMapSession* s = getDeviceAMS(dev(1));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(amsState(s), static_cast<unsigned>(AMS_NOT_IN_SYNC))
        << "a backup closed without its queue cannot vouch for the change map: the next backup is full";
    putDeviceAMS(s);
    mounts_.back()->unmount();
    EXPECT_EQ(tav::unloadModule(), 0);
    EXPECT_EQ(queueFn(), own) << "unload unhooks the queue of a device that is no longer bound";
}

TEST_F(UnmountTest, UnderALiveAutomap) {
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    ASSERT_EQ(snapShot(fd), 0);
    AMSessionKey key = autoMapState(fd).amsKey;
    EXPECT_EQ(tav::sys::close(fd), 0);
    EXPECT_EQ(queueFn(), &tavAMRF);
    auto fresh = filled(0x5a);
    ASSERT_EQ(mount1()->writeDirect(7, fresh.data()), 0);
    ASSERT_EQ(mount1()->unmount(), 0);
    EXPECT_EQ(raw(1, 7), fresh);

    fd = openDevice();
    EXPECT_EQ(startBackup(fd), TAV_ERR_NO_DEVICE) << "nothing mounted";
    EXPECT_EQ(tav::sys::close(fd), 0);

    // Mounted again, the device binds again and the next backup runs.
    mountOn(1, bs_);
    fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    ASSERT_EQ(snapShot(fd, &key, AMS_KEY_LEN), 0);
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_SNAPSHOT_DONE));
    unsigned char* area = mapArea(fd);
    ASSERT_NE(area, nullptr);
    std::vector<std::uint8_t> image;
    ASSERT_EQ(readImage(fd, area, 7, 1, &image), 0);
    EXPECT_EQ(image, fresh);
    EXPECT_EQ(tav::sys::close(fd), 0);
}

}  // namespace
