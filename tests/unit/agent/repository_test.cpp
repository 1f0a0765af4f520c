// The repository against a careless or hostile operator: tampered manifests and files,
// sources that must not mix, restores that must not destroy anything.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "tests/unit/agent/fixture.h"

using nlohmann::json;
using namespace tav::agent;
using tav::agent::test::AgentTest;
using tav::agent::test::kPartSectors;
namespace fs = std::filesystem;

namespace {

using tav::agent::test::editManifest;
using tav::agent::test::loadJson;
using tav::agent::test::readFile;

class RepositoryTest : public AgentTest {
protected:
    // full <- inc1 <- inc2, with the device's content at inc2.
    void makeChain() {
        full_ = backup(false).manifest.id;
        writeBlock(7, 1);
        writeBlock(900, 2);
        inc1_ = backup(true).manifest.id;
        writeBlock(7, 3);
        writeBlock(1500, 4);
        BackupResult r = backup(true);
        ASSERT_EQ(r.manifest.kind, "incremental") << r.fallbackReason;
        inc2_ = r.manifest.id;
        truth2_ = truth_;
    }
    // A copy of the repository to spoil.
    Repository copy(const std::string& name) {
        fs::path to = dir_ / name;
        fs::copy(repo_->root(), to, fs::copy_options::recursive);
        return Repository(to, RepoOpen::Existing);
    }
    const std::string& idOf(const std::string& which) const {
        return which == "full" ? full_ : which == "inc1" ? inc1_ : inc2_;
    }
    std::string full_, inc1_, inc2_;
    std::vector<std::uint8_t> truth2_;
};

bool anyHas(const std::vector<std::string>& v, const std::string& needle) {
    return std::any_of(v.begin(), v.end(), [&](const std::string& s) { return s.find(needle) != std::string::npos; });
}

std::string joined(const std::vector<std::string>& v) {
    std::string s;
    for (auto& p : v) s += "\n  " + p;
    return s;
}

struct Tamper {
    const char* name;
    const char* backup;  // full, inc1 or inc2
    std::function<void(json&)> edit;  // a manifest edit, or
    std::function<void(const fs::path&)> spoil;  // something done to the backup's directory
    const char* says;  // what verify's report says
    bool rehash = true;
};

TEST_F(RepositoryTest, NoTamperedManifestOrFileIsUsedAndEachIsReported) {
    makeChain();
    const std::vector<Tamper> cases = {
        {"small count", "full", [](json& j) { j["blockCount"] = 100; }, {}, "blockCount is 100, but a partition"},
        {"zero count", "inc2", [](json& j) { j["blockCount"] = 0; }, {}, "blockCount is 0"},
        {"negative count", "full", [](json& j) { j["blockCount"] = -1; }, {}, "blockCount is -1, not a count"},
        {"count 2^32-1", "inc2", [](json& j) { j["blockCount"] = 0xFFFFFFFFu; }, {}, "blockCount is 4294967295"},
        {"count and partition grown", "full",
         [](json& j) {
             j["blockCount"] = 4096;
             j["partitionSizeKB"] = 16384;
         },
         {}, "changedBlocks is 2048, but a full backup holds blockCount 4096"},
        {"huge block size", "full", [](json& j) { j["blockSize"] = 1u << 30; }, {}, "blockSize is 1073741824"},
        {"odd block size", "inc1", [](json& j) { j["blockSize"] = 3000; }, {}, "not a power of two"},
        {"changed count", "inc2", [](json& j) { j["changedBlocks"] = j["changedBlocks"].get<int>() + 1; }, {},
         "changedBlocks is"},
        {"id of another", "inc1", [this](json& j) { j["id"] = inc2_; }, {}, "but the directory is"},
        {"data elsewhere", "full", [](json& j) { j["data"] = "../../image.raw"; }, {}, "data is \"../../image.raw\""},
        {"own parent", "inc2", [this](json& j) { j["parent"] = inc2_; }, {}, "parent is the backup itself"},
        {"parent loop", "inc1", [this](json& j) { j["parent"] = inc2_; }, {}, "loops"},
        {"bad key", "inc2", [](json& j) { j["sessionKey"] = std::string(2 * AMS_KEY_LEN, 'z'); }, {}, "sessionKey"},
        {"full without bitmap", "full", [](json& j) { j["kind"] = "incremental"; }, {}, "parent"},
        {"checksums hash", "inc2", [](json& j) { j["checksums"]["hash"] = "0123456789abcdef"; }, {},
         "checksums.bin does not match"},
        {"format", "full", [](json& j) { j["format"] = 7; }, {}, "unsupported format 7"},
        {"snapshot window reversed", "inc1",
         [](json& j) { j["snapshotWindow"] = {j["snapshotWindow"][1], j["snapshotWindow"][0]}; }, {}, "snapshotWindow is"},
        {"snapshot window as numbers", "full", [](json& j) { j["snapshotWindow"] = {1, 2}; }, {}, "snapshotWindow is"},
        {"snapshot window negative", "inc2", [](json& j) { j["snapshotWindow"] = {"-5", "7"}; }, {}, "snapshotWindow is"},
        {"snapshot window beyond 63 bits", "inc2",
         [](json& j) { j["snapshotWindow"] = {"1", "9999999999999999999"}; }, {}, "snapshotWindow is"},
        {"edited, hash kept", "inc2", [](json& j) { j["time"] = "2000-01-01T00:00:00Z"; }, {}, "manifestHash", false},
        {"image truncated", "full", {}, [](const fs::path& d) { fs::resize_file(d / "image.raw", 4 << 20); },
         "image.raw is 4194304 bytes"},
        {"checksums symlinked to /dev/zero", "inc2", {},
         [](const fs::path& d) {
             fs::remove(d / "checksums.bin");
             fs::create_symlink("/dev/zero", d / "checksums.bin");
         },
         "checksums.bin is not a regular file"},
        {"data replaced by a FIFO", "inc1", {},
         [](const fs::path& d) {
             fs::remove(d / "changes.dat");
             ASSERT_EQ(::mkfifo((d / "changes.dat").c_str(), 0644), 0);
         },
         "changes.dat is not a regular file"},
        {"bitmap bit flipped", "inc1", {},
         [](const fs::path& d) {
             std::fstream f(d / "changes.bitmap", std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(10);
             f.put('\x01');
         },
         "changes.bitmap"},
        {"data byte flipped", "inc2", {},
         [](const fs::path& d) {
             std::fstream f(d / "changes.dat", std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(5000);
             f.put('\x55');
         },
         "does not match its checksum"},
        {"checksums grown", "full", {},
         [](const fs::path& d) { std::ofstream(d / "checksums.bin", std::ios::app) << "12345678"; },
         "checksums.bin holds 2049 entries"},
        {"newest manifest deleted", "inc2", {}, [](const fs::path& d) { fs::remove(d / "manifest.json"); },
         "no manifest.json"},
    };
    int n = 0;
    for (const Tamper& t : cases) {
        SCOPED_TRACE(t.name);
        Repository r = copy("case" + std::to_string(n++));
        fs::path dir = r.dir(idOf(t.backup));
        if (t.edit) editManifest(dir / "manifest.json", t.edit, t.rehash);
        if (t.spoil) t.spoil(dir);

        VerifyReport all = verifyRepository(r);
        EXPECT_TRUE(anyHas(all.problems, t.says)) << "expected \"" << t.says << "\" in" << joined(all.problems);
        VerifyReport chain = verifyChain(r, inc2_);
        EXPECT_FALSE(chain.problems.empty());
        // The intact backups are still checked.
        EXPECT_GE(all.backups, 2u);

        fs::path out = dir_ / ("out-" + std::to_string(n));
        try {
            restoreChain(r, inc2_, out);
            ADD_FAILURE() << "restored from a spoiled repository";
        } catch (const AgentError& e) {
            EXPECT_EQ(e.kind(), ErrorKind::Verify) << e.what();
        }
        EXPECT_FALSE(fs::exists(out)) << "a failed restore left its target";
        for (const auto& e : fs::directory_iterator(dir_))
            EXPECT_EQ(e.path().filename().string().find(".tavbackup-"), std::string::npos) << e.path();
    }
}

TEST_F(RepositoryTest, NewestDamagedBackupStopsARestoreThatWouldPickAnOlderOne) {
    makeChain();
    fs::remove(repo_->dir(inc2_) / "manifest.json");
    try {
        defaultRestoreId(*repo_);
        ADD_FAILURE() << "the default restore chose an older state silently";
    } catch (const AgentError& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Verify);
        EXPECT_NE(std::string(e.what()).find("--id " + inc1_), std::string::npos) << e.what();
    }
}

TEST_F(RepositoryTest, OneBadEntryDoesNotStopTheOthers) {
    makeChain();
    fs::create_directories(repo_->dir("junk"));
    std::ofstream(repo_->dir("junk") / "manifest.json") << "{ not json";
    RepoScan scan = repo_->scan();
    EXPECT_EQ(scan.backups.size(), 3u);
    ASSERT_EQ(scan.damaged, std::vector<std::string>{"junk"});
    EXPECT_EQ(defaultRestoreId(*repo_), inc2_) << "junk is no backup id, whatever its order";
    EXPECT_TRUE(restore(inc2_) == truth2_);
    writeBlock(11, 5);
    BackupResult next = backup(true);
    EXPECT_EQ(next.manifest.kind, "incremental") << next.fallbackReason;
    EXPECT_EQ(next.manifest.parent, inc2_);
    VerifyReport rep = verifyRepository(*repo_);
    EXPECT_EQ(rep.backups, 4u);
    EXPECT_EQ(rep.problems.size(), 1u) << joined(rep.problems);
}

TEST_F(RepositoryTest, ReformattedAndFirstFormatManifestsStillRead) {
    makeChain();
    // What a JSON tool's no-op edit does: another layout, and every number through a
    // double (a 64-bit hash stored as a number would not survive it).
    std::function<void(json&)> throughDoubles = [&](json& v) {
        if (v.is_structured())
            for (auto& e : v) throughDoubles(e);
        else if (v.is_number_integer())
            v = static_cast<std::uint64_t>(static_cast<double>(v.get<std::uint64_t>()));
    };
    json j = loadJson(repo_->dir(full_) / "manifest.json");
    throughDoubles(j);
    std::ofstream(repo_->dir(full_) / "manifest.json", std::ios::trunc) << j.dump(8);
    // The first format: hashes as numbers, no source, no manifest hash.
    for (const std::string& id : {inc1_, inc2_})
        editManifest(
            repo_->dir(id) / "manifest.json",
            [](json& m) {
                m["format"] = 1;
                m.erase("source");
                m.erase("snapshotWindow");
                m.erase("manifestHash");
                m["checksums"]["hash"] = std::stoull(m["checksums"]["hash"].get<std::string>(), nullptr, 16);
                m["bitmap"]["hash"] = std::stoull(m["bitmap"]["hash"].get<std::string>(), nullptr, 16);
            },
            false);
    VerifyReport rep = verifyRepository(*repo_);
    EXPECT_TRUE(rep.problems.empty()) << joined(rep.problems);
    EXPECT_EQ(rep.backups, 3u);
    EXPECT_TRUE(restore(inc2_) == truth2_);
}

// The freeze lies inside the window a backup records, which survives the manifest; a
// backup from before windows were recorded still reads, with none.
TEST_F(RepositoryTest, SnapshotWindowHoldsTheFreezeAndOlderManifestsHaveNone) {
    std::int64_t frozeAt = 0;
    mount_->setFreezeSyncPoint([&](struct super_block*) {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        frozeAt = static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    });
    for (bool incremental : {false, true}) {
        SCOPED_TRACE(incremental ? "incremental" : "full");
        frozeAt = 0;
        Manifest m = backup(incremental).manifest;
        ASSERT_NE(frozeAt, 0) << "no freeze";
        EXPECT_LE(m.snapshotStartNs, frozeAt);
        EXPECT_GE(m.snapshotEndNs, frozeAt);
        Manifest back = repo_->find(m.id).value();
        EXPECT_EQ(back.snapshotStartNs, m.snapshotStartNs);
        EXPECT_EQ(back.snapshotEndNs, m.snapshotEndNs);
        full_ = m.id;
    }
    editManifest(repo_->dir(full_) / "manifest.json", [](json& j) { j.erase("snapshotWindow"); });
    Manifest old = repo_->find(full_).value();
    EXPECT_EQ(old.snapshotStartNs, 0);
    EXPECT_EQ(old.snapshotEndNs, 0);
    VerifyReport rep = verifyRepository(*repo_);
    EXPECT_TRUE(rep.problems.empty()) << joined(rep.problems);
}

TEST_F(RepositoryTest, SourcesDoNotMix) {
    BackupOptions a;
    a.major = 8;
    a.minor = 1;
    a.source = {"11111111-1111-1111-1111-111111111111", "/images/a.img"};
    BackupResult fa = runBackup(*repo_, a);
    BackupOptions b = a;
    b.source = {"22222222-2222-2222-2222-222222222222", "/images/a.img"};  // re-made in place
    b.incremental = true;
    writeBlock(3, 9);
    BackupResult fb = runBackup(*repo_, b);
    EXPECT_EQ(fb.manifest.kind, "full");
    EXPECT_NE(fb.fallbackReason.find("another file system"), std::string::npos) << fb.fallbackReason;
    EXPECT_EQ(repo_->find(fb.manifest.id)->source.fsUuid, b.source.fsUuid);
    try {
        defaultRestoreId(*repo_);
        ADD_FAILURE() << "a restore without an id picked one of two sources";
    } catch (const AgentError& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Usage);
        EXPECT_NE(std::string(e.what()).find("2 sources"), std::string::npos) << e.what();
    }
    // The first source's incremental still finds its own base.
    a.incremental = true;
    writeBlock(4, 9);
    BackupResult ia = runBackup(*repo_, a);
    EXPECT_EQ(ia.manifest.kind, "full") << "a fresh module has no change map";
    EXPECT_EQ(ia.fallbackReason.find("another file system"), std::string::npos) << ia.fallbackReason;
    (void)fa;
}

TEST_F(RepositoryTest, RestoreRefusesTargetsItMustNotWrite) {
    makeChain();
    fs::path inRepo = repo_->root() / "restored.img";
    fs::path link = dir_ / "hardlink-to-image.raw";
    fs::create_hard_link(repo_->dir(full_) / "image.raw", link);
    fs::path attached = dir_ / "attached.img";
    std::ofstream(attached) << "the attached image";
    fs::path existing = dir_ / "existing.img";
    std::ofstream(existing) << "keep me";
    std::string imageBefore = readFile(repo_->dir(full_) / "image.raw");
    struct Case {
        fs::path out;
        bool force;
        const char* says;
    };
    for (const Case& c : std::vector<Case>{{repo_->dir(full_) / "image.raw", true, "inside the repository"},
                                           {inRepo, true, "inside the repository"},
                                           {link, true, "is the repository's"},
                                           {attached, true, "must not be written"},
                                           {existing, false, "give --force"},
                                           {dir_, true, "neither a regular file"}}) {
        SCOPED_TRACE(c.out.string());
        RestoreOptions o;
        o.force = c.force;
        o.protect = {attached};
        try {
            restoreChain(*repo_, inc2_, c.out, o);
            ADD_FAILURE() << "restored onto " << c.out;
        } catch (const AgentError& e) {
            EXPECT_EQ(e.kind(), ErrorKind::Usage);
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
    EXPECT_FALSE(fs::exists(inRepo));
    EXPECT_TRUE(readFile(repo_->dir(full_) / "image.raw") == imageBefore);
    EXPECT_EQ(readFile(attached), "the attached image");
    EXPECT_EQ(readFile(existing), "keep me");
    EXPECT_TRUE(verifyRepository(*repo_).problems.empty());
    EXPECT_THROW(restoreChain(*repo_, "no-such-backup", dir_ / "x"), AgentError);

    // With --force an existing file is replaced, but only by a complete image.
    std::fstream f(repo_->dir(inc2_) / "changes.dat", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(0);
    f.put('\x42');
    f.close();
    RestoreOptions force;
    force.force = true;
    EXPECT_THROW(restoreChain(*repo_, inc2_, existing, force), AgentError);
    EXPECT_EQ(readFile(existing), "keep me");
    restoreChain(*repo_, inc1_, existing, force);
    EXPECT_EQ(fs::file_size(existing), kPartSectors * 512);
}

TEST_F(RepositoryTest, RestoreOntoABlockDeviceWritesEveryBlock) {
    makeChain();
    fs::path backing = dir_ / "loop.img";
    std::ofstream(backing) << std::string(kPartSectors * 512, '\xff');
    std::string cmd = "losetup -f --show " + backing.string() + " 2>/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    char name[64] = {};
    bool attached = p && std::fgets(name, sizeof name, p) != nullptr;
    if (p) ::pclose(p);
    if (!attached) GTEST_SKIP() << "no loop device here (needs root and /dev/loop-control)";
    std::string dev(name, strcspn(name, "\n"));
    RestoreOptions o;
    EXPECT_THROW(restoreChain(*repo_, inc2_, dev, o), AgentError) << "wrote a device without --force";
    o.force = true;
    EXPECT_NO_THROW(restoreChain(*repo_, inc2_, dev, o));
    EXPECT_EQ(std::system(("losetup -d " + dev).c_str()), 0);
    std::string bytes = readFile(backing);
    std::vector<std::uint8_t> got(bytes.begin(), bytes.end());
    EXPECT_TRUE(got == truth2_) << "the device does not hold the image (zero blocks left as they were?)";
}

TEST_F(AgentTest, PublishingNeverReplacesAnExistingBackup) {
    std::optional<PendingBackup> p;
    p.emplace(*repo_, "full");
    const std::string id = p->id();
    ASSERT_TRUE(fs::exists(repo_->root() / (".tmp-" + id)));
    fs::create_directory(repo_->dir(id));
    std::ofstream(repo_->dir(id) / "mine") << "x";
    Manifest m;
    m.id = id;
    m.kind = "full";
    EXPECT_THROW(p->publish(m), AgentError);
    EXPECT_TRUE(fs::exists(repo_->dir(id) / "mine"));
    // A live writer's directory survives another backup's clean-up; a dead one's does not.
    fs::create_directory(repo_->root() / ".tmp-left-by-a-crash");
    std::ofstream(repo_->root() / (".tmp-" + id) / "data") << "y";
    BackupResult r = backup(false);
    EXPECT_TRUE(fs::exists(repo_->root() / (".tmp-" + id) / "data"));
    EXPECT_FALSE(fs::exists(repo_->root() / ".tmp-left-by-a-crash"));
    p.reset();
    EXPECT_FALSE(fs::exists(repo_->root() / (".tmp-" + id)));
    EXPECT_TRUE(restore(r.manifest.id) == truth_);
}

TEST(ExtUuid, ReadsTheSuperBlockOnlyWhenThereIsOne) {
    std::vector<std::uint8_t> head(2048, 0);
    EXPECT_EQ(extUuid(head.data()), "");
    head[1024 + 0x38] = 0x53;
    head[1024 + 0x39] = 0xEF;
    for (int i = 0; i < 16; i++) head[1024 + 0x68 + i] = static_cast<std::uint8_t>(0x10 * i + i);
    EXPECT_EQ(extUuid(head.data()), "00112233-4455-6677-8899-aabbccddeeff");
}

}  // namespace
