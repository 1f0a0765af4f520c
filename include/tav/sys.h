// The system-call seam: how a user program reaches a driver (the module) in this
// process. The caller's own memory is user memory: buffers and ioctl arguments are
// passed as they are and the driver reaches them through copy_to_user/copy_from_user.
//
// Descriptors belong to the one emulated process (the test process). They are not host
// descriptors: they start at 3 (0..2 are taken by the host's standard streams and are
// never ours) and the lowest free one is handed out, at most 1024. Every call is
// thread-safe; calls on one descriptor from many threads run the driver concurrently
// (2.6.9 held the big kernel lock around ioctl; this platform has no BKL). The
// driver's `current` is the calling thread's task.
//
// Results follow the kernel: a negative errno on failure; otherwise what the driver
// returned, unchanged (no -1/errno translation).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/types.h>

#include <csignal>
#include <cstddef>

namespace tav::sys {

// Opens a device node ("/dev/<name>"). flags: O_RDONLY, O_WRONLY or O_RDWR (3 opens for
// ioctl only, as in 2.6.9), other bits are kept in f_flags. Returns the descriptor.
// -ENOENT: no such node; -ENXIO: no driver for its major, or the driver's module is
// being removed; -EMFILE: no free descriptor; otherwise the driver's open error.
int open(const char* path, int flags);

// Closes a descriptor: the driver's flush, then the descriptor's file reference. The
// driver's release runs when the file's last user is gone (this descriptor, every
// mapping of the file, every call still running on it). Returns flush's result, or
// -EBADF.
int close(int fd);

// The driver's ioctl result unchanged (0, a small positive code, or a negative errno).
// -EBADF: bad descriptor; -ENOTTY: the driver has no ioctl.
int ioctl(int fd, unsigned int cmd, unsigned long arg);
template <class T>
int ioctl(int fd, unsigned int cmd, T* arg) {
    return ioctl(fd, cmd, reinterpret_cast<unsigned long>(arg));
}

// The driver's read/write result, at the file position. -EBADF: bad descriptor or not
// open for reading (writing); -EINVAL: the driver has no read (write).
ssize_t read(int fd, void* buf, size_t count);
ssize_t write(int fd, const void* buf, size_t count);

// One poll of one descriptor that never sleeps (a zero timeout): the driver's poll mask
// (DEFAULT_POLLMASK without a poll operation) limited to events | POLLERR | POLLHUP;
// POLLNVAL for a bad descriptor.
int poll(int fd, short events);

// Maps length bytes (rounded up to pages) of the device file at offset (page-aligned)
// at an address the platform picks. flags: MAP_SHARED or MAP_PRIVATE plus hints
// (MAP_FIXED and MAP_ANONYMOUS are refused: no address argument, no anonymous memory).
// Nothing is mapped until a page is touched (see touch). On failure returns MAP_FAILED
// and nothing is left (no mapping, no file reference, the driver's close not called).
// *error (when given) gets 0 or the negative errno: -EBADF, -EINVAL (length 0, offset not
// aligned, bad flags), -ENODEV (no mmap operation), -EACCES (file not open for reading;
// or shared and writable on a file not open for writing), -ENOMEM, or the driver's
// mmap error.
void* mmap(int fd, size_t length, int prot, int flags, off_t offset, int* error = nullptr);

// Unmaps every page of [addr, addr + length) (addr page-aligned, length rounded up); a
// mapping only partly inside is split first (the piece left over gets vm_ops->open, like
// a copy). Every mapping removed gets vm_ops->close and drops its file reference (which
// may be the file's last: release runs). Pages mapped in the range give their
// references back. 0 (also when nothing was mapped there), or -EINVAL.
int munmap(void* addr, size_t length);

// fork, for one mapping: makes a copy of the mapping that contains addr at a new address
// (same file, flags, offset and vm_private_data), takes a file reference and calls
// vm_ops->open on the copy (the driver's mmap is not called). Pages present in the
// original are present in the copy (each with its own reference); the others fault
// through nopage with the copy's VMA. Returns the copy's address of addr, or MAP_FAILED
// with *error: -EFAULT (no mapping at addr), -EINVAL (VM_DONTCOPY), -ENOMEM. The copy is
// an ordinary mapping of this process: munmap or exitProcess removes it.
void* forkMapping(void* addr, int* error = nullptr);

// What touch reports when the access would raise a bus error (nopage gave no page).
inline constexpr int kBusError = SIGBUS;

// The page fault an access to addr would take, without accessing it (so a "no page"
// case can be checked without dying). 0: the page is present (or is now); -EFAULT: addr
// is in no mapping, or the mapping does not allow the access (a real access would raise
// SIGSEGV); kBusError (positive SIGBUS): nopage gave no page (a real access would raise
// SIGBUS); -ENOMEM: nopage reported NOPAGE_OOM (a real access kills the process).
int touch(const void* addr, bool write = false);

// Process exit: removes every mapping (pages first, then each driver's close and file
// reference), then closes every descriptor, lowest first. The process is then empty and
// can be used again.
void exitProcess();

// Device nodes (kernel/fs.h). mknod adds a character-device node that stays until
// unlink: -EEXIST when the path is taken, -EINVAL for a bad number. unlink: -ENOENT.
// Files open through a node keep working after it is removed.
int mknod(const char* path, unsigned int major, unsigned int minor);
int unlink(const char* path);

// For tests: open descriptors and mappings of the process.
long openDescriptors();
long mappings();

// Where the calls go. By default they run the driver in this process (above); with a
// backend set (e.g. tav::client::Connection, a tavguardd over its socket) every call of
// this header made by this process's own threads goes to the backend instead. Threads
// that serve a daemon's clients (tasks of another process, kernel/process.h) always run
// in-process. Set it before the first call and keep it alive while it is set.
class Backend {
public:
    virtual ~Backend() = default;
    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned int cmd, unsigned long arg) = 0;
    virtual ssize_t read(int fd, void* buf, size_t count) = 0;
    virtual ssize_t write(int fd, const void* buf, size_t count) = 0;
    virtual int poll(int fd, short events) = 0;
    virtual void* mmap(int fd, size_t length, int prot, int flags, off_t offset, int* error) = 0;
    virtual int munmap(void* addr, size_t length) = 0;
    virtual void* forkMapping(void* addr, int* error) = 0;
    virtual int touch(const void* addr, bool write) = 0;
    virtual void exitProcess() = 0;
    virtual int mknod(const char* path, unsigned int major, unsigned int minor) = 0;
    virtual int unlink(const char* path) = 0;
    virtual long openDescriptors() = 0;
    virtual long mappings() = 0;
};
// Null: in-process again. Returns the previous backend.
Backend* setBackend(Backend* backend);

}  // namespace tav::sys
