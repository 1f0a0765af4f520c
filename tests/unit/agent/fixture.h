// A machine with the module loaded and an 8 MiB partition mounted, a repository, and
// the device's content captured at each freeze.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <random>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <xxhash.h>

#include "tav/machine.h"
#include "tavagent/backup.h"
#include "tests/support/checks.h"

namespace tav::agent::test {

namespace fs = std::filesystem;

constexpr unsigned kBlock = 4096;
constexpr std::uint64_t kPartStart = 2048, kPartSectors = 16384;  // 8 MiB: 2048 blocks

class AgentTest : public tav::test::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        ASSERT_EQ(machine_.loadModule(), 0);
        tav::DiskConfig cfg;
        cfg.name = "tda";
        cfg.major = 8;
        cfg.minors = 16;
        cfg.sectors = 32768;
        cfg.partitions = {{kPartStart, kPartSectors, 1}, {kPartStart + kPartSectors, 8192, 2}};
        disk_ = machine_.addDisk(cfg);
        ASSERT_NE(disk_, nullptr);
        tav::MountOptions mo;
        mo.blockSize = kBlock;
        mount_ = machine_.mount(disk_, 1, mo);
        ASSERT_NE(mount_, nullptr);
        mount_->setFreezeSyncPoint([this](struct super_block*) {
            truth_.resize(kPartSectors * 512);
            disk_->readRaw(kPartStart, truth_.data(), truth_.size());
        });
        dir_ = fs::temp_directory_path() / ("tavagent-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        repo_ = std::make_unique<Repository>(dir_ / "repo");
        for (unsigned b = 0; b < blocks(); b += 3) writeBlock(b, b + 1);  // a used file system
        mount_->sync();
    }
    void TearDown() override {
        stopWriters();
        machine_.shutdown();
        fs::remove_all(dir_);
        PlatformTest::TearDown();
    }
    unsigned blocks() const { return kPartSectors * 512 / kBlock; }
    void writeBlock(std::uint64_t b, std::uint64_t stamp) {
        std::vector<std::uint64_t> data(kBlock / 8, stamp * 1000003 + b);
        ASSERT_EQ(mount_->write(b, data.data()), 0);
    }
    // The writers touch only the first half of the device, so however long a backup takes
    // in this build, an incremental that stores more than that half stored unchanged blocks.
    void startWriters(unsigned n) {
        stop_ = false;
        for (unsigned w = 0; w < n; w++)
            writers_.emplace_back([this, w] {
                std::mt19937 rng(w + 7);
                for (std::uint64_t i = 1; !stop_.load(); i++) {
                    std::vector<std::uint64_t> data(kBlock / 8, i * 31 + w);
                    mount_->write(rng() % (blocks() / 2), data.data());
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                }
            });
    }
    void stopWriters() {
        stop_ = true;
        for (auto& t : writers_) t.join();
        writers_.clear();
    }
    BackupResult backup(bool incremental, std::uint32_t maxCache = 65536, ProgressFn progress = {}) {
        BackupOptions o;
        o.major = 8;
        o.minor = 1;
        o.incremental = incremental;
        o.maxCacheBlocks = maxCache;
        o.progress = std::move(progress);
        return runBackup(*repo_, o);
    }
    std::vector<std::uint8_t> restore(const std::string& id) {
        fs::path out = dir_ / ("restore-" + id);
        RestoreOptions ro;
        ro.force = true;
        restoreChain(*repo_, id, out, ro);
        std::ifstream in(out, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::size_t repoEntries() const {
        return std::distance(fs::directory_iterator(repo_->root()), fs::directory_iterator());
    }

    tav::Machine machine_;
    tav::Disk* disk_ = nullptr;
    tav::Mount* mount_ = nullptr;
    fs::path dir_;
    std::unique_ptr<Repository> repo_;
    std::vector<std::uint8_t> truth_;
    std::vector<std::thread> writers_;
    std::atomic<bool> stop_{false};
};

using nlohmann::json;

inline std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline json loadJson(const fs::path& p) { return json::parse(readFile(p)); }

// Rewrites a manifest as a hostile operator would: the edit, then (unless told not to) a
// manifestHash recomputed the way the tool does, so only the other checks can catch it.
inline void editManifest(const fs::path& file, const std::function<void(json&)>& edit, bool rehash = true) {
    json j = loadJson(file);
    edit(j);
    if (rehash) {
        json body = j;
        body.erase("manifestHash");
        std::string s = body.dump();
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(XXH3_64bits(s.data(), s.size())));
        j["manifestHash"] = hex;
    }
    std::ofstream(file, std::ios::trunc) << j.dump(2);
}

}  // namespace tav::agent::test
