// Shared test checks: a fixture that starts each test with an empty log and no fault
// rules, and ends it by asserting that nothing leaked and nothing critical was logged.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "kernel/accounting.h"
#include "kernel/fault.h"
#include "kernel/printk.h"
#include "kernel/sched.h"

namespace tav::test {

// Polls until cond holds, every step; false once limit has passed, so a hang fails the
// test instead of blocking the suite.
template <class F>
bool eventually(F cond, std::chrono::milliseconds limit = std::chrono::seconds(5),
                std::chrono::microseconds step = std::chrono::microseconds(100)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

inline std::string criticalLines() {
    std::string out;
    for (auto& l : tav::kernel::logLinesAtMost(2)) out += l.text + "\n";
    return out;
}

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        tav::fault::clear();
        tav::kernel::clearLog();
        before_ = tav::kernel::liveSnapshot();
    }
    void TearDown() override {
        tav::fault::clear();
        if (checkCritical_) {
            EXPECT_EQ(criticalLines(), "") << "unexpected critical log lines";
        }
        if (checkLeaks_) expectNoLeaks();
    }
    // Everything the test allocated is back (threads may need a moment to finish).
    void expectNoLeaks() {
        tav::kernel::waitForKernelThreads(5000);
        auto now = tav::kernel::liveSnapshot();
        EXPECT_EQ(now.pages, before_.pages) << now.describe();
        EXPECT_EQ(now.kmallocBlocks, before_.kmallocBlocks) << now.describe();
        EXPECT_EQ(now.vmallocBlocks, before_.vmallocBlocks) << now.describe();
        EXPECT_EQ(now.slabObjects, before_.slabObjects) << now.describe();
        EXPECT_EQ(now.slabCaches, before_.slabCaches) << now.describe();
        EXPECT_EQ(now.bios, before_.bios) << now.describe();
        EXPECT_EQ(now.bufferHeads, before_.bufferHeads) << now.describe();
        EXPECT_EQ(now.kernelThreads, before_.kernelThreads) << now.describe();
    }
    // A live counter once it reaches want, or its value after 5 s. A driver's completion
    // drops its last references just after it wakes the waiter.
    template <class Counter>
    static long settled(const Counter& counter, long want) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (counter.load() != want && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        return counter.load();
    }
    bool checkCritical_ = true;
    bool checkLeaks_ = true;
    tav::kernel::LiveSnapshot before_{};
};

}  // namespace tav::test
