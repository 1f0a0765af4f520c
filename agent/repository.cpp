#include "tavagent/repository.h"

#include <fcntl.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tavagent/session.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace tav::agent {

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
    if (hex.size() != 2 * AMS_KEY_LEN) throw AgentError(ErrorKind::Io, "bad session key in manifest");
    for (int i = 0; i < AMS_KEY_LEN; i++) k.key[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return k;
}

std::uint64_t hashBytes(const void* data, std::size_t n) { return XXH3_64bits(data, n); }

std::uint64_t hashFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw AgentError(ErrorKind::Io, "cannot read " + file.string());
    XXH3_state_t* st = XXH3_createState();
    XXH3_64bits_reset(st);
    std::vector<char> buf(1 << 20);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        XXH3_64bits_update(st, buf.data(), static_cast<std::size_t>(in.gcount()));
    }
    std::uint64_t h = XXH3_64bits_digest(st);
    XXH3_freeState(st);
    return h;
}

void fsyncPath(const fs::path& p) {
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw AgentError(ErrorKind::Io, "cannot open " + p.string() + " to sync it");
    int rc = ::fsync(fd);
    ::close(fd);
    if (rc != 0) throw AgentError(ErrorKind::Io, "fsync of " + p.string() + " failed");
}

static json statsToJson(const BackupStats& s) {
    return {{"blocksRead", s.blocksRead}, {"blocksFromDirty", s.blocksFromDirty},
            {"bytesStored", s.bytesStored}, {"seconds", s.seconds}};
}

void writeManifest(const fs::path& file, const Manifest& m) {
    json j = {{"format", m.format},
              {"id", m.id},
              {"device", {{"major", m.major}, {"minor", m.minor}}},
              {"blockSize", m.blockSize},
              {"blockCount", m.blockCount},
              {"partitionSizeKB", m.partitionSizeKB},
              {"kind", m.kind},
              {"parent", m.parent.empty() ? json(nullptr) : json(m.parent)},
              {"time", m.time},
              {"sessionKey", keyToHex(m.sessionKey)},
              {"changedBlocks", m.changedBlocks},
              {"statistics", statsToJson(m.stats)},
              {"data", m.dataFile},
              {"checksums", {{"algorithm", "xxh3-64"}, {"file", "checksums.bin"}, {"hash", m.checksumsHash}}}};
    if (m.kind == "incremental") j["bitmap"] = {{"file", "changes.bitmap"}, {"hash", m.bitmapHash}};
    std::ofstream out(file, std::ios::trunc);
    out << j.dump(2) << '\n';
    out.close();
    if (!out) throw AgentError(ErrorKind::Io, "cannot write " + file.string());
    fsyncPath(file);
}

Manifest readManifest(const fs::path& file) {
    std::ifstream in(file);
    if (!in) throw AgentError(ErrorKind::Io, "cannot read " + file.string());
    Manifest m;
    try {
        json j = json::parse(in);
        m.format = j.at("format").get<int>();
        if (m.format != kFormatVersion)
            throw AgentError(ErrorKind::Io, file.string() + ": unsupported format " + std::to_string(m.format));
        m.id = j.at("id").get<std::string>();
        m.major = j.at("device").at("major").get<unsigned>();
        m.minor = j.at("device").at("minor").get<unsigned>();
        m.blockSize = j.at("blockSize").get<std::uint32_t>();
        m.blockCount = j.at("blockCount").get<std::uint32_t>();
        m.partitionSizeKB = j.at("partitionSizeKB").get<std::uint32_t>();
        m.kind = j.at("kind").get<std::string>();
        if (!j.at("parent").is_null()) m.parent = j.at("parent").get<std::string>();
        m.time = j.at("time").get<std::string>();
        m.sessionKey = keyFromHex(j.at("sessionKey").get<std::string>());
        m.changedBlocks = j.at("changedBlocks").get<std::uint64_t>();
        const json& s = j.at("statistics");
        m.stats = {s.at("blocksRead").get<std::uint64_t>(), s.at("blocksFromDirty").get<std::uint64_t>(),
                   s.at("bytesStored").get<std::uint64_t>(), s.at("seconds").get<double>()};
        m.dataFile = j.at("data").get<std::string>();
        m.checksumsHash = j.at("checksums").at("hash").get<std::uint64_t>();
        if (m.kind == "incremental") m.bitmapHash = j.at("bitmap").at("hash").get<std::uint64_t>();
        else if (m.kind != "full") throw AgentError(ErrorKind::Io, file.string() + ": unknown kind " + m.kind);
    } catch (const json::exception& e) {
        throw AgentError(ErrorKind::Io, file.string() + ": " + e.what());
    }
    return m;
}

Repository::Repository(fs::path root) : root_(std::move(root)) {
    std::error_code ec;
    fs::create_directories(root_, ec);
    if (ec) throw AgentError(ErrorKind::Io, "cannot create repository " + root_.string() + ": " + ec.message());
}

std::vector<Manifest> Repository::list() const {
    std::vector<Manifest> out;
    for (const auto& e : fs::directory_iterator(root_)) {
        if (!e.is_directory() || e.path().filename().string().starts_with(".")) continue;
        fs::path mf = e.path() / "manifest.json";
        if (fs::exists(mf)) out.push_back(readManifest(mf));
    }
    std::sort(out.begin(), out.end(), [](const Manifest& a, const Manifest& b) { return a.id < b.id; });
    return out;
}

std::optional<Manifest> Repository::find(const std::string& id) const {
    fs::path mf = root_ / id / "manifest.json";
    if (id.empty() || id.find('/') != std::string::npos || !fs::exists(mf)) return std::nullopt;
    return readManifest(mf);
}

std::optional<Manifest> Repository::newest(unsigned major, unsigned minor) const {
    std::optional<Manifest> best;
    for (auto& m : list())
        if (m.major == major && m.minor == minor) best = m;
    return best;
}

std::vector<Manifest> Repository::chain(const std::string& id) const {
    std::vector<Manifest> out;
    std::string at = id;
    while (true) {
        auto m = find(at);
        if (!m) throw AgentError(ErrorKind::Io, "backup " + at + " is missing from the repository");
        out.insert(out.begin(), *m);
        if (m->kind == "full") break;
        if (out.size() > 100000) throw AgentError(ErrorKind::Io, "backup chain loops at " + at);
        at = m->parent;
    }
    return out;
}

std::string Repository::newId(const std::string& kind) const {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%S", std::gmtime(&t));
    char id[96];
    for (int seq = 0;; seq++) {
        snprintf(id, sizeof id, "%s.%03lldZ-%s-%d", buf, static_cast<long long>(ms), kind.c_str(), seq);
        if (!fs::exists(root_ / id) && !fs::exists(root_ / (".tmp-" + std::string(id)))) return id;
    }
}

void Repository::removeStale() const {
    for (const auto& e : fs::directory_iterator(root_))
        if (e.is_directory() && e.path().filename().string().starts_with(".tmp-")) fs::remove_all(e.path());
}

PendingBackup::PendingBackup(const Repository& repo, const std::string& id)
    : repo_(repo), id_(id), tmp_(repo.root() / (".tmp-" + id)) {
    fs::create_directories(tmp_);
}

PendingBackup::~PendingBackup() {
    if (!published_) {
        std::error_code ec;
        fs::remove_all(tmp_, ec);
    }
}

void PendingBackup::publish(const Manifest& m) {
    for (const auto& e : fs::directory_iterator(tmp_)) fsyncPath(e.path());
    writeManifest(tmp_ / "manifest.json", m);
    fsyncPath(tmp_);
    std::error_code ec;
    fs::rename(tmp_, repo_.dir(id_), ec);
    if (ec) throw AgentError(ErrorKind::Io, "cannot publish backup " + id_ + ": " + ec.message());
    published_ = true;
    fsyncPath(repo_.root());
}

}  // namespace tav::agent
