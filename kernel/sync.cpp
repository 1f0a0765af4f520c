// Spin locks, semaphores, read-write semaphores and completions.
#include <sched.h>

#include <algorithm>
#include <thread>

#include "kernel/completion.h"
#include "kernel/printk.h"
#include "kernel/sched.h"
#include "kernel/semaphore.h"
#include "kernel/spinlock.h"

// ---- spin locks ----

void spin_lock_init(spinlock_t* lock) { lock->locked.store(0, std::memory_order_relaxed); }

void spin_lock(spinlock_t* lock) {
    for (int spins = 0; lock->locked.exchange(1, std::memory_order_acquire);) {
        while (lock->locked.load(std::memory_order_relaxed)) {
            // Two cores and a preemptible host: after a short spin give the holder the CPU,
            // but never block, so the caller stays in atomic context as in the kernel.
            if (++spins < 64)
                __builtin_ia32_pause();
            else
                sched_yield();
        }
    }
    current->atomicDepth++;
}

void spin_unlock(spinlock_t* lock) {
    current->atomicDepth--;
    lock->locked.store(0, std::memory_order_release);
}

int spin_trylock(spinlock_t* lock) {
    if (lock->locked.exchange(1, std::memory_order_acquire)) return 0;
    current->atomicDepth++;
    return 1;
}

int spin_is_locked(spinlock_t* lock) { return lock->locked.load(std::memory_order_relaxed); }

unsigned long spinLockIrqSave(spinlock_t* lock) {
    spin_lock(lock);
    task_struct* t = current;
    // Odd and never reused: a word from an older save cannot pass for a live one. The
    // low bit stands for the interrupt flag, on when the first lock of a nest was taken.
    unsigned long flags = (++t->irqSaveSeq << 1) | (t->irqSaveCount == 0 ? 1 : 0);
    if (t->irqSaveCount == task_struct::kMaxIrqSaves) {
        printk("<2>spin_lock_irqsave: more than %d nested saves\n", task_struct::kMaxIrqSaves);
        return flags;
    }
    t->irqSaves[t->irqSaveCount++] = {lock, flags};
    return flags;
}

void spin_unlock_irqrestore(spinlock_t* lock, unsigned long flags) {
    task_struct* t = current;
    int mine = -1, owner = -1;
    for (int i = t->irqSaveCount - 1; i >= 0; i--) {
        if (mine < 0 && t->irqSaves[i].lock == lock) mine = i;
        if (owner < 0 && t->irqSaves[i].flags == flags) owner = i;
    }
    if (mine < 0 || owner != mine) {
        if (owner >= 0)
            printk("<2>spin_unlock_irqrestore: lock %p restores the flags saved for lock %p\n",
                   static_cast<void*>(lock), t->irqSaves[owner].lock);
        else
            printk("<2>spin_unlock_irqrestore: lock %p restores stale flags %#lx\n", static_cast<void*>(lock),
                   flags);
    }
    if (mine >= 0) {
        for (int i = mine; i + 1 < t->irqSaveCount; i++) t->irqSaves[i] = t->irqSaves[i + 1];
        t->irqSaveCount--;
    }
    spin_unlock(lock);
}

// ---- wait plumbing shared by the sleeping locks ----

struct SemWaiter {
    SemWaiter* next = nullptr;
    bool granted = false;  // guarded by the lock of the semaphore it waits on
    bool reader = false;
    std::condition_variable cv;
};

namespace {

void enqueue(SemWaiter*& head, SemWaiter*& tail, SemWaiter* w) {
    w->next = nullptr;
    if (tail)
        tail->next = w;
    else
        head = w;
    tail = w;
}

SemWaiter* dequeue(SemWaiter*& head, SemWaiter*& tail) {
    SemWaiter* w = head;
    head = w->next;
    if (!head) tail = nullptr;
    return w;
}

void unlink(SemWaiter*& head, SemWaiter*& tail, SemWaiter* w) {
    SemWaiter* prev = nullptr;
    for (SemWaiter* p = head; p; prev = p, p = p->next) {
        if (p != w) continue;
        (prev ? prev->next : head) = p->next;
        if (tail == p) tail = prev;
        return;
    }
}

// Registers the waiter so that a signal sent to the task wakes it. Lock order:
// task->wakeLock, then the wait object's lock.
struct InterruptibleSleep {
    task_struct* task;
    InterruptibleSleep(task_struct* t, std::mutex* lock, std::condition_variable* cv) : task(t) {
        std::lock_guard g(task->wakeLock);
        task->sleepingLock = lock;
        task->sleepingCv = cv;
    }
    ~InterruptibleSleep() {
        std::lock_guard g(task->wakeLock);
        task->sleepingLock = nullptr;
        task->sleepingCv = nullptr;
    }
};

}  // namespace

// ---- counting semaphores ----

void sema_init(struct semaphore* sem, int val) {
    std::lock_guard g(sem->lock);
    sem->count.store(val);
    sem->head = sem->tail = nullptr;
    sem->pollUs.store(tav::kernel::kSemPollMinUs, std::memory_order_relaxed);
}

namespace {

// A count that is there, taken without the lock.
bool takeFast(struct semaphore* sem) {
    int c = sem->count.load(std::memory_order_relaxed);
    while (c > 0)
        if (sem->count.compare_exchange_weak(c, c - 1, std::memory_order_acquire, std::memory_order_relaxed))
            return true;
    return false;
}

// An up often follows within microseconds (a worker waiting for its next request, a
// holder about to leave). Polled only while nobody sleeps (count 0), so a poller never
// overtakes a sleeper; a signal ends the poll and the sleeping path answers it.
bool takeSoon(struct semaphore* sem, task_struct* task) {
    bool sleepers = false;
    return tav::kernel::pollBriefly(
        [&] {
            int c = sem->count.load(std::memory_order_relaxed);
            sleepers = c < 0;
            return c > 0 && takeFast(sem);
        },
        [&] { return sleepers || (task && signal_pending(task)); },
        std::chrono::microseconds(sem->pollUs.load(std::memory_order_relaxed)));
}

static_assert(tav::kernel::kSemPollMinUs == tav::kernel::kWaitPoll.count());

// After a sleep: a wait (poll included) that ended within the longest poll would have been
// caught by a longer one; a longer wait says polling is wasted here.
void adaptPoll(struct semaphore* sem, std::chrono::steady_clock::time_point began) {
    using tav::kernel::kSemPollMaxUs, tav::kernel::kSemPollMinUs;
    auto waited = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - began);
    int span = sem->pollUs.load(std::memory_order_relaxed);
    int next = waited.count() < kSemPollMaxUs ? std::min(span * 2, kSemPollMaxUs) : std::max(span / 2, kSemPollMinUs);
    if (next != span) sem->pollUs.store(next, std::memory_order_relaxed);
}

// Caller holds sem->lock: takes the count, or marks the semaphore as having sleepers (the
// caller queues itself in the same section).
bool takeOrMarkSleeping(struct semaphore* sem) {
    int c = sem->count.load(std::memory_order_relaxed);
    for (;;) {
        if (c > 0) {
            if (sem->count.compare_exchange_weak(c, c - 1, std::memory_order_acquire, std::memory_order_relaxed))
                return true;
        } else if (c == 0) {
            if (sem->count.compare_exchange_weak(c, -1, std::memory_order_relaxed)) return false;
        } else {
            return false;
        }
    }
}

}  // namespace

void down(struct semaphore* sem) {
    might_sleep();
    if (takeFast(sem)) return;
    auto began = std::chrono::steady_clock::now();
    if (takeSoon(sem, nullptr)) return;
    std::unique_lock lk(sem->lock);
    if (takeOrMarkSleeping(sem)) return;
    SemWaiter w;
    enqueue(sem->head, sem->tail, &w);
    w.cv.wait(lk, [&] { return w.granted; });
    lk.unlock();
    adaptPoll(sem, began);
}

int down_interruptible(struct semaphore* sem) {
    might_sleep();
    if (takeFast(sem)) return 0;
    task_struct* task = current;
    auto began = std::chrono::steady_clock::now();
    if (takeSoon(sem, task)) return 0;
    SemWaiter w;
    InterruptibleSleep sleep(task, &sem->lock, &w.cv);
    std::unique_lock lk(sem->lock);
    if (takeOrMarkSleeping(sem)) return 0;
    enqueue(sem->head, sem->tail, &w);
    while (!w.granted) {
        if (signal_pending(task)) {
            unlink(sem->head, sem->tail, &w);
            if (!sem->head) sem->count.store(0, std::memory_order_relaxed);
            return -EINTR;
        }
        w.cv.wait(lk);
    }
    adaptPoll(sem, began);
    return 0;
}

int down_trylock(struct semaphore* sem) { return takeFast(sem) ? 0 : 1; }

void up(struct semaphore* sem) {
    int c = sem->count.load(std::memory_order_relaxed);
    while (c >= 0)
        if (sem->count.compare_exchange_weak(c, c + 1, std::memory_order_release, std::memory_order_relaxed)) return;
    std::lock_guard g(sem->lock);
    // The last sleeper may have left (a signal) since -1 was read; -1 cannot come back
    // while the lock is held.
    if (!sem->head) {
        sem->count.fetch_add(1, std::memory_order_release);
        return;
    }
    // Hand the count straight to the first sleeper, so a late arrival cannot overtake.
    SemWaiter* w = dequeue(sem->head, sem->tail);
    if (!sem->head) sem->count.store(0, std::memory_order_relaxed);
    w->granted = true;
    w->cv.notify_one();
}

int semaphoreCount(struct semaphore* sem) { return std::max(sem->count.load(), 0); }

int semaphorePollUs(struct semaphore* sem) { return sem->pollUs.load(std::memory_order_relaxed); }

int semaphoreWaiters(struct semaphore* sem) {
    std::lock_guard g(sem->lock);
    int n = 0;
    for (SemWaiter* w = sem->head; w; w = w->next) n++;
    return n;
}

// ---- read-write semaphores ----

void init_rwsem(struct rw_semaphore* sem) {
    std::lock_guard g(sem->lock);
    sem->activity = 0;
    sem->head = sem->tail = nullptr;
}

namespace {

// Caller holds sem->lock and the lock is free (activity 0).
void rwsemWake(struct rw_semaphore* sem) {
    if (!sem->head) return;
    if (!sem->head->reader) {
        SemWaiter* w = dequeue(sem->head, sem->tail);
        sem->activity = -1;
        w->granted = true;
        w->cv.notify_one();
        return;
    }
    while (sem->head && sem->head->reader) {
        SemWaiter* w = dequeue(sem->head, sem->tail);
        sem->activity++;
        w->granted = true;
        w->cv.notify_one();
    }
}

}  // namespace

void down_read(struct rw_semaphore* sem) {
    might_sleep();
    std::unique_lock lk(sem->lock);
    if (sem->activity >= 0 && !sem->head) {
        sem->activity++;
        return;
    }
    SemWaiter w;
    w.reader = true;
    enqueue(sem->head, sem->tail, &w);
    w.cv.wait(lk, [&] { return w.granted; });
}

int down_read_trylock(struct rw_semaphore* sem) {
    std::lock_guard g(sem->lock);
    if (sem->activity >= 0 && !sem->head) {
        sem->activity++;
        return 1;
    }
    return 0;
}

void up_read(struct rw_semaphore* sem) {
    std::lock_guard g(sem->lock);
    if (--sem->activity == 0) rwsemWake(sem);
}

void down_write(struct rw_semaphore* sem) {
    might_sleep();
    std::unique_lock lk(sem->lock);
    if (sem->activity == 0 && !sem->head) {
        sem->activity = -1;
        return;
    }
    SemWaiter w;
    enqueue(sem->head, sem->tail, &w);
    w.cv.wait(lk, [&] { return w.granted; });
}

int down_write_trylock(struct rw_semaphore* sem) {
    std::lock_guard g(sem->lock);
    if (sem->activity == 0 && !sem->head) {
        sem->activity = -1;
        return 1;
    }
    return 0;
}

void up_write(struct rw_semaphore* sem) {
    std::lock_guard g(sem->lock);
    sem->activity = 0;
    rwsemWake(sem);
}

int rwsemActivity(struct rw_semaphore* sem) {
    std::lock_guard g(sem->lock);
    return sem->activity;
}

int rwsemWaiters(struct rw_semaphore* sem) {
    std::lock_guard g(sem->lock);
    int n = 0;
    for (SemWaiter* w = sem->head; w; w = w->next) n++;
    return n;
}

// ---- completions ----

void init_completion(struct completion* x) {
    std::lock_guard g(x->lock);
    x->done = 0;
}

void complete(struct completion* x) {
    std::lock_guard g(x->lock);
    x->done++;
    x->cv.notify_one();
}

void complete_all(struct completion* x) {
    std::lock_guard g(x->lock);
    x->done += UINT32_MAX / 2;
    x->cv.notify_all();
}

void wait_for_completion(struct completion* x) {
    might_sleep();
    std::unique_lock lk(x->lock);
    x->cv.wait(lk, [&] { return x->done > 0; });
    x->done--;
}

int completionDone(struct completion* x) {
    std::lock_guard g(x->lock);
    return x->done > 0;
}
