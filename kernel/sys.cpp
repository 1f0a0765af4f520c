// The system-call seam in-process: the descriptor tables and the calls on them. Every
// call works on the calling thread's process (kernel/process.h).
#include <atomic>
#include <mutex>
#include <vector>

#include "kernel/fs.h"
#include "kernel/mman.h"
#include "kernel/process.h"
#include "kernel/sched.h"
#include "tav/sys.h"

namespace {

constexpr int kFirstFd = 3;
constexpr int kMaxFds = 1024;
// A slot whose open is in progress: taken, but not a file yet.
struct file* const kOpening = reinterpret_cast<struct file*>(1);

}  // namespace

// One process's descriptors.
struct FdTable {
    std::mutex fdLock;
    std::vector<struct file*> v = std::vector<struct file*>(kMaxFds, nullptr);  // guarded by fdLock; null: free
};

namespace {

FdTable& table() { return *tav::kernel::currentProcess()->fds; }

int reserveFd() {
    FdTable& ft = table();
    std::lock_guard g(ft.fdLock);
    auto& t = ft.v;
    for (int fd = kFirstFd; fd < kMaxFds; fd++) {
        if (!t[fd]) {
            t[fd] = kOpening;
            return fd;
        }
    }
    return -EMFILE;
}

// The descriptor's file, taken out of the table; null if there is none.
struct file* takeFd(int fd) {
    FdTable& ft = table();
    std::lock_guard g(ft.fdLock);
    if (fd < 0 || fd >= kMaxFds) return nullptr;
    struct file* f = ft.v[fd];
    if (f == kOpening) return nullptr;
    ft.v[fd] = nullptr;
    return f;
}

// Holds a file reference for one call.
struct FileRef {
    explicit FileRef(int fd) : f(fd >= 0 ? fget(static_cast<unsigned>(fd)) : nullptr) {}
    ~FileRef() {
        if (f) fput(f);
    }
    FileRef(const FileRef&) = delete;
    FileRef& operator=(const FileRef&) = delete;
    struct file* f;
};

int closeFile(struct file* f) {
    int ret = f->f_op->flush ? f->f_op->flush(f) : 0;
    fput(f);
    return ret;
}

std::atomic<tav::sys::Backend*> backendHook{nullptr};

tav::sys::Backend* backend() { return tav::kernel::callerBackend(); }

void* failed(int err, int* error) {
    if (error) *error = err;
    return MAP_FAILED;
}

}  // namespace

struct file* fget(unsigned int fd) {
    FdTable& ft = table();
    std::lock_guard g(ft.fdLock);
    if (fd >= static_cast<unsigned>(kMaxFds)) return nullptr;
    struct file* f = ft.v[fd];
    if (!f || f == kOpening) return nullptr;
    get_file(f);
    return f;
}

namespace tav::sys {

int open(const char* path, int flags) {
    if (Backend* b = backend()) return b->open(path, flags);
    int fd = reserveFd();
    if (fd < 0) return fd;
    struct file* f;
    int err = tav::kernel::openDevice(path, flags, &f);
    FdTable& ft = table();
    std::lock_guard g(ft.fdLock);
    ft.v[fd] = err ? nullptr : f;
    return err ? err : fd;
}

int close(int fd) {
    if (Backend* b = backend()) return b->close(fd);
    struct file* f = takeFd(fd);
    return f ? closeFile(f) : -EBADF;
}

int ioctl(int fd, unsigned int cmd, unsigned long arg) {
    if (Backend* b = backend()) return b->ioctl(fd, cmd, arg);
    FileRef ref(fd);
    if (!ref.f) return -EBADF;
    if (!ref.f->f_op->ioctl) return -ENOTTY;
    return ref.f->f_op->ioctl(ref.f->f_dentry->d_inode, ref.f, cmd, arg);
}

ssize_t read(int fd, void* buf, size_t count) {
    if (Backend* b = backend()) return b->read(fd, buf, count);
    FileRef ref(fd);
    if (!ref.f || !(ref.f->f_mode & FMODE_READ)) return -EBADF;
    if (!ref.f->f_op->read) return -EINVAL;
    return ref.f->f_op->read(ref.f, static_cast<char*>(buf), count, &ref.f->f_pos);
}

ssize_t write(int fd, const void* buf, size_t count) {
    if (Backend* b = backend()) return b->write(fd, buf, count);
    FileRef ref(fd);
    if (!ref.f || !(ref.f->f_mode & FMODE_WRITE)) return -EBADF;
    if (!ref.f->f_op->write) return -EINVAL;
    return ref.f->f_op->write(ref.f, static_cast<const char*>(buf), count, &ref.f->f_pos);
}

int poll(int fd, short events) {
    if (Backend* b = backend()) return b->poll(fd, events);
    FileRef ref(fd);
    if (!ref.f) return POLLNVAL;
    unsigned int mask = DEFAULT_POLLMASK;
    if (ref.f->f_op->poll) mask = ref.f->f_op->poll(ref.f, nullptr);
    return static_cast<int>(mask & (static_cast<unsigned short>(events) | POLLERR | POLLHUP));
}

void* mmap(int fd, size_t length, int prot, int flags, off_t offset, int* error) {
    if (Backend* b = backend()) return b->mmap(fd, length, prot, flags, offset, error);
    long addr = tav::kernel::mmapDescriptor(fd, length, prot, flags, offset, 0);
    if (addr < 0) return failed(static_cast<int>(addr), error);
    if (error) *error = 0;
    return reinterpret_cast<void*>(addr);
}

int munmap(void* addr, size_t length) {
    if (Backend* b = backend()) return b->munmap(addr, length);
    return tav::kernel::munmapRange(reinterpret_cast<unsigned long>(addr), length);
}

void* forkMapping(void* addr, int* error) {
    if (Backend* b = backend()) return b->forkMapping(addr, error);
    long copy = tav::kernel::forkMapping(reinterpret_cast<unsigned long>(addr));
    if (copy < 0) return failed(static_cast<int>(copy), error);
    if (error) *error = 0;
    return reinterpret_cast<void*>(copy);
}

int touch(const void* addr, bool write) {
    if (Backend* b = backend()) return b->touch(addr, write);
    using tav::kernel::FaultResult;
    switch (tav::kernel::handleFault(reinterpret_cast<unsigned long>(addr), write)) {
    case FaultResult::Mapped:
        return 0;
    case FaultResult::BusError:
        return kBusError;
    case FaultResult::OutOfMemory:
        return -ENOMEM;
    case FaultResult::NotOurs:
    case FaultResult::BadAccess:
        break;
    }
    return -EFAULT;
}

void exitProcess() {
    if (Backend* b = backend()) {
        b->exitProcess();
        return;
    }
    tav::kernel::exitMm();
    for (int fd = kFirstFd; fd < kMaxFds; fd++) {
        if (struct file* f = takeFd(fd)) closeFile(f);
    }
}

long openDescriptors() {
    if (Backend* b = backend()) return b->openDescriptors();
    FdTable& ft = table();
    std::lock_guard g(ft.fdLock);
    long n = 0;
    for (struct file* f : ft.v)
        if (f && f != kOpening) n++;
    return n;
}

long mappings() {
    if (Backend* b = backend()) return b->mappings();
    return tav::kernel::mappingCount();
}

Backend* setBackend(Backend* b) { return backendHook.exchange(b, std::memory_order_acq_rel); }

}  // namespace tav::sys

namespace tav::kernel {
// Only the host process's own threads have a backend.
tav::sys::Backend* callerBackend() {
    tav::sys::Backend* b = backendHook.load(std::memory_order_acquire);
    return b && !current->process ? b : nullptr;
}

long mmapDescriptor(int fd, size_t length, int prot, int flags, off_t offset, unsigned long addr) {
    if (offset < 0 || (static_cast<unsigned long>(offset) & ~PAGE_MASK)) return -EINVAL;
    if (flags & (MAP_FIXED | MAP_ANONYMOUS)) return -EINVAL;
    FileRef ref(fd);
    if (!ref.f) return -EBADF;
    return mmapFile(ref.f, length, static_cast<unsigned long>(prot), static_cast<unsigned long>(flags),
                    static_cast<unsigned long>(offset) >> PAGE_SHIFT, addr);
}

FdTable* newFdTable() { return new FdTable; }
void freeFdTable(FdTable* t) { delete t; }
}  // namespace tav::kernel
