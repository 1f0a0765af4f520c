// The snapshot check's rules on small made-up journals and directories, the journal's
// format, and a run of the real workload checked against a copy taken while it is stopped.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "tavagent/fsload.h"
#include "tests/support/checks.h"

namespace fs = std::filesystem;
using namespace tav::agent::fsload;

namespace {

FileState of(const std::string& content) { return {true, content.size(), XXH3_64bits(content.data(), content.size())}; }

class FsloadDir : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("fsload-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "root");
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path root() const { return dir_ / "root"; }
    void put(const std::string& name, const std::string& content) {
        std::ofstream(root() / name, std::ios::binary) << content;
    }
    fs::path dir_;
};

// Ops on the window [100, 200].
Op op(const char* kind, const char* name, std::int64_t t0, std::int64_t t1, std::optional<std::string> after,
      bool sync = true, std::vector<std::string> mid = {}, const char* from = "") {
    Op o;
    o.op = kind;
    o.name = name;
    o.from = from;
    o.t0 = t0;
    o.t1 = t1;
    o.sync = sync;
    if (after) o.after = of(*after);
    for (auto& m : mid) o.mid.push_back(of(m));
    return o;
}

struct RuleCase {
    const char* what;
    std::vector<Op> ops;
    std::map<std::string, std::string> files;  // what the snapshot holds
    std::uint64_t exact, ambiguous, absent;
    const char* violation;  // a part of the one violation expected; null: none
};

TEST_F(FsloadDir, CheckRules) {
    const RuleCase cases[] = {
        {"durable before the window: held exactly", {op("create", "a", 10, 20, "A")}, {{"a", "A"}}, 1, 0, 0, nullptr},
        {"durable before the window: lost", {op("create", "a", 10, 20, "A")}, {}, 0, 0, 0, "a: absent, expected 1 bytes"},
        {"durable before the window: other content",
         {op("create", "a", 10, 20, "A"), op("overwrite", "a", 30, 40, "B")}, {{"a", "A"}}, 0, 0, 0, "expected 1 bytes"},
        {"durable at the window's start is not before it",
         {op("create", "a", 10, 20, "A"), op("overwrite", "a", 30, 100, "BB")}, {{"a", "A"}}, 0, 1, 0, nullptr},
        {"overlapping op: the state before it", {op("create", "a", 10, 20, "A"), op("overwrite", "a", 90, 150, "BB")},
         {{"a", "A"}}, 0, 1, 0, nullptr},
        {"overlapping op: its own state", {op("create", "a", 10, 20, "A"), op("overwrite", "a", 90, 150, "BB")},
         {{"a", "BB"}}, 0, 1, 0, nullptr},
        {"overlapping op: a state inside it",
         {op("create", "a", 10, 20, "AAAA"), op("overwrite", "a", 150, 250, "B", true, {"BAAA"})}, {{"a", "BAAA"}}, 0, 1,
         0, nullptr},
        {"overlapping op: a state it never had",
         {op("create", "a", 10, 20, "A"), op("overwrite", "a", 90, 150, "BB")}, {{"a", "CCC"}}, 0, 0, 0,
         "expected one of"},
        {"an op started at the window's end is not in it",
         {op("create", "a", 10, 20, "A"), op("overwrite", "a", 200, 210, "BB")}, {{"a", "BB"}}, 0, 0, 0, "expected 1 bytes"},
        {"created after the window: absent", {op("create", "a", 250, 260, "A")}, {}, 0, 0, 1, nullptr},
        {"created after the window: present", {op("create", "a", 250, 260, "A")}, {{"a", "A"}}, 0, 0, 0,
         "no op started before the window's end created it"},
        {"deleted durably before the window",
         {op("create", "a", 10, 20, "A"), op("delete", "a", 30, 40, std::nullopt)}, {}, 0, 0, 1, nullptr},
        {"deleted durably before the window, yet present",
         {op("create", "a", 10, 20, "A"), op("delete", "a", 30, 40, std::nullopt)}, {{"a", "A"}}, 0, 0, 0,
         "expected absent"},
        {"deleted inside the window: either way",
         {op("create", "a", 10, 20, "A"), op("delete", "a", 150, 160, std::nullopt)}, {}, 0, 1, 0, nullptr},
        {"renamed before the window", {op("create", "a", 10, 20, "A"), op("rename", "b", 30, 40, "A", true, {}, "a")},
         {{"b", "A"}}, 1, 0, 1, nullptr},
        {"renamed before the window, the old name still there",
         {op("create", "a", 10, 20, "A"), op("rename", "b", 30, 40, "A", true, {}, "a")}, {{"a", "A"}, {"b", "A"}}, 1, 0, 0,
         "a: 1 bytes"},
        {"renamed inside the window: not yet",
         {op("create", "a", 10, 20, "A"), op("rename", "b", 150, 160, "A", true, {}, "a")}, {{"a", "A"}}, 0, 2, 0, nullptr},
        {"renamed over a durable file inside the window",
         {op("create", "a", 10, 20, "A"), op("create", "b", 10, 20, "B"), op("rename", "b", 150, 160, "A", true, {}, "a")},
         {{"b", "A"}}, 0, 2, 0, nullptr},
        {"unsynced op before the window: may be lost",
         {op("create", "a", 10, 20, "A"), op("append", "a", 30, 40, "AB", false)}, {{"a", "A"}}, 0, 1, 0, nullptr},
        {"unsynced op before the window: may be kept",
         {op("create", "a", 10, 20, "A"), op("append", "a", 30, 40, "AB", false)}, {{"a", "AB"}}, 0, 1, 0, nullptr},
        {"unsynced, then durable before the window",
         {op("create", "a", 10, 20, "A", false), op("append", "a", 30, 40, "AB")}, {{"a", "A"}}, 0, 0, 0, "expected 2 bytes"},
        {"a file the journal does not know", {op("create", "a", 10, 20, "A")}, {{"a", "A"}, {"stray", "x"}}, 1, 0, 0,
         "stray: not in the journal"},
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root());
        fs::create_directories(root());
        for (auto& [name, content] : c.files) put(name, content);
        CheckReport r = checkSnapshot(c.ops, root(), 100, 200);
        EXPECT_EQ(r.exact, c.exact);
        EXPECT_EQ(r.ambiguous, c.ambiguous);
        EXPECT_EQ(r.absent, c.absent);
        if (!c.violation) {
            EXPECT_TRUE(r.violations.empty()) << r.violations.front();
        } else {
            ASSERT_EQ(r.violations.size(), 1u);
            EXPECT_NE(r.violations[0].find(c.violation), std::string::npos) << r.violations[0];
        }
    }
}

TEST_F(FsloadDir, ADirectoryWhereAFileShouldBeIsAViolation) {
    fs::create_directories(root() / "a");
    CheckReport r = checkSnapshot({op("create", "a", 10, 20, "A")}, root(), 100, 200);
    ASSERT_EQ(r.violations.size(), 1u);
    EXPECT_NE(r.violations[0].find("not a regular file"), std::string::npos);
}

TEST_F(FsloadDir, JournalLinesReadBackAndBadLinesAreNamed) {
    std::vector<Op> ops = {op("create", "w0-1", 5, 9, "hello", true, {""}),
                           op("rename", "w0-2", 10, 12, "hello", false, {}, "w0-1"),
                           op("delete", "w0-2", 13, 14, std::nullopt)};
    fs::path j = dir_ / "journal";
    {
        std::ofstream out(j);
        out << "{\"tavfsload\":1}\n";
        for (const Op& o : ops) out << journalLine(o) << "\n";
        out << "{\"op\":\"create\",\"name\":\"x\",\"t0\":1,\"t1\":2,\"sync\":true,\"size\":1,\"xxh3\":\"zz\"}\n";
        out << "{\"op\":\"rename\",\"name\":\"x\",\"t0\"";  // cut short by a kill
    }
    std::vector<std::string> warnings;
    auto back = readJournal(j, &warnings);
    ASSERT_EQ(back.size(), ops.size());
    for (std::size_t i = 0; i < ops.size(); i++) {
        EXPECT_EQ(back[i].op, ops[i].op);
        EXPECT_EQ(back[i].name, ops[i].name);
        EXPECT_EQ(back[i].from, ops[i].from);
        EXPECT_EQ(back[i].after, ops[i].after);
        EXPECT_EQ(back[i].mid, ops[i].mid);
        EXPECT_EQ(back[i].t0, ops[i].t0);
        EXPECT_EQ(back[i].t1, ops[i].t1);
        EXPECT_EQ(back[i].sync, ops[i].sync);
    }
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_NE(warnings[0].find(":5:"), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[1].find(":6:"), std::string::npos) << warnings[1];
}

// The tool itself, as a process: stopped (every writer between two system calls), its
// directory copied, resumed, stopped for good; the copy is a snapshot inside the window.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    // Waits until the kernel has it stopped.
    bool waitStopped() {
        int status = 0;
        return waitpid(pid_, &status, WUNTRACED) == pid_ && WIFSTOPPED(status);
    }
    int wait() {
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
};

// Waits (up to 30 s) until the journal being written holds at least n ops that began after
// `after`: a slow host may take longer than the usual pause to start the writers, or to
// resume them.
bool journalGrows(const fs::path& journal, std::size_t n, std::int64_t after = 0) {
    return tav::test::eventually(
        [&] {
            std::vector<std::string> warnings;  // a line being written may be torn
            std::error_code e;
            auto ops = fs::exists(journal, e) ? readJournal(journal, &warnings) : std::vector<Op>{};
            return static_cast<std::size_t>(std::count_if(ops.begin(), ops.end(), [&](const Op& o) { return o.t0 > after; })) >= n;
        },
        std::chrono::seconds(30), std::chrono::milliseconds(10));  // each look reads the whole journal
}

TEST_F(FsloadDir, RunThenCheckACopyTakenWhileStopped) {
    fs::path load = dir_ / "load", journal = dir_ / "journal", copy = dir_ / "copy";
    Child child({TAVFSLOAD_PATH, "run", "--dir", load.string(), "--journal", journal.string(), "--writers", "4",
                 "--max-file-kib", "32", "--unsynced", "0.2", "--seed", "7"});
    ASSERT_GT(child.pid(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(journalGrows(journal, 21)) << "the writers did not get going";
    std::int64_t t0 = realtimeNs();
    ASSERT_EQ(kill(child.pid(), SIGSTOP), 0);
    ASSERT_TRUE(child.waitStopped());
    fs::copy(load, copy, fs::copy_options::recursive);
    std::int64_t t1 = realtimeNs();
    ASSERT_EQ(kill(child.pid(), SIGCONT), 0);
    ASSERT_TRUE(journalGrows(journal, 1, t1)) << "the writers did not go on after the copy";
    ASSERT_EQ(kill(child.pid(), SIGTERM), 0);
    ASSERT_EQ(child.wait(), 0);

    std::vector<std::string> warnings;
    auto ops = readJournal(journal, &warnings);
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    ASSERT_GT(ops.size(), 20u);
    EXPECT_TRUE(std::any_of(ops.begin(), ops.end(), [&](const Op& o) { return o.t0 > t1; }))
        << "the writers did not go on after the copy";
    CheckReport r = checkSnapshot(ops, copy, t0, t1);
    EXPECT_TRUE(r.violations.empty()) << r.violations.size() << " violations, first: " << r.violations.front();
    EXPECT_GT(r.exact + r.ambiguous, 0u);

    // The same copy, damaged: one byte more in a file, and a file nobody wrote.
    ASSERT_FALSE(fs::is_empty(copy));
    fs::path victim = fs::directory_iterator(copy)->path();
    std::ofstream(victim, std::ios::app) << 'x';
    std::ofstream(copy / "stray") << "x";
    r = checkSnapshot(ops, copy, t0, t1);
    ASSERT_EQ(r.violations.size(), 2u);
    EXPECT_NE(r.violations[0].find(victim.filename().string() + ":"), std::string::npos) << r.violations[0];
    EXPECT_NE(r.violations[1].find("stray: not in the journal"), std::string::npos) << r.violations[1];
}

int sh(const std::string& cmd) {
    int st = std::system((cmd + " >/dev/null 2>&1").c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string firstLine(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[256];
        if (fgets(buf, sizeof buf, p)) out = buf;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// A real ext4 on a loop device, frozen with FIFREEZE while the writers run and its image
// copied while frozen: the copy is what a snapshot engine would see. Undone in reverse
// even when a step fails (thawed first: a writer blocked on the frozen file system would
// not die).
class FsloadExt4 : public FsloadDir {
protected:
    void SetUp() override {
        FsloadDir::SetUp();
        if (::geteuid() != 0) GTEST_SKIP() << "needs root (losetup, mount, fsfreeze)";
        if (!fs::exists("/dev/loop-control")) GTEST_SKIP() << "no loop devices";
        for (const char* tool : {"losetup", "mkfs.ext4", "mount", "fsfreeze", "e2fsck"})
            if (sh(std::string("command -v ") + tool) != 0) GTEST_SKIP() << "no " << tool;
        image_ = dir_ / "fs.img";
        mnt_ = dir_ / "mnt";
        copyMnt_ = dir_ / "copy.mnt";
        fs::create_directories(mnt_);
        fs::create_directories(copyMnt_);
        ASSERT_EQ(sh("truncate -s 64M " + image_.string() + " && mkfs.ext4 -q -F " + image_.string()), 0);
        loop_ = firstLine("losetup -f --show " + image_.string());
        ASSERT_FALSE(loop_.empty()) << "losetup found no free loop device";
        ASSERT_EQ(sh("mount -t ext4 " + loop_ + " " + mnt_.string()), 0);
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) sh("fsfreeze -u " + mnt_.string());
        child_.reset();
        if (copyMounted_) sh("umount " + copyMnt_.string());
        if (mounted_ && sh("umount " + mnt_.string()) != 0) sh("umount -l " + mnt_.string());
        if (!loop_.empty()) sh("losetup -d " + loop_);
        FsloadDir::TearDown();
    }
    fs::path image_, mnt_, copyMnt_;
    std::string loop_;
    bool mounted_ = false, copyMounted_ = false;
    std::unique_ptr<Child> child_;
};

TEST_F(FsloadExt4, RunThenCheckAnImageCopiedWhileFrozen) {
    fs::path journal = dir_ / "journal", copy = dir_ / "copy.img";
    child_ = std::make_unique<Child>(std::vector<std::string>{TAVFSLOAD_PATH, "run", "--dir", (mnt_ / "load").string(),
                                                              "--journal", journal.string(), "--max-file-kib", "64"});
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ASSERT_TRUE(journalGrows(journal, 11)) << "the writers did not get going";
    std::int64_t t0 = realtimeNs();
    ASSERT_EQ(sh("fsfreeze -f " + mnt_.string()), 0);
    std::int64_t t1 = realtimeNs();
    // Frozen, every write it took is in the image file (the loop device writes it through
    // the page cache, which cp reads).
    int copied = sh("cp --sparse=always " + image_.string() + " " + copy.string());
    ASSERT_EQ(sh("fsfreeze -u " + mnt_.string()), 0);
    ASSERT_EQ(copied, 0);
    ASSERT_TRUE(journalGrows(journal, 1, t1)) << "the writers did not go on after the thaw";
    ASSERT_EQ(kill(child_->pid(), SIGTERM), 0);
    ASSERT_EQ(child_->wait(), 0);

    EXPECT_EQ(sh("e2fsck -fn " + copy.string()), 0) << "the frozen image is no clean ext4";
    ASSERT_EQ(sh("mount -o ro,noload,loop " + copy.string() + " " + copyMnt_.string()), 0);
    copyMounted_ = true;
    std::vector<std::string> warnings;
    auto ops = readJournal(journal, &warnings);
    ASSERT_GT(ops.size(), 10u);
    CheckReport r = checkSnapshot(ops, copyMnt_ / "load", t0, t1);
    EXPECT_TRUE(r.violations.empty()) << r.violations.size() << " violations, first: " << r.violations.front();
    EXPECT_GT(r.exact, 0u) << "nothing was checked exactly";
}

TEST_F(FsloadDir, RunRefusesAJournalInsideItsDirectoryAndADirectoryInUse) {
    std::atomic<bool> stop{false};
    RunOptions o;
    o.dir = dir_ / "load";
    o.journal = o.dir / "journal";
    o.seconds = 0.01;
    EXPECT_THROW(run(o, stop), std::runtime_error);
    o.journal = dir_ / "journal";
    fs::create_directories(o.dir);
    std::ofstream(o.dir / "old") << "x";
    EXPECT_THROW(run(o, stop), std::runtime_error);
}

}  // namespace
