// tavbackup as an operator runs it: exit codes, JSON for errors, refusals, and two
// processes on one repository.
#include <sys/wait.h>

#include <cstdlib>

#include "tests/unit/agent/fixture.h"

namespace fs = std::filesystem;
using namespace tav::agent;
using tav::agent::test::editManifest;
using tav::agent::test::readFile;
using nlohmann::json;

namespace {

struct ToolRun {
    int rc = -1;
    std::string out, err;
};

class TavbackupTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tavbackup-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        image_ = dir_ / "disk.img";
        repo_ = dir_ / "repo";
        std::string mk = "mke2fs -q -F -t ext4 -b 4096 " + image_.string() + " 8M >/dev/null 2>&1";
        if (std::system(mk.c_str()) != 0) GTEST_SKIP() << "mke2fs could not make an ext4 image (is e2fsprogs installed?)";
    }
    void TearDown() override { fs::remove_all(dir_); }

    ToolRun tavbackup(const std::string& args) {
        ToolRun r;
        fs::path out = dir_ / "stdout", err = dir_ / "stderr";
        std::string cmd = std::string(TAVBACKUP_PATH) + " " + args + " >" + out.string() + " 2>" + err.string();
        int st = std::system(cmd.c_str());
        r.rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        r.out = readFile(out);
        r.err = readFile(err);
        return r;
    }
    std::string full() { return "full --image " + image_.string() + " --partition 0 --repo " + repo_.string(); }
    std::string repo() const { return " --repo " + repo_.string(); }

    fs::path dir_, image_, repo_;
};

TEST_F(TavbackupTest, ExitCodesAndMessagesSayWhatWentWrong) {
    ASSERT_EQ(tavbackup(full()).rc, 0);
    Repository r(repo_, RepoOpen::Existing);
    const std::string id = r.list().at(0).id;
    const std::string imageBefore = readFile(image_);
    const fs::path out = dir_ / "restored.img";
    struct Case {
        std::string args;
        int rc;
        std::string says;  // in stdout or stderr
    };
    const std::vector<Case> cases = {
        {"list" + repo() + " --json", 0, "\"fsUuid\""},
        {"list" + repo(), 0, " on " + fs::absolute(image_).string()},
        {"verify" + repo() + " --json", 0, "\"problems\": []"},
        {"list --repo " + (dir_ / "nowhere").string(), 2, "no such repository"},
        {"--json verify --repo " + (dir_ / "nowhere").string(), 2, "\"exitCode\": 2"},
        {"restore" + repo() + " --id nope --out " + out.string() + " --json", 2, "\"error\": \"no backup nope"},
        {"restore" + repo() + " --out " + out.string() + " --bogus --json", 2, "\"exitCode\": 2"},
        {full() + " --max-cache-blocks 0", 2, "max-cache-blocks"},
        {"restore" + repo() + " --force --out " + image_.string(), 2, "is the source of backup"},
        {"restore" + repo() + " --force --out " + (repo_ / id / "image.raw").string(), 2, "inside the repository"},
        {"restore" + repo() + " --out " + out.string(), 0, "restored " + id},
        {"restore" + repo() + " --out " + out.string(), 2, "give --force"},
        {"restore" + repo() + " --out " + out.string() + " --force", 0, "restored " + id},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        ToolRun run = tavbackup(c.args);
        EXPECT_EQ(run.rc, c.rc) << run.out << run.err;
        EXPECT_NE((run.out + run.err).find(c.says), std::string::npos) << run.out << run.err;
    }
    EXPECT_EQ(readFile(image_), imageBefore);
    EXPECT_EQ(readFile(out), imageBefore) << "an ext4 image at rest restores to itself";

    // A key that is not hex is named as such, not as a parse failure of some number.
    editManifest(repo_ / id / "manifest.json", [](json& j) { j["sessionKey"] = std::string(2 * AMS_KEY_LEN, 'g'); });
    ToolRun bad = tavbackup("verify" + repo());
    EXPECT_EQ(bad.rc, 5);
    EXPECT_NE(bad.out.find("sessionKey"), std::string::npos) << bad.out;
    EXPECT_EQ((bad.out + bad.err).find("stoi"), std::string::npos);
    ToolRun list = tavbackup("list" + repo());
    EXPECT_EQ(list.rc, 0) << "a bad manifest is skipped, not fatal";
    EXPECT_NE(list.err.find("skipped"), std::string::npos) << list.err;
}

// What a caller needs to line the backup up with its own clock: the snapshot's window,
// in ns of CLOCK_REALTIME, inside the run.
TEST_F(TavbackupTest, JsonSaysWhenTheSnapshotWasTaken) {
    auto now = [] {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    };
    std::int64_t before = now();
    ToolRun r = tavbackup(full() + " --json");
    std::int64_t after = now();
    ASSERT_EQ(r.rc, 0) << r.err;
    json j = json::parse(r.out);
    ASSERT_TRUE(j["snapshotWindow"].is_array()) << r.out;
    ASSERT_EQ(j["snapshotWindow"].size(), 2u);
    std::int64_t t0 = j["snapshotWindow"][0].get<std::int64_t>(), t1 = j["snapshotWindow"][1].get<std::int64_t>();
    EXPECT_LE(before, t0);
    EXPECT_LE(t0, t1);
    EXPECT_LE(t1, after);
    ToolRun list = tavbackup("list --json" + repo());
    ASSERT_EQ(list.rc, 0) << list.err;
    EXPECT_EQ(json::parse(list.out).at(0)["snapshotWindow"], j["snapshotWindow"]);
}

TEST_F(TavbackupTest, TwoBackupsAtOnceBothLand) {
    Repository r(repo_);
    {
        // This process is a backup under way; another one runs beside it.
        RepoLock lock(r, RepoLock::Exclusive);
        PendingBackup mine(r, "full");
        std::ofstream(mine.file("image.raw")) << "in progress";
        fs::create_directory(repo_ / ".tmp-20000101T000000.000Z-full-0");  // its writer is gone
        lock.unlock();
        ToolRun other = tavbackup(full());
        EXPECT_EQ(other.rc, 0) << other.err;
        EXPECT_EQ(readFile(mine.file("image.raw")), "in progress") << "another backup removed ours";
        EXPECT_FALSE(fs::exists(repo_ / ".tmp-20000101T000000.000Z-full-0"));
    }
    // Two processes started together: whichever order they take, both publish.
    std::string a = dir_ / "rc-a", b = dir_ / "rc-b";
    std::string both = "(" + std::string(TAVBACKUP_PATH) + " " + full() + " >/dev/null 2>&1; echo $? >" + a + ") & (" +
                       TAVBACKUP_PATH + " " + full() + " >/dev/null 2>&1; echo $? >" + b + ") & wait";
    ASSERT_EQ(std::system(both.c_str()), 0);
    EXPECT_EQ(readFile(a), "0\n");
    EXPECT_EQ(readFile(b), "0\n");
    EXPECT_EQ(r.list().size(), 3u);
    ToolRun v = tavbackup("verify" + repo());
    EXPECT_EQ(v.rc, 0) << v.out;
}

}  // namespace
