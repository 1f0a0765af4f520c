// The hook registry and automap sessions driven directly: the disk of BackupTest (three
// partitions, first minor 16), records that carry only a device's geometry, sessions made
// with newAMS, and a quiescent view of the registry. Extra disks go after the module
// unloads, before the leak check.
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
        down_write(&activeSessionUsers);
        activeSession = nullptr;
        up_write(&activeSessionUsers);
        tav::sys::exitProcess();
        if (tav::moduleLoaded()) EXPECT_EQ(tav::unloadModule(), 0);
        EXPECT_EQ(atomic_read(&curAllocAMPages), 0);
        extraDisks_.clear();
        BackupTest::TearDown();
    }

    std::uint64_t partSectors(int partno) const {
        return partno == 1 ? p1Sectors_ : partno == 2 ? kP2Sectors : kP3Sectors;
    }
    // A record that carries the geometry of a partition of disk (4096-byte blocks), as
    // StartBackup leaves it; numBlocks 0: the whole partition.
    Backup* recordOn(tav::Disk* disk, int partno, std::uint64_t start, std::uint64_t sectors, unsigned numBlocks = 0) {
        records_.push_back(std::make_unique<Backup>());
        Backup* b = records_.back().get();
        sema_init(&b->bSem, 1);
        DiskInfo& di = b->diskInfo;
        di.kdev = disk->dev(partno);
        di.bdev = disk->bdev(partno);
        di.blockSize = 4096;
        di.blocksPerPage = 1;
        di.sectorsPerBlock = 8;
        di.sectorsPerBlockShift = 3;
        di.partitionStart = start;
        di.partitionLen = sectors;
        di.partitionSizeKB = sectors / 2;
        di.numBlocks = numBlocks ? numBlocks : sectors / 8;
        return b;
    }
    Backup* record(int partno, unsigned numBlocks = 0) {
        return recordOn(disk_.get(), partno, partStart(partno), partSectors(partno), numBlocks);
    }
    tav::Disk* addDisk(const char* name, unsigned major, unsigned firstMinor, unsigned minors,
                       std::vector<tav::PartitionSpec> parts) {
        tav::DiskConfig cfg;
        cfg.name = name;
        cfg.major = major;
        cfg.firstMinor = firstMinor;
        cfg.minors = minors;
        cfg.sectors = 8192;
        cfg.partitions = std::move(parts);
        int err = 0;
        auto d = tav::Disk::create(cfg, &err);
        EXPECT_TRUE(d) << err;
        extraDisks_.push_back(std::move(d));
        return extraDisks_.back().get();
    }

    // A session for b, in sync unless asked otherwise.
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

    struct Entry {
        request_queue_t* q;
        make_request_fn* realMRF;
        std::vector<dev_t> devs;
    };
    // The registry as it stands; only while nothing changes it.
    static std::vector<Entry> registry() {
        std::vector<Entry> out;
        struct list_head* pos;
        list_for_each(pos, &queueListHead) {
            QueueList* ql = list_entry(pos, QueueList, list);
            Entry e{ql->rQueue, ql->realMRF, {}};
            struct list_head* d;
            list_for_each(d, &ql->devList) e.devs.push_back(list_entry(d, DevList, list)->kdev);
            out.push_back(e);
        }
        return out;
    }
    void setActiveBackup(Backup* b, unsigned state) {
        b->state = state;
        down_write(&activeSessionUsers);
        activeSession = b;
        up_write(&activeSessionUsers);
    }

    make_request_fn* own_ = nullptr;
    std::vector<std::unique_ptr<Backup>> records_;
    std::vector<std::unique_ptr<tav::Disk>> extraDisks_;
};

}  // namespace tav::test
