#include "tavagent/session.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <cstring>

#include "tav/sys.h"

namespace tav::agent {

std::string describeResult(int code) {
    const char* meaning;
    switch (code) {
    case TAV_ERR_NOT_READY: meaning = "the module is not ready, or the device's queue cannot be hooked"; break;
    case TAV_ERR_INVALID: meaning = "the request is not valid in this state or with these arguments"; break;
    case TAV_ERR_GENERAL: meaning = "the operation could not be carried out"; break;
    case TAV_ERR_BAD_COMMAND: meaning = "the module does not know the command"; break;
    case TAV_ERR_NO_MEMORY: meaning = "the module ran out of memory"; break;
    case TAV_ERR_COPY_FROM_USER: meaning = "the module could not read the agent's memory"; break;
    case TAV_ERR_COPY_TO_USER: meaning = "the module could not write the agent's memory"; break;
    case TAV_ERR_NO_DEVICE: meaning = "no mounted file system on the device"; break;
    case TAV_ERR_BACKUP_ACTIVE: meaning = "another backup holds the module"; break;
    case TAV_ERR_ALREADY_STARTED: meaning = "this session has already started a backup"; break;
    case TAV_ERR_READ_IO: meaning = "a disk read failed"; break;
    case -EFAULT: meaning = "bad address"; break;
    case -ECONNRESET: meaning = "the connection to tavguardd was lost (the daemon stopped?)"; break;
    default: meaning = code < 0 ? "system error" : "unknown result"; break;
    }
    return "code " + std::to_string(code) + ": " + meaning;
}

const char* stateName(unsigned state) {
    switch (state) {
    case BACKUP_IDLE: return "idle";
    case BACKUP_STARTING: return "starting";
    case BACKUP_STARTED: return "started";
    case BACKUP_SNAPSHOT_DONE: return "snapshot done";
    case BACKUP_MAP_LOADING: return "map loading";
    case BACKUP_MAP_LOADED: return "map loaded";
    case BACKUP_CLOSING: return "closing";
    case BACKUP_ERR_BLOCK_READ: return "failed: copy-on-write read error";
    case BACKUP_ERR_MAP_LOAD: return "failed: block map load error";
    case BACKUP_ERR_CACHE: return "failed: block cache full or out of memory";
    case BACKUP_REFUSED_BUSY: return "refused: another backup was active";
    case BACKUP_ERR_QUEUE: return "failed: out of memory queueing a write";
    default: return "unknown";
    }
}

Session::Session(const std::string& devicePath) {
    fd_ = sys::open(devicePath.c_str(), O_RDWR);
    if (fd_ < 0)
        throw AgentError(ErrorKind::Refused, "open " + devicePath + ": " + strerror(-fd_) +
                                                 " (is the module loaded?)");
}

Session::~Session() {
    for (void* m : maps_) sys::munmap(m, mapBytes_);
    if (fd_ >= 0) sys::close(fd_);
}

void Session::fail(const char* step, int code) const {
    ErrorKind kind = code == TAV_ERR_READ_IO ? ErrorKind::Io : ErrorKind::Refused;
    std::string what = std::string(step) + " failed: " + describeResult(code);
    // A step refused because the backup itself broke (cache full, a copy failed) says why.
    State s = {};
    GetState r = {&s, sizeof s};
    if (code == TAV_ERR_INVALID && sys::ioctl(fd_, TAV_GET_STATE, &r) == 0 && s.state > BACKUP_CLOSING)
        what += std::string("; the backup ") + stateName(s.state);
    throw AgentError(kind, what);
}

BlockSize Session::blockSize(unsigned major, unsigned minor) {
    BlockSize bs = {};
    GetBlockSize r = {major, minor, &bs, sizeof bs};
    if (int rc = sys::ioctl(fd_, TAV_GET_BLOCK_SIZE, &r)) fail("GetBlockSize", rc);
    return bs;
}

void Session::start(unsigned major, unsigned minor, std::uint32_t totalBlocks, std::uint32_t maxCacheBlocks) {
    StartBackup r = {major, minor, totalBlocks, maxCacheBlocks};
    if (int rc = sys::ioctl(fd_, TAV_START_BACKUP, &r)) fail("StartBackup", rc);
}

State Session::state() {
    State s = {};
    GetState r = {&s, sizeof s};
    if (int rc = sys::ioctl(fd_, TAV_GET_STATE, &r)) fail("GetState", rc);
    return s;
}

const std::uint8_t* Session::mapBuffer() {
    State s = state();
    if (s.mmapSize <= 0) throw AgentError(ErrorKind::Refused, "mmap: the session has no transfer buffer");
    int error = 0;
    void* p = sys::mmap(fd_, static_cast<std::size_t>(s.mmapSize), PROT_READ, MAP_PRIVATE, 0, &error);
    if (p == MAP_FAILED)
        throw AgentError(ErrorKind::Refused, std::string("mmap of the transfer buffer failed: ") + strerror(-error));
    maps_.push_back(p);
    mapBytes_ = static_cast<std::size_t>(s.mmapSize);
    return static_cast<const std::uint8_t*>(p);
}

void Session::noLoadFromAutoMap() {
    if (int rc = sys::ioctl(fd_, TAV_NO_LOAD_FROM_AUTOMAP, 0UL)) fail("NoLoadFromAutoMap", rc);
}

void Session::noStartAutoMap() {
    if (int rc = sys::ioctl(fd_, TAV_NO_START_AUTOMAP, 0UL)) fail("NoStartAutoMap", rc);
}

unsigned Session::snapshot(const AMSessionKey& key) {
    AMSessionKey k = key;
    SnapShot r = {&k, sizeof k};
    if (int rc = sys::ioctl(fd_, TAV_SNAPSHOT, &r)) fail("SnapShot", rc);
    return state().state;
}

AutoMapState Session::autoMapState() {
    AutoMapState ams = {};
    GetAutoMapState r = {&ams, sizeof ams};
    if (int rc = sys::ioctl(fd_, TAV_GET_AUTOMAP_STATE, &r)) fail("GetAutoMapState", rc);
    return ams;
}

std::optional<std::vector<std::uint8_t>> Session::getAutoMap(std::uint32_t mapLen) {
    std::vector<std::uint8_t> map((static_cast<std::size_t>(mapLen) + 7) / 8);
    UserBlockMap ubm = {map.data(), mapLen};
    GetAutoMap r = {&ubm, sizeof ubm};
    int rc = sys::ioctl(fd_, TAV_GET_AUTOMAP, &r);
    if (rc == TAV_ERR_INVALID) return std::nullopt;
    if (rc) fail("GetAutoMap", rc);
    return map;
}

void Session::loadBlockMap(const std::vector<std::uint8_t>& map, std::uint32_t mapLen) {
    UserBlockMap ubm = {const_cast<unsigned char*>(map.data()), mapLen};
    LoadBlockMap r = {&ubm, sizeof ubm};
    if (int rc = sys::ioctl(fd_, TAV_LOAD_BLOCK_MAP, &r)) fail("LoadBlockMap", rc);
}

bool Session::readBlocks(std::uint32_t start, std::uint32_t count, const std::uint8_t* into) {
    ReadBlocks r = {start, count, const_cast<std::uint8_t*>(into ? into : buffer())};
    int rc = sys::ioctl(fd_, TAV_READ_BLOCKS, &r);
    if (rc == TAV_ERR_READ_IO) return false;
    if (rc) fail("ReadBlocks", rc);
    return true;
}

std::optional<std::uint32_t> Session::dirtyBlock() {
    std::uint32_t block = 0xFFFFFFFF;
    DirtyBlock r = {&block};
    if (int rc = sys::ioctl(fd_, TAV_GET_DIRTY_BLOCK, &r)) fail("GetDirtyBlock", rc);
    if (block == 0xFFFFFFFF) return std::nullopt;
    return block;
}

}  // namespace tav::agent
