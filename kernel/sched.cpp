// Tasks, kernel threads, signals, schedule() and the atomic-context check.
#include <pthread.h>
#include <sys/syscall.h>

#include <chrono>
#include <cstdarg>
#include <future>
#include <map>
#include <memory>
#include <thread>

#include "kernel/accounting.h"
#include "kernel/fault.h"
#include "kernel/printk.h"
#include "kernel/sched.h"

namespace {

// pid -> task, for kill_proc. Lock order: registryLock, then task->wakeLock.
std::mutex registryLock;
std::map<pid_t, task_struct*>& registry() {
    static auto* m = new std::map<pid_t, task_struct*>;
    return *m;
}

std::atomic<long> sleepReports{0};
std::mutex threadsLock;
std::condition_variable threadsCv;

struct TaskHolder {
    std::unique_ptr<task_struct> task;
    ~TaskHolder() {
        if (!task) return;
        std::lock_guard g(registryLock);
        registry().erase(task->pid);
    }
};
thread_local TaskHolder currentTask;

task_struct* attachTask(bool kernelThread) {
    auto t = std::make_unique<task_struct>();
    t->pid = static_cast<pid_t>(syscall(SYS_gettid));
    t->kernelThread = kernelThread;
    pthread_getname_np(pthread_self(), t->comm, sizeof t->comm);
    task_struct* raw = t.get();
    {
        std::lock_guard g(registryLock);
        registry()[raw->pid] = raw;
    }
    currentTask.task = std::move(t);
    return raw;
}

struct ThreadExit {};

void kernelThreadEnded() {
    {
        // The pid dies with the thread's last act, not when the host reaps it.
        std::lock_guard g(registryLock);
        registry().erase(current->pid);
    }
    {
        std::lock_guard g(threadsLock);
        tav::kernel::live().kernelThreads--;
    }
    threadsCv.notify_all();
}

// Caller holds task->wakeLock.
void wakeSleeper(task_struct* t) {
    if (t->sleepingLock) {
        std::lock_guard g(*t->sleepingLock);
        t->sleepingCv->notify_all();
    }
    t->wakeCv.notify_all();
}

unsigned long sigBit(int sig) { return (sig >= 1 && sig <= 64) ? 1UL << (sig - 1) : 0; }

}  // namespace

struct task_struct* getCurrentTask() {
    if (task_struct* t = currentTask.task.get()) return t;
    return attachTask(false);
}

void might_sleep() {
    task_struct* t = current;
    if (t->atomicDepth <= 0) return;
    sleepReports++;
    printk("<2>BUG: sleeping function called from invalid context: %s[%d] holds %d spin lock(s)\n",
           t->comm, t->pid, t->atomicDepth);
}

int in_atomic() { return current->atomicDepth > 0; }

void set_current_state(long state) { current->state.store(state); }

void schedule() {
    might_sleep();
    task_struct* t = current;
    std::unique_lock lk(t->wakeLock);
    long state = t->state.load();
    if (state == TASK_RUNNING) {
        lk.unlock();
        sched_yield();
        return;
    }
    t->wakeCv.wait(lk, [&] {
        return t->state.load() == TASK_RUNNING ||
               (state == TASK_INTERRUPTIBLE && signal_pending(t));
    });
    t->state.store(TASK_RUNNING);
}

void yield() { sched_yield(); }

long schedule_timeout(long timeout) {
    might_sleep();
    task_struct* t = current;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    std::unique_lock lk(t->wakeLock);
    long state = t->state.load();
    if (state != TASK_RUNNING) {
        t->wakeCv.wait_until(lk, deadline, [&] {
            return t->state.load() == TASK_RUNNING ||
                   (state == TASK_INTERRUPTIBLE && signal_pending(t));
        });
    }
    t->state.store(TASK_RUNNING);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now()).count();
    return left > 0 ? left : 0;
}

int wake_up_process(struct task_struct* p) {
    std::lock_guard g(p->wakeLock);
    long was = p->state.exchange(TASK_RUNNING);
    wakeSleeper(p);
    return was != TASK_RUNNING;
}

void msleep(unsigned int ms) {
    might_sleep();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

unsigned long jiffiesNow() {
    using namespace std::chrono;
    return static_cast<unsigned long>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int kernel_thread(int (*fn)(void*), void* arg, unsigned long) {
    if (tav::fault::shouldFail(tav::fault::Site::KernelThread)) return -EAGAIN;
    // Shared, so the child may still be inside set_value() when the parent returns.
    auto started = std::make_shared<std::promise<pid_t>>();
    auto pidFuture = started->get_future();
    {
        std::lock_guard g(threadsLock);
        tav::kernel::live().kernelThreads++;
    }
    try {
        std::thread([fn, arg, started] {
            task_struct* t = attachTask(true);
            started->set_value(t->pid);
            try {
                fn(arg);
                kernelThreadEnded();
            } catch (const ThreadExit&) {
                // complete_and_exit already accounted for the thread.
            }
        }).detach();
    } catch (const std::system_error&) {
        kernelThreadEnded();
        return -EAGAIN;
    }
    return pidFuture.get();
}

void daemonize(const char* name, ...) {
    task_struct* t = current;
    va_list ap;
    va_start(ap, name);
    vsnprintf(t->comm, sizeof t->comm, name, ap);
    va_end(ap);
    pthread_setname_np(pthread_self(), t->comm);
    // A daemonized thread starts with every signal blocked.
    t->allowedSignals.store(0);
    t->pendingSignals.store(0);
}

void allow_signal(int sig) { current->allowedSignals.fetch_or(sigBit(sig)); }
void disallow_signal(int sig) { current->allowedSignals.fetch_and(~sigBit(sig)); }

int send_sig(int sig, struct task_struct* p, int) {
    if (!sigBit(sig)) return -EINVAL;
    std::lock_guard g(p->wakeLock);
    p->pendingSignals.fetch_or(sigBit(sig));
    if (signal_pending(p)) wakeSleeper(p);
    return 0;
}

int kill_proc(pid_t pid, int sig, int priv) {
    std::lock_guard g(registryLock);
    auto it = registry().find(pid);
    if (it == registry().end()) return -ESRCH;
    return send_sig(sig, it->second, priv);
}

int signal_pending(struct task_struct* p) {
    unsigned long pending = p->pendingSignals.load();
    if (p->kernelThread) pending &= p->allowedSignals.load();
    return pending != 0;
}

void flush_signals(struct task_struct* p) { p->pendingSignals.store(0); }

void complete_and_exit(struct completion* comp, long) {
    kernelThreadEnded();
    if (comp) complete(comp);
    throw ThreadExit{};
}

namespace tav::kernel {

long sleepInAtomicReports() { return sleepReports.load(); }

int liveKernelThreads() { return static_cast<int>(live().kernelThreads.load()); }

bool waitForKernelThreads(int timeoutMs) {
    std::unique_lock lk(threadsLock);
    return threadsCv.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                              [] { return live().kernelThreads.load() == 0; });
}

}  // namespace tav::kernel
