// User copies on good, bad and half-bad addresses.
#include <sys/mman.h>

#include "kernel/uaccess.h"
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
    std::vector<char> dst(100, 0);
    // 40 readable bytes, then the protected page.
    EXPECT_EQ(copy_from_user(dst.data(), area_ + PAGE_SIZE - 40, 100), 60UL);
    EXPECT_EQ(std::count(dst.begin(), dst.begin() + 40, 'a'), 40);
    EXPECT_EQ(dst[40], 0);
    std::vector<char> src(100, 'b');
    EXPECT_EQ(copy_to_user(area_ + PAGE_SIZE - 10, src.data(), 100), 90UL);
    EXPECT_EQ(area_[PAGE_SIZE - 1], 'b');
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

}  // namespace
