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
};

BackupResult runBackup(const Repository& repo, const BackupOptions& options);

struct VerifyReport {
    std::uint64_t backups = 0;
    std::uint64_t blocksChecked = 0;
    std::vector<std::string> problems;  // empty when everything matches
};
// Checks every backup of the chain that ends at id against its checksums.
VerifyReport verifyChain(const Repository& repo, const std::string& id);

// Writes the device image as of backup id (its full base plus each incremental in order)
// to out, checking every block against its checksum. Throws on a mismatch.
void restoreChain(const Repository& repo, const std::string& id, const std::filesystem::path& out,
                  const ProgressFn& progress = {});

}  // namespace tav::agent
