// atomic_t and the atomic bit operations.
#pragma once

#include <atomic>

#include "kernel/types.h"

struct atomic_t {
    std::atomic<int> counter{0};
    atomic_t() = default;
    constexpr explicit atomic_t(int v) : counter(v) {}
    atomic_t(const atomic_t& o) : counter(o.counter.load()) {}
    atomic_t& operator=(const atomic_t& o) { counter.store(o.counter.load()); return *this; }
};
#define ATOMIC_INIT(i) atomic_t(i)

inline int atomic_read(const atomic_t* v) { return v->counter.load(); }
inline void atomic_set(atomic_t* v, int i) { v->counter.store(i); }
inline void atomic_add(int i, atomic_t* v) { v->counter.fetch_add(i); }
inline void atomic_sub(int i, atomic_t* v) { v->counter.fetch_sub(i); }
inline void atomic_inc(atomic_t* v) { v->counter.fetch_add(1); }
inline void atomic_dec(atomic_t* v) { v->counter.fetch_sub(1); }
inline int atomic_add_return(int i, atomic_t* v) { return v->counter.fetch_add(i) + i; }
inline int atomic_sub_return(int i, atomic_t* v) { return v->counter.fetch_sub(i) - i; }
inline int atomic_inc_return(atomic_t* v) { return atomic_add_return(1, v); }
inline int atomic_dec_return(atomic_t* v) { return atomic_sub_return(1, v); }
inline int atomic_dec_and_test(atomic_t* v) { return atomic_sub_return(1, v) == 0; }
inline int atomic_inc_and_test(atomic_t* v) { return atomic_add_return(1, v) == 0; }
inline int atomic_sub_and_test(int i, atomic_t* v) { return atomic_sub_return(i, v) == 0; }

// Bit nr of the bitmap at addr: bit nr%64 of word nr/64, which on a little-endian
// machine is bit nr&7 of byte nr>>3. addr must be aligned to unsigned long.
inline std::atomic_ref<unsigned long> bitWord(unsigned long nr, volatile void* addr) {
    auto* w = const_cast<unsigned long*>(static_cast<volatile unsigned long*>(addr)) + nr / 64;
    return std::atomic_ref<unsigned long>(*w);
}
inline void set_bit(unsigned long nr, volatile void* addr) { bitWord(nr, addr).fetch_or(1UL << (nr % 64)); }
inline void clear_bit(unsigned long nr, volatile void* addr) { bitWord(nr, addr).fetch_and(~(1UL << (nr % 64))); }
inline int test_and_set_bit(unsigned long nr, volatile void* addr) {
    return (bitWord(nr, addr).fetch_or(1UL << (nr % 64)) >> (nr % 64)) & 1;
}
inline int test_and_clear_bit(unsigned long nr, volatile void* addr) {
    return (bitWord(nr, addr).fetch_and(~(1UL << (nr % 64))) >> (nr % 64)) & 1;
}
inline int test_bit(unsigned long nr, const volatile void* addr) {
    auto* w = const_cast<unsigned long*>(static_cast<const volatile unsigned long*>(addr)) + nr / 64;
    return (std::atomic_ref<unsigned long>(*w).load(std::memory_order_acquire) >> (nr % 64)) & 1;
}

// Barriers as read-modify-writes of one shared word: ThreadSanitizer does not model
// standalone fences, and an RMW gives it (and the CPU) the same ordering.
inline std::atomic<int>& barrierWord() {
    static std::atomic<int> word{0};
    return word;
}
inline void smp_mb() { barrierWord().fetch_add(0, std::memory_order_seq_cst); }
inline void smp_wmb() { barrierWord().fetch_add(0, std::memory_order_release); }
inline void smp_rmb() { barrierWord().fetch_add(0, std::memory_order_acquire); }
