// One open file of the control device and the ioctl protocol of a backup, step by step.
// Every failed step throws AgentError naming the step and what the result code means.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "2.6/tavguard.h"

namespace tav::agent {

enum class ErrorKind {
    Usage = 2,    // bad command line or input
    Refused = 3,  // the module refused a step
    Io = 4,       // a disk read or a repository file failed
    Verify = 5,   // a backup does not match its checksums
};

class AgentError : public std::runtime_error {
public:
    AgentError(ErrorKind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    ErrorKind kind() const { return kind_; }

private:
    ErrorKind kind_;
};

// "code 9: another backup holds the module" and the like.
std::string describeResult(int code);
const char* stateName(unsigned state);

class Session {
public:
    explicit Session(const std::string& devicePath = TAV_DEVICE_PATH);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    BlockSize blockSize(unsigned major, unsigned minor);
    void start(unsigned major, unsigned minor, std::uint32_t totalBlocks, std::uint32_t maxCacheBlocks);
    State state();
    // Maps a transfer buffer (its size from GetState); returns its start. The module
    // gives a session two such mappings, each with its own pages.
    const std::uint8_t* mapBuffer();
    std::size_t bufferBytes() const { return mapBytes_; }
    void noLoadFromAutoMap();
    void noStartAutoMap();
    // Returns the state afterwards: BACKUP_SNAPSHOT_DONE, or BACKUP_STARTED when the
    // module refused the key (the in-sync automap has another one).
    unsigned snapshot(const AMSessionKey& key);
    AutoMapState autoMapState();
    // The change map the snapshot took over; nullopt when there is none to hand out.
    std::optional<std::vector<std::uint8_t>> getAutoMap(std::uint32_t mapLen);
    void loadBlockMap(const std::vector<std::uint8_t>& map, std::uint32_t mapLen);
    // Reads [start, start + count) into a mapped transfer buffer (the first by default).
    // False when a disk read failed (those blocks read as zeros); throws on every other
    // refusal.
    bool readBlocks(std::uint32_t start, std::uint32_t count, const std::uint8_t* into = nullptr);
    // A block still held in the module's cache, if any.
    std::optional<std::uint32_t> dirtyBlock();
    const std::uint8_t* buffer() const {
        return maps_.empty() ? nullptr : static_cast<const std::uint8_t*>(maps_.front());
    }
    int fd() const { return fd_; }

private:
    [[noreturn]] void fail(const char* step, int code) const;
    int fd_ = -1;
    std::vector<void*> maps_;
    std::size_t mapBytes_ = 0;
};

}  // namespace tav::agent
