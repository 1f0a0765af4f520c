// kmalloc and slab caches. Live caches are listed by name like /proc/slabinfo.
#pragma once

#include <string>
#include <vector>

#include "kernel/mm.h"

void* kmalloc(size_t size, gfp_t flags);
void kfree(const void* p);

constexpr unsigned long SLAB_HWCACHE_ALIGN = 0x00002000UL;

struct kmem_cache_s;
using kmem_cache_t = struct kmem_cache_s;

// Fails (null) for an empty name or through the "kmem_cache_create" fault; a duplicate name
// is a fatal assertion (BUG), as in 2.6.9.
kmem_cache_t* kmem_cache_create(const char* name, size_t size, size_t offset, unsigned long flags,
                                void (*ctor)(void*, kmem_cache_t*, unsigned long),
                                void (*dtor)(void*, kmem_cache_t*, unsigned long));
// 0 when the cache is gone; 1 (cache kept, error logged) while objects are still allocated.
int kmem_cache_destroy(kmem_cache_t* cachep);
void* kmem_cache_alloc(kmem_cache_t* cachep, gfp_t flags);
void kmem_cache_free(kmem_cache_t* cachep, void* objp);
const char* kmem_cache_name(kmem_cache_t* cachep);

namespace tav::kernel {
struct SlabInfo {
    std::string name;
    size_t objectSize;
    long activeObjects;
};
std::vector<SlabInfo> slabInfo();
// Live objects of the named cache, or -1 when no cache has that name.
long slabObjects(const std::string& name);
// True when p is the start of a live kmalloc, vmalloc or slab block: kernel memory. Safe
// for any address (the block header is read without touching memory that may be absent).
bool isAllocatorBlock(const void* p);
}  // namespace tav::kernel
