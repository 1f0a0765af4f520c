// StartBackup and close: what a start builds and a close releases, the busy flag across
// files, the hook the queue keeps after a backup, the drain of held writes, and a hook
// that is still waiting for the record while its close runs.
#include <atomic>
#include <thread>

#include "kernel/sched.h"
#include "kernel/semaphore.h"
#include "tests/unit/module/start_fixture.h"

namespace {

using tav::kernel::logContains;
using tav::kernel::logCount;

class StartTest : public tav::test::BackupTest {};

class StartBlockSizeTest : public StartTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(StartBlockSizeTest, StartBuildsTheBackupAndCloseReleasesIt) {
    makeDisk(GetParam());
    make_request_fn* own = queueFn();
    int threads = tav::kernel::liveKernelThreads();
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd, 0, 777), 0);
    Backup* b = recordOf(fd);

    State s = getState(fd);
    EXPECT_EQ(s.major, kMajor);
    EXPECT_EQ(s.minor, kFirstMinor + 1);
    EXPECT_EQ(s.state, static_cast<unsigned>(BACKUP_STARTED));
    EXPECT_EQ(s.blockSize, static_cast<int>(GetParam()));
    EXPECT_EQ(s.mmapSize, static_cast<int>(std::min(256u, GetParam() * 256 / 4096) * 4096));
    EXPECT_TRUE(logContains("<6>ioctlStartBackup: backup started for device major=8 minor=17"));
    EXPECT_TRUE(logContains("<6>backup_cache: kbackupd thread started"));
    EXPECT_EQ(tav::kernel::slabObjects("tavHT0811"), 4096);
    EXPECT_EQ(tav::kernel::slabObjects("tavCP0811"), 0);
    EXPECT_EQ(tav::kernel::slabObjects("tavDC0811"), 0);
    EXPECT_EQ(activeSession, b);
    EXPECT_EQ(atomic_read(&busy), 1);
    ASSERT_GT(backup_cachePID, 0);
    EXPECT_EQ(threadName(backup_cachePID), "kbackupd");
    EXPECT_EQ(tav::kernel::liveKernelThreads(), threads + 1);
    EXPECT_EQ(b->diskInfo.realMRF, own);
    EXPECT_EQ(queueFn(), own) << "the start does not hook the queue";

    tav::kernel::clearLog();
    ASSERT_EQ(tav::sys::close(fd), 0);
    EXPECT_EQ(logCount("<6>printStats: "), 26u);
    EXPECT_TRUE(logContains("<6>printStats: device: major(8) minor(17)"));
    EXPECT_TRUE(logContains("<6>printStats: state: 7"));
    EXPECT_TRUE(logContains("<6>printStats: max cache size in blocks: 777"));
    EXPECT_TRUE(logContains("<6>printStats: time frozen in seconds: 0.000000000"));
    EXPECT_TRUE(logContains("<6>closeBackup: backup finished device major=8 minor=17"));
    EXPECT_TRUE(logContains("<6>backup_cache: backupd thread exiting"));
    EXPECT_EQ(tav::kernel::slabObjects("tavHT0811"), -1);
    EXPECT_EQ(tav::kernel::slabObjects("tavCP0811"), -1);
    EXPECT_EQ(tav::kernel::slabObjects("tavDC0811"), -1);
    EXPECT_EQ(activeSession, nullptr);
    EXPECT_EQ(atomic_read(&busy), 0);
    EXPECT_EQ(backup_cachePID, 0);
    EXPECT_EQ(semaphoreCount(&signalThread), 1) << "the worker gave the slot back";
    EXPECT_TRUE(tav::kernel::waitForKernelThreads(5000));
    EXPECT_EQ(queueFn(), own);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, StartBlockSizeTest, ::testing::Values(512u, 1024u, 4096u));

TEST_F(StartTest, ASecondFileIsRefusedWhileABackupIsStarted) {
    makeDisk();
    int first = openDevice(), second = openDevice();
    ASSERT_EQ(startBackup(first), 0);
    Backup* b = recordOf(first);
    pid_t worker = backup_cachePID;

    EXPECT_EQ(startBackup(second), TAV_ERR_BACKUP_ACTIVE);
    EXPECT_TRUE(logContains(
        "<3>ioctlStartBackup: another backup operation is open can't start backup on device major=8 minor=17"));
    State s = getState(second);
    EXPECT_EQ(s.state, static_cast<unsigned>(BACKUP_REFUSED_BUSY));
    EXPECT_EQ(s.major, 0u);
    EXPECT_EQ(s.blockSize, 0);
    EXPECT_EQ(s.mmapSize, 0);

    tav::kernel::clearLog();
    ASSERT_EQ(tav::sys::close(second), 0);
    EXPECT_TRUE(logContains("<6>closeBackup: backup finished device major=0 minor=0"));
    EXPECT_EQ(logCount("<6>printStats: "), 26u);
    EXPECT_TRUE(logContains("<3>countQueueAMS: Could not count ams sessions for request queue because queue was null."));
    EXPECT_TRUE(logContains("<3>unsetQueueMRFAMS: Could not unset MRFS for request queue because queue was null."));
    EXPECT_EQ(activeSession, b);
    EXPECT_EQ(atomic_read(&busy), 1);
    EXPECT_EQ(backup_cachePID, worker);
    EXPECT_EQ(snapShot(first), 0) << "the first backup goes on";
    ASSERT_EQ(submit(1, 3, 1, 0x5a), 0);
    EXPECT_EQ(atomic_read(&b->totalCBs), 1);
}

TEST_F(StartTest, AFailedOrRefusedStartKeepsTheBusyFlagUntilItsFileCloses) {
    makeDisk();
    int fd = openDevice(), other = openDevice();
    EXPECT_EQ(startBackup(fd, 0, 10, 2), TAV_ERR_NO_DEVICE) << "partition 2 has no file system";
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_IDLE));
    EXPECT_EQ(startBackup(other), TAV_ERR_BACKUP_ACTIVE);
    EXPECT_EQ(startBackup(fd), TAV_ERR_BACKUP_ACTIVE) << "not even its own file may start again";
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_REFUSED_BUSY));
    ASSERT_EQ(tav::sys::close(other), 0);
    ASSERT_EQ(tav::sys::close(fd), 0);
    EXPECT_EQ(atomic_read(&busy), 0);

    fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    EXPECT_EQ(startBackup(fd), TAV_ERR_BACKUP_ACTIVE);
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_REFUSED_BUSY));
    EXPECT_EQ(snapShot(fd), TAV_ERR_INVALID);
    ASSERT_EQ(tav::sys::close(fd), 0);
    EXPECT_EQ(atomic_read(&busy), 0);
    EXPECT_EQ(activeSession, nullptr);
    EXPECT_EQ(backup_cachePID, 0);
}

TEST_F(StartTest, ClosingAFileThatNeverStartedTouchesNothing) {
    makeDisk();
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    pid_t worker = backup_cachePID;
    int idle = openDevice();
    tav::kernel::clearLog();
    ASSERT_EQ(tav::sys::close(idle), 0);
    EXPECT_TRUE(tav::kernel::logLines().empty());
    EXPECT_EQ(backup_cachePID, worker);
    EXPECT_EQ(threadName(worker), "kbackupd");
    EXPECT_EQ(activeSession, recordOf(fd));
    EXPECT_EQ(atomic_read(&busy), 1);
}

// Close moves the state to BACKUP_CLOSING under writers, so what is still in the FIFO goes
// to the disk uncopied; close returns only once it is drained and the worker has stopped.
TEST_F(StartTest, CloseDrainsTheHeldWritesWithoutCopying) {
    makeDisk();
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    ASSERT_EQ(snapShot(fd), 0);
    Backup* b = recordOf(fd);
    int gate = disk_->hold(sectorOf(1, 5), sectorOf(1, 5) + 7, tav::IoDir::Read);
    tav::BioBatch batch(disk_->bdev(1));
    std::vector<std::vector<std::uint8_t>> data;
    for (unsigned i = 0; i < 4; i++) data.push_back(filled(static_cast<std::uint8_t>(0x30 + i)));
    for (unsigned i = 0; i < 4; i++) ASSERT_EQ(batch.add(WRITE, sector_t{5 + i} * 8, data[i].data(), bs_), 0);
    batch.submit();
    ASSERT_TRUE(disk_->waitHeld(gate, 1));
    ASSERT_EQ(atomic_read(&b->mrInQueue), 4);

    std::thread closer([&] { tav::sys::close(fd); });
    ASSERT_TRUE(eventually([&] { return backupState(b) == BACKUP_CLOSING; }));
    disk_->removeHold(gate);
    closer.join();
    ASSERT_EQ(batch.wait(), 0);
    for (unsigned i = 0; i < 4; i++) EXPECT_EQ(raw(1, 5 + i), data[i]) << "block " << 5 + i;
    EXPECT_TRUE(logContains("<6>printStats: total Block Requests allocated: 1"))
        << "only the copy already under way; the rest passed uncopied";
    EXPECT_EQ(backup_cachePID, 0);
    EXPECT_EQ(queueFn(), &tavAMRF);
}

// A hook that found the record through activeSession before close cleared it may wait
// for writers behind the close; close frees the record only after that hook has left.
// The test holds writers first, so that close and then the hook queue up behind it.
TEST_F(StartTest, AHookStillWaitingForTheRecordDelaysItsFree) {
    makeDisk();
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    ASSERT_EQ(snapShot(fd), 0);
    Backup* b = recordOf(fd);
    down_write(&b->writers);
    std::thread closer([&] { tav::sys::close(fd); });
    ASSERT_TRUE(eventually([&] { return rwsemWaiters(&b->writers) == 1; }));
    std::thread late([&] { EXPECT_EQ(submit(1, 9, 1, 0x19), 0); });
    ASSERT_TRUE(eventually([&] { return rwsemWaiters(&b->writers) == 2; }));
    EXPECT_EQ(atomic_read(&b->hooksInside), 1);
    up_write(&b->writers);
    closer.join();
    late.join();
    EXPECT_EQ(raw(1, 9), filled(0x19));
    EXPECT_TRUE(logContains("<6>printStats: total cached blocks: 0")) << "the late write was not preserved";
    EXPECT_EQ(queueFn(), &tavAMRF);
}

// Which function the disk's queue keeps after a backup of partition 1 closes, by the
// automaps of the queue's devices.
TEST_F(StartTest, CloseLeavesTheQueueTheHookItsAutomapsNeed) {
    makeDisk();
    make_request_fn* own = queueFn();
    mountOn(2, 4096);
    mountOn(3, 4096);
    auto backupOf = [&](int partno, bool noStart) {
        int fd = openDevice();
        if (noStart) {
            ASSERT_EQ(tav::sys::ioctl(fd, TAV_NO_START_AUTOMAP, 0UL), 0);
        }
        std::uint64_t sectors = partno == 1 ? p1Sectors_ : partno == 2 ? kP2Sectors : kP3Sectors;
        ASSERT_EQ(startBackup(fd, static_cast<unsigned>(sectors * 512 / bs_), 1000, partno), 0);
        ASSERT_EQ(snapShot(fd), 0);
        ASSERT_EQ(queueFn(), &tavMRF);
        ASSERT_EQ(tav::sys::close(fd), 0);
    };
    auto session = [](int partno) { return amList[kMajor][kFirstMinor + partno]; };

    backupOf(1, false);
    EXPECT_EQ(queueFn(), &tavAMRF) << "its own automap goes on recording";
    ASSERT_NE(session(1), nullptr);
    ASSERT_EQ(submit(1, 4, 1, 0x44), 0);
    EXPECT_TRUE(blockInMap(&session(1)->map, 4));

    backupOf(1, true);
    EXPECT_EQ(session(1), nullptr);
    EXPECT_EQ(queueFn(), own) << "no automap on the queue";

    backupOf(3, false);
    ASSERT_EQ(queueFn(), &tavAMRF);
    backupOf(1, true);
    EXPECT_EQ(queueFn(), own) << "a single automap of another partition is stopped with it";
    ASSERT_NE(session(3), nullptr);
    EXPECT_EQ(amsState(session(3)), static_cast<unsigned>(AMS_NOT_IN_SYNC));

    backupOf(2, false);
    backupOf(3, false);
    backupOf(1, true);
    EXPECT_EQ(queueFn(), &tavAMRF) << "two automaps of other partitions keep recording";
    EXPECT_EQ(amsState(session(2)), static_cast<unsigned>(AMS_IN_SYNC));
    EXPECT_EQ(amsState(session(3)), static_cast<unsigned>(AMS_IN_SYNC));

    ASSERT_EQ(tav::unloadModule(), 0);
    EXPECT_EQ(queueFn(), own) << "the module leaves no queue hooked";
}

// Files of other programs come and go while one of them backs up, again and again: their
// closes look at the worker while the backup starts and stops it. Built to be run under
// ThreadSanitizer as well.
TEST_F(StartTest, FilesThatComeAndGoBesideABackupShareNoUnguardedState) {
    makeDisk();
    constexpr int kRounds = 12;
    std::atomic<bool> done{false};
    std::thread backup([&] {
        for (int i = 0; i < kRounds; i++) {
            int fd = openDevice();
            EXPECT_EQ(startBackup(fd), 0);
            EXPECT_EQ(snapShot(fd), 0);
            EXPECT_EQ(submit(1, static_cast<unsigned>(i), 1, 0x40), 0);
            EXPECT_EQ(tav::sys::close(fd), 0);
        }
        done = true;
    });
    long others = 0;
    while (!done) {
        int fd = openDevice();
        EXPECT_EQ(tav::sys::close(fd), 0);
        others++;
    }
    backup.join();
    EXPECT_GT(others, 0);
    EXPECT_EQ(atomic_read(&busy), 0);
    EXPECT_EQ(workerPID(), 0);
}

}  // namespace
