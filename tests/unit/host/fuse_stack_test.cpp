// The host's own kernel on top of the export: a loop device with direct I/O on an export
// file, a real ext4 on it, and the daemon's stop with that stack up.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "host/fuse_export.h"
#include "tav/machine.h"
#include "tests/support/checks.h"
#include "tests/unit/host/host_stack.h"

namespace fs = std::filesystem;
using tav::test::run;

namespace {

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

fs::path tempDir() {
    fs::path d = fs::temp_directory_path() / ("tavstack-" + std::to_string(getpid()) + "-" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(d);
    fs::create_directories(d);
    return d;
}

// Writes count files of bytes each under dir, every one fsynced; false on the first failure.
bool writeFiles(const fs::path& dir, int count, std::size_t bytes) {
    fs::create_directories(dir);
    std::vector<char> data(bytes);
    for (int i = 0; i < count; ++i) {
        for (std::size_t j = 0; j < bytes; ++j) data[j] = static_cast<char>(i * 31 + j);
        int fd = ::open((dir / ("f" + std::to_string(i))).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        bool ok = ::write(fd, data.data(), bytes) == static_cast<ssize_t>(bytes) && ::fsync(fd) == 0;
        ::close(fd);
        if (!ok) return false;
    }
    return true;
}

class FuseStackTest : public tav::test::PlatformTest {
protected:
    void SetUp() override {
        if (!tav::host::FuseExport::available()) GTEST_SKIP() << "built without libfuse3";
        if (std::string why = tav::test::loopMissing(); !why.empty()) GTEST_SKIP() << why;
        PlatformTest::SetUp();
        up_ = true;
        dir_ = tempDir();
    }
    void TearDown() override {
        if (!up_) return;
        stack_.tearDown();
        export_.unmount(true);
        watchdog_.stop();
        stack_.fuses.push_back((dir_ / "exp").string());
        stack_.tearDown();
        if (disk_) tav::test::QueueSpy::remove(disk_->queue());
        machine_.shutdown();
        fs::remove_all(dir_);
        PlatformTest::TearDown();
    }

    tav::Machine machine_;
    tav::Disk* disk_ = nullptr;
    tav::host::FuseExport export_;
    tav::test::StackRecord stack_;
    tav::test::FuseWatchdog watchdog_;
    fs::path dir_;
    bool up_ = false;
};

// ext4 made, filled and checked through the export: every block on the way passed the
// disk's queue, and the file system the disk holds afterwards checks clean.
TEST_F(FuseStackTest, Ext4OnALoopDeviceOverTheExportChecksClean) {
    const std::uint64_t partStart = 2048, partSectors = 128 * 1024;  // 64 MiB
    tav::DiskConfig cfg;
    cfg.backing = tav::Backing::File;
    cfg.path = (dir_ / "disk.img").string();
    cfg.sectors = partStart + partSectors;
    cfg.partitions = {{partStart, partSectors, 1}};
    disk_ = machine_.addDisk(cfg);
    ASSERT_NE(disk_, nullptr);
    ASSERT_EQ(export_.addDisk(disk_, cfg.path), 0);
    std::string msg;
    ASSERT_EQ(export_.mount((dir_ / "exp").string(), &msg), 0) << msg;
    watchdog_.start((dir_ / "exp").string());
    tav::test::QueueSpy::install(disk_->queue());
    const std::string file = (dir_ / "exp" / "tda1").string();
    stack_.backing.push_back(file);

    auto lo = run("losetup --direct-io=on --show -f " + file);
    ASSERT_EQ(lo.code(), 0) << lo.out;
    std::string loop = trimmed(lo.out);
    auto dio = run("cat /sys/block/" + fs::path(loop).filename().string() + "/loop/dio");
    EXPECT_EQ(trimmed(dio.out), "1") << "the loop device fell back to buffered I/O";
    auto mk = run("mkfs.ext4 -q -F " + loop);
    ASSERT_EQ(mk.code(), 0) << mk.out;
    fs::create_directories(dir_ / "mnt");
    auto mnt = run("mount " + loop + " " + (dir_ / "mnt").string());
    ASSERT_EQ(mnt.code(), 0) << mnt.out;
    stack_.mounts.push_back((dir_ / "mnt").string());
    ASSERT_TRUE(writeFiles(dir_ / "mnt" / "d", 24, 100000));
    ASSERT_EQ(run("fstrim " + (dir_ / "mnt").string()).code(), 0) << "discards arrive as fallocate";
    auto um = run("umount " + (dir_ / "mnt").string());
    ASSERT_EQ(um.code(), 0) << um.out;
    stack_.mounts.clear();
    ASSERT_EQ(run("losetup -d " + loop).code(), 0);

    EXPECT_GT(tav::test::QueueSpy::writes.load(), 24) << "the host's writes bypassed the queue";
    EXPECT_GT(export_.stats().fallocates, 0);
    unsigned char sb[1024];
    ASSERT_EQ(disk_->readRaw(partStart + 2, sb, sizeof sb), 0);
    EXPECT_EQ(sb[56] | sb[57] << 8, 0xEF53) << "no ext4 super block on the disk";
    auto fsck = run("e2fsck -fn " + file);
    EXPECT_EQ(fsck.code(), 0) << fsck.out;
}

// tavguardd as the host runs it, set up by scripts/tavstack.
class DaemonStackTest : public FuseStackTest {
protected:
    void SetUp() override {
        FuseStackTest::SetUp();
        if (!up_) return;
        image_ = (dir_ / "img").string();
        state_ = (dir_ / "img.stack").string();
        mnt_ = (dir_ / "mnt").string();
        exp_ = (dir_ / "exp").string();
        stack_.mounts.push_back(mnt_);
        stack_.backing.push_back(exp_ + "/tda1");  // the export itself goes after the daemon
        auto r = run(std::string(TAV_TAVSTACK) + " up --daemon " + TAV_TAVGUARDD + " --image " + image_ +
                     " --size-mb 32 --mkfs --mnt " + mnt_ + " --export " + exp_ + " --state " + state_);
        ASSERT_EQ(r.code(), 0) << r.out;
        std::ifstream in(state_);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("pid=", 0) == 0) pid_ = std::stoi(line.substr(4));
            if (line.rfind("loop=", 0) == 0) loop_ = line.substr(5);
        }
        ASSERT_GT(pid_, 0);
    }
    void TearDown() override {
        if (up_) {
            stack_.tearDown();
            if (pid_ > 0 && ::kill(pid_, SIGTERM) == 0 && !exited(std::chrono::seconds(10))) ::kill(pid_, SIGKILL);
        }
        FuseStackTest::TearDown();
    }
    bool exited(std::chrono::milliseconds within) {
        auto until = std::chrono::steady_clock::now() + within;
        while (::kill(pid_, 0) == 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return ::kill(pid_, 0) != 0;
    }
    std::string log() {
        std::ifstream in(image_ + ".log");
        return {std::istreambuf_iterator<char>(in), {}};
    }
    bool mounted(const std::string& at) { return run("mountpoint -q " + at).code() == 0; }

    std::string image_, state_, mnt_, exp_, loop_;
    pid_t pid_ = -1;
};

TEST_F(DaemonStackTest, StopRefusesWhileTheHostMountIsBusyThenTakesTheStackDownInOrder) {
    ASSERT_TRUE(writeFiles(fs::path(mnt_) / "d", 4, 65536));
    int busy = ::open((fs::path(mnt_) / "d" / "f0").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(busy, 0);
    ASSERT_EQ(::kill(pid_, SIGTERM), 0);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (log().find("not stopping") == std::string::npos && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string refused = log();
    ::close(busy);
    ASSERT_NE(refused.find("not stopping: the host's " + mnt_), std::string::npos) << refused;
    EXPECT_NE(refused.find("umount " + mnt_ + " && losetup -d " + loop_), std::string::npos) << refused;
    EXPECT_FALSE(exited(std::chrono::milliseconds(200))) << "it stopped under a busy mount";
    EXPECT_TRUE(mounted(mnt_));
    EXPECT_TRUE(fs::exists(fs::path(mnt_) / "d" / "f3")) << "the host fs is still served";

    ASSERT_EQ(::kill(pid_, SIGTERM), 0);
    ASSERT_TRUE(exited(std::chrono::seconds(20))) << log();
    std::string done = log();
    std::size_t umounted = done.find("unmounted the host's " + mnt_), detached = done.find("detached " + loop_),
                fuseDown = done.find("fuseExport: " + exp_ + " unmounted"), stopped = done.find("tavguardd: stopped");
    ASSERT_NE(umounted, std::string::npos) << done;
    ASSERT_NE(detached, std::string::npos) << done;
    ASSERT_NE(fuseDown, std::string::npos) << done;
    EXPECT_TRUE(umounted < detached && detached < fuseDown && fuseDown < stopped) << done;
    EXPECT_FALSE(mounted(mnt_));
    EXPECT_FALSE(mounted(exp_));
    EXPECT_EQ(trimmed(run("losetup -nO NAME -j " + exp_ + "/tda1").out), "");
    EXPECT_EQ(done.find("crit"), std::string::npos) << done;
    // The partition, through a read-only loop device of its own, checks clean.
    auto lo = run("losetup --show -r -o " + std::to_string(2048 * 512) + " -f " + image_);
    ASSERT_EQ(lo.code(), 0) << lo.out;
    stack_.loops.push_back(trimmed(lo.out));
    auto fsck = run("e2fsck -fn " + trimmed(lo.out));
    EXPECT_EQ(fsck.code(), 0) << fsck.out;
    pid_ = -1;
}

// The point of it all: a backup of the host's busy ext4 is a consistent ext4.
TEST_F(DaemonStackTest, BackupOfTheHostExt4WhileWritersRunRestoresToACleanFileSystem) {
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); ++i, ++rounds)
            if (!writeFiles(fs::path(mnt_) / ("w" + std::to_string(i % 3)), 8, 32768)) break;
    });
    std::string sock = image_ + ".sock", repo = (dir_ / "repo").string(), out = (dir_ / "restored.img").string();
    auto full = run(std::string(TAV_TAVBACKUP) + " --socket " + sock + " full --repo " + repo);
    stop = true;
    writer.join();
    ASSERT_EQ(full.code(), 0) << full.out << log();
    EXPECT_GT(rounds.load(), 0);
    EXPECT_NE(log().find("time frozen"), std::string::npos);
    auto restore = run(std::string(TAV_TAVBACKUP) + " restore --repo " + repo + " --out " + out + " --force");
    ASSERT_EQ(restore.code(), 0) << restore.out;
    auto fsck = run("e2fsck -fn " + out);
    EXPECT_EQ(fsck.code(), 0) << fsck.out;
}

TEST_F(DaemonStackTest, TavstackDownTakesItAllAway) {
    ASSERT_TRUE(writeFiles(fs::path(mnt_) / "d", 2, 4096));
    auto r = run(std::string(TAV_TAVSTACK) + " down --state " + state_);
    EXPECT_EQ(r.code(), 0) << r.out;
    EXPECT_TRUE(exited(std::chrono::seconds(1)));
    EXPECT_FALSE(mounted(mnt_));
    EXPECT_FALSE(mounted(exp_));
    EXPECT_FALSE(fs::exists(state_));
    EXPECT_EQ(trimmed(run("losetup -nO NAME -j " + exp_ + "/tda1").out), "");
    pid_ = -1;
}

}  // namespace

namespace {

// The daemon never writes into a file system it serves: paths inside the export are
// refused before anything is mounted.
TEST(DaemonExportOptionsTest, PathsInsideTheExportAreRefused) {
    if (!tav::host::FuseExport::available()) GTEST_SKIP() << "built without libfuse3";
    fs::path dir = tempDir();
    const std::string exp = (dir / "exp").string(), img = (dir / "img").string();
    struct Case {
        std::string args, names;
    } cases[] = {
        {"--log " + exp + "/d.log --socket " + (dir / "s").string() + " --disk " + img, "the log"},
        {"--log " + (dir / "log").string() + " --socket " + exp + "/sub/s --disk " + img, "the socket"},
        {"--log " + (dir / "log").string() + " --socket " + (dir / "s").string() + " --disk " + exp + "/../exp/i",
         "the image"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.names);
        auto r = run(std::string(TAV_TAVGUARDD) + " --export " + exp + " " + c.args);
        EXPECT_EQ(r.code(), 2) << r.out;
        EXPECT_NE(r.out.find(c.names), std::string::npos) << r.out;
        EXPECT_FALSE(fs::exists(exp)) << "nothing is set up";
    }
    fs::remove_all(dir);
}

}  // namespace
