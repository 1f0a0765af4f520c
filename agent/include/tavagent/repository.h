// The backup repository: one directory per backup, holding manifest.json and the data.
//
//   <repo>/<id>/manifest.json   format, device, geometry, kind, parent, time, session key,
//                               statistics, and the names and hashes of the files below
//   <repo>/<id>/image.raw       full: the device image, sparse (zero blocks are holes)
//   <repo>/<id>/changes.bitmap  incremental: one bit per block (block n: bit n&7 of byte n>>3)
//   <repo>/<id>/changes.dat     incremental: the changed blocks in block order
//   <repo>/<id>/checksums.bin   XXH3-64 of each stored block, little-endian, in data order
//
// A backup is written under <repo>/.tmp-<id>, every file fsynced, the manifest last,
// then the directory is renamed into place and the repository directory fsynced: a
// directory with a manifest is a complete backup; anything else is never read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "2.6/tavguard.h"

namespace tav::agent {

constexpr int kFormatVersion = 1;

struct BackupStats {
    std::uint64_t blocksRead = 0;       // blocks delivered by ReadBlocks
    std::uint64_t blocksFromDirty = 0;  // of those, read early because GetDirtyBlock named them
    std::uint64_t bytesStored = 0;
    double seconds = 0;
};

struct Manifest {
    int format = kFormatVersion;
    std::string id;
    unsigned major = 0, minor = 0;
    std::uint32_t blockSize = 0;
    std::uint32_t blockCount = 0;
    std::uint32_t partitionSizeKB = 0;
    std::string kind;    // "full" or "incremental"
    std::string parent;  // id of the backup this one applies to; empty for a full backup
    std::string time;    // UTC, ISO 8601
    AMSessionKey sessionKey{};  // the key to present at the next snapshot
    std::uint64_t changedBlocks = 0;  // blocks stored (all of them for a full backup)
    BackupStats stats;
    std::string dataFile;       // image.raw or changes.dat
    std::uint64_t checksumsHash = 0;  // XXH3-64 of checksums.bin
    std::uint64_t bitmapHash = 0;     // incremental: XXH3-64 of changes.bitmap
};

std::string keyToHex(const AMSessionKey& key);
AMSessionKey keyFromHex(const std::string& hex);

class Repository {
public:
    explicit Repository(std::filesystem::path root);
    const std::filesystem::path& root() const { return root_; }

    // Complete backups, oldest first (ids sort by time).
    std::vector<Manifest> list() const;
    std::optional<Manifest> find(const std::string& id) const;
    // The newest complete backup of the device, if any.
    std::optional<Manifest> newest(unsigned major, unsigned minor) const;
    // The chain that ends at id: its full backup first. Throws when a link is missing.
    std::vector<Manifest> chain(const std::string& id) const;
    std::filesystem::path dir(const std::string& id) const { return root_ / id; }

    // A fresh id for a backup of this kind taken now.
    std::string newId(const std::string& kind) const;
    // Removes what interrupted backups left behind.
    void removeStale() const;

private:
    std::filesystem::path root_;
};

Manifest readManifest(const std::filesystem::path& file);
void writeManifest(const std::filesystem::path& file, const Manifest& m);

// Writes a new backup's files under a temporary directory and publishes it atomically.
class PendingBackup {
public:
    PendingBackup(const Repository& repo, const std::string& id);
    ~PendingBackup();  // removes the temporary directory unless published
    PendingBackup(const PendingBackup&) = delete;
    PendingBackup& operator=(const PendingBackup&) = delete;
    std::filesystem::path file(const std::string& name) const { return tmp_ / name; }
    // Writes the manifest, fsyncs, renames into place.
    void publish(const Manifest& m);

private:
    const Repository& repo_;
    std::string id_;
    std::filesystem::path tmp_;
    bool published_ = false;
};

std::uint64_t hashBytes(const void* data, std::size_t n);
std::uint64_t hashFile(const std::filesystem::path& file);
void fsyncPath(const std::filesystem::path& p);

}  // namespace tav::agent
