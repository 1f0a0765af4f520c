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
// Usage: backup_bench [--rounds N] [bench.json] [image]   (an image of the right size is reused)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
                if (ir.manifest.changedBlocks != changed)
                    die("the incremental stored " + std::to_string(ir.manifest.changedBlocks) + " blocks, not " +
                        std::to_string(changed));
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
        report.add({"full_backup_vs_cp", kFullTarget, bench::Better::Higher, bench::speedRatios(pairs)});
        report.add({"incremental_1pct_vs_full", kIncTarget, bench::Better::Lower, inc});
    } catch (const AgentError& e) {
        die(e.what());
    }
    fs::remove_all(repoDir);
    report.writeJson();
    return report.exitCode();
}
