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
 *   queueListUsersLock (registry held) before request_queue.queue_lock and amListUsersLock;
 *                                      nothing inside sleeps (allocation comes before)
 *     request_queue.queue_lock         only around reading or swapping make_request_fn
 *     amListUsersLock                  only to enter amListUsers as a user
 *   amListUsersLock (table held)       slot stores only; the registry is never taken
 *                                      inside it (closeAM runs after it is released)
 *   Users of the registry, the table and a session only hold a count, never a lock:
 *   updateAM is a table user, then a session user, inside which the map's own exclusion;
 *   errorAMSDEV is a registry user, inside which a table user.
 *   closeAM takes activeSessionUsers (r) alone, then the registry, then waits for the
 *   session's users; it holds nothing while it waits.
 *   At the snapshot, under writers:    AutoMapSession.usersLock, then the backup block
 *                                      map's usersLock, then the automap map's.
 *   busyLock                           guards busy only; never held with another lock
 *   The mmap path takes bSem inside the process's mmap lock, and a user copy that
 *   faults takes that lock: no user memory is copied while bSem is held.
 *   Backup.vmSem                       the transfer-buffer slots: inside bSem where they
 *                                      change; alone in the fault handler, which runs in
 *                                      the faulting process's mmap lock (a fork copy's
 *                                      process is not the one that unmaps the original)
 *
 * The hook tavMRF takes, one after the other and never nested: the disk's bd_sem;
 * activeSessionUsers (r), inside which it joins Backup.hooksInside; Backup.writers (r)
 * with the block maps' locks, the automap update of a queued write and mrLock inside;
 * then, outside writers, the automap update and the registry lookup. It never waits for
 * writers while it holds activeSessionUsers. Close waits for hooksInside to reach 0 after
 * it has released writers and bSem, and frees the record only then.
 * The worker kbackupd holds no lock while it passes a request on and kicks the disk;
 * around one block copy it holds cacheUsers (r), inside which the bucket sem; it never
 * takes writers.
 * The snapshot keeps a user reference on the device's automap from its selection to its
 * activation; the activation waits for every other user to leave (the session's usersLock
 * held on return) under writers (w).
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
    DiskInfo diskInfo;        /* copy of the starting backup's; read-only after newAMS */
    unsigned int state;       /* AMS_NOT_IN_SYNC / AMS_IN_SYNC; single 32-bit loads and
                                 stores (amsState, setAMSState) under a table or session
                                 reference; to AMS_IN_SYNC only with usersLock held and
                                 no user inside */
    BlockMap map;             /* blocks written while in sync; bits under its own
                                 exclusion, page array swapped only with usersLock held */
    atomic_t users;           /* users count, resting value 1 */
    spinlock_t usersLock;     /* guards entry to users */
    AMSessionKey sessionKey;  /* written by the snapshot under the backup's bSem */
    struct AutoMapSession* next; /* always null */
} AutoMapSession;

/* One device registered on a hooked queue; guarded by queueListUsers (held for changes). */
typedef struct DevList {
    dev_t kdev;
    struct list_head list;
} DevList;

/*
 * AutoMapSession.state is read by every write through a hooked disk while control paths
 * store it: one untorn 32-bit access each, as the kernel's plain int stores are.
 */
static inline unsigned int amsState(const AutoMapSession* ams) {
    return __atomic_load_n(&ams->state, __ATOMIC_RELAXED);
}
static inline void setAMSState(AutoMapSession* ams, unsigned int state) {
    __atomic_store_n(&ams->state, state, __ATOMIC_RELAXED);
}

#define TAV_CACHE_NAME_LEN 32
#define TAV_BLOCK_TABLE_SIZE 4096

/* The session record of one open file of the control device. */
typedef struct Backup {
    struct semaphore bSem;         /* serialises this record's handlers and close */
    volatile unsigned int state;   /* w: under writers for 4, 6 and close; r: unlocked (worker, cache) */
    struct rw_semaphore writers;   /* w: state changes to 4, 6, close; r: tavMRF */
    int maxVMPages;                /* set at StartBackup under bSem */
    BackupVMA vmAreas[MAX_BVMAS];  /* changed under bSem and vmSem (mmap, VMA close, record
                                      close); read under bSem, or under vmSem alone by the
                                      fault handler */
    struct semaphore vmSem;        /* see vmAreas; nothing is taken inside it */
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
    /*
     * atomic: hooks that found the record through activeSession and have not yet left it
     * (a hook may still wait for writers after close cleared activeSession); close frees
     * the record only once this is back at 0.
     */
    atomic_t hooksInside;
    int setBusy;                   /* 1 once this record's start set busy; written by that
                                      start (before bSem), read by close */
    int hookedQueue;               /* 1 once this record's snapshot installed tavMRF; under bSem */
    /*
     * atomic: 1 once an automap closed under this backup left its device's registry node
     * and hook in place for the backup; set under activeSessionUsers (r), so final once
     * close has cleared activeSession.
     */
    atomic_t nodeLeftByAutomap;
    BlockMap failedMap;            /* blocks whose read failed in BACKUP_MAP_LOADED, built at the
                                      first such failure; under bSem (ReadBlocks, close) */
} Backup;

/*
 * Backup.state is read without a lock by the hooks, the worker and the cache while the
 * control and failure paths store it: one untorn 32-bit access each, as the kernel's
 * volatile int is.
 */
static inline unsigned int backupState(const Backup* b) { return __atomic_load_n(&b->state, __ATOMIC_RELAXED); }
static inline void setBackupState(Backup* b, unsigned int state) { __atomic_store_n(&b->state, state, __ATOMIC_RELAXED); }
/*
 * Moves the state from `from` to `to` only if it is still `from`: the copy-on-write path
 * stores its error states without any lock, and a control path must not overwrite one.
 * 1 when moved.
 */
static inline int moveBackupState(Backup* b, unsigned int from, unsigned int to) {
    unsigned int expected = from;
    return __atomic_compare_exchange_n(&b->state, &expected, to, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
}

/* Version-specific unload hook. */
int doModuleUnload(void);

/* Device geometry. */
int getDiskInfo(DiskInfo* di, dev_t kdev);
void closeDiskInfo(DiskInfo* di);
int ioctlGetBlockSize(Backup* b, dev_t kdev, BlockSize* userBS, unsigned int len);

/* ---- block reader, its read requests and the transfer-buffer fault handler ---- */
struct buffer_head;
struct vm_area_struct;
request_queue_t* getRequestQueue(DiskInfo* di);
int callRealMRF(Backup* b, struct bio* bio);
int allocateBlockRequests(Backup* b);
void freeMMBRs(Backup* b);
int allocateBRCache(Backup* b);
void closeBRCache(Backup* b);
int ioctlReadBlocks(Backup* b, unsigned int startBlockNum, unsigned int numBlocks, void* data);
int readBlocks(Backup* b, unsigned int start, unsigned int count, BackupVMA* bVMA);
int waitForSubmitted(Backup* b, unsigned int start, unsigned int count);
int failedReadsInBatch(Backup* b, unsigned int start, unsigned int count, BackupVMA* bVMA);
void closeFailedMap(Backup* b);
void freeSubmitted(Backup* b, unsigned int count);
int isRequestSubmitted(Backup* b, unsigned int slot);
char* mmPageAddr(Backup* b, unsigned int slot, BackupVMA* bVMA);
void initBH(Backup* b, struct buffer_head* bh, struct page* page, unsigned long offset, unsigned int block);
void initBIO(Backup* b, struct bio* bio, struct buffer_head* bh);
int tavBIOEndIO(struct bio* bio, unsigned int bytesDone, int error);
void tavBHEndIO(struct buffer_head* bh, int uptodate);
struct page* tavVMnopage(struct vm_area_struct* vma, unsigned long address, int* type);

/* ---- write interception and its FIFO of held requests ---- */
int tavMRF(request_queue_t* q, struct bio* bio);
int BIOToMinor(struct bio* bio);
void BIOToBlockNumbers(DiskInfo* diskInfo, struct bio* bio, unsigned int* startBN, unsigned int* endBN);
int cacheMRFBlock(request_queue_t* q, struct bio* bio, int bioMinor, int* amUpdated);
int doWeCacheBlocks(Backup* b, unsigned int startBN, unsigned int endBN);
int doWeCacheBlock(Backup* b, unsigned int bn);
int newMR(Backup* b, request_queue_t* q, struct bio* bio, unsigned int startBN, unsigned int endBN);
void addMRToQueue(Backup* b, MakeRequest* mr);
MakeRequest* getTopMR(Backup* b);
void closeMR(MakeRequest* mr);

/* ---- automap hook ---- */
/* The make_request_fn of a disk whose automaps record without a backup. May sleep. */
int tavAMRF(request_queue_t* q, struct bio* bio);
/* Records one write in the session of (the bio's major, bioMinor). May sleep. */
void updateAM(struct bio* bio, int bioMinor);

/* ---- the copy-on-write worker ---- */
int backup_cache(void* data);
void processMR(Backup* b, MakeRequest* mr);
void cacheBlock(Backup* b, MakeRequest* mr, unsigned int blockNum);

#endif
