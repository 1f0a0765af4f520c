// Character devices, inodes and open files, in their 2.6.9 shapes.
//
// Device nodes: a small table of paths ("/dev/<name>") to character device numbers.
// tav::sys::mknod adds a node that stays until tav::sys::unlink, like one made by an
// installer; register_chrdev also adds "/dev/<name>" -> (major, 0) when that path is
// free, and unregister_chrdev removes that automatic node again, like udev would. An
// open through a node whose major has no driver fails with -ENXIO.
//
// Open (chrdev_open + dentry_open): finds the driver by major (any minor 0..255), takes
// one reference on fops->owner (the kernel's reference per open file; -ENXIO while the
// owner is going), calls fops->open; when that fails the reference is dropped, release is
// not called and nothing is left. The last fput (descriptor closed and every mapping of
// the file gone) calls release, then drops the owner's reference.
// No big kernel lock: 2.6.9 held the BKL around open and ioctl; here drivers run
// concurrently, and ioctls on one file run in parallel.
//
// Lock order: see kernel/mman.h.
#pragma once

#include <string>

#include "kernel/atomic.h"
#include "kernel/poll.h"
#include "kernel/types.h"

struct module;
struct vm_area_struct;

using umode_t = unsigned short;

constexpr mode_t FMODE_READ = 1;
constexpr mode_t FMODE_WRITE = 2;

struct inode {
    dev_t i_rdev = 0;     /* set at mknod, read-only after */
    umode_t i_mode = 0;   /* S_IFCHR | permissions; read-only */
    atomic_t i_count;     /* atomic: the node table's reference and one per open file */
};

inline unsigned iminor(const struct inode* inode) { return MINOR(inode->i_rdev); }
inline unsigned imajor(const struct inode* inode) { return MAJOR(inode->i_rdev); }

struct dentry {
    struct inode* d_inode = nullptr;  /* read-only */
};

struct file_operations;

struct file {
    struct dentry* f_dentry = nullptr;        /* set at open, read-only after */
    struct file_operations* f_op = nullptr;   /* set at open, read-only after */
    atomic_t f_count;                         /* atomic: descriptor, mappings, calls in flight */
    unsigned int f_flags = 0;                 /* open flags; read-only after open */
    mode_t f_mode = 0;                        /* FMODE_READ / FMODE_WRITE; read-only */
    loff_t f_pos = 0;   /* not serialised: concurrent reads of one file race, as in 2.6.9 */
    void* private_data = nullptr;             /* the driver's */
};

// Fields in the kernel's order, so designated initialisers can name any subset in this
// order: owner, read, write, poll, ioctl, mmap, open, flush, release.
struct file_operations {
    struct module* owner = nullptr;
    ssize_t (*read)(struct file*, char __user*, size_t, loff_t*) = nullptr;
    ssize_t (*write)(struct file*, const char __user*, size_t, loff_t*) = nullptr;
    unsigned int (*poll)(struct file*, struct poll_table_struct*) = nullptr;
    int (*ioctl)(struct inode*, struct file*, unsigned int, unsigned long) = nullptr;
    int (*mmap)(struct file*, struct vm_area_struct*) = nullptr;
    int (*open)(struct inode*, struct file*) = nullptr;
    int (*flush)(struct file*) = nullptr;  // at every close of a descriptor
    int (*release)(struct inode*, struct file*) = nullptr;  // at the last fput
};

// Registers minors 0..255 of major. major 0 allocates the highest free major below 255
// and returns it; otherwise returns 0. -EBUSY when the major is taken (or none is free),
// -EINVAL for a major that does not fit the 12-bit field.
int register_chrdev(unsigned int major, const char* name, struct file_operations* fops);
// Always 0, as in 2.6.9 (the name is not checked). Open files keep working.
int unregister_chrdev(unsigned int major, const char* name);

inline void get_file(struct file* f) { atomic_inc(&f->f_count); }
// Drops a reference; the last one releases the file. Process context; may sleep.
void fput(struct file* f);
// The file of a descriptor of this process with a reference taken, or null.
struct file* fget(unsigned int fd);

namespace tav::kernel {
// Opens the device node at path (the seam's open without the descriptor): 0 and the
// file with one reference, or a negative errno (-ENOENT: no node).
int openDevice(const char* path, int flags, struct file** filp);
// Number of character devices registered with fops->owner == mod.
int chrdevsOwnedBy(const struct module* mod);
// True when major has a driver; its name goes to *name when given.
bool chrdevRegistered(unsigned int major, std::string* name = nullptr);
// Open files of every process (for leak checks).
long liveFiles();
}  // namespace tav::kernel
