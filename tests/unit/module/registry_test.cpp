// The hook registry: partitions of one disk sharing one entry, queues without an entry
// and null queues, dropping a whole queue, allocation retries, a re-hook racing an
// unhook, and unload leaving no queue hooked.
#include <thread>

#include "tests/unit/module/automap_fixture.h"

namespace {

using tav::kernel::logContains;

class RegistryTest : public tav::test::HookTest {
protected:
    static void unregister(Backup* b) {  // as closing b's session does
        AutoMapSession s{};
        s.diskInfo = b->diskInfo;
        unSetMRFAMS(&s);
    }
};

TEST_F(RegistryTest, PartitionsOfOneDiskShareOneEntryUntilTheLastLeaves) {
    Backup* p1 = record(1);
    Backup* p2 = record(2);
    ASSERT_EQ(setMRF(p1, tavAMRF), 0);
    ASSERT_EQ(setMRF(p1, tavAMRF), 0);
    ASSERT_EQ(setMRF(p2, tavMRF), 0);
    EXPECT_EQ(registry(), (std::vector<std::vector<dev_t>>{{dev(1), dev(2)}}));
    EXPECT_EQ(queueFn(), &tavMRF) << "the most recently installed hook";
    EXPECT_EQ(getRealMRF(queue()), own_) << "saved once, before any hook";
    EXPECT_EQ(isInQueueList(queue(), dev(2)), 1);
    EXPECT_EQ(isInQueueList(queue(), dev(3)), 0);
    ASSERT_EQ(submit(3, 2, 2, 0x3c), 0);
    EXPECT_EQ(raw(3, 2, 2), filled(0x3c, 2)) << "other partitions pass through the hook";

    unregister(p1);
    EXPECT_EQ(queueFn(), &tavMRF) << "partition 2 still needs the hook";
    unregister(p2);
    EXPECT_EQ(queueFn(), own_);
    EXPECT_TRUE(registry().empty());
}

TEST_F(RegistryTest, QueuesWithoutAnEntryAndNullQueuesChangeNothing) {
    tav::Disk* other = addDisk("trg", 9, 0, 1);
    Backup* p1 = record(1);
    startSession(p1);
    ASSERT_EQ(setMRF(p1, tavAMRF), 0);
    EXPECT_EQ(getRealMRF(other->queue()), other->queue()->make_request_fn);
    EXPECT_EQ(countQueueAMS(other->queue()), 0) << "while the registry holds another queue";
    EXPECT_EQ(countQueueAMS(queue()), 1);
    unsetQueueMRFAMS(other->queue());
    EXPECT_EQ(queueFn(), &tavAMRF);

    EXPECT_EQ(getRealMRF(nullptr), nullptr);
    EXPECT_EQ(tav::kernel::logCount("<4>getRealMRF: Can't get MRF on NULL queue."), 1u);
    EXPECT_EQ(atomic_read(&queueListUsers), 1) << "the refused lookup left no user inside";
    addQueueToList(nullptr, dev(2));
    EXPECT_TRUE(logContains("<3>addQueueToList: Could not add queue to list (null)."));
    EXPECT_EQ(countQueueAMS(nullptr), 0);
    EXPECT_TRUE(logContains("<3>countQueueAMS: Could not count ams sessions for request queue because queue was null."));
    unsetQueueMRFAMS(nullptr);
    EXPECT_TRUE(logContains("<3>unsetQueueMRFAMS: Could not unset MRFS for request queue because queue was null."));
    auto lone = tav::getBdev(MKDEV(kMajor, 40));  // no disk owns 8:40
    Backup* none = record(2);
    none->diskInfo.kdev = MKDEV(kMajor, 40);
    none->diskInfo.bdev = lone.get();
    EXPECT_EQ(setMRF(none, tavAMRF), 1);
    unregister(none);
    EXPECT_TRUE(logContains("<4>unSetMRFDEV: Unable to get request queue for MAJOR=8, MINOR=40 while unsetting MRF."));
    EXPECT_EQ(registry(), (std::vector<std::vector<dev_t>>{{dev(1)}}));
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
}

TEST_F(RegistryTest, RegistryAllocationsAreRetriedUntilTheySucceed) {
    tav::fault::Rule rule = tav::fault::failNth(tav::fault::Site::Kmalloc, 1);
    rule.times = 3;
    tav::fault::add(rule);
    Backup* p2 = record(2);
    ASSERT_EQ(setMRF(p2, tavAMRF), 0);
    EXPECT_EQ(tav::fault::fired(tav::fault::Site::Kmalloc), 3);
    EXPECT_EQ(registry(), (std::vector<std::vector<dev_t>>{{dev(2)}}));
    unregister(p2);
    EXPECT_EQ(queueFn(), own_);
}

// A re-hook (a backup's close) racing an unhook (its failed copy): a hook left on the
// queue without its entry would take itself for the real function. Holding the queue lock
// stops both at their swap of make_request_fn, the re-hook first; an install made outside
// the registry loses to the unhook about half the time.
TEST_F(RegistryTest, ARehookRacingAnUnhookNeverLeavesAHookWithoutItsEntry) {
    Backup* p2 = record(2);
    Backup* p3 = record(3);
    int strays = 0;
    for (int trial = 0; trial < 16; trial++) {
        ASSERT_EQ(setMRF(p3, tavAMRF), 0);
        unsigned long flags;
        spin_lock_irqsave(queue()->queue_lock, flags);
        std::thread rehook([&] { setMRF(p2, tavAMRF); });
        usleep(1000);
        std::thread unhook([&] { unsetQueueMRFAMS(queue()); });
        usleep(1000);
        spin_unlock_irqrestore(queue()->queue_lock, flags);
        rehook.join();
        unhook.join();
        if (queueFn() != own_ && registry().empty()) {
            strays++;
            queue()->make_request_fn = own_;
        }
        unsetQueueMRFAMS(queue());
    }
    EXPECT_EQ(strays, 0);
    ASSERT_EQ(submit(2, 1, 1, 0x21), 0);
    EXPECT_EQ(raw(2, 1), filled(0x21));
}

TEST_F(RegistryTest, UnloadGivesEveryQueueItsOwnFunctionBack) {
    Backup* b[4] = {nullptr, record(1), record(2), record(3)};
    startSession(b[1]);
    startSession(b[2]);
    for (int p = 1; p <= 3; p++) ASSERT_EQ(setMRF(b[p], tavAMRF), 0);  // 3: no session, as a backup leaves it
    ASSERT_EQ(tav::unloadModule(), 0);
    EXPECT_EQ(queueFn(), own_);
    EXPECT_TRUE(registry().empty());
}

}  // namespace
