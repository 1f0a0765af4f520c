// Automap sessions: creation and its failures, what the automap hook records (write bit
// set: recorded; reads and read-ahead: not), a write beyond the map, devices outside the
// 256 x 256 table, closing under a reader, writers racing sessions, errorAMS and
// errorAMSDEV, the Unload command under a running backup, and the commands' failures.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "kernel/mman.h"
#include "tests/unit/kernel/vfs_test_driver.h"

#include "tests/unit/module/automap_fixture.h"

namespace {

using tav::fault::Site;
using tav::kernel::logContains;

constexpr unsigned kOut = AMS_NOT_IN_SYNC, kIn = AMS_IN_SYNC;

class AutomapTest : public tav::test::HookTest {};

TEST_F(AutomapTest, ASessionIsBornOutOfSyncOrNotAtAll) {
    Backup* p2 = record(2, 40000);
    int refs = tav::kernel::bdevReferences(dev(2));
    AutoMapSession* s = startSession(p2, false);
    ASSERT_EQ(slot(dev(2)), s);
    EXPECT_EQ(tav::kernel::bdevReferences(dev(2)), refs + 1) << "the session holds its own reference";
    EXPECT_EQ(s->map.numBytes, 5000u);
    EXPECT_EQ(atomic_read(&curAllocAMPages), 2);
    ASSERT_EQ(setMRF(p2, tavAMRF), 0);
    ASSERT_EQ(submit(2, 1, 1, 0x11), 0);
    EXPECT_TRUE(setBits(s).empty()) << "out of sync: nothing recorded";
    EXPECT_EQ(closeAMS(p2), 0);
    EXPECT_EQ(queueFn(), own_) << "its device was the queue's last";
    EXPECT_EQ(closeAMS(p2), 2);
    EXPECT_EQ(tav::kernel::bdevReferences(dev(2)), refs);

    struct Case {
        Site site;  // Count: no fault
        std::uint64_t nth, blocks;
        int rc;
        bool logged;
    } cases[] = {{Site::Kmalloc, 1, 40000, TAV_ERR_NO_MEMORY, false},
                 {Site::Vmalloc, 1, 40000, TAV_ERR_NO_MEMORY, true},
                 {Site::AllocPage, 2, 40000, TAV_ERR_NO_MEMORY, true},
                 {Site::Count, 0, 1ull << 32, TAV_ERR_INVALID, true}};  // low 32 bits: no blocks
    for (const Case& c : cases) {
        tav::kernel::clearLog();
        tav::fault::clear();
        if (c.site != Site::Count) tav::fault::add(tav::fault::failNth(c.site, c.nth));
        p2->diskInfo.numBlocks = c.blocks;
        AutoMapSession* none = nullptr;
        EXPECT_EQ(newAMS(p2, &none), c.rc);
        EXPECT_EQ(none, nullptr);
        EXPECT_EQ(slot(dev(2)), nullptr);
        EXPECT_EQ(logContains("<3>newAMS: failed to create new device map"), c.logged) << c.rc;
    }
    EXPECT_EQ(atomic_read(&curAllocAMPages), 0);
    EXPECT_EQ(tav::kernel::bdevReferences(dev(2)), refs) << "failed sessions give theirs back";
}

TEST_F(AutomapTest, TheHookRecordsEveryWriteOfAnInSyncSessionAndNoRead) {
    Backup* p2 = record(2);
    AutoMapSession* s = startSession(p2);
    ASSERT_EQ(setMRF(p2, tavAMRF), 0);
    auto oneBio = [&](unsigned block, unsigned long rw) {
        tav::test::OneBio bio(disk_->bdev(2), sector_t{block} * 8, 4096, static_cast<std::uint8_t>(block), rw);
        bio.submit();
        return bio.wait();
    };
    ASSERT_EQ(submit(2, 3, 1, 0x31), 0);
    ASSERT_EQ(oneBio(5, WRITE | READA), 0);
    ASSERT_EQ(oneBio(6, WRITE | (1UL << BIO_RW_SYNC)), 0);
    ASSERT_EQ(submit(2, 10, 3, 0xa1), 0);
    ASSERT_EQ(oneBio(7, READ), 0);
    ASSERT_EQ(oneBio(8, READA), 0);
    ASSERT_EQ(submit(3, 4, 1, 0x34), 0) << "a partition without a session";
    EXPECT_EQ(setBits(s), (std::vector<unsigned>{3, 5, 6, 10, 11, 12}));
    EXPECT_EQ(raw(2, 5), filled(5));
    EXPECT_EQ(raw(2, 10, 3), filled(0xa1, 3));

    p2->diskInfo.numBlocks = 510;  // a session smaller than its partition of 512 blocks
    EXPECT_EQ(closeAMS(p2), 0);
    s = startSession(p2);
    ASSERT_EQ(setMRF(p2, tavAMRF), 0);
    ASSERT_EQ(submit(2, 509, 3, 0x77), 0);
    EXPECT_EQ(setBits(s), std::vector<unsigned>{509});
    EXPECT_EQ(tav::kernel::logCount("<4>updateAM: device resize detected (block 510 in size 510) in automap update, "
                                    "automap not in sync"),
              1u);
    EXPECT_EQ(tav::kernel::logCount("(block 511 in size 510)"), 1u);
    EXPECT_EQ(amsState(s), kOut);
    EXPECT_EQ(raw(2, 509, 3), filled(0x77, 3)) << "the write still reached the disk";
}

TEST_F(AutomapTest, DevicesBeyondTheTableAreNeverIndexed) {
    // Slot [9][0] is where an unchecked 8:256 lands.
    AutoMapSession* victim = startSession(recordOn(addDisk("tnine", 9, 0, 1), 0, 0, 8192, 1024));
    tav::Disk* wide = addDisk("twide", kMajor, 250, 8, {{64, 4096, 6}});  // partition 6 is 8:256
    tav::Disk* big = addDisk("tbig", 300, 0, 1);
    make_request_fn* wideOwn = wide->queue()->make_request_fn;
    Backup* outside[] = {recordOn(wide, 6, 64, 4096, 512), recordOn(big, 0, 0, 8192, 1024)};
    std::vector<std::uint8_t> data(4096, 0x5a);
    for (Backup* b : outside) {
        AutoMapSession* s = nullptr;
        EXPECT_EQ(newAMS(b, &s), TAV_ERR_INVALID);
        EXPECT_EQ(closeAMS(b), 2);
        ASSERT_EQ(setMRF(b, tavAMRF), 0);
        EXPECT_EQ(countQueueAMS(getRequestQueue(&b->diskInfo)), 0);
        ASSERT_EQ(tav::submitAndWait(b->diskInfo.bdev, WRITE, 0, data.data(), data.size()), 0);
        errorAMSDEV(b->diskInfo.kdev);
        errorAMS(b);
    }
    EXPECT_TRUE(setBits(victim).empty());
    EXPECT_EQ(amsState(victim), kIn);
    EXPECT_EQ(wide->queue()->make_request_fn, wideOwn);
}

TEST_F(AutomapTest, AClosedSessionIsFreedOnlyAfterItsLastUserLeaves) {
    Backup* p2 = record(2);
    startSession(p2);
    ASSERT_EQ(setMRF(p2, tavAMRF), 0);
    AutoMapSession* held = getDeviceAMS(dev(2));
    ASSERT_NE(held, nullptr);
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        EXPECT_EQ(closeAMS(p2), 0);
        closed = true;
    });
    EXPECT_TRUE(eventually([&] {
        AutoMapSession* s = getDeviceAMS(dev(2));
        if (s) putDeviceAMS(s);
        return !s && queueFn() == own_;
    })) << "the slot is emptied and the device unhooked first";
    EXPECT_FALSE(closed) << "then the close waits for the reader that found the session";
    EXPECT_EQ(setBlock(&held->map, 7), 0);
    putDeviceAMS(held);
    closer.join();
}

TEST_F(AutomapTest, WritersRunOnWhileSessionsComeAndGo) {
    Backup* p2 = record(2);
    std::atomic<bool> stop{false};
    std::atomic<long> errors{0};
    auto writer = [&](int partno) {
        for (unsigned i = 0; !stop; i++)
            if (submit(partno, (i * 7) % 250, 1 + i % 3, static_cast<std::uint8_t>(i))) errors++;
    };
    std::thread w2(writer, 2), w3(writer, 3);
    int unrecorded = 0;
    for (int i = 0; i < 150; i++) {
        AutoMapSession* s = startSession(p2);
        if (!s || setMRF(p2, tavAMRF) || submit(2, 300, 1, 0xee) || !blockInMap(&s->map, 300)) unrecorded++;
        if (i % 3 == 0) errorAMS(p2);
        EXPECT_EQ(closeAMS(p2), 0);
    }
    stop = true;
    w2.join();
    w3.join();
    EXPECT_EQ(unrecorded, 0);
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(queueFn(), own_);
}

TEST_F(AutomapTest, AFailedBackupLeavesTheHookOnlyToOtherSessions) {
    Backup* b[4] = {nullptr, record(1), record(2), record(3)};
    AutoMapSession* s2 = startSession(b[2]);
    ASSERT_EQ(setMRF(b[2], tavMRF), 0);
    errorAMS(b[2]);
    EXPECT_EQ(amsState(s2), kOut);
    EXPECT_EQ(queueFn(), own_) << "no other session needs the disk hooked";

    setAMSState(s2, kIn);
    AutoMapSession* s3 = startSession(b[3]);
    ASSERT_EQ(setMRF(b[3], tavAMRF), 0);
    ASSERT_EQ(setMRF(b[2], tavMRF), 0);
    errorAMS(b[2]);
    EXPECT_EQ(queueFn(), &tavAMRF) << "partition 3 goes on recording";
    EXPECT_EQ(amsState(s2), kOut);
    EXPECT_EQ(amsState(s3), kIn);

    errorAMS(b[1]);  // a device without a session keeps its node
    EXPECT_EQ(registry(), (std::vector<std::vector<dev_t>>{{dev(3), dev(2), dev(1)}}));
    setAMSState(s2, kIn);
    errorAMSDEV(dev(1));
    EXPECT_EQ(amsState(s2), kOut);
    EXPECT_EQ(amsState(s3), kOut);
}

TEST_F(AutomapTest, TheUnloadCommandLeavesARunningBackupItsHook) {
    Backup* p2 = record(2);
    startSession(p2);
    setActiveBackup(p2, BACKUP_SNAPSHOT_DONE);
    ASSERT_EQ(setMRF(p2, tavMRF), 0);
    int fd = openDevice();
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_UNLOAD, 0UL), 0);
    EXPECT_EQ(slot(dev(2)), nullptr);
    EXPECT_EQ(queueFn(), &tavMRF) << "writes after the snapshot are still copied";

    startSession(p2);
    setBackupState(p2, BACKUP_STARTED);  // a snapshot that is freezing
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_UNLOAD, 0UL), 0);
    EXPECT_EQ(queueFn(), &tavMRF);

    startSession(p2);
    setActiveBackup(nullptr, 0);
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_UNLOAD, 0UL), 0);
    EXPECT_EQ(queueFn(), own_) << "without a backup the session's device leaves the queue";
    EXPECT_TRUE(registry().empty());
}

TEST_F(AutomapTest, TheCommandsCopyWhatTheyMayAndKeepTheMapOnFailure) {
    int fd = openDevice();
    Backup* rec = recordOf(fd);
    AutoMapSession* s = startSession(record(2, 40000));
    rec->diskInfo.kdev = dev(2);
    std::vector<std::uint8_t> user(5016, 0xee);
    GetAutoMapState gs{reinterpret_cast<AutoMapState*>(user.data()), 20};
    ASSERT_EQ(tav::sys::ioctl(fd, TAV_GET_AUTOMAP_STATE, &gs), 0);
    EXPECT_EQ(reinterpret_cast<AutoMapState*>(user.data())->mapSize, 5000u);
    EXPECT_EQ(user[20], 0xee) << "20 bytes: no key";
    tav::fault::add(tav::fault::failNth(Site::CopyToUser, 1));
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_GET_AUTOMAP_STATE, &gs), TAV_ERR_COPY_TO_USER);
    EXPECT_TRUE(logContains("<3>ioctlGetAutoMapState: copy to user space failed"));

    auto getAutoMap = [&](unsigned mapLen) {
        UserBlockMap ubm{user.data(), mapLen};
        GetAutoMap r{&ubm, sizeof ubm};
        return tav::sys::ioctl(fd, TAV_GET_AUTOMAP, &r);
    };
    EXPECT_EQ(getAutoMap(40000), TAV_ERR_INVALID);
    EXPECT_TRUE(logContains("<3>ioctlGetAutoMap: backup error map not loaded"));
    setBackupState(rec, BACKUP_SNAPSHOT_DONE);
    unsigned pages = 0;
    ASSERT_EQ(newBlockMap(&rec->blockMap, 40000, nullptr, 1, &pages), 0);
    atomic_add(static_cast<int>(pages), &rec->curAllocPages);
    for (unsigned n : {7u, 32768u, 39999u}) setBlock(&rec->blockMap, n);
    EXPECT_EQ(getAutoMap(39999), TAV_ERR_INVALID);
    EXPECT_TRUE(logContains("map size mismatch kernel map size=40000 user map size=39999"));
    tav::fault::Rule secondPage = tav::fault::failNth(Site::CopyToUser, 1);
    secondPage.first = secondPage.last = reinterpret_cast<std::uint64_t>(user.data() + 4096 + 903);
    tav::fault::add(secondPage);
    EXPECT_EQ(getAutoMap(40000), TAV_ERR_COPY_TO_USER);
    char line[160];
    snprintf(line, sizeof line, "<3>ioctlGetAutoMap: copy to user space failed data=%p bytesCopied=904 bytesInMap=5000",
             static_cast<void*>(user.data() + 4096));
    EXPECT_TRUE(logContains(line));

    std::vector<std::uint8_t> want(5016, 0xee);
    std::fill(want.begin(), want.begin() + 5000, 0);
    want[0] = want[4999] = 0x80;
    want[4096] = 0x01;
    std::fill(user.begin(), user.end(), 0xee);
    EXPECT_EQ(getAutoMap(40000), 0) << "the map was kept for a retry";
    EXPECT_EQ(user, want);
    EXPECT_EQ(atomic_read(&rec->curAllocPages), 0) << "released once handed out";
    EXPECT_EQ(getAutoMap(40000), TAV_ERR_INVALID);
    EXPECT_TRUE(logContains("<3>ioctlGetAutoMap: backup error automap is NULL"));
    EXPECT_EQ(amsState(s), kIn);
    setBackupState(rec, BACKUP_IDLE);
    rec->diskInfo.kdev = 0;
}

// The copy out faults on a mapped page the agent has not touched yet, and so waits for the
// mmap lock, which a munmap of the transfer buffer holds while its close takes bSem.
// Ordered so that the munmap holds the lock before the copy asks for it; the command must
// finish. The fresh buffer is a writable private mapping of another device.
TEST_F(AutomapTest, GetAutoMapIntoFreshMemoryFinishesWhileTheBufferIsUnmapped) {
    int fd = openDevice();
    Backup* rec = recordOf(fd);
    rec->maxVMPages = 1;
    setBackupState(rec, BACKUP_SNAPSHOT_DONE);
    int err = 0;
    void* area = tav::sys::mmap(fd, PAGE_SIZE, PROT_READ, MAP_PRIVATE, 0, &err);
    ASSERT_NE(area, MAP_FAILED) << err;
    unsigned pages = 0;
    ASSERT_EQ(newBlockMap(&rec->blockMap, 40000, nullptr, 1, &pages), 0);
    atomic_add(static_cast<int>(pages), &rec->curAllocPages);
    for (unsigned n : {3u, 39999u}) setBlock(&rec->blockMap, n);
    const size_t bytes = 2 * PAGE_SIZE;
    tav::test::TestDriver other(243, "tfresh");
    int otherFd = tav::sys::open("/dev/tfresh", O_RDONLY);
    auto* fresh = static_cast<std::uint8_t*>(tav::sys::mmap(otherFd, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE, 0, &err));
    ASSERT_NE(fresh, MAP_FAILED) << err;

    std::mutex m;
    std::condition_variable cv;
    bool unmapping = false, finished = false;
    std::thread unmapper;
    std::once_flag once;
    tav::kernel::setUnmapSyncPoint([&] {
        std::lock_guard g(m);
        unmapping = true;
        cv.notify_all();
    });
    tav::kernel::setUserFaultSyncPoint([&](unsigned long addr) {
        if (addr < reinterpret_cast<unsigned long>(fresh) || addr >= reinterpret_cast<unsigned long>(fresh) + bytes) return;
        std::call_once(once, [&] {
            unmapper = std::thread([&] { EXPECT_EQ(tav::sys::munmap(area, PAGE_SIZE), 0); });
            std::unique_lock l(m);
            cv.wait(l, [&] { return unmapping; });
        });
    });
    std::thread watchdog([&] {
        std::unique_lock l(m);
        if (!cv.wait_for(l, std::chrono::seconds(30), [&] { return finished; })) {
            std::fprintf(stderr, "GetAutoMap and munmap deadlocked\n");
            std::abort();
        }
    });
    UserBlockMap ubm{fresh, 40000};
    GetAutoMap r{&ubm, sizeof ubm};
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_GET_AUTOMAP, &r), 0);
    if (unmapper.joinable()) unmapper.join();
    {
        std::lock_guard g(m);
        finished = true;
        cv.notify_all();
    }
    watchdog.join();
    tav::kernel::setUserFaultSyncPoint(nullptr);
    tav::kernel::setUnmapSyncPoint(nullptr);
    EXPECT_TRUE(unmapping) << "the copy did not fault";
    EXPECT_EQ(fresh[0], 0x08);
    EXPECT_EQ(fresh[4999], 0x80);
    EXPECT_EQ(std::count(fresh, fresh + 5000, 0), 4998);
    EXPECT_EQ(rec->blockMap.map, nullptr) << "handed out once";
    EXPECT_EQ(atomic_read(&rec->curAllocPages), 0) << "map and buffer page released";
    setBackupState(rec, BACKUP_IDLE);
}

}  // namespace
