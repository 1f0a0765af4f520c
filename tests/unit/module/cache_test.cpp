// The block cache: bucket order, the entry limit, reads by state, clean-up, GetDirtyBlock,
// teardown, and the start pieces that build it, with their allocation failures.
#include <sys/mman.h>

#include <atomic>
#include <thread>

#include "tests/unit/module/started_record.h"

namespace {

using tav::fault::Site;
using tav::kernel::logContains;

class CacheTest : public tav::test::RecordTest {
protected:
    void start(unsigned maxCacheBlocks, int blockSize = 1024, unsigned numBlocks = 20000) {
        setGeometry(blockSize, numBlocks);
        ASSERT_EQ(tav::test::startRecord(b_, maxCacheBlocks), 0);
        setBackupState(b_, BACKUP_SNAPSHOT_DONE);
    }
    int dirtyBlock(unsigned* out) {
        DirtyBlock r{out};
        return tav::sys::ioctl(fd_, TAV_GET_DIRTY_BLOCK, &r);
    }
    std::vector<char> buf_ = std::vector<char>(4096);
};

TEST_F(CacheTest, SharedBucketKeepsNewestFirstAndUnlinksEitherPosition) {
    start(100);
    ASSERT_EQ(save(5, 0xa5), 0);
    ASSERT_EQ(save(5 + 4096, 0xb6), 0);
    ASSERT_EQ(save(5 + 8192, 0xc7), 0);
    HashTable* ht = b_->blockTable[5];
    EXPECT_EQ(ht->busy->blockNum, 5U + 8192);
    EXPECT_EQ(ht->busy->next->blockNum, 5U + 4096);

    loadMap(20000, {5, 5 + 4096, 5 + 8192});
    unsigned block = 0;
    EXPECT_EQ(dirtyBlock(&block), 0);
    EXPECT_EQ(block, 5U + 8192) << "the first record of the lowest non-empty bucket";

    // A middle record: its predecessor is linked to its successor.
    EXPECT_EQ(cacheRead(b_, buf_.data(), 5 + 4096), 1024);
    EXPECT_EQ(buf_[0], static_cast<char>(0xb6));
    EXPECT_EQ(ht->busy->next->blockNum, 5U);
    // The first record: busy moves on.
    EXPECT_EQ(cacheRead(b_, buf_.data(), 5 + 8192), 1024);
    EXPECT_EQ(ht->busy->blockNum, 5U);
    EXPECT_EQ(ht->busy->next, nullptr);
    EXPECT_EQ(atomic_read(&b_->curCBs), 1);
    EXPECT_EQ(atomic_read(&b_->totalReadCBs), 2);
}

TEST_F(CacheTest, LimitRefusesTheStoreAfterNAndAReleaseMakesRoom) {
    start(3);
    loadMap(20000, {1, 2, 3, 4});
    for (unsigned n = 1; n <= 3; n++) ASSERT_EQ(save(n, 1), 0);
    EXPECT_EQ(atomic_read(&b_->peakAllocCPs), 3);
    // A release (first read once the map is loaded) makes room for one more.
    EXPECT_EQ(cacheRead(b_, buf_.data(), 2), 1024);
    EXPECT_EQ(save(4, 1), 0);
    EXPECT_EQ(backupState(b_), static_cast<unsigned>(BACKUP_MAP_LOADED));
    EXPECT_EQ(save(2 + 4096, 1), 0) << "not in the loaded map: nothing to store";

    setBlock(&b_->blockMap, 5);
    EXPECT_EQ(save(5, 1), 1);
    EXPECT_EQ(backupState(b_), static_cast<unsigned>(BACKUP_ERR_CACHE));
    EXPECT_TRUE(logContains("<3>getCacheBlock: configured max cache memory reached (3 blocks) failed to allocate "
                            "cache object"));
    EXPECT_EQ(atomic_read(&b_->curAllocCPs), 3);
    EXPECT_EQ(atomic_read(&b_->curCBs), 3);
    EXPECT_EQ(atomic_read(&b_->totalAllocCPs), 4);
    EXPECT_EQ(atomic_read(&b_->totalCBs), 4);
    EXPECT_EQ(atomic_read(&b_->peakAllocCPs), 3);
    EXPECT_EQ(cacheRead(b_, buf_.data(), 1), 0) << "a failed record reads nothing";
}

TEST_F(CacheTest, ZeroLimitStoresNothing) {
    start(0);
    EXPECT_EQ(save(7, 1), 1);
    EXPECT_EQ(backupState(b_), static_cast<unsigned>(BACKUP_ERR_CACHE));
    EXPECT_TRUE(logContains("(0 blocks)"));
    EXPECT_EQ(tav::kernel::slabObjects("tavCP0801"), 0);
}

TEST_F(CacheTest, ReadsRepeatUntilTheMapIsLoadedThenReleaseOnFirstRead) {
    start(10);
    ASSERT_EQ(save(9, 0x5a), 0);
    EXPECT_EQ(save(9, 0x77), 0) << "already preserved: not stored again";
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(cacheRead(b_, buf_.data(), 9), 1024);
        EXPECT_EQ(std::count(buf_.begin(), buf_.begin() + 1024, 0x5a), 1024);
    }
    EXPECT_EQ(atomic_read(&b_->curCBs), 1);

    loadMap(20000, {9});
    EXPECT_EQ(cacheRead(b_, buf_.data(), 9), 1024);
    EXPECT_EQ(blockInMap(&b_->blockMap, 9), 0);
    EXPECT_EQ(blockInMap(&b_->cacheMap, 9), 0);
    EXPECT_EQ(cacheRead(b_, buf_.data(), 9), 0);
    EXPECT_EQ(atomic_read(&b_->curAllocCPs), 0);
    EXPECT_EQ(atomic_read(&b_->totalReadCBs), 3);
}

TEST_F(CacheTest, CleanUpDropsWhatTheLoadedMapDoesNotNeed) {
    start(10);
    EXPECT_EQ(cleanUpCache(b_), TAV_ERR_GENERAL) << "map not loaded";
    for (unsigned n : {3u, 3u + 4096, 3u + 8192, 70u}) ASSERT_EQ(save(n, static_cast<unsigned char>(n)), 0);
    loadMap(20000, {3 + 4096, 70});
    EXPECT_EQ(cleanUpCache(b_), 0);
    EXPECT_EQ(atomic_read(&b_->totalCleanedCBs), 2);
    EXPECT_EQ(atomic_read(&b_->curCBs), 2);
    EXPECT_EQ(blockInMap(&b_->cacheMap, 3), 0);
    EXPECT_EQ(blockInMap(&b_->cacheMap, 3 + 8192), 0);
    EXPECT_EQ(b_->blockTable[3]->busy->blockNum, 3U + 4096);
    EXPECT_EQ(b_->blockTable[3]->busy->next, nullptr);
    EXPECT_EQ(cacheRead(b_, buf_.data(), 70), 1024);
    EXPECT_EQ(buf_[0], 70);

    setBackupState(b_, BACKUP_CLOSING);
    EXPECT_EQ(cleanUpCache(b_), 0);
    EXPECT_EQ(atomic_read(&b_->curCBs), 1) << "a closing record is left alone";
}

TEST_F(CacheTest, GetDirtyBlockNeedsALoadedMapAndAWritableAddress) {
    start(10);
    unsigned block = 1;
    ASSERT_EQ(save(12, 1), 0);
    EXPECT_EQ(dirtyBlock(&block), TAV_ERR_INVALID) << "no block map yet";
    loadMap(20000, {12});
    setBackupState(b_, BACKUP_SNAPSHOT_DONE);
    EXPECT_EQ(dirtyBlock(&block), TAV_ERR_INVALID);
    setBackupState(b_, BACKUP_MAP_LOADED);
    EXPECT_EQ(block, 1U) << "refusals store nothing";

    void* ro = mmap(nullptr, PAGE_SIZE, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_EQ(dirtyBlock(static_cast<unsigned*>(ro)), -EFAULT);
    munmap(ro, PAGE_SIZE);
    EXPECT_EQ(dirtyBlock(&block), 0);
    EXPECT_EQ(block, 12U);
    ASSERT_EQ(cacheRead(b_, buf_.data(), 12), 1024);
    EXPECT_EQ(dirtyBlock(&block), 0);
    EXPECT_EQ(block, 0xFFFFFFFFU);
}

TEST_F(CacheTest, CloseWaitsForABusyBucketAndRunsOnce) {
    start(10);
    for (unsigned n : {8u, 8u + 4096, 9u}) ASSERT_EQ(save(n, 1), 0);
    down(&b_->blockTable[8]->sem);
    std::thread closer([this] { closeCache(b_); });
    while (!logContains("<3>closeCache: ht->sem contended")) std::this_thread::yield();
    EXPECT_NE(b_->cpCache, nullptr) << "still waiting for bucket 8";
    up(&b_->blockTable[8]->sem);
    closer.join();
    EXPECT_EQ(b_->cpCache, nullptr);
    EXPECT_EQ(atomic_read(&b_->curCBs), 0);
    EXPECT_EQ(blockInMap(&b_->cacheMap, 8 + 4096), 0);
    EXPECT_EQ(tav::kernel::slabObjects("tavCP0801"), -1);
    EXPECT_EQ(tav::kernel::slabObjects("tavDC0801"), -1);
    closeCache(b_);  // a second close finds nothing to do
    EXPECT_EQ(tav::kernel::logCount("contended"), 1U);
}

TEST_F(CacheTest, StoreFailuresLeaveNothingAllocated) {
    start(10);
    struct Case {
        const char* cache;
        const char* message;
    } cases[] = {{"tavCP", "<3>getCacheBlock: system out of memory, failed to allocate cache object."},
                 {"tavDC", "<3>getCacheBlock: system out of memory failed to allocate block for write cache"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cache);
        setBackupState(b_, BACKUP_SNAPSHOT_DONE);
        tav::fault::Rule r = tav::fault::failNth(Site::SlabAlloc, 1);
        r.name = c.cache;
        tav::fault::add(r);
        EXPECT_EQ(save(30, 1), 1);
        EXPECT_EQ(tav::fault::fired(Site::SlabAlloc), 1);
        tav::fault::clear();
        EXPECT_EQ(backupState(b_), static_cast<unsigned>(BACKUP_ERR_CACHE));
        EXPECT_TRUE(logContains(c.message));
        EXPECT_EQ(tav::kernel::slabObjects("tavCP0801"), 0);
        EXPECT_EQ(tav::kernel::slabObjects("tavDC0801"), 0);
        EXPECT_EQ(b_->blockTable[30]->busy, nullptr);
    }
    // A data cache gone under the store fails it the same way.
    setBackupState(b_, BACKUP_SNAPSHOT_DONE);
    kmem_cache_t* dc = std::exchange(b_->dataCache, nullptr);
    EXPECT_EQ(save(30, 1), 1);
    b_->dataCache = dc;
    EXPECT_EQ(backupState(b_), static_cast<unsigned>(BACKUP_ERR_CACHE));
    EXPECT_EQ(tav::kernel::slabObjects("tavCP0801"), 0);
    EXPECT_TRUE(logContains("<2>getCacheBlock: b->dataCache was destroyed before kmem_cache_alloc!"));
    tav::kernel::clearLog();
}

TEST_F(CacheTest, StoresAndReleasesInParallelKeepTheCountersTogether) {
    start(100000, 1024, 200000);
    loadMap(200000, {});
    for (unsigned n = 0; n < 4000; n++) setBlock(&b_->blockMap, n);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (unsigned n = 0; n < 4000; n++) EXPECT_EQ(save(n, static_cast<unsigned char>(n), false), 0);
        done = true;
    });
    std::vector<char> out(1024);
    int read = 0;
    auto sweep = [&] {
        for (unsigned n = 0; n < 4000; n++) {
            if (!cacheRead(b_, out.data(), n)) continue;
            read++;
            EXPECT_EQ(out[1023], static_cast<char>(n));
        }
    };
    for (bool last = false; !last;) {
        last = done.load();
        sweep();
    }
    worker.join();
    EXPECT_EQ(read, 4000);
    EXPECT_EQ(atomic_read(&b_->curCBs), 0);
    EXPECT_EQ(atomic_read(&b_->curAllocCPs), 0);
    EXPECT_EQ(atomic_read(&b_->totalCBs), 4000);
}

// Each allocation of the start pieces fails once; whatever was built is released by close.
TEST_F(CacheTest, StartPieceFailuresAreReportedAndReleased) {
    struct Case {
        tav::fault::Rule rule;
        const char* name;
        int rc;
        const char* message;
    } cases[] = {
        {tav::fault::failNth(Site::SlabCreate, 1), "", TAV_ERR_NO_MEMORY,
         "<3>newBlockTable: kmem_cache_create failed for HashTable structs during backup start major=8 minor=1"},
        {tav::fault::failNth(Site::Vmalloc, 1), "", TAV_ERR_NO_MEMORY, nullptr},
        {tav::fault::failNth(Site::SlabAlloc, 1), "tavHT", TAV_ERR_NO_MEMORY, nullptr},
        {tav::fault::failNth(Site::SlabAlloc, 4096), "tavHT", TAV_ERR_NO_MEMORY, nullptr},
        {tav::fault::failNth(Site::Vmalloc, 2), "", TAV_ERR_NO_MEMORY, "<3>newCacheMap: error creating cache map of size=20000"},
        {tav::fault::failNth(Site::AllocPage, 1), "", TAV_ERR_NO_MEMORY, "<3>newCacheMap: error creating cache map of size=20000"},
        {tav::fault::failNth(Site::Vmalloc, 3), "", TAV_ERR_NO_MEMORY, nullptr},
    };
    setGeometry(1024, 20000);
    for (Case& c : cases) {
        SCOPED_TRACE(std::string(tav::fault::siteName(c.rule.site)) + " " + std::to_string(c.rule.nth));
        tav::kernel::clearLog();
        c.rule.name = c.name;
        tav::fault::add(c.rule);
        EXPECT_EQ(tav::test::startRecord(b_, 10), c.rc);
        EXPECT_EQ(tav::fault::fired(c.rule.site), 1);
        tav::fault::clear();
        if (c.message) {
            EXPECT_TRUE(logContains(c.message));
        }
        EXPECT_EQ(backupState(b_), static_cast<unsigned>(BACKUP_STARTING));
        tav::test::releaseRecord(b_);
        EXPECT_EQ(tav::kernel::live().slabCaches.load(), before_.slabCaches);
        EXPECT_EQ(tav::kernel::live().vmallocBlocks.load(), before_.vmallocBlocks);
        EXPECT_EQ(tav::kernel::live().pages.load(), before_.pages);
        EXPECT_EQ(atomic_read(&b_->curAllocPages), 0);
    }
}

}  // namespace
