// Automap sessions: creation and its failures, what the automap hook records (write bit
// set: recorded; reads and read-ahead: not), a write beyond the map, devices outside the
// 256 x 256 table, closing under a reader, writers racing sessions, the failure paths
// errorAMS / errorAMSDEV, the Unload command under a running backup, the automap
// commands, and the internal faults.
#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/unit/module/automap_fixture.h"

namespace {

using tav::fault::Site;
using tav::kernel::logContains;
using tav::kernel::logCount;

constexpr unsigned kNotInSync = AMS_NOT_IN_SYNC, kInSync = AMS_IN_SYNC;

class AutomapTest : public tav::test::HookTest {};

TEST_F(AutomapTest, ASessionIsBornOutOfSyncAndHeldByItsSlotUntilClosed) {
    Backup* p2 = record(2, 40000);
    AutoMapSession* s = nullptr;
    ASSERT_EQ(newAMS(p2, &s), 0);
    EXPECT_EQ(slot(dev(2)), s);
    EXPECT_EQ(amsState(s), kNotInSync);
    EXPECT_EQ(s->map.size, 40000u);
    EXPECT_EQ(s->map.numBytes, 5000u);
    AMSessionKey zero{};
    EXPECT_EQ(memcmp(&s->sessionKey, &zero, sizeof zero), 0);
    EXPECT_EQ(atomic_read(&curAllocAMPages), 2);

    ASSERT_EQ(setMRF(p2, tavAMRF), 0);
    ASSERT_EQ(submit(2, 1, 1, 0x11), 0);
    EXPECT_TRUE(setBits(s).empty()) << "out of sync: writes are not recorded";

    EXPECT_EQ(closeAMS(p2), 0);
    EXPECT_EQ(slot(dev(2)), nullptr);
    EXPECT_EQ(queueFn(), own_) << "its device was the queue's last";
    EXPECT_EQ(atomic_read(&curAllocAMPages), 0);
    EXPECT_EQ(closeAMS(p2), 2);
}

TEST_F(AutomapTest, ASessionThatCannotBeBuiltLeavesNothing) {
    struct Case {
        Site site;
        std::uint64_t nth;
        std::uint64_t numBlocks;
        int rc;
        bool mapMessage;
    } cases[] = {
        {Site::Kmalloc, 1, 40000, TAV_ERR_NO_MEMORY, false},   // the record
        {Site::Vmalloc, 1, 40000, TAV_ERR_NO_MEMORY, true},    // the map's page array
        {Site::AllocPage, 2, 40000, TAV_ERR_NO_MEMORY, true},  // its second page
        {Site::Count, 0, 1ull << 32, TAV_ERR_INVALID, true},   // low 32 bits: no blocks
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nth + 10 * static_cast<int>(c.site));
        tav::kernel::clearLog();
        tav::fault::clear();
        if (c.site != Site::Count) tav::fault::add(tav::fault::failNth(c.site, c.nth));
        Backup* b = record(2);
        b->diskInfo.numBlocks = c.numBlocks;
        AutoMapSession* untouched = reinterpret_cast<AutoMapSession*>(&b);
        AutoMapSession* s = untouched;
        EXPECT_EQ(newAMS(b, &s), c.rc);
        EXPECT_EQ(s, untouched);
        EXPECT_EQ(slot(dev(2)), nullptr);
        EXPECT_EQ(logContains("<3>newAMS: failed to create new device map"), c.mapMessage);
        if (c.site != Site::Count) EXPECT_EQ(tav::fault::fired(c.site), 1);
    }
    EXPECT_EQ(atomic_read(&curAllocAMPages), 0);
}

TEST_F(AutomapTest, TheHookRecordsEveryWriteOfAnInSyncSessionAndNoRead) {
    Backup* p2 = record(2);
    AutoMapSession* s = startSession(p2);
    ASSERT_EQ(setMRF(p2, tavAMRF), 0);
    auto oneBio = [&](unsigned block, std::uint8_t fill, unsigned long rw) {
        tav::test::OneBio bio(disk_->bdev(2), sector_t{block} * 8, 4096, fill, rw);
        bio.submit();
        return bio.wait();
    };
    ASSERT_EQ(submit(2, 3, 1, 0x31), 0);
    ASSERT_EQ(oneBio(5, 0x51, WRITE | READA), 0);
    ASSERT_EQ(oneBio(6, 0x61, WRITE | (1UL << BIO_RW_SYNC)), 0);
    ASSERT_EQ(submit(2, 10, 3, 0xa1), 0);
    ASSERT_EQ(submit(2, 7, 1, 0, READ), 0);
    ASSERT_EQ(submit(2, 8, 1, 0, READA), 0);
    ASSERT_EQ(submit(3, 4, 1, 0x34), 0) << "a partition of the disk without a session";
    ASSERT_EQ(submit(1, 4, 1, 0x14), 0) << "an unregistered partition";

    EXPECT_EQ(setBits(s), (std::vector<unsigned>{3, 5, 6, 10, 11, 12}));
    EXPECT_EQ(amsState(s), kInSync);
    EXPECT_EQ(raw(2, 5), filled(0x51));
    EXPECT_EQ(raw(2, 6), filled(0x61));
    EXPECT_EQ(raw(2, 10, 3), filled(0xa1, 3));
    EXPECT_EQ(raw(3, 4), filled(0x34));
}

TEST_F(AutomapTest, AWriteBeyondTheMapEndsTheSessionsSync) {
    Backup* p2 = record(2, 510);  // the partition has 512 blocks
    AutoMapSession* s = startSession(p2);
    ASSERT_EQ(setMRF(p2, tavAMRF), 0);
    ASSERT_EQ(submit(2, 509, 3, 0x77), 0);
    EXPECT_EQ(setBits(s), std::vector<unsigned>{509});
    EXPECT_EQ(logCount("<4>updateAM: device resize detected (block 510 in size 510) in automap update, automap not in "
                       "sync"),
              1u);
    EXPECT_EQ(logCount("(block 511 in size 510)"), 1u);
    EXPECT_EQ(amsState(s), kNotInSync);
    ASSERT_EQ(submit(2, 0, 1, 0x78), 0);
    EXPECT_EQ(setBits(s), std::vector<unsigned>{509}) << "no longer recorded";
    EXPECT_EQ(raw(2, 509, 3), filled(0x77, 3)) << "the write still reached the disk";
}

TEST_F(AutomapTest, DevicesBeyondTheTableAreNeverIndexed) {
    // Slot [9][0] is where an unchecked index of 8:256 lands.
    tav::Disk* nine = addDisk("tnine", 9, 0, 1, {});
    AutoMapSession* victim = startSession(recordOn(nine, 0, 0, 8192));
    tav::Disk* wide = addDisk("twide", kMajor, 250, 8, {{64, 4096, 6}});  // partition 6 is 8:256
    tav::Disk* big = addDisk("tbig", 300, 0, 1, {});
    ASSERT_TRUE(nine && wide && big);
    make_request_fn* wideOwn = wide->queue()->make_request_fn;
    make_request_fn* bigOwn = big->queue()->make_request_fn;
    Backup* outside[] = {recordOn(wide, 6, 64, 4096), recordOn(big, 0, 0, 8192)};
    for (Backup* b : outside) {
        AutoMapSession* s = nullptr;
        EXPECT_EQ(newAMS(b, &s), TAV_ERR_INVALID);
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(closeAMS(b), 2);
        ASSERT_EQ(setMRF(b, tavAMRF), 0);
        EXPECT_EQ(countQueueAMS(getRequestQueue(&b->diskInfo)), 0);
    }
    std::vector<std::uint8_t> data(4096, 0x5a), back(4096);
    ASSERT_EQ(tav::submitAndWait(wide->bdev(6), WRITE, 0, data.data(), data.size()), 0);
    ASSERT_EQ(tav::submitAndWait(big->bdev(0), WRITE, 0, data.data(), data.size()), 0);
    errorAMSDEV(outside[0]->diskInfo.kdev);
    errorAMS(outside[0]);
    errorAMS(outside[1]);
    EXPECT_TRUE(setBits(victim).empty());
    EXPECT_EQ(amsState(victim), kInSync);
    EXPECT_EQ(wide->queue()->make_request_fn, wideOwn);
    EXPECT_EQ(big->queue()->make_request_fn, bigOwn);
    ASSERT_EQ(wide->readRaw(64, back.data(), back.size()), 0);
    EXPECT_EQ(back, data);
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
    bool gone = eventually([&] {
        AutoMapSession* s = getDeviceAMS(dev(2));
        if (s) putDeviceAMS(s);
        return !s && queueFn() == own_;
    });
    EXPECT_TRUE(gone) << "the slot is emptied and the device unhooked first";
    EXPECT_FALSE(closed) << "then the close waits for the reader that found the session";
    EXPECT_EQ(setBlock(&held->map, 7), 0) << "whose map is still there";
    putDeviceAMS(held);
    closer.join();
    EXPECT_TRUE(closed);
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
        if (!s || setMRF(p2, tavAMRF) != 0 || submit(2, 300, 1, 0xee) != 0 || !blockInMap(&s->map, 300)) unrecorded++;
        if (i % 3 == 0) errorAMS(p2);  // a failed backup on the device
        EXPECT_EQ(closeAMS(p2), 0);
    }
    stop = true;
    w2.join();
    w3.join();
    EXPECT_EQ(unrecorded, 0);
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(queueFn(), own_);
    EXPECT_TRUE(registry().empty());
}

TEST_F(AutomapTest, AFailedBackupLeavesTheHookOnlyToOtherSessions) {
    Backup* b[4] = {nullptr, record(1), record(2), record(3)};
    AutoMapSession* s2 = startSession(b[2]);
    ASSERT_EQ(setMRF(b[2], tavMRF), 0);
    errorAMS(b[2]);
    EXPECT_EQ(amsState(s2), kNotInSync);
    EXPECT_EQ(queueFn(), own_) << "no other session needs the disk hooked";
    EXPECT_TRUE(registry().empty());

    setAMSState(s2, AMS_IN_SYNC);
    AutoMapSession* s3 = startSession(b[3]);
    ASSERT_EQ(setMRF(b[3], tavAMRF), 0);
    ASSERT_EQ(setMRF(b[2], tavMRF), 0);
    errorAMS(b[2]);
    EXPECT_EQ(queueFn(), &tavAMRF) << "partition 3 goes on recording";
    EXPECT_EQ(amsState(s2), kNotInSync);
    EXPECT_EQ(amsState(s3), kInSync);

    errorAMS(b[1]);  // a device without a session on a disk with two
    EXPECT_EQ(queueFn(), &tavAMRF);
    ASSERT_EQ(registry().size(), 1u);
    EXPECT_EQ(registry()[0].devs, (std::vector<dev_t>{dev(3), dev(2), dev(1)}));

    setAMSState(s2, AMS_IN_SYNC);
    errorAMSDEV(dev(1));
    EXPECT_EQ(amsState(s2), kNotInSync);
    EXPECT_EQ(amsState(s3), kNotInSync);
}

TEST_F(AutomapTest, TheUnloadCommandLeavesARunningBackupItsHook) {
    Backup* p2 = record(2);
    startSession(p2);
    setActiveBackup(p2, BACKUP_SNAPSHOT_DONE);
    ASSERT_EQ(setMRF(p2, tavMRF), 0);
    int fd = openDevice();
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_UNLOAD, 0UL), 0);
    EXPECT_EQ(slot(dev(2)), nullptr);
    EXPECT_EQ(queueFn(), &tavMRF) << "writes after the snapshot must still be copied";
    EXPECT_EQ(isInQueueList(queue(), dev(2)), 1);

    startSession(p2);
    p2->state = BACKUP_STARTED;  // hooked by a snapshot whose freeze failed
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_UNLOAD, 0UL), 0);
    EXPECT_EQ(queueFn(), own_);
    EXPECT_TRUE(registry().empty());
    tav::sys::close(fd);
}

TEST_F(AutomapTest, GetAutoMapStateReportsTheSessionOfTheRecordsDevice) {
    int fd = openDevice();
    Backup* rec = recordOf(fd);
    std::vector<std::uint8_t> buf(100, 0xee);
    GetAutoMapState r{reinterpret_cast<AutoMapState*>(buf.data()), 100};
    ASSERT_EQ(tav::sys::ioctl(fd, TAV_GET_AUTOMAP_STATE, &r), 0);
    EXPECT_EQ(std::count(buf.begin(), buf.begin() + 76, 0), 76) << "no backup, no session: all zero";
    EXPECT_EQ(buf[76], 0xee);

    AutoMapSession* s = startSession(record(2, 40000));
    for (int i = 0; i < AMS_KEY_LEN; i++) s->sessionKey.key[i] = static_cast<unsigned char>(i + 1);
    rec->diskInfo.kdev = dev(2);
    AutoMapState st{};
    r = {&st, sizeof st};
    ASSERT_EQ(tav::sys::ioctl(fd, TAV_GET_AUTOMAP_STATE, &r), 0);
    EXPECT_EQ(st.major, kMajor);
    EXPECT_EQ(st.minor, kFirstMinor + 2);
    EXPECT_EQ(st.state, kInSync);
    EXPECT_EQ(st.mapLen, 40000u);
    EXPECT_EQ(st.mapSize, 5000u);
    EXPECT_EQ(memcmp(&st.amsKey, &s->sessionKey, AMS_KEY_LEN), 0);

    std::fill(buf.begin(), buf.end(), 0xee);
    r = {reinterpret_cast<AutoMapState*>(buf.data()), 20};
    ASSERT_EQ(tav::sys::ioctl(fd, TAV_GET_AUTOMAP_STATE, &r), 0);
    AutoMapState head{};
    memcpy(&head, buf.data(), 20);
    EXPECT_EQ(head.mapSize, 5000u);
    EXPECT_EQ(std::count(buf.begin() + 20, buf.end(), 0xee), 80) << "no key bytes";

    tav::fault::add(tav::fault::failNth(Site::CopyToUser, 1));
    r = {&st, sizeof st};
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_GET_AUTOMAP_STATE, &r), TAV_ERR_COPY_TO_USER);
    EXPECT_TRUE(logContains("<3>ioctlGetAutoMapState: copy to user space failed"));

    EXPECT_EQ(tav::sys::ioctl(fd, TAV_NO_LOAD_FROM_AUTOMAP, 0UL), 0);
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_NO_START_AUTOMAP, 0UL), 0);
    EXPECT_EQ(rec->noLoadFromAutoMap, 1);
    EXPECT_EQ(rec->noStartAutoMap, 1);
    rec->diskInfo.kdev = 0;
    tav::sys::close(fd);
}

TEST_F(AutomapTest, GetAutoMapHandsOutTheChangeMapOnce) {
    int fd = openDevice();
    Backup* rec = recordOf(fd);
    std::vector<std::uint8_t> user(5000 + 16, 0xee);
    auto getAutoMap = [&](unsigned mapLen) {
        UserBlockMap ubm{user.data(), mapLen};
        GetAutoMap r{&ubm, sizeof ubm};
        return tav::sys::ioctl(fd, TAV_GET_AUTOMAP, &r);
    };
    rec->state = BACKUP_STARTED;
    EXPECT_EQ(getAutoMap(40000), TAV_ERR_INVALID);
    EXPECT_TRUE(logContains("<3>ioctlGetAutoMap: backup error map not loaded"));
    rec->state = BACKUP_SNAPSHOT_DONE;
    EXPECT_EQ(getAutoMap(40000), TAV_ERR_INVALID);
    EXPECT_TRUE(logContains("<3>ioctlGetAutoMap: backup error automap is NULL"));

    unsigned pages = 0;
    ASSERT_EQ(newBlockMap(&rec->blockMap, 40000, nullptr, 1, &pages), 0);
    atomic_add(static_cast<int>(pages), &rec->curAllocPages);
    std::vector<std::uint8_t> want(5000, 0);
    for (unsigned n : {0u, 7u, 32767u, 32768u, 39999u}) {
        setBlock(&rec->blockMap, n);
        want[n >> 3] |= static_cast<std::uint8_t>(1u << (n & 7));
    }
    EXPECT_EQ(getAutoMap(39999), TAV_ERR_INVALID);
    EXPECT_TRUE(logContains(
        "<3>ioctlGetAutoMap: backup error map size mismatch kernel map size=40000 user map size=39999"));

    tav::fault::Rule secondPage = tav::fault::failNth(Site::CopyToUser, 1);
    secondPage.first = reinterpret_cast<std::uint64_t>(user.data() + 4096);
    secondPage.last = secondPage.first + 903;
    int rule = tav::fault::add(secondPage);
    EXPECT_EQ(getAutoMap(40000), TAV_ERR_COPY_TO_USER);
    char line[160];
    snprintf(line, sizeof line, "<3>ioctlGetAutoMap: copy to user space failed data=%p bytesCopied=904 bytesInMap=5000",
             static_cast<void*>(user.data() + 4096));
    EXPECT_TRUE(logContains(line));
    tav::fault::remove(rule);
    EXPECT_NE(rec->blockMap.map, nullptr) << "kept for a retry";

    EXPECT_EQ(getAutoMap(40000), 0);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), user.begin()));
    EXPECT_EQ(std::count(user.begin() + 5000, user.end(), 0xee), 16);
    EXPECT_EQ(rec->blockMap.map, nullptr);
    EXPECT_EQ(atomic_read(&rec->curAllocPages), 0);
    EXPECT_EQ(getAutoMap(40000), TAV_ERR_INVALID) << "fetched once";
    rec->state = BACKUP_IDLE;
    tav::sys::close(fd);
}

TEST(AutomapDeathTest, InternalFaultsStopTheKernel) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto b = std::make_unique<Backup>();
    b->diskInfo.kdev = MKDEV(8, 1);
    b->diskInfo.numBlocks = 8;
    EXPECT_DEATH(
        {
            tav::kernel::logToStderr();
            AutoMapSession* s = nullptr;
            newAMS(b.get(), &s);
        },
        "Blocksize set to 0 when making automap");
    auto lone = tav::getBdev(MKDEV(8, 40));
    EXPECT_DEATH(
        {
            tav::kernel::logToStderr();
            struct bio* bio = tav::kernel::platformBioAlloc(1);
            bio->bi_bdev = lone.get();
            bio->bi_rw = READ;
            tavAMRF(nullptr, bio);
        },
        "request intercepted for unknown device major=8 realMRF=");
}

}  // namespace
