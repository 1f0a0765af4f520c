/* Kernel-version layer for 2.6 kernels. */
#include "2.6/shim-2.6.h"

#include "kernel/module.h"

int tavModRegister(int major, const char* name, struct file_operations* fops) {
    fops->owner = THIS_MODULE;
    return register_chrdev(major, name, fops);
}

/* The kernel's own module references keep the module loaded while files are open. */
int tavCheckModUse(void) { return 0; }

int tavModGet(void) { return try_module_get(THIS_MODULE) ? 0 : 1; }

void tavModPut(void) { module_put(THIS_MODULE); }

struct request_queue* tavGetRequestQueue(struct block_device* bdev) {
    if (!bdev || !bdev->bd_disk) return nullptr;
    return bdev->bd_disk->queue;
}

void tavLockRequestQueue(struct request_queue* q, unsigned long* flags) {
    if (q->queue_lock) spin_lock_irqsave(q->queue_lock, *flags);
}

void tavUnlockRequestQueue(struct request_queue* q, unsigned long* flags) {
    if (q->queue_lock) spin_unlock_irqrestore(q->queue_lock, *flags);
}

/* generic_unplug_device needs a queue_lock; unplug_fn is the driver's own, for every kind. */
void tavUnplugRequestQueue(struct request_queue* q) {
    if (q->unplug_fn) q->unplug_fn(q);
}
