// The control device: load and removal, opens, the dispatcher's checks, and the record's
// small handlers (GetState, Sync), all through the system-call seam.
#include <sys/mman.h>

#include "kernel/module.h"
#include "tests/support/module_fixture.h"

namespace {

using tav::test::ModuleTest;

class FrameTest : public ModuleTest {
protected:
    // Two pages, the second inaccessible: a pointer into it is a bad user address.
    void SetUp() override {
        ModuleTest::SetUp();
        area_ = static_cast<char*>(
            mmap(nullptr, 2 * PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(area_, MAP_FAILED);
        ASSERT_EQ(mprotect(area_ + PAGE_SIZE, PAGE_SIZE, PROT_NONE), 0);
    }
    void TearDown() override {
        munmap(area_, 2 * PAGE_SIZE);
        ModuleTest::TearDown();
    }
    void* bad() const { return area_ + PAGE_SIZE; }
    char* area_ = nullptr;
};

TEST_F(FrameTest, LoadBannerAndRemovalOrder) {
    ASSERT_EQ(tav::unloadModule(), 0);
    ASSERT_EQ(tav::loadLinkedModule(), 0);
    EXPECT_TRUE(tav::kernel::logContains("<6>tavInit: tavguard version 3.1.0 build 9504 loaded"));
    EXPECT_EQ(atomic_read(&initDone), 1);
    tav::kernel::clearLog();
    ASSERT_EQ(tav::unloadModule(), 0);
    auto lines = tav::kernel::logLines();
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0].text, "<6>tavUnload: tavguard version 3.1.0 build 9504 ready to be unloaded");
    EXPECT_EQ(lines[1].text, "<6>tavExit: tavguard version 3.1.0 build 9504 exiting");
    EXPECT_FALSE(tav::kernel::chrdevRegistered(TAV_MAJOR));
}

TEST_F(FrameTest, LoadFailsWhileTheMajorIsTaken) {
    ASSERT_EQ(tav::unloadModule(), 0);
    static struct file_operations other = {};
    ASSERT_EQ(register_chrdev(TAV_MAJOR, "other", &other), 0);
    tav::kernel::clearLog();
    EXPECT_EQ(tav::loadLinkedModule(), -EBUSY);
    EXPECT_TRUE(tav::kernel::logContains("<6>tavInit: tavguard version 3.1.0 build 9504 load FAILED"));
    EXPECT_FALSE(tav::moduleLoaded());
    unregister_chrdev(TAV_MAJOR, "other");
    // A later load in the same process starts from the load-time state.
    EXPECT_EQ(tav::loadLinkedModule(), 0);
    EXPECT_EQ(atomic_read(&initDone), 1);
}

TEST_F(FrameTest, EachOpenHasItsRecordAndReferences) {
    unsigned before = module_refcount(THIS_MODULE);
    int a = openDevice(), b = openDevice();
    ASSERT_NE(recordOf(a), nullptr);
    EXPECT_NE(recordOf(a), recordOf(b));
    EXPECT_EQ(backupState(recordOf(a)), static_cast<unsigned>(BACKUP_IDLE));
    EXPECT_EQ(semaphoreCount(&recordOf(a)->bSem), 1);
    EXPECT_EQ(module_refcount(THIS_MODULE), before + 4) << "two references per open file";
    EXPECT_EQ(tav::unloadModule(), -EBUSY);
    long blocks = tav::kernel::live().kmallocBlocks.load();
    tav::sys::close(a);
    EXPECT_EQ(tav::kernel::live().kmallocBlocks.load(), blocks - 1) << "record not freed";
    tav::sys::close(b);
    EXPECT_EQ(module_refcount(THIS_MODULE), before);
    EXPECT_TRUE(tav::kernel::logLinesAtMost(5).empty()) << "closing an idle record printed something";
}

TEST_F(FrameTest, OpenDuringRemovalLeavesNothing) {
    long blocks = tav::kernel::live().kmallocBlocks.load();
    int seamResult = 0, directResult = 0;
    void* directRecord = reinterpret_cast<void*>(1);
    unsigned refsDuring = 0;
    tav::setUnloadSyncPoint([&] {
        seamResult = tav::sys::open(TAV_DEVICE_PATH, O_RDWR);
        struct file f = {};
        struct inode i = {};
        directResult = tavOpen(&i, &f);  // past the kernel's own check, the module refuses too
        directRecord = f.private_data;
        refsDuring = module_refcount(THIS_MODULE);
    });
    ASSERT_EQ(tav::unloadModule(), 0);
    tav::setUnloadSyncPoint({});
    EXPECT_EQ(seamResult, -ENXIO);
    EXPECT_EQ(directResult, -ENODEV);
    EXPECT_EQ(directRecord, nullptr);
    EXPECT_EQ(refsDuring, 0U);
    EXPECT_EQ(tav::kernel::live().kmallocBlocks.load(), blocks);
    EXPECT_EQ(tav::sys::openDescriptors(), 0);
}

TEST_F(FrameTest, NotInitialisedAndRecordlessCalls) {
    int fd = openDevice();
    atomic_set(&initDone, 0);
    int v = 0;
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_GET_VERSION_MAJOR, &v), TAV_ERR_NOT_READY);
    EXPECT_EQ(ioctlCount(fd), 0) << "a call before initialisation counted";
    EXPECT_EQ(tav::sys::open(TAV_DEVICE_PATH, O_RDWR), -ENXIO);
    atomic_set(&initDone, 1);

    struct file bare = {};
    struct inode inode = {};
    EXPECT_EQ(tavIOCTL(&inode, &bare, TAV_GET_VERSION_MAJOR, reinterpret_cast<unsigned long>(&v)),
              TAV_ERR_INVALID);
    EXPECT_EQ(tavRelease(&inode, &bare), TAV_ERR_INVALID);
    EXPECT_TRUE(tav::kernel::logLines().empty());
}

TEST_F(FrameTest, UnknownNumbersReservedAndVersions) {
    int fd = openDevice();
    int v = 0;
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_GET_VERSION_MAJOR, &v), 0);
    EXPECT_EQ(v, 3);
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_GET_VERSION_MINOR, &v), 0);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_GET_VERSION_MINOR, bad()), TAV_ERR_COPY_TO_USER);
    EXPECT_EQ(tav::kernel::logCount("<3>tavIOCTL: copy to user space failed"), 1U);

    tav::kernel::clearLog();
    ReadBlocks rb = {};
    for (unsigned cmd : {TAV_IOW(11, 4), 0x40082a0aU, 0x80102a0aU, 0x40102b0aU}) {
        SCOPED_TRACE(cmd);
        EXPECT_EQ(tav::sys::ioctl(fd, cmd, &rb), TAV_ERR_BAD_COMMAND);
    }
    EXPECT_EQ(tav::kernel::logCount("<3>tavIOCTL: ioctl command not found"), 4U);
    tav::kernel::clearLog();
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_RESERVED, 0UL), TAV_ERR_GENERAL);
    EXPECT_TRUE(tav::kernel::logLines().empty());
    EXPECT_EQ(ioctlCount(fd), 8) << "every call past the record check counts";
}

TEST_F(FrameTest, BadArgumentAddressesFailTheCopyIn) {
    int fd = openDevice();
    const unsigned recordCommands[] = {TAV_GET_BLOCK_SIZE, TAV_START_BACKUP,   TAV_SNAPSHOT,
                                       TAV_GET_STATE,      TAV_GET_AUTOMAP_STATE, TAV_LOAD_BLOCK_MAP,
                                       TAV_GET_AUTOMAP,    TAV_GET_DIRTY_BLOCK, TAV_READ_BLOCKS};
    for (unsigned cmd : recordCommands) {
        SCOPED_TRACE(cmd);
        EXPECT_EQ(tav::sys::ioctl(fd, cmd, bad()), TAV_ERR_COPY_FROM_USER);
        // A record straddling into the bad page fails as well.
        EXPECT_EQ(tav::sys::ioctl(fd, cmd, area_ + PAGE_SIZE - 4), TAV_ERR_COPY_FROM_USER);
    }
    // A valid outer record whose UserBlockMap pointer is bad.
    LoadBlockMap lbm = {static_cast<UserBlockMap*>(bad()), 16};
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_LOAD_BLOCK_MAP, &lbm), TAV_ERR_COPY_FROM_USER);
    GetAutoMap gam = {static_cast<UserBlockMap*>(bad()), 16};
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_GET_AUTOMAP, &gam), TAV_ERR_COPY_FROM_USER);
    EXPECT_EQ(ioctlCount(fd), 20);
    EXPECT_TRUE(tav::kernel::logLines().empty()) << "a failed copy-in logged";
}

TEST_F(FrameTest, GetStateCopiesAtMostTheRecord) {
    int fd = openDevice();
    std::vector<unsigned char> out(100, 0xee);
    GetState gs = {reinterpret_cast<State*>(out.data()), 8};
    recordOf(fd)->maxVMPages = 16;
    recordOf(fd)->diskInfo.kdev = MKDEV(8, 1);
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_GET_STATE, &gs), 0);
    EXPECT_EQ(out[8], 0xee) << "length 8 wrote past major and minor";
    EXPECT_EQ(reinterpret_cast<State*>(out.data())->minor, 1U);
    gs.len = 100;
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_GET_STATE, &gs), 0);
    const State* s = reinterpret_cast<State*>(out.data());
    EXPECT_EQ(s->major, 8U);
    EXPECT_EQ(s->state, static_cast<unsigned>(BACKUP_IDLE));
    EXPECT_EQ(s->mmapSize, 16 * 4096);
    EXPECT_EQ(out[20], 0xee) << "wrote more than the 20-byte record";
    recordOf(fd)->diskInfo.kdev = 0;
    gs.s = static_cast<State*>(bad());
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_GET_STATE, &gs), TAV_ERR_COPY_TO_USER);
    EXPECT_TRUE(tav::kernel::logContains("<3>ioctlGetState: copy to user space failed"));
}

TEST_F(FrameTest, SyncAndUnloadCommandsNeedNoBackup) {
    int fd = openDevice();
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_SYNC, 0UL), 0);
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_UNLOAD, 0UL), 0);
    EXPECT_EQ(backupState(recordOf(fd)), static_cast<unsigned>(BACKUP_IDLE));
    EXPECT_TRUE(tav::kernel::chrdevRegistered(TAV_MAJOR)) << "Unload must not unregister the device";
}

TEST_F(FrameTest, ReadWriteAndPollDoNothing) {
    int fd = openDevice();
    char buf[16];
    EXPECT_EQ(tav::sys::read(fd, buf, sizeof buf), 0);
    EXPECT_EQ(tav::sys::write(fd, buf, sizeof buf), 0);
    EXPECT_EQ(tav::sys::poll(fd, POLLIN | POLLOUT), 0);
}

TEST_F(FrameTest, OpenFailuresFromEveryAllocationLeaveNothing) {
    tav::fault::setCounting(true);
    tav::sys::close(openDevice());
    long calls = tav::fault::calls(tav::fault::Site::Kmalloc);
    ASSERT_GE(calls, 1);
    unsigned refs = module_refcount(THIS_MODULE);
    long blocks = tav::kernel::live().kmallocBlocks.load();
    int noMemory = 0;
    for (long i = 1; i <= calls; i++) {
        SCOPED_TRACE(i);
        tav::fault::clear();
        tav::fault::add(tav::fault::failNth(tav::fault::Site::Kmalloc, i));
        int fd = tav::sys::open(TAV_DEVICE_PATH, O_RDWR);
        EXPECT_LT(fd, 0);
        noMemory += fd == -ENOMEM;
        EXPECT_EQ(module_refcount(THIS_MODULE), refs);
        EXPECT_EQ(tav::kernel::live().kmallocBlocks.load(), blocks);
        EXPECT_EQ(tav::sys::openDescriptors(), 0);
    }
    EXPECT_GE(noMemory, 1);
}

}  // namespace
