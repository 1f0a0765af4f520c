// The host's own ext4 on tavguard (scripts/tavstack: image, daemon, FUSE export, loop
// device, ext4), against ext4 on a plain loop device over a file of the same size. Every
// write is O_DIRECT into a file inside the ext4, queue depth one, as fio would do it.
//
//   hostfs_seq_write_vs_loop         64 MiB in 1 MiB writes + fdatasync; loop time / stack time  >= 0.6
//   hostfs_rand4k_write_vs_loop      4096 random 4 KiB writes + fdatasync; the same ratio          >= 0.35
//   hostfs_cow_first_write_vs_plain  2048 4 KiB writes to blocks not written since a snapshot
//                                    (StartBackup + SnapShot + a full block map through the
//                                    daemon's socket), against the same writes with no backup   >= 0.5
//   hostfs_frozen_ms_busy            the module's time frozen (its statistics, from the
//                                    daemon's kernel log) while four tavfsload writers run     <= 50 ms
//
// Needs root, /dev/fuse, loop devices and scripts/tavstack; without them it says which is
// missing in one line and exits 0.
//
// Usage: hostfs_bench [--rounds N] [bench.json] [image]   (256 MiB; TAV_BENCH_MB overrides)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/harness.h"
#include "kernel/printk.h"
#include "tav/client.h"
#include "tavagent/fsload.h"
#include "tavagent/session.h"

namespace fs = std::filesystem;
using bench::Clock;
using bench::seconds;

namespace {

constexpr std::size_t kFileBytes = 64u << 20, kSeqChunk = 1u << 20, kBlock = 4096;
constexpr unsigned kRandWrites = 4096, kFirstTouchWrites = 2048;
constexpr unsigned kMajor = 8, kPartition = 1;

// Commands that undo what is set up, newest first; run before any exit.
std::vector<std::string> undo;

void cleanUp() {
    for (auto it = undo.rbegin(); it != undo.rend(); ++it) std::system(it->c_str());
    undo.clear();
}

[[noreturn]] void die(const std::string& what) {
    cleanUp();
    bench::die("hostfs_bench", what);
}

std::string quote(const std::string& s) { return "'" + s + "'"; }

int sh(const std::string& cmd) {
    int st = std::system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Why this machine cannot run the stack, or empty.
std::string missing(const std::string& tavstack) {
    if (geteuid() != 0) return "not root";
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "no /dev/fuse";
    if (access("/dev/loop-control", R_OK | W_OK) != 0) return "no loop devices";
    if (access(tavstack.c_str(), X_OK) != 0) return "no " + tavstack;
    if (sh("command -v mkfs.ext4 losetup >/dev/null") != 0) return "no mkfs.ext4 or losetup";
    return {};
}

struct Aligned {
    void* p = nullptr;
    explicit Aligned(std::size_t n) {
        if (posix_memalign(&p, kBlock, n)) die("no memory");
        std::mt19937_64 rng(n);
        for (std::size_t i = 0; i < n / 8; i++) static_cast<std::uint64_t*>(p)[i] = rng();
    }
    ~Aligned() { free(p); }
};

int openDirect(const fs::path& file) {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_DIRECT | O_CLOEXEC, 0644);
    if (fd < 0) die("open " + file.string() + " with O_DIRECT: " + strerror(errno));
    return fd;
}

void pwriteAll(int fd, const void* p, std::size_t n, off_t at) {
    if (::pwrite(fd, p, n, at) != static_cast<ssize_t>(n)) die(std::string("O_DIRECT write: ") + strerror(errno));
}

// The test file, written once in full so later writes overwrite allocated blocks.
void prepare(const fs::path& file) {
    Aligned buf(kSeqChunk);
    int fd = openDirect(file);
    for (std::size_t off = 0; off < kFileBytes; off += kSeqChunk) pwriteAll(fd, buf.p, kSeqChunk, static_cast<off_t>(off));
    if (::fsync(fd)) die("fsync");
    ::close(fd);
}

double seqWrite(const fs::path& file) {
    Aligned buf(kSeqChunk);
    int fd = openDirect(file);
    auto t0 = Clock::now();
    for (std::size_t off = 0; off < kFileBytes; off += kSeqChunk) pwriteAll(fd, buf.p, kSeqChunk, static_cast<off_t>(off));
    if (::fdatasync(fd)) die("fdatasync");
    double s = seconds(t0);
    ::close(fd);
    return s;
}

// 4 KiB writes at the given blocks of the file.
double blockWrites(const fs::path& file, const std::vector<unsigned>& blocks) {
    Aligned buf(kBlock);
    int fd = openDirect(file);
    auto t0 = Clock::now();
    for (unsigned b : blocks) {
        static_cast<std::uint32_t*>(buf.p)[0] = b;
        pwriteAll(fd, buf.p, kBlock, static_cast<off_t>(b) * kBlock);
    }
    if (::fdatasync(fd)) die("fdatasync");
    double s = seconds(t0);
    ::close(fd);
    return s;
}

std::vector<unsigned> randomBlocks(std::mt19937& rng, unsigned n) {
    std::vector<unsigned> v(n);
    for (unsigned& b : v) b = rng() % (kFileBytes / kBlock);
    return v;
}

// n distinct blocks of the file, in random order.
std::vector<unsigned> distinctBlocks(std::mt19937& rng, unsigned n) {
    std::vector<unsigned> all(kFileBytes / kBlock);
    std::iota(all.begin(), all.end(), 0u);
    std::shuffle(all.begin(), all.end(), rng);
    all.resize(n);
    return all;
}

// ext4 on a loop device over a plain file, direct I/O as the stack's loop device does.
struct PlainLoop {
    std::string image, mnt, dev;
    PlainLoop(std::string img, std::string m, std::uint64_t mb) : image(std::move(img)), mnt(std::move(m)) {
        fs::remove(image);
        {
            std::ofstream(image).close();
        }
        fs::resize_file(image, mb << 20);
        fs::create_directories(mnt);
        FILE* p = popen(("losetup --direct-io=on -f --show " + quote(image)).c_str(), "r");
        char line[256] = {};
        if (!p || !fgets(line, sizeof line, p)) die("losetup failed");
        pclose(p);
        dev = line;
        dev.erase(dev.find_last_not_of("\n") + 1);
        undo.push_back("losetup -d " + quote(dev) + " 2>/dev/null");
        if (sh("mkfs.ext4 -q -F " + quote(dev) + " >/dev/null 2>&1") != 0) die("mkfs.ext4 on " + dev + " failed");
        if (sh("mount -t ext4 " + quote(dev) + " " + quote(mnt)) != 0) die("mount " + dev + " failed");
        undo.push_back("umount " + quote(mnt) + " 2>/dev/null");
    }
};

struct Stack {
    std::string mnt, socket, log, state;
    Stack(const std::string& tavstack, const std::string& image, std::string m, std::uint64_t mb)
        : mnt(std::move(m)), socket(image + ".sock"), log(image + ".log"), state(image + ".stack") {
        fs::create_directories(mnt);
        std::string down = tavstack + " down --state " + quote(state) + " >/dev/null 2>&1";
        sh(down);  // a run that died left it up
        int rc = sh(tavstack + " up --image " + quote(image) + " --mnt " + quote(mnt) + " --size-mb " +
                    std::to_string(mb) + " --mkfs --export " + quote(image + ".export") + " --socket " + quote(socket) +
                    " --log " + quote(log) + " --state " + quote(state) + " --daemon " + quote(TAV_TAVGUARDD) + " >&2");
        if (rc == 3) {
            std::printf("hostfs_bench: skipped: tavstack cannot set the stack up on this machine\n");
            cleanUp();
            std::exit(0);
        }
        if (rc != 0) die("tavstack up failed (exit " + std::to_string(rc) + ")");
        undo.push_back(down);
    }
};

// The module's statistics at the close of each backup, in the daemon's kernel log, in ms.
// "time frozen" runs from the freeze's start (the host's sync of its dirty data included:
// writers wait from then on) to the thaw's end; "time to freeze" is its first part.
std::vector<double> frozenMsInLog(const std::string& log, const std::string& key = "time frozen in seconds: ") {
    std::ifstream in(log);
    std::vector<double> v;
    std::string line;
    while (std::getline(in, line))
        if (auto at = line.find(key); at != std::string::npos) v.push_back(std::stod(line.substr(at + key.size())) * 1e3);
    return v;
}

// A backup through its snapshot, with every block to be read: each first write of a
// block copies it. Ends when the session goes.
std::unique_ptr<tav::agent::Session> snapshot() {
    auto s = std::make_unique<tav::agent::Session>();
    BlockSize bs = s->blockSize(kMajor, kPartition);
    auto blocks = static_cast<std::uint32_t>(static_cast<std::uint64_t>(bs.partitionSizeKB) * 1024 / bs.blockSize);
    s->noStartAutoMap();
    s->start(kMajor, kPartition, blocks, 65536);
    s->noLoadFromAutoMap();
    if (s->snapshot(AMSessionKey{}) != BACKUP_SNAPSHOT_DONE) die("SnapShot did not take");
    s->loadBlockMap(std::vector<std::uint8_t>((blocks + 7) / 8, 0xFF), blocks);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (!bench::kernelLogWanted()) tav::kernel::setLogSink(nullptr);
    auto opt = bench::parseArgs(argc, argv, "hostfs-bench.img");
    if (!opt) return 2;
    const char* env = std::getenv("TAV_TAVSTACK");
    std::string tavstack = env ? env : "scripts/tavstack";
    if (std::string why = missing(tavstack); !why.empty()) {
        std::printf("hostfs_bench: skipped: %s\n", why.c_str());
        return 0;
    }
    std::uint64_t mb = bench::envMiB("TAV_BENCH_MB", 256);
    const std::string image = fs::absolute(opt->image).string();
    std::atexit(cleanUp);

    PlainLoop loop(image + ".loop", image + ".mnt-loop", mb);
    Stack stack(tavstack, image, image + ".mnt-stack", mb);
    const fs::path loopFile = fs::path(loop.mnt) / "bench.dat", stackFile = fs::path(stack.mnt) / "bench.dat";
    prepare(loopFile);
    prepare(stackFile);

    int err = 0;
    auto conn = tav::client::Connection::connect(stack.socket, &err);
    if (!conn) die("cannot reach the stack's daemon at " + stack.socket + ": " + strerror(-err));
    tav::sys::setBackend(conn.get());

    bench::Report report("hostfs_bench", opt->json);
    std::mt19937 rng(42);
    auto seq = bench::runPaired(opt->rounds, [&] { return seqWrite(loopFile); }, [&] { return seqWrite(stackFile); });
    std::vector<unsigned> randLoop, randStack;
    auto rand = bench::runPaired(
        opt->rounds, [&] { return blockWrites(loopFile, randLoop); }, [&] { return blockWrites(stackFile, randStack); },
        [&](bool baseline) { (baseline ? randLoop : randStack) = randomBlocks(rng, kRandWrites); });

    std::vector<unsigned> touch;
    std::unique_ptr<tav::agent::Session> backup;
    auto cow = bench::runPaired(
        opt->rounds, [&] { return blockWrites(stackFile, touch); },
        [&] {
            double s = blockWrites(stackFile, touch);
            backup.reset();
            return s;
        },
        [&](bool baseline) {
            touch = distinctBlocks(rng, kFirstTouchWrites);
            if (!baseline) backup = snapshot();
        });

    std::vector<double> frozen;
    for (int r = 0; r < opt->rounds; r++) {
        fs::path dir = fs::path(stack.mnt) / ("load-" + std::to_string(r));
        tav::agent::fsload::RunOptions ro;
        ro.dir = dir;
        ro.journal = image + ".journal";
        ro.writers = 4;
        ro.maxFileKiB = 64;
        ro.seed = static_cast<std::uint64_t>(r) + 1;
        std::atomic<bool> stop{false};
        std::thread writers([&] {
            try {
                tav::agent::fsload::run(ro, stop);
            } catch (const std::exception& e) {
                die(std::string("writers: ") + e.what());
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::size_t before = frozenMsInLog(stack.log).size();
        snapshot().reset();
        std::vector<double> seen;
        for (int wait = 0; wait < 200 && (seen = frozenMsInLog(stack.log)).size() <= before; wait++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stop = true;
        writers.join();
        if (seen.size() <= before) die("no statistics in " + stack.log + " after a backup's close");
        frozen.push_back(seen.back());
        fs::remove_all(dir);
    }
    tav::sys::setBackend(nullptr);
    conn.reset();
    auto toFreeze = frozenMsInLog(stack.log, "time to freeze in seconds: ");
    toFreeze.erase(toFreeze.begin(), toFreeze.end() - std::min<std::ptrdiff_t>(opt->rounds, std::ssize(toFreeze)));

    double loopSeq = bench::median(bench::baselines(seq)), stackSeq = bench::median(bench::subjects(seq));
    double loopRand = bench::median(bench::baselines(rand)), stackRand = bench::median(bench::subjects(rand));
    std::fprintf(stderr,
                 "hostfs_bench: medians: sequential loop %.0f MiB/s, stack %.0f MiB/s; 4 KiB random loop %.0f IOPS, "
                 "stack %.0f IOPS; first writes plain %.0f IOPS, during a backup %.0f IOPS; busy freezes: %.1f ms "
                 "of %.1f frozen to get the host's ext4 frozen\n",
                 64 / loopSeq, 64 / stackSeq, kRandWrites / loopRand, kRandWrites / stackRand,
                 kFirstTouchWrites / bench::median(bench::baselines(cow)),
                 kFirstTouchWrites / bench::median(bench::subjects(cow)), bench::median(toFreeze), bench::median(frozen));
    // No upper limit: the daemon writes its image through the host's page cache, the
    // plain loop device past it, so the stack may come out ahead on a slow disk.
    report.add({"hostfs_seq_write_vs_loop", 0.6, bench::Better::Higher, bench::speedRatios(seq)});
    report.add({"hostfs_rand4k_write_vs_loop", 0.35, bench::Better::Higher, bench::speedRatios(rand)});
    report.add({"hostfs_cow_first_write_vs_plain", 0.5, bench::Better::Higher, bench::speedRatios(cow)});
    report.add({"hostfs_frozen_ms_busy", 50, bench::Better::Lower, frozen});
    report.writeJson();
    cleanUp();
    return report.exitCode();
}
