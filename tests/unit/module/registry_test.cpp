// The hook registry: partitions of one disk sharing one entry, lookups of queues with and
// without an entry, dropping a whole queue, the null-queue reports, allocation retries,
// a re-hook racing an unhook, and unload leaving no queue hooked.
#include <atomic>
#include <thread>

#include "tests/unit/module/automap_fixture.h"

namespace {

using tav::kernel::logCount;
using tav::kernel::logContains;

class RegistryTest : public tav::test::HookTest {
protected:
    // Unregisters b's device as closing its session does.
    static void unregister(Backup* b) {
        AutoMapSession s{};
        s.diskInfo = b->diskInfo;
        unSetMRFAMS(&s);
    }
};

TEST_F(RegistryTest, PartitionsOfOneDiskShareOneEntryUntilTheLastLeaves) {
    Backup* p1 = record(1);
    Backup* p2 = record(2);
    ASSERT_EQ(setMRF(p1, tavAMRF), 0);
    ASSERT_EQ(setMRF(p1, tavAMRF), 0) << "a second hook of the same device";
    ASSERT_EQ(setMRF(p2, tavMRF), 0);

    auto reg = registry();
    ASSERT_EQ(reg.size(), 1u);
    EXPECT_EQ(reg[0].q, queue());
    EXPECT_EQ(reg[0].realMRF, own_) << "saved once, before any hook";
    EXPECT_EQ(reg[0].devs, (std::vector<dev_t>{dev(1), dev(2)}));
    EXPECT_EQ(queueFn(), &tavMRF) << "the most recently installed hook";
    EXPECT_EQ(getRealMRF(queue()), own_);
    EXPECT_EQ(isInQueueList(queue(), dev(2)), 1);
    EXPECT_EQ(isInQueueList(queue(), dev(3)), 0);

    ASSERT_EQ(submit(3, 2, 2, 0x3c), 0) << "an unregistered partition of the disk goes through the hook";
    EXPECT_EQ(raw(3, 2, 2), filled(0x3c, 2));

    unregister(p1);
    EXPECT_EQ(queueFn(), &tavMRF) << "partition 2 still needs the hook";
    ASSERT_EQ(registry().size(), 1u);
    EXPECT_EQ(registry()[0].devs, std::vector<dev_t>{dev(2)});
    unregister(p2);
    EXPECT_EQ(queueFn(), own_);
    EXPECT_TRUE(registry().empty());
}

TEST_F(RegistryTest, LookupsAnswerForTheirOwnQueueOnly) {
    tav::Disk* other = addDisk("trg", 9, 0, 4, {{64, 4096, 1}});
    make_request_fn* othersOwn = other->queue()->make_request_fn;
    Backup* p1 = record(1);
    startSession(p1);
    ASSERT_EQ(setMRF(p1, tavAMRF), 0);

    EXPECT_EQ(getRealMRF(other->queue()), othersOwn) << "an unhooked queue's own function";
    EXPECT_EQ(countQueueAMS(other->queue()), 0) << "while the registry holds another queue";
    EXPECT_EQ(isInQueueList(other->queue(), dev(1)), 0);
    EXPECT_EQ(countQueueAMS(queue()), 1);
    unsetQueueMRFAMS(other->queue());
    EXPECT_EQ(queueFn(), &tavAMRF) << "unsetting a queue without an entry touches no other";
    EXPECT_EQ(registry().size(), 1u);
}

TEST_F(RegistryTest, UnsettingAQueueDropsEveryDeviceAndItsSessionsFallOutOfSync) {
    Backup* b[4] = {nullptr, record(1), record(2), record(3)};
    AutoMapSession* s1 = startSession(b[1]);
    AutoMapSession* s3 = startSession(b[3]);
    for (int p = 1; p <= 3; p++) ASSERT_EQ(setMRF(b[p], tavAMRF), 0);
    EXPECT_EQ(countQueueAMS(queue()), 2);

    unsetQueueMRFAMS(queue());
    EXPECT_EQ(amsState(s1), static_cast<unsigned>(AMS_NOT_IN_SYNC));
    EXPECT_EQ(amsState(s3), static_cast<unsigned>(AMS_NOT_IN_SYNC));
    EXPECT_TRUE(registry().empty());
    EXPECT_EQ(queueFn(), own_);
    EXPECT_EQ(countQueueAMS(queue()), 0);
    EXPECT_EQ(closeAMS(b[1]), 0) << "a session outlives its queue's entry";
    EXPECT_EQ(queueFn(), own_);
}

TEST_F(RegistryTest, NullQueuesAreReportedAndChangeNothing) {
    auto lone = tav::getBdev(MKDEV(kMajor, 40));  // a number no disk owns
    Backup* none = record(1);
    none->diskInfo.kdev = MKDEV(kMajor, 40);
    none->diskInfo.bdev = lone.get();

    EXPECT_EQ(getRealMRF(nullptr), nullptr);
    EXPECT_EQ(logCount("<4>getRealMRF: Can't get MRF on NULL queue."), 1u);
    EXPECT_EQ(atomic_read(&queueListUsers), 1) << "the refused lookup left no user inside";
    addQueueToList(nullptr, dev(1));
    EXPECT_TRUE(logContains("<3>addQueueToList: Could not add queue to list (null)."));
    EXPECT_EQ(countQueueAMS(nullptr), 0);
    EXPECT_TRUE(logContains("<3>countQueueAMS: Could not count ams sessions for request queue because queue was null."));
    unsetQueueMRFAMS(nullptr);
    EXPECT_TRUE(logContains("<3>unsetQueueMRFAMS: Could not unset MRFS for request queue because queue was null."));
    EXPECT_EQ(isInQueueList(nullptr, dev(1)), 0);
    EXPECT_EQ(isInDevList(nullptr, dev(1)), 0);
    size_t lines = tav::kernel::logLines().size();
    EXPECT_EQ(setMRF(none, tavAMRF), 1);
    EXPECT_EQ(tav::kernel::logLines().size(), lines) << "setMRF reports nothing itself";
    unregister(none);
    EXPECT_TRUE(logContains("<4>unSetMRFDEV: Unable to get request queue for MAJOR=8, MINOR=40 while unsetting MRF."));
    EXPECT_TRUE(registry().empty());

    addQueueToList(queue(), dev(1));
    EXPECT_EQ(isInQueueList(queue(), dev(1)), 1) << "not held up by the refused lookups";
    EXPECT_EQ(queueFn(), own_) << "registering alone installs no hook";
}

TEST_F(RegistryTest, RegistryAllocationsAreRetriedUntilTheySucceed) {
    Backup* p2 = record(2);
    tav::fault::Rule rule = tav::fault::failNth(tav::fault::Site::Kmalloc, 1);
    rule.times = 3;
    tav::fault::add(rule);
    ASSERT_EQ(setMRF(p2, tavAMRF), 0);
    EXPECT_EQ(tav::fault::fired(tav::fault::Site::Kmalloc), 3);
    EXPECT_EQ(queueFn(), &tavAMRF);
    ASSERT_EQ(registry().size(), 1u);
    EXPECT_EQ(registry()[0].devs, std::vector<dev_t>{dev(2)});
    unregister(p2);
    EXPECT_EQ(queueFn(), own_);
}

// A re-hook (the backup's close) racing an unhook (its failed copy): the hook must never
// stand on the queue without its entry, or it would take itself for the real function.
TEST_F(RegistryTest, ARehookRacingAnUnhookNeverLeavesAHookWithoutItsEntry) {
    Backup* p2 = record(2);
    std::atomic<bool> stop{false};
    std::atomic<long> mismatches{0}, writeErrors{0};
    std::thread checker([&] {
        while (!stop) {
            unsigned long flags;
            waitForQueueListUsers(&flags);
            bool hooked = queueFn() != own_;
            bool entry = !list_empty(&queueListHead);
            spin_unlock_irqrestore(&queueListUsersLock, flags);
            if (hooked && !entry) mismatches++;  // an entry alone is a registration in progress
        }
    });
    std::thread writer([&] {
        for (unsigned i = 0; !stop; i++)
            if (submit(3, i % 64, 1, static_cast<std::uint8_t>(i))) writeErrors++;
    });
    std::thread unhooker([&] {
        while (!stop) unsetQueueMRFAMS(queue());
    });
    for (int i = 0; i < 3000; i++) ASSERT_EQ(setMRF(p2, tavAMRF), 0);
    stop = true;
    unhooker.join();
    writer.join();
    checker.join();
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(writeErrors, 0);
    unsetQueueMRFAMS(queue());
    EXPECT_EQ(queueFn(), own_);
}

TEST_F(RegistryTest, UnloadGivesEveryQueueItsOwnFunctionBack) {
    Backup* b[4] = {nullptr, record(1), record(2), record(3)};
    startSession(b[1]);
    startSession(b[2]);
    for (int p = 1; p <= 3; p++) ASSERT_EQ(setMRF(b[p], tavAMRF), 0);  // 3: a backup's leftover
    ASSERT_EQ(tav::unloadModule(), 0);
    EXPECT_EQ(queueFn(), own_);
    EXPECT_TRUE(registry().empty());
    EXPECT_EQ(slot(dev(1)), nullptr);
    EXPECT_EQ(slot(dev(2)), nullptr);
}

}  // namespace
