// Character-device registration, device nodes, and the life of an open file through the
// system-call seam.
#include <barrier>
#include <thread>

#include "tests/unit/kernel/vfs_test_driver.h"

namespace {

using tav::test::DriverTest;
using tav::test::TestDriver;
namespace sys = tav::sys;

constexpr unsigned kMajor = 240;

using VfsChrdevTest = DriverTest;

TEST_F(VfsChrdevTest, TakenMajorsAreBusyAndMajorZeroAllocatesAFreeOne) {
    struct file_operations fops {};
    ASSERT_EQ(register_chrdev(kMajor, "first", &fops), 0);
    EXPECT_EQ(register_chrdev(kMajor, "second", &fops), -EBUSY);
    std::string name;
    ASSERT_TRUE(tav::kernel::chrdevRegistered(kMajor, &name));
    EXPECT_EQ(name, "first") << "the failed registration must not replace the driver";
    int a = register_chrdev(0, "dynA", &fops), b = register_chrdev(0, "dynB", &fops);
    EXPECT_TRUE(a > 0 && a < 255 && b > 0 && b < 255 && a != b) << a << " " << b;
    EXPECT_EQ(register_chrdev(1U << 12, "toobig", &fops), -EINVAL);
    for (int m : {static_cast<int>(kMajor), a, b}) EXPECT_EQ(unregister_chrdev(static_cast<unsigned>(m), "x"), 0);
    EXPECT_EQ(register_chrdev(kMajor, "again", &fops), 0) << "an unregistered major is free again";
    unregister_chrdev(kMajor, "again");
}

TEST_F(VfsChrdevTest, NodesFollowRegistrationUnlessMadeByMknod) {
    {
        TestDriver drv(kMajor, "tvfs");
        int fd = sys::open("/dev/tvfs", O_RDWR);
        ASSERT_GE(fd, 3);
        EXPECT_EQ(sys::close(fd), 0);
    }
    EXPECT_EQ(sys::open("/dev/tvfs", O_RDWR), -ENOENT) << "the automatic node goes with the driver";

    ASSERT_EQ(sys::mknod("/dev/tvfs-node", kMajor, 3), 0);
    EXPECT_EQ(sys::mknod("/dev/tvfs-node", kMajor, 0), -EEXIST);
    EXPECT_EQ(sys::open("/dev/tvfs-node", O_RDONLY), -ENXIO) << "a node without a driver";
    ASSERT_EQ(sys::mknod("/dev/tvfs-big", kMajor, 256), 0);
    {
        TestDriver drv(kMajor, "tvfs");
        int fd = sys::open("/dev/tvfs-node", O_RDONLY);
        EXPECT_GE(fd, 0) << "any minor below 256";
        EXPECT_EQ(sys::open("/dev/tvfs-big", O_RDONLY), -ENXIO) << "register_chrdev covers minors 0..255";
        sys::close(fd);
    }
    EXPECT_EQ(sys::open("/dev/tvfs-node", O_RDONLY), -ENXIO);
    EXPECT_EQ(sys::unlink("/dev/tvfs-node"), 0);
    EXPECT_EQ(sys::unlink("/dev/tvfs-big"), 0);
    EXPECT_EQ(sys::unlink("/dev/tvfs-node"), -ENOENT);
}

TEST_F(VfsChrdevTest, ReleaseComesAfterTheLastReferenceAndFailedOpensLeaveNothing) {
    TestDriver drv(kMajor, "tvfs");
    int fd = sys::open("/dev/tvfs", O_RDWR);
    ASSERT_GE(fd, 0);
    struct file* f = fget(static_cast<unsigned>(fd));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->f_mode, FMODE_READ | FMODE_WRITE);
    EXPECT_EQ(f->f_dentry->d_inode->i_rdev, MKDEV(kMajor, 0));
    EXPECT_EQ(sys::close(fd), 0);
    EXPECT_EQ(drv.history(), (std::vector<std::string>{"open", "flush"}))
        << "a reference is still held: no release yet";
    EXPECT_EQ(sys::ioctl(fd, 1, 0UL), -EBADF) << "the descriptor is gone";
    fput(f);
    EXPECT_EQ(drv.history(), (std::vector<std::string>{"open", "flush", "release"}));
    EXPECT_EQ(tav::kernel::liveFiles(), 0);

    drv.openResult = -EPERM;
    EXPECT_EQ(sys::open("/dev/tvfs", O_RDONLY), -EPERM);
    EXPECT_EQ(drv.count("release"), 1) << "release is not called for a failed open";
    EXPECT_EQ(sys::openDescriptors(), 0);
    EXPECT_EQ(tav::kernel::liveFiles(), 0);

    drv.openResult = 0;
    int r = sys::open("/dev/tvfs", O_RDONLY), w = sys::open("/dev/tvfs", O_WRONLY);
    int io = sys::open("/dev/tvfs", 3);
    EXPECT_EQ(r, 3) << "the failed open's descriptor was given back";
    EXPECT_EQ(w, 4);
    std::lock_guard g(drv.lock);
    EXPECT_EQ(drv.openModes.back(), 0U) << "access mode 3 opens for ioctl only";
    EXPECT_EQ(drv.openModes[drv.openModes.size() - 2], FMODE_WRITE);
    EXPECT_EQ(drv.openModes[drv.openModes.size() - 3], FMODE_READ);
    EXPECT_GE(io, 0);
}

TEST_F(VfsChrdevTest, CallsReachTheDriverWithItsResultsUnchanged) {
    TestDriver drv(kMajor, "tvfs");
    int fd = sys::open("/dev/tvfs", O_RDONLY);
    ASSERT_GE(fd, 0);
    drv.inIoctl = [](unsigned cmd, unsigned long) { return cmd == 7 ? 12 : -EINVAL; };
    int rec = 0;
    EXPECT_EQ(sys::ioctl(fd, 7, &rec), 12);
    EXPECT_EQ(drv.lastIoctlArg, reinterpret_cast<unsigned long>(&rec));
    EXPECT_EQ(sys::ioctl(fd, 8, 0UL), -EINVAL);
    char buf[64];
    EXPECT_EQ(sys::read(fd, buf, 64), 32);
    EXPECT_EQ(sys::read(fd, buf, 10), 5);
    struct file* f = fget(static_cast<unsigned>(fd));
    EXPECT_EQ(f->f_pos, 74) << "the driver moves the file position";
    fput(f);
    EXPECT_EQ(sys::write(fd, buf, 1), -EBADF) << "not open for writing";
    EXPECT_EQ(sys::poll(fd, POLLOUT), POLLHUP) << "only asked-for events, and POLLHUP always";

    drv.fops.ioctl = nullptr;
    drv.fops.read = nullptr;
    drv.fops.poll = nullptr;
    EXPECT_EQ(sys::ioctl(fd, 7, 0UL), -ENOTTY);
    EXPECT_EQ(sys::read(fd, buf, 1), -EINVAL);
    EXPECT_EQ(sys::poll(fd, POLLIN | POLLPRI), POLLIN);
    for (int bad : {-1, 0, 2, 1023, 5000}) {
        EXPECT_EQ(sys::ioctl(bad, 7, 0UL), -EBADF) << bad;
        EXPECT_EQ(sys::poll(bad, POLLIN), POLLNVAL) << bad;
        EXPECT_EQ(sys::close(bad), -EBADF) << bad;
    }
}

// No lock serialises ioctls: every thread is inside the driver at the same time, each as
// its own task.
TEST_F(VfsChrdevTest, IoctlsOnOneFileRunConcurrentlyAsTheCallingTask) {
    TestDriver drv(kMajor, "tvfs");
    int fd = sys::open("/dev/tvfs", O_RDWR);
    ASSERT_GE(fd, 0);
    constexpr int kThreads = 4;
    std::barrier allInside(kThreads);
    drv.inIoctl = [&](unsigned, unsigned long arg) {
        allInside.arrive_and_wait();
        return current->pid == static_cast<pid_t>(arg) ? 1 : -ESRCH;
    };
    std::vector<int> results(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; i++)
        threads.emplace_back([&, i] {
            results[i] = sys::ioctl(fd, 1, static_cast<unsigned long>(tav::test::hostTid()));
        });
    for (auto& t : threads) t.join();
    for (int r : results) EXPECT_EQ(r, 1);
}

TEST_F(VfsChrdevTest, CloseDuringAnIoctlDefersReleaseUntilTheIoctlReturns) {
    TestDriver drv(kMajor, "tvfs");
    int fd = sys::open("/dev/tvfs", O_RDWR);
    ASSERT_GE(fd, 0);
    std::barrier inside(2), closed(2);
    drv.inIoctl = [&](unsigned, unsigned long) {
        inside.arrive_and_wait();
        closed.arrive_and_wait();
        return TestDriver::active->count("release");
    };
    int seenReleases = -1;
    std::thread t([&] { seenReleases = sys::ioctl(fd, 1, 0UL); });
    inside.arrive_and_wait();
    EXPECT_EQ(sys::close(fd), 0);
    closed.arrive_and_wait();
    t.join();
    EXPECT_EQ(seenReleases, 0) << "release ran while the ioctl was still inside the driver";
    EXPECT_EQ(drv.count("release"), 1);
}

}  // namespace
