// Writers that keep a disk busy while a backup runs: file-system writers on partition 1
// (direct single- and multi-block bios, and cached writes that the write-back sends
// later), which the freeze holds back, and a raw writer on partition 2 (bios of one to
// four blocks, and read-aheads of partition 1), which nothing holds back. Each phase runs
// from start() to stop(); the blocks written on partition 1 are recorded per phase.
#pragma once

#include <atomic>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "tests/unit/module/start_fixture.h"

namespace tav::test {

class Writers {
public:
    Writers(tav::Mount* fs, struct block_device* p1, struct block_device* p2, unsigned blockSize, unsigned fsBlocks,
            unsigned p2Blocks)
        : fs_(fs), p1_(p1), p2_(p2), bs_(blockSize), fsBlocks_(fsBlocks), p2Blocks_(p2Blocks) {}
    ~Writers() { stop(); }

    void start(std::uint64_t seed, int fsThreads = 2) {
        stop_ = false;
        for (int t = 0; t < fsThreads; t++) threads_.emplace_back([this, seed, t] { fsLoop(seed * 31 + t); });
        threads_.emplace_back([this, seed] { rawLoop(seed * 77 + 5); });
    }
    // Joins the phase's threads; the blocks they wrote on partition 1 are in written().
    void stop() {
        stop_ = true;
        for (auto& t : threads_) t.join();
        threads_.clear();
    }
    // Waits until the running phase has made at least n more writes of partition 1.
    bool waitWrites(long n, int timeoutMs = 10000) {
        long target = fsWrites_.load() + n;
        for (int i = 0; i < timeoutMs * 10 && fsWrites_.load() < target; i++) usleep(100);
        return fsWrites_.load() >= target;
    }
    std::set<unsigned> takeWritten() {
        std::lock_guard lk(lock_);
        std::set<unsigned> out;
        out.swap(written_);
        return out;
    }
    long errors() const { return errors_.load(); }
    long fsWrites() const { return fsWrites_.load(); }

private:
    void fsLoop(std::uint64_t seed) {
        std::mt19937_64 rng(seed);
        std::vector<std::uint8_t> data(4u * bs_);
        while (!stop_) {
            unsigned count = rng() % 3 == 0 ? 1 + static_cast<unsigned>(rng() % 4) : 1;
            unsigned block = static_cast<unsigned>(rng() % (fsBlocks_ - count + 1));
            std::uint64_t stamp = rng();
            for (std::size_t i = 0; i < std::size_t{count} * bs_; i += 8) memcpy(&data[i], &stamp, 8), stamp++;
            int rc = rng() % 4 == 0 ? fs_->write(block, data.data(), count) : fs_->writeDirect(block, data.data(), count);
            if (rc) errors_++;
            {
                std::lock_guard lk(lock_);
                for (unsigned i = 0; i < count; i++) written_.insert(block + i);
            }
            fsWrites_++;
            usleep(20);
        }
    }
    void rawLoop(std::uint64_t seed) {
        std::mt19937_64 rng(seed);
        std::vector<std::uint8_t> data(4u * bs_), ahead(bs_);
        while (!stop_) {
            unsigned count = 1 + static_cast<unsigned>(rng() % 4);
            unsigned block = static_cast<unsigned>(rng() % (p2Blocks_ - count + 1));
            memset(data.data(), static_cast<int>(rng() & 0xff), data.size());
            tav::BioBatch batch(p2_);
            if (batch.add(WRITE, sector_t{block} * (bs_ / 512), data.data(), std::size_t{count} * bs_)) errors_++;
            tav::BioBatch read(p1_);
            if (read.add(READA, sector_t{static_cast<unsigned>(rng() % fsBlocks_)} * (bs_ / 512), ahead.data(), bs_))
                errors_++;
            batch.submit();
            read.submit();
            if (batch.wait()) errors_++;
            read.wait();  // a read-ahead may be dropped; its result does not matter
            usleep(20);
        }
    }

    tav::Mount* fs_;
    struct block_device* p1_;
    struct block_device* p2_;
    unsigned bs_, fsBlocks_, p2Blocks_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::atomic<long> errors_{0}, fsWrites_{0};
    std::mutex lock_;
    std::set<unsigned> written_;  // guarded by lock_
};

}  // namespace tav::test
