/* The thin layer over kernel facilities whose form changes between kernel versions. */
#ifndef TAV_SHIM_26_H
#define TAV_SHIM_26_H

#include "kernel/blkdev.h"
#include "kernel/fs.h"

int tavModRegister(int major, const char* name, struct file_operations* fops);
int tavCheckModUse(void);
int tavModGet(void);
void tavModPut(void);
struct request_queue* tavGetRequestQueue(struct block_device* bdev);
void tavLockRequestQueue(struct request_queue* q, unsigned long* flags);
void tavUnlockRequestQueue(struct request_queue* q, unsigned long* flags);
/* Runs the queue's driver now; also on a queue without a queue_lock (bio-based). */
void tavUnplugRequestQueue(struct request_queue* q);

#endif
