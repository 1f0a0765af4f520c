// Page allocator over a memfd arena.
#include <sys/mman.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/fault.h"
#include "kernel/mm.h"
#include "kernel/mm_sync.h"
#include "kernel/printk.h"
#include "kernel/sched.h"

namespace tav::kernel {
char* pageArenaBase = nullptr;
}

namespace {

constexpr long kArenaPages = 4L << 20;  // 16 GiB of address space, backed on demand
constexpr long kChunkPages = 1L << 16;
constexpr long kChunks = kArenaPages / kChunkPages;

struct PageChunk {
    std::array<struct page, kChunkPages> pages;
};

struct Arena {
    int fd = -1;
    char* base = nullptr;
    std::mutex lock;
    long next = 0;                 // guarded by lock: pages never handed out start here
    std::vector<long> freeList;    // guarded by lock
    std::unique_ptr<PageChunk> chunks[kChunks];  // guarded by lock (grow only)
    std::atomic<long> limit{kArenaPages};

    Arena() {
        fd = memfd_create("tav-pages", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, kArenaPages * static_cast<long>(PAGE_SIZE)) != 0) {
            perror("tav page arena");
            abort();
        }
        void* p = mmap(nullptr, kArenaPages * PAGE_SIZE, PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_NORESERVE, fd, 0);
        if (p == MAP_FAILED) {
            perror("tav page arena mmap");
            abort();
        }
        base = static_cast<char*>(p);
        tav::kernel::pageArenaBase = base;
    }

    struct page* pageAt(long idx) { return &chunks[idx / kChunkPages]->pages[idx % kChunkPages]; }
};

Arena& arena() {
    static auto* a = new Arena;  // never destroyed: pages may outlive static destructors
    return *a;
}

long indexOf(const struct page* p) { return p->arenaIndex; }

void releasePage(struct page* p) {
    Arena& a = arena();
    long idx = indexOf(p);
    std::lock_guard g(a.lock);
    a.freeList.push_back(idx);
    tav::kernel::live().pages--;
}

}  // namespace

struct page* alloc_pages(gfp_t gfp, unsigned int order) {
    if (gfp & __GFP_WAIT) might_sleep();
    if (order != 0) return nullptr;
    if (tav::fault::shouldFail(tav::fault::Site::AllocPage)) return nullptr;
    Arena& a = arena();
    std::lock_guard g(a.lock);
    if (tav::kernel::live().pages.load() >= a.limit.load()) return nullptr;
    long idx;
    if (!a.freeList.empty()) {
        idx = a.freeList.back();
        a.freeList.pop_back();
    } else {
        if (a.next >= kArenaPages) return nullptr;
        idx = a.next++;
        auto& chunk = a.chunks[idx / kChunkPages];
        if (!chunk) {
            chunk = std::make_unique<PageChunk>();
            for (long i = 0; i < kChunkPages; i++) chunk->pages[i].arenaIndex = idx + i;
        }
    }
    struct page* p = a.pageAt(idx);
    atomic_set(&p->_count, 1);
    p->flags = 0;
    p->index = 0;
    p->privateData = nullptr;
    tav::kernel::live().pages++;
    return p;
}

unsigned long __get_free_pages(gfp_t gfp, unsigned int order) {
    struct page* p = alloc_pages(gfp, order);
    return p ? reinterpret_cast<unsigned long>(page_address(p)) : 0;
}

unsigned long get_zeroed_page(gfp_t gfp) {
    unsigned long addr = __get_free_page(gfp);
    if (addr) memset(reinterpret_cast<void*>(addr), 0, PAGE_SIZE);
    return addr;
}

void put_page(struct page* page) {
    int left = atomic_dec_return(&page->_count);
    if (left == 0) {
        releasePage(page);
    } else if (left < 0) {
        printk("<2>Bad page state: page %p freed with count %d\n", static_cast<void*>(page), left);
        BUG();
    }
}

void __free_pages(struct page* page, unsigned int) { put_page(page); }

void free_pages(unsigned long addr, unsigned int order) {
    if (addr) __free_pages(virt_to_page(reinterpret_cast<void*>(addr)), order);
}

namespace {
std::atomic<tav::kernel::PageSyncPoint> getPageSyncPoint{nullptr};
}  // namespace

void tav::kernel::setGetPageSyncPoint(PageSyncPoint fn) { getPageSyncPoint.store(fn); }

void get_page(struct page* page) {
    if (auto fn = getPageSyncPoint.load(std::memory_order_relaxed)) fn(page);
    atomic_inc(&page->_count);
}
int page_count(struct page* page) { return atomic_read(&page->_count); }

struct page* virt_to_page(const void* addr) {
    Arena& a = arena();
    long idx = (static_cast<const char*>(addr) - a.base) / static_cast<long>(PAGE_SIZE);
    if (idx < 0 || idx >= kArenaPages) return nullptr;
    std::lock_guard g(a.lock);
    return idx < a.next ? a.pageAt(idx) : nullptr;
}

void* kmap(struct page* page) {
    might_sleep();
    return page_address(page);
}
void kunmap(struct page*) {}
void* kmap_atomic(struct page* page, int) { return page_address(page); }
void kunmap_atomic(void*, int) {}

namespace tav::kernel {
int pageArenaFd() { return arena().fd; }
long pageArenaOffset(const struct page* page) { return indexOf(page) * static_cast<long>(PAGE_SIZE); }
void setPageLimit(long pages) { arena().limit.store(pages); }
long pageLimit() { return arena().limit.load(); }
bool inPageArena(unsigned long addr, unsigned long len) {
    auto base = reinterpret_cast<unsigned long>(pageArenaBase);
    if (!base) return false;
    unsigned long end = base + static_cast<unsigned long>(kArenaPages) * PAGE_SIZE;
    return addr < end && (len ? addr + len - 1 : addr) >= base;
}
}  // namespace tav::kernel
