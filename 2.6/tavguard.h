/*
 * tavguard user-space interface: ioctl command numbers, argument records, result codes
 * and the automap session key. Shared as it is by the module and every agent.
 *
 * Layouts are x86-64, little-endian ABI: a pointer is a 64-bit user address, tail
 * padding is part of a record's size.
 */
#ifndef TAVGUARD_H
#define TAVGUARD_H

#define TAV_DEVICE_NAME "tavguard"
#define TAV_DEVICE_PATH "/dev/tavguard"
#define TAV_MAJOR 120

#define TAV_VERSION_MAJOR 3
#define TAV_VERSION_MINOR 1
#define TAV_VERSION_MINOR2 0
#define TAV_VERSION_BUILD 9504

/* ioctl number encoding: direction bits 30-31, size bits 16-29, type 8-15, number 0-7. */
#define TAV_IOCTL_TYPE 0x2a /* '*' */
#define TAV_IOC_NONE 0U
#define TAV_IOC_WRITE 1U
#define TAV_IOC(dir, nr, size) \
    (((unsigned int)(dir) << 30) | ((unsigned int)(size) << 16) | (TAV_IOCTL_TYPE << 8) | (unsigned int)(nr))
#define TAV_IOW(nr, size) TAV_IOC(TAV_IOC_WRITE, nr, size)
#define TAV_IO(nr) TAV_IOC(TAV_IOC_NONE, nr, 0)

/* Result codes: what ioctl() returns. */
#define TAV_OK 0
#define TAV_ERR_NOT_READY 1
#define TAV_ERR_INVALID 2
#define TAV_ERR_GENERAL 3
#define TAV_ERR_BAD_COMMAND 4
#define TAV_ERR_NO_MEMORY 5
#define TAV_ERR_COPY_FROM_USER 6
#define TAV_ERR_COPY_TO_USER 7
#define TAV_ERR_NO_DEVICE 8
#define TAV_ERR_BACKUP_ACTIVE 9
#define TAV_ERR_ALREADY_STARTED 11
#define TAV_ERR_READ_IO 12
/* GetDirtyBlock returns -14 (EFAULT) when it cannot store the block number. */

/*
 * A failed open of the device reports: -ENXIO while the module is not initialised,
 * -ENOMEM when the session record cannot be allocated, -ENODEV while the module is
 * being removed. A refused mmap reports -EINVAL (request not valid) or -ENOMEM.
 */

/* Backup states, as GetState reports them. */
#define BACKUP_IDLE 0
#define BACKUP_STARTING 1
#define BACKUP_STARTED 2
#define BACKUP_SNAPSHOT_DONE 4
#define BACKUP_MAP_LOADING 5
#define BACKUP_MAP_LOADED 6
#define BACKUP_CLOSING 7
#define BACKUP_ERR_BLOCK_READ 8
#define BACKUP_ERR_MAP_LOAD 9
#define BACKUP_ERR_CACHE 10
#define BACKUP_REFUSED_BUSY 12
#define BACKUP_ERR_QUEUE 13

/* Automap session states. */
#define AMS_NOT_IN_SYNC 0
#define AMS_IN_SYNC 1

#define AMS_KEY_LEN 56

typedef struct AMSessionKey {
    unsigned char key[AMS_KEY_LEN];
} AMSessionKey;

typedef struct BlockSize {
    unsigned int major;
    unsigned int minor;
    int blockSize; /* file-system block size in bytes */
    unsigned int partitionSizeKB;
} BlockSize;

typedef struct GetBlockSize {
    unsigned int major;
    unsigned int minor;
    BlockSize* bs;
    unsigned int len; /* bytes of BlockSize accepted */
} GetBlockSize;

typedef struct StartBackup {
    unsigned int major;
    unsigned int minor;
    unsigned int totalBlocks;    /* file-system blocks of the device */
    unsigned int maxCacheBlocks; /* most blocks held in the block cache */
} StartBackup;

typedef struct SnapShot {
    AMSessionKey* amsKey; /* key of the automap to reuse */
    unsigned int len;     /* key bytes supplied; at most 56 are read */
} SnapShot;

typedef struct State {
    unsigned int major;
    unsigned int minor;
    unsigned int state;
    int blockSize;
    int mmapSize; /* largest transfer-buffer mapping, bytes */
} State;

typedef struct GetState {
    State* s;
    unsigned int len;
} GetState;

typedef struct AutoMapState {
    unsigned int major;
    unsigned int minor;
    unsigned int state;
    unsigned int mapLen;  /* bits */
    unsigned int mapSize; /* bytes */
    AMSessionKey amsKey;
} AutoMapState;

typedef struct GetAutoMapState {
    AutoMapState* ams;
    unsigned int len;
} GetAutoMapState;

/* A bitmap in user memory: block n is bit (n & 7) of byte (n >> 3), LSB first. */
typedef struct UserBlockMap {
    unsigned char* map;
    unsigned int mapLen; /* bits, that is blocks */
} UserBlockMap;

typedef struct LoadBlockMap {
    UserBlockMap* bm;
    unsigned int len; /* not used */
} LoadBlockMap;

typedef struct GetAutoMap {
    UserBlockMap* bm;
    unsigned int len; /* not used */
} GetAutoMap;

typedef struct DirtyBlock {
    unsigned int* blockNum;
} DirtyBlock;

typedef struct ReadBlocks {
    unsigned int startBlockNum;
    unsigned int numBlocks;
    void* data; /* start address of a transfer-buffer mapping */
} ReadBlocks;

#define TAV_GET_BLOCK_SIZE TAV_IOW(0, sizeof(GetBlockSize))
#define TAV_START_BACKUP TAV_IOW(1, sizeof(StartBackup))
#define TAV_SNAPSHOT TAV_IOW(2, sizeof(SnapShot))
#define TAV_GET_STATE TAV_IOW(3, sizeof(GetState))
#define TAV_GET_AUTOMAP_STATE TAV_IOW(4, sizeof(GetAutoMapState))
#define TAV_NO_LOAD_FROM_AUTOMAP TAV_IO(5)
#define TAV_NO_START_AUTOMAP TAV_IO(6)
#define TAV_LOAD_BLOCK_MAP TAV_IOW(7, sizeof(LoadBlockMap))
#define TAV_GET_AUTOMAP TAV_IOW(8, sizeof(GetAutoMap))
#define TAV_GET_DIRTY_BLOCK TAV_IOW(9, sizeof(DirtyBlock))
#define TAV_READ_BLOCKS TAV_IOW(10, sizeof(ReadBlocks))
/* Sequence number 11 is unused. The next four carry an int-sized argument. */
#define TAV_GET_VERSION_MAJOR TAV_IOW(12, sizeof(int))
#define TAV_GET_VERSION_MINOR TAV_IOW(13, sizeof(int))
#define TAV_SYNC TAV_IOW(14, sizeof(int))
#define TAV_UNLOAD TAV_IOW(15, sizeof(int))
#define TAV_RESERVED TAV_IOW(16, sizeof(int))

#ifdef __cplusplus
#include <cstddef>
#define TAV_ABI_CHECK(rec, field, off) static_assert(offsetof(rec, field) == (off), #rec "." #field)
static_assert(sizeof(AMSessionKey) == 56);
static_assert(sizeof(BlockSize) == 16);
TAV_ABI_CHECK(BlockSize, blockSize, 8);
TAV_ABI_CHECK(BlockSize, partitionSizeKB, 12);
static_assert(sizeof(GetBlockSize) == 24);
TAV_ABI_CHECK(GetBlockSize, minor, 4);
TAV_ABI_CHECK(GetBlockSize, bs, 8);
TAV_ABI_CHECK(GetBlockSize, len, 16);
static_assert(sizeof(StartBackup) == 16);
TAV_ABI_CHECK(StartBackup, totalBlocks, 8);
TAV_ABI_CHECK(StartBackup, maxCacheBlocks, 12);
static_assert(sizeof(SnapShot) == 16);
TAV_ABI_CHECK(SnapShot, len, 8);
static_assert(sizeof(State) == 20);
TAV_ABI_CHECK(State, state, 8);
TAV_ABI_CHECK(State, blockSize, 12);
TAV_ABI_CHECK(State, mmapSize, 16);
static_assert(sizeof(GetState) == 16);
TAV_ABI_CHECK(GetState, len, 8);
static_assert(sizeof(AutoMapState) == 76);
TAV_ABI_CHECK(AutoMapState, state, 8);
TAV_ABI_CHECK(AutoMapState, mapLen, 12);
TAV_ABI_CHECK(AutoMapState, mapSize, 16);
TAV_ABI_CHECK(AutoMapState, amsKey, 20);
static_assert(sizeof(GetAutoMapState) == 16);
TAV_ABI_CHECK(GetAutoMapState, len, 8);
static_assert(sizeof(UserBlockMap) == 16);
TAV_ABI_CHECK(UserBlockMap, mapLen, 8);
static_assert(sizeof(LoadBlockMap) == 16);
TAV_ABI_CHECK(LoadBlockMap, len, 8);
static_assert(sizeof(GetAutoMap) == 16);
TAV_ABI_CHECK(GetAutoMap, len, 8);
static_assert(sizeof(DirtyBlock) == 8);
static_assert(sizeof(ReadBlocks) == 16);
TAV_ABI_CHECK(ReadBlocks, numBlocks, 4);
TAV_ABI_CHECK(ReadBlocks, data, 8);
static_assert(TAV_GET_BLOCK_SIZE == 0x40182a00U);
static_assert(TAV_START_BACKUP == 0x40102a01U);
static_assert(TAV_SNAPSHOT == 0x40102a02U);
static_assert(TAV_GET_STATE == 0x40102a03U);
static_assert(TAV_GET_AUTOMAP_STATE == 0x40102a04U);
static_assert(TAV_NO_LOAD_FROM_AUTOMAP == 0x00002a05U);
static_assert(TAV_NO_START_AUTOMAP == 0x00002a06U);
static_assert(TAV_LOAD_BLOCK_MAP == 0x40102a07U);
static_assert(TAV_GET_AUTOMAP == 0x40102a08U);
static_assert(TAV_GET_DIRTY_BLOCK == 0x40082a09U);
static_assert(TAV_READ_BLOCKS == 0x40102a0aU);
static_assert(TAV_GET_VERSION_MAJOR == 0x40042a0cU);
static_assert(TAV_GET_VERSION_MINOR == 0x40042a0dU);
static_assert(TAV_SYNC == 0x40042a0eU);
static_assert(TAV_UNLOAD == 0x40042a0fU);
static_assert(TAV_RESERVED == 0x40042a10U);
#undef TAV_ABI_CHECK
#endif

#endif /* TAVGUARD_H */
