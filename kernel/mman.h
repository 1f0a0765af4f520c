// Memory mappings of device files: vm_area_struct, vm_operations_struct and the
// process's mmap lock, in their 2.6.9 shapes.
//
// A mapping is a real range of this process's address space, reserved inaccessible.
// The first access to a page is a real page fault (SIGSEGV, caught by the platform's
// handler) that runs vm_ops->nopage in the faulting thread and maps the returned page at
// the faulting address from the page arena (kernel/mm.h), with no copy: the program reads
// and writes the very page that nopage returned. The reference nopage took is kept until
// the page is unmapped (munmap, tav::sys::exitProcess), then put_page'd.
//
// Contract of the emulation: nopage runs inside a signal handler on the faulting thread.
// It may take locks, sleep and log like the kernel's fault path, because the fault is
// synchronous: it comes from program code touching the mapping, never from platform code.
// A user copy (kernel/uaccess.h) that meets a page of a mapping not yet faulted (or one
// it may not access) goes on under mmap_sem (r),
// faulting mapping pages in through nopage from the copying thread, as 2.6.9's fault path
// does for copy_to_user/copy_from_user: a caller that copies while holding a lock that
// some path takes inside mmap_sem can deadlock, as on 2.6.9. A fault that is
// not in a mapping, or that the mapping does not allow, goes on to the handler installed
// before ours (or the default action), so real crashes still crash. A fault while the
// same thread is inside an mmap-lock section (e.g. a crash in a driver's mmap) is never
// taken for a mapping fault.
//
// Lock order of the file/mapping layer, outermost first:
//   mm->mmap_sem    (w: mmap, munmap, forkMapping; r: page faults, touch)
//     a driver's f_op->mmap, vm_ops->open/close/nopage, and f_op->release when munmap
//     drops a file's last reference, run here with the driver's own locks inside
//     Vma page-slot lock (one mapping's page slots; never held across a driver call)
//   fdLock          (a process's descriptor table): leaf, never held across a driver call
//   chrdevLock      (driver table)
//     module->lock  (try_module_get of the owner at open)
//   nodeLock        (device nodes): never nested with chrdevLock
// Driver calls made by open, close, ioctl, read, write and poll hold no platform lock.
#pragma once

#include <functional>

#include "kernel/mm.h"
#include "kernel/semaphore.h"
#include "kernel/types.h"

struct file;

constexpr unsigned long VM_READ = 0x00000001;
constexpr unsigned long VM_WRITE = 0x00000002;
constexpr unsigned long VM_EXEC = 0x00000004;
constexpr unsigned long VM_SHARED = 0x00000008;
constexpr unsigned long VM_MAYREAD = 0x00000010;
constexpr unsigned long VM_MAYWRITE = 0x00000020;
constexpr unsigned long VM_MAYEXEC = 0x00000040;
constexpr unsigned long VM_MAYSHARE = 0x00000080;
constexpr unsigned long VM_LOCKED = 0x00002000;
constexpr unsigned long VM_IO = 0x00004000;
constexpr unsigned long VM_DONTCOPY = 0x00020000;  // not copied by fork
constexpr unsigned long VM_RESERVED = 0x00080000;

// nopage results besides a page, and the fault types nopage may report through *type.
#define NOPAGE_SIGBUS (static_cast<struct page*>(nullptr))
#define NOPAGE_OOM (reinterpret_cast<struct page*>(-1L))
constexpr int VM_FAULT_OOM = -1;
constexpr int VM_FAULT_SIGBUS = 0;
constexpr int VM_FAULT_MINOR = 1;
constexpr int VM_FAULT_MAJOR = 2;

struct mm_struct {
    struct rw_semaphore mmap_sem;
};

struct vm_area_struct;

struct vm_operations_struct {
    // A copy made by fork or by splitting a mapping; not called for the original.
    void (*open)(struct vm_area_struct* area) = nullptr;
    void (*close)(struct vm_area_struct* area) = nullptr;
    // address is page-aligned. Returns the page with a reference taken for the mapping,
    // NOPAGE_SIGBUS (the access raises SIGBUS) or NOPAGE_OOM.
    struct page* (*nopage)(struct vm_area_struct* area, unsigned long address, int* type) = nullptr;
};

// All fields are guarded by vm_mm->mmap_sem (w: changes; r: faults). The driver may set
// vm_ops, vm_private_data and vm_flags in its mmap.
//
// vm_flags of a mapping, as 2.6.9's do_mmap_pgoff computes them: PROT_READ/WRITE/EXEC
// give VM_READ/WRITE/EXEC; VM_MAYREAD|VM_MAYWRITE|VM_MAYEXEC always; MAP_SHARED adds
// VM_SHARED|VM_MAYSHARE, but on a file not open for writing it keeps only VM_MAYSHARE
// (VM_SHARED and VM_MAYWRITE are cleared). So VM_MAYSHARE, not VM_SHARED, tells any
// shared mapping from a private one.
struct vm_area_struct {
    struct mm_struct* vm_mm = nullptr;
    unsigned long vm_start = 0;
    unsigned long vm_end = 0;  // one past the last byte
    unsigned long vm_flags = 0;
    struct vm_operations_struct* vm_ops = nullptr;
    unsigned long vm_pgoff = 0;  // file offset in pages
    struct file* vm_file = nullptr;
    void* vm_private_data = nullptr;
};

// The first mapping that ends above addr (it may start above addr too), or null.
/* Caller holds mm->mmap_sem. */
struct vm_area_struct* find_vma(struct mm_struct* mm, unsigned long addr);

namespace tav::kernel {

// The calling thread's process's address space (kernel/process.h).
struct mm_struct* processMm();

// Outcome of a page fault, as the kernel's fault path would end it.
enum class FaultResult {
    Mapped,    // the page is present now (or already was)
    NotOurs,   // no mapping covers the address: a real bad access (SIGSEGV)
    BadAccess, // the mapping does not allow this access (SIGSEGV)
    BusError,  // nopage gave no page (SIGBUS)
    OutOfMemory,
};
// The fault path of the calling thread's process, for tav::sys::touch, user copies that
// need a page of a mapping to be present, and a remote process's populate. Takes mmap_sem
// for reading. When Mapped, *arenaOffset (if given) gets the page's arena offset (a page
// with no arena offset, a local anonymous page, gives whatever it held before).
FaultResult handleFault(unsigned long address, bool write, long* arenaOffset = nullptr);

// The mapping side of the system calls (include/tav/sys.h); each takes mmap_sem for
// writing. Results: an address, or a negative errno. addr: 0 for the local process (the
// platform reserves the range); for a remote process the page-aligned start of the range
// the client reserved, which must not overlap one of its mappings (-EINVAL).
long mmapFile(struct file* file, unsigned long len, unsigned long prot, unsigned long flags,
              unsigned long pgoff, unsigned long addr = 0);
int munmapRange(unsigned long start, unsigned long len);
long forkMapping(unsigned long addr);
// A user copy that met a missing page: under mmap_sem (r), copy(offset) is called to copy
// from offset to the end (it returns the bytes it could not copy), and each page it stops
// at is faulted in (write: for writing) until it is done, or stops at an address that no
// mapping provides or allows. Returns the bytes not copied. Not for a thread that holds
// mmap_sem (see holdsMmapLock).
unsigned long copyWithFaults(unsigned long addr, unsigned long n, bool write,
                             const std::function<unsigned long(unsigned long)>& copy);
bool holdsMmapLock();
// A copy within this process that no fault can crash: true when all n bytes were copied,
// false as soon as any page it touches faults (a missing page of a mapping included, which
// it does not fault in); part of the copy may then be done, and the caller takes the full
// path (a host file mapping past its end included: SIGBUS is caught as SIGSEGV is).
// Costs no system call, where process_vm_readv/writev costs one.
bool copyNoFault(void* to, const void* from, unsigned long n);
// Test seams, one each (an empty function removes it): a user copy that is about to
// fault calls the first before it takes mmap_sem; munmap calls the second once it holds
// mmap_sem (w), before the mappings' close.
void setUserFaultSyncPoint(std::function<void(unsigned long address)> fn);
void setUnmapSyncPoint(std::function<void()> fn);
// Unmaps everything of the calling thread's process (process exit). Takes mmap_sem itself.
void exitMm();
// Number of mappings of the process.
long mappingCount();

}  // namespace tav::kernel
