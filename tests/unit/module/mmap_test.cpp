// The transfer buffer: which mappings are accepted, the two slots, pages served in place,
// fork copies and split pieces, and page allocation failures.
#include <sched.h>

#include <atomic>
#include <functional>
#include <thread>

#include "kernel/mm_sync.h"
#include "tests/unit/module/started_record.h"

namespace {

using tav::kernel::logContains;

// What the get_page sync point does once, when the reference of target is about to be taken.
struct PageRace {
    struct page* target = nullptr;
    std::function<void()> atReference;
};
PageRace* pageRace = nullptr;

void onGetPage(struct page* p) {
    if (!pageRace || p != pageRace->target || !pageRace->atReference) return;
    auto fn = std::move(pageRace->atReference);
    pageRace->atReference = nullptr;
    fn();
}

class MmapTest : public tav::test::RecordTest {
protected:
    void start() {
        setGeometry(1024, 30000);  // 64 pages per area
        ASSERT_EQ(tav::test::startRecord(b_, 10), 0);
        pagesAfterStart_ = tav::kernel::live().pages.load();
    }
    // Marks page index of slot with its own byte, through the module's address.
    void mark(int slot, int index, unsigned char v) { memset(pageOf(slot, index), v, PAGE_SIZE); }
    long pagesAfterStart_ = 0;
};

TEST_F(MmapTest, RefusedMappingsLeaveNothingBehind) {
    int err = 0;
    tav::kernel::clearLog();  // the load banner
    setGeometry(1024, 30000);
    EXPECT_EQ(map(1, PROT_READ, MAP_PRIVATE, 0, &err), MAP_FAILED) << "before StartBackup";
    EXPECT_EQ(err, -EINVAL);
    start();
    struct {
        size_t pages;
        int prot, flags;
        off_t offset;
    } refused[] = {{1, PROT_READ, MAP_SHARED, 0},
                   {1, PROT_READ | PROT_WRITE, MAP_PRIVATE, 0},
                   {1, PROT_READ, MAP_PRIVATE, 4096},
                   {65, PROT_READ, MAP_PRIVATE, 0}};
    for (auto& r : refused) {
        err = 0;
        EXPECT_EQ(map(r.pages, r.prot, r.flags, r.offset, &err), MAP_FAILED);
        EXPECT_EQ(err, -EINVAL);
    }
    // A record refused by a busy module passes the state test but has no area size.
    setBackupState(b_, BACKUP_REFUSED_BUSY);
    b_->maxVMPages = 0;
    EXPECT_EQ(map(1), MAP_FAILED);
    EXPECT_EQ(tav::sys::mappings(), 0);
    EXPECT_EQ(tav::kernel::live().pages.load(), pagesAfterStart_);
    EXPECT_EQ(atomic_read(&b_->totalAllocPages), 1) << "the cache map's page only";
    EXPECT_TRUE(tav::kernel::logLines().empty());
}

TEST_F(MmapTest, TwoSlotsOfAtMostMaxVMPagesAndAFreedSlotIsReused) {
    start();
    void* a = map(64);
    void* c = map(3);
    ASSERT_NE(a, MAP_FAILED);
    ASSERT_NE(c, MAP_FAILED);
    EXPECT_EQ(map(1), MAP_FAILED) << "both slots in use";
    EXPECT_EQ(getVMAPageCount(b_), 67);
    EXPECT_EQ(atomic_read(&b_->curAllocPages), 1 + 67);
    State st{};
    GetState gs{&st, sizeof st};
    ASSERT_EQ(tav::sys::ioctl(fd_, TAV_GET_STATE, &gs), 0);
    EXPECT_EQ(st.mmapSize, 64 * 4096);

    ASSERT_EQ(unmap(a), 0);
    EXPECT_EQ(b_->vmAreas[0].vma, nullptr);
    EXPECT_EQ(getVMAPageCount(b_), 3);
    EXPECT_EQ(tav::kernel::live().pages.load(), pagesAfterStart_ + 3);
    void* d = map(5);
    ASSERT_NE(d, MAP_FAILED);
    EXPECT_EQ(b_->vmAreas[0].vma->vm_start, reinterpret_cast<unsigned long>(d));
    EXPECT_EQ(b_->vmAreas[0].vmPages, 5);
    EXPECT_EQ(atomic_read(&b_->totalAllocPages), 1 + 64 + 3 + 5);
}

TEST_F(MmapTest, TheAgentReadsTheModulesPagesInPlaceAndCannotWriteThem) {
    start();
    struct page* used[3];
    for (struct page*& pg : used) memset(page_address(pg = alloc_page(GFP_KERNEL)), 0xff, PAGE_SIZE);
    for (struct page* pg : used) __free_pages(pg, 0);  // the allocator hands these out again, dirty
    auto* p = static_cast<volatile unsigned char*>(map(3));
    ASSERT_NE(p, MAP_FAILED);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(tav::sys::touch(const_cast<unsigned char*>(p) + i * PAGE_SIZE), 0);
        EXPECT_EQ(p[i * PAGE_SIZE + 17], 0) << "pages are cleared before they can be mapped";
    }
    pageOf(0, 2)[17] = 0x3c;  // after the fault: the same page, no copy
    EXPECT_EQ(p[2 * PAGE_SIZE + 17], 0x3c);
    EXPECT_EQ(tav::sys::touch(const_cast<unsigned char*>(p), true), -EFAULT);
}

TEST_F(MmapTest, ForkCopiesAreServedFromSlotZeroWhileItIsMapped) {
    start();
    void* small = map(2);
    auto* large = static_cast<unsigned char*>(map(4));
    ASSERT_NE(large, MAP_FAILED);
    mark(0, 1, 0x01);
    mark(1, 1, 0x11);
    auto* copy = static_cast<unsigned char*>(tav::sys::forkMapping(large));
    ASSERT_NE(copy, MAP_FAILED);
    EXPECT_EQ(tav::sys::touch(copy + PAGE_SIZE), 0);
    EXPECT_EQ(copy[PAGE_SIZE], 0x01) << "the copy of slot 1 is served from slot 0";
    EXPECT_EQ(tav::sys::touch(copy + 3 * PAGE_SIZE), tav::sys::kBusError);
    EXPECT_TRUE(logContains("<4>tavVMnopage: Bad vm address"));

    ASSERT_EQ(unmap(small), 0);
    auto* copy2 = static_cast<unsigned char*>(tav::sys::forkMapping(large));
    ASSERT_NE(copy2, MAP_FAILED);
    EXPECT_EQ(tav::sys::touch(copy2 + PAGE_SIZE), tav::sys::kBusError);
    EXPECT_TRUE(logContains("<3>tavVMnopage: vma is not found in associated backup"));
    EXPECT_EQ(tav::sys::touch(large + PAGE_SIZE), 0);
    EXPECT_EQ(large[PAGE_SIZE], 0x11);
    tav::sys::munmap(copy, 4 * PAGE_SIZE);
    tav::sys::munmap(copy2, 4 * PAGE_SIZE);
    EXPECT_EQ(b_->vmAreas[1].vma->vm_start, reinterpret_cast<unsigned long>(large)) << "copies are not registered";
}

TEST_F(MmapTest, APieceLeftByAPartialUnmapSeesItsOwnPagesAndIsNoTransferBuffer) {
    start();
    auto* p = static_cast<unsigned char*>(map(4));
    ASSERT_NE(p, MAP_FAILED);
    for (int i = 0; i < 4; i++) mark(0, i, static_cast<unsigned char>(0x40 + i));
    ASSERT_EQ(tav::sys::munmap(p, PAGE_SIZE), 0);
    EXPECT_EQ(tav::sys::touch(p + PAGE_SIZE), 0);
    EXPECT_EQ(p[PAGE_SIZE], 0x41);
    EXPECT_EQ(p[3 * PAGE_SIZE], 0x43);

    setBackupState(b_, BACKUP_SNAPSHOT_DONE);
    EXPECT_EQ(readBlocksIoctl(0, 4, p + PAGE_SIZE), TAV_ERR_INVALID);
    EXPECT_TRUE(logContains("<3>ioctlReadBlocks: invalid data pointer"));
    maps_.clear();
    tav::sys::munmap(p + PAGE_SIZE, 3 * PAGE_SIZE);
    EXPECT_EQ(b_->vmAreas[0].vma, nullptr);
}

TEST_F(MmapTest, PageShortageFailsTheMappingAndFreesWhatItGot) {
    start();
    for (int nth : {1, 3}) {
        SCOPED_TRACE(nth);
        tav::fault::add(tav::fault::failNth(tav::fault::Site::AllocPage, static_cast<std::uint64_t>(nth)));
        int err = 0;
        EXPECT_EQ(map(4, PROT_READ, MAP_PRIVATE, 0, &err), MAP_FAILED);
        EXPECT_EQ(err, -ENOMEM);
        EXPECT_EQ(tav::fault::fired(tav::fault::Site::AllocPage), 1);
        tav::fault::clear();
        EXPECT_EQ(b_->vmAreas[0].vma, nullptr);
        EXPECT_EQ(b_->vmAreas[0].vmPages, 0);
        EXPECT_EQ(atomic_read(&b_->curAllocPages), 1);
        EXPECT_EQ(tav::kernel::live().pages.load(), pagesAfterStart_);
        EXPECT_EQ(tav::sys::mappings(), 0);
    }
    EXPECT_NE(map(4), MAP_FAILED) << "the slot is still free";
}

TEST_F(MmapTest, AForkCopysFaultKeepsItsPageThroughAnUnmapInTheParent) {
    start();
    ASSERT_NE(map(2), MAP_FAILED);
    struct vm_area_struct* original = b_->vmAreas[0].vma;
    // The child's copy: the same file in an address space of its own, so the parent's
    // unmap does not wait for the child's mmap lock.
    struct mm_struct childMm;
    struct vm_area_struct copy = *original;
    copy.vm_mm = &childMm;
    struct page* target = b_->vmAreas[0].mmPages[1];
    std::atomic<bool> unmapped{false};
    std::thread unmapper;
    PageRace race{target, [&] {
        unmapper = std::thread([&] {
            tavVMclose(original);
            unmapped = true;
        });
        // The unmap either finishes or waits for the fault to be done with the slot.
        while (!unmapped && semaphoreWaiters(&b_->vmSem) == 0) sched_yield();
    }};
    pageRace = &race;
    tav::kernel::setGetPageSyncPoint(onGetPage);
    struct page* got = tavVMnopage(&copy, copy.vm_start + PAGE_SIZE, nullptr);
    tav::kernel::setGetPageSyncPoint(nullptr);
    pageRace = nullptr;
    unmapper.join();
    ASSERT_EQ(got, target);
    EXPECT_EQ(b_->vmAreas[0].vma, nullptr);
    ASSERT_EQ(tav::kernel::live().pages.load(), pagesAfterStart_ + 1) << "the page went while the copy referenced it";
    EXPECT_EQ(page_count(got), 1);
    put_page(got);
    EXPECT_EQ(tav::kernel::live().pages.load(), pagesAfterStart_);
}

}  // namespace
