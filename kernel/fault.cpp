// The fault plan.
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <vector>

#include "kernel/fault.h"

namespace tav::fault {

std::atomic<int> armed{0};

namespace {

constexpr int kSites = static_cast<int>(Site::Count);

struct ActiveRule {
    int id;
    Rule rule;
    std::uint64_t seen = 0;  // matching calls so far
    long failed = 0;
    std::mt19937_64 rng;
};

struct Plan {
    std::mutex lock;
    std::vector<ActiveRule> rules;  // guarded by lock
    int nextId = 1;                 // guarded by lock
    bool counting = false;          // guarded by lock
    std::atomic<long> fired[kSites] = {};
    std::atomic<long> calls[kSites] = {};
};

Plan& plan() {
    static auto* p = new Plan;
    return *p;
}

void rearm(Plan& p) { armed.store(p.rules.empty() && !p.counting ? 0 : 1, std::memory_order_relaxed); }

bool nameMatches(const Rule& r, const char* name) {
    if (r.name.empty()) return true;
    return name && std::strncmp(name, r.name.c_str(), r.name.size()) == 0;
}

// Caller holds plan().lock. True when this matching call is to fail.
bool decide(ActiveRule& ar) {
    ar.seen++;
    if (ar.seen < ar.rule.nth) return false;
    if (ar.rule.times >= 0 && ar.failed >= ar.rule.times) return false;
    if (ar.rule.probability < 1.0) {
        std::uniform_real_distribution<double> d(0.0, 1.0);
        if (d(ar.rng) >= ar.rule.probability) return false;
    }
    ar.failed++;
    return true;
}

}  // namespace

const char* siteName(Site site) {
    static const char* names[] = {"kmalloc",         "vmalloc",       "alloc_page",    "kmem_cache_create",
                                  "kmem_cache_alloc", "bio_alloc",     "alloc_buffer_head",
                                  "kernel_thread",    "copy_from_user", "copy_to_user", "freeze_bdev",
                                  "disk_read",        "disk_write",    "io_uring_cancel"};
    static_assert(sizeof names / sizeof names[0] == kSites);
    return names[static_cast<int>(site)];
}

Rule failNth(Site site, std::uint64_t nth) {
    Rule r;
    r.site = site;
    r.nth = nth;
    return r;
}

Rule failAllFromNow(Site site) {
    Rule r;
    r.site = site;
    r.times = -1;
    return r;
}

Rule failWithProbability(Site site, double p, std::uint64_t seed) {
    Rule r;
    r.site = site;
    r.times = -1;
    r.probability = p;
    r.seed = seed;
    return r;
}

int add(const Rule& rule) {
    Plan& p = plan();
    std::lock_guard g(p.lock);
    int id = p.nextId++;
    p.rules.push_back({id, rule, 0, 0, std::mt19937_64(rule.seed)});
    rearm(p);
    return id;
}

void remove(int id) {
    Plan& p = plan();
    std::lock_guard g(p.lock);
    std::erase_if(p.rules, [id](const ActiveRule& r) { return r.id == id; });
    rearm(p);
}

long matched(int id) {
    Plan& p = plan();
    std::lock_guard g(p.lock);
    for (const ActiveRule& r : p.rules)
        if (r.id == id) return static_cast<long>(r.seen);
    return -1;
}

void resetCounters() {
    Plan& p = plan();
    for (int i = 0; i < kSites; i++) {
        p.fired[i].store(0);
        p.calls[i].store(0);
    }
}

void clear() {
    Plan& p = plan();
    {
        std::lock_guard g(p.lock);
        p.rules.clear();
        p.counting = false;
        rearm(p);
    }
    resetCounters();
}

long fired(Site site) { return plan().fired[static_cast<int>(site)].load(); }
long calls(Site site) { return plan().calls[static_cast<int>(site)].load(); }

void setCounting(bool on) {
    Plan& p = plan();
    std::lock_guard g(p.lock);
    p.counting = on;
    rearm(p);
}

bool shouldFailArmed(Site site, const char* name, std::uint64_t lo, std::uint64_t hi) {
    Plan& p = plan();
    std::lock_guard g(p.lock);
    int s = static_cast<int>(site);
    if (p.counting) p.calls[s]++;
    for (ActiveRule& ar : p.rules) {
        const Rule& r = ar.rule;
        if (r.site != site || !nameMatches(r, name) || hi < r.first || lo > r.last) continue;
        if (decide(ar)) {
            p.fired[s]++;
            return true;
        }
    }
    return false;
}

std::uint64_t allowedPrefix(Site site, std::uint64_t addr, std::uint64_t len) {
    if (len == 0 || armed.load(std::memory_order_relaxed) == 0) return len;
    Plan& p = plan();
    std::lock_guard g(p.lock);
    int s = static_cast<int>(site);
    if (p.counting) p.calls[s]++;
    std::uint64_t allowed = len;
    std::uint64_t end = addr + len - 1;
    for (ActiveRule& ar : p.rules) {
        const Rule& r = ar.rule;
        if (r.site != site || end < r.first || addr > r.last) continue;
        if (decide(ar)) allowed = std::min<std::uint64_t>(allowed, r.first > addr ? r.first - addr : 0);
    }
    if (allowed < len) p.fired[s]++;
    return allowed;
}

}  // namespace tav::fault
