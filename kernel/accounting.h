// Live-object counters for leak checks. Each allocator counts its own objects.
#pragma once

#include <atomic>
#include <string>

namespace tav::kernel {

struct LiveCounters {
    std::atomic<long> pages{0};
    std::atomic<long> kmallocBlocks{0};
    std::atomic<long> vmallocBlocks{0};
    std::atomic<long> slabObjects{0};
    std::atomic<long> slabCaches{0};
    std::atomic<long> bios{0};
    std::atomic<long> bufferHeads{0};
    std::atomic<long> kernelThreads{0};
};
LiveCounters& live();

struct LiveSnapshot {
    long pages, kmallocBlocks, vmallocBlocks, slabObjects, slabCaches, bios, bufferHeads,
        kernelThreads;
    bool allZero() const {
        return !pages && !kmallocBlocks && !vmallocBlocks && !slabObjects && !slabCaches && !bios &&
               !bufferHeads && !kernelThreads;
    }
    std::string describe() const;
};
LiveSnapshot liveSnapshot();

}  // namespace tav::kernel
