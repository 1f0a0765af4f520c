#include "kernel/accounting.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace tav::kernel {
namespace {

using Slots = ShardedCount::Slots;
constexpr int kSlots = ShardedCount::kMax;

struct Registry {
    std::mutex lock;
    std::vector<Slots*> threads;         // guarded by lock
    std::array<long, kSlots> retired{};  // guarded by lock: what exited threads left
    int nextSlot = 0;                    // guarded by lock
};

Registry& registry() {
    static auto* r = new Registry;  // never destroyed: threads may exit after static destructors
    return *r;
}

// Set once this thread's slots are gone: a later change (from another thread-exit
// destructor) goes straight to the retired sums.
thread_local bool slotsGone = false;

struct ThreadSlots {
    Slots slots;
    ThreadSlots() {
        Registry& r = registry();
        std::lock_guard g(r.lock);
        r.threads.push_back(&slots);
    }
    ~ThreadSlots();
};

}  // namespace

thread_local constinit ShardedCount::Slots* ShardedCount::mine_ = nullptr;

namespace {
ThreadSlots::~ThreadSlots() {
    Registry& r = registry();
    std::lock_guard g(r.lock);
    for (int i = 0; i < kSlots; i++) r.retired[i] += slots.v[i].load(std::memory_order_relaxed);
    std::erase(r.threads, &slots);
    slotsGone = true;
    ShardedCount::detachThread();
}
}  // namespace

ShardedCount::ShardedCount() {
    Registry& r = registry();
    std::lock_guard g(r.lock);
    if (r.nextSlot == kSlots) std::abort();  // raise kMax
    slot_ = r.nextSlot++;
}

void ShardedCount::addUnattached(long delta) {
    if (!slotsGone) {
        thread_local ThreadSlots t;  // registers on first use, retires at thread exit
        mine_ = &t.slots;
        add(delta);
        return;
    }
    Registry& r = registry();
    std::lock_guard g(r.lock);
    r.retired[slot_] += delta;
}

long ShardedCount::load() const {
    Registry& r = registry();
    std::lock_guard g(r.lock);
    long sum = r.retired[slot_];
    for (const Slots* s : r.threads) sum += s->v[slot_].load(std::memory_order_relaxed);
    return sum;
}

LiveSnapshot liveSnapshot() {
    LiveCounters& c = live();
    return {c.pages.load(),      c.kmallocBlocks.load(), c.vmallocBlocks.load(),
            c.slabObjects.load(), c.slabCaches.load(),    c.bios.load(),
            c.bufferHeads.load(), c.kernelThreads.load()};
}

std::string LiveSnapshot::describe() const {
    return "pages=" + std::to_string(pages) + " kmalloc=" + std::to_string(kmallocBlocks) +
           " vmalloc=" + std::to_string(vmallocBlocks) + " slabObjects=" + std::to_string(slabObjects) +
           " slabCaches=" + std::to_string(slabCaches) + " bios=" + std::to_string(bios) +
           " bufferHeads=" + std::to_string(bufferHeads) + " kernelThreads=" + std::to_string(kernelThreads);
}

}  // namespace tav::kernel
