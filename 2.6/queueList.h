/* The registry entry of one hooked request queue. */
#ifndef TAV_QUEUELIST_H
#define TAV_QUEUELIST_H

#include "kernel/blkdev.h"
#include "kernel/list.h"

/* Guarded by queueListUsers (exclusive for changes); realMRF fixed once stored. */
typedef struct QueueList {
    struct request_queue* rQueue; /* never null in a stored entry */
    make_request_fn* realMRF;     /* the queue's own function, before any hook of ours */
    struct list_head devList;     /* DevList nodes, in order of registration */
    struct list_head list;        /* link in queueListHead */
} QueueList;

#endif
