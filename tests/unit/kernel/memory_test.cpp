// Pages, kmalloc, vmalloc and slab caches: references, limits, the registry, leak counts.
#include <sys/mman.h>

#include <thread>
#include <vector>

#include "kernel/mm.h"
#include "kernel/slab.h"
#include "kernel/vmalloc.h"
#include "tests/support/checks.h"

namespace {

class MemoryTest : public tav::test::PlatformTest {};

TEST_F(MemoryTest, PageLivesUntilItsLastReference) {
    struct page* p = alloc_page(GFP_KERNEL);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(tav::kernel::live().pages.load(), before_.pages + 1);
    get_page(p);
    __free_pages(p, 0);
    EXPECT_EQ(page_count(p), 1);
    EXPECT_EQ(tav::kernel::live().pages.load(), before_.pages + 1) << "freed with a reference held";
    memset(kmap(p), 0xab, PAGE_SIZE);
    kunmap(p);
    EXPECT_EQ(virt_to_page(page_address(p)), p);
    put_page(p);
    EXPECT_EQ(tav::kernel::live().pages.load(), before_.pages);
    EXPECT_EQ(alloc_pages(GFP_KERNEL, 1), nullptr) << "only single pages are supported";
}

TEST_F(MemoryTest, PagesAreMemoryThatAnotherMappingSeesInPlace) {
    struct page* p = alloc_page(GFP_HIGHUSER);
    ASSERT_NE(p, nullptr);
    void* view = mmap(nullptr, PAGE_SIZE, PROT_READ, MAP_SHARED, tav::kernel::pageArenaFd(),
                      tav::kernel::pageArenaOffset(p));
    ASSERT_NE(view, MAP_FAILED);
    static_cast<char*>(page_address(p))[100] = 'x';
    EXPECT_EQ(static_cast<char*>(view)[100], 'x');
    munmap(view, PAGE_SIZE);
    __free_page(p);
}

TEST_F(MemoryTest, PageLimitAndInjectedFailures) {
    long limit = tav::kernel::pageLimit();
    tav::kernel::setPageLimit(before_.pages + 2);
    struct page* a = alloc_page(GFP_KERNEL);
    struct page* b = alloc_page(GFP_KERNEL);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(alloc_page(GFP_KERNEL), nullptr) << "allocated past the memory size";
    __free_page(a);
    __free_page(b);
    tav::kernel::setPageLimit(limit);

    tav::fault::add(tav::fault::failNth(tav::fault::Site::AllocPage, 2));
    struct page* first = alloc_page(GFP_NOIO);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(alloc_page(GFP_NOIO), nullptr);
    struct page* third = alloc_page(GFP_NOIO);
    EXPECT_NE(third, nullptr) << "a fail-the-nth rule failed more than once";
    EXPECT_EQ(tav::fault::fired(tav::fault::Site::AllocPage), 1);
    __free_page(first);
    __free_page(third);
}

TEST_F(MemoryTest, KmallocRefusesWhatTheKernelWouldAndCountsBlocks) {
    void* p = kmalloc(100, GFP_KERNEL);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(tav::kernel::live().kmallocBlocks.load(), before_.kmallocBlocks + 1);
    EXPECT_EQ(kmalloc(128 * 1024 + 1, GFP_KERNEL), nullptr) << "kmalloc has no block above 128 KiB";
    kfree(p);
    kfree(nullptr);
    void* big = vmalloc(1 << 20);
    ASSERT_NE(big, nullptr);
    memset(big, 1, 1 << 20);
    EXPECT_EQ(vmalloc(0), nullptr);
    vfree(big);

    tav::fault::add(tav::fault::failAllFromNow(tav::fault::Site::Vmalloc));
    EXPECT_EQ(vmalloc(64), nullptr);
    EXPECT_EQ(vmalloc(64), nullptr);
    EXPECT_EQ(tav::fault::fired(tav::fault::Site::Vmalloc), 2);
}

// Each thread counts in slots of its own: what a thread counted must outlive it, and a
// block freed by another thread must cancel it.
TEST_F(MemoryTest, BlocksCountedByAnExitedThreadAreFreedElsewhere) {
    std::vector<void*> blocks;
    std::thread([&] {
        for (size_t size : {1, 32, 33, 100, 224, 480, 481, 4096, 100000})
            for (int i = 0; i < 200; i++) {  // beyond one magazine of each size
                void* p = kmalloc(size, GFP_KERNEL);
                ASSERT_NE(p, nullptr);
                memset(p, 0x5a, size);
                blocks.push_back(p);
            }
    }).join();
    ASSERT_EQ(blocks.size(), 1800u);
    EXPECT_EQ(tav::kernel::live().kmallocBlocks.load(), before_.kmallocBlocks + 1800);
    for (void* p : blocks) kfree(p);
    EXPECT_EQ(tav::kernel::live().kmallocBlocks.load(), before_.kmallocBlocks);
    void* again = kmalloc(100, GFP_KERNEL);
    ASSERT_NE(again, nullptr);
    memset(again, 0, 100);
    kfree(again);
}

TEST_F(MemoryTest, DoubleKfreeIsCaught) {
    EXPECT_DEATH(
        {
            void* p = kmalloc(8, GFP_KERNEL);
            kfree(p);
            kfree(p);
        },
        "");
}

TEST_F(MemoryTest, SlabRegistryTracksCachesAndObjects) {
    const char* name = "tavHT7801";
    kmem_cache_t* c = kmem_cache_create(name, 48, 0, SLAB_HWCACHE_ALIGN, nullptr, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_DEATH(
        {
            tav::kernel::logToStderr();
            kmem_cache_create(name, 48, 0, 0, nullptr, nullptr);
        },
        "duplicate cache tavHT7801(.|\n)*kernel BUG");
    void* a = kmem_cache_alloc(c, GFP_NOIO);
    void* b = kmem_cache_alloc(c, GFP_NOIO);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(tav::kernel::slabObjects("tavHT7801"), 2);
    bool listed = false;
    for (auto& s : tav::kernel::slabInfo()) listed |= s.name == "tavHT7801" && s.objectSize == 48;
    EXPECT_TRUE(listed);
    EXPECT_EQ(kmem_cache_destroy(c), 1) << "destroyed with live objects";
    EXPECT_TRUE(tav::kernel::logContains("Can't free all objects"));
    kmem_cache_free(c, a);
    kmem_cache_free(c, b);
    EXPECT_EQ(kmem_cache_destroy(c), 0);
    EXPECT_EQ(tav::kernel::slabObjects("tavHT7801"), -1);
}

TEST_F(MemoryTest, SlabFaultsMatchTheCacheName) {
    kmem_cache_t* ht = kmem_cache_create("tavHT0801", 16, 0, 0, nullptr, nullptr);
    kmem_cache_t* cp = kmem_cache_create("tavCP0801", 16, 0, 0, nullptr, nullptr);
    tav::fault::Rule r = tav::fault::failAllFromNow(tav::fault::Site::SlabAlloc);
    r.name = "tavCP";
    tav::fault::add(r);
    void* ok = kmem_cache_alloc(ht, GFP_NOIO);
    EXPECT_NE(ok, nullptr);
    EXPECT_EQ(kmem_cache_alloc(cp, GFP_NOIO), nullptr);
    kmem_cache_free(ht, ok);
    kmem_cache_destroy(ht);
    kmem_cache_destroy(cp);
    tav::fault::clear();
    tav::fault::add(tav::fault::failNth(tav::fault::Site::SlabCreate, 1));
    EXPECT_EQ(kmem_cache_create("tavDC0801", 16, 0, 0, nullptr, nullptr), nullptr);
}

}  // namespace
