// The test- and tool-facing block I/O API (include/tav/blockio.h).
#include "tav/blockio.h"

#include "drivers/disk.h"
#include "kernel/blkdev.h"
#include "kernel/fault.h"
#include "kernel/printk.h"
#include "kernel/super.h"

namespace tav {

// ---- Disk ----

std::unique_ptr<Disk> Disk::create(const DiskConfig& config, int* error) {
    int dummy = 0;
    int& err = error ? *error : dummy;
    err = 0;
    std::unique_ptr<drivers::Storage> storage =
        config.backing == Backing::Ram ? drivers::makeRamStorage(config.sectors * 512, &err)
                                       : drivers::makeFileStorage(config.path, config.sectors * 512, &err);
    if (!storage) return nullptr;
    drivers::Storage& st = *storage;
    auto impl = std::make_unique<drivers::BlockDisk>(config, std::move(storage));

    std::unique_ptr<drivers::Engine> engine;
    FileIo io = config.fileIo;
    if (const char* env = std::getenv("TAV_NO_URING"); io == FileIo::Auto && env && std::string(env) == "1")
        io = FileIo::Posix;
    if (config.backing == Backing::File && io != FileIo::Posix) {
        int rc = 0;
        engine = drivers::makeUringEngine(*impl, st.fd(), &rc);
        if (!engine) {
            if (io == FileIo::Uring) {
                err = rc;
                return nullptr;
            }
            printk(KERN_INFO "%s: io_uring unavailable (%d), serving with preadv/pwritev\n", config.name.c_str(),
                   rc);
        }
    }
    if (!engine) engine = drivers::makeWorkerEngine(*impl, st, 1);
    if (int rc = impl->start(std::move(engine)); rc < 0) {
        err = rc;
        return nullptr;
    }
    return std::make_unique<Disk>(std::move(impl));
}

Disk::Disk(std::unique_ptr<drivers::BlockDisk> impl) : impl_(std::move(impl)) {}

Disk::~Disk() {
    clearFaults();
    impl_.reset();
}

const std::string& Disk::name() const { return impl_->name(); }
struct gendisk* Disk::disk() const { return impl_->disk(); }
struct request_queue* Disk::queue() const { return impl_->queue(); }
std::uint64_t Disk::sectors() const { return impl_->sectors(); }
dev_t Disk::dev(int partno) const {
    return MKDEV(static_cast<unsigned>(impl_->disk()->major),
                 static_cast<unsigned>(impl_->disk()->first_minor + partno));
}
struct block_device* Disk::bdev(int partno) const { return impl_->bdev(partno); }
std::vector<PartitionSpec> Disk::partitions() const { return impl_->partitions(); }
bool Disk::usesUring() const { return impl_->usesUring(); }

int Disk::readRaw(std::uint64_t sector, void* buf, std::size_t bytes) const {
    if (sector * 512 + bytes > impl_->storage().bytes()) return -EINVAL;
    iovec v{buf, bytes};
    long n = impl_->storage().readv(sector * 512, &v, 1);
    return n == static_cast<long>(bytes) ? 0 : (n < 0 ? static_cast<int>(n) : -EIO);
}

int Disk::writeRaw(std::uint64_t sector, const void* buf, std::size_t bytes) {
    if (sector * 512 + bytes > impl_->storage().bytes()) return -EINVAL;
    iovec v{const_cast<void*>(buf), bytes};
    long n = impl_->storage().writev(sector * 512, &v, 1);
    return n == static_cast<long>(bytes) ? 0 : (n < 0 ? static_cast<int>(n) : -EIO);
}

void Disk::failSectors(std::uint64_t first, std::uint64_t last, IoDir dir, long times, double probability,
                       std::uint64_t seed) {
    for (IoDir d : {IoDir::Read, IoDir::Write}) {
        if (dir != IoDir::Any && dir != d) continue;
        fault::Rule r;
        r.site = d == IoDir::Read ? fault::Site::DiskRead : fault::Site::DiskWrite;
        r.times = times;
        r.probability = probability;
        r.seed = seed;
        r.name = name();
        r.first = first;
        r.last = last;
        faultRules_.push_back(fault::add(r));
        printk(KERN_WARNING "%s: disk fault model active: %s of sectors %llu-%llu fail (times %ld, p %.3f, seed %llu)\n",
               name().c_str(), d == IoDir::Read ? "reads" : "writes", static_cast<unsigned long long>(first),
               static_cast<unsigned long long>(last), times, probability, static_cast<unsigned long long>(seed));
    }
}

void Disk::clearFaults() {
    for (int id : faultRules_) fault::remove(id);
    faultRules_.clear();
}

void Disk::setLatency(std::chrono::microseconds latency) {
    impl_->setLatency(latency);
    printk(KERN_WARNING "%s: disk fault model active: latency %lld us\n", name().c_str(),
           static_cast<long long>(latency.count()));
}

void Disk::setSkipReadCopy(bool on) {
    impl_->setSkipReadCopy(on);
    printk(KERN_WARNING "%s: reads %s\n", name().c_str(), on ? "move no data (benchmark mode)" : "move data");
}

int Disk::hold(std::uint64_t first, std::uint64_t last, IoDir dir) { return impl_->hold(first, last, dir); }
bool Disk::waitHeld(int id, std::size_t count, std::chrono::milliseconds timeout) {
    return impl_->waitHeld(id, count, timeout);
}
std::size_t Disk::heldCount(int id) const { return impl_->heldCount(id); }
void Disk::release(int id, std::size_t count) { impl_->release(id, count); }
void Disk::removeHold(int id) { impl_->removeHold(id); }
DiskStats Disk::stats() const { return impl_->stats(); }

std::shared_ptr<struct block_device> getBdev(dev_t dev) {
    return std::shared_ptr<struct block_device>(bdget(dev), bdput);
}

// ---- Mount ----

std::unique_ptr<Mount> Mount::create(struct block_device* bdev, const MountOptions& options, int* error) {
    kernel::TavfsOptions o;
    o.blockSize = options.blockSize;
    o.cacheBlocks = options.cacheBlocks;
    o.writebackDelayMs = options.writebackDelayMs;
    o.freezeWrites = options.freezeWrites;
    struct super_block* sb = nullptr;
    int rc = kernel::tavfsMount(bdev, o, &sb);
    if (error) *error = rc;
    if (rc) return nullptr;
    return std::make_unique<Mount>(sb);
}

Mount::~Mount() {
    if (sb_) unmount();
}

int Mount::unmount() {
    if (!sb_) return 0;
    int rc = kernel::tavfsUnmount(sb_);
    sb_ = nullptr;
    return rc;
}

unsigned Mount::blockSize() const { return static_cast<unsigned>(sb_->s_blocksize); }
std::uint64_t Mount::blocks() const { return kernel::tavfsBlockCount(sb_); }
int Mount::write(std::uint64_t block, const void* data, unsigned count) {
    return kernel::tavfsWrite(sb_, block, count, data);
}
int Mount::read(std::uint64_t block, void* data, unsigned count) { return kernel::tavfsRead(sb_, block, count, data); }
int Mount::writeDirect(std::uint64_t block, const void* data, unsigned count) {
    return kernel::tavfsWriteDirect(sb_, block, count, data);
}
int Mount::readDirect(std::uint64_t block, void* data, unsigned count) {
    return kernel::tavfsReadDirect(sb_, block, count, data);
}
int Mount::sync() { return fsync_bdev(sb_->s_bdev); }
void Mount::setFreezeSyncPoint(std::function<void(struct super_block*)> fn) {
    kernel::tavfsSetFreezeSyncPoint(sb_, std::move(fn));
}
unsigned Mount::dirtyBlocks() const { return kernel::tavfsDirtyBlocks(sb_); }
kernel::TavfsStats Mount::stats() const { return kernel::tavfsStats(sb_); }

// ---- BioBatch ----

struct BioBatch::State {
    std::mutex lock;
    std::condition_variable cv;
    std::size_t outstanding = 0;  // guarded by lock
};

struct BioBatch::Item {
    int rw;
    void* buf;
    std::size_t bytes;
    std::vector<struct page*> pages;
    struct bio* bio = nullptr;
    State* state;
    bool done = false;           // guarded by state->lock
    int result = 0;              // guarded by state->lock
    std::thread::id thread{};    // guarded by state->lock
};

int BioBatch::endIo(struct bio* bio, unsigned int, int error) {
    if (bio->bi_size) return 1;
    auto* item = static_cast<Item*>(bio->bi_private);
    int result = test_bit(BIO_UPTODATE, &bio->bi_flags) ? 0 : (error ? error : -EIO);
    bio_put(bio);
    State* st = item->state;
    std::lock_guard lk(st->lock);
    item->bio = nullptr;
    item->result = result;
    item->thread = std::this_thread::get_id();
    item->done = true;
    if (--st->outstanding == 0) st->cv.notify_all();
    return 0;
}

BioBatch::BioBatch(struct block_device* bdev) : bdev_(bdev), state_(std::make_unique<State>()) {}

BioBatch::~BioBatch() {
    if (submitted_) {
        std::unique_lock lk(state_->lock);
        bool pending = state_->outstanding != 0;
        lk.unlock();
        if (pending) wait();
    }
    for (auto& item : items_) {
        if (item->bio) bio_put(item->bio);  // added, never submitted
        for (struct page* p : item->pages) __free_page(p);
    }
}

int BioBatch::add(int rw, sector_t sector, void* buf, std::size_t bytes) {
    if (bytes == 0 || bytes % 512 || bytes > BIO_MAX_SIZE || (rw != READ && rw != WRITE && rw != READA))
        return -EINVAL;
    auto item = std::make_unique<Item>();
    item->rw = rw;
    item->buf = buf;
    item->bytes = bytes;
    item->state = state_.get();
    std::size_t npages = (bytes + PAGE_SIZE - 1) / PAGE_SIZE;
    for (std::size_t i = 0; i < npages; ++i) {
        struct page* p = alloc_page(GFP_KERNEL);
        if (!p) {
            for (struct page* q : item->pages) __free_page(q);
            return -ENOMEM;
        }
        item->pages.push_back(p);
    }
    struct bio* bio = kernel::platformBioAlloc(static_cast<int>(npages));
    for (std::size_t i = 0; i < npages; ++i) {
        std::size_t len = std::min<std::size_t>(PAGE_SIZE, bytes - i * PAGE_SIZE);
        if (rw == WRITE) std::memcpy(page_address(item->pages[i]), static_cast<char*>(buf) + i * PAGE_SIZE, len);
        bio->bi_io_vec[i] = {item->pages[i], static_cast<unsigned>(len), 0};
    }
    bio->bi_vcnt = static_cast<unsigned short>(npages);
    bio->bi_size = static_cast<unsigned>(bytes);
    bio->bi_sector = sector;
    bio->bi_bdev = bdev_;
    bio->bi_end_io = endIo;
    bio->bi_private = item.get();
    item->bio = bio;
    items_.push_back(std::move(item));
    return 0;
}

void BioBatch::submit() {
    std::size_t end = items_.size();
    {
        std::lock_guard lk(state_->lock);
        state_->outstanding += end - submitted_;
    }
    for (; submitted_ < end; ++submitted_) {
        Item& item = *items_[submitted_];
        struct bio* bio = item.bio;
        submit_bio(item.rw, bio);
    }
}

int BioBatch::wait() {
    blk_run_queues();
    std::unique_lock lk(state_->lock);
    state_->cv.wait(lk, [this] { return state_->outstanding == 0; });
    int first = 0;
    for (std::size_t i = 0; i < submitted_; ++i) {
        Item& item = *items_[i];
        if (item.result && !first) first = item.result;
        if (item.rw != WRITE && !item.result && !item.pages.empty()) {
            for (std::size_t p = 0; p < item.pages.size(); ++p)
                std::memcpy(static_cast<char*>(item.buf) + p * PAGE_SIZE, page_address(item.pages[p]),
                            std::min<std::size_t>(PAGE_SIZE, item.bytes - p * PAGE_SIZE));
        }
        for (struct page* p : item.pages) __free_page(p);
        item.pages.clear();
    }
    return first;
}

int BioBatch::result(std::size_t i) const {
    std::lock_guard lk(state_->lock);
    return items_.at(i)->result;
}

std::thread::id BioBatch::completionThread(std::size_t i) const {
    std::lock_guard lk(state_->lock);
    return items_.at(i)->thread;
}

int submitAndWait(struct block_device* bdev, int rw, sector_t sector, void* buf, std::size_t bytes,
                  std::size_t bioBytes) {
    if (bioBytes == 0 || bioBytes % 512) return -EINVAL;
    BioBatch batch(bdev);
    for (std::size_t off = 0; off < bytes; off += bioBytes) {
        if (int rc = batch.add(rw, sector + off / 512, static_cast<char*>(buf) + off, std::min(bioBytes, bytes - off)))
            return rc;
    }
    batch.submit();
    return batch.wait();
}

}  // namespace tav
