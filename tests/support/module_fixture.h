// A loaded tavguard module with its device node, for tests that drive it as a user
// program would: through tav::sys (open, ioctl, mmap, close).
#pragma once

#include <fcntl.h>

#include "2.6/tavguard.h"
#include "2.6/tavlib.h"
#include "tav/modules.h"
#include "tav/sys.h"
#include "kernel/fs.h"
#include "tests/support/checks.h"

namespace tav::test {

class ModuleTest : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        tav::sys::mknod(TAV_DEVICE_PATH, TAV_MAJOR, 0);
        ASSERT_EQ(tav::loadLinkedModule(), 0);
        tav::kernel::clearLog();
    }
    void TearDown() override {
        tav::sys::exitProcess();
        if (tav::moduleLoaded()) {
            EXPECT_EQ(tav::unloadModule(), 0);
        }
        tav::sys::unlink(TAV_DEVICE_PATH);
        PlatformTest::TearDown();
    }
    int openDevice() {
        int fd = tav::sys::open(TAV_DEVICE_PATH, O_RDWR);
        EXPECT_GE(fd, 3);
        return fd;
    }
    // The session record behind a descriptor.
    static Backup* recordOf(int fd) {
        struct file* f = fget(fd);
        if (!f) return nullptr;
        Backup* b = static_cast<Backup*>(f->private_data);
        fput(f);
        return b;
    }
    static int ioctlCount(int fd) { return atomic_read(&recordOf(fd)->ioctlCount); }
};

}  // namespace tav::test
