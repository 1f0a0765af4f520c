// Kernel threads, names, signals and schedule().
#include <chrono>
#include <fstream>
#include <thread>

#include "kernel/completion.h"
#include "kernel/sched.h"
#include "tests/support/checks.h"

using namespace std::chrono_literals;

namespace {

class SchedTest : public tav::test::PlatformTest {};

struct NamedThread {
    completion started, stop, exited;
    std::atomic<int> stopSeen{0};
};

TEST_F(SchedTest, KernelThreadHasAHostVisibleNameAndPid) {
    NamedThread t;
    init_completion(&t.started);
    init_completion(&t.stop);
    init_completion(&t.exited);
    int pid = kernel_thread(
        [](void* arg) -> int {
            auto* t = static_cast<NamedThread*>(arg);
            daemonize("kbackupd");
            complete(&t->started);
            wait_for_completion(&t->stop);
            complete_and_exit(&t->exited, 0);
        },
        &t, CLONE_FS | CLONE_FILES);
    ASSERT_GT(pid, 0);
    wait_for_completion(&t.started);
    std::ifstream comm("/proc/self/task/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    EXPECT_EQ(name, "kbackupd");
    EXPECT_EQ(tav::kernel::liveKernelThreads(), before_.kernelThreads + 1);
    complete(&t.stop);
    wait_for_completion(&t.exited);
    EXPECT_TRUE(tav::kernel::waitForKernelThreads(5000));
    EXPECT_EQ(kill_proc(pid, SIGKILL, 1), -ESRCH) << "an exited thread still takes signals";
}

TEST_F(SchedTest, KernelThreadFailureIsANegativeErrno) {
    tav::fault::add(tav::fault::failNth(tav::fault::Site::KernelThread, 1));
    int rc = kernel_thread([](void*) -> int { return 0; }, nullptr, 0);
    EXPECT_EQ(rc, -EAGAIN);
    EXPECT_EQ(tav::fault::fired(tav::fault::Site::KernelThread), 1);
    EXPECT_EQ(tav::kernel::liveKernelThreads(), before_.kernelThreads);
}

TEST_F(SchedTest, SignalsReachKernelThreadsOnlyWhenAllowed) {
    struct Ctx {
        completion ready, go, done;
        std::atomic<int> pendingBlocked{-1}, pendingAllowed{-1};
    } c;
    init_completion(&c.ready);
    init_completion(&c.go);
    init_completion(&c.done);
    int pid = kernel_thread(
        [](void* arg) -> int {
            auto* c = static_cast<Ctx*>(arg);
            daemonize("tavsig");
            complete(&c->ready);
            wait_for_completion(&c->go);
            c->pendingBlocked = signal_pending(current);
            allow_signal(SIGKILL);
            complete(&c->ready);
            wait_for_completion(&c->go);
            c->pendingAllowed = signal_pending(current);
            complete_and_exit(&c->done, 0);
        },
        &c, 0);
    ASSERT_GT(pid, 0);
    wait_for_completion(&c.ready);
    EXPECT_EQ(kill_proc(pid, SIGKILL, 1), 0);
    complete(&c.go);
    wait_for_completion(&c.ready);
    EXPECT_EQ(c.pendingBlocked.load(), 0);
    EXPECT_EQ(kill_proc(pid, SIGKILL, 1), 0);
    complete(&c.go);
    wait_for_completion(&c.done);
    EXPECT_EQ(c.pendingAllowed.load(), 1);
}

TEST_F(SchedTest, ScheduleSleepsUntilWokenWhenNotRunning) {
    std::atomic<task_struct*> sleeper{nullptr};
    std::atomic<bool> back{false};
    std::thread t([&] {
        set_current_state(TASK_UNINTERRUPTIBLE);
        sleeper = current;
        schedule();
        back = true;
    });
    while (!sleeper.load()) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(back.load());
    wake_up_process(sleeper.load());
    t.join();
    EXPECT_TRUE(back.load());

    // With the state running, schedule() only yields.
    set_current_state(TASK_RUNNING);
    auto start = std::chrono::steady_clock::now();
    schedule();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(schedule_timeout(0), 0);
}

}  // namespace
