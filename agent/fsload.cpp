#include "tavagent/fsload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;
using nlohmann::json;

namespace tav::agent::fsload {
namespace {

std::string hex64(std::uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

bool parseHex64(const json& v, std::uint64_t* out) {
    if (!v.is_string()) return false;
    const std::string& s = v.get_ref<const std::string&>();
    if (s.size() != 16) return false;
    char* end = nullptr;
    *out = std::strtoull(s.c_str(), &end, 16);
    return *end == '\0';
}

std::uint64_t hashOf(const std::vector<std::uint8_t>& data) { return XXH3_64bits(data.data(), data.size()); }

FileState stateOf(const std::vector<std::uint8_t>& data) { return {true, data.size(), hashOf(data)}; }

std::string describe(const FileState& s) {
    if (!s.present) return "absent";
    return std::to_string(s.size) + " bytes, xxh3 " + hex64(s.hash);
}

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

}  // namespace

std::int64_t realtimeNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string journalLine(const Op& op) {
    json j = {{"op", op.op}, {"name", op.name}, {"t0", op.t0}, {"t1", op.t1}, {"sync", op.sync}};
    if (!op.from.empty()) j["from"] = op.from;
    if (op.after.present) {
        j["size"] = op.after.size;
        j["xxh3"] = hex64(op.after.hash);
    }
    if (!op.mid.empty()) {
        json mid = json::array();
        for (const FileState& s : op.mid) mid.push_back({s.size, hex64(s.hash)});
        j["mid"] = mid;
    }
    return j.dump();
}

std::vector<Op> readJournal(const fs::path& journal, std::vector<std::string>* warnings) {
    std::ifstream in(journal);
    if (!in) throw std::runtime_error("cannot read " + journal.string());
    std::vector<Op> ops;
    std::string line;
    for (std::uint64_t n = 1; std::getline(in, line); n++) {
        json j = json::parse(line, nullptr, false);
        auto bad = [&](const std::string& why) {
            if (warnings) warnings->push_back(journal.string() + ":" + std::to_string(n) + ": " + why);
        };
        if (j.is_discarded() || !j.is_object()) {
            bad("not a JSON object");
            continue;
        }
        if (!j.contains("op")) continue;  // the header
        Op op;
        try {
            op.op = j.at("op").get<std::string>();
            op.name = j.at("name").get<std::string>();
            op.t0 = j.at("t0").get<std::int64_t>();
            op.t1 = j.at("t1").get<std::int64_t>();
            op.sync = j.at("sync").get<bool>();
            if (j.contains("from")) op.from = j.at("from").get<std::string>();
            if (op.op != "delete") {
                op.after.present = true;
                op.after.size = j.at("size").get<std::uint64_t>();
                if (!parseHex64(j.at("xxh3"), &op.after.hash)) throw std::runtime_error("xxh3 is not 16 hex digits");
            }
            if (j.contains("mid"))
                for (const json& m : j.at("mid")) {
                    FileState s{true, m.at(0).get<std::uint64_t>(), 0};
                    if (!parseHex64(m.at(1), &s.hash)) throw std::runtime_error("a mid hash is not 16 hex digits");
                    op.mid.push_back(s);
                }
            if (op.op == "rename" && op.from.empty()) throw std::runtime_error("a rename without from");
            if (op.name.empty() || op.name.find('/') != std::string::npos) throw std::runtime_error("a bad name");
        } catch (const std::exception& e) {
            bad(e.what());
            continue;
        }
        ops.push_back(std::move(op));
    }
    return ops;
}

namespace {

// What one op does to one name.
struct Event {
    std::int64_t t0, t1;
    bool sync;
    FileState after;
    const std::vector<FileState>* mid;  // null: none
    const Op* op;
};

// The state of root/name, or a reason it is no regular file.
FileState readState(const fs::path& path, std::string* problem) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) *problem = std::string("cannot stat: ") + std::strerror(errno);
        return {};
    }
    if (!S_ISREG(st.st_mode)) {
        *problem = "is not a regular file";
        return {};
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *problem = std::string("cannot open: ") + std::strerror(errno);
        return {};
    }
    XXH3_state_t* h = XXH3_createState();
    XXH3_64bits_reset(h);
    std::vector<char> buf(1 << 16);
    std::uint64_t size = 0;
    for (;;) {
        ssize_t r = ::read(fd, buf.data(), buf.size());
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            *problem = std::string("read failed: ") + std::strerror(errno);
            break;
        }
        if (r == 0) break;
        XXH3_64bits_update(h, buf.data(), static_cast<std::size_t>(r));
        size += static_cast<std::uint64_t>(r);
    }
    FileState s{true, size, XXH3_64bits_digest(h)};
    XXH3_freeState(h);
    ::close(fd);
    return s;
}

}  // namespace

CheckReport checkSnapshot(const std::vector<Op>& ops, const fs::path& root, std::int64_t t0, std::int64_t t1) {
    CheckReport report;
    std::map<std::string, std::vector<Event>> byName;
    for (const Op& op : ops) {
        if (op.op == "rename") byName[op.from].push_back({op.t0, op.t1, op.sync, FileState{}, nullptr, &op});
        byName[op.name].push_back({op.t0, op.t1, op.sync, op.after, &op.mid, &op});
    }
    for (auto& [name, events] : byName) {
        std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.t0 < b.t0; });
        // The last op that was durable before the window opened.
        std::ptrdiff_t base = -1;
        for (std::size_t i = 0; i < events.size(); i++)
            if (events[i].sync && events[i].t1 < t0) base = static_cast<std::ptrdiff_t>(i);
        FileState durable = base >= 0 ? events[static_cast<std::size_t>(base)].after : FileState{};
        std::vector<FileState> allowed{durable};
        bool createdInTime = durable.present;
        for (std::size_t i = static_cast<std::size_t>(base + 1); i < events.size(); i++) {
            if (events[i].t0 >= t1) break;
            if (events[i].mid) allowed.insert(allowed.end(), events[i].mid->begin(), events[i].mid->end());
            allowed.push_back(events[i].after);
            createdInTime |= events[i].after.present;
        }
        for (std::ptrdiff_t i = 0; i <= base; i++) createdInTime |= events[static_cast<std::size_t>(i)].after.present;

        std::string problem;
        FileState actual = readState(root / name, &problem);
        if (!problem.empty()) {
            report.violations.push_back(name + ": " + problem);
            continue;
        }
        bool ok = std::find(allowed.begin(), allowed.end(), actual) != allowed.end();
        if (ok) {
            if (allowed.size() > 1) report.ambiguous++;
            else if (actual.present) report.exact++;
            else report.absent++;
            continue;
        }
        std::string v = name + ": " + describe(actual) + ", ";
        if (!createdInTime)
            v += "but no op started before the window's end created it";
        else if (allowed.size() == 1)
            v += "expected " + describe(durable) + " (the op ended " + std::to_string(t0 - events[static_cast<std::size_t>(base)].t1) +
                 " ns before the window)";
        else {
            v += "expected one of:";
            for (const FileState& s : allowed) v += " [" + describe(s) + "]";
        }
        report.violations.push_back(v);
    }
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(root, ec)) {
        std::string name = e.path().filename().string();
        if (!byName.count(name)) report.violations.push_back(name + ": not in the journal");
    }
    if (ec) report.violations.push_back(root.string() + ": cannot list: " + ec.message());
    return report;
}

namespace {

// One line per op, written whole under the lock as each op ends.
class Journal {
public:
    explicit Journal(const fs::path& p) {
        fd_ = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (fd_ < 0) fail("cannot create journal " + p.string());
    }
    ~Journal() { ::close(fd_); }
    void write(std::string line) {
        line += '\n';
        std::lock_guard lk(mu_);
        const char* p = line.data();
        std::size_t n = line.size();
        while (n) {
            ssize_t w = ::write(fd_, p, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) fail("journal write");
            p += w;
            n -= static_cast<std::size_t>(w);
        }
    }

private:
    int fd_;
    std::mutex mu_;  // orders whole lines
};

class Fd {
public:
    explicit Fd(int fd, const std::string& what) : fd_(fd) {
        if (fd_ < 0) fail(what);
    }
    ~Fd() { ::close(fd_); }
    int get() const { return fd_; }

private:
    int fd_;
};

void writeAll(int fd, const std::uint8_t* p, std::size_t n, off_t at, const std::string& what) {
    while (n) {
        ssize_t w = at < 0 ? ::write(fd, p, n) : ::pwrite(fd, p, n, at);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) fail("write " + what);
        p += w;
        n -= static_cast<std::size_t>(w);
        if (at >= 0) at += w;
    }
}

class Writer {
public:
    Writer(const RunOptions& o, unsigned index, Journal& journal)
        : o_(o), index_(index), journal_(journal), rng_(o.seed * 1000003 + index),
          dir_(::open(o.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), "open " + o.dir.string()) {}

    std::uint64_t ops = 0, unsynced = 0;

    void step() {
        Op op;
        op.sync = std::uniform_real_distribution<double>(0, 1)(rng_) >= o_.unsyncedShare;
        std::vector<std::string> live, free;
        for (unsigned n = 0; n < o_.namesPerWriter; n++) {
            std::string name = nameOf(n);
            (files_.count(name) ? live : free).push_back(name);
        }
        unsigned r = static_cast<unsigned>(rng_() % 100);
        auto pick = [&](const std::vector<std::string>& v) { return v[rng_() % v.size()]; };
        if (live.empty() || (r < 25 && !free.empty())) {
            create(op, pick(free));
        } else if (r < 50) {
            overwrite(op, pick(live));
        } else if (r < 70) {
            std::string name = pick(live);
            if (files_[name].size() > 2ull * o_.maxFileKiB * 1024) overwrite(op, name);
            else append(op, name);
        } else if (r < 85) {
            std::string from = pick(live), to;
            do to = nameOf(static_cast<unsigned>(rng_() % o_.namesPerWriter));
            while (to == from);
            rename(op, from, to);
        } else {
            remove(op, pick(live));
        }
        journal_.write(journalLine(op));
        ops++;
        if (!op.sync) unsynced++;
    }

private:
    // Appended piece by piece: GCC 12 sees a bogus overlap in "w" + to_string(...) + ...
    std::string nameOf(unsigned n) const {
        std::string s = "w";
        s += std::to_string(index_);
        s += '-';
        s += std::to_string(n);
        return s;
    }
    std::vector<std::uint8_t> randomBytes(std::size_t n) {
        std::vector<std::uint8_t> v(n);
        for (std::size_t i = 0; i < n; i += 8) {
            std::uint64_t x = rng_();
            std::memcpy(v.data() + i, &x, std::min<std::size_t>(8, n - i));
        }
        return v;
    }
    std::size_t randomSize(std::size_t most) { return most ? 1 + rng_() % most : 0; }

    // Ends an op: the file, then the directory entry, made durable when the op syncs.
    void finish(Op& op, int fd) {
        if (op.sync && fd >= 0 && ::fsync(fd) != 0) fail("fsync " + op.name);
        if (fd >= 0) ::close(fd);
        if (op.sync && ::fsync(dir_.get()) != 0) fail("fsync " + o_.dir.string());
        op.t1 = realtimeNs();
    }

    void create(Op& op, const std::string& name) {
        auto data = randomBytes(randomSize(o_.maxFileKiB * 1024));
        op.op = "create";
        op.name = name;
        op.t0 = realtimeNs();
        int fd = ::openat(dir_.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) fail("create " + name);
        op.mid.push_back({true, 0, XXH3_64bits(nullptr, 0)});
        writeAll(fd, data.data(), data.size(), 0, name);
        finish(op, fd);
        op.after = stateOf(data);
        files_[name] = std::move(data);
    }

    void overwrite(Op& op, const std::string& name) {
        auto data = randomBytes(randomSize(o_.maxFileKiB * 1024));
        std::vector<std::uint8_t>& old = files_[name];
        op.op = "overwrite";
        op.name = name;
        op.t0 = realtimeNs();
        int fd = ::openat(dir_.get(), name.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) fail("open " + name);
        writeAll(fd, data.data(), data.size(), 0, name);
        if (data.size() < old.size()) {
            std::vector<std::uint8_t> between = data;
            between.insert(between.end(), old.begin() + static_cast<std::ptrdiff_t>(data.size()), old.end());
            op.mid.push_back(stateOf(between));
            if (::ftruncate(fd, static_cast<off_t>(data.size())) != 0) fail("truncate " + name);
        }
        finish(op, fd);
        op.after = stateOf(data);
        old = std::move(data);
    }

    void append(Op& op, const std::string& name) {
        auto more = randomBytes(randomSize(o_.maxFileKiB * 256));
        std::vector<std::uint8_t>& data = files_[name];
        op.op = "append";
        op.name = name;
        op.t0 = realtimeNs();
        int fd = ::openat(dir_.get(), name.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0) fail("open " + name);
        writeAll(fd, more.data(), more.size(), -1, name);
        finish(op, fd);
        data.insert(data.end(), more.begin(), more.end());
        op.after = stateOf(data);
    }

    void rename(Op& op, const std::string& from, const std::string& to) {
        op.op = "rename";
        op.name = to;
        op.from = from;
        op.t0 = realtimeNs();
        if (::renameat(dir_.get(), from.c_str(), dir_.get(), to.c_str()) != 0) fail("rename " + from + " to " + to);
        // The content may be of an op that never synced.
        int fd = op.sync ? ::openat(dir_.get(), to.c_str(), O_RDONLY | O_CLOEXEC) : -1;
        if (op.sync && fd < 0) fail("open " + to);
        finish(op, fd);
        files_[to] = std::move(files_[from]);
        files_.erase(from);
        op.after = stateOf(files_[to]);
    }

    void remove(Op& op, const std::string& name) {
        op.op = "delete";
        op.name = name;
        op.t0 = realtimeNs();
        if (::unlinkat(dir_.get(), name.c_str(), 0) != 0) fail("delete " + name);
        finish(op, -1);
        files_.erase(name);
    }

    const RunOptions& o_;
    unsigned index_;
    Journal& journal_;
    std::mt19937_64 rng_;
    Fd dir_;
    std::map<std::string, std::vector<std::uint8_t>> files_;  // this writer's live files as written
};

bool inside(const fs::path& p, const fs::path& dir) {
    fs::path a = fs::weakly_canonical(p), d = fs::weakly_canonical(dir);
    auto [di, ai] = std::mismatch(d.begin(), d.end(), a.begin(), a.end());
    return di == d.end();
}

}  // namespace

RunResult run(const RunOptions& o, const std::atomic<bool>& stop) {
    if (o.writers == 0 || o.namesPerWriter < 2 || o.maxFileKiB == 0) throw std::runtime_error("nothing to run");
    if (inside(o.journal, o.dir)) throw std::runtime_error("the journal must be outside " + o.dir.string());
    fs::create_directories(o.dir);
    if (!fs::is_empty(o.dir)) throw std::runtime_error(o.dir.string() + " is not empty");
    {
        // The directory itself must survive into any snapshot taken from now on.
        Fd parent(::open(fs::absolute(o.dir).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), "open parent");
        if (::fsync(parent.get()) != 0) fail("fsync parent of " + o.dir.string());
    }
    Journal journal(o.journal);
    journal.write(json{{"tavfsload", 1},
                       {"dir", fs::absolute(o.dir).string()},
                       {"writers", o.writers},
                       {"seed", o.seed},
                       {"t", realtimeNs()}}
                      .dump());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(o.seconds);
    std::vector<std::unique_ptr<Writer>> writers;
    for (unsigned i = 0; i < o.writers; i++) writers.push_back(std::make_unique<Writer>(o, i, journal));
    std::mutex errMu;
    std::string error;  // guarded by errMu: the first failure
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (auto& w : writers)
        threads.emplace_back([&, wp = w.get()] {
            try {
                while (!stop.load(std::memory_order_relaxed) && !failed.load(std::memory_order_relaxed) &&
                       (o.seconds <= 0 || std::chrono::steady_clock::now() < deadline))
                    wp->step();
            } catch (const std::exception& e) {
                std::lock_guard lk(errMu);
                if (error.empty()) error = e.what();
                failed = true;
            }
        });
    for (auto& t : threads) t.join();
    if (!error.empty()) throw std::runtime_error(error);
    RunResult r;
    for (auto& w : writers) {
        r.ops += w->ops;
        r.unsynced += w->unsynced;
    }
    return r;
}

}  // namespace tav::agent::fsload
