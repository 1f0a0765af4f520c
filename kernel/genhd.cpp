// The table of block devices (bdget) and the list of added disks, which bind to each
// other: a bdev resolves to its disk and partition while both are live.
#include "kernel/genhd.h"

#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "kernel/blkdev.h"
#include "kernel/printk.h"

namespace {

// Leaf lock; see the lock order in kernel/blkdev.h.
std::mutex bdevLock;
std::unordered_map<dev_t, block_device*> bdevs;  // guarded by bdevLock
// Each added disk holds a reference on the bdevs of its whole disk and its partitions,
// so the pointers in bd_contains stay valid while it is added.
struct AddedDisk {
    gendisk* disk;
    std::vector<block_device*> held;  // held[0] is the whole disk
};
std::vector<AddedDisk> addedDisks;  // guarded by bdevLock

/* Caller holds bdevLock. */
block_device* getLocked(dev_t dev) {
    auto it = bdevs.find(dev);
    if (it != bdevs.end()) {
        atomic_inc(&it->second->bd_count);
        return it->second;
    }
    auto* b = new block_device();
    b->bd_dev = dev;
    init_MUTEX(&b->bd_sem);
    init_MUTEX(&b->bd_mount_sem);
    b->bd_block_size = 512;
    atomic_set(&b->bd_count, 1);
    bdevs.emplace(dev, b);
    return b;
}

/* Caller holds bdevLock. */
void putLocked(block_device* b) {
    if (atomic_dec_and_test(&b->bd_count)) {
        bdevs.erase(b->bd_dev);
        delete b;
    }
}

/* Caller holds bdevLock. */
AddedDisk* findAddedLocked(gendisk* disk) {
    for (auto& a : addedDisks)
        if (a.disk == disk) return &a;
    return nullptr;
}

/* Caller holds bdevLock. */
gendisk* ownerLocked(dev_t dev, int* part) {
    for (auto& a : addedDisks) {
        gendisk* d = a.disk;
        if (static_cast<int>(MAJOR(dev)) != d->major) continue;
        int minor = static_cast<int>(MINOR(dev));
        if (minor < d->first_minor || minor >= d->first_minor + d->minors) continue;
        *part = minor - d->first_minor;
        return d;
    }
    return nullptr;
}

/* Caller holds bdevLock; the disk is added. */
void bindPartitionLocked(AddedDisk& a, int p) {
    block_device* b = getLocked(MKDEV(a.disk->major, a.disk->first_minor + p));
    b->bd_disk = a.disk;
    b->bd_contains = a.held[0];
    b->bd_part = a.disk->part[p - 1];
    a.held.push_back(b);
}

/* Caller holds bdevLock. */
void unbind(block_device* b) {
    b->bd_disk = nullptr;
    b->bd_contains = nullptr;
    b->bd_part = nullptr;
}

/* Caller holds bdevLock. Drops the disk's reference on the bdev of partition p. */
void unbindPartitionLocked(AddedDisk& a, int p) {
    dev_t dev = MKDEV(a.disk->major, a.disk->first_minor + p);
    for (size_t i = 1; i < a.held.size(); ++i) {
        if (a.held[i]->bd_dev != dev) continue;
        unbind(a.held[i]);
        putLocked(a.held[i]);
        a.held.erase(a.held.begin() + static_cast<long>(i));
        return;
    }
}

/* Process context. Holds the whole disk's bd_sem (when the disk is added) across fn. */
template <typename Fn>
void withPartitionTable(gendisk* disk, Fn fn) {
    block_device* whole = nullptr;
    {
        std::lock_guard lk(bdevLock);
        if (AddedDisk* a = findAddedLocked(disk)) {
            whole = a->held[0];
            atomic_inc(&whole->bd_count);
        }
    }
    if (whole) down(&whole->bd_sem);
    {
        std::lock_guard lk(bdevLock);
        fn(findAddedLocked(disk));
    }
    if (whole) {
        up(&whole->bd_sem);
        std::lock_guard lk(bdevLock);
        putLocked(whole);
    }
}

}  // namespace

struct block_device* bdget(dev_t dev) {
    // An added disk holds the bdevs of its disk and partitions, so a live number finds
    // its bound bdev here; any other number gets an unbound one.
    std::lock_guard lk(bdevLock);
    return getLocked(dev);
}

void bdput(struct block_device* bdev) {
    if (!bdev) return;
    std::lock_guard lk(bdevLock);
    putLocked(bdev);
}

int tav::kernel::bdevReferences(dev_t dev) {
    std::lock_guard lk(bdevLock);
    auto it = bdevs.find(dev);
    return it == bdevs.end() ? 0 : atomic_read(&it->second->bd_count);
}

sector_t bdevSectors(const struct block_device* bdev) {
    if (bdev->bd_part) return bdev->bd_part->nr_sects;
    if (bdev->bd_disk) return get_capacity(bdev->bd_disk);
    return 0;
}

const char* bdevname(struct block_device* bdev, char* buf) {
    if (bdev->bd_disk) {
        return disk_name(bdev->bd_disk, bdev->bd_part ? bdev->bd_part->partno : 0, buf);
    }
    std::snprintf(buf, BDEVNAME_SIZE, "unknown-block(%u,%u)", MAJOR(bdev->bd_dev), MINOR(bdev->bd_dev));
    return buf;
}

char* disk_name(struct gendisk* disk, int part, char* buf) {
    if (!part) {
        std::snprintf(buf, BDEVNAME_SIZE, "%s", disk->disk_name);
    } else {
        size_t n = std::strlen(disk->disk_name);
        bool digit = n && disk->disk_name[n - 1] >= '0' && disk->disk_name[n - 1] <= '9';
        std::snprintf(buf, BDEVNAME_SIZE, digit ? "%sp%d" : "%s%d", disk->disk_name, part);
    }
    return buf;
}

struct gendisk* alloc_disk(int minors) {
    if (minors < 1) return nullptr;
    auto* disk = new (std::nothrow) gendisk();
    if (!disk) return nullptr;
    disk->minors = minors;
    if (minors > 1) {
        disk->part = new (std::nothrow) hd_struct*[static_cast<size_t>(minors - 1)]();
        if (!disk->part) {
            delete disk;
            return nullptr;
        }
    }
    return disk;
}

void add_disk(struct gendisk* disk) {
    std::lock_guard lk(bdevLock);
    BUG_ON(findAddedLocked(disk));
    disk->flags |= GENHD_FL_UP;
    addedDisks.push_back({disk, {}});
    AddedDisk& a = addedDisks.back();
    block_device* whole = getLocked(MKDEV(disk->major, disk->first_minor));
    whole->bd_disk = disk;
    whole->bd_contains = whole;
    whole->bd_part = nullptr;
    a.held.push_back(whole);
    for (int p = 1; p < disk->minors; ++p)
        if (disk->part[p - 1]) bindPartitionLocked(a, p);
}

void del_gendisk(struct gendisk* disk) {
    for (int p = 1; p < disk->minors; ++p)
        if (disk->part[p - 1]) delete_partition(disk, p);
    std::lock_guard lk(bdevLock);
    for (size_t i = 0; i < addedDisks.size(); ++i) {
        if (addedDisks[i].disk != disk) continue;
        for (block_device* b : addedDisks[i].held) {
            unbind(b);
            putLocked(b);
        }
        addedDisks.erase(addedDisks.begin() + static_cast<long>(i));
        break;
    }
    disk->flags &= ~GENHD_FL_UP;
}

void put_disk(struct gendisk* disk) {
    if (!disk) return;
    for (int p = 1; p < disk->minors; ++p) delete disk->part[p - 1];
    delete[] disk->part;
    delete disk;
}

void add_partition(struct gendisk* disk, int part, sector_t start, sector_t len) {
    BUG_ON(part < 1 || part >= disk->minors);
    auto* p = new hd_struct();
    p->start_sect = start;
    p->nr_sects = len;
    p->partno = part;
    withPartitionTable(disk, [&](AddedDisk* a) {
        BUG_ON(disk->part[part - 1]);
        disk->part[part - 1] = p;
        if (a) bindPartitionLocked(*a, part);
    });
}

void delete_partition(struct gendisk* disk, int part) {
    if (part < 1 || part >= disk->minors) return;
    hd_struct* gone = nullptr;
    withPartitionTable(disk, [&](AddedDisk* a) {
        gone = disk->part[part - 1];
        disk->part[part - 1] = nullptr;
        if (a && gone) unbindPartitionLocked(*a, part);
    });
    delete gone;
}

struct gendisk* get_gendisk(dev_t dev, int* part) {
    std::lock_guard lk(bdevLock);
    int p = 0;
    gendisk* d = ownerLocked(dev, &p);
    if (part) *part = p;
    return d;
}
