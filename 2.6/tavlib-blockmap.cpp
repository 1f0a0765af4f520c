/* Block maps: paged bitmaps with their own users count. */
#include "2.6/tavlib.h"
#include "kernel/printk.h"
#include "kernel/sched.h"
#include "kernel/uaccess.h"
#include "kernel/vmalloc.h"

/* Leaves the record as a closed, never-built map (no pages, exclusion not set up). */
static void zeroBlockMap(BlockMap* bmap) {
    bmap->size = 0;
    bmap->numBytes = 0;
    bmap->map = nullptr;
    atomic_set(&bmap->users, 0);
    spin_lock_init(&bmap->usersLock);
    sema_init(&bmap->sem, 0);
}

unsigned int numPagesInBlockMap(BlockMap* bmap) {
    return (((bmap->size + 7) >> 3) + 4095) >> 12;
}

/* Process context; may sleep. The record must hold no pages. */
int newBlockMap(BlockMap* bmap, unsigned int size, char* data, int zeroFill, unsigned int* numPagesAlloc) {
    unsigned int bytesInMap = (size + 7) >> 3; /* wraps to 0 for the largest sizes */
    if (bytesInMap == 0) {
        printk("<3>%s: block size size=%u invalid\n", __func__, size);
        return TAV_ERR_INVALID;
    }
    int copyMode = data != nullptr;
    zeroBlockMap(bmap);

    unsigned int numPages = (bytesInMap + 4095) >> 12;
    bmap->map = static_cast<struct page**>(vmalloc(numPages * sizeof(struct page*)));
    if (!bmap->map) {
        printk("<3>%s: failed allocating (%d) bytes of memory for block map page array\n", __func__,
               static_cast<int>(numPages * sizeof(struct page*)));
        return TAV_ERR_NO_MEMORY;
    }
    memset(bmap->map, 0, numPages * sizeof(struct page*));
    bmap->size = size;
    bmap->numBytes = bytesInMap;

    for (unsigned int i = 0; i < numPages; i++) {
        unsigned int bytes = 4096;
        if (i == numPages - 1 && (bytesInMap & 4095)) bytes = bytesInMap & 4095;
        bmap->map[i] = alloc_page(GFP_HIGHUSER);
        if (!bmap->map[i]) {
            unsigned int freed;
            printk("<3>%s: failed allocating page number (%d) for block map\n", __func__, static_cast<int>(i));
            printk("<3>%s: Out of Memory Error.%s", __func__, "\n");
            closeBlockMap(bmap, &freed);
            return TAV_ERR_NO_MEMORY;
        }
        char* kaddr = static_cast<char*>(kmap(bmap->map[i]));
        if (!copyMode) {
            memset(kaddr, zeroFill == 1 ? 0x00 : 0xFF, bytes);
        } else if (copy_from_user(kaddr, data + static_cast<size_t>(i) * 4096, bytes)) {
            unsigned int freed;
            printk("<3>%s: copy to user space failed data=%p bytesCopied=%d bytesInMap=%d\n", __func__,
                   static_cast<void*>(data + static_cast<size_t>(i) * 4096), static_cast<int>(bytes),
                   static_cast<int>(bytesInMap));
            printk("<3>%s: Out of Memory Error.%s", __func__, "\n");
            kunmap(bmap->map[i]);
            closeBlockMap(bmap, &freed);
            return TAV_ERR_COPY_FROM_USER;
        }
        kunmap(bmap->map[i]);
    }

    atomic_set(&bmap->users, 1);
    spin_lock_init(&bmap->usersLock);
    sema_init(&bmap->sem, 1);
    *numPagesAlloc = numPages;
    return 0;
}

/* The owner guarantees that no bit operation can reach the map. */
void closeBlockMap(BlockMap* bmap, unsigned int* numPagesFreed) {
    if (!bmap->map) return;
    unsigned int numPages = numPagesInBlockMap(bmap);
    for (unsigned int i = 0; i < numPages; i++) {
        if (bmap->map[i]) {
            __free_pages(bmap->map[i], 0);
            bmap->map[i] = nullptr;
        }
    }
    vfree(bmap->map);
    bmap->map = nullptr;
    bmap->size = 0;
    *numPagesFreed = numPages;
}

enum BitOp { BIT_TEST, BIT_SET, BIT_CLEAR };

/*
 * Process context; may sleep. The range test and the page-array read come after entering
 * as a user, so a page array swapped by waitForBlockMapUsers' holder is seen whole.
 */
static int blockMapOp(BlockMap* bm, unsigned int blockNum, BitOp op, int outOfRange) {
    unsigned long flags;
    int result = outOfRange;
    spin_lock_irqsave(&bm->usersLock, flags);
    atomic_inc(&bm->users);
    spin_unlock_irqrestore(&bm->usersLock, flags);

    if (blockNum < bm->size) {
        down(&bm->sem);
        struct page* pg = bm->map[blockNum >> MAP_PAGE_SHIFT];
        void* addr = kmap(pg);
        unsigned int index = blockNum & (BITS_PER_MAP_PAGE - 1);
        if (op == BIT_TEST) {
            result = test_bit(index, addr) ? -1 : 0;
        } else {
            if (op == BIT_SET)
                set_bit(index, addr);
            else
                clear_bit(index, addr);
            result = 0;
        }
        kunmap(pg);
        up(&bm->sem);
    }
    atomic_dec(&bm->users);
    return result;
}

int blockInMap(BlockMap* bm, unsigned int blockNum) { return blockMapOp(bm, blockNum, BIT_TEST, 0); }

/* Out of range: returns the block number, which callers print. */
int setBlock(BlockMap* bm, unsigned int blockNum) {
    return blockMapOp(bm, blockNum, BIT_SET, static_cast<int>(blockNum));
}

int unSetBlock(BlockMap* bm, unsigned int blockNum) { return blockMapOp(bm, blockNum, BIT_CLEAR, 1); }

/*
 * Moves the pages of from into to (which holds none), which gets a fresh exclusion; from
 * is left without pages. The owner guarantees that no bit operation can reach either map.
 */
void moveBlockMap(BlockMap* to, BlockMap* from) {
    to->map = from->map;
    to->size = from->size;
    to->numBytes = from->numBytes;
    atomic_set(&to->users, 1);
    spin_lock_init(&to->usersLock);
    sema_init(&to->sem, 1);
    from->map = nullptr;
    from->size = 0;
    from->numBytes = 0;
}

void waitForBlockMapUsers(BlockMap* bm, unsigned long* flags) {
    for (;;) {
        spin_lock_irqsave(&bm->usersLock, *flags);
        if (atomic_dec_and_test(&bm->users)) {
            atomic_inc(&bm->users);
            return;
        }
        atomic_inc(&bm->users);
        spin_unlock_irqrestore(&bm->usersLock, *flags);
        schedule();
    }
}
