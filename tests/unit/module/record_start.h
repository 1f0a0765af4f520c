// StartBackup's build steps and the close's release of them, done through the module's
// own start pieces on a record whose diskInfo is filled. Shared by the module tests and
// the ReadBlocks benchmark; no test framework here.
#pragma once

#include <algorithm>
#include <cstdio>

#include "2.6/tavlib.h"

namespace tav::test {

// StartBackup's build steps on a record whose diskInfo is filled; 0 or the failing code.
inline int startRecord(Backup* b, unsigned int maxCacheBlocks) {
    DiskInfo* di = &b->diskInfo;
    b->maxCacheBlocks = maxCacheBlocks;
    setBackupState(b, BACKUP_STARTING);
    b->maxVMPages = std::min(256, di->blockSize * 256 / 4096);
    int rc = newBlockTable(b);
    if (rc) return rc;
    unsigned major = MAJOR(di->kdev), minor = MINOR(di->kdev);
    snprintf(b->cpCacheName, sizeof b->cpCacheName, "tavCP%02x%02x", major, minor);
    b->cpCache = kmem_cache_create(b->cpCacheName, sizeof(CachePage) + (di->blocksPerPage - 1) * sizeof(unsigned),
                                   0, SLAB_HWCACHE_ALIGN, nullptr, nullptr);
    if (!b->cpCache) return TAV_ERR_NO_MEMORY;
    snprintf(b->dataCacheName, sizeof b->dataCacheName, "tavDC%02x%02x", major, minor);
    b->dataCache = kmem_cache_create(b->dataCacheName, static_cast<size_t>(di->blockSize), 0, SLAB_HWCACHE_ALIGN,
                                     nullptr, nullptr);
    if (!b->dataCache) return TAV_ERR_NO_MEMORY;
    if ((rc = newCacheMap(b))) return rc;
    if (di->bdev) {
        request_queue_t* q = getRequestQueue(di);
        if (!q) return TAV_ERR_NOT_READY;
        di->realMRF = q->make_request_fn;
    }
    if ((rc = allocateBlockRequests(b)) || (rc = allocateBRCache(b))) return rc;
    setBackupState(b, BACKUP_STARTED);
    return 0;
}

// What the close releases of a started record, in its order; each step is idempotent.
inline void releaseRecord(Backup* b) {
    for (BackupVMA& a : b->vmAreas) freeMMPages(b, &a);
    freeMMBRs(b);
    closeBRCache(b);
    closeCache(b);
    closeBUBlockMap(b);
    closeCacheMap(b);
    closeBlockTable(b);
    setBackupState(b, BACKUP_IDLE);
}

}  // namespace tav::test
