// The fault plan: one list of rules, checked inside the platform APIs (never in module
// code). With no rule loaded and call counting off, a check is one relaxed atomic load.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <string>

namespace tav::fault {

enum class Site {
    Kmalloc,
    Vmalloc,
    AllocPage,
    SlabCreate,   // kmem_cache_create
    SlabAlloc,    // kmem_cache_alloc; Rule::name matches the cache name (prefix)
    BioAlloc,
    AllocBufferHead,
    KernelThread,
    CopyFromUser,  // Rule::first..last is a user address range
    CopyToUser,
    Freeze,        // freeze_bdev returns no super block
    DiskRead,      // Rule::first..last is a sector range; Rule::name a disk name
    DiskWrite,
    // io_uring reports a transfer cancelled without running it (-ECANCELED), as it does
    // for work still queued when the thread that submitted it exits. Rule::first..last
    // is a sector range; Rule::name a disk name.
    RingCancel,
    Count
};
const char* siteName(Site site);

struct Rule {
    Site site = Site::Kmalloc;
    // The first matching call to fail, counted from when the rule is added (1 = next).
    std::uint64_t nth = 1;
    // How many matching calls fail from nth on; -1 = all of them.
    long times = 1;
    // Each candidate call fails with this chance, drawn from a generator seeded by seed.
    double probability = 1.0;
    std::uint64_t seed = 1;
    std::string name;  // slab cache (prefix) or disk name; empty matches any
    std::uint64_t first = 0;  // inclusive range of sectors or user addresses
    std::uint64_t last = std::numeric_limits<std::uint64_t>::max();
};

// Convenience constructors for the three usual shapes.
Rule failNth(Site site, std::uint64_t nth);
Rule failAllFromNow(Site site);
Rule failWithProbability(Site site, double p, std::uint64_t seed);

int add(const Rule& rule);  // returns the rule id
void remove(int id);
// Calls that matched rule id (site, name and range) since it was added, failed or not; -1
// for no such rule. A rule with times = 0 counts the calls of a slab cache or a disk.
long matched(int id);
void clear();  // drops every rule and resets the counters

// Injected failures per site, since the last clear()/resetCounters().
long fired(Site site);
// Calls per site while counting is on (for sweeps: count, then fail call i for i = 1..N).
void setCounting(bool on);
long calls(Site site);
void resetCounters();

// Platform-internal checks.
// Nonzero while a rule is loaded or counting is on; hot paths test it inline.
extern std::atomic<int> armed;
bool shouldFailArmed(Site site, const char* name, std::uint64_t lo, std::uint64_t hi);
// True when this call must fail. name and [lo, hi] describe the call for rule matching.
inline bool shouldFail(Site site, const char* name = nullptr, std::uint64_t lo = 0, std::uint64_t hi = 0) {
    return armed.load(std::memory_order_relaxed) != 0 && shouldFailArmed(site, name, lo, hi);
}
// For user copies: the number of leading bytes of [addr, addr + len) that may be copied
// (len when no rule fails any of them).
std::uint64_t allowedPrefix(Site site, std::uint64_t addr, std::uint64_t len);

}  // namespace tav::fault
