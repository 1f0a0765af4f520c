// StartBackup and SnapShot on a device whose file system is the host's own ext4 (on a
// loop device over the same image): the snapshot freezes the host fs, and a host fs that
// someone else froze gives the failed-freeze result and stays frozen.
#include <fcntl.h>
#include <unistd.h>


#include "2.6/tav-2.6.h"
#include "2.6/tavguard.h"
#include "kernel/fs.h"
#include "tav/machine.h"
#include "tests/support/checks.h"
#include "tests/unit/drivers/block_fixture.h"
#include "tests/unit/kernel/hostfs_fixture.h"

namespace {

using tav::test::tryFreeze;

class HostfsSnapshotTest : public tav::test::PlatformTest {
protected:
    static constexpr unsigned kMajor = 9, kBlockSize = 4096, kImageMb = 16;

    void SetUp() override {
        if (std::string why = tav::test::HostLoop::unavailable(); !why.empty()) GTEST_SKIP() << why;
        PlatformTest::SetUp();
        ready_ = true;
        ASSERT_FALSE(dir_.path().empty());
        if (!loop_.create(tav::test::tempPath("hostsnap"), kImageMb)) GTEST_SKIP() << "losetup failed";
        point_ = dir_.sub("mnt");
        ASSERT_TRUE(loop_.mkfs(kBlockSize));
        ASSERT_TRUE(loop_.mount(point_));
        machine_ = std::make_unique<tav::Machine>();
        ASSERT_EQ(machine_->loadModule(TAV_DEVICE_PATH, TAV_MAJOR), 0);
        tav::DiskConfig c;
        c.name = "thm";
        c.major = kMajor;
        c.minors = 1;
        c.backing = tav::Backing::File;
        c.path = loop_.image();
        disk_ = machine_->addDisk(c);
        ASSERT_NE(disk_, nullptr);
        ASSERT_EQ(machine_->attachHost(disk_, 0, {loop_.image(), ""}), 0);
        tav::kernel::clearLog();
    }
    void TearDown() override {
        // Closes the backups, unloads, detaches, removes the disk.
        tav::Machine* m = machine_.release();
        if (!tav::test::finishesWithin([m] { delete m; }, std::chrono::seconds(20))) {
            ADD_FAILURE() << "the machine's shutdown hangs";
            return;
        }
        if (ready_) PlatformTest::TearDown();
    }
    int startBackup(int fd) {
        StartBackup r{kMajor, 0, static_cast<unsigned>(kImageMb * 1024 * 1024 / kBlockSize), 1000};
        return tav::sys::ioctl(fd, TAV_START_BACKUP, &r);
    }
    int snapShot(int fd) {
        AMSessionKey zero{};
        SnapShot r{&zero, 0};
        return tav::sys::ioctl(fd, TAV_SNAPSHOT, &r);
    }

    bool ready_ = false;
    tav::test::TempDir dir_;
    tav::test::HostLoop loop_;
    std::unique_ptr<tav::Machine> machine_;
    tav::Disk* disk_ = nullptr;
    std::string point_;
};

TEST_F(HostfsSnapshotTest, SnapShotFreezesTheHostFs) {
    int fd = tav::sys::open(TAV_DEVICE_PATH, O_RDWR);
    ASSERT_GE(fd, 3);
    ASSERT_EQ(startBackup(fd), 0) << tav::test::criticalLines();
    // Dirty in the host's page cache: the freeze's flush puts it on the disk.
    std::vector<unsigned char> data = tav::test::dirtyPattern(*disk_, point_, kBlockSize);
    ASSERT_FALSE(data.empty()) << "no write stayed dirty in the host's cache";
    ASSERT_EQ(snapShot(fd), 0);
    EXPECT_FALSE(tav::kernel::logContains("could not freeze"));
    EXPECT_FALSE(tav::kernel::logContains("hostfs"));
    EXPECT_TRUE(tav::test::diskHolds(*disk_, data)) << "the host's dirty data did not reach the disk at the freeze";
    EXPECT_EQ(tryFreeze(point_), 0) << "thawed after the snapshot";

    struct file* f = fget(fd);
    ASSERT_NE(f, nullptr);
    const Backup* b = static_cast<Backup*>(f->private_data);
    const struct timespec& t = b->eTimeToFreeze;
    RecordProperty("timeToFreezeUs", static_cast<int>(t.tv_sec * 1000000 + t.tv_nsec / 1000));
    fput(f);
    tav::sys::close(fd);
}

TEST_F(HostfsSnapshotTest, SnapShotOfAHostFsFrozenElsewhereFailsAndLeavesItFrozen) {
    int fd = tav::sys::open(TAV_DEVICE_PATH, O_RDWR);
    ASSERT_GE(fd, 3);
    ASSERT_EQ(startBackup(fd), 0) << tav::test::criticalLines();
    ASSERT_EQ(tav::test::run("fsfreeze -f " + point_), 0);
    EXPECT_EQ(snapShot(fd), TAV_ERR_INVALID);
    EXPECT_TRUE(tav::kernel::logContains("<3>ioctlSnapShot: freeze_bdev could not freeze the device."));
    EXPECT_TRUE(tav::kernel::logContains("failed: Device or resource busy"));
    EXPECT_EQ(tryFreeze(point_), EBUSY) << "the other party's freeze was undone";
    ASSERT_EQ(tav::test::run("fsfreeze -u " + point_), 0);
    tav::sys::close(fd);
}

}  // namespace
