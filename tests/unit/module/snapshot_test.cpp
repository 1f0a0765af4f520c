// SnapShot and LoadBlockMap: states they accept, the key, the fate of the device's
// automap (created, reused, replaced, closed, reset), a failed freeze, a reused automap
// that falls out of sync before the freeze, devices without an automap slot, and the
// clean-up of the cache against a loaded map.
#include <functional>
#include <thread>

#include "kernel/sched.h"
#include "tests/unit/module/start_fixture.h"

namespace {

using tav::fault::Site;
using tav::kernel::logContains;
using tav::kernel::logCount;

class SnapshotTest : public tav::test::BackupTest {
protected:
    // A first backup of partition 1 that leaves an in-sync automap; returns its key.
    AMSessionKey firstBackup(unsigned totalBlocks = 0) {
        int fd = openDevice();
        EXPECT_EQ(startBackup(fd, totalBlocks), 0);
        EXPECT_EQ(snapShot(fd), 0);
        AMSessionKey key = autoMapState(fd).amsKey;
        EXPECT_EQ(tav::sys::close(fd), 0);
        EXPECT_EQ(queueFn(), &tavAMRF);
        return key;
    }
    static bool sameKey(const AMSessionKey& a, const AMSessionKey& b) { return !memcmp(a.key, b.key, AMS_KEY_LEN); }
    // The table entry, read as a table user would.
    AutoMapSession* session() {
        AutoMapSession* s = getDeviceAMS(dev(1));
        if (s) putDeviceAMS(s);
        return s;
    }
};

TEST_F(SnapshotTest, SnapShotIsTakenOnceAndOnlyFromTheStartedState) {
    makeDisk();
    int fd = openDevice();
    EXPECT_EQ(snapShot(fd), TAV_ERR_INVALID);
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_IDLE));
    ASSERT_EQ(startBackup(fd), 0);
    ASSERT_EQ(snapShot(fd), 0);
    EXPECT_TRUE(logContains("<3>ioctlSnapShot: Going to freez: 8.17"));
    EXPECT_EQ(snapShot(fd), TAV_ERR_INVALID);
    EXPECT_EQ(logCount("Going to freez"), 1u);
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_SNAPSHOT_DONE));
    Backup* b = recordOf(fd);
    long frozen = b->eTimeFrozen.tv_sec * 1000000000L + b->eTimeFrozen.tv_nsec;
    long toFreeze = b->eTimeToFreeze.tv_sec * 1000000000L + b->eTimeToFreeze.tv_nsec;
    EXPECT_GE(toFreeze, 0);
    EXPECT_GE(frozen, toFreeze);
    EXPECT_LT(b->eTimeFrozen.tv_nsec, 1000000000L);
}

TEST_F(SnapshotTest, AtMostFiftySixKeyBytesAreRead) {
    makeDisk();
    AMSessionKey keys[2] = {};
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    auto base = reinterpret_cast<std::uint64_t>(&keys[0]);
    tav::fault::Rule beyond = tav::fault::failAllFromNow(Site::CopyFromUser);
    beyond.first = base + AMS_KEY_LEN;
    beyond.last = base + sizeof keys - 1;
    tav::fault::add(beyond);
    EXPECT_EQ(snapShot(fd, &keys[0], 100), 0) << "only 56 bytes are read";
    tav::sys::close(fd);
    tav::fault::clear();

    fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    tav::fault::Rule last = tav::fault::failAllFromNow(Site::CopyFromUser);
    last.first = last.last = base + AMS_KEY_LEN - 1;
    tav::fault::add(last);
    EXPECT_EQ(snapShot(fd, &keys[0], AMS_KEY_LEN), TAV_ERR_COPY_FROM_USER);
    EXPECT_TRUE(logContains("<3>ioctlSnapShot: copy from user space failed"));
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_STARTED));
    EXPECT_EQ(snapShot(fd, &keys[0], 0), 0) << "a key of length 0 is not read";
}

TEST_F(SnapshotTest, TheFirstSnapshotStartsAnAutomapAtTheFreeze) {
    makeDisk();
    ASSERT_EQ(submit(1, 3, 1, 0x03), 0);  // before the snapshot: not recorded
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    ASSERT_EQ(snapShot(fd), 0);
    AutoMapState a = autoMapState(fd);
    EXPECT_EQ(a.state, static_cast<unsigned>(AMS_IN_SYNC));
    EXPECT_EQ(a.mapLen, fsBlocks());
    AMSessionKey ff;
    memset(ff.key, 0xff, AMS_KEY_LEN);
    EXPECT_FALSE(sameKey(a.amsKey, ff));
    EXPECT_FALSE(sameKey(a.amsKey, AMSessionKey{}));
    std::vector<std::uint8_t> bits;
    EXPECT_EQ(getAutoMap(fd, fsBlocks(), &bits), TAV_ERR_INVALID);
    EXPECT_TRUE(logContains("<3>ioctlGetAutoMap: backup error automap is NULL"));
    ASSERT_EQ(submit(1, 4, 1, 0x04), 0);
    EXPECT_FALSE(blockInMap(&session()->map, 3));
    EXPECT_TRUE(blockInMap(&session()->map, 4));
}

TEST_F(SnapshotTest, AWrongKeyTakesNoSnapshotAndLeavesTheAutomap) {
    makeDisk();
    AMSessionKey k1 = firstBackup();
    AutoMapSession* s1 = session();
    ASSERT_EQ(submit(1, 8, 1, 0x08), 0);
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    tav::kernel::clearLog();
    AMSessionKey wrong = k1;
    wrong.key[55] ^= 1;
    EXPECT_EQ(snapShot(fd, &wrong, AMS_KEY_LEN), 0);
    EXPECT_TRUE(logContains("<3>ioctlSnapShot: session key mismatch"));
    EXPECT_EQ(snapShot(fd, &k1, 10), 0) << "a ten-byte prefix is padded with zeros";
    EXPECT_EQ(logCount("session key mismatch"), 2u);
    EXPECT_EQ(logCount("Going to freez"), 0u);
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_STARTED));
    EXPECT_EQ(queueFn(), &tavAMRF) << "no hook of the backup";
    EXPECT_EQ(session(), s1);
    EXPECT_EQ(amsState(s1), static_cast<unsigned>(AMS_IN_SYNC));
    EXPECT_TRUE(sameKey(autoMapState(fd).amsKey, k1));
    EXPECT_TRUE(blockInMap(&s1->map, 8));

    ASSERT_EQ(snapShot(fd, &k1, AMS_KEY_LEN), 0);
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_SNAPSHOT_DONE));
    EXPECT_FALSE(sameKey(autoMapState(fd).amsKey, k1)) << "every snapshot renews the key";
    std::vector<std::uint8_t> bits;
    ASSERT_EQ(getAutoMap(fd, fsBlocks(), &bits), 0);
    std::vector<std::uint8_t> want(fsBlocks() / 8, 0);
    want[1] = 0x01;
    EXPECT_EQ(bits, want) << "block 8, written between the snapshots";
}

TEST_F(SnapshotTest, TheAgentsFlagsReplaceOrDropTheAutomap) {
    makeDisk();
    AMSessionKey k1 = firstBackup();
    ASSERT_EQ(submit(1, 8, 1, 0x08), 0);
    ASSERT_TRUE(blockInMap(&session()->map, 8));
    int fd = openDevice();
    ASSERT_EQ(tav::sys::ioctl(fd, TAV_NO_LOAD_FROM_AUTOMAP, 0UL), 0);
    ASSERT_EQ(startBackup(fd), 0);
    ASSERT_EQ(snapShot(fd, &k1, AMS_KEY_LEN), 0);
    EXPECT_FALSE(blockInMap(&session()->map, 8)) << "replaced by a new automap: the changes are discarded";
    EXPECT_EQ(amsState(session()), static_cast<unsigned>(AMS_IN_SYNC));
    std::vector<std::uint8_t> bits;
    EXPECT_EQ(getAutoMap(fd, fsBlocks(), &bits), TAV_ERR_INVALID);
    AMSessionKey k2 = autoMapState(fd).amsKey;
    tav::sys::close(fd);

    fd = openDevice();
    ASSERT_EQ(tav::sys::ioctl(fd, TAV_NO_START_AUTOMAP, 0UL), 0);
    ASSERT_EQ(startBackup(fd), 0);
    ASSERT_EQ(snapShot(fd, &k2, AMS_KEY_LEN), 0);
    EXPECT_EQ(session(), nullptr);
    AutoMapState none = autoMapState(fd);
    EXPECT_EQ(none.state, 0u);
    EXPECT_EQ(none.mapLen, 0u);
    EXPECT_EQ(none.major, 0u);
    ASSERT_EQ(submit(1, 5, 1, 0x05), 0);
    EXPECT_EQ(atomic_read(&recordOf(fd)->totalCBs), 1) << "the backup itself runs";
}

TEST_F(SnapshotTest, ADifferentBlockCountResetsTheAutomap) {
    makeDisk();
    AMSessionKey k1 = firstBackup();
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd, fsBlocks() - 8), 0);
    ASSERT_EQ(snapShot(fd, &k1, AMS_KEY_LEN), 0);
    EXPECT_TRUE(logContains("<4>ioctlSnapShot: device resize detected, device has (1016) blocks and automap has (1024), "
                            "resetting automap"));
    EXPECT_EQ(session()->map.size, fsBlocks() - 8);
    EXPECT_EQ(amsState(session()), static_cast<unsigned>(AMS_IN_SYNC));
    std::vector<std::uint8_t> bits;
    EXPECT_EQ(getAutoMap(fd, fsBlocks() - 8, &bits), TAV_ERR_INVALID);
}

// A failed freeze leaves the hook installed and the state at 2, so writes pass uncopied;
// the automap's key was renewed already, and the retry must present the new one.
TEST_F(SnapshotTest, AFailedFreezeKeepsTheHookAndTheRenewedKey) {
    makeDisk();
    AMSessionKey k1 = firstBackup();
    ASSERT_EQ(submit(1, 9, 1, 0x09), 0);
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    tav::fault::add(tav::fault::failNth(Site::Freeze, 1));
    EXPECT_EQ(snapShot(fd, &k1, AMS_KEY_LEN), TAV_ERR_INVALID);
    EXPECT_EQ(tav::fault::fired(Site::Freeze), 1);
    EXPECT_TRUE(logContains("<3>ioctlSnapShot: freeze_bdev could not freeze the device."));
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_STARTED));
    EXPECT_EQ(queueFn(), &tavMRF);
    Backup* b = recordOf(fd);
    ASSERT_EQ(submit(1, 10, 1, 0x10), 0);
    EXPECT_EQ(raw(1, 10), filled(0x10));
    EXPECT_EQ(atomic_read(&b->totalAllocBRs), 0) << "state 2: nothing is preserved";
    EXPECT_EQ(atomic_read(&b->mrInQueue), 0);

    AMSessionKey k2 = autoMapState(fd).amsKey;
    EXPECT_FALSE(sameKey(k1, k2));
    EXPECT_EQ(snapShot(fd, &k1, AMS_KEY_LEN), 0);
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_STARTED)) << "the old key no longer matches";
    ASSERT_EQ(snapShot(fd, &k2, AMS_KEY_LEN), 0);
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_SNAPSHOT_DONE));
    std::vector<std::uint8_t> bits;
    ASSERT_EQ(getAutoMap(fd, fsBlocks(), &bits), 0);
    std::vector<std::uint8_t> want(fsBlocks() / 8, 0);
    want[1] = 0x06;
    EXPECT_EQ(bits, want) << "blocks 9 and 10, written since the first snapshot";
}

TEST_F(SnapshotTest, AnUnmountedDeviceCannotBeFrozen) {
    makeDisk();
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    ASSERT_EQ(mount1()->unmount(), 0);
    EXPECT_EQ(snapShot(fd), TAV_ERR_INVALID);
    EXPECT_TRUE(logContains("<3>ioctlSnapShot: freeze_bdev could not freeze the device."));
    EXPECT_EQ(amsState(session()), static_cast<unsigned>(AMS_NOT_IN_SYNC)) << "a new automap records nothing yet";
}

// The reused automap goes out of sync inside the freeze (a write beyond its map): it is
// no change set, so the backup gets none, and the automap starts over from the freeze.
TEST_F(SnapshotTest, AnAutomapThatFallsOutOfSyncBeforeTheFreezeGivesNoChangeSet) {
    makeDisk();
    unsigned total = fsBlocks() - 8;
    AMSessionKey k1 = firstBackup(total);
    ASSERT_EQ(submit(1, 12, 1, 0x12), 0);
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd, total), 0);
    mount1()->setFreezeSyncPoint([&](struct super_block*) { EXPECT_EQ(submit(1, total + 2, 1, 0x99), 0); });
    ASSERT_EQ(snapShot(fd, &k1, AMS_KEY_LEN), 0);
    mount1()->setFreezeSyncPoint(nullptr);
    EXPECT_TRUE(logContains("in automap update, automap not in sync"));
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_SNAPSHOT_DONE));
    std::vector<std::uint8_t> bits;
    EXPECT_EQ(getAutoMap(fd, total, &bits), TAV_ERR_INVALID) << "no all-zero change set";
    EXPECT_TRUE(logContains("<3>ioctlGetAutoMap: backup error automap is NULL"));
    EXPECT_EQ(amsState(session()), static_cast<unsigned>(AMS_IN_SYNC));
    EXPECT_FALSE(blockInMap(&session()->map, 12)) << "it records from this freeze";
    ASSERT_EQ(submit(1, 13, 1, 0x13), 0);
    EXPECT_TRUE(blockInMap(&session()->map, 13));
}

// The Unload command closes every automap; one that a snapshot is activating stays alive
// until the snapshot is done with it.
TEST_F(SnapshotTest, AnUnloadDuringTheFreezeDoesNotFreeTheAutomapUnderTheSnapshot) {
    makeDisk();
    AMSessionKey k1 = firstBackup();
    int fd = openDevice(), other = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    std::thread unload;
    mount1()->setFreezeSyncPoint([&](struct super_block*) {
        unload = std::thread([&] { EXPECT_EQ(tav::sys::ioctl(other, TAV_UNLOAD, 0UL), 0); });
        EXPECT_TRUE(eventually([&] { return session() == nullptr; }));
    });
    ASSERT_EQ(snapShot(fd, &k1, AMS_KEY_LEN), 0);
    unload.join();
    mount1()->setFreezeSyncPoint(nullptr);
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_SNAPSHOT_DONE));
    std::vector<std::uint8_t> bits;
    EXPECT_EQ(getAutoMap(fd, fsBlocks(), &bits), 0) << "the change set handed over before the automap went";
}

// An automap closed under a started backup leaves its device's hook to the backup; a
// backup that closes without having hooked the queue gives the queue its function back.
TEST_F(SnapshotTest, AnAutomapClosedBeforeTheHookLeavesTheBackupToGiveTheQueueBack) {
    makeDisk();
    make_request_fn* own = queueFn();
    struct Case {
        const char* what;
        std::function<void(int fd)> closeTheAutomap;
    } cases[] = {
        {"the Unload command",
         [&](int) {
             int other = openDevice();
             EXPECT_EQ(tav::sys::ioctl(other, TAV_UNLOAD, 0UL), 0);
             tav::sys::close(other);
         }},
        {"a snapshot that replaced the automap and failed",
         [&](int fd) {
             ASSERT_EQ(tav::sys::ioctl(fd, TAV_NO_LOAD_FROM_AUTOMAP, 0UL), 0);
             tav::fault::add(tav::fault::failNth(Site::Kmalloc, 1));
             EXPECT_EQ(snapShot(fd), TAV_ERR_NO_MEMORY);
             tav::fault::clear();
             EXPECT_TRUE(logContains("<3>ioctlSnapShot: new automap failed"));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        firstBackup();
        int fd = openDevice();
        ASSERT_EQ(startBackup(fd), 0);
        c.closeTheAutomap(fd);
        EXPECT_EQ(session(), nullptr);
        EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_STARTED));
        EXPECT_EQ(queueFn(), &tavAMRF) << "left to the backup";
        EXPECT_EQ(tav::sys::close(fd), 0);
        EXPECT_EQ(queueFn(), own);
        EXPECT_TRUE(list_empty(&queueListHead)) << "no node left for a session that is gone";
    }
}

// Devices without an amList slot run backups but never get an automap.
TEST_F(SnapshotTest, ADeviceBeyondTheAutomapTableHasNoAutomap) {
    for (unsigned major : {300u, 8u}) {
        SCOPED_TRACE(major);
        tav::DiskConfig cfg;
        cfg.name = major == 300 ? "tbig" : "tmin";
        cfg.major = major;
        cfg.firstMinor = major == 300 ? 0 : 256;
        cfg.minors = 4;
        cfg.sectors = 4096 + 2048;
        cfg.partitions = {{2048, 4096, 1}};
        auto disk = tav::Disk::create(cfg);
        ASSERT_TRUE(disk);
        make_request_fn* own = disk->queue()->make_request_fn;
        {
            auto mount = tav::Mount::create(disk->bdev(1), {4096, 16, 0});
            ASSERT_TRUE(mount);
            int fd = openDevice();
            StartBackup r{major, cfg.firstMinor + 1, 512, 100};
            ASSERT_EQ(tav::sys::ioctl(fd, TAV_START_BACKUP, &r), 0);
            ASSERT_EQ(snapShot(fd), 0);
            EXPECT_EQ(autoMapState(fd).state, 0u);
            tav::BioBatch batch(disk->bdev(1));
            std::vector<std::uint8_t> data(4096, 0x3c);
            ASSERT_EQ(batch.add(WRITE, 8, data.data(), data.size()), 0);
            batch.submit();
            ASSERT_EQ(batch.wait(), 0);
            EXPECT_EQ(atomic_read(&recordOf(fd)->totalCBs), 2) << "the write, and the super block the thaw wrote";
            ASSERT_EQ(tav::sys::close(fd), 0);
            EXPECT_EQ(disk->queue()->make_request_fn, own);
        }
    }
}

TEST_F(SnapshotTest, LoadBlockMapOnlyAfterTheSnapshotAndOnce) {
    makeDisk();
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    std::vector<std::uint8_t> map((fsBlocks() + 7) / 8, 0xff);
    EXPECT_EQ(loadBlockMap(fd, map, fsBlocks()), TAV_ERR_INVALID);
    EXPECT_TRUE(logContains("<3>ioctlLoadBlockMap: backup error snapshot not complete"));
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_STARTED));
    ASSERT_EQ(snapShot(fd), 0);
    ASSERT_EQ(loadBlockMap(fd, map, fsBlocks()), 0);
    EXPECT_EQ(loadBlockMap(fd, map, fsBlocks()), TAV_ERR_INVALID);
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_MAP_LOADED));
}

TEST_F(SnapshotTest, AMapThatCannotBeBuiltFailsTheBackup) {
    makeDisk();
    struct Case {
        unsigned mapLen;
        bool badAddress;
        int rc;
        const char* message;
    } cases[] = {
        {0, false, TAV_ERR_INVALID, "<3>newBUBlockMap: error creating map of size=0"},
        {1024, true, TAV_ERR_COPY_FROM_USER, "<3>newBUBlockMap: error creating map of size=1024"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        int fd = openDevice();
        ASSERT_EQ(tav::sys::ioctl(fd, TAV_NO_START_AUTOMAP, 0UL), 0);
        ASSERT_EQ(startBackup(fd), 0);
        ASSERT_EQ(snapShot(fd), 0);
        std::vector<std::uint8_t> map(128, 0xff);
        if (c.badAddress) {
            tav::fault::Rule r = tav::fault::failAllFromNow(Site::CopyFromUser);
            r.first = reinterpret_cast<std::uint64_t>(map.data());
            r.last = r.first + map.size() - 1;
            tav::fault::add(r);
        }
        EXPECT_EQ(loadBlockMap(fd, map, c.mapLen), c.rc);
        tav::fault::clear();
        EXPECT_TRUE(logContains(c.message));
        EXPECT_TRUE(logContains("<3>ioctlLoadBlockMap: backup error failed to load device map"));
        EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_ERR_MAP_LOAD));
        Backup* b = recordOf(fd);
        EXPECT_EQ(b->blockMap.map, nullptr);
        ASSERT_EQ(submit(1, 2, 1, 0x22), 0);
        EXPECT_EQ(raw(1, 2), filled(0x22));
        ASSERT_EQ(tav::sys::close(fd), 0);
    }
}

TEST_F(SnapshotTest, LoadingAMapDropsTheCachedBlocksOutsideIt) {
    makeDisk();
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd), 0);
    ASSERT_EQ(snapShot(fd), 0);
    Backup* b = recordOf(fd);
    ASSERT_EQ(submit(1, 5, 3, 0x57), 0);
    ASSERT_TRUE(settled(b));
    ASSERT_EQ(cachedBlocks(b), 3);
    std::vector<std::uint8_t> map((fsBlocks() + 7) / 8, 0);
    map[0] = 1 << 6;
    ASSERT_EQ(loadBlockMap(fd, map, fsBlocks()), 0);
    EXPECT_EQ(cachedBlocks(b), 1);
    EXPECT_EQ(atomic_read(&b->totalCleanedCBs), 2);
    EXPECT_FALSE(blockInMap(&b->cacheMap, 5));
    EXPECT_TRUE(blockInMap(&b->cacheMap, 6));
    int copies = atomic_read(&b->totalAllocBRs);
    ASSERT_EQ(submit(1, 5, 1, 0x58), 0);
    ASSERT_EQ(submit(1, 100, 1, 0x59), 0);
    EXPECT_EQ(atomic_read(&b->totalAllocBRs), copies) << "blocks outside the map are no longer copied";
}

TEST_F(SnapshotTest, ACopyFailureWhileTheMapIsBuiltKeepsTheBackupFailed) {
    makeDisk();
    int fd = openDevice();
    ASSERT_EQ(startBackup(fd, 0, 1), 0);  // room for one cached block
    ASSERT_EQ(snapShot(fd), 0);
    Backup* b = recordOf(fd);
    unsigned char* area = mapArea(fd);
    ASSERT_EQ(submit(1, 2, 1, 0x22), 0);  // fills the cache
    ASSERT_TRUE(settled(b));
    std::vector<std::uint8_t> before = raw(1, 5);

    // The copy read of block 5 waits in the disk while LoadBlockMap waits for writers in
    // BACKUP_MAP_LOADING; then the copy finds the cache full.
    int gate = disk_->hold(sectorOf(1, 5), sectorOf(1, 5) + 7, tav::IoDir::Read);
    std::thread writer([&] { EXPECT_EQ(submit(1, 5, 1, 0x55), 0); });
    ASSERT_TRUE(disk_->waitHeld(gate, 1));
    down_read(&b->writers);
    std::vector<std::uint8_t> map((fsBlocks() + 7) / 8, 0xff);
    int rc = -1;
    std::thread loader([&] { rc = loadBlockMap(fd, map, fsBlocks()); });
    ASSERT_TRUE(eventually([b] { return rwsemWaiters(&b->writers) > 0; }));
    ASSERT_EQ(backupState(b), static_cast<unsigned>(BACKUP_MAP_LOADING));
    disk_->removeHold(gate);
    ASSERT_TRUE(eventually([b] { return backupState(b) == BACKUP_ERR_CACHE; }));
    up_read(&b->writers);
    loader.join();
    writer.join();

    EXPECT_EQ(rc, TAV_ERR_GENERAL);
    EXPECT_TRUE(logContains("<3>ioctlLoadBlockMap: backup error failed to load device map"));
    EXPECT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_ERR_CACHE));
    EXPECT_EQ(raw(1, 5), filled(0x55)) << "the write went through uncopied";
    ReadBlocks r{5, 1, area};
    EXPECT_EQ(tav::sys::ioctl(fd, TAV_READ_BLOCKS, &r), TAV_ERR_INVALID) << "no image of post-snapshot data";
    EXPECT_NE(before, filled(0x55));
}

TEST_F(SnapshotTest, ASnapshotThatDoesNotReuseTheAutomapLeavesNoStaleChangeMap) {
    makeDisk();
    struct Case {
        const char* name;
        unsigned long retryFlag;  // set before the retry
    } cases[] = {{"new automap", TAV_NO_LOAD_FROM_AUTOMAP}, {"no automap", TAV_NO_START_AUTOMAP}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AMSessionKey k1 = firstBackup();
        ASSERT_EQ(submit(1, 8, 1, 0x08), 0);
        int fd = openDevice();
        ASSERT_EQ(startBackup(fd), 0);
        tav::fault::add(tav::fault::failNth(Site::Freeze, 1));
        ASSERT_EQ(snapShot(fd, &k1, AMS_KEY_LEN), TAV_ERR_INVALID);  // reuse path, freeze fails
        EXPECT_EQ(tav::fault::fired(Site::Freeze), 1);
        tav::fault::clear();
        ASSERT_EQ(tav::sys::ioctl(fd, c.retryFlag, 0UL), 0);
        ASSERT_EQ(snapShot(fd), 0);
        ASSERT_EQ(stateOf(fd), static_cast<unsigned>(BACKUP_SNAPSHOT_DONE));
        EXPECT_EQ(recordOf(fd)->blockMap.map, nullptr);
        std::vector<std::uint8_t> bits;
        EXPECT_EQ(getAutoMap(fd, fsBlocks(), &bits), TAV_ERR_INVALID) << "no change map to hand out";
        ASSERT_EQ(tav::sys::close(fd), 0);
        int u = openDevice();
        ASSERT_EQ(tav::sys::ioctl(u, TAV_UNLOAD, 0UL), 0);
        ASSERT_EQ(tav::sys::close(u), 0);
    }
}

}  // namespace
