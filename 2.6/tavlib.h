/*
 * Block maps, automap sessions, the hook registry, the block cache, statistics, the
 * ioctl handlers, backup start and close, file and VMA operations, init and exit; the
 * module-wide globals.
 */
#ifndef TAV_LIB_H
#define TAV_LIB_H

#include "2.6/queueList.h"
#include "2.6/stats.h"
#include "2.6/tav-2.6.h"
#include "kernel/fs.h"
#include "kernel/mman.h"
#include "kernel/poll.h"

/* ---- module-wide globals ---- */
extern atomic_t initDone;                 /* 1 once the character device is registered */
extern Backup* activeSession;             /* guarded by activeSessionUsers (w: start, close; r: hooks, worker) */
extern struct rw_semaphore activeSessionUsers;
extern atomic_t busy;                     /* test-and-set under busyLock */
extern spinlock_t busyLock;               /* never held with another lock */
extern struct semaphore signalThread;     /* one count per queued write, plus the thread slot */
extern pid_t backup_cachePID;             /* stored by the start and close of the record that
                                             runs the worker, read by every close: through
                                             workerPID and setWorkerPID only */
/* One untorn access each, as the kernel's pid_t loads and stores are. */
static inline pid_t workerPID(void) { return __atomic_load_n(&backup_cachePID, __ATOMIC_RELAXED); }
static inline void setWorkerPID(pid_t pid) { __atomic_store_n(&backup_cachePID, pid, __ATOMIC_RELAXED); }
extern atomic_t backup_cacheThreadContinue;
extern struct completion backup_cacheThreadStartCompleted;
extern struct completion backup_cacheThreadExited;
#define AM_LIST_DIM 256
extern AutoMapSession* amList[AM_LIST_DIM][AM_LIST_DIM]; /* guarded by amListUsers */
extern atomic_t amListUsers;
extern spinlock_t amListUsersLock;
extern struct list_head queueListHead;    /* guarded by queueListUsers */
extern atomic_t queueListUsers;
extern spinlock_t queueListUsersLock;
extern atomic_t curAllocAMPages;
extern struct file_operations tavFileOps;

/* ---- block maps ---- */
int newBlockMap(BlockMap* bmap, unsigned int size, char* data, int zeroFill, unsigned int* numPagesAlloc);
void closeBlockMap(BlockMap* bmap, unsigned int* numPagesFreed);
unsigned int numPagesInBlockMap(BlockMap* bmap);
int blockInMap(BlockMap* bm, unsigned int blockNum);
int setBlock(BlockMap* bm, unsigned int blockNum);
int unSetBlock(BlockMap* bm, unsigned int blockNum);
/* Returns with bm->usersLock held and no user inside; the caller must not sleep. */
void waitForBlockMapUsers(BlockMap* bm, unsigned long* flags);
void moveBlockMap(BlockMap* to, BlockMap* from);

/* ---- backup record ---- */
int ioctlSync(Backup* b);
int ioctlGetState(Backup* b, State* userState, unsigned int stateLen);
void closeBUBlockMap(Backup* b);
void closeBackup(Backup* b);

/* ---- automap sessions ---- */
void closeAllAMS(void);
int amSlotValid(dev_t kdev);
AutoMapSession* getDeviceAMS(dev_t kdev);
void putDeviceAMS(AutoMapSession* ams);

/* ---- init, exit and file operations ---- */
int tavInit(void);
void tavExit(void);
int tavUnload(void);
int tavShutdown(void);
int tavOpen(struct inode* inode, struct file* filp);
int tavRelease(struct inode* inode, struct file* filp);
ssize_t tavRead(struct file* filp, char* buf, size_t count, loff_t* pos);
ssize_t tavWrite(struct file* filp, const char* buf, size_t count, loff_t* pos);
unsigned int tavPoll(struct file* filp, struct poll_table_struct* wait);
int tavIOCTL(struct inode* inode, struct file* filp, unsigned int cmd, unsigned long arg);
int tavMMAP(struct file* filp, struct vm_area_struct* vma);

/* ---- block cache, and the bucket table and cache map that start builds ---- */
CachePage* getCacheBlock(Backup* b);
void addCPtoBusyList(HashTable* ht, CachePage* cp);
void freeCachePage(Backup* b, CachePage* cp);
CachePage* locateBlockInList(CachePage* cp, unsigned int blockNum, CachePage** lastCP);
int saveBlock(Backup* b, char* data, unsigned int blockNum);
int cacheRead(Backup* b, char* data, unsigned int blockNum);
int readFromCache(Backup* b, unsigned int startBlockNum, unsigned int numBlocks, BackupVMA* bVMA);
void readCheckCache(Backup* b, unsigned int startBlockNum, unsigned int numBlocks, BackupVMA* bVMA);
void closeList(Backup* b, CachePage* cp);
void closeCache(Backup* b);
int cleanUpCache(Backup* b);
unsigned int anyDirtyBlock(Backup* b);
int ioctlGetDirtyBlock(Backup* b, unsigned int* userBlockNumPtr);
int newBlockTable(Backup* b);
void closeBlockTable(Backup* b);
int newCacheMap(Backup* b);
void closeCacheMap(Backup* b);

/* ---- transfer-buffer mapping ---- */
extern struct vm_operations_struct tavVMOps;
void tavVMopen(struct vm_area_struct* vma);
void tavVMclose(struct vm_area_struct* vma);
int checkVMA(Backup* b, unsigned long addr, BackupVMA** bVMA);
int findVMA(Backup* b, struct vm_area_struct* vma, BackupVMA** bVMA);
int maxBVMAs(Backup* b, BackupVMA** bVMA);
void freeMMPages(Backup* b, BackupVMA* bVMA);
int getVMAPageCount(Backup* b);

/* ---- backup start and close ---- */
int ioctlStartBackup(Backup* b, dev_t kdev, unsigned int totalBlocks_, unsigned int maxCacheBlocks_);
int startWorkQueue(Backup* b);
/* Caller holds b->mrLock (interrupts saved in *flags); so does the return. */
void waitForMRs(Backup* b, unsigned long* flags);
void flushWorkQueue(Backup* b);
void killWorkQueue(Backup* b);
void freeAllMMPages(Backup* b);

/* ---- snapshot and map loading ---- */
int ioctlSnapShot(Backup* b, AMSessionKey* userKey, unsigned int keyLen);
int ioctlLoadBlockMap(Backup* b, UserBlockMap* userBM);
int newBUBlockMap(BlockMap* staged, unsigned int size, char* data, unsigned int* pages);

/* ==== request-queue hook registry (tavlib-registry.cpp) ==== */
/*
 * Users counts (registry, automap table, sessions): a user enters with enterUsers and
 * leaves with leaveUsers; a holder returns from waitForUsers with the lock held, no user
 * inside and none able to enter, and must not sleep until it releases the lock.
 */
static inline void enterUsers(spinlock_t* lock, atomic_t* users) {
    unsigned long flags;
    spin_lock_irqsave(lock, flags);
    atomic_inc(users);
    spin_unlock_irqrestore(lock, flags);
}
static inline void leaveUsers(atomic_t* users) { atomic_dec(users); }
void waitForUsers(atomic_t* users, spinlock_t* lock, unsigned long* flags);
void waitForQueueListUsers(unsigned long* flags);

/* 0, or 1 when the device has no request queue. Process context; may sleep. */
int setMRF(Backup* b, make_request_fn* newMRF);
/* Null only for a null queue. Never sleeps; allocates nothing. */
make_request_fn* getRealMRF(struct request_queue* q);
int isInQueueList(struct request_queue* q, dev_t kdev);
/* Caller is a registry user or holds the registry. */
int isInDevList(QueueList* queueList, dev_t kdev);
/* Process context; may sleep (allocation). */
void addQueueToList(struct request_queue* q, dev_t kdev);
/* Caller holds the registry (waitForQueueListUsers). */
int addDevToList(QueueList* queueList, dev_t kdev, DevList* newNode);
void unSetMRFAMS(AutoMapSession* ams);
/* The device leaves the registry; its queue gets its own function back when no device is left. */
void unSetMRFDEV(DiskInfo* diskInfo);
void unsetQueueMRFAMS(struct request_queue* q);
int countQueueAMS(struct request_queue* q);
/* Module unload: every queue still hooked gets its own function back. */
void unSetAllMRF(void);

/* ==== automap sessions (tavlib-automap.cpp) ==== */
/* Process context; may sleep. */
int newAMS(Backup* b, AutoMapSession** amSession);
/* 0, or 2 when the device had no session. Process context; may sleep. */
int closeAMS(Backup* b);
void closeAM(AutoMapSession* ams);
void errorAMS(Backup* b);
void errorAMSDEV(dev_t kdev);
void waitForAMListUsers(unsigned long* flags);
void waitForAMSUsers(AutoMapSession* ams, unsigned long* flags);
int ioctlGetAutoMapState(Backup* b, AutoMapState* userAMS, unsigned int amsLen);
int ioctlNoLoadFromAutoMap(Backup* b);
int ioctlNoStartAutoMap(Backup* b);
int ioctlGetAutoMap(Backup* b, UserBlockMap* userBM);

/* ==== statistics (tavlib-stats.cpp) ==== */
/* Fills every field but the three version words; counters are read one by one, unlocked. */
void setStats(Backup* b, Stats* st);
void printStats(Stats* st);
struct timespec calcTimeDiff(struct timespec start, struct timespec end);
/* No command number leads here. 0, TAV_ERR_NO_MEMORY or TAV_ERR_COPY_TO_USER. */
int ioctlGetStats(Backup* b, Stats* userStats, unsigned int len);

#endif
