#include "tavagent/repository.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "tavagent/session.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace tav::agent {

std::string errnoText(int err) { return std::strerror(err); }

namespace {

[[noreturn]] void damaged(const std::string& what) { throw AgentError(ErrorKind::Verify, what); }

std::string hex64(std::uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The manifest's own hash: over the compact dump without the hash, whose keys nlohmann
// keeps sorted, so re-indenting or reordering the file changes nothing.
std::uint64_t manifestHash(json j) {
    j.erase("manifestHash");
    std::string s = j.dump();
    return XXH3_64bits(s.data(), s.size());
}

// Fields of one manifest, read with the file named in every complaint.
struct Fields {
    const json& j;
    std::string where;

    const json& at(const json& obj, const char* name) const {
        if (!obj.is_object() || !obj.contains(name)) damaged(where + ": " + name + " is missing");
        return obj.at(name);
    }
    std::uint64_t count(const json& obj, const char* name, std::uint64_t max = UINT64_MAX) const {
        const json& v = at(obj, name);
        if (!v.is_number_integer() || (!v.is_number_unsigned() && v.get<std::int64_t>() < 0) ||
            v.get<std::uint64_t>() > max)
            damaged(where + ": " + name + " is " + v.dump() + ", not a count in 0.." + std::to_string(max));
        return v.get<std::uint64_t>();
    }
    std::string text(const json& obj, const char* name) const {
        const json& v = at(obj, name);
        if (!v.is_string()) damaged(where + ": " + name + " is " + v.dump() + ", not a string");
        return v.get<std::string>();
    }
    // Format 2 stores hashes as 16 hex digits; format 1 as JSON numbers.
    std::uint64_t hash(const json& obj, const char* name) const {
        const json& v = at(obj, name);
        if (v.is_number_unsigned()) return v.get<std::uint64_t>();
        if (v.is_string()) {
            const std::string& s = v.get_ref<const std::string&>();
            std::uint64_t h = 0;
            bool ok = s.size() == 16;
            for (char c : s) {
                int d = hexDigit(c);
                ok = ok && d >= 0;
                h = h << 4 | static_cast<unsigned>(d & 15);
            }
            if (ok) return h;
        }
        damaged(where + ": " + name + " is " + v.dump() + ", not a 64-bit hash");
    }
};

std::uint64_t sizeOf(const fs::path& p, const std::string& where) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0)
        damaged(where + ": " + p.filename().string() + " is unreadable: " + errnoText(errno));
    if (!S_ISREG(st.st_mode)) damaged(where + ": " + p.filename().string() + " is not a regular file");
    return static_cast<std::uint64_t>(st.st_size);
}

// Set bits among the first count bits of an incremental's bitmap.
std::uint64_t setBits(const std::vector<std::uint8_t>& map, std::uint64_t count) {
    std::uint64_t n = 0;
    for (std::uint64_t byte = 0; byte < map.size() && byte * 8 < count; byte++) {
        unsigned v = map[byte];
        if (byte * 8 + 8 > count) v &= (1u << (count - byte * 8)) - 1;
        n += static_cast<std::uint64_t>(std::popcount(v));
    }
    return n;
}

void mismatch(const std::string& where, const char* field, std::uint64_t value, const std::string& actual) {
    damaged(where + ": " + field + " is " + std::to_string(value) + ", but " + actual);
}

}  // namespace

bool SourceId::sameAs(const SourceId& o, unsigned maj, unsigned min, unsigned oMaj, unsigned oMin) const {
    if (!fsUuid.empty() || !o.fsUuid.empty()) return fsUuid == o.fsUuid;
    return path == o.path && maj == oMaj && min == oMin;
}

std::string SourceId::describe() const {
    std::string s = fsUuid.empty() ? "no file-system UUID" : "UUID " + fsUuid;
    if (!path.empty()) s += " on " + path;
    return s;
}

bool validId(const std::string& id) {
    return !id.empty() && id.size() < 200 && id.find('/') == std::string::npos && id.front() != '.' &&
           id.find('\0') == std::string::npos;
}

std::string keyToHex(const AMSessionKey& key) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (unsigned char c : key.key) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

AMSessionKey keyFromHex(const std::string& hex) {
    AMSessionKey k{};
    if (hex.size() != 2 * AMS_KEY_LEN)
        damaged("sessionKey has " + std::to_string(hex.size()) + " characters, not " + std::to_string(2 * AMS_KEY_LEN));
    for (int i = 0; i < AMS_KEY_LEN; i++) {
        int hi = hexDigit(hex[2 * i]), lo = hexDigit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) damaged("sessionKey holds \"" + hex.substr(2 * i, 2) + "\", not hex digits");
        k.key[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return k;
}

std::uint64_t hashBytes(const void* data, std::size_t n) { return XXH3_64bits(data, n); }

void fsyncPath(const fs::path& p) {
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw AgentError(ErrorKind::Io, "cannot open " + p.string() + " to sync it: " + errnoText(errno));
    int rc = ::fsync(fd);
    int err = errno;
    ::close(fd);
    if (rc != 0) throw AgentError(ErrorKind::Io, "fsync of " + p.string() + " failed: " + errnoText(err));
}

int openRepoFile(const fs::path& p) {
    int fd = ::open(p.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        damaged("cannot open " + p.string() + ": " + (err == ELOOP ? "it is a symbolic link" : errnoText(err)));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        damaged(p.string() + " is not a regular file");
    }
    return fd;
}

std::vector<std::uint8_t> readRepoFile(const fs::path& p, std::uint64_t expected) {
    int fd = openRepoFile(p);
    std::vector<std::uint8_t> out;
    std::string problem;
    try {
        out.resize(expected);
    } catch (const std::bad_alloc&) {
        problem = "too large to read (" + std::to_string(expected) + " bytes)";
    }
    std::uint64_t got = 0;
    while (problem.empty() && got < expected) {
        ssize_t r = ::read(fd, out.data() + got, expected - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) problem = "read failed: " + errnoText(errno);
        else if (r == 0) problem = "holds " + std::to_string(got) + " bytes, not " + std::to_string(expected);
        else got += static_cast<std::uint64_t>(r);
    }
    char extra;
    if (problem.empty() && ::read(fd, &extra, 1) > 0) problem = "is longer than " + std::to_string(expected) + " bytes";
    ::close(fd);
    if (!problem.empty()) damaged(p.string() + " " + problem);
    return out;
}

void writeManifest(const fs::path& file, const Manifest& m) {
    json j = {{"format", kFormatVersion},
              {"id", m.id},
              {"source", {{"fsUuid", m.source.fsUuid}, {"path", m.source.path}}},
              {"device", {{"major", m.major}, {"minor", m.minor}}},
              {"blockSize", m.blockSize},
              {"blockCount", m.blockCount},
              {"partitionSizeKB", m.partitionSizeKB},
              {"kind", m.kind},
              {"parent", m.parent.empty() ? json(nullptr) : json(m.parent)},
              {"time", m.time},
              {"sessionKey", keyToHex(m.sessionKey)},
              {"changedBlocks", m.changedBlocks},
              {"statistics",
               {{"blocksRead", m.stats.blocksRead},
                {"blocksFromDirty", m.stats.blocksFromDirty},
                {"bytesStored", m.stats.bytesStored},
                {"seconds", m.stats.seconds}}},
              {"data", m.dataFile},
              {"checksums", {{"algorithm", "xxh3-64"}, {"file", "checksums.bin"}, {"hash", hex64(m.checksumsHash)}}}};
    if (m.kind == "incremental") j["bitmap"] = {{"file", "changes.bitmap"}, {"hash", hex64(m.bitmapHash)}};
    if (m.snapshotStartNs || m.snapshotEndNs)
        j["snapshotWindow"] = {std::to_string(m.snapshotStartNs), std::to_string(m.snapshotEndNs)};
    j["manifestHash"] = hex64(manifestHash(j));
    std::string text = j.dump(2) + "\n";
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) throw AgentError(ErrorKind::Io, "cannot write " + file.string() + ": " + errnoText(errno));
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int err = errno;
    ok = ::fsync(fd) == 0 && ok;
    ::close(fd);
    if (!ok) throw AgentError(ErrorKind::Io, "cannot write " + file.string() + ": " + errnoText(err));
}

// Every field is checked before it is used, every count in 64 bits, and the geometry
// against the sizes of the files beside the manifest: a manifest that does not describe
// the data next to it is never used.
Manifest readManifest(const fs::path& file) {
    const fs::path dir = file.parent_path();
    const std::string where = (dir.filename() / file.filename()).string();
    constexpr std::uint64_t kMaxManifest = 1 << 20;
    std::uint64_t size = sizeOf(file, where);
    if (size > kMaxManifest) damaged(where + " is " + std::to_string(size) + " bytes, too large for a manifest");
    auto bytes = readRepoFile(file, size);
    json j = json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) damaged(where + " is not a JSON object");
    Fields f{j, where};
    Manifest m;
    std::uint64_t format = f.count(j, "format");
    if (format != 1 && format != 2) damaged(where + ": unsupported format " + std::to_string(format));
    m.format = static_cast<int>(format);
    if (m.format >= 2) {
        std::uint64_t stored = f.hash(j, "manifestHash"), actual = manifestHash(j);
        if (stored != actual)
            damaged(where + ": manifestHash is " + hex64(stored) + ", but the manifest hashes to " + hex64(actual) +
                    " (it was edited)");
        const json& src = f.at(j, "source");
        m.source.fsUuid = f.text(src, "fsUuid");
        m.source.path = f.text(src, "path");
    }
    m.id = f.text(j, "id");
    if (m.id != dir.filename().string())
        damaged(where + ": id is \"" + m.id + "\", but the directory is \"" + dir.filename().string() + "\"");
    m.major = static_cast<unsigned>(f.count(f.at(j, "device"), "major", 4095));
    m.minor = static_cast<unsigned>(f.count(f.at(j, "device"), "minor", 1u << 20));
    std::uint64_t bs = f.count(j, "blockSize", 65536);
    if (bs < 512 || !std::has_single_bit(bs))
        damaged(where + ": blockSize is " + std::to_string(bs) + ", not a power of two in 512..65536");
    m.blockSize = static_cast<std::uint32_t>(bs);
    m.blockCount = f.count(j, "blockCount", UINT32_MAX);
    m.partitionSizeKB = f.count(j, "partitionSizeKB", UINT32_MAX);
    if (m.blockCount == 0) damaged(where + ": blockCount is 0");
    if (m.blockCount != m.partitionSizeKB * 1024 / m.blockSize)
        mismatch(where, "blockCount", m.blockCount,
                 "a partition of " + std::to_string(m.partitionSizeKB) + " KiB holds " +
                     std::to_string(m.partitionSizeKB * 1024 / m.blockSize) + " blocks of " + std::to_string(bs) + " bytes");
    m.kind = f.text(j, "kind");
    const json& parent = f.at(j, "parent");
    if (!parent.is_null()) m.parent = f.text(j, "parent");
    if (m.kind == "full") {
        if (!m.parent.empty()) damaged(where + ": a full backup with parent \"" + m.parent + "\"");
    } else if (m.kind == "incremental") {
        if (!validId(m.parent)) damaged(where + ": parent \"" + m.parent + "\" is not a backup id");
        if (m.parent == m.id) damaged(where + ": parent is the backup itself");
    } else {
        damaged(where + ": kind is \"" + m.kind + "\", not full or incremental");
    }
    m.time = f.text(j, "time");
    try {
        m.sessionKey = keyFromHex(f.text(j, "sessionKey"));
    } catch (const AgentError& e) {
        damaged(where + ": " + e.what());
    }
    m.changedBlocks = f.count(j, "changedBlocks", m.blockCount);
    const json& s = f.at(j, "statistics");
    m.stats.blocksRead = f.count(s, "blocksRead");
    m.stats.blocksFromDirty = f.count(s, "blocksFromDirty");
    m.stats.bytesStored = f.count(s, "bytesStored");
    if (!f.at(s, "seconds").is_number()) damaged(where + ": statistics.seconds is not a number");
    m.stats.seconds = s.at("seconds").get<double>();
    m.dataFile = f.text(j, "data");
    const char* expectedData = m.kind == "full" ? "image.raw" : "changes.dat";
    if (m.dataFile != expectedData)
        damaged(where + ": data is \"" + m.dataFile + "\", but a " + m.kind + " backup keeps " + expectedData);
    const json& sums = f.at(j, "checksums");
    if (f.text(sums, "file") != "checksums.bin") damaged(where + ": checksums.file is not checksums.bin");
    m.checksumsHash = f.hash(sums, "hash");
    if (j.contains("snapshotWindow")) {
        // Absent from backups taken before it was recorded.
        const json& w = j.at("snapshotWindow");
        auto nsAt = [&](std::size_t i, std::int64_t* out) {
            if (!w[i].is_string()) return false;
            const std::string& s = w[i].get_ref<const std::string&>();
            if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos) return false;
            *out = static_cast<std::int64_t>(std::stoull(s));
            return *out >= 0;
        };
        if (!w.is_array() || w.size() != 2 || !nsAt(0, &m.snapshotStartNs) || !nsAt(1, &m.snapshotEndNs) ||
            m.snapshotStartNs > m.snapshotEndNs)
            damaged(where + ": snapshotWindow is " + w.dump() + ", not two times in ns (as strings), the first no later");
    }

    const std::uint64_t blockBytes = m.blockSize;
    std::uint64_t sumsSize = sizeOf(dir / "checksums.bin", where);
    if (sumsSize != m.changedBlocks * 8)
        mismatch(where, "changedBlocks", m.changedBlocks,
                 "checksums.bin holds " + std::to_string(sumsSize / 8) + " entries (" + std::to_string(sumsSize) + " bytes)");
    std::uint64_t dataSize = sizeOf(dir / m.dataFile, where);
    if (m.kind == "full") {
        if (m.changedBlocks != m.blockCount)
            mismatch(where, "changedBlocks", m.changedBlocks, "a full backup holds blockCount " + std::to_string(m.blockCount));
        if (dataSize != m.blockCount * blockBytes)
            mismatch(where, "blockCount", m.blockCount,
                     "image.raw is " + std::to_string(dataSize) + " bytes (" + std::to_string(dataSize / blockBytes) +
                         " blocks of " + std::to_string(blockBytes) + ")");
    } else {
        const json& bm = f.at(j, "bitmap");
        if (f.text(bm, "file") != "changes.bitmap") damaged(where + ": bitmap.file is not changes.bitmap");
        m.bitmapHash = f.hash(bm, "hash");
        std::uint64_t mapBytes = (m.blockCount + 7) / 8;
        std::uint64_t mapSize = sizeOf(dir / "changes.bitmap", where);
        if (mapSize != mapBytes)
            mismatch(where, "blockCount", m.blockCount,
                     "changes.bitmap is " + std::to_string(mapSize) + " bytes, not " + std::to_string(mapBytes));
        if (dataSize != m.changedBlocks * blockBytes)
            mismatch(where, "changedBlocks", m.changedBlocks,
                     "changes.dat is " + std::to_string(dataSize) + " bytes (" + std::to_string(dataSize / blockBytes) +
                         " blocks of " + std::to_string(blockBytes) + ")");
        std::uint64_t bits = setBits(readRepoFile(dir / "changes.bitmap", mapBytes), m.blockCount);
        if (bits != m.changedBlocks)
            mismatch(where, "changedBlocks", m.changedBlocks, "changes.bitmap marks " + std::to_string(bits) + " blocks");
    }
    return m;
}

Repository::Repository(fs::path root, RepoOpen how) : root_(std::move(root)) {
    std::error_code ec;
    if (how == RepoOpen::Existing) {
        if (!fs::is_directory(root_, ec))
            throw AgentError(ErrorKind::Usage, "no such repository: " + root_.string());
        return;
    }
    fs::create_directories(root_, ec);
    if (ec) throw AgentError(ErrorKind::Io, "cannot create repository " + root_.string() + ": " + ec.message());
}

RepoScan Repository::scan() const {
    RepoScan out;
    std::error_code ec;
    fs::directory_iterator it(root_, ec);
    if (ec) throw AgentError(ErrorKind::Io, "cannot read repository " + root_.string() + ": " + ec.message());
    for (const auto& e : it) {
        std::string name = e.path().filename().string();
        if (name.starts_with(".") || !e.is_directory(ec) || e.is_symlink(ec)) continue;
        try {
            if (!fs::exists(fs::symlink_status(e.path() / "manifest.json")))
                damaged(name + ": no manifest.json (an orphaned or damaged backup)");
            out.backups.push_back(readManifest(e.path() / "manifest.json"));
        } catch (const AgentError& err) {
            out.problems.push_back(err.what());
            out.damaged.push_back(name);
        }
    }
    std::sort(out.backups.begin(), out.backups.end(), [](const Manifest& a, const Manifest& b) { return a.id < b.id; });
    std::vector<std::size_t> order(out.damaged.size());
    for (std::size_t i = 0; i < order.size(); i++) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return out.damaged[a] < out.damaged[b]; });
    RepoScan sorted;
    sorted.backups = std::move(out.backups);
    for (std::size_t i : order) {
        sorted.damaged.push_back(out.damaged[i]);
        sorted.problems.push_back(out.problems[i]);
    }
    return sorted;
}

bool Repository::has(const std::string& id) const {
    struct stat st {};
    return validId(id) && ::lstat((root_ / id).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<Manifest> Repository::find(const std::string& id) const {
    if (!has(id)) return std::nullopt;
    if (!fs::exists(fs::symlink_status(root_ / id / "manifest.json")))
        damaged(id + ": no manifest.json (an orphaned or damaged backup)");
    return readManifest(root_ / id / "manifest.json");
}

std::optional<Manifest> Repository::newest(const SourceId& source, unsigned major, unsigned minor) const {
    std::optional<Manifest> best;
    for (auto& m : list())
        if (m.source.sameAs(source, m.major, m.minor, major, minor)) best = m;
    return best;
}

std::vector<Manifest> Repository::chain(const std::string& id) const {
    std::vector<Manifest> out;
    std::set<std::string> seen;
    std::string at = id;
    while (true) {
        if (!seen.insert(at).second) damaged("the backup chain of " + id + " loops at " + at);
        auto m = find(at);
        if (!m) damaged("backup " + at + (at == id ? "" : " (in the chain of " + id + ")") + " is missing from the repository");
        if (!out.empty()) {
            const Manifest& child = out.front();
            if (m->blockSize != child.blockSize || m->blockCount != child.blockCount)
                damaged("backup " + child.id + " has another geometry than its parent " + m->id);
            if (!m->source.sameAs(child.source, m->major, m->minor, child.major, child.minor))
                damaged("backup " + child.id + " is of " + child.source.describe() + ", its parent " + m->id + " of " +
                        m->source.describe());
        }
        out.insert(out.begin(), *m);
        if (m->kind == "full") break;
        at = m->parent;
    }
    return out;
}

void Repository::removeStale() const {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root_, ec)) {
        if (!e.path().filename().string().starts_with(".tmp-") || e.is_symlink(ec) || !e.is_directory(ec)) continue;
        int fd = ::open(e.path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        // A live writer holds its directory's flock.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) fs::remove_all(e.path(), ec);
        ::close(fd);
    }
}

RepoLock::RepoLock(const Repository& repo, Mode mode) {
    fs::path p = repo.root() / ".lock";
    fd_ = ::open(p.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd_ < 0 && mode == Shared) fd_ = ::open(p.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    // A repository on read-only media without a lock file cannot change under a reader.
    if (fd_ < 0 && mode == Shared && (errno == ENOENT || errno == EROFS)) return;
    if (fd_ < 0) throw AgentError(ErrorKind::Io, "cannot open the repository lock " + p.string() + ": " + errnoText(errno));
    relock(mode);
}

RepoLock::~RepoLock() {
    if (fd_ >= 0) ::close(fd_);
}

void RepoLock::relock(Mode mode) {
    if (fd_ < 0) throw AgentError(ErrorKind::Io, "the repository is read-only and has no lock file");
    while (::flock(fd_, mode == Exclusive ? LOCK_EX : LOCK_SH) != 0)
        if (errno != EINTR) throw AgentError(ErrorKind::Io, "cannot lock the repository: " + errnoText(errno));
}

void RepoLock::unlock() {
    if (fd_ >= 0) ::flock(fd_, LOCK_UN);
}

PendingBackup::PendingBackup(const Repository& repo, const std::string& kind) : repo_(repo) {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", std::gmtime(&t));
    for (int seq = 0;; seq++) {
        char id[128];
        std::snprintf(id, sizeof id, "%s.%03lldZ-%s-%d", stamp, static_cast<long long>(ms), kind.c_str(), seq);
        fs::path tmp = repo.root() / (".tmp-" + std::string(id));
        if (fs::exists(fs::symlink_status(repo.root() / id))) continue;
        if (::mkdir(tmp.c_str(), 0755) != 0) {
            if (errno == EEXIST) continue;
            throw AgentError(ErrorKind::Io, "cannot create " + tmp.string() + ": " + errnoText(errno));
        }
        id_ = id;
        tmp_ = tmp;
        break;
    }
    ownerFd_ = ::open(tmp_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (ownerFd_ < 0 || ::flock(ownerFd_, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        std::error_code ec;
        fs::remove_all(tmp_, ec);
        if (ownerFd_ >= 0) ::close(ownerFd_);
        throw AgentError(ErrorKind::Io, "cannot lock " + tmp_.string() + ": " + errnoText(err));
    }
}

PendingBackup::~PendingBackup() {
    if (!published_) {
        std::error_code ec;
        fs::remove_all(tmp_, ec);
    }
    ::close(ownerFd_);
}

void PendingBackup::publish(const Manifest& m) {
    for (const auto& e : fs::directory_iterator(tmp_)) fsyncPath(e.path());
    writeManifest(tmp_ / "manifest.json", m);
    fsyncPath(tmp_);
    // rename(2) would replace an empty directory of that name.
    if (::renameat2(AT_FDCWD, tmp_.c_str(), AT_FDCWD, repo_.dir(id_).c_str(), RENAME_NOREPLACE) != 0)
        throw AgentError(ErrorKind::Io, "cannot publish backup " + id_ + ": " + errnoText(errno));
    published_ = true;
    fsyncPath(repo_.root());
}

}  // namespace tav::agent
