// The copy-on-write worker: its failures (a failed copy read, a full cache, no memory for
// a queue record or a copy page) each fail the backup with its state and messages, take
// the hook off the queue and still let the write reach the disk; allocations it retries;
// and a SIGKILL that neither ends it nor makes it spin.
#include <csignal>

#include "kernel/sched.h"
#include "kernel/semaphore.h"
#include "tests/unit/module/start_fixture.h"

namespace {

using tav::fault::Site;
using tav::kernel::logContains;

class WorkerTest : public tav::test::BackupTest {
protected:
    void startAndSnap(unsigned maxCacheBlocks = 100000) {
        makeDisk(4096);
        own_ = queueFn();
        fd_ = openDevice();
        ASSERT_EQ(startBackup(fd_, 0, maxCacheBlocks), 0);
        ASSERT_EQ(snapShot(fd_), 0);
        b_ = recordOf(fd_);
        ams_ = amList[kMajor][kFirstMinor + 1];
        ASSERT_NE(ams_, nullptr);
    }
    // The backup failed into state: hook gone, automap out of sync, reads refused, and
    // later writes go straight to the disk.
    void expectFailedInto(unsigned state) {
        EXPECT_EQ(stateOf(fd_), state);
        EXPECT_EQ(queueFn(), own_) << "the hook left the queue";
        EXPECT_EQ(amsState(ams_), static_cast<unsigned>(AMS_NOT_IN_SYNC));
        unsigned char* area = mapArea(fd_);
        ReadBlocks r{0, 1, area};
        EXPECT_EQ(tav::sys::ioctl(fd_, TAV_READ_BLOCKS, &r), TAV_ERR_INVALID);
        int copies = atomic_read(&b_->totalAllocBRs);
        ASSERT_EQ(submit(1, 100, 1, 0x77), 0);
        EXPECT_EQ(raw(1, 100), filled(0x77));
        EXPECT_EQ(atomic_read(&b_->totalAllocBRs), copies);
    }
    // One write of count blocks at block, with a fault rule added after its pages exist.
    int writeWithFault(unsigned block, unsigned count, std::uint8_t fill, const tav::fault::Rule* rule) {
        tav::BioBatch batch(disk_->bdev(1));
        auto data = filled(fill, count);
        int rc = batch.add(WRITE, sector_t{block} * 8, data.data(), data.size());
        if (rc) return rc;
        if (rule) tav::fault::add(*rule);
        batch.submit();
        return batch.wait();
    }

    make_request_fn* own_ = nullptr;
    int fd_ = -1;
    Backup* b_ = nullptr;
    AutoMapSession* ams_ = nullptr;
};

TEST_F(WorkerTest, AFailedCopyReadFailsTheBackupAndTheWriteStillLands) {
    startAndSnap();
    disk_->failSectors(sectorOf(1, 21), sectorOf(1, 21) + 7, tav::IoDir::Read);
    ASSERT_EQ(writeWithFault(20, 3, 0x66, nullptr), 0);
    EXPECT_EQ(raw(1, 20, 3), filled(0x66, 3));
    EXPECT_TRUE(logContains("<3>cacheBlock: Block read error blockNum=21 MAJOR=8 MINOR=17"));
    EXPECT_EQ(atomic_read(&b_->totalAllocBRs), 2) << "block 20 copied, 21 failed, 22 not tried";
    EXPECT_EQ(atomic_read(&b_->totalCBs), 1);
    disk_->clearFaults();
    expectFailedInto(BACKUP_ERR_BLOCK_READ);
}

TEST_F(WorkerTest, AFullCacheFailsTheBackup) {
    startAndSnap(1);
    ASSERT_EQ(submit(1, 30, 1, 0x31), 0);
    ASSERT_EQ(submit(1, 31, 1, 0x32), 0);
    EXPECT_TRUE(logContains(
        "<3>getCacheBlock: configured max cache memory reached (1 blocks) failed to allocate cache object"));
    EXPECT_TRUE(logContains("<3>cacheBlock: Error caching blockNum=31 MAJOR=8 MINOR=17"));
    EXPECT_EQ(raw(1, 31), filled(0x32));
    expectFailedInto(BACKUP_ERR_CACHE);
}

TEST_F(WorkerTest, NoMemoryForAQueueRecordFailsTheBackup) {
    startAndSnap();
    tav::fault::Rule r = tav::fault::failNth(Site::Kmalloc, 1);
    ASSERT_EQ(writeWithFault(40, 1, 0x41, &r), 0);
    EXPECT_EQ(tav::fault::fired(Site::Kmalloc), 1);
    tav::fault::clear();
    EXPECT_EQ(raw(1, 40), filled(0x41));
    EXPECT_EQ(atomic_read(&b_->totalAllocBRs), 0) << "passed on unpreserved";
    expectFailedInto(BACKUP_ERR_QUEUE);
}

TEST_F(WorkerTest, NoPageForACopyFailsTheBackup) {
    startAndSnap();
    tav::fault::Rule r = tav::fault::failNth(Site::AllocPage, 1);
    ASSERT_EQ(writeWithFault(50, 2, 0x51, &r), 0);
    EXPECT_EQ(tav::fault::fired(Site::AllocPage), 1);
    tav::fault::clear();
    EXPECT_EQ(raw(1, 50, 2), filled(0x51, 2));
    EXPECT_EQ(atomic_read(&b_->totalAllocBRs), 0);
    expectFailedInto(BACKUP_ERR_CACHE);
}

TEST_F(WorkerTest, TheCopyRetriesItsBufferHeadAndBio) {
    startAndSnap();
    auto old = raw(1, 60);
    tav::fault::Rule bh = tav::fault::failNth(Site::AllocBufferHead, 1), bio = tav::fault::failNth(Site::BioAlloc, 1);
    bh.times = 3;
    bio.times = 2;
    tav::fault::add(bh);
    ASSERT_EQ(writeWithFault(60, 1, 0x61, &bio), 0);
    EXPECT_EQ(tav::fault::fired(Site::AllocBufferHead), 3);
    EXPECT_EQ(tav::fault::fired(Site::BioAlloc), 2);
    tav::fault::clear();
    EXPECT_EQ(stateOf(fd_), static_cast<unsigned>(BACKUP_SNAPSHOT_DONE));
    unsigned char* area = mapArea(fd_);
    ReadBlocks r{60, 1, area};
    ASSERT_EQ(tav::sys::ioctl(fd_, TAV_READ_BLOCKS, &r), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(area, area + bs_), old);
}

// A pending SIGKILL makes every interruptible wait return at once; the worker clears it and
// sleeps again, and it goes on serving the FIFO.
TEST_F(WorkerTest, ASigkillNeitherEndsTheWorkerNorMakesItSpin) {
    startAndSnap();
    pid_t worker = backup_cachePID;
    ASSERT_EQ(kill_proc(worker, SIGKILL, 1), 0);
    ASSERT_EQ(submit(1, 70, 1, 0x71), 0);
    EXPECT_EQ(atomic_read(&b_->totalCBs), 1);
    // Back asleep on signalThread with no count left over: one wait per wake-up.
    ASSERT_TRUE(eventually([] { return semaphoreWaiters(&signalThread) == 1; }));
    EXPECT_EQ(semaphoreCount(&signalThread), 0);
    EXPECT_EQ(backup_cachePID, worker);
    EXPECT_EQ(threadName(worker), "kbackupd");
    ASSERT_EQ(submit(1, 71, 1, 0x72), 0);
    EXPECT_EQ(atomic_read(&b_->totalCBs), 2);
}

}  // namespace
