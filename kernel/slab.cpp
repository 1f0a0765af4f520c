// kmalloc, vmalloc and slab caches. Every block carries a header so that a free of a
// foreign or already freed pointer is caught instead of corrupting the heap.
#include <sys/uio.h>
#include <unistd.h>

#include <cstdlib>
#include <list>
#include <mutex>

#include "kernel/accounting.h"
#include "kernel/fault.h"
#include "kernel/object_cache.h"
#include "kernel/printk.h"
#include "kernel/sched.h"
#include "kernel/slab.h"
#include "kernel/vmalloc.h"

namespace {

constexpr u64 kKmallocMagic = 0x6b6d616c6c6f6321ULL;
constexpr u64 kVmallocMagic = 0x766d616c6c6f6321ULL;
constexpr u64 kSlabMagic = 0x736c61626f626a21ULL;
constexpr u64 kFreedMagic = 0x6672656564626c6bULL;
constexpr size_t kKmallocMax = 128 * 1024;  // the largest general cache of the era

struct alignas(16) Header {
    u64 magic;
    size_t size;
    kmem_cache_s* cache;
    u64 sizeClass;  // kmalloc: which of the small-block caches it came from, or kHeap
};

// Small kmalloc blocks (header included) come from per-thread magazines, as the kernel's
// general caches hand them out per CPU: the read path allocates one per block.
constexpr u64 kHeap = ~0ULL;
tav::kernel::ObjectCache<64> kmalloc64;
tav::kernel::ObjectCache<128> kmalloc128;
tav::kernel::ObjectCache<256> kmalloc256;
tav::kernel::ObjectCache<512> kmalloc512;

u64 sizeClassOf(size_t total) {
    if (total <= 64) return 0;
    if (total <= 128) return 1;
    if (total <= 256) return 2;
    if (total <= 512) return 3;
    return kHeap;
}

void* getBlock(u64 sizeClass, size_t total) {
    switch (sizeClass) {
        case 0: return kmalloc64.get();
        case 1: return kmalloc128.get();
        case 2: return kmalloc256.get();
        case 3: return kmalloc512.get();
        default: return std::malloc(total);
    }
}

void putBlock(u64 sizeClass, void* block) {
    switch (sizeClass) {
        case 0: return kmalloc64.put(block);
        case 1: return kmalloc128.put(block);
        case 2: return kmalloc256.put(block);
        case 3: return kmalloc512.put(block);
        default: return std::free(block);
    }
}

void* allocWithHeader(size_t size, u64 magic, kmem_cache_s* cache, u64 sizeClass = kHeap) {
    auto* h = static_cast<Header*>(getBlock(sizeClass, sizeof(Header) + size));
    if (!h) return nullptr;
    h->magic = magic;
    h->size = size;
    h->cache = cache;
    h->sizeClass = sizeClass;
    return h + 1;
}

Header* headerOf(const void* p, u64 magic, const char* who) {
    auto* h = static_cast<Header*>(const_cast<void*>(p)) - 1;
    if (h->magic != magic) {
        printk("<2>%s: bad pointer %p (%s)\n", who, p,
               h->magic == kFreedMagic ? "already freed" : "not from this allocator");
        BUG();
    }
    return h;
}

void freeWithHeader(Header* h) {
    h->magic = kFreedMagic;
    putBlock(h->sizeClass, h);
}

}  // namespace

void* kmalloc(size_t size, gfp_t flags) {
    if (flags & __GFP_WAIT) might_sleep();
    if (size > kKmallocMax) return nullptr;
    if (tav::fault::shouldFail(tav::fault::Site::Kmalloc)) return nullptr;
    void* p = allocWithHeader(size, kKmallocMagic, nullptr, sizeClassOf(sizeof(Header) + size));
    if (p) tav::kernel::live().kmallocBlocks++;
    return p;
}

void kfree(const void* p) {
    if (!p) return;
    freeWithHeader(headerOf(p, kKmallocMagic, "kfree"));
    tav::kernel::live().kmallocBlocks--;
}

void* vmalloc(unsigned long size) {
    might_sleep();
    if (size == 0) return nullptr;
    if (tav::fault::shouldFail(tav::fault::Site::Vmalloc)) return nullptr;
    void* p = allocWithHeader(size, kVmallocMagic, nullptr);
    if (p) tav::kernel::live().vmallocBlocks++;
    return p;
}

void vfree(void* addr) {
    if (!addr) return;
    freeWithHeader(headerOf(addr, kVmallocMagic, "vfree"));
    tav::kernel::live().vmallocBlocks--;
}

// ---- slab caches ----

struct kmem_cache_s {
    const char* name;  // the caller's string, kept by pointer as the kernel does
    size_t size;
    unsigned long flags;
    void (*ctor)(void*, kmem_cache_t*, unsigned long);
    void (*dtor)(void*, kmem_cache_t*, unsigned long);
    std::atomic<long> active{0};
};

namespace {
std::mutex cacheChainLock;
std::list<kmem_cache_s*>& cacheChain() {
    static auto* l = new std::list<kmem_cache_s*>;
    return *l;
}
}  // namespace

kmem_cache_t* kmem_cache_create(const char* name, size_t size, size_t, unsigned long flags,
                                void (*ctor)(void*, kmem_cache_t*, unsigned long),
                                void (*dtor)(void*, kmem_cache_t*, unsigned long)) {
    might_sleep();
    if (!name || !*name || size == 0) return nullptr;
    if (tav::fault::shouldFail(tav::fault::Site::SlabCreate, name)) return nullptr;
    std::lock_guard g(cacheChainLock);
    for (kmem_cache_s* c : cacheChain()) {
        // Two caches of one name would be indistinguishable in slabinfo: 2.6.9 stops here.
        if (strcmp(c->name, name) == 0) {
            printk("kmem_cache_create: duplicate cache %s\n", name);
            BUG();
        }
    }
    auto* c = new kmem_cache_s{name, size, flags, ctor, dtor};
    cacheChain().push_back(c);
    tav::kernel::live().slabCaches++;
    return c;
}

int kmem_cache_destroy(kmem_cache_t* cachep) {
    might_sleep();
    if (!cachep) return 1;
    std::lock_guard g(cacheChainLock);
    if (cachep->active.load() != 0) {
        printk("<3>slab error in kmem_cache_destroy(): cache `%s': Can't free all objects\n",
               cachep->name);
        return 1;
    }
    cacheChain().remove(cachep);
    delete cachep;
    tav::kernel::live().slabCaches--;
    return 0;
}

void* kmem_cache_alloc(kmem_cache_t* cachep, gfp_t flags) {
    if (flags & __GFP_WAIT) might_sleep();
    if (tav::fault::shouldFail(tav::fault::Site::SlabAlloc, cachep->name)) return nullptr;
    void* p = allocWithHeader(cachep->size, kSlabMagic, cachep);
    if (!p) return nullptr;
    cachep->active++;
    tav::kernel::live().slabObjects++;
    if (cachep->ctor) cachep->ctor(p, cachep, 0);
    return p;
}

void kmem_cache_free(kmem_cache_t* cachep, void* objp) {
    if (!objp) return;
    Header* h = headerOf(objp, kSlabMagic, "kmem_cache_free");
    if (h->cache != cachep) {
        printk("<2>kmem_cache_free: object %p does not belong to cache %s\n", objp, cachep->name);
        BUG();
    }
    if (cachep->dtor) cachep->dtor(objp, cachep, 0);
    freeWithHeader(h);
    cachep->active--;
    tav::kernel::live().slabObjects--;
}

const char* kmem_cache_name(kmem_cache_t* cachep) { return cachep->name; }

namespace tav::kernel {

std::vector<SlabInfo> slabInfo() {
    std::lock_guard g(cacheChainLock);
    std::vector<SlabInfo> out;
    for (kmem_cache_s* c : cacheChain()) out.push_back({c->name, c->size, c->active.load()});
    return out;
}

bool isAllocatorBlock(const void* p) {
    auto at = reinterpret_cast<unsigned long>(p);
    if (at < sizeof(Header) || at % alignof(Header)) return false;
    static const pid_t self = getpid();
    Header h;
    iovec local{&h, sizeof h};
    iovec remote{reinterpret_cast<Header*>(at) - 1, sizeof h};
    if (process_vm_readv(self, &local, 1, &remote, 1, 0) != static_cast<ssize_t>(sizeof h)) return false;
    return h.magic == kKmallocMagic || h.magic == kVmallocMagic || h.magic == kSlabMagic;
}

long slabObjects(const std::string& name) {
    std::lock_guard g(cacheChainLock);
    for (kmem_cache_s* c : cacheChain())
        if (name == c->name) return c->active.load();
    return -1;
}

}  // namespace tav::kernel
