// User-memory access. "User memory" is this process's memory reached through
// process_vm_readv/writev, so a bad or unmapped address yields an error, never a crash.
// Fault rules on the "copy_from_user"/"copy_to_user" sites can fail any address range.
#pragma once

#include "kernel/types.h"

// Both return the number of bytes that could NOT be copied (0 on success); the bytes
// before the first unreadable (unwritable) one are copied. A range that is not user memory
// (access_ok: the page arena, the start of a kmalloc/vmalloc/slab block) copies nothing.
// A copy that meets a page of a mapping not yet present takes the fault path under
// mmap_sem (see kernel/mman.h); the host's own memory is always present. copy_from_user zero-fills the bytes it could not copy.
unsigned long copy_to_user(void __user* to, const void* from, unsigned long n);
unsigned long copy_from_user(void* to, const void __user* from, unsigned long n);

// 0, or -EFAULT.
#define put_user(x, ptr)                                                          \
    ({                                                                            \
        __typeof__(*(ptr)) putUserValue_ = (x);                                   \
        copy_to_user((ptr), &putUserValue_, sizeof(putUserValue_)) ? -EFAULT : 0; \
    })
#define get_user(x, ptr)                                                         \
    ({                                                                           \
        __typeof__(*(ptr)) getUserValue_{};                                      \
        int getUserRc_ = copy_from_user(&getUserValue_, (ptr), sizeof(getUserValue_)) ? -EFAULT : 0; \
        (x) = getUserValue_;                                                     \
        getUserRc_;                                                              \
    })
