// Statistics: the time difference with its borrow, the record filled from a backup (low
// 32 bits of the 64-bit geometry, version words left alone), the 26 lines in order, and
// the copy to user space with its short lengths and failures.
#include <memory>

#include "tests/support/module_fixture.h"

namespace {

using tav::fault::Site;

TEST(CalcTimeDiffTest, NanosecondsBorrowASecond) {
    struct Case {
        struct timespec start, end, diff;
    } cases[] = {{{5, 900000000}, {7, 100000000}, {1, 200000000}},
                 {{3, 250}, {3, 250}, {0, 0}},
                 {{0, 1}, {1, 0}, {0, 999999999}},
                 {{1, 0}, {4, 999999999}, {3, 999999999}}};
    for (const Case& c : cases) {
        struct timespec d = calcTimeDiff(c.start, c.end);
        EXPECT_EQ(d.tv_sec, c.diff.tv_sec);
        EXPECT_EQ(d.tv_nsec, c.diff.tv_nsec);
    }
}

class StatsTest : public tav::test::ModuleTest {
protected:
    // A record whose every counter differs from the others.
    void fill(Backup* b) {
        DiskInfo& di = b->diskInfo;
        di.kdev = MKDEV(8, 17);
        di.partitionStart = (1ull << 32) + 2048;
        di.blockSize = 1024;
        di.blocksPerPage = 4;
        di.partitionSizeKB = (1ull << 32) + 4096;
        di.numBlocks = (1ull << 32) + 8192;
        setBackupState(b, BACKUP_MAP_LOADED);
        b->maxVMPages = 64;
        b->maxCacheBlocks = 3000;
        atomic_t* counters[] = {&b->totalAllocPages, &b->curAllocPages, &b->totalAllocBRs, &b->curAllocBRs,
                                &b->totalAllocCPs,   &b->curAllocCPs,   &b->peakAllocCPs,  &b->totalCBs,
                                &b->curCBs,          &b->totalReadBlocks, &b->totalReadCBs, &b->totalCleanedCBs};
        for (int i = 0; i < 12; i++) atomic_set(counters[i], 101 + i);
        atomic_set(&b->ioctlCount, 7);
        b->eTimeToFreeze = {0, 0};
        b->eTimeFrozen = {1, 2000};
    }
};

TEST_F(StatsTest, TheRecordIsPrintedInTwentySixLinesAndCopiedAtMostWhole) {
    int fd = openDevice();
    Backup* b = recordOf(fd);
    fill(b);
    atomic_set(&curAllocAMPages, 9);
    Stats st;
    memset(&st, 0xa5, sizeof st);
    setStats(b, &st);
    EXPECT_EQ(st.driverVerMajor, 0xa5a5a5a5u) << "version words are not touched";
    EXPECT_EQ(st.driverVerMinor2, 0xa5a5a5a5u);
    EXPECT_EQ(st.vmPages, 0);

    tav::kernel::clearLog();
    printStats(&st);
    const char* want[] = {
        "<6>printStats: device: major(8) minor(17)",
        "<6>printStats: state: 6",
        "<6>printStats: block size: 1024",
        "<6>printStats: partition size (KB): 4096",
        "<6>printStats: file system size (blocks): 8192",
        "<6>printStats: pages allocated for write journal: 9",
        "<6>printStats: max cache size in blocks: 3000",
        "<6>printStats: total pages allocated: 101",
        "<6>printStats: current pages allocated: 102",
        "<6>printStats: total Block Requests allocated: 103",
        "<6>printStats: current Block Requests allocated: 104",
        "<6>printStats: total cached blocks: 105",
        "<6>printStats: current cached blocks: 106",
        "<6>printStats: peak cached blocks: 107",
        "<6>printStats: total block cache data structures: 108",
        "<6>printStats: current block cache data structures: 109",
        "<6>printStats: total reads from disk: 110",
        "<6>printStats: total reads from cache: 111",
        "<6>printStats: blocks cleaned from cache: 112",
        "<6>printStats: partition start (sector): 2048",
        "<6>printStats: blocks per page: 4",
        "<6>printStats: max buffer size in pages: 64",
        "<6>printStats: buffer pages allocated: 0",
        "<6>printStats: commands processed: 7",
        "<6>printStats: time to freeze in seconds: 0.000000000",
        "<6>printStats: time frozen in seconds: 1.000002000",
    };
    auto lines = tav::kernel::logLines();
    ASSERT_EQ(lines.size(), 26u);
    for (size_t i = 0; i < 26; i++) {
        EXPECT_EQ(lines[i].text, want[i]) << "line " << i + 1;
        EXPECT_EQ(lines[i].level, 6);
    }

    std::vector<std::uint8_t> user(200, 0xee);
    auto* out = reinterpret_cast<Stats*>(user.data());

    ASSERT_EQ(ioctlGetStats(b, out, 8), 0);
    EXPECT_EQ(out->driverVerMajor, 0u);
    EXPECT_EQ(out->driverVerMinor, 0u);
    EXPECT_EQ(std::count(user.begin() + 8, user.end(), 0xee), 192);

    ASSERT_EQ(ioctlGetStats(b, out, 200), 0);
    EXPECT_EQ(memcmp(&out->major, &st.major, sizeof st - 12), 0) << "the same record";
    EXPECT_EQ(std::count(user.begin() + 144, user.end(), 0xee), 56);

    tav::fault::add(tav::fault::failNth(Site::Kmalloc, 1));
    EXPECT_EQ(ioctlGetStats(b, out, 200), TAV_ERR_NO_MEMORY);
    tav::fault::add(tav::fault::failNth(Site::CopyToUser, 1));
    EXPECT_EQ(ioctlGetStats(b, out, 200), TAV_ERR_COPY_TO_USER);
    EXPECT_TRUE(tav::kernel::logContains("<3>ioctlGetStats: copy to user space failed"));
    atomic_set(&curAllocAMPages, 0);
    setBackupState(b, BACKUP_IDLE);
}

}  // namespace
