// The driver core: plugging, merging, ordering, fault and hold gates, completion.
#include "drivers/disk.h"

#include <algorithm>
#include <thread>

#include "kernel/fault.h"
#include "kernel/fs.h"
#include "kernel/printk.h"

namespace tav::drivers {

namespace {

bool overlaps(const Transfer* a, const Transfer* b) {
    if (a->dir != WRITE && b->dir != WRITE) return false;
    return a->sector < b->end() && b->sector < a->end();
}

bool dirMatches(IoDir dir, int bioDir) {
    return dir == IoDir::Any || (dir == IoDir::Write) == (bioDir == WRITE);
}

void storeMax(std::atomic<long>& a, long v) {
    long cur = a.load(std::memory_order_relaxed);
    while (v > cur && !a.compare_exchange_weak(cur, v, std::memory_order_relaxed)) {
    }
}

// The part of iov after the first skip bytes.
std::vector<iovec> tail(const std::vector<iovec>& iov, std::size_t skip) {
    std::vector<iovec> out;
    for (const iovec& v : iov) {
        if (skip >= v.iov_len) {
            skip -= v.iov_len;
            continue;
        }
        out.push_back({static_cast<char*>(v.iov_base) + skip, v.iov_len - skip});
        skip = 0;
    }
    return out;
}

}  // namespace

BlockDisk::BlockDisk(const DiskConfig& config, std::unique_ptr<Storage> storage)
    : config_(config), sectors_(storage->bytes() / 512), storage_(std::move(storage)) {
    config_.plugBatch = std::max(1u, config_.plugBatch);
    config_.maxSegments = std::clamp(config_.maxSegments, 1u, 1024u);
    config_.maxTransferBytes = std::max(config_.maxTransferBytes, static_cast<unsigned>(PAGE_SIZE));
}

BlockDisk::~BlockDisk() { stopAll(); }

int BlockDisk::start(std::unique_ptr<Engine> engine) {
    const DiskConfig& c = config_;
    if (c.minors < 1 || c.major == 0 || c.major >= (1u << (32 - MINORBITS)) ||
        c.firstMinor + c.minors > (1u << MINORBITS) || sectors_ == 0 || c.name.empty() ||
        c.name.size() >= sizeof(disk_->disk_name))
        return -EINVAL;
    for (unsigned m = c.firstMinor; m < c.firstMinor + c.minors; ++m)
        if (get_gendisk(MKDEV(c.major, m), nullptr)) return -EEXIST;

    // The partition layout: the caller's list or the MBR.
    std::vector<PartitionSpec> parts = c.partitions;
    if (c.readMbr) {
        unsigned char sector0[512];
        iovec v{sector0, sizeof(sector0)};
        if (storage_->readv(0, &v, 1) != static_cast<long>(sizeof(sector0))) return -EIO;
        parts = parseMbr(sector0, sectors_);
    }
    std::vector<bool> used(c.minors, false);
    for (PartitionSpec& p : parts) {
        if (p.number == 0) {
            for (unsigned n = 1; n < c.minors && p.number == 0; ++n)
                if (!used[n] && std::none_of(parts.begin(), parts.end(),
                                             [n](const PartitionSpec& q) { return q.number == static_cast<int>(n); }))
                    p.number = static_cast<int>(n);
        }
        if (p.number < 1 || static_cast<unsigned>(p.number) >= c.minors || used[p.number] || p.sectors == 0 ||
            p.startSector + p.sectors > sectors_)
            return -EINVAL;
        used[p.number] = true;
    }
    partitions_ = parts;

    engine_ = std::move(engine);
    queue_ = blk_alloc_queue(GFP_KERNEL);
    if (!queue_) return -ENOMEM;
    blk_get_queue(queue_);  // ours, so unplugNow stays safe after blk_cleanup_queue
    blk_queue_make_request(queue_, makeRequest);
    blk_queue_max_sectors(queue_, BIO_MAX_SIZE >> 9);
    queue_->queuedata = this;
    queue_->unplug_fn = unplug;
    if (!c.queueLock) queue_->queue_lock = nullptr;

    disk_ = alloc_disk(static_cast<int>(c.minors));
    if (!disk_) return -ENOMEM;
    disk_->major = static_cast<int>(c.major);
    disk_->first_minor = static_cast<int>(c.firstMinor);
    std::snprintf(disk_->disk_name, sizeof(disk_->disk_name), "%s", c.name.c_str());
    disk_->queue = queue_;
    disk_->private_data = this;
    set_capacity(disk_, sectors_);
    add_disk(disk_);
    for (const PartitionSpec& p : partitions_) add_partition(disk_, p.number, p.startSector, p.sectors);

    std::vector<dev_t> devs{MKDEV(c.major, c.firstMinor)};
    for (const PartitionSpec& p : partitions_)
        devs.push_back(MKDEV(c.major, c.firstMinor + static_cast<unsigned>(p.number)));
    for (dev_t dev : devs) {
        struct block_device* b = bdget(dev);
        if (c.holdOpen) {
            // The open takes over the reference; our own one keeps the pointer for bdev().
            int err = blkdev_get(tav::kernel::bdgrab(b), FMODE_READ | FMODE_WRITE, 0);
            BUG_ON(err);
        }
        bdevs_.push_back(b);
    }
    return 0;
}

struct block_device* BlockDisk::bdev(int partno) const {
    dev_t dev = MKDEV(config_.major, config_.firstMinor + static_cast<unsigned>(partno));
    for (struct block_device* b : bdevs_)
        if (b->bd_dev == dev) return b;
    return nullptr;
}

void BlockDisk::stopAll() {
    if (config_.holdOpen)
        for (struct block_device* b : bdevs_) blkdev_put(b);
    if (disk_ && (disk_->flags & GENHD_FL_UP)) del_gendisk(disk_);
    if (queue_) {
        std::vector<int> ids;
        {
            std::lock_guard lk(holdLock_);
            for (const Gate& g : gates_) ids.push_back(g.id);
        }
        for (int id : ids) removeHold(id);
        auto drain = [this] {
            unplugOutside();
            std::unique_lock lk(flightLock_);
            drained_.wait(lk, [this] { return inFlight_ == 0; });
        };
        drain();
        blk_cleanup_queue(queue_);
        drain();
        blk_put_queue(queue_);
        queue_ = nullptr;
    }
    if (engine_) engine_->stop();
    engine_.reset();
    for (struct block_device* b : bdevs_) bdput(b);
    bdevs_.clear();
    put_disk(disk_);
    disk_ = nullptr;
    for (Transfer* t : spare_) delete t;
    spare_.clear();
}

int BlockDisk::makeRequest(request_queue_t* q, struct bio* bio) {
    auto* d = static_cast<BlockDisk*>(q->queuedata);
    if (d->gatesActive_.load(std::memory_order_acquire) && d->heldByGate(bio)) return 0;
    d->plug(bio, true);
    tav::kernel::runDeferredCompletions();
    return 0;
}

// From the block layer's unplugs, or called directly (as a bio-based driver's is).
void BlockDisk::unplug(request_queue_t* q) {
    static_cast<BlockDisk*>(q->queuedata)->unplugNow();
    if (!tav::kernel::insideQueueRegistry()) tav::kernel::runDeferredCompletions();
}

void BlockDisk::plug(struct bio* bio, bool fresh) {
    std::vector<Transfer*> go;
    {
        std::lock_guard lk(plugLock_);
        if (fresh) {
            auto& n = counters_.plugged;  // written under plugLock_ only
            n.store(n.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        }
        plugged_.push_back(bio);
        if (plugged_.size() >= config_.plugBatch) {
            blk_remove_plug(queue_);
            go = registerLocked(plugged_);
        } else if (plugged_.size() == 1) {
            blk_plug_device(queue_);
        }
    }
    startTransfers(go);
}

void BlockDisk::unplugOutside() {
    unplugNow();
    tav::kernel::runDeferredCompletions();
}

void BlockDisk::unplugNow() {
    std::vector<Transfer*> go;
    {
        std::lock_guard lk(plugLock_);
        blk_remove_plug(queue_);
        if (plugged_.empty()) return;
        go = registerLocked(plugged_);
    }
    startTransfers(go);
}

std::vector<Transfer*> BlockDisk::buildRuns(std::vector<struct bio*>& batch) {
    std::vector<Transfer*> runs;
    Transfer* cur = nullptr;
    auto single = [&](struct bio* bio, int error) {
        Transfer* t = newTransfer();
        t->dir = bio_data_dir(bio) ? WRITE : READ;
        t->sector = bio->bi_sector;
        t->noIo = true;
        t->error = error;
        t->bios.push_back(bio);
        runs.push_back(t);
        cur = nullptr;
    };
    for (struct bio* bio : batch) {
        int dir = bio_data_dir(bio) ? WRITE : READ;
        unsigned size = bio->bi_size;
        if (size == 0) {
            single(bio, 0);
            continue;
        }
        unsigned segs = 0, sum = 0;
        bool badSeg = false;
        for (unsigned i = bio->bi_idx; i < bio->bi_vcnt; ++i) {
            const struct bio_vec& v = bio->bi_io_vec[i];
            if (!v.bv_page || v.bv_offset + v.bv_len > PAGE_SIZE) badSeg = true;
            sum += v.bv_len;
            ++segs;
        }
        std::uint64_t nsect = size / 512;
        if (size % 512 || badSeg || sum != size || bio->bi_sector > sectors_ || nsect > sectors_ - bio->bi_sector) {
            printk(KERN_ERR "%s: bad request: sector %llu, %u bytes, %u segments\n", config_.name.c_str(),
                   static_cast<unsigned long long>(bio->bi_sector), size, segs);
            single(bio, -EIO);
            continue;
        }
        auto site = dir == WRITE ? tav::fault::Site::DiskWrite : tav::fault::Site::DiskRead;
        if (tav::fault::shouldFail(site, config_.name.c_str(), bio->bi_sector, bio->bi_sector + nsect - 1)) {
            single(bio, -EIO);
            continue;
        }
        if (!(cur && cur->dir == dir && cur->end() == bio->bi_sector &&
              cur->bytes + size <= config_.maxTransferBytes && cur->iov.size() + segs <= config_.maxSegments)) {
            cur = newTransfer();
            cur->dir = dir;
            cur->sector = bio->bi_sector;
            runs.push_back(cur);
        }
        cur->bios.push_back(bio);
        cur->bytes += size;
        for (unsigned i = bio->bi_idx; i < bio->bi_vcnt; ++i) {
            const struct bio_vec& v = bio->bi_io_vec[i];
            char* base = static_cast<char*>(page_address(v.bv_page)) + v.bv_offset;
            if (!cur->iov.empty() && static_cast<char*>(cur->iov.back().iov_base) + cur->iov.back().iov_len == base)
                cur->iov.back().iov_len += v.bv_len;
            else
                cur->iov.push_back({base, v.bv_len});
        }
    }
    batch.clear();
    return runs;
}

std::vector<Transfer*> BlockDisk::registerLocked(std::vector<struct bio*>& batch) {
    std::vector<Transfer*> runs = buildRuns(batch);
    std::vector<Transfer*> go;
    std::lock_guard lk(flightLock_);
    for (Transfer* t : runs) {
        ++inFlight_;
        if (t->noIo) {
            go.push_back(t);
            continue;
        }
        auto hit = [t](const Transfer* o) { return overlaps(t, o); };
        if (std::any_of(active_.begin(), active_.end(), hit) || std::any_of(waiting_.begin(), waiting_.end(), hit)) {
            waiting_.push_back(t);
        } else {
            active_.push_back(t);
            go.push_back(t);
        }
    }
    return go;
}

void BlockDisk::startTransfers(const std::vector<Transfer*>& ts) {
    if (ts.empty()) return;
    auto due = Clock::now() + std::chrono::microseconds(latencyUs_.load(std::memory_order_relaxed));
    for (Transfer* t : ts) {
        t->due = due;
        if (!t->noIo) {
            counters_.transfers.fetch_add(1, std::memory_order_relaxed);
            counters_.mergedBios.fetch_add(static_cast<long>(t->bios.size()) - 1, std::memory_order_relaxed);
            storeMax(counters_.largestTransferBios, static_cast<long>(t->bios.size()));
            (t->dir == WRITE ? counters_.writeBytes : counters_.readBytes)
                .fetch_add(static_cast<long>(t->bytes), std::memory_order_relaxed);
        }
        if (t->noIo || latencyUs_.load(std::memory_order_relaxed) || !(t->dir == READ ? readCached(t) : writeInline(t)))
            engine_->submit(t);
    }
}

// A hand-off to the engine's completion thread and back costs more than copying a read that
// the page cache holds, so the submitter copies it and ends it on its way out.
bool BlockDisk::readCached(Transfer* t) {
    if (skipReadCopy_.load(std::memory_order_relaxed)) {
        t->result = static_cast<long>(t->bytes);
        tav::kernel::deferCompletion(&BlockDisk::completeDeferred, this, t);
        return true;
    }
    long n = storage_->readvCached(t->sector * 512, t->iov.data(), static_cast<int>(t->iov.size()));
    if (n != static_cast<long>(t->bytes)) return false;  // the engine reads it (again) whole
    t->result = n;
    tav::kernel::deferCompletion(&BlockDisk::completeDeferred, this, t);
    return true;
}

// The host file system may not take a buffered write without waiting (ext4 refuses
// RWF_NOWAIT there), so the ring would hand every write to a kernel worker and its end back
// to the completion thread: two cross-CPU wake-ups that cost ten times the write itself.
// A write into the page cache sleeps no longer than a 2.6 make_request may.
bool BlockDisk::writeInline(Transfer* t) {
    long n = storage_->writevInline(t->sector * 512, t->iov.data(), static_cast<int>(t->iov.size()));
    if (n == -EAGAIN) return false;
    t->result = n;
    tav::kernel::deferCompletion(&BlockDisk::completeDeferred, this, t);
    return true;
}

void BlockDisk::completeDeferred(void* disk, void* t) {
    static_cast<BlockDisk*>(disk)->complete(static_cast<Transfer*>(t));
}

void BlockDisk::complete(Transfer* t) {
    if (t->due > Clock::now()) std::this_thread::sleep_until(t->due);
    if (!t->noIo) {
        // Short or interrupted transfers finish synchronously on this thread. An error from
        // the ring need not be the file's: io_uring cancels work still queued when the
        // thread that submitted it exits (any thread that unplugs submits, kbackupd among
        // them), and fails a retry whose submitter is exiting. Such a transfer is redone
        // here whole; only the store's own error fails it.
        long& done = t->result;
        if (done == -EAGAIN || done == -EINTR || (done < 0 && engine_->uring())) done = 0;
        while (done >= 0 && static_cast<std::size_t>(done) < t->bytes) {
            std::vector<iovec> rest = tail(t->iov, static_cast<std::size_t>(done));
            std::uint64_t off = t->sector * 512 + static_cast<std::uint64_t>(done);
            long n = t->dir == WRITE ? storage_->writev(off, rest.data(), static_cast<int>(rest.size()))
                                     : storage_->readv(off, rest.data(), static_cast<int>(rest.size()));
            if (n <= 0) break;
            done += n;
        }
        std::vector<Transfer*> go;
        {
            std::lock_guard lk(flightLock_);
            std::erase(active_, t);
            // Start each waiting transfer that now overlaps nothing in flight and nothing
            // queued before it.
            for (auto it = waiting_.begin(); it != waiting_.end();) {
                Transfer* w = *it;
                auto hit = [w](const Transfer* o) { return overlaps(w, o); };
                if (std::none_of(active_.begin(), active_.end(), hit) && std::none_of(waiting_.begin(), it, hit)) {
                    active_.push_back(w);
                    go.push_back(w);
                    it = waiting_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        startTransfers(go);
    }
    endBios(t);
    recycle(t);
    {
        std::lock_guard lk(flightLock_);
        if (--inFlight_ == 0) drained_.notify_all();
    }
    tav::kernel::runDeferredCompletions();  // the waiting transfers started above
}

void BlockDisk::endBios(Transfer* t) {
    tav::kernel::InterruptContext irq;
    // Counted first: a woken submitter may read the counters before this loop ends.
    counters_.completed.fetch_add(static_cast<long>(t->bios.size()), std::memory_order_relaxed);
    std::size_t offset = 0;
    for (struct bio* bio : t->bios) {
        unsigned size = bio->bi_size;
        int err;
        if (t->noIo)
            err = t->error;
        else
            err = (t->result >= 0 && offset + size <= static_cast<std::size_t>(t->result)) ? 0 : -EIO;
        offset += size;
        if (err) {
            counters_.failed.fetch_add(1, std::memory_order_relaxed);
            printk(KERN_ERR "end_request: I/O error, dev %s, sector %llu\n", config_.name.c_str(),
                   static_cast<unsigned long long>(bio->bi_sector));
        }
        bio_endio(bio, size, err);
    }
}

Transfer* BlockDisk::newTransfer() {
    {
        std::lock_guard lk(spareLock_);
        if (!spare_.empty()) {
            Transfer* t = spare_.back();
            spare_.pop_back();
            return t;
        }
    }
    auto* t = new Transfer();
    t->bios.reserve(config_.plugBatch);
    t->iov.reserve(config_.maxSegments);
    return t;
}

void BlockDisk::recycle(Transfer* t) {
    t->bios.clear();
    t->iov.clear();
    t->bytes = 0;
    t->noIo = false;
    t->error = 0;
    t->result = 0;
    std::lock_guard lk(spareLock_);
    if (spare_.size() < 64)
        spare_.push_back(t);
    else
        delete t;
}

bool BlockDisk::heldByGate(struct bio* bio) {
    std::uint64_t first = bio->bi_sector;
    std::uint64_t last = first + (bio->bi_size ? (bio->bi_size - 1) / 512 : 0);
    int dir = bio_data_dir(bio) ? WRITE : READ;
    std::lock_guard lk(holdLock_);
    for (Gate& g : gates_) {
        if (!dirMatches(g.dir, dir) || last < g.first || first > g.last) continue;
        g.held.push_back(bio);
        counters_.held.fetch_add(1, std::memory_order_relaxed);
        heldCv_.notify_all();
        return true;
    }
    return false;
}

int BlockDisk::hold(std::uint64_t first, std::uint64_t last, IoDir dir) {
    std::lock_guard lk(holdLock_);
    int id = nextGate_++;
    gates_.push_back({id, first, last, dir, {}});
    gatesActive_.store(true, std::memory_order_release);
    return id;
}

bool BlockDisk::waitHeld(int id, std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lk(holdLock_);
    return heldCv_.wait_for(lk, timeout, [&] {
        for (const Gate& g : gates_)
            if (g.id == id) return g.held.size() >= count;
        return false;
    });
}

std::size_t BlockDisk::heldCount(int id) const {
    std::lock_guard lk(holdLock_);
    for (const Gate& g : gates_)
        if (g.id == id) return g.held.size();
    return 0;
}

void BlockDisk::release(int id, std::size_t count) {
    std::vector<struct bio*> out;
    {
        std::lock_guard lk(holdLock_);
        for (Gate& g : gates_) {
            if (g.id != id) continue;
            while (count-- && !g.held.empty()) {
                out.push_back(g.held.front());
                g.held.pop_front();
            }
        }
    }
    if (out.empty()) return;
    for (struct bio* bio : out) plug(bio, false);  // counted when held
    unplugOutside();
}

void BlockDisk::removeHold(int id) {
    std::vector<struct bio*> out;
    {
        std::lock_guard lk(holdLock_);
        for (auto it = gates_.begin(); it != gates_.end(); ++it) {
            if (it->id != id) continue;
            out.assign(it->held.begin(), it->held.end());
            gates_.erase(it);
            break;
        }
        gatesActive_.store(!gates_.empty(), std::memory_order_release);
    }
    if (out.empty()) return;
    for (struct bio* bio : out) plug(bio, false);  // counted when held
    unplugOutside();
}

DiskStats BlockDisk::stats() const {
    const Counters& c = counters_;
    auto r = [](const std::atomic<long>& a) { return a.load(std::memory_order_relaxed); };
    return {r(c.plugged) + r(c.held), r(c.completed), r(c.failed), r(c.held), r(c.transfers), r(c.mergedBios),
            r(c.largestTransferBios), r(c.readBytes), r(c.writeBytes)};
}

}  // namespace tav::drivers
