// Tasks, kernel threads, signals and the scheduler entry points.
//
// Every host thread that enters the platform gets a task_struct on first use of
// `current`; kernel_thread() starts a real host thread whose pid is its host tid, so
// daemonize()'s name shows in /proc/self/task/<pid>/comm.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>

#include "kernel/completion.h"
#include "kernel/types.h"

constexpr long TASK_RUNNING = 0;
constexpr long TASK_INTERRUPTIBLE = 1;
constexpr long TASK_UNINTERRUPTIBLE = 2;

#include <sched.h>  // CLONE_FS, CLONE_FILES, CLONE_SIGHAND: kernel_thread's flags

namespace tav::kernel { struct Process; }

struct task_struct {
    pid_t pid = 0;
    // The user process this task belongs to (kernel/process.h); null: the host process.
    // Owner thread only.
    tav::kernel::Process* process = nullptr;
    char comm[16] = {};
    std::atomic<long> state{TASK_RUNNING};
    std::atomic<unsigned long> pendingSignals{0};  // bit sig-1
    std::atomic<unsigned long> allowedSignals{0};  // kernel threads: allow_signal()
    bool kernelThread = false;
    int atomicDepth = 0;  // spin locks held; owner thread only

    // The flags words spin_lock_irqsave handed out and not yet restored, oldest first:
    // spin_unlock_irqrestore checks that it gets back its own lock's. Owner thread only.
    struct IrqSave {
        const void* lock;
        unsigned long flags;
    };
    static constexpr int kMaxIrqSaves = 32;
    IrqSave irqSaves[kMaxIrqSaves] = {};
    int irqSaveCount = 0;
    unsigned long irqSaveSeq = 0;

    // Wake-up plumbing; guarded by wakeLock. sleepingOn is set while the task sleeps
    // interruptibly on a platform wait object, so a signal can wake it.
    std::mutex wakeLock;
    std::condition_variable wakeCv;
    bool woken = false;
    std::mutex* sleepingLock = nullptr;
    std::condition_variable* sleepingCv = nullptr;
};

struct task_struct* getCurrentTask();
#define current (getCurrentTask())

// Yields the CPU; with a state other than TASK_RUNNING set, sleeps until
// wake_up_process() or a signal. Leaves the state TASK_RUNNING.
void schedule();
void yield();
// Sleeps for up to timeout jiffies (1 jiffy = 1 ms here). Returns the jiffies left.
long schedule_timeout(long timeout);
void set_current_state(long state);
#define __set_current_state(s) set_current_state(s)
int wake_up_process(struct task_struct* p);
void msleep(unsigned int ms);
unsigned long jiffiesNow();
#define jiffies (jiffiesNow())
constexpr unsigned long HZ = 1000;

// Starts fn(arg) on a new kernel thread; returns its pid, or a negative errno
// (-EAGAIN when the host refuses a thread or the "kernel_thread" fault fires).
int kernel_thread(int (*fn)(void*), void* arg, unsigned long flags);
// Names the calling kernel thread (visible to the host, truncated to 15 characters).
void daemonize(const char* name, ...);
void allow_signal(int sig);
void disallow_signal(int sig);
// Queues sig for the task and wakes it if it sleeps interruptibly. A kernel thread only
// receives signals it allowed. Returns 0, or -ESRCH when no such task is running.
int kill_proc(pid_t pid, int sig, int priv);
int send_sig(int sig, struct task_struct* p, int priv);
int signal_pending(struct task_struct* p);
void flush_signals(struct task_struct* p);
// Completes comp and ends the calling kernel thread.
[[noreturn]] void complete_and_exit(struct completion* comp, long code);

// Reports (log line and a counter) a sleeping call made while spin locks are held.
void might_sleep();
int in_atomic();

namespace tav::kernel {
// On a virtual machine a sleep and a cross-CPU wake-up cost tens of microseconds, more than
// many waits last: a sleeping wait first polls ready() for about that long. True as soon
// as it holds; false when the time is up or giveUp() holds.
inline constexpr std::chrono::microseconds kWaitPoll{20};
template <class Ready, class GiveUp>
bool pollBriefly(Ready ready, GiveUp giveUp, std::chrono::microseconds span = kWaitPoll) {
    auto until = std::chrono::steady_clock::now() + span;
    do {
        for (int i = 0; i < 64; ++i) {
            if (ready()) return true;
            __builtin_ia32_pause();
        }
        if (giveUp()) return false;
    } while (std::chrono::steady_clock::now() < until);
    return false;
}
template <class Ready>
bool pollBriefly(Ready ready) {
    return pollBriefly(ready, [] { return false; });
}

// Number of "scheduling while atomic" reports so far.
long sleepInAtomicReports();
// Running kernel threads.
int liveKernelThreads();
// Waits until every kernel thread has ended; false on timeout.
bool waitForKernelThreads(int timeoutMs);
}  // namespace tav::kernel
