// The block layer's contract: bdev binding, the partition remap, size checks, the
// resubmission loop, plugging, and bio allocation and completion.
#include "kernel/accounting.h"
#include "kernel/bio.h"
#include "kernel/blkdev.h"
#include "kernel/fault.h"
#include "kernel/fs.h"
#include "kernel/printk.h"
#include "kernel/super.h"
#include "tests/unit/drivers/block_fixture.h"

namespace {

using tav::test::BioWaiter;

class BlockLayerTest : public tav::test::PlatformTest {};

// A hook in front of a disk's driver, as a module installs one.
struct Hook {
    static inline std::atomic<int> calls{0};
    static inline std::atomic<int> resubmitFirst{0};  // return 1 this many times first
    static inline std::atomic<sector_t> lastSector{0};
    static inline std::atomic<struct block_device*> lastBdev{nullptr};
    static inline make_request_fn* real = nullptr;
    static int fn(request_queue_t* q, struct bio* bio) {
        calls++;
        lastSector = bio->bi_sector;
        lastBdev = bio->bi_bdev;
        if (resubmitFirst.load() > 0) {
            resubmitFirst--;
            return 1;
        }
        return real(q, bio);
    }
    static void install(request_queue_t* q) {
        calls = 0;
        resubmitFirst = 0;
        real = q->make_request_fn;
        unsigned long flags;
        spin_lock_irqsave(q->queue_lock, flags);
        q->make_request_fn = fn;
        spin_unlock_irqrestore(q->queue_lock, flags);
    }
};

// A bdev binds to its disk at its first open and unbinds at its last close; bdget alone
// never binds, not even a bdev fetched before its disk was added.
TEST_F(BlockLayerTest, BdevsBindToDisksAndPartitionsAtOpen) {
    char name[BDEVNAME_SIZE];
    struct block_device* stray = bdget(MKDEV(8, 18));  // before the disk exists
    EXPECT_EQ(blkdev_get(tav::kernel::bdgrab(stray), FMODE_READ, 0), -ENXIO) << "no disk owns 8:18 yet";
    EXPECT_EQ(tav::kernel::bdevReferences(MKDEV(8, 18)), 1) << "a failed open drops the reference it was given";
    {
        auto disk = tav::test::ramDisk(1000, {{63, 200, 2}, {300, 100, 1}}, "tdq", 8, 16, 4, false);
        struct block_device* whole = bdget(MKDEV(8, 16));
        EXPECT_EQ(whole, disk->bdev(0));
        EXPECT_EQ(stray, disk->bdev(2));
        EXPECT_EQ(stray->bd_disk, nullptr) << "adding the disk must not bind a bdev nobody opened";
        EXPECT_EQ(bdevSectors(stray), 0u);
        EXPECT_STREQ(bdevname(stray, name), "unknown-block(8,18)");

        ASSERT_EQ(blkdev_get(tav::kernel::bdgrab(stray), FMODE_READ, 0), 0);
        EXPECT_EQ(stray->bd_contains, whole);
        EXPECT_EQ(whole->bd_openers, 1) << "a partition's open holds its whole disk open";
        EXPECT_EQ(whole->bd_contains, whole);
        EXPECT_EQ(whole->bd_part, nullptr);
        EXPECT_EQ(get_capacity(whole->bd_disk), 1000u);
        EXPECT_STREQ(bdevname(whole, name), "tdq");
        ASSERT_NE(stray->bd_part, nullptr);
        EXPECT_EQ(stray->bd_part->start_sect, 63u);
        EXPECT_EQ(stray->bd_part->nr_sects, 200u);
        EXPECT_EQ(bdevSectors(stray), 200u);
        EXPECT_STREQ(bdevname(stray, name), "tdq2");
        EXPECT_EQ(whole->bd_disk->part[1], stray->bd_part) << "part[p-1] is partition p";

        // A second open only counts; the binding goes with the last close.
        ASSERT_EQ(blkdev_get(tav::kernel::bdgrab(stray), FMODE_READ, 0), 0);
        EXPECT_EQ(stray->bd_openers, 2);
        blkdev_put(stray);
        EXPECT_NE(stray->bd_disk, nullptr);
        blkdev_put(stray);
        EXPECT_EQ(stray->bd_disk, nullptr);
        EXPECT_EQ(stray->bd_part, nullptr);
        EXPECT_EQ(stray->bd_contains, nullptr);
        EXPECT_EQ(whole->bd_openers, 0);
        EXPECT_EQ(whole->bd_disk, nullptr) << "the partition's last close closes the whole disk too";

        struct block_device* missing = bdget(MKDEV(8, 19));
        EXPECT_EQ(blkdev_get(tav::kernel::bdgrab(missing), FMODE_READ, 0), -ENXIO) << "partition 3 does not exist";
        EXPECT_EQ(missing->bd_disk, nullptr);
        EXPECT_EQ(whole->bd_openers, 0) << "a failed partition open leaves the whole disk closed";
        int part = -1;
        EXPECT_EQ(get_gendisk(MKDEV(8, 19), &part), disk->disk());
        EXPECT_EQ(part, 3);
        EXPECT_EQ(get_gendisk(MKDEV(8, 20), &part), nullptr) << "minor 20 is past the disk's 4 minors";
        bdput(missing);
        bdput(whole);
        EXPECT_EQ(bdget(MKDEV(8, 16)), whole) << "one bdev per number";
        bdput(whole);

        // Open across the disk's removal: unbound at once, closed later without harm.
        ASSERT_EQ(blkdev_get(tav::kernel::bdgrab(stray), FMODE_READ, 0), 0);

        int err = 0;
        tav::DiskConfig dup;
        dup.name = "tdr";
        dup.major = 8;
        dup.firstMinor = 19;
        dup.sectors = 100;
        EXPECT_EQ(tav::Disk::create(dup, &err), nullptr);
        EXPECT_EQ(err, -EEXIST) << "minor 19 belongs to tdq";
        disk.reset();
        EXPECT_EQ(stray->bd_disk, nullptr) << "a disk that is gone leaves its open bdevs unbound";
        EXPECT_EQ(stray->bd_part, nullptr);
        blkdev_put(stray);
    }
    EXPECT_EQ(tav::kernel::bdevReferences(MKDEV(8, 16)), 0) << "the closes dropped every reference";
    EXPECT_EQ(tav::kernel::bdevReferences(MKDEV(8, 18)), 1);
    bdput(stray);
    EXPECT_EQ(tav::kernel::bdevReferences(MKDEV(8, 18)), 0);
}

// A driver that holds its devices open keeps them bound; a mount's own open is counted
// on top, and its unmount is the last close only when nothing else holds the device.
TEST_F(BlockLayerTest, MountHoldsTheDeviceOpen) {
    for (bool holdOpen : {true, false}) {
        SCOPED_TRACE(holdOpen ? "driver holds open" : "driver does not hold open");
        auto disk = tav::test::ramDisk(4096, {{64, 2048, 1}}, "tdq", 8, 16, 4, holdOpen);
        struct block_device* part = disk->bdev(1);
        EXPECT_EQ(part->bd_disk != nullptr, holdOpen);
        tav::kernel::TavfsOptions o;
        o.blockSize = 4096;
        o.writebackDelayMs = 0;
        struct super_block* sb = nullptr;
        ASSERT_EQ(tav::kernel::tavfsMount(part, o, &sb), 0);
        EXPECT_EQ(part->bd_openers, holdOpen ? 2 : 1);
        EXPECT_EQ(part->bd_disk, disk->disk());
        EXPECT_EQ(tav::kernel::tavfsMount(part, o, &sb), -EBUSY);
        EXPECT_EQ(part->bd_openers, holdOpen ? 2 : 1) << "a refused mount closes what it opened";
        ASSERT_EQ(tav::kernel::tavfsUnmount(sb), 0);
        EXPECT_EQ(part->bd_openers, holdOpen ? 1 : 0);
        EXPECT_EQ(part->bd_disk != nullptr, holdOpen) << "unmount is the last close only without the driver's";
        EXPECT_EQ(disk->bdev(0)->bd_disk != nullptr, holdOpen);
    }
}

TEST_F(BlockLayerTest, PartitionBiosAreRemappedAndBoundsChecked) {
    auto disk = tav::test::ramDisk(1000, {{63, 200, 1}});
    Hook::install(disk->queue());
    struct page* page = alloc_page(GFP_KERNEL);
    BioWaiter w;

    w.expect(1);
    submit_bio(WRITE, tav::test::pageBio(disk->bdev(1), 10, page, 4096, 0, &w));
    ASSERT_TRUE(w.wait());
    EXPECT_EQ(w.errors.at(0), 0);
    EXPECT_EQ(Hook::lastSector.load(), 73u) << "partition sector 10 is disk sector 63 + 10";
    EXPECT_EQ(Hook::lastBdev.load(), disk->bdev(0)) << "the driver must see the whole disk";
    EXPECT_EQ(disk->bdev(1)->bd_part->writes, 1u);

    // Last 8 sectors of the partition fit; one sector further does not.
    w.expect(1);
    submit_bio(READ, tav::test::pageBio(disk->bdev(1), 192, page, 4096, 0, &w));
    ASSERT_TRUE(w.wait());
    EXPECT_EQ(w.errors.at(1), 0);
    BioWaiter pastEnd;
    pastEnd.expect(1);
    struct bio* past = tav::test::pageBio(disk->bdev(1), 193, page, 4096, 0, &pastEnd);
    bio_get(past);
    submit_bio(READ, past);
    ASSERT_TRUE(pastEnd.wait());
    EXPECT_EQ(pastEnd.errors.at(0), -EIO);
    EXPECT_TRUE(bio_flagged(past, BIO_EOF));
    bio_put(past);
    EXPECT_EQ(Hook::calls.load(), 2) << "a bio past the end must not reach the queue";
    EXPECT_TRUE(tav::kernel::logContains("attempt to access beyond end of device"));

    // A number without a disk: ended at once, never queued.
    struct block_device* nowhere = bdget(MKDEV(200, 0));
    w.expect(1);
    generic_make_request(tav::test::pageBio(nowhere, 0, page, 512, 0, &w));
    EXPECT_TRUE(w.done()) << "ended synchronously, as the kernel does";
    EXPECT_EQ(w.errors.at(2), -EIO);
    EXPECT_TRUE(tav::kernel::logContains("Trying to access nonexistent block-device"));
    bdput(nowhere);
    __free_page(page);
}

TEST_F(BlockLayerTest, NonZeroFromMakeRequestResubmits) {
    auto disk = tav::test::ramDisk(100, {{10, 50, 1}});
    Hook::install(disk->queue());
    Hook::resubmitFirst = 2;
    struct page* page = alloc_page(GFP_KERNEL);
    BioWaiter w;
    w.expect(1);
    generic_make_request(tav::test::pageBio(disk->bdev(1), 5, page, 512, 0, &w));
    ASSERT_TRUE(w.wait());
    EXPECT_EQ(Hook::calls.load(), 3);
    EXPECT_EQ(Hook::lastSector.load(), 15u) << "the remap happens once, not per resubmission";
    __free_page(page);
}

TEST_F(BlockLayerTest, PluggedBiosWaitForAnUnplugOrTheBatchCap) {
    tav::DiskConfig c;
    c.name = "tdp";
    c.sectors = 1024;
    c.plugBatch = 8;
    auto disk = tav::Disk::create(c);
    ASSERT_TRUE(disk);
    disk->queue()->unplug_delay = 600000;  // keep the timer out of this test
    std::vector<struct page*> pages;
    for (int i = 0; i < 8; ++i) pages.push_back(alloc_page(GFP_KERNEL));
    BioWaiter w;

    w.expect(7);
    for (int i = 0; i < 7; ++i) submit_bio(READ, tav::test::pageBio(disk->bdev(0), i * 8, pages[i], 4096, 0, &w));
    EXPECT_EQ(disk->stats().transfers, 0) << "seven bios stay plugged";
    EXPECT_TRUE(blk_queue_plugged(disk->queue()));
    blk_run_queues();
    ASSERT_TRUE(w.wait());
    EXPECT_EQ(disk->stats().transfers, 1) << "the unplug sends them as one merged transfer";
    EXPECT_EQ(disk->stats().mergedBios, 6);
    EXPECT_FALSE(blk_queue_plugged(disk->queue()));

    w.expect(8);
    for (int i = 0; i < 8; ++i) submit_bio(READ, tav::test::pageBio(disk->bdev(0), 100 + i * 8, pages[i], 4096, 0, &w));
    EXPECT_TRUE(w.wait()) << "the eighth bio reaches the batch cap and unplugs";

    disk->queue()->unplug_delay = 1;
    w.expect(1);
    submit_bio(READ, tav::test::pageBio(disk->bdev(0), 0, pages[0], 4096, 0, &w));
    EXPECT_TRUE(w.wait(std::chrono::seconds(5))) << "the unplug timer must dispatch a lone bio";
    for (struct page* p : pages) __free_page(p);
}

// generic_unplug_device runs the driver only for a plugged, not stopped queue; a queue
// without a queue_lock (a bio-based driver's) is unplugged through its own unplug_fn, and
// generic_unplug_device on it is fatal.
TEST_F(BlockLayerTest, GenericUnplugNeedsAQueueLockAndAPlug) {
    for (bool locked : {true, false}) {
        SCOPED_TRACE(locked ? "queue_lock" : "no queue_lock");
        tav::DiskConfig c;
        c.name = locked ? "tdu" : "tdv";
        c.sectors = 1024;
        c.queueLock = locked;
        auto disk = tav::Disk::create(c);
        ASSERT_TRUE(disk);
        request_queue_t* q = disk->queue();
        EXPECT_EQ(q->queue_lock != nullptr, locked);
        q->unplug_delay = 600000;
        struct page* page = alloc_page(GFP_KERNEL);
        BioWaiter w;
        w.expect(1);
        submit_bio(READ, tav::test::pageBio(disk->bdev(0), 8, page, 4096, 0, &w));
        ASSERT_TRUE(blk_queue_plugged(q));
        if (locked) {
            set_bit(QUEUE_FLAG_STOPPED, &q->queue_flags);
            generic_unplug_device(q);
            EXPECT_TRUE(blk_queue_plugged(q)) << "a stopped queue keeps its plug";
            clear_bit(QUEUE_FLAG_STOPPED, &q->queue_flags);
            generic_unplug_device(q);
        } else {
            EXPECT_DEATH(generic_unplug_device(q), "");
            q->unplug_fn(q);
        }
        ASSERT_TRUE(w.wait());
        EXPECT_FALSE(blk_queue_plugged(q));
        EXPECT_EQ(disk->stats().transfers, 1);
        __free_page(page);
    }
}

void countingDestructor(struct bio* bio);
std::atomic<int> destructed{0};
void countingDestructor(struct bio* bio) {
    destructed++;
    bio->bi_destructor = nullptr;
}

TEST_F(BlockLayerTest, BioAllocationCountsAndFaults) {
    struct bio* bio = bio_alloc(GFP_NOIO, 3);
    ASSERT_NE(bio, nullptr);
    EXPECT_TRUE(bio_flagged(bio, BIO_UPTODATE));
    EXPECT_EQ(atomic_read(&bio->bi_cnt), 1);
    EXPECT_EQ(bio->bi_max_vecs, 4u) << "served from the 4-vector pool";
    EXPECT_EQ(bio->bi_vcnt, 0);
    EXPECT_EQ(tav::kernel::live().bios.load(), before_.bios + 1);
    bio_get(bio);
    bio_put(bio);
    EXPECT_EQ(tav::kernel::live().bios.load(), before_.bios + 1) << "freed while a reference was held";
    bio_put(bio);
    EXPECT_EQ(tav::kernel::live().bios.load(), before_.bios);

    EXPECT_EQ(bio_alloc(GFP_NOIO, BIO_MAX_PAGES + 1), nullptr);
    tav::fault::add(tav::fault::failNth(tav::fault::Site::BioAlloc, 2));
    struct bio* a = bio_alloc(GFP_NOIO, 1);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(bio_alloc(GFP_NOIO, 1), nullptr);
    EXPECT_EQ(tav::fault::fired(tav::fault::Site::BioAlloc), 1);
    tav::fault::add(tav::fault::failAllFromNow(tav::fault::Site::BioAlloc));
    struct bio* internal = tav::kernel::platformBioAlloc(1);
    EXPECT_EQ(tav::fault::fired(tav::fault::Site::BioAlloc), 1) << "platform bios bypass the fault plan";

    // A caller's destructor replaces the default one.
    destructed = 0;
    void (*saved)(struct bio*) = a->bi_destructor;
    a->bi_destructor = countingDestructor;
    bio_put(a);
    EXPECT_EQ(destructed.load(), 1);
    saved(a);
    bio_put(internal);
}

struct EndIoRecord {
    unsigned bytes = 0;
    int error = 1;
    int calls = 0;
};

int recordEndIo(struct bio* bio, unsigned int bytes, int error) {
    auto* r = static_cast<EndIoRecord*>(bio->bi_private);
    r->bytes = bytes;
    r->error = error;
    r->calls++;
    return bio->bi_size ? 1 : 0;
}

TEST_F(BlockLayerTest, BioEndioAccountsPartialCompletion) {
    struct page* page = alloc_page(GFP_KERNEL);
    struct bio* bio = bio_alloc(GFP_NOIO, 1);
    EXPECT_EQ(bio_add_page(bio, page, 2048, 3072), 0) << "a vector may not cross its page";
    EXPECT_EQ(bio_add_page(bio, page, 2048, 0), 2048);
    EXPECT_EQ(bio_add_page(bio, page, 512, 2048), 0) << "the bio has only 1 vector";
    bio->bi_sector = 100;
    EndIoRecord r;
    bio->bi_private = &r;
    bio->bi_end_io = recordEndIo;

    bio_endio(bio, 1024, 0);
    EXPECT_EQ(r.bytes, 1024u);
    EXPECT_EQ(bio->bi_size, 1024u);
    EXPECT_EQ(bio->bi_sector, 102u);
    EXPECT_TRUE(bio_flagged(bio, BIO_UPTODATE));
    bio_endio(bio, 4096, -EIO);  // more than is left: clamped, logged
    EXPECT_EQ(r.bytes, 1024u);
    EXPECT_EQ(r.error, -EIO);
    EXPECT_EQ(bio->bi_size, 0u);
    EXPECT_FALSE(bio_flagged(bio, BIO_UPTODATE));
    EXPECT_EQ(r.calls, 2);
    EXPECT_TRUE(tav::kernel::logContains("want 4096 bytes done, only 1024 left"));
    bio_put(bio);
    __free_page(page);
}

}  // namespace
