// The hook registry and automap sessions driven directly on BackupTest's disk (three
// partitions, first minor 16): records carrying only a partition's geometry (4096-byte
// blocks), sessions from newAMS, and a quiescent view of the registry.
#pragma once

#include <memory>
#include <vector>

#include "tests/unit/module/start_fixture.h"

namespace tav::test {

class HookTest : public BackupTest {
protected:
    void SetUp() override {
        BackupTest::SetUp();
        makeDisk();
        own_ = queueFn();
    }
    void TearDown() override {
        setActiveBackup(nullptr, 0);
        tav::sys::exitProcess();
        if (tav::moduleLoaded()) {
            EXPECT_EQ(tav::unloadModule(), 0);
        }
        EXPECT_EQ(atomic_read(&curAllocAMPages), 0);
        extraDisks_.clear();  // after the unload, before the leak check
        BackupTest::TearDown();
    }
    Backup* recordOn(tav::Disk* disk, int partno, std::uint64_t start, std::uint64_t sectors, std::uint64_t blocks) {
        records_.push_back(std::make_unique<Backup>());
        Backup* b = records_.back().get();
        sema_init(&b->bSem, 1);
        b->diskInfo = DiskInfo{disk->dev(partno), start, 4096, 1, nullptr, sectors / 2, blocks, nullptr,
                               disk->bdev(partno), sectors, 8, 3};
        return b;
    }
    Backup* record(int partno, std::uint64_t blocks = 0) {
        std::uint64_t sectors = partno == 1 ? p1Sectors_ : partno == 2 ? kP2Sectors : kP3Sectors;
        return recordOn(disk_.get(), partno, partStart(partno), sectors, blocks ? blocks : sectors / 8);
    }
    tav::Disk* addDisk(const char* name, unsigned major, unsigned firstMinor, unsigned minors,
                       std::vector<tav::PartitionSpec> parts = {}) {
        tav::DiskConfig cfg;
        cfg.name = name;
        cfg.major = major;
        cfg.firstMinor = firstMinor;
        cfg.minors = minors;
        cfg.sectors = 8192;
        cfg.partitions = std::move(parts);
        extraDisks_.push_back(tav::Disk::create(cfg));
        return extraDisks_.back().get();
    }
    static AutoMapSession* startSession(Backup* b, bool inSync = true) {
        AutoMapSession* s = nullptr;
        EXPECT_EQ(newAMS(b, &s), 0);
        if (s && inSync) setAMSState(s, AMS_IN_SYNC);
        return s;
    }
    static AutoMapSession* slot(dev_t dev) { return amList[MAJOR(dev)][MINOR(dev)]; }
    static std::vector<unsigned> setBits(AutoMapSession* s) {
        std::vector<unsigned> v;
        for (unsigned n = 0; n < s->map.size; n++)
            if (blockInMap(&s->map, n)) v.push_back(n);
        return v;
    }
    // The devices of each registry entry, in order; only while nothing changes it.
    static std::vector<std::vector<dev_t>> registry() {
        std::vector<std::vector<dev_t>> out;
        struct list_head *e, *d;
        list_for_each(e, &queueListHead) {
            out.emplace_back();
            list_for_each(d, &list_entry(e, QueueList, list)->devList) out.back().push_back(list_entry(d, DevList, list)->kdev);
        }
        return out;
    }
    static void setActiveBackup(Backup* b, unsigned state) {
        if (b) setBackupState(b, state);
        down_write(&activeSessionUsers);
        activeSession = b;
        up_write(&activeSessionUsers);
    }

    make_request_fn* own_ = nullptr;
    std::vector<std::unique_ptr<Backup>> records_;
    std::vector<std::unique_ptr<tav::Disk>> extraDisks_;
};

}  // namespace tav::test
