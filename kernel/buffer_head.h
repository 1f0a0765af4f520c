// struct buffer_head with the 2.6.9 state bits, locking and wait protocol.
//
// b_state is changed with atomic bit operations from any thread; a task sleeping in
// wait_on_buffer is woken by unlock_buffer (typically from a bio completion, in the
// driver's interrupt context).
#pragma once

#include <atomic>

#include "kernel/atomic.h"
#include "kernel/list.h"
#include "kernel/mm.h"
#include "kernel/types.h"

enum bh_state_bits {
    BH_Uptodate,     // contains valid data
    BH_Dirty,        // is dirty
    BH_Lock,         // is locked
    BH_Req,          // has been submitted for I/O
    BH_Mapped,       // has a disk mapping
    BH_New,          // disk mapping was newly created by get_block
    BH_Async_Read,   // is under end_buffer_async_read I/O
    BH_Async_Write,  // is under end_buffer_async_write I/O
    BH_Delay,        // buffer is not yet allocated on disk
    BH_Boundary,     // block is followed by a discontiguity
    BH_Write_EIO,    // I/O error on write
    BH_Ordered,      // ordered write
    BH_Eopnotsupp,   // operation not supported (barrier)
    BH_PrivateStart  // first bit free for the owner's use
};

struct buffer_head;
struct block_device;
typedef void(bh_end_io_t)(struct buffer_head* bh, int uptodate);

struct buffer_head {
    unsigned long b_state;            // BH_* bits (atomic bit operations)
    struct buffer_head* b_this_page;  // circular list of the page's buffers
    struct page* b_page;              // the page this bh is mapped to
    atomic_t b_count;                 // users using this block
    u32 b_size;                       // block size
    sector_t b_blocknr;               // block number
    char* b_data;                     // pointer to data block
    struct block_device* b_bdev;
    bh_end_io_t* b_end_io;  // I/O completion
    void* b_private;        // reserved for b_end_io
    struct list_head b_assoc_buffers;  // associated with another mapping
};

#define BUFFER_FNS(bit, name)                                                                     \
    inline void set_buffer_##name(struct buffer_head* bh) { set_bit(BH_##bit, &bh->b_state); }     \
    inline void clear_buffer_##name(struct buffer_head* bh) { clear_bit(BH_##bit, &bh->b_state); } \
    inline int buffer_##name(const struct buffer_head* bh) { return test_bit(BH_##bit, &bh->b_state); }
#define TAS_BUFFER_FNS(bit, name)                                          \
    inline int test_set_buffer_##name(struct buffer_head* bh) {            \
        return test_and_set_bit(BH_##bit, &bh->b_state);                   \
    }                                                                      \
    inline int test_clear_buffer_##name(struct buffer_head* bh) {          \
        return test_and_clear_bit(BH_##bit, &bh->b_state);                 \
    }

BUFFER_FNS(Uptodate, uptodate)
BUFFER_FNS(Dirty, dirty)
TAS_BUFFER_FNS(Dirty, dirty)
BUFFER_FNS(Lock, locked)
TAS_BUFFER_FNS(Lock, locked)
BUFFER_FNS(Req, req)
TAS_BUFFER_FNS(Req, req)
BUFFER_FNS(Mapped, mapped)
BUFFER_FNS(New, new)
BUFFER_FNS(Async_Read, async_read)
BUFFER_FNS(Async_Write, async_write)
BUFFER_FNS(Delay, delay)
BUFFER_FNS(Boundary, boundary)
BUFFER_FNS(Write_EIO, write_io_error)
BUFFER_FNS(Ordered, ordered)
BUFFER_FNS(Eopnotsupp, eopnotsupp)

#define bh_offset(bh) (reinterpret_cast<unsigned long>((bh)->b_data) & ~PAGE_MASK)

// A zeroed buffer head with an empty b_assoc_buffers list; null when the
// "alloc_buffer_head" fault fires. Counted in tav::kernel::live().bufferHeads until freed.
struct buffer_head* alloc_buffer_head(gfp_t gfp_flags);
// BUG when the buffer is still on an associated-buffers list.
void free_buffer_head(struct buffer_head* bh);
// Points the buffer at offset bytes into page (offset < PAGE_SIZE).
void set_bh_page(struct buffer_head* bh, struct page* page, unsigned long offset);

inline void get_bh(struct buffer_head* bh) { atomic_inc(&bh->b_count); }
inline void put_bh(struct buffer_head* bh) { atomic_dec(&bh->b_count); }

// Sleeps while the buffer is locked. Before the first sleep it unplugs the queues, so
// plugged I/O the buffer waits for is dispatched. Process context; may sleep.
void __wait_on_buffer(struct buffer_head* bh);
// An acquire test of BH_Lock: seeing it clear makes the unlocker's work (the data the I/O
// brought in) visible.
inline int bufferLockedAcquire(const struct buffer_head* bh) {
    auto& state = const_cast<unsigned long&>(bh->b_state);
    return (std::atomic_ref(state).load(std::memory_order_acquire) >> BH_Lock) & 1;
}
inline void wait_on_buffer(struct buffer_head* bh) {
    if (bufferLockedAcquire(bh) || atomic_read(&bh->b_count) == 0) __wait_on_buffer(bh);
}
// Takes BH_Lock, sleeping while another holder has it. Process context; may sleep.
void lock_buffer(struct buffer_head* bh);
// Clears BH_Lock and wakes every waiter. Any context.
void unlock_buffer(struct buffer_head* bh);

// Submits the buffer as a one-vector bio; on completion b_end_io(bh, uptodate) runs.
// The buffer must be locked, mapped and have b_end_io set. Process context.
int submit_bh(int rw, struct buffer_head* bh);
// Standard completion for synchronous buffer I/O: sets/clears uptodate, unlocks, put_bh.
void end_buffer_read_sync(struct buffer_head* bh, int uptodate);
void end_buffer_write_sync(struct buffer_head* bh, int uptodate);
