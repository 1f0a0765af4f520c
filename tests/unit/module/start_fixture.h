// A loaded module, a RAM disk with three partitions (first minor 16, so partition 1 is
// 8:17) and a file system on partition 1, driven as an agent does: StartBackup, SnapShot,
// LoadBlockMap and ReadBlocks through tav::sys, writes as bios through the block layer
// (the hook sees them), the truth read raw from the disk. Teardown ends the process (which
// closes the backups), unloads the module, then takes the mounts and the disk down
// before the leak check.
#pragma once

#include <functional>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "kernel/blkdev.h"
#include "kernel/completion.h"
#include "kernel/slab.h"
#include "tav/blockio.h"
#include "tests/support/module_fixture.h"

namespace tav::test {

// One bio of at most a page with any bi_rw (BioBatch takes READ, WRITE and READA only).
class OneBio {
public:
    OneBio(struct block_device* bdev, sector_t sector, unsigned bytes, std::uint8_t fill, unsigned long rw) {
        init_completion(&done_);
        page_ = alloc_page(GFP_KERNEL);
        memset(page_address(page_), fill, PAGE_SIZE);
        bio_ = tav::kernel::platformBioAlloc(1);
        bio_->bi_io_vec[0] = {page_, bytes, 0};
        bio_->bi_vcnt = 1;
        bio_->bi_size = bytes;
        bio_->bi_sector = sector;
        bio_->bi_bdev = bdev;
        bio_->bi_rw = rw;
        bio_->bi_end_io = endIo;
        bio_->bi_private = this;
    }
    ~OneBio() {
        if (submitted_) wait();
        bio_put(bio_);
        __free_page(page_);
    }
    OneBio(const OneBio&) = delete;
    OneBio& operator=(const OneBio&) = delete;
    void submit() {
        submitted_ = true;
        generic_make_request(bio_);
    }
    int wait() {
        blk_run_queues();
        wait_for_completion(&done_);
        complete(&done_);  // a second wait returns at once
        return error_;
    }

private:
    static int endIo(struct bio* bio, unsigned int, int error) {
        if (bio->bi_size) return 1;
        auto* self = static_cast<OneBio*>(bio->bi_private);
        self->error_ = error;
        complete(&self->done_);
        return 0;
    }
    struct page* page_;
    struct bio* bio_;
    struct completion done_;
    int error_ = 0;
    bool submitted_ = false;
};

class BackupTest : public ModuleTest {
protected:
    static constexpr unsigned kMajor = 8, kFirstMinor = 16;
    static constexpr std::uint64_t kP1Start = 2048, kP1Sectors = 8192, kP2Start = kP1Start + kP1Sectors,
                                   kP2Sectors = 4096, kP3Start = kP2Start + kP2Sectors, kP3Sectors = 2048;

    void TearDown() override {
        tav::sys::exitProcess();
        if (tav::moduleLoaded()) {
            EXPECT_EQ(tav::unloadModule(), 0);
        }
        mounts_.clear();
        disk_.reset();
        ModuleTest::TearDown();
    }

    // The disk, filled with a pattern that differs per sector, and tavfs on partition 1.
    void makeDisk(unsigned blockSize = 4096, std::uint64_t p1Sectors = kP1Sectors, unsigned writebackMs = 0) {
        tav::DiskConfig cfg;
        cfg.name = "tcw";
        cfg.major = kMajor;
        cfg.firstMinor = kFirstMinor;
        cfg.minors = 16;
        p1Sectors_ = p1Sectors;
        std::uint64_t p2 = kP1Start + p1Sectors;
        cfg.sectors = p2 + kP2Sectors + kP3Sectors + 64;
        cfg.partitions = {{kP1Start, p1Sectors, 1}, {p2, kP2Sectors, 2}, {p2 + kP2Sectors, kP3Sectors, 3}};
        cfg.queueLock = queueLock_;
        cfg.holdOpen = holdOpen_;
        int err = 0;
        disk_ = tav::Disk::create(cfg, &err);
        ASSERT_TRUE(disk_) << err;
        std::vector<std::uint32_t> words(cfg.sectors * 128);
        for (std::size_t i = 0; i < words.size(); i++) words[i] = static_cast<std::uint32_t>(i * 2654435761u) | 1;
        ASSERT_EQ(disk_->writeRaw(0, words.data(), words.size() * 4), 0);
        bs_ = blockSize;
        mountOn(1, blockSize, writebackMs);
    }
    tav::Mount* mountOn(int partno, unsigned blockSize, unsigned writebackMs = 0) {
        auto m = tav::Mount::create(disk_->bdev(partno), {blockSize, 64, writebackMs, freezeWrites_});
        EXPECT_TRUE(m);
        mounts_.push_back(std::move(m));
        return mounts_.back().get();
    }
    tav::Mount* mount1() { return mounts_.front().get(); }
    std::uint64_t partStart(int partno) const {
        return partno == 1 ? kP1Start : partno == 2 ? kP1Start + p1Sectors_ : kP1Start + p1Sectors_ + kP2Sectors;
    }
    unsigned fsBlocks() const { return static_cast<unsigned>(p1Sectors_ * 512 / bs_); }
    dev_t dev(int partno) const { return MKDEV(kMajor, kFirstMinor + partno); }
    request_queue_t* queue() const { return disk_->queue(); }
    make_request_fn* queueFn() const { return queue()->make_request_fn; }

    // ---- the agent's side ----
    int startBackup(int fd, unsigned totalBlocks = 0, unsigned maxCacheBlocks = 100000, int partno = 1) {
        StartBackup r{kMajor, kFirstMinor + static_cast<unsigned>(partno), totalBlocks ? totalBlocks : fsBlocks(),
                      maxCacheBlocks};
        return tav::sys::ioctl(fd, TAV_START_BACKUP, &r);
    }
    int snapShot(int fd, const AMSessionKey* key = nullptr, unsigned len = 0) {
        AMSessionKey zero{};
        SnapShot r{const_cast<AMSessionKey*>(key ? key : &zero), key ? len : 0};
        return tav::sys::ioctl(fd, TAV_SNAPSHOT, &r);
    }
    State getState(int fd) {
        State s{};
        GetState r{&s, sizeof s};
        EXPECT_EQ(tav::sys::ioctl(fd, TAV_GET_STATE, &r), 0);
        return s;
    }
    unsigned stateOf(int fd) { return getState(fd).state; }
    AutoMapState autoMapState(int fd) {
        AutoMapState a{};
        GetAutoMapState r{&a, sizeof a};
        EXPECT_EQ(tav::sys::ioctl(fd, TAV_GET_AUTOMAP_STATE, &r), 0);
        return a;
    }
    // GetAutoMap into bits (resized to the map's bytes); the command's result.
    int getAutoMap(int fd, unsigned mapLen, std::vector<std::uint8_t>* bits) {
        bits->assign((mapLen + 7) / 8, 0);
        UserBlockMap ubm{bits->data(), mapLen};
        GetAutoMap r{&ubm, sizeof ubm};
        return tav::sys::ioctl(fd, TAV_GET_AUTOMAP, &r);
    }
    int loadBlockMap(int fd, std::vector<std::uint8_t>& bits, unsigned mapLen) {
        UserBlockMap ubm{bits.data(), mapLen};
        LoadBlockMap r{&ubm, sizeof ubm};
        return tav::sys::ioctl(fd, TAV_LOAD_BLOCK_MAP, &r);
    }
    // Maps the whole transfer buffer of a started backup.
    unsigned char* mapArea(int fd) {
        size_t bytes = static_cast<size_t>(getState(fd).mmapSize);
        int err = 0;
        void* p = tav::sys::mmap(fd, bytes, PROT_READ, MAP_PRIVATE, 0, &err);
        EXPECT_NE(p, MAP_FAILED) << err;
        return p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
    }
    // ReadBlocks of [start, start + count) in full batches, copied out of the area.
    // between runs after each batch but the last.
    int readImage(int fd, unsigned char* area, unsigned start, unsigned count, std::vector<std::uint8_t>* out,
                  const std::function<void()>& between = {}) {
        unsigned perBatch = static_cast<unsigned>(getState(fd).mmapSize) / bs_;
        out->resize(std::size_t{count} * bs_);
        for (unsigned done = 0; done < count;) {
            unsigned n = std::min(perBatch, count - done);
            ReadBlocks r{start + done, n, area};
            int rc = tav::sys::ioctl(fd, TAV_READ_BLOCKS, &r);
            if (rc) return rc;
            memcpy(out->data() + std::size_t{done} * bs_, area, std::size_t{n} * bs_);
            done += n;
            if (between && done < count) between();
        }
        return 0;
    }

    // ---- the disk's side ----
    std::vector<std::uint8_t> raw(int partno, unsigned block, unsigned count = 1) {
        std::vector<std::uint8_t> v(std::size_t{count} * bs_);
        EXPECT_EQ(disk_->readRaw(partStart(partno) + std::uint64_t{block} * (bs_ / 512), v.data(), v.size()), 0);
        return v;
    }
    std::uint64_t sectorOf(int partno, unsigned block) const {
        return partStart(partno) + std::uint64_t{block} * (bs_ / 512);
    }
    // One bio of count blocks at block of partition partno through generic_make_request,
    // waited for; 0 or its error.
    int submit(int partno, unsigned block, unsigned count, std::uint8_t fill, int rw = WRITE) {
        tav::BioBatch batch(disk_->bdev(partno));
        std::vector<std::uint8_t> data(std::size_t{count} * bs_, fill);
        int rc = batch.add(rw, sector_t{block} * (bs_ / 512), data.data(), data.size());
        if (rc) return rc;
        batch.submit();
        return batch.wait();
    }
    std::vector<std::uint8_t> filled(std::uint8_t fill, unsigned count = 1) {
        return std::vector<std::uint8_t>(std::size_t{count} * bs_, fill);
    }

    template <class Pred>
    static bool eventually(Pred pred) {
        return tav::test::eventually(pred);
    }

    // A held write completes at the disk before the worker has marked its blocks and left
    // the record: wait for that.
    static bool settled(Backup* b) {
        return eventually([b] { return atomic_read(&b->mrInQueue) == 0; });
    }

    // The cache entries of a started backup's record.
    static int cachedBlocks(Backup* b) { return atomic_read(&b->curCBs); }
    // The worker's name as the host shows it.
    static std::string threadName(pid_t pid) {
        std::ifstream in("/proc/self/task/" + std::to_string(pid) + "/comm");
        std::string name;
        std::getline(in, name);
        return name;
    }

    std::unique_ptr<tav::Disk> disk_;
    std::vector<std::unique_ptr<tav::Mount>> mounts_;
    unsigned bs_ = 4096;
    std::uint64_t p1Sectors_ = kP1Sectors;
    bool queueLock_ = true;  // false: a bio-based disk, whose queue has no queue_lock
    bool holdOpen_ = true;   // false: only the mounts hold the partitions open (bound)
    // The file system's own writes at freeze and thaw (as ext3's); off where a test counts
    // the copies and cache entries that its writes make.
    bool freezeWrites_ = false;
};

}  // namespace tav::test
