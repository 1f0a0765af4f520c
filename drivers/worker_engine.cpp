// The worker engine: one thread runs transfers against the store in FIFO order and is
// the disk's completion thread (RAM disks, and file disks without io_uring).
#include <thread>

#include "drivers/disk.h"

namespace tav::drivers {

namespace {

class WorkerEngine final : public Engine {
public:
    WorkerEngine(BlockDisk& disk, Storage& storage, unsigned threads) : disk_(disk), storage_(storage) {
        for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
    }
    ~WorkerEngine() override { stop(); }

    void submit(Transfer* t) override {
        {
            std::lock_guard lk(lock_);
            queue_.push_back(t);
        }
        cv_.notify_one();
    }

    void stop() override {
        {
            std::lock_guard lk(lock_);
            stopping_ = true;
        }
        cv_.notify_all();
        for (auto& t : threads_)
            if (t.joinable()) t.join();
        threads_.clear();
    }

private:
    void run() {
        std::unique_lock lk(lock_);
        for (;;) {
            cv_.wait(lk, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;  // stopping, and the disk has drained
            Transfer* t = queue_.front();
            queue_.pop_front();
            lk.unlock();
            if (!t->noIo) {
                // Latency counts from dispatch, as for a device that is busy elsewhere.
                if (t->due > Clock::now()) std::this_thread::sleep_until(t->due);
                int n = static_cast<int>(t->iov.size());
                t->result = t->dir == WRITE ? storage_.writev(t->sector * 512, t->iov.data(), n)
                                            : storage_.readv(t->sector * 512, t->iov.data(), n);
            }
            disk_.complete(t);
            lk.lock();
        }
    }

    BlockDisk& disk_;
    Storage& storage_;
    std::mutex lock_;  // leaf
    std::condition_variable cv_;
    std::deque<Transfer*> queue_;  // guarded by lock_
    bool stopping_ = false;        // guarded by lock_
    std::vector<std::thread> threads_;
};

}  // namespace

std::unique_ptr<Engine> makeWorkerEngine(BlockDisk& disk, Storage& storage, unsigned threads) {
    return std::make_unique<WorkerEngine>(disk, storage, threads);
}

}  // namespace tav::drivers
