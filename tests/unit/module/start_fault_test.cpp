// Every allocation site of StartBackup, the worker's creation and the close's statistics
// record, failed through the fault plan: the start's result, state and message, and a
// close that releases whatever the start had built (the fixture checks the leak counters).
#include "kernel/semaphore.h"
#include "tests/unit/module/start_fixture.h"

namespace {

using tav::fault::Rule;
using tav::fault::Site;
using tav::kernel::logContains;
using tav::kernel::logCount;

struct StartFault {
    const char* name;
    Rule rule;
    int rc;
    const char* message;  // "" when the start logs nothing of its own
    bool workerRuns;
};

void PrintTo(const StartFault& f, std::ostream* os) { *os << f.name; }

Rule named(Site site, std::uint64_t nth, const char* name) {
    Rule r = tav::fault::failNth(site, nth);
    r.name = name;
    return r;
}

const char* const kCacheMapMsg = "<3>newCacheMap: error creating cache map of size=1024";
const char* const kSlabMsg = "<3>ioctlStartBackup: kmem_cache_create failed during backup start major=8 minor=17";

const StartFault kStartFaults[] = {
    {"htCache", tav::fault::failNth(Site::SlabCreate, 1), TAV_ERR_NO_MEMORY,
     "<3>newBlockTable: kmem_cache_create failed for HashTable structs during backup start major=8 minor=17", false},
    {"bucketTable", tav::fault::failNth(Site::Vmalloc, 1), TAV_ERR_NO_MEMORY, "", false},
    {"firstBucket", named(Site::SlabAlloc, 1, "tavHT"), TAV_ERR_NO_MEMORY, "", false},
    {"lastBucket", named(Site::SlabAlloc, 4096, "tavHT"), TAV_ERR_NO_MEMORY, "", false},
    {"worker", tav::fault::failNth(Site::KernelThread, 1), -EAGAIN, "<3>startWorkQueue: error starting cache thread",
     false},
    {"cpCache", tav::fault::failNth(Site::SlabCreate, 2), TAV_ERR_NO_MEMORY, kSlabMsg, true},
    {"dataCache", tav::fault::failNth(Site::SlabCreate, 3), TAV_ERR_NO_MEMORY, kSlabMsg, true},
    {"cacheMapArray", tav::fault::failNth(Site::Vmalloc, 2), TAV_ERR_NO_MEMORY, kCacheMapMsg, true},
    {"cacheMapPage", tav::fault::failNth(Site::AllocPage, 1), TAV_ERR_NO_MEMORY, kCacheMapMsg, true},
    {"requestTable", tav::fault::failNth(Site::Vmalloc, 3), TAV_ERR_NO_MEMORY, "", true},
};

class StartFaultTest : public tav::test::BackupTest, public ::testing::WithParamInterface<StartFault> {};

TEST_P(StartFaultTest, AFailedStartIsReleasedByItsClose) {
    const StartFault& f = GetParam();
    makeDisk(4096);
    int fd = openDevice();
    tav::kernel::clearLog();
    tav::fault::add(f.rule);
    EXPECT_EQ(startBackup(fd), f.rc);
    EXPECT_EQ(tav::fault::fired(f.rule.site), 1);
    tav::fault::clear();
    if (*f.message) {
        EXPECT_TRUE(logContains(f.message)) << f.message;
    }
    EXPECT_EQ(logCount("ioctlStartBackup: backup started"), 0u);
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_STARTING));
    EXPECT_EQ(activeSession, nullptr);
    EXPECT_EQ(backup_cachePID > 0, f.workerRuns);
    EXPECT_EQ(semaphoreCount(&signalThread), f.workerRuns ? 0 : 1) << "a failed thread creation gives the slot back";
    int err = 0;
    EXPECT_EQ(tav::sys::mmap(fd, PAGE_SIZE, PROT_READ, MAP_PRIVATE, 0, &err), MAP_FAILED) << "not started";
    EXPECT_EQ(snapShot(fd), TAV_ERR_INVALID);

    tav::kernel::clearLog();
    ASSERT_EQ(tav::sys::close(fd), 0);
    EXPECT_EQ(logCount("<6>printStats: "), 26u);
    EXPECT_TRUE(logContains("<6>printStats: state: 7")) << "closing";
    EXPECT_TRUE(logContains("<6>closeBackup: backup finished device major=8 minor=17"));
    EXPECT_EQ(backup_cachePID > 0, false);
    EXPECT_EQ(atomic_read(&busy), 0);
    EXPECT_EQ(semaphoreCount(&signalThread), 1);
    EXPECT_EQ(tav::kernel::slabObjects("tavHT0811"), -1);

    fd = openDevice();
    EXPECT_EQ(startBackup(fd), 0) << "busy flag and worker slot are free again";
}

INSTANTIATE_TEST_SUITE_P(Sites, StartFaultTest, ::testing::ValuesIn(kStartFaults),
                         [](const auto& info) { return std::string(info.param.name); });

class CloseFaultTest : public tav::test::BackupTest {};

TEST_F(CloseFaultTest, WithoutMemoryForTheStatisticsCloseStillFinishes) {
    makeDisk(4096);
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    tav::kernel::clearLog();
    tav::fault::add(tav::fault::failNth(Site::Kmalloc, 1));
    ASSERT_EQ(tav::sys::close(fd), 0);
    EXPECT_EQ(tav::fault::fired(Site::Kmalloc), 1);
    EXPECT_EQ(logCount("<6>printStats: "), 0u);
    EXPECT_TRUE(logContains("<6>closeBackup: backup finished device major=8 minor=17"));
    EXPECT_EQ(atomic_read(&busy), 0);
}

// A start that fails leaves every automap of the disk recording and the queue hooked.
class FailedStartTest : public tav::test::BackupTest {
protected:
    // A backup of partition partno that leaves an in-sync automap behind.
    void automapOn(int partno, unsigned blocks) {
        int fd = openDevice();
        ASSERT_EQ(startBackup(fd, blocks, 100000, partno), 0);
        ASSERT_EQ(snapShot(fd), 0);
        ASSERT_EQ(tav::sys::close(fd), 0);
    }
    unsigned syncState(int partno) {
        AutoMapSession* s = getDeviceAMS(dev(partno));
        if (!s) return 99;
        unsigned st = amsState(s);
        putDeviceAMS(s);
        return st;
    }
    void failStartAndClose(int rc, Site fault = Site::Count) {
        int fd = openDevice();
        EXPECT_EQ(startBackup(fd), rc);
        if (fault != Site::Count) {
            EXPECT_EQ(tav::fault::fired(fault), 1);
        }
        tav::fault::clear();
        ASSERT_EQ(tav::sys::close(fd), 0);
        EXPECT_EQ(queueFn(), &tavAMRF);
        ASSERT_EQ(submit(2, 3, 1, 0x33), 0);
        AutoMapSession* s = getDeviceAMS(dev(2));
        ASSERT_NE(s, nullptr);
        EXPECT_TRUE(blockInMap(&s->map, 3)) << "still recording";
        putDeviceAMS(s);
    }
};

TEST_F(FailedStartTest, OnADeviceWithoutAFileSystem) {
    makeDisk();
    mountOn(2, 4096);
    automapOn(1, fsBlocks());
    automapOn(2, kP2Sectors / 8);
    ASSERT_EQ(mount1()->unmount(), 0);
    failStartAndClose(TAV_ERR_NO_DEVICE);
    EXPECT_EQ(syncState(1), static_cast<unsigned>(AMS_IN_SYNC));
    EXPECT_EQ(syncState(2), static_cast<unsigned>(AMS_IN_SYNC));
}

TEST_F(FailedStartTest, AfterTheDeviceWasResolved) {
    makeDisk();
    mountOn(2, 4096);
    automapOn(2, kP2Sectors / 8);  // the only automap of the queue
    tav::fault::add(tav::fault::failNth(Site::SlabCreate, 2));
    failStartAndClose(TAV_ERR_NO_MEMORY, Site::SlabCreate);
    EXPECT_EQ(syncState(2), static_cast<unsigned>(AMS_IN_SYNC));
    EXPECT_EQ(syncState(1), 99u);
}

}  // namespace
