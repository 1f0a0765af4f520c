// What every benchmark shares: the command line, interleaved paired rounds, the figures
// (median of the rounds, with their spread), the page-cache preconditions, the test
// image, and build/bench.json.
//
// A figure is the median of one value per round; for a ratio the value is that of one
// pair (baseline, then subject, measured back to back), so slow drift of the machine
// moves both sides of a pair alike and shows up as spread instead of as a bias.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Above this max/min ratio a figure's rounds disagree too much to tell a change from noise.
inline constexpr double kNoisySpread = 1.3;
inline constexpr int kDefaultRounds = 7;
// The most a subject that does at least a baseline's in-memory work may show against it.
inline constexpr double kInMemoryLimit = 1.05;

// Ends a benchmark that cannot go on: its lines so far stay, and no destructor runs, since
// threads of the platform may still run.
[[noreturn]] inline void die(const char* program, const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", program, what.c_str());
    std::fflush(stdout);
    std::_Exit(1);
}

// TAV_LOG=1 keeps the kernel log echoing to stderr, as in the tests.
inline bool kernelLogWanted() {
    const char* e = std::getenv("TAV_LOG");
    return e && std::string(e) == "1";
}

struct Options {
    int rounds = kDefaultRounds;
    std::string json = "bench.json";
    std::string image;
};

// [--rounds N] [bench.json] [image]. Empty optional (and a message on stderr) on bad usage.
inline std::optional<Options> parseArgs(int argc, char** argv, const std::string& defaultImage) {
    Options o;
    o.image = defaultImage;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        std::string value;
        if (a == "--rounds" && i + 1 < argc)
            value = argv[++i];
        else if (a.rfind("--rounds=", 0) == 0)
            value = a.substr(9);
        else if (a.rfind("--", 0) == 0) {
            std::fprintf(stderr, "usage: %s [--rounds N] [bench.json] [image]\n", argv[0]);
            return std::nullopt;
        } else {
            positional.push_back(a);
            continue;
        }
        char* end = nullptr;
        long n = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end || n < 1 || n > 1000) {
            std::fprintf(stderr, "%s: --rounds wants a count from 1 to 1000, not '%s'\n", argv[0], value.c_str());
            return std::nullopt;
        }
        o.rounds = static_cast<int>(n);
    }
    if (positional.size() > 2) {
        std::fprintf(stderr, "usage: %s [--rounds N] [bench.json] [image]\n", argv[0]);
        return std::nullopt;
    }
    if (positional.size() > 0) o.json = positional[0];
    if (positional.size() > 1) o.image = positional[1];
    return o;
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

enum class Better { Higher, Lower };

struct Figure {
    std::string name;
    double target = 0;
    Better better = Better::Higher;
    std::vector<double> values;  // one per round, in round order
    // What the subject can reach at best (0: none): a subject that does the baseline's
    // work and more cannot beat it by more than noise. A median beyond it is a fault of
    // the measurement, not a success.
    double limit = 0;

    double median() const { return bench::median(values); }
    double min() const { return values.empty() ? 0 : *std::min_element(values.begin(), values.end()); }
    double max() const { return values.empty() ? 0 : *std::max_element(values.begin(), values.end()); }
    // A spread that cannot be expressed as a ratio (a round at or below zero) counts as
    // noisy unless every round agrees exactly.
    bool noisy() const {
        if (values.empty()) return false;
        double lo = min(), hi = max();
        if (lo <= 0) return hi != lo;
        return hi / lo > kNoisySpread;
    }
    bool beyondLimit() const {
        if (limit <= 0 || values.empty()) return false;
        return better == Better::Higher ? median() > limit : median() < limit;
    }
    bool ok() const {
        if (values.empty() || beyondLimit()) return false;
        return better == Better::Higher ? median() >= target : median() <= target;
    }
};

struct Pair {
    double baseline, subject;
};

// The machine's CPU time with work to do so far, and how much of it the hypervisor gave
// to others ("steal" in /proc/stat: the guest had work, its CPU did not run). On a shared
// host a busy guest loses time even to its own second CPU, and a round that lost a tenth
// of it is not of a quiet machine, whatever the code did.
struct CpuTimes {
    unsigned long long steal = 0, busy = 0;
};
inline CpuTimes cpuTimes() {
    CpuTimes t;
    if (std::ifstream in("/proc/stat"); in) {
        std::string cpu;
        in >> cpu;
        unsigned long long v;
        // user nice system idle iowait irq softirq steal; guest time is within user
        for (int i = 0; i < 8 && in >> v; i++) {
            if (i != 3 && i != 4) t.busy += v;
            if (i == 7) t.steal = v;
        }
    }
    return t;
}
// The share of the busy CPU time between a and b that was stolen; 0 where none is counted.
inline double stealShare(const CpuTimes& a, const CpuTimes& b) {
    return b.busy > a.busy ? static_cast<double>(b.steal - a.steal) / static_cast<double>(b.busy - a.busy) : 0;
}
// From this share up a round, or a figure, says the host was busy.
inline constexpr double kBusyHostSteal = 0.05;
// Since the benchmark began (the first use of the harness in the process).
inline const CpuTimes& startTimes() {
    static const CpuTimes t = cpuTimes();
    return t;
}

// rounds pairs, measured baseline, subject, baseline, subject, ...; before(true) runs
// ahead of each baseline side and before(false) ahead of each subject side (the place to
// check and restore a precondition), outside the timed part.
inline std::vector<Pair> runPaired(int rounds, const std::function<double()>& baseline,
                                   const std::function<double()>& subject,
                                   const std::function<void(bool baselineSide)>& before = {}) {
    std::vector<Pair> pairs;
    startTimes();
    for (int r = 0; r < rounds; r++) {
        if (before) before(true);
        CpuTimes b0 = cpuTimes();
        double b = baseline();
        CpuTimes b1 = cpuTimes();
        if (before) before(false);
        CpuTimes s0 = cpuTimes();
        double s = subject();
        CpuTimes s1 = cpuTimes();
        // The sides only: a precondition restored in between may wait on the disk.
        CpuTimes sides{b1.steal - b0.steal + s1.steal - s0.steal, b1.busy - b0.busy + s1.busy - s0.busy};
        if (double stolen = stealShare({}, sides); stolen >= kBusyHostSteal)
            std::fprintf(stderr, "bench: round %d of %d: the host took %.0f%% of this machine's busy CPU time (steal)\n",
                         r + 1, rounds, stolen * 100);
        pairs.push_back({b, s});
    }
    return pairs;
}

// The least of repeats runs of run, for a side that is CPU work of its own and nothing
// else (no I/O, no page cache to refill): interference (another process's time slice, a
// neighbour evicting the caches) only ever adds time, so the shortest run is the nearest
// to the code's own cost, and a code that got slower makes every run slower, the
// shortest too. Not for a side whose runs differ by design.
inline double minOfRepeats(int repeats, const std::function<double()>& run) {
    double best = run();
    for (int i = 1; i < repeats; i++) best = std::min(best, run());
    return best;
}

inline std::vector<double> baselines(const std::vector<Pair>& pairs) {
    std::vector<double> v;
    for (const Pair& p : pairs) v.push_back(p.baseline);
    return v;
}
inline std::vector<double> subjects(const std::vector<Pair>& pairs) {
    std::vector<double> v;
    for (const Pair& p : pairs) v.push_back(p.subject);
    return v;
}

// baseline time / subject time: how fast the subject runs relative to the baseline.
inline std::vector<double> speedRatios(const std::vector<Pair>& pairs) {
    std::vector<double> v;
    for (const Pair& p : pairs) v.push_back(p.subject > 0 ? p.baseline / p.subject : 0);
    return v;
}
// subject time / baseline time: the subject's share of the baseline's cost.
inline std::vector<double> costRatios(const std::vector<Pair>& pairs) {
    std::vector<double> v;
    for (const Pair& p : pairs) v.push_back(p.baseline > 0 ? p.subject / p.baseline : 0);
    return v;
}

// Four significant digits; whole numbers from 1000 up (byte counts stay readable).
inline std::string formatValue(double x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, x >= 1000 || x <= -1000 ? "%.0f" : "%.4g", x);
    return buf;
}

inline std::string formatValues(const std::vector<double>& v) {
    std::string s;
    for (double x : v) {
        if (!s.empty()) s += ' ';
        s += formatValue(x);
    }
    return s;
}

// One benchmark's figures: printed as they are added, merged into the JSON file at the end.
class Report {
public:
    Report(std::string program, std::string jsonPath) : program_(std::move(program)), json_(std::move(jsonPath)) {}

    // "bench <name> <median> target <target> min <min> max <max> rounds <n>[ noisy]
    // [ beyond-limit][ steal <pct>%] ok|miss" on stdout; the rounds themselves on stderr.
    // The steal, shown from kBusyHostSteal up, is the host's share of the machine's busy
    // CPU time since the benchmark began.
    void add(Figure f) {
        double stolen = stealShare(startTimes(), cpuTimes());
        std::string steal = stolen >= kBusyHostSteal ? " steal " + std::to_string(std::lround(stolen * 100)) + "%" : "";
        std::printf("bench %s %s target %s min %s max %s rounds %zu%s%s%s %s\n", f.name.c_str(),
                    formatValue(f.median()).c_str(), formatValue(f.target).c_str(), formatValue(f.min()).c_str(),
                    formatValue(f.max()).c_str(), f.values.size(), f.noisy() ? " noisy" : "",
                    f.beyondLimit() ? " beyond-limit" : "", steal.c_str(), f.ok() ? "ok" : "miss");
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s rounds: %s\n", program_.c_str(), f.name.c_str(), formatValues(f.values).c_str());
        steal_.push_back(stolen);
        figures_.push_back(std::move(f));
    }
    const std::vector<Figure>& figures() const { return figures_; }

    // Other benchmarks' entries in the file are kept; an unreadable file starts afresh.
    void writeJson() const {
        nlohmann::json all = nlohmann::json::object();
        if (std::ifstream in(json_); in) {
            nlohmann::json old = nlohmann::json::parse(in, nullptr, false);
            if (old.is_object()) all = std::move(old);
        }
        for (size_t i = 0; i < figures_.size(); i++) {
            const Figure& f = figures_[i];
            all[f.name] = {{"median", f.median()},
                           {"min", f.min()},
                           {"max", f.max()},
                           {"rounds", f.values.size()},
                           {"values", f.values},
                           {"target", f.target},
                           {"better", f.better == Better::Higher ? "higher" : "lower"},
                           {"noisy", f.noisy()},
                           {"beyond_limit", f.beyondLimit()},
                           {"ok", f.ok()},
                           {"host_steal", steal_[i]}};
        }
        std::ofstream out(json_);
        out << all.dump(2) << "\n";
    }

    // 0 when every median meets its target.
    int exitCode() const {
        return std::all_of(figures_.begin(), figures_.end(), [](const Figure& f) { return f.ok(); }) ? 0 : 2;
    }

private:
    std::string program_, json_;
    std::vector<Figure> figures_;
    std::vector<double> steal_;  // per figure, the host's share when it was added
};

// Share (0..1) of the file's pages in the page cache; -1 when it cannot be told.
inline double residentFraction(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size == 0) {
        ::close(fd);
        return -1;
    }
    size_t len = static_cast<size_t>(st.st_size);
    void* p = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) return -1;
    long page = sysconf(_SC_PAGESIZE);
    size_t pages = (len + static_cast<size_t>(page) - 1) / static_cast<size_t>(page);
    std::vector<unsigned char> vec(pages);
    double share = -1;
    if (::mincore(p, len, vec.data()) == 0) {
        size_t in = 0;
        for (unsigned char c : vec) in += c & 1;
        share = static_cast<double>(in) / static_cast<double>(pages);
    }
    ::munmap(p, len);
    return share;
}

inline bool readWhole(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    std::vector<char> buf(1 << 20);
    ssize_t n;
    off_t off = 0;
    while ((n = ::pread(fd, buf.data(), buf.size(), off)) > 0) off += n;
    ::close(fd);
    return n == 0;
}

// Faults the file in a page at a time with read-ahead off, so each page is a folio of its own.
inline bool readPages(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    char buf[4096];
    ssize_t n;
    off_t off = 0;
    while ((n = ::pread(fd, buf, sizeof buf, off)) > 0) off += n;
    ::close(fd);
    return n == 0;
}

// How a warm benchmark's image is laid out in the page cache. Where the host's page cache
// has large folios, what a 4 KiB read or write of the image costs depends on how many pages
// each of its folios spans: on one host a buffered 4 KiB write took 6.7 us into an image
// read ahead whole and 2.2 us into one faulted in a page at a time, and a 1 MiB pread ran
// at 320 and 550 ns a block. How the image came into the cache (written whole, read ahead,
// faulted in by 4 KiB reads after an eviction) would move figures from run to run, so each
// benchmark settles its image into the layout its own access pattern makes.
enum class Layout {
    ReadAhead,  // read whole in order: a benchmark that reads the image in long runs
    Pages,      // a folio per page: one that writes single blocks at random
};

// Tracks how often a warm-cache benchmark found its image partly evicted.
struct CacheGuard {
    std::string path, program;
    Layout layout = Layout::ReadAhead;
    int rewarmed = 0;

    // The image written back, dropped and read again whole in its layout. False when it does
    // not all come back (the host may reclaim pages of it while it is read: a few tries).
    bool settle() const {
        dropCache();  // what stays resident (mapped by someone, say) keeps its layout
        for (int i = 0; i < 3; i++) {
            bool read = layout == Layout::Pages ? readPages(path) : readWhole(path);
            if (read && residentFraction(path) >= 1.0) return true;
        }
        return false;
    }

    // Warm precondition: the whole image resident before a side runs; settles it again if
    // not. False when it cannot be made resident (the memory is not there: the figure would
    // measure the disk, not the code).
    bool ensureWarm() {
        double share = residentFraction(path);
        if (share >= 1.0) return true;
        rewarmed++;
        std::fprintf(stderr, "%s: %s was %.3f%% resident, warming it again\n", program.c_str(), path.c_str(),
                     share * 100);
        if (settle()) return true;
        std::fprintf(stderr, "%s: %s stays %.1f%% resident: warm figures are not warm\n", program.c_str(),
                     path.c_str(), residentFraction(path) * 100);
        return false;
    }

    // Cold precondition: the image's clean pages dropped (dirty ones written first). True
    // when at most a sliver (readahead of another process, say) is still resident.
    bool dropCache() const {
        int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0) return false;
        ::fdatasync(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
        double share = residentFraction(path);
        if (share > 0.01)
            std::fprintf(stderr, "%s: %s still %.1f%% resident after the drop\n", program.c_str(), path.c_str(),
                         share * 100);
        return share >= 0 && share <= 0.01;
    }
};

// A buffer in shared memory-file pages, the kind the platform's pages (and so a mapped
// transfer buffer or a disk read's pages) are. A baseline copies into this, not into the
// heap: on some hosts copying into private anonymous pages runs at half the speed or less,
// which would credit the subject with a difference of destination memory.
class SharedBuffer {
public:
    explicit SharedBuffer(size_t bytes) : bytes_(bytes) {
        int fd = ::memfd_create("bench-buffer", MFD_CLOEXEC);
        if (fd >= 0 && ::ftruncate(fd, static_cast<off_t>(bytes)) == 0) {
            void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (p != MAP_FAILED) data_ = static_cast<char*>(p);
        }
        if (fd >= 0) ::close(fd);
        if (!data_) {
            std::perror("bench: shared buffer");
            std::abort();
        }
        for (size_t off = 0; off < bytes; off += 4096) data_[off] = 0;  // fault every page in now
    }
    ~SharedBuffer() { ::munmap(data_, bytes_); }
    SharedBuffer(const SharedBuffer&) = delete;
    SharedBuffer& operator=(const SharedBuffer&) = delete;
    char* data() { return data_; }
    size_t size() const { return bytes_; }

private:
    size_t bytes_;
    char* data_ = nullptr;
};

// Fills path with bytes of pseudo-random data (reused when it has that size already).
// Empty on success, else what failed.
inline std::string makeImage(const std::string& path, std::uint64_t bytes) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) == bytes) return {};
    int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    if (fd < 0) return "cannot create " + path;
    std::vector<std::uint64_t> chunk((1u << 20) / 8);
    std::uint64_t x = 0x9e3779b97f4a7c15ULL;
    for (std::uint64_t off = 0; off < bytes; off += 1u << 20) {
        for (auto& w : chunk) w = (x = x * 6364136223846793005ULL + 1442695040888963407ULL);
        if (::pwrite(fd, chunk.data(), 1u << 20, static_cast<off_t>(off)) != (1 << 20)) {
            ::close(fd);
            return "short write to " + path;
        }
    }
    ::fsync(fd);
    ::close(fd);
    return {};
}

inline std::uint64_t envMiB(const char* name, std::uint64_t fallback) {
    const char* e = std::getenv(name);
    return e ? std::strtoull(e, nullptr, 10) : fallback;
}

}  // namespace bench
