/*
 * The registry of hooked request queues: which queues carry one of our hooks, the
 * function each queue had before the first of them, and the devices that keep it hooked.
 *
 * A queue is hooked exactly while it has an entry: the entry is created, the hook
 * installed and, at the end, the entry removed and the queue's function restored, each
 * while the registry is held. A hook therefore always finds the real function, never
 * itself.
 */
#include <new>

#include "2.6/shim-2.6.h"
#include "2.6/tavlib.h"
#include "kernel/printk.h"
#include "kernel/sched.h"
#include "kernel/slab.h"

void waitForUsers(atomic_t* users, spinlock_t* lock, unsigned long* flags) {
    for (;;) {
        spin_lock_irqsave(lock, *flags);
        if (atomic_dec_and_test(users)) {
            atomic_inc(users);
            return;
        }
        atomic_inc(users);
        spin_unlock_irqrestore(lock, *flags);
        schedule();
    }
}

void waitForQueueListUsers(unsigned long* flags) { waitForUsers(&queueListUsers, &queueListUsersLock, flags); }

static void releaseQueueList(unsigned long flags) { spin_unlock_irqrestore(&queueListUsersLock, flags); }

/* The registry is changed while the disk's writes are intercepted: no I/O, and no failure. */
template <class T>
static T* allocRegistryNode(void) {
    void* p;
    while (!(p = kmalloc(sizeof(T), GFP_NOIO))) schedule();
    return new (p) T();
}

/* Caller is a registry user or holds the registry. */
static QueueList* findQueueList(request_queue_t* q) {
    struct list_head* pos;
    list_for_each(pos, &queueListHead) {
        QueueList* ql = list_entry(pos, QueueList, list);
        if (ql->rQueue == q) return ql;
    }
    return nullptr;
}

/* Caller holds the registry. */
static void setQueueMRF(request_queue_t* q, make_request_fn* fn) {
    unsigned long qflags;
    tavLockRequestQueue(q, &qflags);
    q->make_request_fn = fn;
    tavUnlockRequestQueue(q, &qflags);
}

/* Caller holds the registry. */
static void freeDevList(QueueList* ql) {
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &ql->devList) {
        list_del(pos);
        kfree(list_entry(pos, DevList, list));
    }
}

int isInDevList(QueueList* queueList, dev_t kdev) {
    if (!queueList) return 0;
    struct list_head* pos;
    list_for_each(pos, &queueList->devList) {
        if (list_entry(pos, DevList, list)->kdev == kdev) return 1;
    }
    return 0;
}

int addDevToList(QueueList* queueList, dev_t kdev, DevList* newNode) {
    if (!queueList || isInDevList(queueList, kdev)) return 0;
    newNode->kdev = kdev;
    list_add_tail(&newNode->list, &queueList->devList);
    return 1;
}

int isInQueueList(request_queue_t* q, dev_t kdev) {
    if (!q) return 0;
    enterUsers(&queueListUsersLock, &queueListUsers);
    int found = isInDevList(findQueueList(q), kdev);
    leaveUsers(&queueListUsers);
    return found;
}

void addQueueToList(request_queue_t* q, dev_t kdev) {
    if (!q) {
        printk("<3>%s: Could not add queue to list (null).%s", __func__, "\n");
        return;
    }
    QueueList* newQL = allocRegistryNode<QueueList>();
    DevList* newDL = allocRegistryNode<DevList>();
    int qlLinked = 0, dlLinked;

    unsigned long flags;
    waitForQueueListUsers(&flags);
    QueueList* ql = findQueueList(q);
    if (ql) {
        dlLinked = addDevToList(ql, kdev, newDL);
    } else {
        unsigned long qflags;
        tavLockRequestQueue(q, &qflags);
        newQL->rQueue = q;
        newQL->realMRF = q->make_request_fn;
        tavUnlockRequestQueue(q, &qflags);
        INIT_LIST_HEAD(&newQL->devList);
        dlLinked = addDevToList(newQL, kdev, newDL);
        list_add_tail(&newQL->list, &queueListHead);
        qlLinked = 1;
    }
    releaseQueueList(flags);

    if (!qlLinked) kfree(newQL);
    if (!dlLinked) kfree(newDL);
}

/*
 * The hook goes in while the registry is held and holds the device: installed after the
 * registry was released, it could outlive an entry that a concurrent unsetQueueMRFAMS
 * (a copy-on-write failure racing the backup's close) removed meanwhile, and the hook
 * would then take itself for the queue's real function. Losing that race registers the
 * device again.
 */
int setMRF(Backup* b, make_request_fn* newMRF) {
    request_queue_t* q = getRequestQueue(&b->diskInfo);
    if (!q) return 1;
    dev_t kdev = b->diskInfo.kdev;
    for (;;) {
        unsigned long flags;
        waitForQueueListUsers(&flags);
        if (isInDevList(findQueueList(q), kdev)) {
            setQueueMRF(q, newMRF);
            releaseQueueList(flags);
            return 0;
        }
        releaseQueueList(flags);
        addQueueToList(q, kdev);
    }
}

make_request_fn* getRealMRF(request_queue_t* q) {
    if (!q) {
        printk("<4>%s: Can't get MRF on NULL queue.%s", __func__, "\n");
        return nullptr;
    }
    make_request_fn* fn = nullptr;
    enterUsers(&queueListUsersLock, &queueListUsers);
    struct list_head* pos;
    list_for_each(pos, &queueListHead) {
        QueueList* ql = list_entry(pos, QueueList, list);
        if (ql->rQueue == q && ql->realMRF) {
            fn = ql->realMRF;
            break;
        }
    }
    if (!fn) {
        unsigned long qflags;
        tavLockRequestQueue(q, &qflags);
        fn = q->make_request_fn;
        tavUnlockRequestQueue(q, &qflags);
    }
    leaveUsers(&queueListUsers);
    return fn;
}

/* Without a queue the device stays registered. */
void unSetMRFDEV(DiskInfo* diskInfo) {
    request_queue_t* q = getRequestQueue(diskInfo);
    if (!q) {
        printk("<4>%s: Unable to get request queue for MAJOR=%d, MINOR=%d while unsetting MRF.", __func__,
               static_cast<int>(MAJOR(diskInfo->kdev)), static_cast<int>(MINOR(diskInfo->kdev)));
        return;
    }
    unsigned long flags;
    waitForQueueListUsers(&flags);
    make_request_fn* realMRF = nullptr;
    QueueList* ql = findQueueList(q);
    if (ql) {
        struct list_head *pos, *n;
        list_for_each_safe(pos, n, &ql->devList) {
            DevList* dl = list_entry(pos, DevList, list);
            if (dl->kdev == diskInfo->kdev) {
                list_del(pos);
                kfree(dl);
            }
        }
        if (list_empty(&ql->devList)) {
            realMRF = ql->realMRF;
            list_del(&ql->list);
            kfree(ql);
        }
    }
    unsigned long qflags;
    tavLockRequestQueue(q, &qflags);
    if (realMRF && realMRF != q->make_request_fn) q->make_request_fn = realMRF;
    tavUnlockRequestQueue(q, &qflags);
    releaseQueueList(flags);
}

void unSetMRFAMS(AutoMapSession* ams) { unSetMRFDEV(&ams->diskInfo); }

/* Caller is a table user; a device without a slot has no session. */
static AutoMapSession* amListEntry(dev_t kdev) {
    return amSlotValid(kdev) ? amList[MAJOR(kdev)][MINOR(kdev)] : nullptr;
}

void unsetQueueMRFAMS(request_queue_t* q) {
    if (!q) {
        printk("<3>%s: Could not unset MRFS for request queue because queue was null.%s", __func__, "\n");
        return;
    }
    unsigned long flags;
    waitForQueueListUsers(&flags);
    QueueList* ql = findQueueList(q);
    if (!ql) {
        releaseQueueList(flags);
        return;
    }
    enterUsers(&amListUsersLock, &amListUsers);
    struct list_head* pos;
    list_for_each(pos, &ql->devList) {
        AutoMapSession* ams = amListEntry(list_entry(pos, DevList, list)->kdev);
        if (ams) setAMSState(ams, AMS_NOT_IN_SYNC);
    }
    leaveUsers(&amListUsers);
    freeDevList(ql);

    if (!ql->realMRF) {
        printk("<2>%s: Could not find real make request fn for queue.%s", __func__, "\n");
        BUG();
    }
    setQueueMRF(q, ql->realMRF);
    list_del(&ql->list);
    kfree(ql);
    releaseQueueList(flags);
}

int countQueueAMS(request_queue_t* q) {
    if (!q) {
        printk("<3>%s: Could not count ams sessions for request queue because queue was null.%s", __func__, "\n");
        return 0;
    }
    int count = 0;
    enterUsers(&queueListUsersLock, &queueListUsers);
    QueueList* ql = findQueueList(q);
    if (ql) {
        enterUsers(&amListUsersLock, &amListUsers);
        struct list_head* pos;
        list_for_each(pos, &ql->devList) {
            if (amListEntry(list_entry(pos, DevList, list)->kdev)) count++;
        }
        leaveUsers(&amListUsers);
    }
    leaveUsers(&queueListUsers);
    return count;
}

/*
 * Entries can outlive every session: a backup's device stays registered when the backup
 * hands its queue to tavAMRF for other devices' sessions. The hooks end with the module.
 */
void unSetAllMRF(void) {
    unsigned long flags;
    waitForQueueListUsers(&flags);
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &queueListHead) {
        QueueList* ql = list_entry(pos, QueueList, list);
        setQueueMRF(ql->rQueue, ql->realMRF);
        freeDevList(ql);
        list_del(pos);
        kfree(ql);
    }
    releaseQueueList(flags);
}
