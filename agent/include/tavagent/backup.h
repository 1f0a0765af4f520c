// Full and incremental backups of one device into a repository, verify and restore.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tavagent/repository.h"
#include "tavagent/session.h"

namespace tav::agent {

struct Progress {
    std::uint64_t done = 0;   // blocks handled
    std::uint64_t total = 0;  // blocks to handle
    double seconds = 0;       // since the work began
};
// Called after every batch; throwing from it abandons the work (nothing is published).
using ProgressFn = std::function<void(const Progress&)>;

struct BackupOptions {
    unsigned major = 0, minor = 0;
    SourceId source;           // recorded; an incremental applies only to the same source
    bool incremental = false;  // falls back to full when it cannot be done
    std::uint32_t maxCacheBlocks = 65536;
    std::string devicePath = TAV_DEVICE_PATH;
    ProgressFn progress;
    // Runs right after the snapshot (the image's moment), before any block is read.
    std::function<void()> afterSnapshot;
};

struct BackupResult {
    Manifest manifest;
    std::string fallbackReason;  // why an incremental became a full backup; empty otherwise
    std::uint64_t maxDirtyDrained = 0;  // most cached blocks drained after one batch
    // Where the time went, step by step in order (seconds): the repository's checks, the
    // session's start, the snapshot, getting and loading the block map, reading and
    // storing, the store's drain, checksums and map files, publishing.
    std::vector<std::pair<const char*, double>> phases;
};

// Holds the repository lock exclusively while it picks the base and cleans up, while it
// creates its temporary directory and while it publishes; not while it reads the device.
BackupResult runBackup(const Repository& repo, const BackupOptions& options);

struct VerifyReport {
    std::uint64_t backups = 0;
    std::uint64_t blocksChecked = 0;
    std::vector<std::string> problems;  // empty when everything matches
};
// Checks every backup of the chain that ends at id against its checksums. Reports every
// problem it finds and goes on; takes the repository lock shared.
VerifyReport verifyChain(const Repository& repo, const std::string& id);
// The same for every backup in the repository, and every entry that is not a valid backup.
VerifyReport verifyRepository(const Repository& repo);

// The backup a restore without an id means: the newest of the only source in the
// repository. Throws AgentError: Usage when it holds no backup or backups of several
// sources, Verify when a damaged entry is newer than that backup (it may be the one
// wanted). Caller holds the lock.
std::string defaultRestoreId(const Repository& repo);

struct RestoreOptions {
    bool force = false;                      // replace an existing file or write a block device
    std::vector<std::filesystem::path> protect;  // files never to write (an attached image)
    ProgressFn progress;
};
// Writes the device image as of backup id (its full base plus each incremental in order)
// to out, checking every block against its checksum. A file is written under a temporary
// name beside it and renamed into place only when complete; a block device is written in
// place, every block. Refuses (Usage) an out inside the repository, one that is a file of
// the repository or a protected or source file, and an existing one unless force. Takes
// the repository lock shared.
void restoreChain(const Repository& repo, const std::string& id, const std::filesystem::path& out,
                  const RestoreOptions& options = {});

// What identifies the file system on a partition: the UUID in an ext2/3/4 super block
// (1024 bytes in), given the partition's first 2048 bytes; empty when there is none.
std::string extUuid(const std::uint8_t* first2048);

}  // namespace tav::agent
