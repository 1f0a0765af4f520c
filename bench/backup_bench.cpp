// Backups through the agent against copying the image, measured side by side in one run.
//
// A 1 GiB image of random data (TAV_BENCH_MB overrides the size) is attached whole as a
// file disk with a 4096-byte-block file system. Each round, every side after a sync and
// with the image checked resident in the page cache (mincore):
//
//   full_backup_vs_cp         cp --sparse=never of the image into the repository's
//                             directory plus fsync of the copy (the agent fsyncs what it
//                             stores, so both end durable), against a full backup by
//                             runBackup into the repository: cp time / full time   >= 1.0
//   incremental_1pct_vs_full  1 % of the blocks (distinct, random) overwritten and synced,
//                             then an incremental on that round's full backup:
//                             incremental time / full time                          <= 0.03
//
// Both backups are timed alike, from runBackup's call to its return (the repository's
// lock and checks, the session, snapshot, map, reads, stores and the fsyncs of
// publishing); the writes that make the change and the syncs before each side are not
// timed. The incremental must hold exactly the blocks written plus the file system's
// journal and super block (rewritten at each freeze). The medians of runBackup's steps
// for each kind are printed on stderr, so a change of the ratio can be put down to a step.
//
// Usage: backup_bench [--rounds N] [bench.json] [image]   (an image of the right size is reused)
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bench/harness.h"
#include "kernel/printk.h"
#include "tavagent/backup.h"
#include "tavagent/imagehost.h"
#include "tavagent/session.h"

namespace fs = std::filesystem;
using namespace tav::agent;

namespace {

constexpr unsigned kBlockSize = 4096;
constexpr double kFullTarget = 1.0, kIncTarget = 0.03;

using bench::Clock;
using bench::seconds;

[[noreturn]] void die(const std::string& what) { bench::die("backup_bench", what); }

double cpPass(const std::string& image, const fs::path& dir) {
    fs::path copy = dir / "cp-copy.img";
    fs::remove(copy);
    std::string cmd = "cp --sparse=never '" + image + "' '" + copy.string() + "'";
    auto t0 = Clock::now();
    if (std::system(cmd.c_str()) != 0) die("cp failed: " + cmd);
    fsyncPath(copy);
    double s = seconds(t0);
    fs::remove(copy);
    return s;
}

// Per step of runBackup (and "close": what follows its last step, until it returns), the
// seconds of each round.
using Phases = std::vector<std::pair<std::string, std::vector<double>>>;

void record(Phases& into, const BackupResult& r, double total) {
    double steps = 0;
    auto add = [&](const std::string& name, double v) {
        auto it = std::find_if(into.begin(), into.end(), [&](const auto& p) { return p.first == name; });
        if (it == into.end()) it = into.insert(into.end(), {name, {}});
        it->second.push_back(v);
    };
    for (const auto& [name, sec] : r.phases) {
        add(name, sec);
        steps += sec;
    }
    add("close", total - steps);
    add("total", total);
}

void printPhases(const char* what, const Phases& phases) {
    std::string line;
    for (const auto& [name, v] : phases) {
        char buf[96];
        std::snprintf(buf, sizeof buf, " %s %.2f", name.c_str(), bench::median(v) * 1e3);
        line += buf;
    }
    std::fprintf(stderr, "backup_bench: %s, medians in ms:%s\n", what, line.c_str());
}

// The incremental holds exactly the blocks written plus the file system's own metadata
// writes around the two freezes (journal and super block): its change map says so.
void checkChanges(const Repository& repo, const Manifest& m, const std::vector<std::uint32_t>& order,
                  std::uint64_t changed, const std::vector<std::uint32_t>& fsMetadata) {
    std::vector<std::uint8_t> want((m.blockCount + 7) / 8, 0);
    auto set = [&](std::uint32_t b) { want[b >> 3] |= static_cast<std::uint8_t>(1u << (b & 7)); };
    for (std::uint64_t i = 0; i < changed; i++) set(order[i]);
    for (std::uint32_t b : fsMetadata) set(b);
    std::uint64_t count = 0;
    for (std::uint8_t byte : want) count += static_cast<unsigned>(std::popcount(byte));
    if (m.changedBlocks != count)
        die("the incremental stored " + std::to_string(m.changedBlocks) + " blocks, not " + std::to_string(count));
    std::ifstream in(repo.dir(m.id) / "changes.bitmap", std::ios::binary);
    std::vector<std::uint8_t> got(want.size());
    if (!in.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(got.size())) || got != want)
        die("the incremental's change map is not the set of blocks written");
}

// Removes every backup but keep (the chain's base must stay for the incrementals).
void pruneExcept(const Repository& repo, const std::string& keep) {
    for (const Manifest& m : repo.list())
        if (m.id != keep) fs::remove_all(repo.dir(m.id));
}

}  // namespace

int main(int argc, char** argv) {
    if (!bench::kernelLogWanted()) tav::kernel::setLogSink(nullptr);
    auto opt = bench::parseArgs(argc, argv, "backup_bench.img");
    if (!opt) return 64;
    const std::string& image = opt->image;
    std::uint64_t bytes = bench::envMiB("TAV_BENCH_MB", 1024) << 20;
    if (std::string err = bench::makeImage(image, bytes); !err.empty()) die(err);

    fs::path repoDir = fs::path(image).parent_path() / "backup_bench-repo";
    fs::remove_all(repoDir);
    Repository repo(repoDir);
    bench::CacheGuard cache{image, "backup_bench"};
    if (!cache.settle()) die("the image does not fit in the page cache");
    bench::Report report("backup_bench", opt->json);

    try {
        ImageHostOptions ho;
        ho.image = image;
        ho.partition = 0;  // the whole disk: random data carries no partition table
        ho.blockSize = kBlockSize;
        ImageHost host(ho);
        BackupOptions bo;
        bo.major = host.major();
        bo.minor = host.minor();

        std::uint32_t blocks = static_cast<std::uint32_t>(bytes / kBlockSize);
        std::vector<std::uint32_t> order(blocks);
        std::iota(order.begin(), order.end(), 0u);
        std::mt19937 rng(1234);
        std::vector<std::uint8_t> data(kBlockSize);
        std::uint64_t changed = blocks / 100;
        // Written by every freeze and thaw (see freeze_bdev): the journal block and the
        // block that holds the super block.
        const std::vector<std::uint32_t> fsMetadata{1024 / kBlockSize, blocks / 2};
        Phases fullPhases, incPhases;

        // Each side starts with nothing dirty from the one before and the image resident.
        auto ready = [&] {
            ::sync();
            if (!cache.ensureWarm()) die("the image does not stay in the page cache");
        };
        cpPass(image, repoDir);
        std::vector<double> inc;
        auto pairs = bench::runPaired(
            opt->rounds, [&] { return cpPass(image, repoDir); },
            [&] {
                auto t0 = Clock::now();
                BackupResult r = runBackup(repo, bo);
                double full = seconds(t0);
                if (r.manifest.blockCount != bytes / kBlockSize) die("the full backup did not cover the device");
                pruneExcept(repo, r.manifest.id);

                std::shuffle(order.begin(), order.end(), rng);
                for (std::uint64_t i = 0; i < changed; i++) {
                    std::fill(data.begin(), data.end(), static_cast<std::uint8_t>(inc.size() + i));
                    if (host.mount()->write(order[i], data.data()) != 0) die("a write to the device failed");
                }
                host.mount()->sync();
                ready();
                BackupOptions io = bo;
                io.incremental = true;
                t0 = Clock::now();
                BackupResult ir = runBackup(repo, io);
                double s = seconds(t0);
                if (ir.manifest.kind != "incremental") die("the incremental fell back: " + ir.fallbackReason);
                checkChanges(repo, ir.manifest, order, changed, fsMetadata);
                record(fullPhases, r, full);
                record(incPhases, ir, s);
                inc.push_back(s / full);
                return full;
            },
            [&](bool) { ready(); });
        double cp = bench::median(bench::baselines(pairs)), full = bench::median(bench::subjects(pairs));
        std::fprintf(stderr,
                     "backup_bench: medians cp --sparse=never + fsync %.3f s (%.0f MB/s), full backup %.3f s "
                     "(%.0f MB/s); %llu blocks changed per incremental; image re-warmed %d times\n",
                     cp, static_cast<double>(bytes) / 1e6 / cp, full, static_cast<double>(bytes) / 1e6 / full,
                     static_cast<unsigned long long>(changed), cache.rewarmed);
        printPhases("full backup", fullPhases);
        printPhases("incremental", incPhases);
        // The fsyncs of publishing wait for the disk, and behind everyone else's writes on
        // a busy host: the ratio without them tells the code's share from the disk's.
        auto step = [](const Phases& p, const char* name) {
            for (const auto& [n, v] : p)
                if (n == name) return v;
            return std::vector<double>{};
        };
        std::vector<double> fullPub = step(fullPhases, "publish"), incPub = step(incPhases, "publish"),
                            fullTot = step(fullPhases, "total"), incTot = step(incPhases, "total"), unsynced;
        for (std::size_t i = 0; i < incTot.size() && i < fullTot.size() && i < fullPub.size() && i < incPub.size(); i++)
            unsynced.push_back((incTot[i] - incPub[i]) / (fullTot[i] - fullPub[i]));
        std::fprintf(stderr, "backup_bench: incremental / full without publishing: median %.4f (rounds: %s)\n",
                     bench::median(unsynced), bench::formatValues(unsynced).c_str());
        report.add({"full_backup_vs_cp", kFullTarget, bench::Better::Higher, bench::speedRatios(pairs)});
        report.add({"incremental_1pct_vs_full", kIncTarget, bench::Better::Lower, inc});
    } catch (const AgentError& e) {
        die(e.what());
    }
    fs::remove_all(repoDir);
    report.writeJson();
    return report.exitCode();
}
