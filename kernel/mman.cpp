// Mappings of device files and the page-fault path over real host faults.
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>

#include <csetjmp>
#include <csignal>
#include <map>
#include <mutex>
#include <vector>

#include "kernel/fs.h"
#include "kernel/mman.h"
#include "kernel/printk.h"
#include "kernel/process.h"
#include "kernel/sched.h"

namespace {

constexpr unsigned long kTaskSize = 0x7ffffffff000UL;

// A page slot that holds an anonymous page (a mapping whose driver has no nopage).
struct page* const kAnonPage = reinterpret_cast<struct page*>(1);

struct Vma {
    struct vm_area_struct v;
    std::mutex pteLock;
    // One per page of v; null until faulted. Guarded by pteLock under mmap_sem (r), or
    // by mmap_sem (w) alone. A real page holds the reference nopage took.
    std::vector<struct page*> ptes;
};

}  // namespace

// One process's address space. A remote one (a daemon client's) has no host ranges here:
// its mappings are at addresses the client reserved, and a page "mapped" is one entered
// in a slot, which the client maps itself from the page arena.
struct ProcessMm {
    struct mm_struct mm;  // first: find_vma's mm pointer is the ProcessMm's
    bool remote = false;  // read-only
    std::map<unsigned long, Vma*> vmas;  // by vm_start; guarded by mm.mmap_sem
};

namespace {

using Mm = ProcessMm;

Mm& theMm() { return *tav::kernel::currentProcess()->mm; }
// Host faults only ever hit the host process's own mappings.
Mm& localMm() { return *tav::kernel::localProcess()->mm; }

// Non-zero while this thread is inside an mmap_sem section. A fault then is a crash in
// the platform or a driver, never a fault on a mapping (which would deadlock on the
// semaphore anyway).
thread_local int mmLockDepth = 0;

struct ReadSection {
    explicit ReadSection(Mm& m) : m_(m) {
        mmLockDepth++;
        down_read(&m_.mm.mmap_sem);
    }
    ~ReadSection() {
        up_read(&m_.mm.mmap_sem);
        mmLockDepth--;
    }
    Mm& m_;
};

struct WriteSection {
    explicit WriteSection(Mm& m) : m_(m) {
        mmLockDepth++;
        down_write(&m_.mm.mmap_sem);
    }
    ~WriteSection() {
        up_write(&m_.mm.mmap_sem);
        mmLockDepth--;
    }
    Mm& m_;
};

int hostProt(unsigned long vmFlags) {
    int prot = PROT_NONE;
    if (vmFlags & (VM_READ | VM_WRITE | VM_EXEC)) prot |= PROT_READ;  // x86: write and exec imply read
    if (vmFlags & VM_WRITE) prot |= PROT_WRITE;
    if (vmFlags & VM_EXEC) prot |= PROT_EXEC;
    return prot;
}

// A private writable mapping gets the host's copy-on-write: it reads the page until the
// program's first write to it, then has its own copy, as 2.6.9's do_wp_page gives it.
int hostShare(unsigned long vmFlags) {
    return (vmFlags & VM_WRITE) && !(vmFlags & VM_SHARED) ? MAP_PRIVATE : MAP_SHARED;
}

unsigned long reserve(unsigned long len) {
    void* p = ::mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? 0 : reinterpret_cast<unsigned long>(p);
}

// Pages enter a mapping through the raw system call: like a page-table entry, the new
// page is there for every thread at once. A sanitizer's mmap interceptor would count it
// as a write by the faulting thread and report the other threads' reads as races.
bool hostMapFixed(unsigned long addr, int prot, int flags, int fd, long offset) {
    long r = syscall(SYS_mmap, addr, PAGE_SIZE, prot, flags | MAP_FIXED, fd, offset);
    return r == static_cast<long>(addr);
}

bool mapPage(unsigned long addr, struct page* page, unsigned long vmFlags) {
    return hostMapFixed(addr, hostProt(vmFlags), hostShare(vmFlags), tav::kernel::pageArenaFd(),
                        tav::kernel::pageArenaOffset(page));
}

bool mapAnonPage(unsigned long addr, int prot) {
    return hostMapFixed(addr, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
}

/* Caller holds mmap_sem. */
Vma* findVma(Mm& m, unsigned long addr) {
    auto it = m.vmas.upper_bound(addr);
    if (it != m.vmas.begin()) {
        auto prev = std::prev(it);
        if (prev->second->v.vm_end > addr) return prev->second;
    }
    return it == m.vmas.end() ? nullptr : it->second;
}

// Removes the pages and the address range of a detached mapping, then drops the page
// references: the host mapping is gone before a page can be reused.
void zap(Mm& m, Vma* vma) {
    if (!m.remote) ::munmap(reinterpret_cast<void*>(vma->v.vm_start), vma->v.vm_end - vma->v.vm_start);
    for (struct page*& p : vma->ptes) {
        if (p && p != kAnonPage) put_page(p);
        p = nullptr;
    }
}

// After zap: the driver's close, then the mapping's file reference (which may be the
// file's last and so call release).
void removeVma(Vma* vma) {
    if (vma->v.vm_ops && vma->v.vm_ops->close) vma->v.vm_ops->close(&vma->v);
    if (vma->v.vm_file) fput(vma->v.vm_file);
    delete vma;
}

// 2.6.9's split_vma: the new piece is a copy that gets its own file reference and
// vm_ops->open; the original keeps the other side. new_below puts the new piece below
// addr. Page slots (and their references) move with their addresses.
/* Caller holds mmap_sem for writing. */
Vma* split(Mm& m, Vma* vma, unsigned long addr, bool newBelow) {
    auto* piece = new Vma;
    piece->v = vma->v;
    auto cut = static_cast<long>((addr - vma->v.vm_start) >> PAGE_SHIFT);
    auto& ptes = vma->ptes;
    if (newBelow) {
        piece->v.vm_end = addr;
        piece->ptes.assign(ptes.begin(), ptes.begin() + cut);
    } else {
        piece->v.vm_start = addr;
        piece->v.vm_pgoff += static_cast<unsigned long>(cut);
        piece->ptes.assign(ptes.begin() + cut, ptes.end());
    }
    if (piece->v.vm_file) get_file(piece->v.vm_file);
    if (piece->v.vm_ops && piece->v.vm_ops->open) piece->v.vm_ops->open(&piece->v);
    m.vmas.erase(vma->v.vm_start);
    if (newBelow) {
        vma->v.vm_start = addr;
        vma->v.vm_pgoff += static_cast<unsigned long>(cut);
        ptes.erase(ptes.begin(), ptes.begin() + cut);
    } else {
        vma->v.vm_end = addr;
        ptes.resize(static_cast<size_t>(cut));
    }
    m.vmas[vma->v.vm_start] = vma;
    m.vmas[piece->v.vm_start] = piece;
    return piece;
}

/* Caller holds mmap_sem for reading. */
tav::kernel::FaultResult faultLocked(Mm& m, unsigned long address, bool write, long* arenaOffset) {
    using tav::kernel::FaultResult;
    Vma* vma = findVma(m, address);
    if (!vma || vma->v.vm_start > address) return FaultResult::NotOurs;
    unsigned long flags = vma->v.vm_flags;
    if (write ? !(flags & VM_WRITE) : !(flags & (VM_READ | VM_EXEC))) return FaultResult::BadAccess;
    size_t idx = (address - vma->v.vm_start) >> PAGE_SHIFT;
    unsigned long pageAddr = vma->v.vm_start + (idx << PAGE_SHIFT);
    if (!vma->v.vm_ops || !vma->v.vm_ops->nopage) {
        if (m.remote) return FaultResult::BusError;  // no anonymous memory across processes
        std::lock_guard g(vma->pteLock);
        if (vma->ptes[idx]) return FaultResult::Mapped;
        if (!mapAnonPage(pageAddr, hostProt(flags))) return FaultResult::OutOfMemory;
        vma->ptes[idx] = kAnonPage;
        return FaultResult::Mapped;
    }
    {
        std::lock_guard g(vma->pteLock);
        if (struct page* p = vma->ptes[idx]) {  // another thread got here first
            if (arenaOffset) *arenaOffset = tav::kernel::pageArenaOffset(p);
            return FaultResult::Mapped;
        }
    }
    // Without the slot lock, like 2.6.9's do_no_page: two threads may both ask nopage for
    // the same page; the one that finds the slot filled afterwards gives its page back.
    int type = VM_FAULT_MINOR;
    struct page* page = vma->v.vm_ops->nopage(&vma->v, pageAddr, &type);
    if (page == NOPAGE_SIGBUS) return FaultResult::BusError;
    if (page == NOPAGE_OOM) return FaultResult::OutOfMemory;
    if (page->arenaIndex < 0) {
        printk("<2>%s: nopage returned a page that is not in the page arena\n", __func__);
        return FaultResult::BusError;
    }
    bool lost = false, mapped = false;
    {
        std::lock_guard g(vma->pteLock);
        if (vma->ptes[idx]) {
            lost = true;
            if (arenaOffset) *arenaOffset = tav::kernel::pageArenaOffset(vma->ptes[idx]);
        } else if (m.remote || mapPage(pageAddr, page, flags)) {
            if (arenaOffset) *arenaOffset = tav::kernel::pageArenaOffset(page);
            vma->ptes[idx] = page;
            mapped = true;
        }
    }
    if (lost) {
        put_page(page);
        return FaultResult::Mapped;
    }
    if (!mapped) {
        put_page(page);
        return FaultResult::OutOfMemory;
    }
    return FaultResult::Mapped;
}

// Test seams; read by any thread, set by tests between scenarios.
std::mutex syncPointLock;
std::function<void(unsigned long)> userFaultSyncPoint;  // guarded by syncPointLock
std::function<void()> unmapSyncPoint;                   // guarded by syncPointLock

template <class Fn, class... Args>
void runSyncPoint(const Fn& point, Args... args) {
    Fn fn;
    {
        std::lock_guard g(syncPointLock);
        fn = point;
    }
    if (fn) fn(args...);
}

// --- the host fault handler ---------------------------------------------------------

struct sigaction previousSegv;  // written once, before our handler is installed

// Runs the handler that was installed before ours; false when that was the default or
// ignore, whose action the caller then brings about itself.
bool callPrevious(const struct sigaction& prev, int sig, siginfo_t* info, void* ctx) {
    if (prev.sa_flags & SA_SIGINFO) {
        if (!prev.sa_sigaction) return false;
        prev.sa_sigaction(sig, info, ctx);
        return true;
    }
    if (prev.sa_handler == SIG_DFL || prev.sa_handler == SIG_IGN) return false;
    prev.sa_handler(sig);
    return true;
}

void passOn(int sig, siginfo_t* info, void* ctx) {
    // Default action: put it back; the access repeats and the process dies of it.
    if (!callPrevious(previousSegv, sig, info, ctx)) signal(sig, SIG_DFL);
}

// Like the kernel's force_sig_info: an ignored or blocked SIGBUS still arrives.
void forceSigbus(unsigned long address) {
    struct sigaction cur {};
    sigaction(SIGBUS, nullptr, &cur);
    if (!(cur.sa_flags & SA_SIGINFO) && cur.sa_handler == SIG_IGN) signal(SIGBUS, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGBUS);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    siginfo_t si{};
    si.si_signo = SIGBUS;
    si.si_code = BUS_ADRERR;
    si.si_addr = reinterpret_cast<void*>(address);
    if (syscall(SYS_rt_tgsigqueueinfo, getpid(), syscall(SYS_gettid), SIGBUS, &si) != 0)
        raise(SIGBUS);
}

// Where a copyNoFault of this thread goes on a fault; null outside one.
thread_local sigjmp_buf* copyFixup = nullptr;

// Leaves the signal handler for the fixup of the copy that faulted.
[[noreturn]] void jumpToFixup(int sig, int savedErrno) {
    sigjmp_buf* to = copyFixup;
    copyFixup = nullptr;
    // The jump leaves the handler without sigreturn: the mask it blocked goes now.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    errno = savedErrno;
    siglongjmp(*to, 1);
}

struct sigaction previousBus;  // written once, before busHandler is installed

// A copyNoFault that meets a host file mapping past its end fails like any other fault;
// every other SIGBUS goes where it went before (by default: the process dies of it).
void busHandler(int sig, siginfo_t* info, void* ctx) {
    if (copyFixup && info->si_code > 0) jumpToFixup(sig, errno);
    if (callPrevious(previousBus, sig, info, ctx)) return;
    // A queued SIGBUS (forceSigbus) does not repeat as a faulting access would: it is
    // sent again, to arrive once the handler returns, under the default action.
    signal(sig, SIG_DFL);
    syscall(SYS_rt_tgsigqueueinfo, getpid(), syscall(SYS_gettid), sig, info);
}

[[maybe_unused]] void installBusHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = busHandler;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, nullptr, &previousBus);
        if (sigaction(SIGBUS, &sa, nullptr) != 0) {
            printk("<2>%s: cannot install the bus-error handler\n", __func__);
            BUG();
        }
    });
}

void segvHandler(int sig, siginfo_t* info, void* ctx) {
    int savedErrno = errno;
    if (copyFixup && info->si_code > 0) jumpToFixup(sig, savedErrno);
    bool write = false;
#if defined(__x86_64__)
    write = (static_cast<ucontext_t*>(ctx)->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#endif
    auto address = reinterpret_cast<unsigned long>(info->si_addr);
    using tav::kernel::FaultResult;
    // si_code <= 0: sent by kill() or the like, not a fault.
    FaultResult r = FaultResult::NotOurs;
    if (info->si_code > 0 && mmLockDepth == 0) {
        Mm& m = localMm();
        ReadSection section(m);
        r = faultLocked(m, address, write, nullptr);
    }
    switch (r) {
    case FaultResult::Mapped:
        break;
    case FaultResult::BusError:
        forceSigbus(address);
        break;
    case FaultResult::OutOfMemory:
        printk("VM: killing process %s\n", current->comm);
        kill(getpid(), SIGKILL);
        break;
    case FaultResult::NotOurs:
    case FaultResult::BadAccess:
        passOn(sig, info, ctx);
        break;
    }
    errno = savedErrno;
}

// Installed at the first mapping, so it comes after any sanitizer's handler and passes
// foreign faults on to it.
void installFaultHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = segvHandler;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, nullptr, &previousSegv);
        if (sigaction(SIGSEGV, &sa, nullptr) != 0) {
            printk("<2>%s: cannot install the page-fault handler\n", __func__);
            BUG();
        }
    });
}

// Byte by byte, unseen by the sanitizers as the host kernel's copies were: what the
// caller hands over is user memory, not this program's objects.
[[maybe_unused]] __attribute__((noinline, no_sanitize("address", "thread", "undefined"))) void rawCopy(
    volatile char* to, const volatile char* from, unsigned long n) {
    for (unsigned long i = 0; i < n; i++) to[i] = from[i];
}

}  // namespace

bool tav::kernel::copyNoFault(void* to, const void* from, unsigned long n) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer defers and wraps signal handlers; the full path is taken instead.
    (void)to, (void)from, (void)n;
    return false;
#else
    installFaultHandler();
    installBusHandler();
    sigjmp_buf env;
    if (sigsetjmp(env, 0)) return false;  // copyFixup was cleared by the handler
    copyFixup = &env;
    rawCopy(static_cast<volatile char*>(to), static_cast<const volatile char*>(from), n);
    copyFixup = nullptr;
    return true;
#endif
}

struct vm_area_struct* find_vma(struct mm_struct* mm, unsigned long addr) {
    if (!mm) return nullptr;
    Vma* v = findVma(*reinterpret_cast<Mm*>(mm), addr);
    return v ? &v->v : nullptr;
}

namespace tav::kernel {

struct mm_struct* processMm() { return &theMm().mm; }

ProcessMm* newProcessMm(bool remote) {
    auto* m = new ProcessMm;
    m->remote = remote;
    return m;
}

void freeProcessMm(ProcessMm* m) { delete m; }

FaultResult handleFault(unsigned long address, bool write, long* arenaOffset) {
    Mm& m = theMm();
    ReadSection section(m);
    return faultLocked(m, address, write, arenaOffset);
}

long mmapFile(struct file* file, unsigned long len, unsigned long prot, unsigned long flags,
              unsigned long pgoff, unsigned long addr) {
    if (!file->f_op || !file->f_op->mmap) return -ENODEV;
    len = (len + PAGE_SIZE - 1) & PAGE_MASK;
    if (!len || len > kTaskSize) return -EINVAL;
    if (pgoff + (len >> PAGE_SHIFT) < pgoff) return -EINVAL;

    unsigned long vmFlags = VM_MAYREAD | VM_MAYWRITE | VM_MAYEXEC;
    if (prot & PROT_READ) vmFlags |= VM_READ;
    if (prot & PROT_WRITE) vmFlags |= VM_WRITE;
    if (prot & PROT_EXEC) vmFlags |= VM_EXEC;
    switch (flags & MAP_TYPE) {
    case MAP_SHARED:
        if ((prot & PROT_WRITE) && !(file->f_mode & FMODE_WRITE)) return -EACCES;
        vmFlags |= VM_SHARED | VM_MAYSHARE;
        if (!(file->f_mode & FMODE_WRITE)) vmFlags &= ~(VM_MAYWRITE | VM_SHARED);
        [[fallthrough]];
    case MAP_PRIVATE:
        if (!(file->f_mode & FMODE_READ)) return -EACCES;
        break;
    default:
        return -EINVAL;
    }

    Mm& m = theMm();
    if (m.remote ? !addr || (addr & ~PAGE_MASK) || addr > kTaskSize - len : addr != 0) return -EINVAL;
    if (!m.remote) installFaultHandler();
    WriteSection section(m);
    unsigned long start = addr;
    if (m.remote) {
        Vma* other = findVma(m, start);
        if (other && other->v.vm_start < start + len) return -EINVAL;  // the client's range overlaps one
    } else {
        start = reserve(len);
    }
    if (!start) return -ENOMEM;
    auto* vma = new Vma;
    vma->v.vm_mm = &m.mm;
    vma->v.vm_start = start;
    vma->v.vm_end = start + len;
    vma->v.vm_flags = vmFlags;
    vma->v.vm_pgoff = pgoff;
    vma->v.vm_file = file;
    vma->ptes.assign(len >> PAGE_SHIFT, nullptr);
    get_file(file);
    int err = file->f_op->mmap(file, &vma->v);
    if (err) {
        // The driver's close is not called for a mapping that never came to be.
        vma->v.vm_file = nullptr;
        fput(file);
        zap(m, vma);
        delete vma;
        return err;
    }
    m.vmas[start] = vma;
    return static_cast<long>(start);
}

int munmapRange(unsigned long start, unsigned long len) {
    if ((start & ~PAGE_MASK) || start > kTaskSize || len > kTaskSize - start) return -EINVAL;
    len = (len + PAGE_SIZE - 1) & PAGE_MASK;
    if (!len) return -EINVAL;
    unsigned long end = start + len;
    Mm& m = theMm();
    WriteSection section(m);
    runSyncPoint(unmapSyncPoint);
    Vma* first = findVma(m, start);
    if (!first || first->v.vm_start >= end) return 0;
    if (start > first->v.vm_start) split(m, first, start, false);
    Vma* last = findVma(m, end);
    if (last && end > last->v.vm_start) split(m, last, end, true);
    std::vector<Vma*> gone;
    for (auto it = m.vmas.lower_bound(start); it != m.vmas.end() && it->first < end;)
        gone.push_back(it->second), it = m.vmas.erase(it);
    for (Vma* v : gone) zap(m, v);
    for (Vma* v : gone) removeVma(v);
    return 0;
}

// fork's dup_mmap for one mapping: a copy with the same file, flags, offset and private
// data; pages already present are entered into the copy at once, each with a reference
// of its own (2.6.9's copy_page_range), the rest fault through nopage with the copy's VMA.
// An anonymous page is copied. A page of a private writable mapping that the program has
// written reads, in the copy, as the driver's page, not as the written copy.
long forkMapping(unsigned long addr) {
    Mm& m = theMm();
    if (m.remote) return -EINVAL;  // the copy's range would be the client's to reserve
    WriteSection section(m);
    Vma* src = findVma(m, addr);
    if (!src || src->v.vm_start > addr) return -EFAULT;
    if (src->v.vm_flags & VM_DONTCOPY) return -EINVAL;
    unsigned long len = src->v.vm_end - src->v.vm_start;
    unsigned long start = reserve(len);
    if (!start) return -ENOMEM;
    auto* copy = new Vma;
    copy->v = src->v;
    copy->v.vm_start = start;
    copy->v.vm_end = start + len;
    copy->v.vm_flags &= ~VM_LOCKED;
    copy->ptes.assign(src->ptes.size(), nullptr);
    if (copy->v.vm_file) get_file(copy->v.vm_file);
    bool ok = true;
    for (size_t i = 0; ok && i < src->ptes.size(); i++) {
        struct page* p = src->ptes[i];
        unsigned long to = start + (i << PAGE_SHIFT);
        if (!p) continue;
        if (p == kAnonPage) {
            ok = mapAnonPage(to, PROT_READ | PROT_WRITE);
            if (ok) {
                std::memcpy(reinterpret_cast<void*>(to),
                            reinterpret_cast<void*>(src->v.vm_start + (i << PAGE_SHIFT)), PAGE_SIZE);
                ok = mprotect(reinterpret_cast<void*>(to), PAGE_SIZE, hostProt(copy->v.vm_flags)) == 0;
                copy->ptes[i] = kAnonPage;
            }
        } else {
            ok = mapPage(to, p, copy->v.vm_flags);
            if (ok) {
                get_page(p);
                copy->ptes[i] = p;
            }
        }
    }
    if (!ok) {
        zap(m, copy);
        if (copy->v.vm_file) fput(copy->v.vm_file);
        delete copy;
        return -ENOMEM;
    }
    m.vmas[start] = copy;
    if (copy->v.vm_ops && copy->v.vm_ops->open) copy->v.vm_ops->open(&copy->v);
    return static_cast<long>(start + (addr - src->v.vm_start));
}

// Like exit_mmap, the drivers' close and the file references run after every mapping is
// out of the address space, without the mmap lock.
void exitMm() {
    Mm& m = theMm();
    std::vector<Vma*> gone;
    {
        WriteSection section(m);
        for (auto& [start, v] : m.vmas) gone.push_back(v);
        m.vmas.clear();
        for (Vma* v : gone) zap(m, v);
    }
    for (Vma* v : gone) removeVma(v);
}

unsigned long copyWithFaults(unsigned long addr, unsigned long n, bool write,
                             const std::function<unsigned long(unsigned long)>& copy) {
    runSyncPoint(userFaultSyncPoint, addr);
    Mm& m = theMm();
    ReadSection section(m);
    unsigned long left = copy(0);
    while (left) {
        // An address outside every mapping is host memory that copy could not reach: bad.
        if (faultLocked(m, addr + (n - left), write, nullptr) != FaultResult::Mapped) break;
        unsigned long again = copy(n - left);
        if (again >= left) break;  // present, yet refused: a protection fault
        left = again;
    }
    return left;
}

bool holdsMmapLock() { return mmLockDepth > 0; }

void setUserFaultSyncPoint(std::function<void(unsigned long)> fn) {
    std::lock_guard g(syncPointLock);
    userFaultSyncPoint = std::move(fn);
}

void setUnmapSyncPoint(std::function<void()> fn) {
    std::lock_guard g(syncPointLock);
    unmapSyncPoint = std::move(fn);
}

long mappingCount() {
    Mm& m = theMm();
    ReadSection section(m);
    return static_cast<long>(m.vmas.size());
}

}  // namespace tav::kernel
