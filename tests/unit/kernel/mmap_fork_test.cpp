// fork of a device mapping: the copy's VMA gets vm_ops->open, shares what the parent
// had mapped, and faults the rest through nopage with its own VMA.
#include "tests/unit/kernel/vfs_test_driver.h"

namespace {

using tav::test::patternWord;
using tav::test::TestDriver;
namespace sys = tav::sys;

constexpr unsigned kMajor = 244;
constexpr unsigned kWords = PAGE_SIZE / sizeof(u32);

class MmapForkTest : public tav::test::DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        drv_ = std::make_unique<TestDriver>(kMajor, "tfork");
        fd_ = sys::open("/dev/tfork", O_RDONLY);
        ASSERT_GE(fd_, 0);
        parent_ = static_cast<const u32*>(sys::mmap(fd_, 4 * PAGE_SIZE, PROT_READ, MAP_PRIVATE, 0));
        ASSERT_NE(parent_, MAP_FAILED);
        parentVma_ = vmaAt(parent_);
    }
    void TearDown() override {
        drv_.reset();
        DriverTest::TearDown();
    }
    static struct vm_area_struct* vmaAt(const void* p) {
        return find_vma(tav::kernel::processMm(), reinterpret_cast<unsigned long>(p));
    }
    std::unique_ptr<TestDriver> drv_;
    int fd_ = -1;
    const u32* parent_ = nullptr;
    struct vm_area_struct* parentVma_ = nullptr;
};

TEST_F(MmapForkTest, TheCopyIsOpenedAndFaultsThroughItsOwnVma) {
    int err = 0, here = 0;
    EXPECT_EQ(sys::forkMapping(&here, &err), MAP_FAILED);
    EXPECT_EQ(err, -EFAULT);
    parentVma_->vm_flags |= VM_DONTCOPY;
    EXPECT_EQ(sys::forkMapping(const_cast<u32*>(parent_), &err), MAP_FAILED);
    EXPECT_EQ(err, -EINVAL);
    parentVma_->vm_flags &= ~VM_DONTCOPY;
    EXPECT_EQ(drv_->count("vmopen"), 0) << "a refused fork opens nothing";
    ASSERT_EQ(sys::touch(parent_), 0);  // page 0 present before the fork, page 1 not
    auto* child = static_cast<const u32*>(sys::forkMapping(const_cast<u32*>(parent_ + kWords), &err));
    ASSERT_NE(child, MAP_FAILED);
    EXPECT_EQ(err, 0);
    child -= kWords;  // the copy's address of parent_ + one page was returned
    struct vm_area_struct* copy = vmaAt(child);
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy, parentVma_);
    EXPECT_EQ(copy->vm_start, reinterpret_cast<unsigned long>(child));
    EXPECT_EQ(copy->vm_end - copy->vm_start, 4 * PAGE_SIZE);
    EXPECT_EQ(copy->vm_flags, parentVma_->vm_flags);
    EXPECT_EQ(copy->vm_pgoff, parentVma_->vm_pgoff);
    EXPECT_EQ(copy->vm_file, parentVma_->vm_file);
    EXPECT_EQ(copy->vm_private_data, parentVma_->vm_private_data);
    {
        std::lock_guard g(drv_->lock);
        EXPECT_EQ(drv_->vmOpened, std::vector<struct vm_area_struct*>{copy});
    }
    EXPECT_EQ(drv_->count("mmap"), 1) << "fork does not call the driver's mmap";

    auto* area = TestDriver::areaOf(const_cast<u32*>(parent_));
    EXPECT_EQ(page_count(area->pages[0]), 3) << "the page present at fork is in both";
    int faults = drv_->nopages;
    EXPECT_EQ(child[1], patternWord(0, 1));
    EXPECT_EQ(drv_->nopages, faults) << "already present in the copy";
    EXPECT_EQ(child[kWords + 2], patternWord(1, 2));
    EXPECT_EQ(drv_->nopages, faults + 1);
    {
        std::lock_guard g(drv_->lock);
        EXPECT_EQ(drv_->nopageVmas.back(), copy);
    }

    // The copy holds the file: closing the descriptor and the parent's mapping leaves
    // the file open until the copy goes too.
    sys::close(fd_);
    EXPECT_EQ(sys::munmap(const_cast<u32*>(parent_), 4 * PAGE_SIZE), 0);
    EXPECT_EQ(drv_->count("release"), 0);
    EXPECT_EQ(sys::munmap(const_cast<u32*>(child), 4 * PAGE_SIZE), 0);
    EXPECT_EQ(drv_->count("release"), 1);
    std::lock_guard g(drv_->lock);
    EXPECT_EQ(drv_->vmClosed, (std::vector<struct vm_area_struct*>{parentVma_, copy}));
}

TEST_F(MmapForkTest, ACopyOutlivesTheOriginalsPagesThroughItsReferences) {
    ASSERT_EQ(sys::touch(parent_ + 2 * kWords), 0);
    auto* child = static_cast<const u32*>(sys::forkMapping(const_cast<u32*>(parent_)));
    ASSERT_NE(child, MAP_FAILED);
    auto* area = TestDriver::areaOf(const_cast<u32*>(parent_));
    struct page* shared = area->pages[2];
    EXPECT_EQ(sys::munmap(const_cast<u32*>(parent_), 4 * PAGE_SIZE), 0);
    EXPECT_EQ(page_count(shared), 1) << "the driver freed its pages; the copy's reference is left";
    EXPECT_EQ(child[2 * kWords + 3], patternWord(2, 3)) << "still readable in the copy";
    EXPECT_EQ(sys::munmap(const_cast<u32*>(child), 4 * PAGE_SIZE), 0);
}

}  // namespace
