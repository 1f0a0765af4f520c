// Host-backed file systems: attach rules, discovery of the host's loop mount, block sizes
// that follow it, and freeze/thaw reaching the host's real ext4 (and only it).
#include "kernel/hostfs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "kernel/blkdev.h"
#include "kernel/printk.h"
#include "kernel/super.h"
#include "tests/unit/drivers/block_fixture.h"
#include "tests/unit/kernel/hostfs_fixture.h"

namespace {

using namespace std::chrono_literals;
using tav::kernel::HostfsOptions;
using tav::test::tryFreeze;

// Attach rules need no host: a RAM disk is enough.
class HostfsAttachTest : public tav::test::PlatformTest {};

TEST_F(HostfsAttachTest, AttachIsExclusiveWithTavfsAndWithItself) {
    auto disk = tav::test::ramDisk(4096, {{64, 2048, 1}}, "tha");
    ASSERT_TRUE(disk);
    struct block_device* part = disk->bdev(1);
    const HostfsOptions options{"/nonexistent/tha1", ""};

    EXPECT_EQ(tav::kernel::hostfsAttach(nullptr, options), -EINVAL);
    EXPECT_EQ(tav::kernel::hostfsAttach(part, {"relative/export", ""}), -EINVAL);
    EXPECT_EQ(tav::kernel::hostfsAttach(part, {"", ""}), -EINVAL);
    EXPECT_EQ(tav::kernel::hostfsAttach(part, {"/x", "relative"}), -EINVAL);

    ASSERT_EQ(tav::kernel::hostfsAttach(part, options), 0);
    EXPECT_EQ(tav::kernel::hostfsAttach(part, options), -EBUSY);
    int err = 0;
    EXPECT_EQ(tav::Mount::create(part, {1024, 8, 0}, &err), nullptr);
    EXPECT_EQ(err, -EBUSY) << "tavfs must not mount over a host-backed bdev";
    EXPECT_EQ(get_super(part), nullptr) << "nothing on the host is backed by the export";
    EXPECT_EQ(tav::kernel::hostfsLoopDevice(part), "");
    EXPECT_EQ(tav::kernel::hostfsMountPoint(part), "");
    EXPECT_EQ(freeze_bdev(part), nullptr);
    EXPECT_TRUE(tav::kernel::logContains("cannot freeze"));
    thaw_bdev(part, nullptr);
    tav::kernel::hostfsDetach(part);
    tav::kernel::hostfsDetach(part);  // a second detach is a no-op

    {
        auto m = tav::Mount::create(part, {1024, 8, 0}, &err);
        ASSERT_TRUE(m) << "detached: tavfs mounts again " << err;
        EXPECT_EQ(tav::kernel::hostfsAttach(part, options), -EBUSY);
        EXPECT_EQ(m->unmount(), 0);
    }
    EXPECT_EQ(tav::kernel::hostfsAttach(part, options), 0) << "attach after tavfs unmounted";
    tav::kernel::hostfsDetach(part);
}

// A host loop mount of an image that an emulated file-backed disk also serves.
class HostfsTest : public tav::test::PlatformTest {
protected:
    void SetUp() override {
        if (std::string why = tav::test::HostLoop::unavailable(); !why.empty()) GTEST_SKIP() << why;
        PlatformTest::SetUp();
        ASSERT_FALSE(dir_.path().empty());
        if (!loop_.create(tav::test::tempPath("hostfs"), 16)) GTEST_SKIP() << "losetup could not set up a loop device";
        disk_ = loop_.disk("thf", 9);
        ASSERT_TRUE(disk_);
        bdev_ = disk_->bdev(0);
        point_ = dir_.sub("mnt");
    }
    void TearDown() override {
        if (!bdev_) return;
        struct block_device* bdev = bdev_;
        if (!tav::test::finishesWithin([bdev] { tav::kernel::hostfsDetach(bdev); }, 10s)) {
            ADD_FAILURE() << "hostfsDetach hangs: a get_super reference was never dropped";
            (void)disk_.release();  // the stuck detach still uses its bdev
            return;
        }
        disk_.reset();
        PlatformTest::TearDown();
    }
    void attach(const std::string& mountPoint = "") {
        ASSERT_EQ(tav::kernel::hostfsAttach(bdev_, {loop_.image(), mountPoint}), 0);
    }
    void mkfsAndMount(unsigned blockSize) {
        ASSERT_TRUE(loop_.mkfs(blockSize));
        ASSERT_TRUE(loop_.mount(point_));
    }
    static std::string canonicalPath(const std::string& p) { return std::filesystem::canonical(p).string(); }

    // Destroyed in reverse: the loop's fs may be mounted inside the parent's, and both
    // inside the directory.
    tav::test::TempDir dir_;
    tav::test::HostLoop parent_;  // only for tests that need a second fs
    tav::test::HostLoop loop_;
    std::unique_ptr<tav::Disk> disk_;
    struct block_device* bdev_ = nullptr;
    std::string point_;
};

TEST_F(HostfsTest, SuperBlockFollowsTheHostMountAndItsBlockSize) {
    attach();
    EXPECT_EQ(get_super(bdev_), nullptr) << "before mkfs and mount";
    EXPECT_EQ(tav::kernel::hostfsLoopDevice(bdev_), loop_.loop()) << "found through backing_file";
    EXPECT_EQ(tav::kernel::hostfsMountPoint(bdev_), "");

    struct super_block* held = nullptr;
    for (unsigned bs : {1024u, 4096u}) {
        SCOPED_TRACE(bs);
        mkfsAndMount(bs);
        EXPECT_EQ(tav::kernel::hostfsMountPoint(bdev_), canonicalPath(point_));
        struct super_block* sb = get_super(bdev_);
        ASSERT_NE(sb, nullptr);
        EXPECT_EQ(sb->s_blocksize, bs);
        EXPECT_EQ(sb->s_blocksize_bits, __builtin_ctz(bs));
        EXPECT_EQ(sb->s_magic, tav::kernel::EXT_SUPER_MAGIC);
        EXPECT_EQ(sb->s_bdev, bdev_);
        EXPECT_EQ(sb->s_dev, bdev_->bd_dev);
        struct super_block* again = get_super(bdev_);
        EXPECT_EQ(again, sb) << "one super block per host mount";
        drop_super(again);
        if (held) {
            EXPECT_NE(sb, held) << "a new host mount gets a new super block";
            EXPECT_EQ(held->s_blocksize, 1024u) << "an old holder keeps what it had";
            drop_super(held);
            held = nullptr;
        }
        // Held across the host's unmount and the next mkfs.
        held = sb;
        ASSERT_TRUE(loop_.umount());
        EXPECT_EQ(get_super(bdev_), nullptr) << "host unmounted";
        EXPECT_EQ(tav::kernel::hostfsMountPoint(bdev_), "");
    }
    if (held) drop_super(held);
}

// Two get_super calls see a new host mount at once: the one that installs its super block
// second finds the other's, drops its own and returns the installed one.
TEST_F(HostfsTest, FirstSightRaceLeavesOneSuperBlock) {
    attach();
    mkfsAndMount(4096);
    std::promise<void> probed, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> calls{0};
    tav::kernel::hostfsSetProbeSyncPoint([&](struct block_device*) {
        if (calls++ > 0) return;
        probed.set_value();
        released.wait();
    });
    auto loser = std::async(std::launch::async, [this] { return get_super(bdev_); });
    ASSERT_EQ(probed.get_future().wait_for(10s), std::future_status::ready);
    struct super_block* winner = get_super(bdev_);
    release.set_value();
    struct super_block* late = loser.get();
    tav::kernel::hostfsSetProbeSyncPoint(nullptr);
    ASSERT_NE(winner, nullptr);
    EXPECT_EQ(late, winner) << "the later of two first sights must return the installed super block";
    EXPECT_EQ(calls.load(), 2) << "both probed";
    struct super_block* again = get_super(bdev_);
    EXPECT_EQ(again, winner);
    for (struct super_block* sb : {winner, late, again})
        if (sb) drop_super(sb);
}

TEST_F(HostfsTest, GivenMountPointMustBeWhereTheHostMountedIt) {
    ASSERT_TRUE(loop_.mkfs(4096));
    ASSERT_TRUE(loop_.mount(point_));
    attach(dir_.sub("elsewhere"));
    EXPECT_EQ(get_super(bdev_), nullptr) << "mounted, but not at the mount point given";
    tav::kernel::hostfsDetach(bdev_);
    attach(point_);
    struct super_block* sb = get_super(bdev_);
    ASSERT_NE(sb, nullptr);
    drop_super(sb);
}

TEST_F(HostfsTest, FreezeStopsHostWritersUntilThaw) {
    attach();
    mkfsAndMount(4096);
    struct super_block* sb = freeze_bdev(bdev_);
    ASSERT_NE(sb, nullptr) << tav::test::criticalLines();
    EXPECT_EQ(sb->s_frozen.load(), SB_FREEZE_TRANS);
    EXPECT_EQ(tryFreeze(point_), EBUSY) << "the host fs is frozen";

    std::string file = point_ + "/written";
    auto writer = std::async(std::launch::async, [file] {
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return errno;
        char block[4096] = {1};
        bool ok = ::write(fd, block, sizeof block) == static_cast<ssize_t>(sizeof block) && ::fsync(fd) == 0;
        int err = ok ? 0 : errno;
        ::close(fd);
        return err;
    });
    EXPECT_EQ(writer.wait_for(300ms), std::future_status::timeout) << "a write went through a frozen fs";
    thaw_bdev(bdev_, sb);
    ASSERT_EQ(writer.wait_for(10s), std::future_status::ready) << "the writer is still stuck after thaw";
    EXPECT_EQ(writer.get(), 0);
    EXPECT_EQ(tryFreeze(point_), 0) << "thawed";
    EXPECT_FALSE(tav::kernel::logContains("hostfs")) << "no complaint on a clean freeze and thaw";
}

TEST_F(HostfsTest, FsyncBdevWritesBackTheHostFs) {
    attach();
    mkfsAndMount(4096);
    std::vector<unsigned char> data = tav::test::dirtyPattern(*disk_, point_, 4096);
    ASSERT_FALSE(data.empty()) << "no write stayed dirty in the host's cache";
    EXPECT_EQ(fsync_bdev(bdev_), 0);
    EXPECT_TRUE(tav::test::diskHolds(*disk_, data)) << "fsync_bdev left the host's dirty data in its cache";
}

// Freezes that must fail, leaving the host fs as it was.
TEST_F(HostfsTest, FreezeFailsWhenTheHostFsIsAlreadyFrozenAndLeavesItFrozen) {
    attach();
    mkfsAndMount(1024);
    ASSERT_EQ(tav::test::run("fsfreeze -f " + point_), 0);
    EXPECT_EQ(freeze_bdev(bdev_), nullptr);
    EXPECT_TRUE(tav::kernel::logContains("FIFREEZE on " + canonicalPath(point_) + " failed: Device or resource busy"));
    thaw_bdev(bdev_, nullptr);
    EXPECT_EQ(tryFreeze(point_), EBUSY) << "thaw_bdev(null) must not thaw the other party's freeze";
    ASSERT_EQ(tav::test::run("fsfreeze -u " + point_), 0);
    EXPECT_EQ(tryFreeze(point_), 0);
}

TEST_F(HostfsTest, ThawOfAFreezeUndoneElsewhereIsLoggedNotFatal) {
    attach();
    mkfsAndMount(4096);
    struct super_block* sb = freeze_bdev(bdev_);
    ASSERT_NE(sb, nullptr);
    ASSERT_EQ(tav::test::run("fsfreeze -u " + point_), 0);
    thaw_bdev(bdev_, sb);
    EXPECT_TRUE(tav::kernel::logContains("thawing the host fs failed: Invalid argument"));
    sb = freeze_bdev(bdev_);
    ASSERT_NE(sb, nullptr) << "the super block and bd_mount_sem were released";
    thaw_bdev(bdev_, sb);
}

TEST_F(HostfsTest, FreezeFaultFailsWithoutTouchingTheHostFs) {
    attach();
    mkfsAndMount(4096);
    tav::fault::add(tav::fault::failNth(tav::fault::Site::Freeze, 1));
    EXPECT_EQ(freeze_bdev(bdev_), nullptr);
    EXPECT_EQ(tav::fault::fired(tav::fault::Site::Freeze), 1);
    thaw_bdev(bdev_, nullptr);
    EXPECT_EQ(tryFreeze(point_), 0) << "not frozen";
    struct super_block* sb = freeze_bdev(bdev_);
    ASSERT_NE(sb, nullptr) << "the next freeze works";
    thaw_bdev(bdev_, sb);
}

// The host fs covered or gone by the time of the freeze: the directory at the mount point
// then belongs to another fs, which must not be frozen in its place.
TEST_F(HostfsTest, FreezeNeverFreezesAnotherFsAtTheMountPoint) {
    if (!parent_.create(tav::test::tempPath("parent"), 8)) GTEST_SKIP() << "no second loop device";
    ASSERT_TRUE(parent_.mkfs(4096));
    std::string parentPoint = dir_.sub("parent");
    ASSERT_TRUE(parent_.mount(parentPoint));
    point_ = parentPoint + "/mnt";
    std::filesystem::create_directories(parentPoint + "/cover");
    attach();
    mkfsAndMount(4096);

    // Covered: mountinfo still lists the host fs at the mount point, but opening it gives
    // the parent fs (bind-mounted over it).
    ASSERT_EQ(tav::test::run("mount --bind " + parentPoint + "/cover " + point_), 0);
    {
        tav::test::Unmount cover{point_};
        struct super_block* covered = get_super(bdev_);
        EXPECT_NE(covered, nullptr) << "still mounted, only covered";
        if (covered) drop_super(covered);
        EXPECT_EQ(freeze_bdev(bdev_), nullptr);
        EXPECT_TRUE(tav::kernel::logContains("not on the host fs of the export: No such device"));
        thaw_bdev(bdev_, nullptr);
        EXPECT_EQ(tryFreeze(parentPoint), 0) << "the parent fs was frozen in its place";
    }

    // Unmounted between get_super and the freeze.
    struct super_block* sb = get_super(bdev_);
    ASSERT_NE(sb, nullptr);
    ASSERT_TRUE(loop_.umount());
    EXPECT_EQ(freeze_bdev(bdev_), nullptr);
    thaw_bdev(bdev_, nullptr);
    drop_super(sb);
    EXPECT_EQ(tryFreeze(parentPoint), 0) << "the parent fs was frozen in its place";
}

TEST_F(HostfsTest, DetachThawsAFreezeStillHeldAndWaitsForItsHolder) {
    attach();
    mkfsAndMount(4096);
    struct super_block* sb = freeze_bdev(bdev_);
    ASSERT_NE(sb, nullptr);
    auto detach = std::async(std::launch::async, [this] { tav::kernel::hostfsDetach(bdev_); });
    bool thawed = false;
    for (int i = 0; i < 500 && !thawed; ++i) {
        thawed = tryFreeze(point_) == 0;
        if (!thawed) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(thawed) << "detach left the host fs frozen";
    // The thaw is logged once it is done, so a quick prober can see the thaw first.
    EXPECT_TRUE(tav::test::eventually([] { return tav::kernel::logContains("detached while frozen; thawed the host fs"); }));
    EXPECT_EQ(detach.wait_for(100ms), std::future_status::timeout) << "detach must wait for the freeze's holder";
    thaw_bdev(bdev_, sb);
    ASSERT_EQ(detach.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(tav::kernel::logContains("thawing the host fs failed")) << "thawed twice";
    EXPECT_EQ(get_super(bdev_), nullptr) << "detached";
}

}  // namespace

namespace {

// Run only as the child of the test below: freezes the host fs on the image named in the
// environment and exits without thawing. 0 when it froze it.
TEST(HostfsChild, DISABLED_FreezeThenExit) {
    const char* image = std::getenv("TAV_HOSTFS_IMAGE");
    if (!image) GTEST_SKIP() << "only run by HostfsTest.ExitThawsAFreezeStillHeld";
    tav::DiskConfig c;
    c.name = "thc";
    c.major = 10;
    c.minors = 1;
    c.backing = tav::Backing::File;
    c.path = image;
    auto disk = tav::Disk::create(c);
    if (!disk || tav::kernel::hostfsAttach(disk->bdev(0), {image, ""}) != 0) std::_Exit(3);
    std::string point = tav::kernel::hostfsMountPoint(disk->bdev(0));
    if (!freeze_bdev(disk->bdev(0)) || tryFreeze(point) != EBUSY) std::_Exit(4);
    disk.reset();  // its threads must not outlive main; the freeze stays held
    std::exit(0);
}

TEST_F(HostfsTest, ExitThawsAFreezeStillHeld) {
    mkfsAndMount(4096);
    // The child leaves its attachment and disk behind on purpose: no leak report.
    std::string cmd = "ASAN_OPTIONS=detect_leaks=0 TAV_HOSTFS_IMAGE=" + loop_.image() +
                      " /proc/" + std::to_string(::getpid()) +
                      "/exe --gtest_also_run_disabled_tests --gtest_filter=HostfsChild.DISABLED_FreezeThenExit";
    EXPECT_EQ(tav::test::run(cmd), 0) << "the child did not freeze the host fs";
    EXPECT_EQ(tryFreeze(point_), 0) << "the exit left the host fs frozen";
}

}  // namespace
