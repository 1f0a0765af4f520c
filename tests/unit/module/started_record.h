// A started record of an open control-device file (record_start.h), for the block cache,
// transfer-buffer and reader tests. Teardown unmaps, releases the record in the close's
// order and closes it before the module goes and the leaks are checked.
#pragma once

#include <utility>
#include <vector>

#include "tests/support/module_fixture.h"
#include "tests/unit/module/record_start.h"

namespace tav::test {

class RecordTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        fd_ = openDevice();
        b_ = recordOf(fd_);
        ASSERT_NE(b_, nullptr);
    }
    void TearDown() override {
        for (auto& [addr, len] : maps_) tav::sys::munmap(addr, len);
        if (b_) releaseRecord(b_);
        tav::sys::exitProcess();
        releaseDevices();
        ModuleTest::TearDown();
    }
    // Disks and mounts go after the record and before the leak check.
    virtual void releaseDevices() {}

    // Geometry of a device that has no disk behind it (the cache needs none).
    void setGeometry(int blockSize, unsigned numBlocks) {
        b_->diskInfo.kdev = MKDEV(8, 1);
        b_->diskInfo.blockSize = blockSize;
        b_->diskInfo.blocksPerPage = 4096 / blockSize;
        b_->diskInfo.sectorsPerBlock = blockSize / 512;
        b_->diskInfo.numBlocks = numBlocks;
    }
    // Loads a block map (BACKUP_MAP_LOADED) with the given blocks set.
    void loadMap(unsigned size, std::initializer_list<unsigned> blocks) {
        unsigned pages = 0;
        ASSERT_EQ(newBlockMap(&b_->blockMap, size, nullptr, 1, &pages), 0);
        atomic_add(static_cast<int>(pages), &b_->curAllocPages);
        for (unsigned n : blocks) setBlock(&b_->blockMap, n);
        setBackupState(b_, BACKUP_MAP_LOADED);
    }
    // Stores a block filled with fill, as the worker does after its copy read.
    int save(unsigned blockNum, unsigned char fill, bool markCached = true) {
        std::vector<char> data(static_cast<size_t>(b_->diskInfo.blockSize), static_cast<char>(fill));
        down_read(&b_->cacheUsers);
        int rc = saveBlock(b_, data.data(), blockNum);
        up_read(&b_->cacheUsers);
        if (rc == 0 && markCached) setBlock(&b_->cacheMap, blockNum);
        return rc;
    }
    void* map(size_t pages, int prot = PROT_READ, int flags = MAP_PRIVATE, off_t offset = 0, int* error = nullptr) {
        void* p = tav::sys::mmap(fd_, pages * PAGE_SIZE, prot, flags, offset, error);
        if (p != MAP_FAILED) maps_.push_back({p, pages * PAGE_SIZE});
        return p;
    }
    int unmap(void* p) {
        auto it = std::find_if(maps_.begin(), maps_.end(), [p](auto& m) { return m.first == p; });
        size_t len = it->second;
        maps_.erase(it);
        return tav::sys::munmap(p, len);
    }
    int readBlocksIoctl(unsigned start, unsigned count, void* data) {
        ReadBlocks r{start, count, data};
        return tav::sys::ioctl(fd_, TAV_READ_BLOCKS, &r);
    }
    unsigned char* pageOf(int slot, int index) {
        return static_cast<unsigned char*>(page_address(b_->vmAreas[slot].mmPages[index]));
    }

    int fd_ = -1;
    Backup* b_ = nullptr;
    std::vector<std::pair<void*, size_t>> maps_;
};

}  // namespace tav::test
