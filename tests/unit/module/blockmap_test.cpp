// Block maps: sizes, layout, user copies, range checks and the users-count wait.
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "2.6/tavlib.h"
#include "kernel/vmalloc.h"
#include "tests/support/checks.h"

using namespace std::chrono_literals;

namespace {

class BlockMapTest : public tav::test::PlatformTest {
protected:
    void TearDown() override {
        unsigned int freed = 0;
        closeBlockMap(&map_, &freed);
        PlatformTest::TearDown();
    }
    BlockMap map_{};
    unsigned int pages_ = 0;
};

TEST_F(BlockMapTest, SizesGivePagesAndRangeEnds) {
    struct Case {
        unsigned int size, numBytes, pages;
    } cases[] = {{1, 1, 1}, {32768, 4096, 1}, {32769, 4097, 2}, {100000, 12500, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        ASSERT_EQ(newBlockMap(&map_, c.size, nullptr, 1, &pages_), 0);
        EXPECT_EQ(map_.numBytes, c.numBytes);
        EXPECT_EQ(pages_, c.pages);
        EXPECT_EQ(numPagesInBlockMap(&map_), c.pages);
        EXPECT_EQ(tav::kernel::live().pages.load(), before_.pages + c.pages);
        unsigned int last = c.size - 1;
        EXPECT_EQ(blockInMap(&map_, last), 0);
        EXPECT_EQ(setBlock(&map_, last), 0);
        EXPECT_NE(blockInMap(&map_, last), 0);
        EXPECT_EQ(unSetBlock(&map_, last), 0);
        EXPECT_EQ(blockInMap(&map_, last), 0);
        // One past the end: nothing changes and the out-of-range results come back.
        EXPECT_EQ(setBlock(&map_, c.size), static_cast<int>(c.size));
        EXPECT_EQ(unSetBlock(&map_, c.size), 1);
        EXPECT_EQ(blockInMap(&map_, c.size), 0);
        EXPECT_EQ(setBlock(&map_, c.size + 5), static_cast<int>(c.size + 5));
        unsigned int freed = 0;
        closeBlockMap(&map_, &freed);
        EXPECT_EQ(freed, c.pages);
    }
}

TEST_F(BlockMapTest, InvalidSizesAreRefusedAndTheRecordIsLeftAlone) {
    map_.numBytes = 77;  // marker: a refused size must not touch the record
    EXPECT_EQ(newBlockMap(&map_, 0, nullptr, 1, &pages_), TAV_ERR_INVALID);
    EXPECT_EQ(newBlockMap(&map_, 4294967289U, nullptr, 1, &pages_), TAV_ERR_INVALID);
    EXPECT_EQ(map_.numBytes, 77U);
    EXPECT_EQ(tav::kernel::logCount("<3>newBlockMap: block size size=0 invalid"), 1U);
    EXPECT_EQ(tav::kernel::logCount("<3>newBlockMap: block size size=4294967289 invalid"), 1U);
    EXPECT_EQ(tav::kernel::live().vmallocBlocks.load(), before_.vmallocBlocks);
    map_.numBytes = 0;
}

TEST_F(BlockMapTest, LargestMapIsPagedWithoutLargeContiguousAllocations) {
    ASSERT_EQ(newBlockMap(&map_, 4294967288U, nullptr, 0, &pages_), 0);
    EXPECT_EQ(map_.numBytes, 536870911U);
    EXPECT_EQ(pages_, 131072U);
    EXPECT_EQ(tav::kernel::live().vmallocBlocks.load(), before_.vmallocBlocks + 1);  // the page array only
    EXPECT_NE(blockInMap(&map_, 4294967287U), 0) << "filled with ones";
    EXPECT_EQ(unSetBlock(&map_, 4294967287U), 0);
    EXPECT_EQ(blockInMap(&map_, 4294967287U), 0);
    EXPECT_NE(blockInMap(&map_, 4294967286U), 0);
    EXPECT_EQ(setBlock(&map_, 4294967288U), static_cast<int>(4294967288U));
}

TEST_F(BlockMapTest, UserBytesKeepTheSharedBitLayout) {
    std::vector<unsigned char> user(8192 + 10, 0);
    user[1] = 0x01;      // block 8
    user[4096] = 0x80;   // block 32775: page 1, bit 7
    user[8192 + 9] = 0x04;  // block 65610
    ASSERT_EQ(newBlockMap(&map_, 65611, reinterpret_cast<char*>(user.data()), 0, &pages_), 0);
    EXPECT_EQ(pages_, 3U);
    EXPECT_NE(blockInMap(&map_, 8), 0);
    EXPECT_EQ(blockInMap(&map_, 0), 0);
    EXPECT_EQ(blockInMap(&map_, 9), 0);
    EXPECT_NE(blockInMap(&map_, 32775), 0);
    EXPECT_NE(blockInMap(&map_, 65610), 0);
    EXPECT_EQ(blockInMap(&map_, 65609), 0);
    // The page bytes themselves hold the user's layout.
    const unsigned char* p1 = static_cast<unsigned char*>(page_address(map_.map[1]));
    EXPECT_EQ(p1[0], 0x80);
}

TEST_F(BlockMapTest, ShortUserBufferFailsWithTheFirstUnreadablePage) {
    char* area = static_cast<char*>(
        mmap(nullptr, 2 * PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    ASSERT_EQ(mprotect(area + PAGE_SIZE, PAGE_SIZE, PROT_NONE), 0);
    // 3 pages of map (8200 bytes) from a buffer of which only the first page is readable.
    EXPECT_EQ(newBlockMap(&map_, 8200 * 8, area, 0, &pages_), TAV_ERR_COPY_FROM_USER);
    char expected[160];
    snprintf(expected, sizeof expected,
             "<3>newBlockMap: copy to user space failed data=%p bytesCopied=4096 bytesInMap=8200",
             static_cast<void*>(area + PAGE_SIZE));
    EXPECT_TRUE(tav::kernel::logContains(expected)) << tav::kernel::logLines().front().text;
    EXPECT_TRUE(tav::kernel::logContains("<3>newBlockMap: Out of Memory Error."));
    EXPECT_EQ(map_.map, nullptr);
    EXPECT_EQ(pages_, 0U) << "the page count is written only on success";
    EXPECT_EQ(tav::kernel::live().pages.load(), before_.pages);
    munmap(area, 2 * PAGE_SIZE);
}

TEST_F(BlockMapTest, AllocationFailuresReleaseEverything) {
    tav::fault::add(tav::fault::failNth(tav::fault::Site::Vmalloc, 1));
    EXPECT_EQ(newBlockMap(&map_, 100000, nullptr, 1, &pages_), TAV_ERR_NO_MEMORY);
    EXPECT_TRUE(tav::kernel::logContains(
        "<3>newBlockMap: failed allocating (32) bytes of memory for block map page array"));
    EXPECT_EQ(map_.map, nullptr);
    EXPECT_EQ(map_.size, 0U);

    tav::fault::clear();
    tav::fault::add(tav::fault::failNth(tav::fault::Site::AllocPage, 3));
    EXPECT_EQ(newBlockMap(&map_, 100000, nullptr, 1, &pages_), TAV_ERR_NO_MEMORY);
    EXPECT_TRUE(tav::kernel::logContains("<3>newBlockMap: failed allocating page number (2) for block map"));
    EXPECT_TRUE(tav::kernel::logContains("<3>newBlockMap: Out of Memory Error."));
    EXPECT_EQ(map_.map, nullptr);
    EXPECT_EQ(tav::kernel::live().pages.load(), before_.pages);
    EXPECT_EQ(tav::kernel::live().vmallocBlocks.load(), before_.vmallocBlocks);
    EXPECT_EQ(pages_, 0U);
}

TEST_F(BlockMapTest, ClosedMapAnswersOutOfRangeAndClosesOnce) {
    ASSERT_EQ(newBlockMap(&map_, 64, nullptr, 1, &pages_), 0);
    setBlock(&map_, 3);
    unsigned int freed = 99;
    closeBlockMap(&map_, &freed);
    EXPECT_EQ(freed, 1U);
    EXPECT_EQ(blockInMap(&map_, 3), 0);
    EXPECT_EQ(setBlock(&map_, 3), 3);
    EXPECT_EQ(unSetBlock(&map_, 3), 1);
    freed = 99;
    closeBlockMap(&map_, &freed);
    EXPECT_EQ(freed, 99U) << "a second close wrote its out-parameter";
}

TEST_F(BlockMapTest, WaiterReturnsOnlyAfterABlockedBitOperationLeft) {
    ASSERT_EQ(newBlockMap(&map_, 1000, nullptr, 1, &pages_), 0);
    down(&map_.sem);  // the next bit operation blocks inside the map
    std::thread op([&] { setBlock(&map_, 7); });
    while (atomic_read(&map_.users) != 2) std::this_thread::sleep_for(1ms);

    std::atomic<bool> holding{false};
    std::thread waiter([&] {
        unsigned long flags;
        waitForBlockMapUsers(&map_, &flags);
        holding = true;
        // No user may be inside while the waiter holds the map.
        EXPECT_EQ(atomic_read(&map_.users), 1);
        spin_unlock_irqrestore(&map_.usersLock, flags);
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(holding.load()) << "the wait returned while a bit operation was inside";
    up(&map_.sem);
    op.join();
    waiter.join();
    EXPECT_TRUE(holding.load());
    EXPECT_NE(blockInMap(&map_, 7), 0);
    EXPECT_EQ(atomic_read(&map_.users), 1);
}

TEST_F(BlockMapTest, ConcurrentBitOperationsLoseNothing) {
    ASSERT_EQ(newBlockMap(&map_, 65536, nullptr, 1, &pages_), 0);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; t++)
        ts.emplace_back([&, t] {
            // Neighbouring bits of the same words, set by different threads.
            for (unsigned int b = t; b < 65536; b += 4) setBlock(&map_, b);
            for (unsigned int b = t; b < 65536; b += 8) unSetBlock(&map_, b);
        });
    for (auto& t : ts) t.join();
    int set = 0;
    for (unsigned int b = 0; b < 65536; b++) {
        bool expect = (b % 8) >= 4;
        if ((blockInMap(&map_, b) != 0) != expect) ADD_FAILURE() << "block " << b;
        set += expect;
    }
    EXPECT_EQ(set, 32768);
}

}  // namespace
