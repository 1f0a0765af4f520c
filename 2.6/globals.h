/*
 * Shared module records: the paged block bitmap, the block cache's bucket and entry,
 * and one mapped transfer-buffer area.
 */
#ifndef TAV_GLOBALS_H
#define TAV_GLOBALS_H

#include "kernel/atomic.h"
#include "kernel/mm.h"
#include "kernel/semaphore.h"
#include "kernel/spinlock.h"

struct vm_area_struct;

#define BITS_PER_MAP_PAGE 32768 /* 4096 bytes of bits */
#define MAP_PAGE_SHIFT 15

/*
 * One bit per block in separately allocated pages: block n is bit n & 0x7fff of page
 * n >> 15, that is bit n & 7 of byte n >> 3 of the whole map.
 *
 * Lock order: usersLock (only to enter as a user), then sem.
 */
typedef struct BlockMap {
    unsigned int size;     /* blocks covered; 0 when the map holds no pages; fixed while users may enter */
    unsigned int numBytes; /* (size + 7) / 8 */
    struct page** map;     /* vmalloc'ed page array; swapped only with usersLock held and no user inside */
    atomic_t users;        /* users count, resting value 1 */
    spinlock_t usersLock;  /* guards entry to users */
    struct semaphore sem;  /* serialises the bit operations */
} BlockMap;

/* One saved block. Guarded by its bucket's sem. */
typedef struct CachePage {
    struct CachePage* next;
    unsigned char* data; /* blockSize bytes of snapshot contents */
    unsigned int blockNum;
} CachePage;

/* One of the 4096 cache buckets. */
typedef struct HashTable {
    CachePage* busy;      /* guarded by sem; newest first */
    struct semaphore sem;
} HashTable;

#define MAX_VM_PAGES 256
#define MAX_BVMAS 2

/* One mapped transfer-buffer area; set up under bSem by mmap, read by the fault handler. */
typedef struct BackupVMA {
    int vmPages;                 /* pages in the area; 0 when free */
    struct vm_area_struct* vma;  /* null when the slot is free */
    struct page* mmPages[MAX_VM_PAGES];
} BackupVMA;

#endif
