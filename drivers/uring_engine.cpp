// The io_uring engine: transfers go to the ring from the submitting thread (a page-cache
// hit is served inline, in io_uring_submit); the completion thread reaps CQEs and
// completes the bios.
#include "drivers/disk.h"

#ifdef TAV_HAVE_URING

#include <liburing.h>

#include <chrono>
#include <thread>

#include "kernel/fault.h"
#include "kernel/sched.h"

namespace tav::drivers {

namespace {

constexpr unsigned kEntries = 128;

// Set in the user data of a transfer the fault plan cancels: it goes to the ring as a NOP
// and is reaped as cancelled. Transfers are at least pointer-aligned.
constexpr std::uintptr_t kCancelled = 1;

class UringEngine final : public Engine {
public:
    UringEngine(BlockDisk& disk, int fd) : disk_(disk), fd_(fd) {}
    ~UringEngine() override {
        stop();
        if (ready_) io_uring_queue_exit(&ring_);
    }

    int init() {
        int rc = io_uring_queue_init(kEntries, &ring_, 0);
        if (rc < 0) return rc;
        ready_ = true;
        thread_ = std::thread([this] { reap(); });
        return 0;
    }

    void submit(Transfer* t) override {
        std::lock_guard lk(sqLock_);
        if (inRing_ >= kEntries) {
            backlog_.push_back(t);
            return;
        }
        queueLocked(t);
        io_uring_submit(&ring_);
    }

    void stop() override {
        if (!thread_.joinable()) return;
        {
            std::lock_guard lk(sqLock_);
            io_uring_sqe* sqe = getSqeLocked();
            io_uring_prep_nop(sqe);
            io_uring_sqe_set_data(sqe, nullptr);  // the stop marker
            io_uring_submit(&ring_);
        }
        thread_.join();
    }

    bool uring() const override { return true; }

private:
    /* Caller holds sqLock_. */
    io_uring_sqe* getSqeLocked() {
        io_uring_sqe* sqe;
        while (!(sqe = io_uring_get_sqe(&ring_))) io_uring_submit(&ring_);
        return sqe;
    }

    /* Caller holds sqLock_. */
    void queueLocked(Transfer* t) {
        io_uring_sqe* sqe = getSqeLocked();
        std::uintptr_t tag = 0;
        if (!t->noIo && tav::fault::shouldFail(tav::fault::Site::RingCancel, disk_.name().c_str(), t->sector,
                                               t->end() - 1))
            tag = kCancelled;
        if (t->noIo || tag)
            io_uring_prep_nop(sqe);
        else if (t->dir == WRITE)
            io_uring_prep_writev(sqe, fd_, t->iov.data(), static_cast<unsigned>(t->iov.size()), t->sector * 512);
        else
            io_uring_prep_readv(sqe, fd_, t->iov.data(), static_cast<unsigned>(t->iov.size()), t->sector * 512);
        io_uring_sqe_set_data(sqe, reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(t) | tag));
        ++inRing_;
    }

    void reap() {
        for (;;) {
            io_uring_cqe* cqe = nullptr;
            // A page-cache hit completes inside the submitter's io_uring_submit, and a
            // reader that waits for every block submits the next one microseconds later:
            // polling the ring that long spares both sides a sleep and a wake-up.
            int rc = -EAGAIN;
            tav::kernel::pollBriefly([&] { return (rc = io_uring_peek_cqe(&ring_, &cqe)) != -EAGAIN; },
                                     [] { return false; }, kPoll);
            if (rc == -EAGAIN) rc = io_uring_wait_cqe(&ring_, &cqe);
            if (rc == -EINTR || rc == -EAGAIN) continue;
            if (rc < 0) BUG();
            auto data = reinterpret_cast<std::uintptr_t>(io_uring_cqe_get_data(cqe));
            auto* t = reinterpret_cast<Transfer*>(data & ~kCancelled);
            long res = data & kCancelled ? -ECANCELED : cqe->res;
            io_uring_cqe_seen(&ring_, cqe);
            if (!t) return;
            {
                // Also orders the submitter's writes to *t before our reads of it.
                std::lock_guard lk(sqLock_);
                --inRing_;
                bool queued = false;
                while (!backlog_.empty() && inRing_ < kEntries) {
                    queueLocked(backlog_.front());
                    backlog_.pop_front();
                    queued = true;
                }
                if (queued) io_uring_submit(&ring_);
            }
            if (!t->noIo) t->result = res;
            disk_.complete(t);
        }
    }

    static constexpr std::chrono::microseconds kPoll{8};
    BlockDisk& disk_;
    int fd_;
    io_uring ring_{};
    bool ready_ = false;
    std::mutex sqLock_;               // the submission side of the ring; leaf
    unsigned inRing_ = 0;             // guarded by sqLock_: SQEs not yet reaped
    std::deque<Transfer*> backlog_;   // guarded by sqLock_: waiting for ring room
    std::thread thread_;              // the completion thread
};

}  // namespace

std::unique_ptr<Engine> makeUringEngine(BlockDisk& disk, int fd, int* error) {
    auto e = std::make_unique<UringEngine>(disk, fd);
    if (int rc = e->init(); rc < 0) {
        *error = rc;
        return nullptr;
    }
    return e;
}

}  // namespace tav::drivers

#else

namespace tav::drivers {
std::unique_ptr<Engine> makeUringEngine(BlockDisk&, int, int* error) {
    *error = -ENOSYS;
    return nullptr;
}
}  // namespace tav::drivers

#endif
