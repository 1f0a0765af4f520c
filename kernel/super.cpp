// Super blocks, freeze/thaw, and tavfs (the emulated file system with a write-back cache).
#include "kernel/super.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <unordered_map>
#include <vector>

#include "kernel/bio.h"
#include "kernel/blkdev.h"
#include "kernel/fault.h"
#include "kernel/fs.h"
#include "kernel/hostfs.h"
#include "kernel/mm.h"
#include "kernel/printk.h"
#include "kernel/sched.h"

namespace {

using Clock = std::chrono::steady_clock;

std::mutex sbLock;                       // sb_lock: leaf
std::vector<super_block*> superBlocks;   // guarded by sbLock: mounted file systems

// Pages for direct (uncached) I/O: one bio of at most this many.
constexpr unsigned kDirectPages = BIO_MAX_PAGES;

struct CacheEntry {
    struct page* page;
    bool dirty = false;
    bool writeback = false;  // a write bio owns the page until it completes
    Clock::time_point dirtiedAt{};
};

struct Tavfs {
    super_block* sb = nullptr;
    struct block_device* bdev = nullptr;
    tav::kernel::TavfsOptions options;
    unsigned blockSize = 0;
    unsigned sectorsPerBlock = 0;
    u64 blocks = 0;

    std::mutex lock;              // the cache lock; see kernel/super.h
    std::condition_variable cv;   // write-back done, writers gone, cache space
    std::unordered_map<u64, CacheEntry> cache;  // guarded by lock
    std::vector<struct page*> freePages;        // guarded by lock
    std::vector<struct page*> cachePages;       // all of them; set at mount
    long inFlight = 0;            // guarded by lock: write-back bios not completed
    int activeWriters = 0;        // guarded by lock: writers past the frozen check
    int pendingError = 0;         // guarded by lock: a failed write-back since the last sync
    tav::kernel::TavfsStats stats{};                    // guarded by lock
    std::function<void(super_block*)> freezeSyncPoint;  // guarded by lock

    std::mutex directLock;                  // serialises direct I/O (owns directPages)
    std::vector<struct page*> directPages;  // set at mount

    std::thread flusher;
    bool stopFlusher = false;     // guarded by lock
    std::condition_variable flusherCv;
};

Tavfs* fsOf(super_block* sb) { return static_cast<Tavfs*>(sb->s_fs_info); }

void freePages(std::vector<struct page*>& pages) {
    for (struct page* p : pages) __free_page(p);
    pages.clear();
}

void putSuper(super_block* sb) {
    bool last;
    {
        std::lock_guard lk(sbLock);
        last = --sb->s_count == 0;
    }
    if (!last) return;
    if (tav::kernel::isHostSuper(sb)) {
        tav::kernel::hostfsFreeSuper(sb);
        return;
    }
    Tavfs* fs = fsOf(sb);
    delete fs;
    delete sb;
}

// A synchronous one-bio transfer of bytes at a sector of bdev through the pages given.
struct SyncWait {
    std::mutex lock;
    std::condition_variable cv;
    std::atomic<bool> done{false};  // set under lock, polled without it
    int error = 0;                  // guarded by lock; read once done
};

int syncEndIo(struct bio* bio, unsigned int, int err) {
    if (bio->bi_size) return 1;
    auto* w = static_cast<SyncWait*>(bio->bi_private);
    std::lock_guard lk(w->lock);
    w->error = test_bit(BIO_UPTODATE, &bio->bi_flags) ? 0 : (err ? err : -EIO);
    w->done.store(true, std::memory_order_release);
    w->cv.notify_all();
    return 0;
}

/* Process context; may sleep. */
int pageIo(struct block_device* bdev, int rw, sector_t sector, void* buf, size_t bytes,
           std::vector<struct page*>& pages) {
    size_t npages = (bytes + PAGE_SIZE - 1) / PAGE_SIZE;
    if (npages > pages.size() || bytes == 0 || bytes % 512) return -EINVAL;
    struct bio* bio = tav::kernel::platformBioAlloc(static_cast<int>(npages));
    for (size_t i = 0; i < npages; ++i) {
        size_t len = std::min<size_t>(PAGE_SIZE, bytes - i * PAGE_SIZE);
        if (rw == WRITE) std::memcpy(page_address(pages[i]), static_cast<char*>(buf) + i * PAGE_SIZE, len);
        bio->bi_io_vec[i] = {pages[i], static_cast<unsigned>(len), 0};
    }
    bio->bi_vcnt = static_cast<unsigned short>(npages);
    bio->bi_size = static_cast<unsigned>(bytes);
    bio->bi_sector = sector;
    bio->bi_bdev = bdev;
    bio->bi_end_io = syncEndIo;
    SyncWait w;
    bio->bi_private = &w;
    submit_bio(rw, bio);
    blk_run_queues();
    int err;
    {
        tav::kernel::pollBriefly([&] { return w.done.load(std::memory_order_acquire); });
        std::unique_lock lk(w.lock);
        w.cv.wait(lk, [&] { return w.done.load(std::memory_order_relaxed); });
        err = w.error;
    }
    bio_put(bio);
    if (!err && rw != WRITE)
        for (size_t i = 0; i < npages; ++i)
            std::memcpy(static_cast<char*>(buf) + i * PAGE_SIZE, page_address(pages[i]),
                        std::min<size_t>(PAGE_SIZE, bytes - i * PAGE_SIZE));
    return err;
}

int directIo(Tavfs* fs, int rw, u64 block, unsigned count, void* data) {
    std::lock_guard lk(fs->directLock);
    return pageIo(fs->bdev, rw, block * fs->sectorsPerBlock, data, size_t{count} * fs->blockSize, fs->directPages);
}

// ext3 writes metadata synchronously from the task that freezes or thaws: when it
// freezes, its journal (journal_flush) and then its super block, marked clean; when it
// thaws, before writers may go on, the super block again, marked as needing recovery.
// tavfs rewrites the same blocks with their present bytes: whoever watches the queue sees
// the writes, and what the fs holds stays as it was. A failed write counts as a
// write-back error.
void writeMetadata(Tavfs* fs, bool withJournal) {
    if (!fs->options.freezeWrites) return;
    u64 superBlock = 1024 / fs->blockSize;
    u64 journalBlock = fs->blocks / 2;
    std::vector<u64> blocks;
    if (withJournal) blocks.push_back(journalBlock);
    blocks.push_back(superBlock);
    std::vector<char> buf(fs->blockSize);
    for (u64 b : blocks) {
        if (b >= fs->blocks) continue;
        bool cached = false;
        {
            std::lock_guard lk(fs->lock);
            auto it = fs->cache.find(b);
            if (it != fs->cache.end()) {
                std::memcpy(buf.data(), page_address(it->second.page), fs->blockSize);
                cached = true;
            }
        }
        int err = cached ? 0 : directIo(fs, READ, b, 1, buf.data());
        if (!err) err = directIo(fs, WRITE, b, 1, buf.data());
        if (err) {
            std::lock_guard lk(fs->lock);
            fs->stats.writeErrors++;
            fs->pendingError = -EIO;
            printk(KERN_ERR "Buffer I/O error on device %s, logical block %llu\n", fs->sb->s_id,
                   static_cast<unsigned long long>(b));
        }
    }
}

// ---- write-back ----

struct WritebackCtx {
    Tavfs* fs;
    u64 first;
    unsigned count;
};

int writebackEndIo(struct bio* bio, unsigned int, int) {
    if (bio->bi_size) return 1;
    auto* ctx = static_cast<WritebackCtx*>(bio->bi_private);
    Tavfs* fs = ctx->fs;
    bool ok = test_bit(BIO_UPTODATE, &bio->bi_flags);
    char name[sizeof(fs->sb->s_id)];
    std::memcpy(name, fs->sb->s_id, sizeof(name));
    {
        // Once inFlight drops, an unmount may free fs: nothing below touches it.
        std::lock_guard lk(fs->lock);
        for (unsigned i = 0; i < ctx->count; ++i) {
            auto it = fs->cache.find(ctx->first + i);
            if (it != fs->cache.end()) it->second.writeback = false;
        }
        if (!ok) {
            fs->stats.writeErrors += ctx->count;
            fs->pendingError = -EIO;
            // Logged before inFlight drops, so whoever waits for the write sees the line.
            printk(KERN_ERR "Buffer I/O error on device %s, logical block %llu\n", name,
                   static_cast<unsigned long long>(ctx->first));
        }
        --fs->inFlight;
        fs->cv.notify_all();
    }
    delete ctx;
    bio_put(bio);
    return 0;
}

// Sends the dirty blocks (only those older than the write-back delay when aged) as write
// bios of adjacent blocks. Process context; the cache lock is not held.
void writeback(Tavfs* fs, bool aged) {
    struct Run {
        u64 first;
        std::vector<struct page*> pages;
    };
    std::vector<Run> runs;
    request_queue_t* q = bdev_get_queue(fs->bdev);
    size_t maxBytes = std::min<size_t>(BIO_MAX_SIZE, q ? size_t{q->max_sectors} * 512 : BIO_MAX_SIZE);
    size_t maxBlocks = std::max<size_t>(1, maxBytes / fs->blockSize);
    {
        std::lock_guard lk(fs->lock);
        auto cutoff = Clock::now() - std::chrono::milliseconds(fs->options.writebackDelayMs);
        std::vector<u64> blocks;
        for (auto& [b, e] : fs->cache)
            if (e.dirty && !e.writeback && (!aged || e.dirtiedAt <= cutoff)) blocks.push_back(b);
        std::sort(blocks.begin(), blocks.end());
        for (u64 b : blocks) {
            CacheEntry& e = fs->cache[b];
            e.dirty = false;
            e.writeback = true;
            if (runs.empty() || runs.back().first + runs.back().pages.size() != b ||
                runs.back().pages.size() >= maxBlocks)
                runs.push_back({b, {}});
            runs.back().pages.push_back(e.page);
        }
        fs->inFlight += static_cast<long>(runs.size());
        fs->stats.writebackBios += static_cast<long>(runs.size());
        fs->stats.writebackBlocks += static_cast<long>(blocks.size());
    }
    for (Run& r : runs) {
        struct bio* bio = tav::kernel::platformBioAlloc(static_cast<int>(r.pages.size()));
        for (size_t i = 0; i < r.pages.size(); ++i) bio->bi_io_vec[i] = {r.pages[i], fs->blockSize, 0};
        bio->bi_vcnt = static_cast<unsigned short>(r.pages.size());
        bio->bi_size = static_cast<unsigned>(r.pages.size() * fs->blockSize);
        bio->bi_sector = r.first * fs->sectorsPerBlock;
        bio->bi_bdev = fs->bdev;
        bio->bi_end_io = writebackEndIo;
        bio->bi_private = new WritebackCtx{fs, r.first, static_cast<unsigned>(r.pages.size())};
        submit_bio(WRITE, bio);
    }
}

/* Process context; may sleep. Waits for every write-back bio in flight. */
void waitWriteback(Tavfs* fs) {
    blk_run_queues();
    std::unique_lock lk(fs->lock);
    fs->cv.wait(lk, [fs] { return fs->inFlight == 0; });
}

int syncFs(Tavfs* fs) {
    writeback(fs, false);
    waitWriteback(fs);
    std::lock_guard lk(fs->lock);
    int err = fs->pendingError;
    fs->pendingError = 0;
    return err;
}

void flusherMain(Tavfs* fs) {
    auto period = std::chrono::milliseconds(std::max(1u, fs->options.writebackDelayMs / 2));
    std::unique_lock lk(fs->lock);
    while (!fs->stopFlusher) {
        fs->flusherCv.wait_for(lk, period);
        if (fs->stopFlusher) break;
        if (fs->sb->s_frozen.load() != SB_UNFROZEN) continue;
        lk.unlock();
        writeback(fs, true);
        blk_run_queues();
        lk.lock();
    }
}

// Writers pass here: they wait while the fs is frozen and are counted, so freeze_bdev
// can wait for the ones already inside. 0, or -ENODEV once unmounted.
int enterWriter(Tavfs* fs) {
    super_block* sb = fs->sb;
    for (;;) {
        {
            std::unique_lock lk(sb->s_wait_lock);
            sb->s_wait_unfrozen.wait(lk, [sb] { return sb->s_frozen.load() == SB_UNFROZEN; });
        }
        std::lock_guard lk(fs->lock);
        if (!sb->s_root) return -ENODEV;
        if (sb->s_frozen.load() != SB_UNFROZEN) continue;
        ++fs->activeWriters;
        return 0;
    }
}

void leaveWriter(Tavfs* fs) {
    std::lock_guard lk(fs->lock);
    --fs->activeWriters;
    fs->cv.notify_all();
}

/* Caller holds fs->lock through lk. Makes room for one entry; may drop the lock. */
void makeRoom(Tavfs* fs, std::unique_lock<std::mutex>& lk) {
    for (auto it = fs->cache.begin(); it != fs->cache.end(); ++it) {
        if (it->second.dirty || it->second.writeback) continue;
        fs->freePages.push_back(it->second.page);
        fs->cache.erase(it);
        return;
    }
    bool dirty = std::any_of(fs->cache.begin(), fs->cache.end(),
                             [](const auto& kv) { return kv.second.dirty && !kv.second.writeback; });
    if (dirty) {
        ++fs->stats.fullFlushes;
        lk.unlock();
        writeback(fs, false);
        blk_run_queues();
        lk.lock();
    }
    fs->cv.wait(lk, [fs] {
        return std::any_of(fs->cache.begin(), fs->cache.end(),
                           [](const auto& kv) { return !kv.second.dirty && !kv.second.writeback; });
    });
}

// The block size of an ext2/3/4 super block (1024 bytes at byte 1024 of the device).
int readExtSuper(struct block_device* bdev, std::vector<struct page*>& pages, unsigned* blockSize) {
    unsigned char sbuf[1024];
    if (pageIo(bdev, READ, 2, sbuf, sizeof(sbuf), pages)) return -EIO;
    unsigned magic = sbuf[56] | (sbuf[57] << 8);
    u32 log = sbuf[24] | (sbuf[25] << 8) | (sbuf[26] << 16) | (static_cast<u32>(sbuf[27]) << 24);
    if (magic != tav::kernel::EXT_SUPER_MAGIC || log > 2) return -EINVAL;
    *blockSize = 1024u << log;
    return 0;
}

bool inRange(Tavfs* fs, u64 block, unsigned count) { return count && block < fs->blocks && count <= fs->blocks - block; }

}  // namespace

// ---- super blocks ----

struct super_block* get_super(struct block_device* bdev) {
    if (!bdev) return nullptr;
    for (;;) {
        super_block* sb = nullptr;
        {
            std::lock_guard lk(sbLock);
            for (super_block* s : superBlocks)
                if (s->s_bdev == bdev) {
                    sb = s;
                    ++s->s_count;
                    break;
                }
        }
        if (!sb) return tav::kernel::hostfsGetSuper(bdev);
        down_read(&sb->s_umount);
        if (sb->s_root) return sb;
        drop_super(sb);
    }
}

void drop_super(struct super_block* sb) {
    up_read(&sb->s_umount);
    putSuper(sb);
}

struct super_block* freeze_bdev(struct block_device* bdev) {
    down(&bdev->bd_mount_sem);
    if (tav::fault::shouldFail(tav::fault::Site::Freeze)) return nullptr;
    if (tav::kernel::hostfsAttached(bdev)) return tav::kernel::hostfsFreeze(bdev);
    super_block* sb = get_super(bdev);
    if (!sb) return nullptr;
    Tavfs* fs = fsOf(sb);
    sb->s_frozen.store(SB_FREEZE_WRITE);
    {
        std::unique_lock lk(fs->lock);
        fs->cv.wait(lk, [fs] { return fs->activeWriters == 0; });
    }
    writeback(fs, false);
    waitWriteback(fs);
    writeMetadata(fs, true);
    sb->s_frozen.store(SB_FREEZE_TRANS);
    std::function<void(super_block*)> syncPoint;
    {
        std::lock_guard lk(fs->lock);
        syncPoint = fs->freezeSyncPoint;
    }
    if (syncPoint) syncPoint(sb);
    return sb;
}

void thaw_bdev(struct block_device* bdev, struct super_block* sb) {
    if (sb) {
        BUG_ON(sb->s_bdev != bdev);
        if (tav::kernel::isHostSuper(sb)) {
            tav::kernel::hostfsThaw(sb);
            drop_super(sb);
            up(&bdev->bd_mount_sem);
            return;
        }
        writeMetadata(fsOf(sb), false);
        {
            std::lock_guard lk(sb->s_wait_lock);
            sb->s_frozen.store(SB_UNFROZEN);
        }
        sb->s_wait_unfrozen.notify_all();
        drop_super(sb);
    }
    up(&bdev->bd_mount_sem);
}

int fsync_bdev(struct block_device* bdev) {
    super_block* sb = get_super(bdev);
    if (!sb) return 0;
    int err = tav::kernel::isHostSuper(sb) ? tav::kernel::hostfsSync(sb) : syncFs(fsOf(sb));
    drop_super(sb);
    return err;
}

int sync_blockdev(struct block_device* bdev) { return fsync_bdev(bdev); }

// ---- tavfs ----

namespace tav::kernel {

bool tavfsMountedOn(struct block_device* bdev) {
    std::lock_guard lk(sbLock);
    return std::any_of(superBlocks.begin(), superBlocks.end(), [bdev](super_block* s) { return s->s_bdev == bdev; });
}

void superGrab(struct super_block* sb) {
    std::lock_guard lk(sbLock);
    ++sb->s_count;
}

void superPut(struct super_block* sb) { putSuper(sb); }

int readExtBlockSize(struct block_device* bdev, unsigned* blockSize) {
    struct page* p = alloc_page(GFP_KERNEL);
    if (!p) return -ENOMEM;
    std::vector<struct page*> pages{p};
    int err = readExtSuper(bdev, pages, blockSize);
    __free_page(p);
    return err;
}

int tavfsMount(struct block_device* bdev, const TavfsOptions& options, struct super_block** out) {
    if (!bdev) return -ENXIO;
    // The mount holds the device open until unmount, which is then its last close.
    if (int err = blkdev_get(bdgrab(bdev), FMODE_READ | FMODE_WRITE, 0)) return err;
    down(&bdev->bd_mount_sem);
    auto fail = [&](Tavfs* fs, int err) {
        if (fs) {
            freePages(fs->cachePages);
            freePages(fs->directPages);
            delete fs;
        }
        up(&bdev->bd_mount_sem);
        blkdev_put(bdev);
        return err;
    };
    if (tavfsMountedOn(bdev) || hostfsAttached(bdev)) return fail(nullptr, -EBUSY);
    auto* fs = new Tavfs();
    fs->bdev = bdev;
    fs->options = options;
    // Every page the fs will use is taken now, so later faults in the page allocator
    // hit only the code under test.
    for (unsigned i = 0; i < std::max(1u, options.cacheBlocks); ++i) {
        struct page* p = alloc_page(GFP_KERNEL);
        if (!p) return fail(fs, -ENOMEM);
        fs->cachePages.push_back(p);
    }
    for (unsigned i = 0; i < kDirectPages; ++i) {
        struct page* p = alloc_page(GFP_KERNEL);
        if (!p) return fail(fs, -ENOMEM);
        fs->directPages.push_back(p);
    }
    unsigned bs = options.blockSize;
    if (bs == 0) {
        std::vector<struct page*> one{fs->directPages[0]};
        if (int err = readExtSuper(bdev, one, &bs)) return fail(fs, err);
    }
    if (bs < 512 || bs > PAGE_SIZE || (bs & (bs - 1))) return fail(fs, -EINVAL);
    fs->blockSize = bs;
    fs->sectorsPerBlock = bs / 512;
    fs->blocks = bdevSectors(bdev) / fs->sectorsPerBlock;
    fs->freePages = fs->cachePages;

    auto* sb = new super_block();
    sb->s_dev = bdev->bd_dev;
    sb->s_bdev = bdev;
    sb->s_blocksize = bs;
    sb->s_blocksize_bits = static_cast<unsigned char>(__builtin_ctz(bs));
    sb->s_magic = TAVFS_MAGIC;
    sb->s_count = 1;  // the mount's
    init_rwsem(&sb->s_umount);
    sb->s_root = fs;
    sb->s_fs_info = fs;
    bdevname(bdev, sb->s_id);
    fs->sb = sb;
    bdev->bd_block_size = bs;
    {
        std::lock_guard lk(sbLock);
        superBlocks.push_back(sb);
    }
    if (options.writebackDelayMs) fs->flusher = std::thread(flusherMain, fs);
    up(&bdev->bd_mount_sem);
    *out = sb;
    return 0;
}

int tavfsUnmount(struct super_block* sb) {
    Tavfs* fs = fsOf(sb);
    struct block_device* bdev = sb->s_bdev;
    down(&bdev->bd_mount_sem);
    down_write(&sb->s_umount);
    {
        std::lock_guard lk(fs->lock);
        fs->stopFlusher = true;
    }
    fs->flusherCv.notify_all();
    if (fs->flusher.joinable()) fs->flusher.join();
    {
        std::unique_lock lk(fs->lock);
        sb->s_root = nullptr;  // writers arriving from now on are refused
        fs->cv.wait(lk, [fs] { return fs->activeWriters == 0; });
    }
    int err = syncFs(fs);
    {
        std::lock_guard lk(sbLock);
        std::erase(superBlocks, sb);
    }
    up_write(&sb->s_umount);
    {
        std::lock_guard lk(fs->lock);
        fs->cache.clear();
        fs->freePages.clear();
    }
    freePages(fs->cachePages);
    {
        std::lock_guard lk(fs->directLock);
        freePages(fs->directPages);
    }
    bdev->bd_block_size = 512;
    up(&bdev->bd_mount_sem);
    putSuper(sb);
    blkdev_put(bdev);
    return err;
}

int tavfsWrite(struct super_block* sb, u64 block, unsigned count, const void* data) {
    Tavfs* fs = fsOf(sb);
    if (!inRange(fs, block, count)) return -EINVAL;
    if (int err = enterWriter(fs)) return err;
    for (unsigned i = 0; i < count; ++i) {
        std::unique_lock lk(fs->lock);
        CacheEntry* e;
        for (;;) {
            auto it = fs->cache.find(block + i);
            if (it != fs->cache.end()) {
                if (it->second.writeback) {
                    fs->cv.wait(lk);  // stable pages: the bio in flight owns it
                    continue;
                }
                e = &it->second;
                break;
            }
            if (fs->freePages.empty()) {
                makeRoom(fs, lk);
                continue;
            }
            e = &fs->cache.emplace(block + i, CacheEntry{fs->freePages.back()}).first->second;
            fs->freePages.pop_back();
            break;
        }
        std::memcpy(page_address(e->page), static_cast<const char*>(data) + size_t{i} * fs->blockSize, fs->blockSize);
        if (!e->dirty) e->dirtiedAt = Clock::now();
        e->dirty = true;
        ++fs->stats.cachedWrites;
    }
    leaveWriter(fs);
    return 0;
}

int tavfsRead(struct super_block* sb, u64 block, unsigned count, void* data) {
    Tavfs* fs = fsOf(sb);
    if (!inRange(fs, block, count)) return -EINVAL;
    std::vector<u64> missing;
    {
        std::lock_guard lk(fs->lock);
        for (unsigned i = 0; i < count; ++i) {
            auto it = fs->cache.find(block + i);
            if (it == fs->cache.end()) {
                missing.push_back(block + i);
                continue;
            }
            std::memcpy(static_cast<char*>(data) + size_t{i} * fs->blockSize, page_address(it->second.page),
                        fs->blockSize);
            ++fs->stats.cacheHits;
        }
    }
    // Blocks not cached come from the disk, a run of adjacent ones per bio.
    size_t maxBlocks = kDirectPages * PAGE_SIZE / fs->blockSize;
    for (size_t i = 0; i < missing.size();) {
        size_t n = 1;
        while (i + n < missing.size() && missing[i + n] == missing[i] + n && n < maxBlocks) ++n;
        char* dst = static_cast<char*>(data) + (missing[i] - block) * fs->blockSize;
        if (directIo(fs, READ, missing[i], static_cast<unsigned>(n), dst)) return -EIO;
        i += n;
    }
    return 0;
}

int tavfsWriteDirect(struct super_block* sb, u64 block, unsigned count, const void* data) {
    Tavfs* fs = fsOf(sb);
    if (!inRange(fs, block, count) || size_t{count} * fs->blockSize > kDirectPages * PAGE_SIZE) return -EINVAL;
    if (int err = enterWriter(fs)) return err;
    {
        std::unique_lock lk(fs->lock);
        auto busy = [&] {
            for (unsigned i = 0; i < count; ++i) {
                auto it = fs->cache.find(block + i);
                if (it != fs->cache.end() && it->second.writeback) return true;
            }
            return false;
        };
        fs->cv.wait(lk, [&] { return !busy(); });
        for (unsigned i = 0; i < count; ++i) {
            auto it = fs->cache.find(block + i);
            if (it == fs->cache.end()) continue;
            fs->freePages.push_back(it->second.page);
            fs->cache.erase(it);
        }
    }
    int err = directIo(fs, WRITE, block, count, const_cast<void*>(data));
    leaveWriter(fs);
    return err;
}

int tavfsReadDirect(struct super_block* sb, u64 block, unsigned count, void* data) {
    Tavfs* fs = fsOf(sb);
    if (!inRange(fs, block, count) || size_t{count} * fs->blockSize > kDirectPages * PAGE_SIZE) return -EINVAL;
    return directIo(fs, READ, block, count, data);
}

void tavfsSetFreezeSyncPoint(struct super_block* sb, std::function<void(struct super_block*)> fn) {
    Tavfs* fs = fsOf(sb);
    std::lock_guard lk(fs->lock);
    fs->freezeSyncPoint = std::move(fn);
}

u64 tavfsBlockCount(struct super_block* sb) { return fsOf(sb)->blocks; }

unsigned tavfsDirtyBlocks(struct super_block* sb) {
    Tavfs* fs = fsOf(sb);
    std::lock_guard lk(fs->lock);
    return static_cast<unsigned>(
        std::count_if(fs->cache.begin(), fs->cache.end(), [](const auto& kv) { return kv.second.dirty; }));
}

TavfsStats tavfsStats(struct super_block* sb) {
    Tavfs* fs = fsOf(sb);
    std::lock_guard lk(fs->lock);
    return fs->stats;
}

}  // namespace tav::kernel
