// User copies on good, bad and half-bad addresses.
#include <sys/mman.h>

#include <thread>

#include "kernel/mman.h"
#include "kernel/slab.h"
#include "kernel/uaccess.h"
#include "kernel/vmalloc.h"
#include "tests/support/checks.h"

namespace {

class UaccessTest : public tav::test::PlatformTest {
protected:
    // Two pages: the first readable and writable, the second inaccessible.
    void SetUp() override {
        PlatformTest::SetUp();
        area_ = static_cast<char*>(mmap(nullptr, 2 * PAGE_SIZE, PROT_READ | PROT_WRITE,
                                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(area_, MAP_FAILED);
        ASSERT_EQ(mprotect(area_ + PAGE_SIZE, PAGE_SIZE, PROT_NONE), 0);
    }
    void TearDown() override {
        munmap(area_, 2 * PAGE_SIZE);
        PlatformTest::TearDown();
    }
    char* area_ = nullptr;
};

TEST_F(UaccessTest, GoodCopiesInBothDirections) {
    char src[64];
    for (int i = 0; i < 64; i++) src[i] = static_cast<char>(i);
    EXPECT_EQ(copy_to_user(area_, src, 64), 0UL);
    char back[64] = {};
    EXPECT_EQ(copy_from_user(back, area_, 64), 0UL);
    EXPECT_EQ(memcmp(src, back, 64), 0);
    EXPECT_EQ(copy_from_user(back, nullptr, 0), 0UL) << "a zero-length copy touches nothing";
}

TEST_F(UaccessTest, BadAddressesReturnTheBytesNotCopied) {
    char buf[16] = {};
    EXPECT_EQ(copy_from_user(buf, nullptr, 16), 16UL);
    EXPECT_EQ(copy_from_user(buf, reinterpret_cast<void*>(0x1), 16), 16UL);
    EXPECT_EQ(copy_to_user(area_ + PAGE_SIZE, buf, 16), 16UL);
    u32 v = 7;
    EXPECT_EQ(put_user(v, reinterpret_cast<u32*>(area_ + PAGE_SIZE)), -EFAULT);
    EXPECT_EQ(put_user(v, reinterpret_cast<u32*>(area_)), 0);
    EXPECT_EQ(*reinterpret_cast<u32*>(area_), 7U);
}

TEST_F(UaccessTest, PartlyBadRangeCopiesTheGoodPrefix) {
    memset(area_, 'a', PAGE_SIZE);
    std::vector<char> dst(100, 'x');
    // 40 readable bytes, then the protected page; the rest is zeroed, not left stale.
    EXPECT_EQ(copy_from_user(dst.data(), area_ + PAGE_SIZE - 40, 100), 60UL);
    EXPECT_EQ(std::count(dst.begin(), dst.begin() + 40, 'a'), 40);
    EXPECT_EQ(std::count(dst.begin() + 40, dst.end(), 0), 60);
    std::vector<char> src(100, 'b');
    EXPECT_EQ(copy_to_user(area_ + PAGE_SIZE - 10, src.data(), 100), 90UL);
    EXPECT_EQ(area_[PAGE_SIZE - 1], 'b');
}

// Small copies skip the system call until something faults; each fault must leave the
// thread as it was (SIGSEGV not left blocked, no stale jump target), here and in a thread
// of its own, for reads and writes, and the results match the full path's.
TEST_F(UaccessTest, RepeatedFaultsOnSmallCopiesKeepEveryLaterCopyRight) {
    ASSERT_EQ(mprotect(area_, PAGE_SIZE, PROT_READ), 0);  // the good page read-only now
    auto run = [this] {
        char buf[32];
        for (int i = 0; i < 200; i++) {
            memset(buf, 'x', sizeof buf);
            EXPECT_EQ(copy_from_user(buf, area_ + PAGE_SIZE, sizeof buf), sizeof buf);
            EXPECT_EQ(std::count(buf, buf + sizeof buf, 0), 32);
            EXPECT_EQ(copy_to_user(area_, buf, sizeof buf), sizeof buf) << "a read-only page was written";
            EXPECT_EQ(copy_from_user(buf, area_ + PAGE_SIZE - 8, sizeof buf), 24UL);
            EXPECT_EQ(copy_from_user(buf, area_, sizeof buf), 0UL);
        }
    };
    run();
    std::thread t(run);
    t.join();
    EXPECT_EQ(area_[0], 0) << "the read-only page changed";
#if !defined(__SANITIZE_THREAD__)
    char b[8];
    EXPECT_TRUE(tav::kernel::copyNoFault(b, area_, sizeof b));
    EXPECT_FALSE(tav::kernel::copyNoFault(b, area_ + PAGE_SIZE, sizeof b));
    EXPECT_FALSE(tav::kernel::copyNoFault(area_, b, sizeof b));
#endif
    // A fault nobody guards is still a crash, not a silent jump into an old copy.
    EXPECT_DEATH(static_cast<void>(*static_cast<volatile char*>(area_ + PAGE_SIZE)), "");
}

TEST_F(UaccessTest, AFileMappingPastItsEndFailsTheCopyNotTheProcess) {
    char path[] = "/tmp/tav-uaccess-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    ASSERT_EQ(ftruncate(fd, PAGE_SIZE), 0);
    auto* map = static_cast<char*>(mmap(nullptr, 2 * PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    ::close(fd);
    ASSERT_NE(map, MAP_FAILED);
    char buf[32];
    EXPECT_EQ(copy_from_user(buf, map + PAGE_SIZE, sizeof buf), sizeof buf);
    EXPECT_EQ(copy_to_user(map + PAGE_SIZE, buf, sizeof buf), sizeof buf);
    EXPECT_EQ(copy_from_user(buf, map + PAGE_SIZE - 8, sizeof buf), 24UL);
    // Outside a copy a bus error still ends the process.
    EXPECT_DEATH(static_cast<void>(*static_cast<volatile char*>(map + PAGE_SIZE)), "");
    munmap(map, 2 * PAGE_SIZE);
}

TEST_F(UaccessTest, InjectedAddressRangeFailsLikeAnUnmappedOne) {
    tav::fault::Rule r = tav::fault::failAllFromNow(tav::fault::Site::CopyFromUser);
    r.first = reinterpret_cast<u64>(area_) + 100;
    r.last = reinterpret_cast<u64>(area_) + 199;
    tav::fault::add(r);
    char buf[300];
    EXPECT_EQ(copy_from_user(buf, area_, 300), 200UL);
    EXPECT_EQ(copy_from_user(buf, area_, 100), 0UL) << "a range below the rule failed";
    EXPECT_EQ(copy_from_user(buf, area_ + 200, 100), 0UL) << "a range above the rule failed";
    EXPECT_EQ(copy_to_user(area_ + 100, buf, 10), 0UL) << "the rule is for reads only";
    EXPECT_EQ(tav::fault::fired(tav::fault::Site::CopyFromUser), 1);
}

TEST_F(UaccessTest, KernelAddressesAreRefusedAsAccessOkWould) {
    kmem_cache_t* cache = kmem_cache_create("tavUaccess", 64, 0, 0, nullptr, nullptr);
    ASSERT_NE(cache, nullptr);
    struct page* pg = alloc_page(GFP_KERNEL);
    struct Case {
        const char* what;
        void* addr;
    };
    const Case cases[] = {{"kmalloc", kmalloc(64, GFP_KERNEL)},
                          {"vmalloc", vmalloc(64)},
                          {"slab object", kmem_cache_alloc(cache, GFP_KERNEL)},
                          {"page", page_address(pg)},
                          {"inside a page", static_cast<char*>(page_address(pg)) + 100}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(c.addr, nullptr);
        memset(c.addr, 0x11, 64);
        char buf[64];
        memset(buf, 'x', sizeof buf);
        EXPECT_EQ(copy_to_user(c.addr, buf, 32), 32UL);
        EXPECT_EQ(static_cast<unsigned char*>(c.addr)[0], 0x11) << "nothing written";
        EXPECT_EQ(copy_from_user(buf, c.addr, 32), 32UL);
        EXPECT_EQ(std::count(buf, buf + 32, 0), 32) << "what could not be read is zeroed";
        EXPECT_EQ(buf[32], 'x');
    }
    kfree(cases[0].addr);
    vfree(cases[1].addr);
    kmem_cache_free(cache, cases[2].addr);
    __free_page(pg);
    EXPECT_EQ(kmem_cache_destroy(cache), 0);
}

}  // namespace
