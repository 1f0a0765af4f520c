// Backups through the agent against copying the image, measured side by side in one run.
//
// A 1 GiB image of random data (TAV_BENCH_MB overrides the size) is attached whole as a
// file disk with a 4096-byte-block file system and no writes. Baseline: cp --sparse=never
// of the image into the repository's directory, then fsync of the copy (the agent fsyncs
// what it stores, so both end durable). Measured: a full backup by runBackup into a
// repository on the same file system. Rounds alternate, each after a sync; the best of five
// of each gives
// full_backup_vs_cp = cp time / full backup time.
//
// Then three times: 1 % of the blocks (distinct, random) are overwritten and synced, and
// an incremental backup on the newest backup is timed; incremental_1pct_vs_full = best
// incremental time / best full backup time.
//
// Usage: backup_bench [bench.json] [image]   (an image of the right size is reused)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "kernel/printk.h"
#include "tavagent/backup.h"
#include "tavagent/imagehost.h"
#include "tavagent/session.h"

namespace fs = std::filesystem;
using namespace tav::agent;

namespace {

constexpr unsigned kBlockSize = 4096;
constexpr double kFullTarget = 0.7, kIncTarget = 0.05;
constexpr int kRounds = 5;  // the host disk's write-back makes single passes noisy

using bench::Clock;
using bench::seconds;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "backup_bench: %s\n", what.c_str());
    std::exit(1);
}

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
    tav::kernel::setLogSink(nullptr);
    std::string json = argc > 1 ? argv[1] : "bench.json";
    std::string image = argc > 2 ? argv[2] : "backup_bench.img";
    std::uint64_t mb = 1024;
    if (const char* e = std::getenv("TAV_BENCH_MB")) mb = std::strtoull(e, nullptr, 10);
    std::uint64_t bytes = mb << 20;
    if (std::string err = bench::makeImage(image, bytes); !err.empty()) die(err);

    fs::path repoDir = fs::path(image).parent_path() / "backup_bench-repo";
    fs::remove_all(repoDir);
    Repository repo(repoDir);

    try {
        ImageHostOptions ho;
        ho.image = image;
        ho.partition = 0;  // the whole disk: random data carries no partition table
        ho.blockSize = kBlockSize;
        ImageHost host(ho);
        BackupOptions bo;
        bo.major = host.major();
        bo.minor = host.minor();

        // Warm the page cache for both sides.
        cpPass(image, repoDir);

        double bestCp = 1e9, bestFull = 1e9;
        std::string newest;
        for (int round = 0; round < kRounds; round++) {
            ::sync();  // each pass starts with nothing dirty from the one before
            bestCp = std::min(bestCp, cpPass(image, repoDir));
            ::sync();
            auto t0 = Clock::now();
            BackupResult r = runBackup(repo, bo);
            double s = seconds(t0);
            if (r.manifest.blockCount != bytes / kBlockSize) die("the full backup did not cover the device");
            bestFull = std::min(bestFull, s);
            newest = r.manifest.id;
            pruneExcept(repo, newest);
        }
        std::printf("cp --sparse=never + fsync: %.3f s (%.0f MB/s); full backup: %.3f s (%.0f MB/s)\n", bestCp,
                    static_cast<double>(bytes) / 1e6 / bestCp, bestFull, static_cast<double>(bytes) / 1e6 / bestFull);

        std::uint32_t blocks = static_cast<std::uint32_t>(bytes / kBlockSize);
        std::vector<std::uint32_t> order(blocks);
        std::iota(order.begin(), order.end(), 0u);
        std::mt19937 rng(1234);
        std::vector<std::uint8_t> data(kBlockSize);
        double bestInc = 1e9;
        std::uint64_t changed = blocks / 100;
        for (int round = 0; round < 3; round++) {
            std::shuffle(order.begin(), order.end(), rng);
            for (std::uint64_t i = 0; i < changed; i++) {
                std::fill(data.begin(), data.end(), static_cast<std::uint8_t>(round + i));
                if (host.mount()->write(order[i], data.data()) != 0) die("a write to the device failed");
            }
            host.mount()->sync();
            BackupOptions io = bo;
            io.incremental = true;
            auto t0 = Clock::now();
            BackupResult r = runBackup(repo, io);
            double s = seconds(t0);
            if (r.manifest.kind != "incremental") die("the incremental fell back: " + r.fallbackReason);
            if (r.manifest.changedBlocks != changed)
                die("the incremental stored " + std::to_string(r.manifest.changedBlocks) + " blocks, not " +
                    std::to_string(changed));
            bestInc = std::min(bestInc, s);
        }
        std::printf("incremental after %llu changed blocks (1 %%): %.4f s\n", static_cast<unsigned long long>(changed),
                    bestInc);

        double fullRatio = bestCp / bestFull, incRatio = bestInc / bestFull;
        std::printf("bench full_backup_vs_cp %.3f target %.2f\n", fullRatio, kFullTarget);
        std::printf("bench incremental_1pct_vs_full %.4f target %.2f\n", incRatio, kIncTarget);
        bench::mergeJson(json, {{"full_backup_vs_cp", {fullRatio, kFullTarget}},
                                {"incremental_1pct_vs_full", {incRatio, kIncTarget}}});
    } catch (const AgentError& e) {
        die(e.what());
    }
    fs::remove_all(repoDir);
    return 0;
}
