// Mapping a device file: vm_flags, real page faults served by nopage in place, bus
// errors, unmapping and undoing a failed mmap.
#include <atomic>
#include <barrier>
#include <thread>

#include "kernel/uaccess.h"
#include "tests/unit/kernel/vfs_test_driver.h"

namespace {

using tav::test::DiedOf;
using tav::test::patternWord;
using tav::test::TestDriver;
namespace sys = tav::sys;

constexpr unsigned kMajor = 243;

class MmapFaultTest : public tav::test::DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        drv_ = std::make_unique<TestDriver>(kMajor, "tmap");
    }
    void TearDown() override {
        drv_.reset();
        DriverTest::TearDown();
    }
    struct vm_area_struct* vmaAt(const void* p) {
        return find_vma(tav::kernel::processMm(), reinterpret_cast<unsigned long>(p));
    }
    // Opens and maps pages of the device read-only and private, as the agent does.
    const u32* mapPages(unsigned pages, int* fdOut = nullptr) {
        int fd = sys::open("/dev/tmap", O_RDONLY);
        EXPECT_GE(fd, 0);
        if (fdOut) *fdOut = fd;
        int err = 1;
        void* p = sys::mmap(fd, pages * PAGE_SIZE, PROT_READ, MAP_PRIVATE, 0, &err);
        EXPECT_EQ(err, 0);
        return static_cast<const u32*>(p);
    }
    static constexpr unsigned kWords = PAGE_SIZE / sizeof(u32);
    std::unique_ptr<TestDriver> drv_;
};

TEST_F(MmapFaultTest, VmFlagsAndRefusalsFollowTheOpenModeAndMapType) {
    struct Case {
        int openFlags, prot, mapFlags;
        off_t offset;
        int error;
        unsigned long flags;  // vm_flags the driver sees, when mapped
    };
    constexpr unsigned long kMay = VM_MAYREAD | VM_MAYWRITE | VM_MAYEXEC;
    const Case cases[] = {
        {O_RDONLY, PROT_READ, MAP_PRIVATE, 0, 0, VM_READ | kMay},
        {O_RDONLY, PROT_READ | PROT_WRITE, MAP_PRIVATE, 0, 0, VM_READ | VM_WRITE | kMay},
        {O_RDWR, PROT_READ, MAP_SHARED, 0, 0, VM_READ | kMay | VM_SHARED | VM_MAYSHARE},
        {O_RDONLY, PROT_READ, MAP_SHARED, 0, 0, VM_READ | VM_MAYREAD | VM_MAYEXEC | VM_MAYSHARE},
        {O_RDONLY, PROT_READ, MAP_PRIVATE, 3 * PAGE_SIZE, 0, VM_READ | kMay},
        {O_RDONLY, PROT_READ | PROT_WRITE, MAP_SHARED, 0, -EACCES, 0},
        {O_WRONLY, PROT_READ, MAP_PRIVATE, 0, -EACCES, 0},
        {O_RDONLY, PROT_READ, MAP_PRIVATE, 100, -EINVAL, 0},
        {O_RDONLY, PROT_READ, MAP_PRIVATE | MAP_FIXED, 0, -EINVAL, 0},
        {O_RDONLY, PROT_READ, MAP_SHARED | MAP_PRIVATE, 0, -EINVAL, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "open " << c.openFlags << " prot " << c.prot << " flags "
                                          << c.mapFlags << " offset " << c.offset);
        int fd = sys::open("/dev/tmap", c.openFlags);
        ASSERT_GE(fd, 0);
        int mmapsBefore = drv_->count("mmap");
        int err = 1;
        void* p = sys::mmap(fd, PAGE_SIZE, c.prot, c.mapFlags, c.offset, &err);
        EXPECT_EQ(err, c.error);
        if (c.error) {
            EXPECT_EQ(p, MAP_FAILED);
            EXPECT_EQ(drv_->count("mmap"), mmapsBefore) << "refused before the driver is asked";
        } else {
            ASSERT_NE(p, MAP_FAILED);
            struct vm_area_struct* vma = vmaAt(p);
            ASSERT_NE(vma, nullptr);
            EXPECT_EQ(vma->vm_flags, c.flags);
            EXPECT_EQ(vma->vm_pgoff, static_cast<unsigned long>(c.offset) / PAGE_SIZE);
            EXPECT_EQ(vma->vm_end - vma->vm_start, PAGE_SIZE);
            EXPECT_EQ(vma->vm_start, reinterpret_cast<unsigned long>(p));
            EXPECT_EQ(sys::munmap(p, PAGE_SIZE), 0);
        }
        sys::close(fd);
    }
    int fd = sys::open("/dev/tmap", O_RDONLY);
    int err = 0;
    EXPECT_EQ(sys::mmap(fd, 0, PROT_READ, MAP_PRIVATE, 0, &err), MAP_FAILED);
    EXPECT_EQ(err, -EINVAL);
    EXPECT_EQ(sys::mmap(77, PAGE_SIZE, PROT_READ, MAP_PRIVATE, 0, &err), MAP_FAILED);
    EXPECT_EQ(err, -EBADF);
    drv_->fops.mmap = nullptr;
    EXPECT_EQ(sys::mmap(fd, PAGE_SIZE, PROT_READ, MAP_PRIVATE, 0, &err), MAP_FAILED);
    EXPECT_EQ(err, -ENODEV);
    EXPECT_EQ(sys::mappings(), 0);
}

TEST_F(MmapFaultTest, TheProgramReadsTheDriversPagesInPlace) {
    constexpr unsigned kPages = 4;
    const u32* user = mapPages(kPages);
    ASSERT_NE(user, MAP_FAILED);
    EXPECT_EQ(drv_->nopages, 0) << "nothing is mapped before the first access";
    auto* area = TestDriver::areaOf(const_cast<u32*>(user));
    ASSERT_NE(area, nullptr);
    for (unsigned i = 0; i < kPages; i++) {
        EXPECT_EQ(page_count(area->pages[i]), 1);
        EXPECT_EQ(user[i * kWords + 5], patternWord(i, 5)) << "page " << i;
        EXPECT_EQ(user[i * kWords + kWords - 1], patternWord(i, kWords - 1));
        EXPECT_EQ(page_count(area->pages[i]), 2) << "the mapping holds nopage's reference";
    }
    EXPECT_EQ(drv_->nopages, static_cast<int>(kPages)) << "one fault per page";

    // The kernel writes the page after it was mapped: the program sees it at once, with
    // no further fault, because it maps the very page.
    auto* kernelView = static_cast<u32*>(page_address(area->pages[2]));
    kernelView[9] = 0xfeedf00d;
    EXPECT_EQ(user[2 * kWords + 9], 0xfeedf00dU);
    EXPECT_EQ(sys::touch(&user[2 * kWords]), 0);
    EXPECT_EQ(drv_->nopages, static_cast<int>(kPages));
    {
        std::lock_guard g(drv_->lock);
        for (auto* v : drv_->nopageVmas) EXPECT_EQ(v, vmaAt(user));
    }
}

TEST_F(MmapFaultTest, NoPageIsABusErrorAndBadAccessesAreNotFaultsOfOurs) {
    drv_->pagesPerMapping = 1;
    const u32* user = mapPages(2);
    ASSERT_NE(user, MAP_FAILED);
    EXPECT_EQ(sys::touch(user), 0);
    EXPECT_EQ(sys::touch(user + kWords), sys::kBusError);
    EXPECT_EQ(sys::touch(user + 2 * kWords), -EFAULT) << "past the mapping";
    EXPECT_EQ(sys::touch(user, true), -EFAULT) << "a read-only mapping refuses writes";
    int here = 0;
    EXPECT_EQ(sys::touch(&here), -EFAULT) << "not a mapping at all";
    drv_->oomPage = true;
    EXPECT_EQ(sys::touch(user + kWords), -ENOMEM);
    EXPECT_EQ(sys::touch(user), 0) << "a present page needs no nopage";
}

TEST_F(MmapFaultTest, RealAccessWithoutAPageDiesOfSigbus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    drv_->pagesPerMapping = 1;
    const volatile u32* user = mapPages(2);
    ASSERT_NE(user, MAP_FAILED);
    EXPECT_EQ(user[0], patternWord(0, 0));
    EXPECT_EXIT((void)user[kWords], DiedOf{SIGBUS}, tav::test::deathReport(SIGBUS));
}

TEST_F(MmapFaultTest, RealCrashesStillCrash) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    volatile u32* user = const_cast<u32*>(mapPages(1));
    ASSERT_NE(user, MAP_FAILED);
    EXPECT_EXIT(user[0] = 1, DiedOf{SIGSEGV}, tav::test::deathReport(SIGSEGV)) << "write to a read-only mapping";
    void* foreign = ::mmap(nullptr, PAGE_SIZE, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(foreign, MAP_FAILED);
    EXPECT_EXIT((void)*static_cast<volatile int*>(foreign), DiedOf{SIGSEGV}, tav::test::deathReport(SIGSEGV));
    ::munmap(foreign, PAGE_SIZE);
}

TEST_F(MmapFaultTest, UnmapClosesTheAreaAndGivesEveryReferenceBack) {
    constexpr unsigned kPages = 3;
    drv_->pagesPerMapping = kPages;
    int fd;
    const u32* user = mapPages(kPages, &fd);
    auto* area = TestDriver::areaOf(const_cast<u32*>(user));
    struct page* kept = area->pages[1];
    get_page(kept);  // to watch its count across the unmap
    for (unsigned i = 0; i < kPages; i++) EXPECT_EQ(sys::touch(user + i * kWords), 0);
    EXPECT_EQ(page_count(kept), 3);
    sys::close(fd);
    EXPECT_EQ(drv_->count("release"), 0) << "the mapping still holds the file";

    long pagesBefore = tav::kernel::live().pages.load();
    struct vm_area_struct* vma = vmaAt(user);
    EXPECT_EQ(sys::munmap(const_cast<u32*>(user), kPages * PAGE_SIZE), 0);
    EXPECT_EQ(page_count(kept), 1) << "the mapping's and the driver's references are gone";
    put_page(kept);
    EXPECT_EQ(tav::kernel::live().pages.load(), pagesBefore - static_cast<long>(kPages));
    std::lock_guard g(drv_->lock);
    EXPECT_EQ(drv_->vmClosed, std::vector<struct vm_area_struct*>{vma});
    EXPECT_EQ(drv_->events.back(), "release") << "the mapping held the file's last reference";
    EXPECT_EQ(sys::mappings(), 0);
    EXPECT_EQ(sys::touch(user), -EFAULT);
}

TEST_F(MmapFaultTest, AFailedMmapLeavesNothingBehind) {
    drv_->mmapResult = -ENOMEM;
    int fd = sys::open("/dev/tmap", O_RDONLY);
    int err = 0;
    EXPECT_EQ(sys::mmap(fd, 2 * PAGE_SIZE, PROT_READ, MAP_PRIVATE, 0, &err), MAP_FAILED);
    EXPECT_EQ(err, -ENOMEM);
    EXPECT_EQ(sys::mappings(), 0);
    struct file* f = fget(static_cast<unsigned>(fd));
    EXPECT_EQ(atomic_read(&f->f_count), 2) << "the descriptor's and ours: the mapping's is back";
    fput(f);
    sys::close(fd);
    EXPECT_EQ(drv_->history(), (std::vector<std::string>{"open", "mmap", "flush", "release"}))
        << "no close for a mapping that never existed";
}

TEST_F(MmapFaultTest, PartialUnmapSplitsLikeTheKernel) {
    const u32* user = mapPages(4);
    for (unsigned i = 0; i < 4; i++) ASSERT_EQ(sys::touch(user + i * kWords), 0);
    struct vm_area_struct* original = vmaAt(user);
    auto* area = TestDriver::areaOf(const_cast<u32*>(user));
    // Unmap pages 1..2: the original keeps page 0, a piece keeps page 3.
    EXPECT_EQ(sys::munmap(const_cast<u32*>(user + kWords), 2 * PAGE_SIZE), 0);
    EXPECT_EQ(sys::mappings(), 2);
    EXPECT_EQ(original->vm_end, reinterpret_cast<unsigned long>(user + kWords));
    struct vm_area_struct* upper = vmaAt(user + 3 * kWords);
    ASSERT_NE(upper, original);
    EXPECT_EQ(upper->vm_pgoff, 3U);
    EXPECT_EQ(upper->vm_private_data, area);
    EXPECT_EQ(drv_->count("vmopen"), 2) << "one for each piece split off";
    EXPECT_EQ(drv_->count("vmclose"), 1);
    EXPECT_EQ(page_count(area->pages[1]), 1);
    EXPECT_EQ(page_count(area->pages[3]), 2) << "still mapped in the upper piece";
    EXPECT_EQ(user[0], patternWord(0, 0));
    EXPECT_EQ(user[3 * kWords + 1], patternWord(3, 1));
    EXPECT_EQ(sys::touch(user + kWords), -EFAULT);
}

TEST_F(MmapFaultTest, PrivateWritesGoToTheProgramsOwnCopy) {
    int fd = sys::open("/dev/tmap", O_RDONLY);
    auto* user = static_cast<u32*>(sys::mmap(fd, PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE, 0));
    ASSERT_NE(user, MAP_FAILED);
    auto* area = TestDriver::areaOf(user);
    auto* kernelView = static_cast<u32*>(page_address(area->pages[0]));
    user[0] = 42;
    EXPECT_EQ(user[0], 42U);
    EXPECT_EQ(kernelView[0], patternWord(0, 0)) << "the driver's page stays as it was";
    EXPECT_EQ(user[1], patternWord(0, 1));
}

TEST_F(MmapFaultTest, ConcurrentFaultsMapEachPageOnce) {
    constexpr unsigned kPages = 8;
    constexpr int kThreads = 4;
    drv_->pagesPerMapping = kPages;
    const volatile u32* user = mapPages(kPages);
    auto* area = TestDriver::areaOf(const_cast<u32*>(user));
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (unsigned i = 0; i < kPages; i++) {
                unsigned page = (i + static_cast<unsigned>(t)) % kPages;
                if (user[page * kWords + 7] != patternWord(page, 7)) wrong++;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong, 0);
    for (unsigned i = 0; i < kPages; i++)
        EXPECT_EQ(page_count(area->pages[i]), 2) << "page " << i << ": a lost race kept a reference";
    EXPECT_GE(drv_->nopages, static_cast<int>(kPages));
}

// Both threads are inside nopage for the same page before either maps it: the one that
// comes second finds the page mapped and gives its reference back.
TEST_F(MmapFaultTest, TheLoserOfAFaultRaceGivesItsPageBack) {
    const volatile u32* user = mapPages(1);
    auto* area = TestDriver::areaOf(const_cast<u32*>(user));
    std::barrier bothInside(2);
    drv_->inNopage = [&](unsigned long) { bothInside.arrive_and_wait(); };
    u32 seen[2] = {};
    std::thread a([&] { seen[0] = user[3]; });
    std::thread b([&] { seen[1] = user[4]; });
    a.join();
    b.join();
    EXPECT_EQ(drv_->nopages, 2);
    EXPECT_EQ(seen[0], patternWord(0, 3));
    EXPECT_EQ(seen[1], patternWord(0, 4));
    EXPECT_EQ(page_count(area->pages[0]), 2);
}

TEST_F(MmapFaultTest, ProcessExitUnmapsThenCloses) {
    int fd;
    const u32* user = mapPages(2, &fd);
    EXPECT_EQ(sys::touch(user), 0);
    int other = sys::open("/dev/tmap", O_RDWR);
    ASSERT_GE(other, 0);
    sys::exitProcess();
    EXPECT_EQ(sys::mappings(), 0);
    EXPECT_EQ(sys::openDescriptors(), 0);
    EXPECT_EQ(drv_->history(), (std::vector<std::string>{"open", "mmap", "open", "vmclose", "flush",
                                                         "release", "flush", "release"}));
}

// A user copy meets a page of a device mapping that was never touched: it is faulted in
// through nopage, in the copying thread under the mmap lock, as 2.6.9's fault path does.
TEST_F(MmapFaultTest, UserCopiesFaultMappingPagesInThroughNopage) {
    const u32* p = mapPages(6);
    bool underLock = false;
    drv_->inNopage = [&](unsigned long) { underLock = tav::kernel::holdsMmapLock(); };
    u32 got[4];
    int before = drv_->nopages;
    EXPECT_EQ(copy_from_user(got, p + kWords + 10, sizeof got), 0UL);
    EXPECT_EQ(drv_->nopages, before + 1);
    EXPECT_TRUE(underLock);
    EXPECT_EQ(got[0], patternWord(1, 10));
    EXPECT_EQ(got[3], patternWord(1, 13));
    EXPECT_EQ(copy_from_user(got, p + kWords, sizeof got), 0UL);
    EXPECT_EQ(drv_->nopages, before + 1) << "a present page is not asked for again";
    EXPECT_EQ(got[0], patternWord(1, 0));
    EXPECT_EQ(copy_to_user(const_cast<u32*>(p + kWords), got, sizeof got), sizeof got) << "read-only mapping";
    // Across into a page the driver cannot give: the good prefix, then nothing.
    EXPECT_EQ(copy_from_user(got, p + 4 * kWords - 2, sizeof got), 8UL);
    EXPECT_EQ(got[1], patternWord(3, kWords - 1));
    EXPECT_EQ(got[2], 0U);
    drv_->inNopage = nullptr;
}

// Only a copy that faults waits for the mmap lock (held here as a munmap holds it).
TEST_F(MmapFaultTest, OnlyACopyThatFaultsWaitsForTheMmapLock) {
    const u32* p = mapPages(2);
    u32 got[2];
    EXPECT_EQ(sys::touch(p), 0);
    struct rw_semaphore* mmapSem = &tav::kernel::processMm()->mmap_sem;
    down_write(mmapSem);
    EXPECT_EQ(copy_from_user(got, p, sizeof got), 0UL) << "a present page";
    std::atomic<bool> done{false};
    std::thread copier([&] {
        EXPECT_EQ(copy_from_user(got, p + kWords, sizeof got), 0UL);
        done = true;
    });
    while (rwsemWaiters(mmapSem) == 0 && !done) std::this_thread::yield();
    EXPECT_FALSE(done);
    up_write(mmapSem);
    copier.join();
    EXPECT_EQ(got[0], patternWord(1, 0));
}

}  // namespace
