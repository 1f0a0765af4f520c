// Buffer heads: allocation and faults, the lock/wait protocol across threads, the
// unplug in wait_on_buffer, and submit_bh.
#include <chrono>
#include <future>
#include <thread>

#include "kernel/accounting.h"
#include "kernel/buffer_head.h"
#include "kernel/fault.h"
#include "kernel/sched.h"
#include "tests/unit/drivers/block_fixture.h"

namespace {

class BufferHeadTest : public tav::test::PlatformTest {};

TEST_F(BufferHeadTest, AllocationIsCountedAndFaultable) {
    struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
    ASSERT_NE(bh, nullptr);
    EXPECT_EQ(bh->b_state, 0u);
    EXPECT_TRUE(list_empty(&bh->b_assoc_buffers));
    EXPECT_EQ(tav::kernel::live().bufferHeads.load(), before_.bufferHeads + 1);
    struct page* page = alloc_page(GFP_KERNEL);
    set_bh_page(bh, page, 1024);
    EXPECT_EQ(bh->b_data, static_cast<char*>(page_address(page)) + 1024);
    EXPECT_EQ(bh_offset(bh), 1024u);
    free_buffer_head(bh);
    __free_page(page);

    tav::fault::add(tav::fault::failNth(tav::fault::Site::AllocBufferHead, 1));
    EXPECT_EQ(alloc_buffer_head(GFP_NOIO), nullptr);
    EXPECT_EQ(tav::fault::fired(tav::fault::Site::AllocBufferHead), 1);
}

TEST_F(BufferHeadTest, UnlockWakesWaitersOnOtherThreads) {
    struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
    get_bh(bh);
    lock_buffer(bh);
    ASSERT_TRUE(buffer_locked(bh));
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            wait_on_buffer(bh);
            EXPECT_TRUE(buffer_uptodate(bh)) << "woken before the holder's work was visible";
            woken++;
        });
    // The second locker must wait for the first holder too.
    auto locker = std::async(std::launch::async, [&] {
        lock_buffer(bh);
        unlock_buffer(bh);
    });
    EXPECT_EQ(locker.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
    EXPECT_EQ(woken.load(), 0);
    set_buffer_uptodate(bh);
    unlock_buffer(bh);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), 3);
    EXPECT_EQ(locker.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    put_bh(bh);
    free_buffer_head(bh);
}

// The read that a waiter needs sits plugged in a queue whose timer will not fire:
// wait_on_buffer must unplug it itself.
TEST_F(BufferHeadTest, WaitOnBufferUnplugsAndSubmitBhCompletes) {
    tav::DiskConfig c;
    c.name = "tdb";
    c.sectors = 256;
    c.partitions = {{16, 128, 1}};
    auto disk = tav::Disk::create(c);
    ASSERT_TRUE(disk);
    disk->queue()->unplug_delay = 600000;
    auto data = tav::test::pattern(16 + 8, 2048);
    ASSERT_EQ(disk->writeRaw(16 + 8, data.data(), data.size()), 0);

    struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
    struct page* page = alloc_page(GFP_KERNEL);
    set_bh_page(bh, page, 2048);
    bh->b_bdev = disk->bdev(1);
    bh->b_blocknr = 2;  // 2048-byte blocks: partition sectors 8..11
    bh->b_size = 2048;
    bh->b_end_io = end_buffer_read_sync;
    set_buffer_mapped(bh);
    lock_buffer(bh);
    get_bh(bh);
    EXPECT_EQ(submit_bh(READ, bh), 0);
    EXPECT_EQ(disk->stats().transfers, 0) << "the read must still be plugged here";

    auto waiter = std::async(std::launch::async, [bh] { wait_on_buffer(bh); });
    auto status = waiter.wait_for(std::chrono::seconds(10));
    if (status != std::future_status::ready) blk_run_queues();  // let the waiter go
    ASSERT_EQ(status, std::future_status::ready) << "wait_on_buffer slept without unplugging";
    EXPECT_TRUE(buffer_uptodate(bh));
    EXPECT_TRUE(buffer_req(bh));
    EXPECT_EQ(std::memcmp(bh->b_data, data.data(), 2048), 0);
    // end_buffer_read_sync unlocks and then drops the submit reference, so the waiter may
    // run before the drop.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (atomic_read(&bh->b_count) != 0 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    EXPECT_EQ(atomic_read(&bh->b_count), 0) << "end_buffer_read_sync drops the submit reference";

    // A failed write clears uptodate and marks the write error.
    disk->failSectors(16 + 8, 16 + 8, tav::IoDir::Write);
    bh->b_end_io = end_buffer_write_sync;
    lock_buffer(bh);
    get_bh(bh);
    submit_bh(WRITE, bh);
    wait_on_buffer(bh);
    EXPECT_FALSE(buffer_uptodate(bh));
    EXPECT_TRUE(buffer_write_io_error(bh));
    free_buffer_head(bh);
    __free_page(page);
}

// A completion that unlocks and only then drops its reference, while the waiter frees the
// buffer in between (the block reader's pattern): the late put_bh must hit live memory.
// Sanitizer builds bypass the object caches, so a premature reuse shows as a use-after-free.
struct LateDrop {
    static inline std::atomic<int> freed{0};
    static void endIo(struct buffer_head* bh, int uptodate) {
        if (uptodate) set_buffer_uptodate(bh);
        int before = freed.load();
        unlock_buffer(bh);
        while (freed.load() == before) std::this_thread::yield();  // the waiter frees it now
        put_bh(bh);
    }
};

TEST_F(BufferHeadTest, BuffersFreedWhileTheirCompletionRunsStayValid) {
    auto disk = tav::test::ramDisk(1024);
    struct page* page = alloc_page(GFP_KERNEL);
    LateDrop::freed = 0;
    for (int i = 0; i < 300; ++i) {  // several deferred-free batches
        struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
        set_bh_page(bh, page, 0);
        bh->b_bdev = disk->bdev(0);
        bh->b_blocknr = static_cast<sector_t>(i % 128);
        bh->b_size = 4096;
        bh->b_end_io = LateDrop::endIo;
        set_buffer_mapped(bh);
        lock_buffer(bh);
        get_bh(bh);
        submit_bh(READ, bh);
        wait_on_buffer(bh);
        ASSERT_TRUE(buffer_uptodate(bh));
        free_buffer_head(bh);
        LateDrop::freed++;
    }
    disk.reset();  // the completion thread ends its last callback
    __free_page(page);
    EXPECT_EQ(tav::kernel::live().bufferHeads.load(), before_.bufferHeads);
}

}  // namespace
