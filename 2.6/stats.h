/* Statistics of one backup session; the layout is what a copy to user space delivers. */
#ifndef TAV_STATS_H
#define TAV_STATS_H

#include <cstddef>
#include <ctime>

typedef struct Stats {
    unsigned int driverVerMajor;
    unsigned int driverVerMinor;
    unsigned int driverVerMinor2;
    unsigned int major;
    unsigned int minor;
    unsigned int state;
    unsigned int partitionStart;
    int blockSize;
    int blocksPerPage;
    unsigned int partitionSizeKB;
    unsigned int numBlocks;
    int maxVMPages;
    int vmPages;
    unsigned int maxCacheBlocks;
    int curAllocAMPages;
    int totalAllocPages;
    int curAllocPages;
    int totalAllocBRs;
    int curAllocBRs;
    int totalAllocCPs;
    int curAllocCPs;
    int peakAllocCPs;
    int totalCBs;
    int curCBs;
    int totalReadBlocks;
    int totalReadCBs;
    int totalCleanedCBs;
    int ioctlCount;
    struct timespec eTimeToFreeze;
    struct timespec eTimeFrozen;
} Stats;

static_assert(sizeof(Stats) == 144);
static_assert(offsetof(Stats, major) == 12);
static_assert(offsetof(Stats, partitionStart) == 24);
static_assert(offsetof(Stats, maxVMPages) == 44);
static_assert(offsetof(Stats, curAllocAMPages) == 56);
static_assert(offsetof(Stats, totalAllocBRs) == 68);
static_assert(offsetof(Stats, totalCBs) == 88);
static_assert(offsetof(Stats, ioctlCount) == 108);
static_assert(offsetof(Stats, eTimeToFreeze) == 112);
static_assert(offsetof(Stats, eTimeFrozen) == 128);

#endif
