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
extern Backup* activeSession;             /* guarded by activeSessionUsers */
extern struct rw_semaphore activeSessionUsers;
extern atomic_t busy;                     /* test-and-set under busyLock */
extern spinlock_t busyLock;               /* never held with another lock */
extern struct semaphore signalThread;     /* one count per queued write, plus the thread slot */
extern pid_t backup_cachePID;             /* written by start and close */
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

/* ---- backup record ---- */
int ioctlSync(Backup* b);
int ioctlGetState(Backup* b, State* userState, unsigned int stateLen);
void closeBUBlockMap(Backup* b);
void closeBackup(Backup* b);

/* ---- automap sessions ---- */
void closeAllAMS(void);

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

#endif
