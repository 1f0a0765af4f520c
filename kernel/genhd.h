// Disks and their partitions (struct gendisk, struct hd_struct), as in 2.6.9.
//
// A disk owns minors device numbers from MKDEV(major, first_minor): the whole disk, then
// partition p at first_minor + p. Their block devices bind to the disk when opened
// (blkdev_get), not when the disk is added; see kernel/blkdev.h for the lock tree.
#pragma once

#include "kernel/types.h"

struct request_queue;
struct block_device;

struct hd_struct {
    sector_t start_sect;  // first sector on the whole disk
    sector_t nr_sects;
    // I/O statistics, counted by the partition remap of generic_make_request (atomic-free
    // like the kernel's: approximate under concurrency).
    unsigned reads, read_sectors, writes, write_sectors;
    int policy;  // read-only flag
    int partno;
};

constexpr int GENHD_FL_REMOVABLE = 1;
constexpr int GENHD_FL_UP = 16;

struct gendisk {
    int major;
    int first_minor;
    int minors;  // 1 for a disk that cannot be partitioned
    char disk_name[32];
    // minors - 1 entries: part[p - 1] is partition p, null when absent. Changed only
    // under the whole disk's bd_sem (add_partition, delete_partition).
    struct hd_struct** part;
    struct request_queue* queue;
    void* private_data;  // the driver's
    sector_t capacity;   // sectors; set_capacity
    int flags;           // GENHD_FL_*
};

// Allocates a disk with room for minors - 1 partitions (null when minors < 1 or no memory).
struct gendisk* alloc_disk(int minors);
// Makes the disk live: its numbers resolve through bdget and get_gendisk.
void add_disk(struct gendisk* disk);
// Takes the disk off the system: its partitions are deleted and its open block devices
// lose their bd_disk (I/O to them then fails with -EIO) until their last close.
void del_gendisk(struct gendisk* disk);
// Frees a disk that is not (or no longer) added.
void put_disk(struct gendisk* disk);

inline sector_t get_capacity(const struct gendisk* disk) { return disk->capacity; }
inline void set_capacity(struct gendisk* disk, sector_t sectors) { disk->capacity = sectors; }

// Creates partition part (1 .. minors - 1) over [start, start + len); a later open of its
// block device binds to it. Process context; takes the whole disk's bd_sem.
void add_partition(struct gendisk* disk, int part, sector_t start, sector_t len);
void delete_partition(struct gendisk* disk, int part);

// The added disk that owns dev, with *part set to the partition number (0 = whole disk);
// null when no disk owns the number.
struct gendisk* get_gendisk(dev_t dev, int* part);

// "tda", "tda1"; a name ending in a digit gets a "p" before the partition number.
char* disk_name(struct gendisk* disk, int part, char* buf);
constexpr int BDEVNAME_SIZE = 32;
