// Contracts of the sleeping and spinning locks that the module's exclusion relies on.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel/completion.h"
#include "kernel/sched.h"
#include "kernel/semaphore.h"
#include "kernel/spinlock.h"
#include "tests/support/checks.h"

using namespace std::chrono_literals;
using tav::test::PlatformTest;
using tav::test::eventually;

namespace {

class SyncTest : public PlatformTest {};

TEST_F(SyncTest, RwsemWaitingWriterHoldsBackLaterReaders) {
    rw_semaphore sem;
    init_rwsem(&sem);
    down_read(&sem);  // reader R1 inside

    std::vector<std::string> order;
    std::mutex orderLock;
    auto note = [&](const char* who) {
        std::lock_guard g(orderLock);
        order.push_back(who);
    };
    std::thread writer([&] {
        down_write(&sem);
        note("W");
        up_write(&sem);
    });
    ASSERT_TRUE(eventually([&] { return rwsemWaiters(&sem) == 1; }));
    std::thread reader([&] {
        down_read(&sem);  // must queue behind W although only readers are inside
        note("R2");
        up_read(&sem);
    });
    ASSERT_TRUE(eventually([&] { return rwsemWaiters(&sem) == 2; }));
    EXPECT_EQ(down_read_trylock(&sem), 0) << "a new reader slipped past the waiting writer";
    {
        std::lock_guard g(orderLock);
        EXPECT_TRUE(order.empty());
    }
    up_read(&sem);
    writer.join();
    reader.join();
    EXPECT_EQ(order, (std::vector<std::string>{"W", "R2"}));
    EXPECT_EQ(rwsemActivity(&sem), 0);
}

TEST_F(SyncTest, RwsemWriterReleaseAdmitsAllFrontReadersButNotPastNextWriter) {
    rw_semaphore sem;
    init_rwsem(&sem);
    down_write(&sem);
    std::atomic<int> readersIn{0};
    std::atomic<bool> w2In{false};
    std::thread r1([&] { down_read(&sem); readersIn++; });
    ASSERT_TRUE(eventually([&] { return rwsemWaiters(&sem) == 1; }));
    std::thread r2([&] { down_read(&sem); readersIn++; });
    ASSERT_TRUE(eventually([&] { return rwsemWaiters(&sem) == 2; }));
    std::thread w2([&] { down_write(&sem); w2In = true; up_write(&sem); });
    ASSERT_TRUE(eventually([&] { return rwsemWaiters(&sem) == 3; }));
    std::thread r3([&] { down_read(&sem); readersIn++; up_read(&sem); });
    ASSERT_TRUE(eventually([&] { return rwsemWaiters(&sem) == 4; }));

    up_write(&sem);
    ASSERT_TRUE(eventually([&] { return readersIn.load() == 2; }));
    EXPECT_EQ(rwsemActivity(&sem), 2);
    EXPECT_FALSE(w2In.load());
    r1.join();
    r2.join();
    up_read(&sem);
    up_read(&sem);
    w2.join();
    r3.join();
    EXPECT_TRUE(w2In.load());
    EXPECT_EQ(readersIn.load(), 3);
}

TEST_F(SyncTest, RwsemExcludesWritersFromReadersUnderLoad) {
    rw_semaphore sem;
    init_rwsem(&sem);
    std::atomic<int> readers{0}, writers{0}, violations{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; t++) {
        ts.emplace_back([&, t] {
            for (int i = 0; i < 2000; i++) {
                if ((i + t) % 5 == 0) {
                    down_write(&sem);
                    if (writers.fetch_add(1) != 0 || readers.load() != 0) violations++;
                    writers--;
                    up_write(&sem);
                } else {
                    down_read(&sem);
                    readers++;
                    if (writers.load() != 0) violations++;
                    readers--;
                    up_read(&sem);
                }
            }
        });
    }
    for (auto& t : ts) t.join();
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(rwsemActivity(&sem), 0);
}

TEST_F(SyncTest, SemaphoreCountsAndHandsOffInOrder) {
    semaphore sem;
    sema_init(&sem, 2);
    EXPECT_EQ(down_trylock(&sem), 0);
    EXPECT_EQ(down_trylock(&sem), 0);
    EXPECT_EQ(down_trylock(&sem), 1) << "count 2 admitted a third holder";
    up(&sem);
    up(&sem);
    up(&sem);
    EXPECT_EQ(semaphoreCount(&sem), 3);

    sema_init(&sem, 0);
    std::vector<int> order;
    std::mutex lock;
    std::vector<std::thread> ts;
    for (int i = 0; i < 3; i++) {
        ts.emplace_back([&, i] {
            down(&sem);
            std::lock_guard g(lock);
            order.push_back(i);
        });
        ASSERT_TRUE(eventually([&] { return semaphoreWaiters(&sem) == i + 1; }));
    }
    // An up() while sleepers wait goes to the first of them, not to a newcomer.
    auto recorded = [&] { std::lock_guard g(lock); return order.size(); };
    for (size_t i = 0; i < 3; i++) {
        up(&sem);
        EXPECT_EQ(down_trylock(&sem), 1);
        ASSERT_TRUE(eventually([&] { return recorded() == i + 1; }));
    }
    for (auto& t : ts) t.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(semaphoreCount(&sem), 0);
}

TEST_F(SyncTest, DownInterruptibleReturnsOnSignalAndLeavesTheCount) {
    semaphore sem;
    sema_init(&sem, 0);
    std::atomic<int> rc{1};
    completion done;
    init_completion(&done);
    std::tuple<semaphore*, std::atomic<int>*, completion*> ctx(&sem, &rc, &done);
    int kpid = kernel_thread(
        [](void* arg) -> int {
            auto* ctx = static_cast<std::tuple<semaphore*, std::atomic<int>*, completion*>*>(arg);
            daemonize("tavsigtest");
            allow_signal(SIGKILL);
            *std::get<1>(*ctx) = down_interruptible(std::get<0>(*ctx));
            // A signal stays pending: the next wait returns at once as well.
            int again = down_interruptible(std::get<0>(*ctx));
            if (again != -EINTR) *std::get<1>(*ctx) = 99;
            flush_signals(current);
            complete_and_exit(std::get<2>(*ctx), 0);
        },
        &ctx, 0);
    ASSERT_GT(kpid, 0);
    ASSERT_TRUE(eventually([&] { return semaphoreWaiters(&sem) == 1; }));
    EXPECT_EQ(kill_proc(kpid, SIGKILL, 1), 0);
    wait_for_completion(&done);
    EXPECT_EQ(rc.load(), -EINTR);
    EXPECT_EQ(semaphoreCount(&sem), 0);
    EXPECT_EQ(semaphoreWaiters(&sem), 0) << "interrupted waiter left in the queue";
}

// Uncontended downs and ups skip the lock; contended ones sleep. Under contention no
// holder may overlap another and no up may be lost (a lost one leaves a sleeper for ever);
// an up after the only sleeper was interrupted away must count again.
TEST_F(SyncTest, SemaphoreExcludesAndLosesNoWakeupUnderContention) {
    semaphore sem;
    sema_init(&sem, 1);
    long inside = 0, total = 0;  // guarded by sem
    std::atomic<int> overlaps{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; t++)
        ts.emplace_back([&] {
            for (int i = 0; i < 5000; i++) {
                down(&sem);
                if (++inside != 1) overlaps++;
                total++;
                inside--;
                up(&sem);
            }
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(total, 4 * 5000);
    EXPECT_EQ(semaphoreCount(&sem), 1);
    EXPECT_EQ(semaphoreWaiters(&sem), 0);

    sema_init(&sem, 0);
    completion done;
    init_completion(&done);
    std::pair<semaphore*, completion*> ctx(&sem, &done);
    int kpid = kernel_thread(
        [](void* arg) -> int {
            auto* ctx = static_cast<std::pair<semaphore*, completion*>*>(arg);
            daemonize("tavsemtest");
            allow_signal(SIGKILL);
            down_interruptible(ctx->first);
            flush_signals(current);
            complete_and_exit(ctx->second, 0);
        },
        &ctx, 0);
    ASSERT_GT(kpid, 0);
    ASSERT_TRUE(eventually([&] { return semaphoreWaiters(&sem) == 1; }));
    EXPECT_EQ(kill_proc(kpid, SIGKILL, 1), 0);
    wait_for_completion(&done);
    up(&sem);
    EXPECT_EQ(semaphoreCount(&sem), 1) << "the up went to a sleeper that had left";
    EXPECT_EQ(down_trylock(&sem), 0);
}

// A worker whose ups come soon after its poll gave up learns to poll longer (never past
// the bound); one that then waits long goes back to the shortest poll.
TEST_F(SyncTest, SemaphorePollGrowsWhileUpsComeSoonAndShrinksWhenTheyDoNot) {
    using tav::kernel::kSemPollMaxUs, tav::kernel::kSemPollMinUs;
    semaphore sem;
    sema_init(&sem, 0);
    EXPECT_EQ(semaphorePollUs(&sem), kSemPollMinUs);
    int longest = 0;
    // Each up comes once the worker sleeps, after the given pause.
    auto feed = [&](std::chrono::microseconds pause, int times) {
        std::atomic<int> taken{0};
        std::thread worker([&] {
            for (int i = 0; i < times; i++) {
                down(&sem);
                taken++;
            }
        });
        for (int i = 0; i < times; i++) {
            while (semaphoreWaiters(&sem) != 1) std::this_thread::yield();
            std::this_thread::sleep_for(pause);
            up(&sem);
            while (taken.load() != i + 1) std::this_thread::yield();
            longest = std::max(longest, semaphorePollUs(&sem));
        }
        worker.join();
    };
    // A wake-up on a loaded machine may take longer than the bound: many tries.
    for (int batch = 0; batch < 50 && longest <= kSemPollMinUs; batch++) feed(0us, 40);
    EXPECT_GT(longest, kSemPollMinUs) << "no wait within the bound made the poll longer";
    EXPECT_LE(longest, kSemPollMaxUs);
    feed(5ms, 5);
    EXPECT_EQ(semaphorePollUs(&sem), kSemPollMinUs) << "long waits left the poll long";
    EXPECT_EQ(semaphoreCount(&sem), 0);
}

TEST_F(SyncTest, CompletionWakesOneWaiterPerCompleteAndAllOnCompleteAll) {
    completion c;
    init_completion(&c);
    std::atomic<int> woke{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 3; i++) ts.emplace_back([&] { wait_for_completion(&c); woke++; });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(woke.load(), 0);
    complete(&c);
    ASSERT_TRUE(eventually([&] { return woke.load() == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(woke.load(), 1) << "one complete() released more than one waiter";
    complete_all(&c);
    for (auto& t : ts) t.join();
    EXPECT_EQ(woke.load(), 3);

    completion early;
    init_completion(&early);
    complete(&early);  // completed before anyone waits: the wait returns at once
    wait_for_completion(&early);
    EXPECT_FALSE(completionDone(&early));
}

TEST_F(SyncTest, SpinlockExcludesAndSleepingUnderItIsReported) {
    spinlock_t lock;
    spin_lock_init(&lock);
    long counter = 0;
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; t++)
        ts.emplace_back([&] {
            for (int i = 0; i < 20000; i++) {
                unsigned long flags;
                spin_lock_irqsave(&lock, flags);
                counter++;
                spin_unlock_irqrestore(&lock, flags);
            }
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(counter, 80000);

    long before = tav::kernel::sleepInAtomicReports();
    unsigned long flags;
    spin_lock_irqsave(&lock, flags);
    EXPECT_TRUE(in_atomic());
    semaphore sem;
    sema_init(&sem, 1);
    down(&sem);  // sleeping call in atomic context
    up(&sem);
    spin_unlock_irqrestore(&lock, flags);
    EXPECT_FALSE(in_atomic());
    EXPECT_EQ(tav::kernel::sleepInAtomicReports(), before + 1);
    EXPECT_TRUE(tav::kernel::logContains("sleeping function called from invalid context"));
    checkCritical_ = false;
}

// The users-count scheme hands saved flags from one function to another: each restore
// must get its own lock's word back, including nested saves released out of order.
TEST_F(SyncTest, IrqRestoreChecksTheFlagsWord) {
    spinlock_t a, b;
    spin_lock_init(&a);
    spin_lock_init(&b);
    unsigned long fa, fb;
    spin_lock_irqsave(&a, fa);
    spin_lock_irqsave(&b, fb);
    EXPECT_NE(fa, fb);
    spin_unlock_irqrestore(&a, fa);
    spin_unlock_irqrestore(&b, fb);
    EXPECT_EQ(tav::test::criticalLines(), "");

    struct Case {
        const char* name;
        bool swap;
        const char* line;
    };
    for (const Case& c : {Case{"other lock's word", true, "restores the flags saved for lock"},
                          Case{"stale word", false, "restores stale flags"}}) {
        SCOPED_TRACE(c.name);
        tav::kernel::clearLog();
        spin_lock_irqsave(&a, fa);
        spin_lock_irqsave(&b, fb);
        unsigned long stale = fa;
        if (c.swap) {
            spin_unlock_irqrestore(&b, fa);
            spin_unlock_irqrestore(&a, fb);
        } else {
            spin_unlock_irqrestore(&b, fb);
            spin_unlock_irqrestore(&a, fa);
            spin_lock_irqsave(&a, fa);
            spin_unlock_irqrestore(&a, stale);
        }
        EXPECT_TRUE(tav::kernel::logContains(c.line)) << tav::test::criticalLines();
        EXPECT_FALSE(in_atomic()) << "the locks are released whatever the flags";
        EXPECT_FALSE(spin_is_locked(&a) || spin_is_locked(&b));
    }
    checkCritical_ = false;
}

}  // namespace
