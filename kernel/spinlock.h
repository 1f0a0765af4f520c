// spinlock_t: a real spinning lock. Holding one puts the task in atomic context, where
// anything that may sleep is reported (see might_sleep in kernel/sched.h).
#pragma once

#include <atomic>

#include "kernel/types.h"

struct spinlock_t {
    std::atomic<int> locked{0};
    spinlock_t() = default;
    spinlock_t(const spinlock_t&) : locked(0) {}
    spinlock_t& operator=(const spinlock_t&) { locked.store(0); return *this; }
};
#define SPIN_LOCK_UNLOCKED spinlock_t()

void spin_lock_init(spinlock_t* lock);
void spin_lock(spinlock_t* lock);
void spin_unlock(spinlock_t* lock);
int spin_trylock(spinlock_t* lock);
int spin_is_locked(spinlock_t* lock);

// Interrupts are not real here. The flags word names one save: restoring it for another
// lock, or restoring a word twice (stale), logs a critical line, as the wrong interrupt
// state would be restored on 2.6.9. The lock is released either way.
unsigned long spinLockIrqSave(spinlock_t* lock);
void spin_unlock_irqrestore(spinlock_t* lock, unsigned long flags);
#define spin_lock_irqsave(lock, flags) ((flags) = spinLockIrqSave(lock))
inline void spin_lock_irq(spinlock_t* lock) { spin_lock(lock); }
inline void spin_unlock_irq(spinlock_t* lock) { spin_unlock(lock); }
