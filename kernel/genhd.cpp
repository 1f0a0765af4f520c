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
// Each added disk holds a reference on its whole disk's bdev, whose bd_sem guards the
// partition table. Binding happens at open (blkdev_get), not here.
struct AddedDisk {
    gendisk* disk;
    block_device* whole;
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
        BUG_ON(b->bd_openers);
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

/* Caller holds bdevLock. Open bdevs of the disk (or of one partition, part > 0) lose
   their disk; bd_contains stays, with its reference, until their last close. */
void detachOpenLocked(gendisk* disk, int part) {
    for (auto& [dev, b] : bdevs) {
        if (b->bd_disk != disk) continue;
        int p = static_cast<int>(MINOR(dev)) - disk->first_minor;
        if (part && p != part) continue;
        b->bd_disk = nullptr;
        b->bd_part = nullptr;
    }
}

/* Process context. Holds the whole disk's bd_sem (when the disk is added) across fn. */
template <typename Fn>
void withPartitionTable(gendisk* disk, Fn fn) {
    block_device* whole = nullptr;
    {
        std::lock_guard lk(bdevLock);
        if (AddedDisk* a = findAddedLocked(disk)) {
            whole = a->whole;
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
    std::lock_guard lk(bdevLock);
    return getLocked(dev);
}

struct block_device* tav::kernel::bdgrab(struct block_device* bdev) {
    atomic_inc(&bdev->bd_count);
    return bdev;
}

int blkdev_get(struct block_device* bdev, mode_t, unsigned) {
    down(&bdev->bd_sem);
    if (bdev->bd_openers) {
        bdev->bd_openers++;
        up(&bdev->bd_sem);
        bdput(bdev);  // the first open's reference stands for every later one
        return 0;
    }
    // The owner is looked up and bound in one section, so a disk going away meanwhile
    // cannot be left behind in bd_disk.
    int part = 0;
    gendisk* disk;
    {
        std::lock_guard lk(bdevLock);
        disk = ownerLocked(bdev->bd_dev, &part);
        if (disk && !part) {
            bdev->bd_disk = disk;
            bdev->bd_contains = bdev;
            bdev->bd_part = nullptr;
        }
    }
    if (!disk) {
        up(&bdev->bd_sem);
        bdput(bdev);
        return -ENXIO;
    }
    if (part) {
        // disk is only compared from here on: it is live while the whole disk is bound to it.
        block_device* whole = bdget(MKDEV(MAJOR(bdev->bd_dev), MINOR(bdev->bd_dev) - static_cast<unsigned>(part)));
        int err = blkdev_get(whole, 0, 0);
        if (!err) {
            // The whole disk's bd_sem keeps the partition table still while we look.
            down(&whole->bd_sem);
            {
                std::lock_guard lk(bdevLock);
                hd_struct* p = whole->bd_disk == disk ? disk->part[part - 1] : nullptr;
                if (p) {
                    bdev->bd_disk = disk;
                    bdev->bd_contains = whole;
                    bdev->bd_part = p;
                } else {
                    err = -ENXIO;
                }
            }
            up(&whole->bd_sem);
            if (err) blkdev_put(whole);
        }
        if (err) {
            up(&bdev->bd_sem);
            bdput(bdev);
            return err;
        }
    }
    bdev->bd_openers = 1;
    up(&bdev->bd_sem);
    return 0;
}

int blkdev_put(struct block_device* bdev) {
    down(&bdev->bd_sem);
    BUG_ON(bdev->bd_openers <= 0);
    if (--bdev->bd_openers) {
        up(&bdev->bd_sem);
        return 0;
    }
    block_device* whole = bdev->bd_contains;
    {
        std::lock_guard lk(bdevLock);
        bdev->bd_disk = nullptr;
        bdev->bd_part = nullptr;
        bdev->bd_contains = nullptr;
    }
    up(&bdev->bd_sem);
    if (whole && whole != bdev) blkdev_put(whole);
    bdput(bdev);
    return 0;
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
    addedDisks.push_back({disk, getLocked(MKDEV(disk->major, disk->first_minor))});
}

void del_gendisk(struct gendisk* disk) {
    for (int p = 1; p < disk->minors; ++p)
        if (disk->part[p - 1]) delete_partition(disk, p);
    std::lock_guard lk(bdevLock);
    for (size_t i = 0; i < addedDisks.size(); ++i) {
        if (addedDisks[i].disk != disk) continue;
        detachOpenLocked(disk, 0);
        putLocked(addedDisks[i].whole);
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
    withPartitionTable(disk, [&](AddedDisk*) {
        BUG_ON(disk->part[part - 1]);
        disk->part[part - 1] = p;
    });
}

void delete_partition(struct gendisk* disk, int part) {
    if (part < 1 || part >= disk->minors) return;
    hd_struct* gone = nullptr;
    withPartitionTable(disk, [&](AddedDisk* a) {
        gone = disk->part[part - 1];
        disk->part[part - 1] = nullptr;
        if (a && gone) detachOpenLocked(disk, part);
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
