// Live-object counters for leak checks. Each allocator counts its own objects.
#pragma once

#include <atomic>
#include <string>

namespace tav::kernel {

// A count that the hot allocators change on every call and leak checks read now and then.
// Each thread adds into a slot of its own, so a change costs no locked instruction; load()
// sums the slots and what exited threads left. The sum is exact once the threads that
// changed it are quiescent (as a leak check's are), and may lag a change in flight.
class ShardedCount {
public:
    static constexpr int kMax = 8;
    struct Slots {
        std::atomic<long> v[kMax] = {};  // written by the owning thread only
    };

    ShardedCount();
    ShardedCount(const ShardedCount&) = delete;
    ShardedCount& operator=(const ShardedCount&) = delete;

    void add(long delta) {
        Slots* s = mine_;
        if (!s) [[unlikely]] {
            addUnattached(delta);
            return;
        }
        std::atomic<long>& v = s->v[slot_];
        v.store(v.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
    }
    long load() const;
    // Thread exit: this thread's later changes go to the shared sums.
    static void detachThread() { mine_ = nullptr; }
    void operator++(int) { add(1); }
    void operator--(int) { add(-1); }

private:
    // This thread's slots once attached; null before (and after its exit, see the .cpp).
    static thread_local constinit Slots* mine_;
    void addUnattached(long delta);
    int slot_;  // index into each thread's slots
};

struct LiveCounters {
    std::atomic<long> pages{0};  // alloc_pages compares it with the limit, under its lock
    ShardedCount kmallocBlocks;
    std::atomic<long> vmallocBlocks{0};
    ShardedCount slabObjects;
    std::atomic<long> slabCaches{0};
    ShardedCount bios;
    ShardedCount bufferHeads;
    std::atomic<long> kernelThreads{0};
};
inline LiveCounters& live() {
    static auto* c = new LiveCounters;  // never destroyed: threads may count after static destructors
    return *c;
}

struct LiveSnapshot {
    long pages, kmallocBlocks, vmallocBlocks, slabObjects, slabCaches, bios, bufferHeads,
        kernelThreads;
    bool allZero() const {
        return !pages && !kmallocBlocks && !vmallocBlocks && !slabObjects && !slabCaches && !bios &&
               !bufferHeads && !kernelThreads;
    }
    std::string describe() const;
};
LiveSnapshot liveSnapshot();

}  // namespace tav::kernel
