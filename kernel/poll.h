// poll_table and poll_wait. The event bits are the host's (<poll.h>), which are the
// kernel's own values on x86-64.
#pragma once

#include <poll.h>

#include "kernel/types.h"

struct file;
// Declared only: the seam's poll never sleeps (see tav::sys::poll), so nothing here
// needs a wait queue's insides.
struct __wait_queue_head;
typedef struct __wait_queue_head wait_queue_head_t;

struct poll_table_struct;
typedef void (*poll_queue_proc)(struct file*, wait_queue_head_t*, struct poll_table_struct*);

typedef struct poll_table_struct {
    poll_queue_proc qproc;
} poll_table;

// A null table (a poll that will not sleep, as 2.6.9 passes for a zero timeout) queues
// nothing.
inline void poll_wait(struct file* filp, wait_queue_head_t* wait_address, poll_table* p) {
    if (p && wait_address && p->qproc) p->qproc(filp, wait_address, p);
}

// What a file without a poll operation reports.
#define DEFAULT_POLLMASK (POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM)
