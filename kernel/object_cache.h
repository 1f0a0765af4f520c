// A cache of equal-sized free objects for the platform's hot allocations (bios, buffer
// heads, small kmalloc blocks).
#pragma once

#include <cstddef>
#include <mutex>
#include <new>
#include <vector>

namespace tav::kernel {

// Each thread keeps a small magazine and trades full or empty magazines with a shared
// depot, as the kernel's per-CPU slab arrays do. Objects go back to the heap only at thread
// exit (their magazine) or never (the depot; the cache is meant to be a static). Sanitizer
// builds bypass it so that use-after-free stays visible. get() is null when the heap is out.
template <size_t Size>
class ObjectCache {
public:
    void* get() {
        if constexpr (kBypass) return ::operator new(Size, std::nothrow);
        Magazine* mp = local();
        if (!mp) return ::operator new(Size, std::nothrow);
        Magazine& m = *mp;
        if (m.objects.empty()) {
            std::lock_guard lk(lock_);
            if (!depot_.empty()) {
                m.objects.swap(depot_.back());
                depot_.pop_back();
            }
        }
        if (m.objects.empty()) return ::operator new(Size, std::nothrow);
        void* p = m.objects.back();
        m.objects.pop_back();
        return p;
    }
    void put(void* p) {
        if constexpr (kBypass) return ::operator delete(p);
        Magazine* mp = local();
        if (!mp) return ::operator delete(p);
        Magazine& m = *mp;
        if (m.objects.size() >= kMagazine) {
            std::vector<void*> full;
            full.reserve(kMagazine);
            full.swap(m.objects);
            std::lock_guard lk(lock_);
            depot_.push_back(std::move(full));
        }
        m.objects.push_back(p);
    }

private:
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    static constexpr bool kBypass = true;
#else
    static constexpr bool kBypass = false;
#endif
    static constexpr size_t kMagazine = 128;
    struct Magazine {
        std::vector<void*> objects;
        ~Magazine() {
            for (void* p : objects) ::operator delete(p);
            mine_ = nullptr;
            gone_ = true;
        }
    };
    // This thread's magazine; null before the first use and once it is gone (a later
    // get or put, from another thread-exit destructor, goes to the heap).
    static Magazine* local() {
        if (Magazine* m = mine_) [[likely]] return m;
        if (gone_) return nullptr;
        thread_local Magazine m;
        m.objects.reserve(kMagazine);
        mine_ = &m;
        return &m;
    }
    static inline thread_local constinit Magazine* mine_ = nullptr;
    static inline thread_local constinit bool gone_ = false;
    std::mutex lock_;                        // leaf
    std::vector<std::vector<void*>> depot_;  // guarded by lock_
};

}  // namespace tav::kernel
