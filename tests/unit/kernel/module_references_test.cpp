// The module references that open files and mappings hold on their driver's module.
#include "tav/modules.h"
#include "tests/unit/kernel/vfs_test_driver.h"

namespace {

using tav::test::TestDriver;
namespace sys = tav::sys;

constexpr unsigned kMajor = 242;

// A module whose init registers the test driver, as a real module registers its device.
TestDriver* moduleDriver = nullptr;
int driverInit() {
    moduleDriver = new TestDriver(kMajor, "tref", THIS_MODULE);
    return 0;
}
void driverExit() {
    delete moduleDriver;
    moduleDriver = nullptr;
}

class ModuleReferencesTest : public tav::test::DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(tav::loadModule({"tref", driverInit, driverExit}), 0);
    }
    void TearDown() override {
        tav::setUnloadSyncPoint({});
        tav::sys::exitProcess();
        if (tav::moduleLoaded()) {
            EXPECT_EQ(tav::unloadModule(), 0);
        }
        DriverTest::TearDown();
    }
};

TEST_F(ModuleReferencesTest, EveryOpenFileHoldsItsOwnersModule) {
    int a = sys::open("/dev/tref", O_RDWR);
    int b = sys::open("/dev/tref", O_RDONLY);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_EQ(module_refcount(THIS_MODULE), 2U);
    EXPECT_EQ(tav::unloadModule(), -EBUSY);
    EXPECT_TRUE(tav::moduleLoaded());
    sys::close(a);
    EXPECT_EQ(module_refcount(THIS_MODULE), 1U);
    EXPECT_EQ(tav::unloadModule(), -EBUSY);

    moduleDriver->openResult = -EIO;
    EXPECT_EQ(sys::open("/dev/tref", O_RDWR), -EIO);
    EXPECT_EQ(module_refcount(THIS_MODULE), 1U) << "a failed open gives its reference back";
    sys::close(b);
    EXPECT_EQ(module_refcount(THIS_MODULE), 0U);
    EXPECT_EQ(tav::unloadModule(), 0);
    EXPECT_EQ(sys::open("/dev/tref", O_RDWR), -ENOENT) << "the module's device went with it";
}

TEST_F(ModuleReferencesTest, AMappingKeepsTheModuleAfterItsDescriptorIsClosed) {
    int fd = sys::open("/dev/tref", O_RDONLY);
    ASSERT_GE(fd, 0);
    void* p = sys::mmap(fd, PAGE_SIZE, PROT_READ, MAP_PRIVATE, 0);
    ASSERT_NE(p, MAP_FAILED);
    sys::close(fd);
    EXPECT_EQ(moduleDriver->count("release"), 0);
    EXPECT_EQ(module_refcount(THIS_MODULE), 1U);
    EXPECT_EQ(tav::unloadModule(), -EBUSY);
    EXPECT_EQ(sys::munmap(p, PAGE_SIZE), 0);
    EXPECT_EQ(moduleDriver->history(),
              (std::vector<std::string>{"open", "mmap", "flush", "vmclose", "release"}));
    EXPECT_EQ(module_refcount(THIS_MODULE), 0U);
    EXPECT_EQ(tav::unloadModule(), 0);
}

TEST_F(ModuleReferencesTest, AnOpenDuringRemovalFailsAndLeavesNoReference) {
    int openResult = 0;
    unsigned refsAfter = 99;
    int driverOpens = -1;
    tav::setUnloadSyncPoint([&] {
        openResult = sys::open("/dev/tref", O_RDWR);
        refsAfter = module_refcount(THIS_MODULE);
        driverOpens = moduleDriver ? moduleDriver->count("open") : -1;  // null once exit ran
    });
    EXPECT_EQ(tav::unloadModule(), 0);
    EXPECT_EQ(openResult, -ENXIO);
    EXPECT_EQ(refsAfter, 0U);
    EXPECT_EQ(driverOpens, 0) << "the driver's open must not run for a going module";
    EXPECT_EQ(sys::openDescriptors(), 0);
    EXPECT_EQ(tav::kernel::liveFiles(), 0);
}

}  // namespace
