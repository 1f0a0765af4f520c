// Page allocator. Pages are real memory in one memfd-backed arena, so a page can be
// mapped into a process (this one or another) at its arena offset without a copy.
#pragma once

#include "kernel/atomic.h"
#include "kernel/types.h"

constexpr gfp_t __GFP_DMA = 0x01;
constexpr gfp_t __GFP_HIGHMEM = 0x02;
constexpr gfp_t __GFP_WAIT = 0x10;
constexpr gfp_t __GFP_HIGH = 0x20;
constexpr gfp_t __GFP_IO = 0x40;
constexpr gfp_t __GFP_FS = 0x80;
constexpr gfp_t GFP_ATOMIC = __GFP_HIGH;
constexpr gfp_t GFP_NOIO = __GFP_WAIT;
constexpr gfp_t GFP_NOFS = __GFP_WAIT | __GFP_IO;
constexpr gfp_t GFP_KERNEL = __GFP_WAIT | __GFP_IO | __GFP_FS;
constexpr gfp_t GFP_USER = __GFP_WAIT | __GFP_IO | __GFP_FS;
constexpr gfp_t GFP_HIGHUSER = __GFP_WAIT | __GFP_IO | __GFP_FS | __GFP_HIGHMEM;

struct page {
    atomic_t _count;        // references; the page returns to the allocator at 0
    unsigned long flags = 0;
    unsigned long index = 0;  // free for the owner's use
    void* privateData = nullptr;
    long arenaIndex = -1;     // platform-private: position in the page arena
};

// Order-0 only; order > 0 allocates nothing and returns null.
struct page* alloc_pages(gfp_t gfp, unsigned int order);
inline struct page* alloc_page(gfp_t gfp) { return alloc_pages(gfp, 0); }
unsigned long __get_free_pages(gfp_t gfp, unsigned int order);
inline unsigned long __get_free_page(gfp_t gfp) { return __get_free_pages(gfp, 0); }
unsigned long get_zeroed_page(gfp_t gfp);
void __free_pages(struct page* page, unsigned int order);
inline void __free_page(struct page* page) { __free_pages(page, 0); }
void free_pages(unsigned long addr, unsigned int order);
inline void free_page(unsigned long addr) { free_pages(addr, 0); }
void get_page(struct page* page);
void put_page(struct page* page);
int page_count(struct page* page);

namespace tav::kernel {
// Where the page arena is mapped; set before the first page is handed out, never changed.
extern char* pageArenaBase;
}  // namespace tav::kernel
inline void* page_address(struct page* page) {
    return tav::kernel::pageArenaBase + page->arenaIndex * static_cast<long>(PAGE_SIZE);
}
struct page* virt_to_page(const void* addr);
void* kmap(struct page* page);  // may sleep
void kunmap(struct page* page);
void* kmap_atomic(struct page* page, int type);
void kunmap_atomic(void* addr, int type);

namespace tav::kernel {
// The arena's memfd and a page's byte offset in it, for mapping pages into a process.
int pageArenaFd();
long pageArenaOffset(const struct page* page);
// Upper bound on live pages (simulated memory size); alloc_pages fails beyond it.
void setPageLimit(long pages);
long pageLimit();
// True when [addr, addr + len) touches the page arena: kernel memory, never a user address.
bool inPageArena(unsigned long addr, unsigned long len);
}  // namespace tav::kernel
