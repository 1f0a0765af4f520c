/*
 * The transfer buffer: up to two private, read-only mappings of the device file whose
 * pages ReadBlocks fills and the agent reads in place.
 *
 * Slots change under bSem and vmSem: mmap fills one, the VMA close empties one (both
 * under the process's mmap lock), the record's close frees them; ReadBlocks reads them
 * under bSem. The fault handler reads them under vmSem: the mmap lock it runs in is its
 * own process's, and a fork copy's process is not the one whose unmap frees the pages.
 */
#include "2.6/tavlib.h"
#include "kernel/printk.h"

struct vm_operations_struct tavVMOps = {
    .open = tavVMopen,
    .close = tavVMclose,
    .nopage = tavVMnopage,
};

/*
 * 1 and the area whose mapping starts exactly at addr, else 0. A mapping cut at its front
 * by a partial munmap no longer shows the area's first page at its start, so blocks put
 * there would appear at the wrong addresses: it matches nothing. Caller holds bSem.
 */
int checkVMA(Backup* b, unsigned long addr, BackupVMA** bVMA) {
    for (int i = 0; i < MAX_BVMAS; i++) {
        struct vm_area_struct* vma = b->vmAreas[i].vma;
        if (vma && vma->vm_start == addr && vma->vm_pgoff == 0) {
            *bVMA = &b->vmAreas[i];
            return 1;
        }
    }
    return 0;
}

/* 1 and the area registered for exactly vma, else 0. */
int findVMA(Backup* b, struct vm_area_struct* vma, BackupVMA** bVMA) {
    for (int i = 0; i < MAX_BVMAS; i++) {
        if (b->vmAreas[i].vma == vma) {
            *bVMA = &b->vmAreas[i];
            return 1;
        }
    }
    return 0;
}

/* 0 and the first free slot, or 1 and NULL when both are in use. Caller holds bSem. */
int maxBVMAs(Backup* b, BackupVMA** bVMA) {
    for (int i = 0; i < MAX_BVMAS; i++) {
        if (!b->vmAreas[i].vma) {
            *bVMA = &b->vmAreas[i];
            return 0;
        }
    }
    *bVMA = nullptr;
    return 1;
}

/*
 * Pages a process still maps stay alive through the reference their fault took. Leaves
 * bVMA->vma alone. Caller holds bSem or owns the record. Process context; may sleep.
 */
void freeMMPages(Backup* b, BackupVMA* bVMA) {
    down(&b->vmSem);
    for (int i = 0; i < MAX_VM_PAGES; i++) {
        if (!bVMA->mmPages[i]) continue;
        __free_pages(bVMA->mmPages[i], 0);
        bVMA->mmPages[i] = nullptr;
        atomic_dec(&b->curAllocPages);
    }
    bVMA->vmPages = 0;
    up(&b->vmSem);
}

int getVMAPageCount(Backup* b) {
    int pages = 0;
    for (int i = 0; i < MAX_BVMAS; i++)
        if (b->vmAreas[i].vma) pages += b->vmAreas[i].vmPages;
    return pages;
}

/*
 * Refusals (no record, not private and read-only, backup not started, offset, no free
 * slot, length) give -EINVAL and leave nothing behind; a page shortage gives -ENOMEM.
 * Caller holds the process's mmap lock. Process context; may sleep.
 */
int tavMMAP(struct file* filp, struct vm_area_struct* vma) {
    Backup* b = static_cast<Backup*>(filp->private_data);
    if (!b) return -EINVAL;
    /* VM_MAYSHARE marks every shared mapping, also one stripped of VM_SHARED for a read-only file. */
    if (!(vma->vm_flags & VM_READ) || (vma->vm_flags & (VM_WRITE | VM_SHARED | VM_MAYSHARE))) return -EINVAL;

    int rc = -EINVAL;
    down(&b->bSem);
    BackupVMA* bVMA = nullptr;
    unsigned long pages = (vma->vm_end - vma->vm_start) / PAGE_SIZE;
    if (backupState(b) <= BACKUP_STARTING || vma->vm_pgoff != 0 || maxBVMAs(b, &bVMA) || pages < 1 ||
        pages > static_cast<unsigned long>(b->maxVMPages))
        goto out;

    bVMA->vmPages = static_cast<int>(pages);
    for (unsigned long i = 0; i < pages; i++) {
        struct page* page = alloc_page(GFP_KERNEL);
        if (!page) {
            freeMMPages(b, bVMA);
            rc = -ENOMEM;
            goto out;
        }
        /* Nothing of the allocator's previous contents may reach the agent. */
        memset(page_address(page), 0, PAGE_SIZE);
        bVMA->mmPages[i] = page;
        atomic_inc(&b->totalAllocPages);
        atomic_inc(&b->curAllocPages);
    }
    down(&b->vmSem);
    bVMA->vma = vma;
    up(&b->vmSem);
    vma->vm_ops = &tavVMOps;
    /* The pages are the module's: mprotect must not make them writable later. */
    vma->vm_flags &= ~VM_MAYWRITE;
    rc = 0;
out:
    up(&b->bSem);
    return rc;
}

/* A fork copy or a split piece is not registered; faults in it are served from slot 0. */
void tavVMopen(struct vm_area_struct*) {}

/*
 * Takes bSem so that an area another thread's ReadBlocks is filling is freed only after
 * that batch. Caller holds the process's mmap lock, which ReadBlocks never takes.
 * Process context; may sleep.
 */
void tavVMclose(struct vm_area_struct* vma) {
    if (!vma->vm_file) return;
    Backup* b = static_cast<Backup*>(vma->vm_file->private_data);
    if (!b) return;
    BackupVMA* bVMA = nullptr;
    down(&b->bSem);
    if (findVMA(b, vma, &bVMA)) {
        down(&b->vmSem);
        bVMA->vma = nullptr;
        up(&b->vmSem);
        freeMMPages(b, bVMA);
    }
    up(&b->bSem);
}
