// User copies through process_vm_readv/writev on the current process's memory (this
// host process, or a daemon client's): the host kernel checks
// the user address, so a bad pointer is an error result, never a crash.
#include <sys/uio.h>

#include <cstring>

#include "kernel/fault.h"
#include "kernel/mman.h"
#include "kernel/process.h"
#include "kernel/sched.h"
#include "kernel/slab.h"
#include "kernel/uaccess.h"

namespace {

using Transfer = ssize_t (*)(pid_t, const struct iovec*, unsigned long, const struct iovec*,
                             unsigned long, unsigned long);

// Copies n bytes between local and remote, returns the bytes that could not be copied.
// One call for the whole range; on a short or failed call, page by page to find the
// exact first bad byte.
unsigned long transfer(Transfer fn, void* local, u64 remote, unsigned long n) {
    if (n == 0) return 0;
    const pid_t self = tav::kernel::currentProcess()->memoryPid;
    iovec l{local, n};
    iovec r{reinterpret_cast<void*>(remote), n};
    ssize_t done = fn(self, &l, 1, &r, 1, 0);
    if (done == static_cast<ssize_t>(n)) return 0;
    unsigned long copied = done > 0 ? static_cast<unsigned long>(done) : 0;
    while (copied < n) {
        u64 at = remote + copied;
        unsigned long chunk = std::min<unsigned long>(n - copied, PAGE_SIZE - (at & (PAGE_SIZE - 1)));
        iovec lc{static_cast<char*>(local) + copied, chunk};
        iovec rc{reinterpret_cast<void*>(at), chunk};
        ssize_t got = fn(self, &lc, 1, &rc, 1, 0);
        if (got <= 0) break;
        copied += static_cast<unsigned long>(got);
        if (static_cast<unsigned long>(got) < chunk) break;
    }
    return n - copied;
}

// access_ok: the range must be user memory. Kernel memory here is the page arena and the
// allocators' blocks (a pointer to the start of one: the usual mistake). A remote
// process's addresses are another address space's: none of them is kernel memory.
bool accessOk(u64 addr, unsigned long n) {
    if (n && addr + n < addr) return false;
    if (tav::kernel::currentProcess()->remote) return true;
    return !tav::kernel::inPageArena(addr, n) && !tav::kernel::isAllocatorBlock(reinterpret_cast<void*>(addr));
}

// Larger copies (block maps) cost far more than the system call they save.
constexpr unsigned long kNoFaultCopyMax = 256;

unsigned long guarded(tav::fault::Site site, Transfer fn, void* local, const void* user,
                      unsigned long n) {
    might_sleep();  // a user copy may fault and sleep
    u64 addr = reinterpret_cast<u64>(user);
    if (n == 0) return 0;
    if (!accessOk(addr, n)) return n;
    unsigned long allowed = tav::fault::allowedPrefix(site, addr, n);
    // The small records an ioctl passes go without a system call when nothing faults; a
    // fault, however harmless, sends the copy down the full path from its start.
    if (allowed <= kNoFaultCopyMax && !tav::kernel::currentProcess()->remote) {
        bool toUser = site == tav::fault::Site::CopyToUser;
        if (tav::kernel::copyNoFault(toUser ? const_cast<void*>(user) : local, toUser ? local : user, allowed))
            return n - allowed;
    }
    // Host memory is always present (its faults are the host's); a page of a mapping not
    // yet faulted is not, so the copy faults: the rest goes through the fault path.
    unsigned long notCopied = transfer(fn, local, addr, allowed);
    if (notCopied && !tav::kernel::holdsMmapLock()) {
        unsigned long done = allowed - notCopied;
        notCopied = tav::kernel::copyWithFaults(addr + done, notCopied, site == tav::fault::Site::CopyToUser,
                                                [&](unsigned long off) {
                                                    return transfer(fn, static_cast<char*>(local) + done + off,
                                                                    addr + done + off, allowed - done - off);
                                                });
    }
    return notCopied + (n - allowed);
}

}  // namespace

unsigned long copy_to_user(void __user* to, const void* from, unsigned long n) {
    return guarded(tav::fault::Site::CopyToUser, process_vm_writev, const_cast<void*>(from), to, n);
}

// As 2.6.9's: the bytes that could not be read are zeroed, so no stale kernel data stays.
unsigned long copy_from_user(void* to, const void __user* from, unsigned long n) {
    unsigned long left = guarded(tav::fault::Site::CopyFromUser, process_vm_readv, to, from, n);
    if (left) std::memset(static_cast<char*>(to) + (n - left), 0, left);
    return left;
}
