/*
 * The block-I/O side of the module: device geometry, read requests, intercepted writes,
 * automap sessions, the backup record and the hook registry's device nodes.
 *
 * Lock order (outermost first):
 *   Backup.bSem                        every ioctl handler of a record and its close
 *     Backup.writers                   w: state changes to 4 and 6, and close; r: tavMRF
 *       activeSessionUsers             w: close (inside writers); r: tavMRF, taken and
 *                                      released before writers, never nested in it
 *       Backup.mrLock                  the FIFO of intercepted writes (spin)
 *     Backup.cacheUsers                r: a block copied into or out of the cache;
 *                                      w: cache teardown
 *       HashTable.sem                  one cache bucket
 *         BlockMap.usersLock, .sem     a map's own exclusion (innermost)
 *   queueListUsersLock                 before request_queue.queue_lock and amListUsersLock
 *   At the snapshot, under writers:    AutoMapSession.usersLock, then the backup block
 *                                      map's usersLock, then the automap map's.
 *   busyLock                           guards busy only; never held with another lock
 *   The mmap path takes bSem inside the process's mmap lock.
 */
#ifndef TAV_26_H
#define TAV_26_H

#include "2.6/globals.h"
#include "2.6/tavguard.h"
#include "kernel/bio.h"
#include "kernel/blkdev.h"
#include "kernel/completion.h"
#include "kernel/list.h"
#include "kernel/slab.h"
#include "kernel/super.h"

typedef kmem_cache_t* safe_kmem_cache;

/* Identity and geometry of one block device. */
typedef struct DiskInfo {
    dev_t kdev;                  /* major << 20 | minor */
    sector_t partitionStart;     /* first sector on the whole disk; 0 for a whole disk */
    int blockSize;               /* file-system block size */
    unsigned int blocksPerPage;  /* 4096 / blockSize */
    struct super_block* superBlock;
    sector_t partitionSizeKB;
    sector_t numBlocks;          /* StartBackup.totalBlocks */
    make_request_fn* realMRF;    /* the queue's own function, set at StartBackup */
    struct block_device* bdev;   /* from bdget, kept for the record's life */
    sector_t partitionLen;       /* sectors */
    int sectorsPerBlock;
    int sectorsPerBlockShift;
} DiskInfo;

/* One block read from disk by the reader. */
typedef struct BIORequest {
    struct bio* bio;
    struct completion event; /* unused: completion is seen through the buffer head */
} BIORequest;

/* One intercepted request held for the worker; owned by the FIFO while queued. */
typedef struct MakeRequest {
    struct request_queue* q;
    struct bio* bio;
    unsigned int startBN; /* first block touched */
    unsigned int endBN;   /* last block touched, inclusive */
    struct MakeRequest* next;
} MakeRequest;

/* The change map of one device; owned by its amList slot. */
typedef struct AutoMapSession {
    DiskInfo diskInfo;        /* copy of the starting backup's */
    unsigned int state;       /* AMS_NOT_IN_SYNC / AMS_IN_SYNC */
    BlockMap map;             /* blocks written while in sync */
    atomic_t users;           /* users count, resting value 1 */
    spinlock_t usersLock;     /* guards entry to users */
    AMSessionKey sessionKey;
    struct AutoMapSession* next; /* always null */
} AutoMapSession;

/* One device registered on a hooked queue. */
typedef struct DevList {
    dev_t kdev;
    struct list_head list;
} DevList;

#define TAV_CACHE_NAME_LEN 32
#define TAV_BLOCK_TABLE_SIZE 4096

/* The session record of one open file of the control device. */
typedef struct Backup {
    struct semaphore bSem;         /* serialises this record's handlers and close */
    volatile unsigned int state;   /* w: under writers for 4, 6 and close; r: unlocked (worker, cache) */
    struct rw_semaphore writers;   /* w: state changes to 4, 6, close; r: tavMRF */
    int maxVMPages;                /* set at StartBackup under bSem */
    BackupVMA vmAreas[MAX_BVMAS];  /* changed under bSem (mmap) or by the VMA close */
    int noLoadFromAutoMap;         /* under bSem */
    int noStartAutoMap;            /* under bSem */
    struct timespec eTimeToFreeze;
    struct timespec eTimeFrozen;
    DiskInfo diskInfo;             /* set at StartBackup, read-only after */
    BlockMap blockMap;             /* its own exclusion */
    HashTable** blockTable;        /* built at StartBackup; buckets guarded by their sem */
    safe_kmem_cache htCache;
    char htCacheName[TAV_CACHE_NAME_LEN];
    BlockMap cacheMap;             /* its own exclusion */
    struct rw_semaphore cacheUsers; /* r: cache use; w: cache teardown */
    safe_kmem_cache cpCache;       /* null marks a closed cache */
    safe_kmem_cache dataCache;
    char cpCacheName[TAV_CACHE_NAME_LEN];
    char dataCacheName[TAV_CACHE_NAME_LEN];
    unsigned int maxCacheBlocks;
    atomic_t mrInQueue;            /* atomic */
    spinlock_t mrLock;             /* guards mrHead, mrTail */
    MakeRequest* mrHead;
    MakeRequest* mrTail;
    atomic_t ioctlCount;           /* atomic; only the dispatcher increments it */
    atomic_t totalAllocPages;
    atomic_t curAllocPages;
    atomic_t totalAllocCPs;
    atomic_t curAllocCPs;
    atomic_t peakAllocCPs;
    atomic_t totalCBs;
    atomic_t curCBs;
    atomic_t totalReadBlocks;
    atomic_t totalReadCBs;
    atomic_t totalCleanedCBs;
    atomic_t totalAllocBRs;
    atomic_t curAllocBRs;
    BIORequest** mmBIORequests;    /* one slot per transfer-buffer block; under bSem */
    int startedCacheThread;
} Backup;

/* Version-specific unload hook. */
int doModuleUnload(void);

/* Device geometry. */
int getDiskInfo(DiskInfo* di, dev_t kdev);
void closeDiskInfo(DiskInfo* di);
int ioctlGetBlockSize(Backup* b, dev_t kdev, BlockSize* userBS, unsigned int len);

#endif
