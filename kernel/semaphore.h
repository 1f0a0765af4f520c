// Counting semaphores and FIFO-fair read-write semaphores (2.6.9 rwsem-spinlock model).
// Both may sleep: calling them in atomic context is reported by might_sleep().
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "kernel/types.h"

struct SemWaiter;

namespace tav::kernel {
// Bounds of a down's poll before it sleeps (see semaphore::pollUs); the shortest is the
// brief poll every other wait uses (kWaitPoll: sched.h is not for every includer).
inline constexpr int kSemPollMinUs = 20, kSemPollMaxUs = 200;
}  // namespace tav::kernel

// An uncontended down or up is one atomic instruction on count; lock is taken only to
// sleep or to wake a sleeper.
struct semaphore {
    std::mutex lock;
    std::condition_variable cv;
    // The count, or -1: zero with sleepers queued (set and cleared only under lock, so a
    // fast down never overtakes a sleeper and a fast up never misses one).
    std::atomic<int> count{1};
    SemWaiter* head = nullptr;  // FIFO of sleepers, guarded by lock
    SemWaiter* tail = nullptr;
    // How long a down polls before it sleeps, in microseconds. A worker fed a request
    // every 50 us (a FUSE round trip apart) sleeps between them at the shortest poll and
    // pays a virtual CPU's wake-up for each, so the span doubles after every sleep that
    // ended within kSemPollMaxUs and halves after every longer one. A hint: relaxed.
    std::atomic<int> pollUs{tav::kernel::kSemPollMinUs};
    semaphore() = default;
    semaphore(const semaphore&) {}
    semaphore& operator=(const semaphore&) { return *this; }
};

void sema_init(struct semaphore* sem, int val);
inline void init_MUTEX(struct semaphore* sem) { sema_init(sem, 1); }
inline void init_MUTEX_LOCKED(struct semaphore* sem) { sema_init(sem, 0); }
void down(struct semaphore* sem);
// 0 when taken; -EINTR when a signal is (or becomes) pending for the caller.
int down_interruptible(struct semaphore* sem);
// 0 when taken, 1 when the count was not available.
int down_trylock(struct semaphore* sem);
void up(struct semaphore* sem);
int semaphoreCount(struct semaphore* sem);
int semaphoreWaiters(struct semaphore* sem);  // sleepers, for tests
int semaphorePollUs(struct semaphore* sem);   // the current poll span, for tests

// activity: 0 idle, >0 number of readers, -1 one writer. A newcomer joins the FIFO
// whenever the FIFO is not empty, so a waiting writer holds back later readers; a release
// hands the lock straight to the waiter at the front (and to every reader directly after
// it when that is a reader).
struct rw_semaphore {
    std::mutex lock;
    int activity = 0;           // guarded by lock
    SemWaiter* head = nullptr;  // guarded by lock
    SemWaiter* tail = nullptr;
    rw_semaphore() = default;
    rw_semaphore(const rw_semaphore&) {}
    rw_semaphore& operator=(const rw_semaphore&) { return *this; }
};

void init_rwsem(struct rw_semaphore* sem);
void down_read(struct rw_semaphore* sem);
int down_read_trylock(struct rw_semaphore* sem);  // 1 when taken
void up_read(struct rw_semaphore* sem);
void down_write(struct rw_semaphore* sem);
int down_write_trylock(struct rw_semaphore* sem);  // 1 when taken
void up_write(struct rw_semaphore* sem);
// For tests: readers/writer inside and how many wait.
int rwsemActivity(struct rw_semaphore* sem);
int rwsemWaiters(struct rw_semaphore* sem);
