// The agent against an in-process machine: round trips against the truth captured at
// each freeze, fallbacks, interrupted backups, verify and restore.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <nlohmann/json.hpp>  // before the platform headers, whose "current" macro it would trip over
#include <thread>

#include "tav/machine.h"
#include "tavagent/backup.h"
#include "tests/support/checks.h"
#include "tests/unit/agent/fixture.h"

namespace fs = std::filesystem;
using namespace tav::agent;

namespace {

using tav::agent::test::AgentTest;
using tav::agent::test::kBlock;
using tav::agent::test::kPartSectors;
using tav::agent::test::kPartStart;

TEST_F(AgentTest, FullThenIncrementalsUnderWritesRestoreToEachSnapshot) {
    startWriters(2);
    BackupResult full = backup(false);
    auto truth1 = truth_;
    EXPECT_EQ(full.manifest.kind, "full");
    EXPECT_EQ(full.manifest.blockCount, blocks());
    BackupResult inc1 = backup(true);
    auto truth2 = truth_;
    BackupResult inc2 = backup(true);
    auto truth3 = truth_;
    stopWriters();
    EXPECT_EQ(inc1.manifest.kind, "incremental") << inc1.fallbackReason;
    EXPECT_EQ(inc2.manifest.kind, "incremental") << inc2.fallbackReason;
    EXPECT_EQ(inc2.manifest.parent, inc1.manifest.id);
    EXPECT_LE(inc1.manifest.changedBlocks, blocks() / 2) << "an incremental stored unchanged blocks";
    EXPECT_GT(inc1.manifest.changedBlocks, 0U);

    EXPECT_TRUE(restore(full.manifest.id) == truth1);
    EXPECT_TRUE(restore(inc1.manifest.id) == truth2);
    EXPECT_TRUE(restore(inc2.manifest.id) == truth3);
    EXPECT_TRUE(verifyChain(*repo_, inc2.manifest.id).problems.empty());
}

// Scattered single blocks (more than one staged batch of them), pairs, and a run long
// enough to go through a transfer buffer, interleaved: each must land in its own slot.
TEST_F(AgentTest, IncrementalOfScatteredBlocksAndRunsRestoresExactly) {
    BackupResult full = backup(false);
    std::uint64_t written = 0;
    for (unsigned b = 5; b < 1000; b += 7, written++) writeBlock(b, 2);             // 143 singles
    for (unsigned b = 1001; b < 1101; b += 10, written += 2) writeBlock(b, 3), writeBlock(b + 1, 3);
    for (unsigned b = 1200; b < 1240; b++, written++) writeBlock(b, 4);             // a run of 40
    for (unsigned b = 1300; b < 2000; b += 13, written++) writeBlock(b, 5);
    mount_->sync();
    BackupResult inc = backup(true);
    ASSERT_EQ(inc.manifest.kind, "incremental") << inc.fallbackReason;
    // Plus what the freezes write themselves: the journal and super block.
    EXPECT_GE(inc.manifest.changedBlocks, written);
    EXPECT_LE(inc.manifest.changedBlocks, written + 2);
    EXPECT_TRUE(restore(inc.manifest.id) == truth_);
    EXPECT_TRUE(verifyChain(*repo_, inc.manifest.id).problems.empty());

    // Every step is reported once, in order, and they add up to no more than the whole.
    const std::vector<std::string> steps{"repository", "start", "snapshot", "get-map", "load-map",
                                         "create", "read", "drain", "checksums", "publish"};
    for (const BackupResult* r : {&full, &inc}) {
        std::vector<std::string> names;
        double sum = 0;
        for (const auto& [name, sec] : r->phases) {
            names.push_back(name);
            EXPECT_GE(sec, 0) << name;
            sum += sec;
        }
        EXPECT_EQ(names, steps);
        EXPECT_LE(sum, r->manifest.stats.seconds + 1.0);
    }
}

TEST_F(AgentTest, IncrementalWithoutBaseOrWithARefusedKeyFallsBackToFull) {
    BackupResult first = backup(true);
    EXPECT_EQ(first.manifest.kind, "full");
    EXPECT_NE(first.fallbackReason.find("no earlier backup"), std::string::npos) << first.fallbackReason;

    // The repository's key no longer matches the module's automap.
    fs::path mf = repo_->dir(first.manifest.id) / "manifest.json";
    Manifest m = readManifest(mf);
    m.sessionKey.key[0] ^= 0xff;
    writeManifest(mf, m);
    writeBlock(5, 99);
    BackupResult second = backup(true);
    EXPECT_EQ(second.manifest.kind, "full");
    EXPECT_NE(second.fallbackReason.find("refused the session key"), std::string::npos) << second.fallbackReason;
    EXPECT_TRUE(restore(second.manifest.id) == truth_);
    // The new full backup carries the key the module gave: the next one is incremental.
    writeBlock(6, 100);
    EXPECT_EQ(backup(true).manifest.kind, "incremental");
}

TEST_F(AgentTest, InterruptedBackupLeavesTheRepositoryAsItWas) {
    BackupResult base = backup(false);
    std::size_t entries = repoEntries();
    writeBlock(10, 5);
    int batches = 0;
    EXPECT_THROW(backup(true, 65536, [&](const Progress&) {
                     if (++batches == 1) throw AgentError(ErrorKind::Io, "agent killed");
                 }),
                 AgentError);
    EXPECT_EQ(repoEntries(), entries) << "an interrupted backup left something behind";
    EXPECT_EQ(repo_->list().size(), 1U);
    // The interrupted snapshot renewed the module's key: the next incremental cannot use
    // the stored one and says so, and its result is still right.
    BackupResult next = backup(true);
    EXPECT_EQ(next.manifest.kind, "full");
    EXPECT_FALSE(next.fallbackReason.empty());
    EXPECT_TRUE(restore(next.manifest.id) == truth_);
    (void)base;
}

TEST_F(AgentTest, DiskReadErrorFailsTheBackupAndPublishesNothing) {
    backup(false);
    std::size_t entries = repoEntries();
    disk_->failSectors(kPartStart + 800 * 8, kPartStart + 800 * 8 + 7, tav::IoDir::Read);
    try {
        backup(false);
        ADD_FAILURE() << "a backup with an unreadable block succeeded";
    } catch (const AgentError& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Io);
        EXPECT_NE(std::string(e.what()).find("ReadBlocks"), std::string::npos) << e.what();
    }
    disk_->clearFaults();
    EXPECT_EQ(repoEntries(), entries);
    checkCritical_ = false;
}

TEST_F(AgentTest, AFullRepositoryDiskFailsTheBackupAndLeavesNothing) {
    // The image is stored on another thread while the next batch is read: a write that
    // fails there must still fail the backup. A 1 MiB tmpfs cannot hold the 8 MiB image.
    fs::path small = dir_ / "small";
    fs::create_directories(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << "); needs root";
    {
        Repository repo(small);
        BackupOptions o;
        o.major = 8;
        o.minor = 1;
        try {
            runBackup(repo, o);
            ADD_FAILURE() << "a backup that could not be stored succeeded";
        } catch (const AgentError& e) {
            EXPECT_EQ(e.kind(), ErrorKind::Io);
            EXPECT_NE(std::string(e.what()).find("backup data"), std::string::npos) << e.what();
        }
        for (const auto& e : fs::directory_iterator(small))  // the lock file stays
            EXPECT_EQ(e.path().filename(), ".lock") << "the failed backup left files behind";
    }
    ::umount(small.c_str());
    // The module is free again and the next backup works.
    BackupResult r = backup(false);
    EXPECT_TRUE(restore(r.manifest.id) == truth_);
}

TEST_F(AgentTest, VerifyFindsAFlippedByte) {
    BackupResult full = backup(false);
    writeBlock(3, 42);
    BackupResult inc = backup(true);
    ASSERT_EQ(inc.manifest.kind, "incremental");
    ASSERT_TRUE(verifyChain(*repo_, inc.manifest.id).problems.empty());
    fs::path data = repo_->dir(inc.manifest.id) / "changes.dat";
    std::fstream f(data, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(100);
    char c = 0;
    f.read(&c, 1);
    c ^= 1;
    f.seekp(100);
    f.write(&c, 1);
    f.close();
    VerifyReport rep = verifyChain(*repo_, inc.manifest.id);
    ASSERT_FALSE(rep.problems.empty());
    EXPECT_NE(rep.problems.front().find(inc.manifest.id), std::string::npos);
    EXPECT_THROW(restore(inc.manifest.id), AgentError);
    EXPECT_TRUE(verifyChain(*repo_, full.manifest.id).problems.empty()) << "the base is intact";
}

TEST_F(AgentTest, CacheStaysBoundedDuringAFullBackupUnderWrites) {
    // After each batch the writer overwrites kPerBatch blocks the reader has not reached
    // (each one is copied) before the backup goes on: paced by the backup itself, the test
    // means the same however fast this build runs. Without draining, the copies would pile
    // up ahead of the reader well past the limit.
    constexpr int kPerBatch = 48;
    constexpr std::uint32_t kLimit = 64;
    std::atomic<int> tokens{0};
    std::atomic<std::uint64_t> position{0};
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::mt19937 rng(11);
        std::vector<std::uint64_t> data(kBlock / 8);
        for (std::uint64_t i = 1; !stop; i++) {
            std::uint64_t ahead = position + 256;
            if (tokens.load() == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(20));
                continue;
            }
            if (ahead < blocks()) {
                std::fill(data.begin(), data.end(), i * 7919);
                mount_->writeDirect(ahead + rng() % (blocks() - ahead), data.data());
            }
            tokens--;
        }
    });
    BackupOptions o;
    o.major = 8;
    o.minor = 1;
    o.maxCacheBlocks = kLimit;
    o.progress = [&](const Progress& p) {
        position = p.done;
        tokens = kPerBatch;
        while (tokens.load() > 0) std::this_thread::sleep_for(std::chrono::microseconds(20));
    };
    BackupResult r;
    EXPECT_NO_THROW(r = runBackup(*repo_, o));
    stop = true;
    writer.join();
    auto stat = [](const char* name) {
        for (const auto& l : tav::kernel::logLines())
            if (l.text.find(std::string("printStats: ") + name + ": ") != std::string::npos)
                return std::stol(l.text.substr(l.text.rfind(' ') + 1));
        return -1L;
    };
    EXPECT_GT(stat("total cached blocks"), static_cast<long>(kLimit)) << "more copies went through than fit at once";
    EXPECT_LE(stat("peak cached blocks"), kPerBatch);
    EXPECT_GT(r.manifest.stats.blocksFromDirty, 0u);
    EXPECT_EQ(r.manifest.kind, "full");
    EXPECT_TRUE(restore(r.manifest.id) == truth_);
}

// A backup streams through the page cache and out of it again: the stored image's early
// part is on disk and dropped from memory while the later part is still being written.
class AgentCacheTest : public tav::test::PlatformTest {};

TEST_F(AgentCacheTest, AFullBackupDropsWhatItHasWrittenFromThePageCache) {
    constexpr std::uint64_t kSectors = 40 << 11;  // 40 MiB
    tav::Machine machine;
    ASSERT_EQ(machine.loadModule(), 0);
    tav::DiskConfig cfg;
    cfg.name = "tda";
    cfg.sectors = kSectors + 2048;
    cfg.partitions = {{2048, kSectors, 1}};
    tav::Disk* disk = machine.addDisk(cfg);
    ASSERT_NE(disk, nullptr);
    std::vector<std::uint64_t> data(kSectors * 512 / 8);
    std::mt19937_64 rng(5);
    for (auto& w : data) w = rng() | 1;  // no block is a hole
    ASSERT_EQ(disk->writeRaw(2048, data.data(), data.size() * 8), 0);
    tav::MountOptions mo;
    mo.blockSize = kBlock;
    ASSERT_NE(machine.mount(disk, 1, mo), nullptr);

    fs::path dir = fs::temp_directory_path() / ("tavagent-cache-" + std::to_string(getpid()));
    struct statfs sfs {};
    if (::statfs(fs::temp_directory_path().c_str(), &sfs) == 0 && sfs.f_type == TMPFS_MAGIC)
        GTEST_SKIP() << "the repository would be on tmpfs, whose pages cannot leave memory";
    fs::remove_all(dir);
    {
        Repository repo(dir);
        BackupOptions o;
        o.major = 8;
        o.minor = 1;
        BackupResult r = runBackup(repo, o);
        int fd = ::open((repo.dir(r.manifest.id) / r.manifest.dataFile).c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        constexpr std::size_t kHead = 8 << 20;
        void* m = ::mmap(nullptr, kHead, PROT_READ, MAP_SHARED, fd, 0);
        std::vector<unsigned char> resident(kHead / 4096);
        ASSERT_EQ(::mincore(m, kHead, resident.data()), 0);
        ::munmap(m, kHead);
        ::close(fd);
        long cached = std::count_if(resident.begin(), resident.end(), [](unsigned char c) { return c & 1; });
        EXPECT_LT(cached, static_cast<long>(resident.size()) / 4) << "the first 8 MiB stayed in the page cache";
    }
    machine.shutdown();
    fs::remove_all(dir);
}

}  // namespace
