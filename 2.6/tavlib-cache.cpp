/*
 * The block cache: snapshot contents of blocks overwritten since the snapshot, in 4096
 * buckets keyed on the low 12 bits of the block number; and the pieces of a backup's start
 * and close that build and release the buckets and the cache map.
 *
 * Lock order: bSem (ioctl paths) -> cacheUsers (r: every operation; w: closeCache)
 *   -> HashTable.sem (one bucket at a time) -> the block maps' own locks.
 */
#include <new>

#include "2.6/tavlib.h"
#include "kernel/printk.h"
#include "kernel/uaccess.h"
#include "kernel/vmalloc.h"

#define BLOCK_TABLE_MASK (TAV_BLOCK_TABLE_SIZE - 1)

static inline HashTable* bucketOf(Backup* b, unsigned int blockNum) {
    return b->blockTable[blockNum & BLOCK_TABLE_MASK];
}

/* A record the state machine no longer lets anyone read: closing or failed. */
static inline int cacheIsDead(Backup* b) { return backupState(b) > BACKUP_MAP_LOADED; }

/*
 * A zeroed record with its data buffer, or NULL with the state set to BACKUP_ERR_CACHE.
 * Only the worker stores, so the limit test needs no lock.
 * Caller holds the bucket's sem.
 */
CachePage* getCacheBlock(Backup* b) {
    if (static_cast<unsigned int>(atomic_read(&b->curAllocCPs)) >= b->maxCacheBlocks) {
        setBackupState(b, BACKUP_ERR_CACHE);
        printk("<3>%s: configured max cache memory reached (%u blocks) failed to allocate cache object\n",
               __func__, b->maxCacheBlocks);
        return nullptr;
    }
    /* A cache torn down under a running worker: fail the store like an allocation failure. */
    if (!b->cpCache) {
        printk("<2>%s: b->cpCache was destroyed before kmem_cache_alloc!%s", __func__, "\n");
        setBackupState(b, BACKUP_ERR_CACHE);
        return nullptr;
    }
    void* mem = kmem_cache_alloc(b->cpCache, GFP_NOIO);
    if (!mem) {
        setBackupState(b, BACKUP_ERR_CACHE);
        printk("<3>%s: system out of memory, failed to allocate cache object.%s", __func__, "\n");
        return nullptr;
    }
    CachePage* cp = new (mem) CachePage();
    if (!b->dataCache) {
        printk("<2>%s: b->dataCache was destroyed before kmem_cache_alloc!%s", __func__, "\n");
        kmem_cache_free(b->cpCache, cp);
        setBackupState(b, BACKUP_ERR_CACHE);
        return nullptr;
    }
    cp->data = static_cast<unsigned char*>(kmem_cache_alloc(b->dataCache, GFP_NOIO));
    if (!cp->data) {
        kmem_cache_free(b->cpCache, cp);
        setBackupState(b, BACKUP_ERR_CACHE);
        printk("<3>%s: system out of memory failed to allocate block for write cache%s", __func__, "\n");
        return nullptr;
    }
    atomic_inc(&b->curAllocCPs);
    atomic_inc(&b->totalAllocCPs);
    atomic_inc(&b->curCBs);
    atomic_inc(&b->totalCBs);
    /* Plain compare and store: only the single worker stores. */
    int cur = atomic_read(&b->curAllocCPs);
    if (cur > atomic_read(&b->peakAllocCPs)) atomic_set(&b->peakAllocCPs, cur);
    return cp;
}

/* Caller holds ht->sem. */
void addCPtoBusyList(HashTable* ht, CachePage* cp) {
    cp->next = ht->busy;
    ht->busy = cp;
}

/* Caller has unlinked cp and holds its bucket's sem (or owns the whole cache). */
void freeCachePage(Backup* b, CachePage* cp) {
    unSetBlock(&b->cacheMap, cp->blockNum);
    kmem_cache_free(b->dataCache, cp->data);
    cp->data = nullptr;
    kmem_cache_free(b->cpCache, cp);
    atomic_dec(&b->curAllocCPs);
    atomic_dec(&b->curCBs);
}

/* Caller holds the list's bucket sem and has set *lastCP to NULL. */
CachePage* locateBlockInList(CachePage* cp, unsigned int blockNum, CachePage** lastCP) {
    CachePage* prev = nullptr;
    for (; cp; prev = cp, cp = cp->next) {
        if (cp->blockNum == blockNum) {
            if (prev) *lastCP = prev;
            return cp;
        }
    }
    return nullptr;
}

/*
 * 0 = stored or nothing to store; 1 = no record could be had (state BACKUP_ERR_CACHE).
 * Caller holds cacheUsers for reading and has tested the state. Process context; may sleep.
 */
int saveBlock(Backup* b, char* data, unsigned int blockNum) {
    if (backupState(b) == BACKUP_MAP_LOADED && !blockInMap(&b->blockMap, blockNum)) return 0;
    if (blockInMap(&b->cacheMap, blockNum)) return 0;

    HashTable* ht = bucketOf(b, blockNum);
    down(&ht->sem);
    int rc = 1;
    CachePage* cp = getCacheBlock(b);
    if (cp) {
        cp->blockNum = blockNum;
        memcpy(cp->data, data, static_cast<size_t>(b->diskInfo.blockSize));
        addCPtoBusyList(ht, cp);
        rc = 0;
    }
    up(&ht->sem);
    return rc;
}

/*
 * Copies a cached block into data; blockSize, or 0 when it is not cached. Once the block
 * map is loaded, the block is backed up by this read and leaves the cache.
 * Process context; may sleep.
 */
int cacheRead(Backup* b, char* data, unsigned int blockNum) {
    int rc = 0;
    down_read(&b->cacheUsers);
    if (!cacheIsDead(b)) {
        HashTable* ht = bucketOf(b, blockNum);
        down(&ht->sem);
        CachePage* prev = nullptr;
        CachePage* cp = locateBlockInList(ht->busy, blockNum, &prev);
        if (cp) {
            memcpy(data, cp->data, static_cast<size_t>(b->diskInfo.blockSize));
            atomic_inc(&b->totalReadCBs);
            rc = b->diskInfo.blockSize;
            if (backupState(b) == BACKUP_MAP_LOADED) {
                unSetBlock(&b->blockMap, blockNum);
                unSetBlock(&b->cacheMap, blockNum);
                if (prev)
                    prev->next = cp->next;
                else
                    ht->busy = cp->next;
                freeCachePage(b, cp);
            }
        }
        up(&ht->sem);
    }
    up_read(&b->cacheUsers);
    return rc;
}

/* The batch's slots that were not read from disk, from the cache; returns how many were found. */
int readFromCache(Backup* b, unsigned int startBlockNum, unsigned int numBlocks, BackupVMA* bVMA) {
    int found = 0;
    for (unsigned int i = 0; i < numBlocks; i++) {
        if (isRequestSubmitted(b, i)) continue;
        unsigned int blockNum = startBlockNum + i;
        if (cacheRead(b, mmPageAddr(b, i, bVMA), blockNum))
            found++;
        else
            printk("<4>%s: expected to read block number (%u) from cache and block not found in cache\n",
                   __func__, blockNum);
    }
    return found;
}

/*
 * A block overwritten while its disk read was in flight had its old contents cached first,
 * so the cached copy wins whichever version the disk returned.
 */
void readCheckCache(Backup* b, unsigned int startBlockNum, unsigned int numBlocks, BackupVMA* bVMA) {
    /* Every store that could matter finished before the read that saw the new contents did. */
    if (atomic_read(&b->curCBs) == 0) return;
    for (unsigned int i = 0; i < numBlocks; i++)
        if (isRequestSubmitted(b, i)) cacheRead(b, mmPageAddr(b, i, bVMA), startBlockNum + i);
}

/* Caller holds the list's bucket sem (or owns the whole cache) and has unlinked the list. */
void closeList(Backup* b, CachePage* cp) {
    while (cp) {
        CachePage* next = cp->next;
        freeCachePage(b, cp);
        cp = next;
    }
}

/*
 * Releases every record and the record and data slab caches; a second call does nothing.
 * Runs after the worker has stopped. Process context; may sleep.
 */
void closeCache(Backup* b) {
    down_write(&b->cacheUsers);
    if (!b->cpCache) {
        up_write(&b->cacheUsers);
        return;
    }
    for (int i = 0; b->blockTable && i < TAV_BLOCK_TABLE_SIZE; i++) {
        HashTable* ht = b->blockTable[i];
        if (!ht) continue;
        if (down_trylock(&ht->sem)) {
            printk("<3>%s: ht->sem contended%s", __func__, "\n");
            down(&ht->sem);
        }
        CachePage* list = ht->busy;
        ht->busy = nullptr;
        closeList(b, list);
        up(&ht->sem);
    }
    kmem_cache_destroy(b->cpCache);
    if (b->dataCache) kmem_cache_destroy(b->dataCache);
    b->cpCache = nullptr;
    b->dataCache = nullptr;
    up_write(&b->cacheUsers);
}

/*
 * Drops every cached block the loaded map does not need. 0, or TAV_ERR_GENERAL when the
 * map is not loaded; a closing or failed record is left alone. Caller holds bSem.
 */
int cleanUpCache(Backup* b) {
    down_read(&b->cacheUsers);
    if (backupState(b) != BACKUP_MAP_LOADED) {
        int rc = cacheIsDead(b) ? 0 : TAV_ERR_GENERAL;
        up_read(&b->cacheUsers);
        return rc;
    }
    for (int i = 0; i < TAV_BLOCK_TABLE_SIZE; i++) {
        HashTable* ht = b->blockTable[i];
        down(&ht->sem);
        CachePage* kept = nullptr;
        CachePage* cp = ht->busy;
        while (cp) {
            CachePage* next = cp->next;
            if (blockInMap(&b->blockMap, cp->blockNum)) {
                kept = cp;
            } else {
                if (kept)
                    kept->next = next;
                else
                    ht->busy = next;
                freeCachePage(b, cp);
                atomic_inc(&b->totalCleanedCBs);
            }
            cp = next;
        }
        up(&ht->sem);
    }
    up_read(&b->cacheUsers);
    return 0;
}

/* The newest block of the lowest non-empty bucket, or 0xFFFFFFFF. Caller holds bSem. */
unsigned int anyDirtyBlock(Backup* b) {
    unsigned int blockNum = 0xFFFFFFFF;
    if (atomic_read(&b->curCBs) == 0) return blockNum;
    down_read(&b->cacheUsers);
    for (int i = 0; !cacheIsDead(b) && i < TAV_BLOCK_TABLE_SIZE; i++) {
        HashTable* ht = b->blockTable[i];
        down(&ht->sem);
        int found = ht->busy != nullptr;
        if (found) blockNum = ht->busy->blockNum;
        up(&ht->sem);
        if (found) break;
    }
    up_read(&b->cacheUsers);
    return blockNum;
}

/*
 * The block named stays cached until ReadBlocks delivers it. The map is tested under bSem:
 * another thread of the agent may be loading or releasing it.
 */
int ioctlGetDirtyBlock(Backup* b, unsigned int* userBlockNumPtr) {
    down(&b->bSem);
    if (!b->blockMap.map || backupState(b) != BACKUP_MAP_LOADED) {
        up(&b->bSem);
        return TAV_ERR_INVALID;
    }
    unsigned int blockNum = anyDirtyBlock(b);
    up(&b->bSem);
    return put_user(blockNum, userBlockNumPtr) ? -EFAULT : 0;
}

/* ---- built by StartBackup, released by close ---- */

/*
 * The bucket slab cache, the 4096-entry table and its buckets. On failure whatever was
 * built stays on the record for closeBlockTable. Process context; may sleep.
 */
int newBlockTable(Backup* b) {
    unsigned int major = MAJOR(b->diskInfo.kdev), minor = MINOR(b->diskInfo.kdev);
    snprintf(b->htCacheName, sizeof b->htCacheName, "tavHT%02x%02x", major, minor);
    b->htCache = kmem_cache_create(b->htCacheName, sizeof(HashTable), 0, SLAB_HWCACHE_ALIGN, nullptr, nullptr);
    if (!b->htCache) {
        printk("<3>%s: kmem_cache_create failed for HashTable structs during backup start major=%d minor=%d\n",
               __func__, static_cast<int>(major), static_cast<int>(minor));
        return TAV_ERR_NO_MEMORY;
    }
    size_t tableBytes = TAV_BLOCK_TABLE_SIZE * sizeof(HashTable*);
    b->blockTable = static_cast<HashTable**>(vmalloc(tableBytes));
    if (!b->blockTable) return TAV_ERR_NO_MEMORY;
    memset(b->blockTable, 0, tableBytes);
    for (int i = 0; i < TAV_BLOCK_TABLE_SIZE; i++) {
        void* mem = kmem_cache_alloc(b->htCache, GFP_KERNEL);
        if (!mem) return TAV_ERR_NO_MEMORY;
        b->blockTable[i] = new (mem) HashTable();
    }
    for (int i = 0; i < TAV_BLOCK_TABLE_SIZE; i++) sema_init(&b->blockTable[i]->sem, 1);
    return 0;
}

/* Runs after closeCache; releases whatever newBlockTable built, even partly. */
void closeBlockTable(Backup* b) {
    if (b->blockTable) {
        for (int i = 0; i < TAV_BLOCK_TABLE_SIZE; i++) {
            HashTable* ht = b->blockTable[i];
            if (!ht) continue;
            ht->~HashTable();
            kmem_cache_free(b->htCache, ht);
        }
        vfree(b->blockTable);
        b->blockTable = nullptr;
    }
    if (b->htCache) {
        kmem_cache_destroy(b->htCache);
        b->htCache = nullptr;
    }
}

/* Process context; may sleep. */
int newCacheMap(Backup* b) {
    unsigned int numBlocks = static_cast<unsigned int>(b->diskInfo.numBlocks);
    unsigned int pages = 0;
    int rc = newBlockMap(&b->cacheMap, numBlocks, nullptr, 1, &pages);
    if (rc) {
        printk("<3>%s: error creating cache map of size=%u\n", __func__, numBlocks);
        return rc;
    }
    atomic_add(static_cast<int>(pages), &b->totalAllocPages);
    atomic_add(static_cast<int>(pages), &b->curAllocPages);
    return 0;
}

/* Nothing may reach the map any more: the worker has stopped and no hook sees the record. */
void closeCacheMap(Backup* b) {
    if (!b->cacheMap.map) return;
    unsigned int freed = 0;
    closeBlockMap(&b->cacheMap, &freed);
    atomic_sub(static_cast<int>(freed), &b->curAllocPages);
}
