// The backup repository: one directory per backup, holding manifest.json and the data.
//
//   <repo>/<id>/manifest.json   format, source, device, geometry, kind, parent, time,
//                               session key, statistics, the names and hashes of the files
//                               below, and a hash of the manifest itself
//   <repo>/<id>/image.raw       full: the device image, sparse (zero blocks are holes)
//   <repo>/<id>/changes.bitmap  incremental: one bit per block (block n: bit n&7 of byte n>>3)
//   <repo>/<id>/changes.dat     incremental: the changed blocks in block order
//   <repo>/<id>/checksums.bin   XXH3-64 of each stored block, little-endian, in data order
//   <repo>/.lock                flock: exclusive while a backup creates or publishes its
//                               directory, shared while anyone reads
//
// A backup is written under <repo>/.tmp-<id> (made with a fail-if-exists mkdir and flocked
// by its writer for as long as it lives), every file fsynced, the manifest last, then the
// directory is renamed into place (never over an existing one) and the repository
// directory fsynced: a directory with a valid manifest is a complete backup; anything
// else is reported, never read.
//
// Nothing in the repository is trusted: a manifest is checked against itself (its hash)
// and against the files beside it before use, and files are opened without following
// symlinks, must be regular, and are read no further than their expected size.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "2.6/tavguard.h"

namespace tav::agent {

// 1: hashes as JSON numbers, no source, no manifest hash (still read).
constexpr int kFormatVersion = 2;

struct BackupStats {
    std::uint64_t blocksRead = 0;       // blocks delivered by ReadBlocks
    std::uint64_t blocksFromDirty = 0;  // of those, read early because GetDirtyBlock named them
    std::uint64_t bytesStored = 0;
    double seconds = 0;
};

// What was backed up: the file system's UUID (empty when it is no ext2/3/4) and where it
// was found. Two backups are of one source when their UUIDs match, or, lacking UUIDs, when
// path and device match.
struct SourceId {
    std::string fsUuid;  // "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"
    std::string path;    // image file or device
    bool sameAs(const SourceId& o, unsigned major, unsigned minor, unsigned oMajor, unsigned oMinor) const;
    std::string describe() const;
};

struct Manifest {
    int format = kFormatVersion;
    std::string id;
    SourceId source;
    unsigned major = 0, minor = 0;
    std::uint32_t blockSize = 0;
    std::uint64_t blockCount = 0;
    std::uint64_t partitionSizeKB = 0;
    std::string kind;    // "full" or "incremental"
    std::string parent;  // id of the backup this one applies to; empty for a full backup
    std::string time;    // UTC, ISO 8601
    AMSessionKey sessionKey{};  // the key to present at the next snapshot
    std::uint64_t changedBlocks = 0;  // blocks stored (all of them for a full backup)
    BackupStats stats;
    std::string dataFile;       // image.raw or changes.dat
    std::uint64_t checksumsHash = 0;  // XXH3-64 of checksums.bin
    std::uint64_t bitmapHash = 0;     // incremental: XXH3-64 of changes.bitmap
    // CLOCK_REALTIME ns just before and just after the SnapShot call that took: the file
    // system was frozen somewhere in between. Both 0 in backups that did not record it.
    // Kept as "snapshotWindow": two decimal strings (no JSON tool's doubles round them).
    std::int64_t snapshotStartNs = 0, snapshotEndNs = 0;
};

std::string keyToHex(const AMSessionKey& key);
// Throws AgentError (Verify) unless hex is exactly 2 * AMS_KEY_LEN hex digits.
AMSessionKey keyFromHex(const std::string& hex);

// A name that can be a backup directory: not empty, no '/', no leading '.'.
bool validId(const std::string& id);

struct RepoScan {
    std::vector<Manifest> backups;      // valid ones, oldest first (ids sort by time)
    std::vector<std::string> problems;  // "<entry>: why it is not a usable backup"
    std::vector<std::string> damaged;   // the entries those problems are about
};

enum class RepoOpen { Create, Existing };

// Methods read the directory as it is: callers hold a RepoLock around anything that must
// be consistent.
class Repository {
public:
    // Existing: throws AgentError (Usage) "no such repository" when root is missing.
    explicit Repository(std::filesystem::path root, RepoOpen how = RepoOpen::Create);
    const std::filesystem::path& root() const { return root_; }

    RepoScan scan() const;
    // Valid backups only, oldest first.
    std::vector<Manifest> list() const { return scan().backups; }
    bool has(const std::string& id) const;
    // nullopt when there is no such backup directory; throws AgentError (Verify) when
    // there is one whose manifest is missing or fails validation.
    std::optional<Manifest> find(const std::string& id) const;
    // The newest valid backup of the source, if any.
    std::optional<Manifest> newest(const SourceId& source, unsigned major, unsigned minor) const;
    // The chain that ends at id: its full backup first. Throws when a link is missing,
    // invalid, of another geometry or source, or when the links loop.
    std::vector<Manifest> chain(const std::string& id) const;
    std::filesystem::path dir(const std::string& id) const { return root_ / id; }

    // Removes temporary directories whose writer is gone. Caller holds the lock exclusively.
    void removeStale() const;

private:
    std::filesystem::path root_;
};

// flock on <repo>/.lock, released by the destructor. Blocks until granted.
class RepoLock {
public:
    enum Mode { Shared, Exclusive };
    RepoLock(const Repository& repo, Mode mode);
    ~RepoLock();
    RepoLock(const RepoLock&) = delete;
    RepoLock& operator=(const RepoLock&) = delete;
    void relock(Mode mode);
    void unlock();

private:
    int fd_ = -1;
};

// Reads and validates; throws AgentError (Verify) naming the field and both values.
Manifest readManifest(const std::filesystem::path& file);
void writeManifest(const std::filesystem::path& file, const Manifest& m);

// Writes a new backup's files under a temporary directory and publishes it atomically.
class PendingBackup {
public:
    // Creates <repo>/.tmp-<id> for a fresh id of this kind. Caller holds the lock exclusively.
    PendingBackup(const Repository& repo, const std::string& kind);
    ~PendingBackup();  // removes the temporary directory unless published
    PendingBackup(const PendingBackup&) = delete;
    PendingBackup& operator=(const PendingBackup&) = delete;
    const std::string& id() const { return id_; }
    std::filesystem::path file(const std::string& name) const { return tmp_ / name; }
    // Writes the manifest, fsyncs, renames into place (never over an existing directory).
    // Caller holds the lock exclusively.
    void publish(const Manifest& m);

private:
    const Repository& repo_;
    std::string id_;
    std::filesystem::path tmp_;
    int ownerFd_ = -1;  // the flocked temporary directory: its writer is alive
    bool published_ = false;
};

std::uint64_t hashBytes(const void* data, std::size_t n);
void fsyncPath(const std::filesystem::path& p);

// A repository file opened for reading: no symlink followed, a regular file, no FIFO
// waited on. Throws AgentError (Verify) saying why not.
int openRepoFile(const std::filesystem::path& p);
// Its whole content, which must be exactly expected bytes.
std::vector<std::uint8_t> readRepoFile(const std::filesystem::path& p, std::uint64_t expected);
std::string errnoText(int err);

}  // namespace tav::agent
