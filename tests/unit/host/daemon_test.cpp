// tavguardd's server against real client processes (tavbackup runs) and raw connections:
// incrementals across processes, bad requests, clients killed mid-call, a stop mid-backup,
// several clients at once, the socket's permission.
#include <algorithm>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "2.6/tavguard.h"
#include "host/daemon.h"
#include "kernel/fs.h"
#include "tav/client.h"
#include "tav/machine.h"
#include "tests/support/checks.h"
#include "tests/unit/kernel/vfs_test_driver.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr unsigned kBlock = 4096;
constexpr std::uint64_t kPartStart = 2048, kPartSectors = 16384;  // 8 MiB: 2048 blocks

struct ToolRun {
    int status = -1;
    std::string out, err;
    int code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
    nlohmann::json json() const { return nlohmann::json::parse(out); }
};

class DaemonTest : public tav::test::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        dir_ = fs::temp_directory_path() / ("tavguardd-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        socket_ = (dir_ / "d.sock").string();
        files_ = tav::kernel::liveFiles();
        ASSERT_EQ(machine_.loadModule(), 0);
        tav::DiskConfig cfg;
        cfg.major = 8;
        cfg.sectors = 32768;
        cfg.partitions = {{kPartStart, kPartSectors, 1}};
        disk_ = machine_.addDisk(cfg);
        ASSERT_NE(disk_, nullptr);
        tav::MountOptions mo;
        mo.blockSize = kBlock;
        mount_ = machine_.mount(disk_, 1, mo);
        ASSERT_NE(mount_, nullptr);
        mount_->setFreezeSyncPoint([this](struct super_block*) {
            // On a daemon thread; the test learns of it only through another process.
            std::lock_guard g(truthLock_);
            truth_.resize(kPartSectors * 512);
            disk_->readRaw(kPartStart, truth_.data(), truth_.size());
            if (onFreeze_) onFreeze_();
        });
        for (unsigned b = 0; b < 2048; b += 3) writeBlock(b, 1);
        mount_->sync();
        std::string msg;
        ASSERT_EQ(server_.listen(socket_, &msg), 0) << msg;
        serving_ = std::thread([this] { server_.serve(); });
    }
    void TearDown() override {
        stopServer();
        machine_.shutdown();
        EXPECT_EQ(tav::kernel::liveFiles(), files_);
        fs::remove_all(dir_);
        PlatformTest::TearDown();
    }
    void stopServer() {
        server_.stop();
        if (serving_.joinable()) serving_.join();
    }
    void writeBlock(std::uint64_t b, std::uint64_t stamp) {
        std::vector<std::uint64_t> data(kBlock / 8, stamp * 1000003 + b);
        ASSERT_EQ(mount_->write(b, data.data()), 0);
    }
    // Every connection's process has exited.
    bool clientsGone(long remaining = 0) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (server_.clients() != remaining && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return server_.clients() == remaining;
    }
    pid_t spawnBackup(const std::vector<std::string>& args, const std::string& tag) {
        std::vector<std::string> all = {TAV_TAVBACKUP, "--socket", socket_, "--json"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (dir_ / (tag + ".out")).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, (dir_ / (tag + ".err")).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        return pid;
    }
    ToolRun finish(pid_t pid, const std::string& tag) {
        ToolRun r;
        waitpid(pid, &r.status, 0);
        auto slurp = [&](const char* ext) {
            std::ifstream in(dir_ / (tag + ext));
            return std::string(std::istreambuf_iterator<char>(in), {});
        };
        r.out = slurp(".out");
        r.err = slurp(".err");
        return r;
    }
    ToolRun backup(const std::string& kind, const std::string& tag) {
        return finish(spawnBackup({kind, "--repo", (dir_ / "repo").string()}, tag), tag);
    }
    std::vector<std::uint8_t> restoreNewest() {
        fs::path out = dir_ / "restored.img";
        ToolRun r = finish(spawnBackup({"restore", "--repo", (dir_ / "repo").string(), "--out", out.string(), "--force"}, "restore"),
                       "restore");
        EXPECT_EQ(r.code(), 0) << r.err;
        std::ifstream in(out, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // Backups and temporary directories; the repository's lock file does not count.
    std::size_t repoEntries() {
        if (!fs::exists(dir_ / "repo")) return 0;
        return std::count_if(fs::directory_iterator(dir_ / "repo"), fs::directory_iterator(),
                             [](const fs::directory_entry& e) { return e.path().filename() != ".lock"; });
    }
    std::unique_ptr<tav::client::Connection> connect() {
        int error = 0;
        auto c = tav::client::Connection::connect(socket_, &error);
        EXPECT_TRUE(c) << strerror(-error);
        return c;
    }

    tav::Machine machine_;
    tav::Disk* disk_ = nullptr;
    tav::Mount* mount_ = nullptr;
    tav::host::Server server_;
    std::thread serving_;
    fs::path dir_;
    std::string socket_;
    long files_ = 0;
    // The device at the last snapshot.
    std::vector<std::uint8_t> truth() {
        std::lock_guard g(truthLock_);
        return truth_;
    }
    std::mutex truthLock_;
    std::vector<std::uint8_t> truth_;  // guarded by truthLock_
    std::function<void()> onFreeze_;
};

TEST_F(DaemonTest, IncrementalInAnotherProcessReadsOnlyTheChangedBlocksAndRestoresExactly) {
    ToolRun full = backup("full", "full");
    ASSERT_EQ(full.code(), 0) << full.err;
    EXPECT_EQ(full.json()["kind"], "full");
    EXPECT_EQ(full.json()["engine"], "tavguardd at " + socket_);
    const std::vector<unsigned> changed = {0, 1, 700, 1500, 2047};
    for (unsigned b : changed) writeBlock(b, 9);
    mount_->sync();
    ToolRun incr = backup("incremental", "incr");
    ASSERT_EQ(incr.code(), 0) << incr.err;
    auto j = incr.json();
    EXPECT_EQ(j["kind"], "incremental") << j["fallbackReason"];
    // Besides them, the file system's own writes around the freezes: the super block (block
    // 0, already among them) and the journal block (block count / 2) it writes inside the
    // incremental's freeze, which the automap records until the state changes.
    const std::size_t expected = changed.size() + 1;
    EXPECT_EQ(j["changedBlocks"], expected);
    EXPECT_EQ(j["blocksRead"], expected);
    EXPECT_EQ(restoreNewest(), truth());
    ASSERT_TRUE(clientsGone());
    EXPECT_EQ(tav::kernel::logCount("closeBackup: backup finished"), 2u);
}

// Each connection is a process of its own: requests that are malformed or out of range
// get an error reply or lose their connection, and nobody else notices.
TEST_F(DaemonTest, BadRequestsFailAloneAndLeaveNothing) {
    auto good = connect();
    int fd = good->open(TAV_DEVICE_PATH, O_RDWR);
    ASSERT_GE(fd, 3);
    auto other = connect();
    EXPECT_EQ(other->close(fd), -EBADF) << "another client's descriptor";
    for (int bad : {-1, 2, 1023, 1024, 1 << 30}) EXPECT_EQ(other->ioctl(bad, TAV_GET_STATE, 0UL), -EBADF) << bad;
    // The module's copy error for an argument record that is not the client's memory.
    EXPECT_EQ(good->ioctl(fd, TAV_GET_STATE, 8UL), TAV_ERR_COPY_FROM_USER);
    int error = 0;
    EXPECT_EQ(good->mmap(fd, 0, PROT_READ, MAP_PRIVATE, 0, &error), MAP_FAILED);
    EXPECT_EQ(error, -EINVAL);
    EXPECT_EQ(good->mmap(fd, 1ul << 40, PROT_READ, MAP_PRIVATE, 0, &error), MAP_FAILED);
    EXPECT_EQ(error, -EINVAL);
    EXPECT_EQ(good->mmap(fd, 4096, PROT_READ, MAP_PRIVATE, 0, &error), MAP_FAILED) << "no backup started";
    EXPECT_EQ(error, -EINVAL);
    EXPECT_EQ(good->open(std::string(100, 'x').c_str(), O_RDWR), -ENAMETOOLONG);

    // Raw messages: an unknown request is refused; a truncated, oversized or foreign one
    // closes that connection.
    auto rawSocket = [&] {
        int s = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::strcpy(sa.sun_path, socket_.c_str());
        EXPECT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        return s;
    };
    tav::wire::Request rq;
    rq.op = 77;
    tav::wire::Reply rp;
    int s = rawSocket();
    ASSERT_EQ(::send(s, &rq, sizeof rq, 0), static_cast<ssize_t>(sizeof rq));
    ASSERT_EQ(::recv(s, &rp, sizeof rp, 0), static_cast<ssize_t>(sizeof rp));
    EXPECT_EQ(rp.result, -ENOSYS);
    ::close(s);
    struct Case {
        const char* name;
        std::size_t bytes;
        std::uint32_t magic;
    } cases[] = {{"truncated", 10, tav::wire::kMagic},
                 {"oversized", sizeof rq + 8, tav::wire::kMagic},
                 {"foreign", sizeof rq, 0xdeadbeef}};
    for (const Case& c : cases) {
        std::vector<char> msg(c.bytes, 0);
        rq.op = static_cast<std::uint32_t>(tav::wire::Op::Counts);
        rq.magic = c.magic;
        std::memcpy(msg.data(), &rq, std::min(c.bytes, sizeof rq));
        s = rawSocket();
        ASSERT_EQ(::send(s, msg.data(), msg.size(), 0), static_cast<ssize_t>(msg.size()));
        EXPECT_EQ(::recv(s, &rp, sizeof rp, 0), 0) << c.name;
        ::close(s);
    }
    EXPECT_EQ(good->openDescriptors(), 1);
    EXPECT_EQ(other->openDescriptors(), 0);
    State st = {};
    GetState gs = {&st, sizeof st};
    EXPECT_EQ(good->ioctl(fd, TAV_GET_STATE, reinterpret_cast<unsigned long>(&gs)), 0);
    good.reset();  // exits with its descriptor open
    other.reset();
    ASSERT_TRUE(clientsGone());
    EXPECT_EQ(tav::kernel::liveFiles(), files_ + 0);
}

// A transfer buffer in another process: the module's pages at the client's addresses,
// the module's two-area limit, and munmap reaching the driver's close.
TEST_F(DaemonTest, TransferBuffersAreTheModulesPagesInPlace) {
    auto c = connect();
    int fd = c->open(TAV_DEVICE_PATH, O_RDWR);
    ASSERT_GE(fd, 3);
    StartBackup sb = {8, 1, 2048, 1024};
    ASSERT_EQ(c->ioctl(fd, TAV_START_BACKUP, reinterpret_cast<unsigned long>(&sb)), 0);
    State st = {};
    GetState gs = {&st, sizeof st};
    ASSERT_EQ(c->ioctl(fd, TAV_GET_STATE, reinterpret_cast<unsigned long>(&gs)), 0);
    const std::size_t len = static_cast<std::size_t>(st.mmapSize);
    int error = 0;
    void* a = c->mmap(fd, len, PROT_READ, MAP_PRIVATE, 0, &error);
    ASSERT_NE(a, MAP_FAILED) << error;
    void* b = c->mmap(fd, len, PROT_READ, MAP_PRIVATE, 0, &error);
    ASSERT_NE(b, MAP_FAILED) << error;
    EXPECT_EQ(c->mmap(fd, len, PROT_READ, MAP_PRIVATE, 0, &error), MAP_FAILED);
    EXPECT_EQ(error, -EINVAL) << "a third area";
    EXPECT_EQ(c->mappings(), 2);
    // Read-only here: the pages cannot be made writable.
    EXPECT_NE(mprotect(a, 4096, PROT_READ | PROT_WRITE), 0);

    SnapShot ss = {nullptr, 0};
    AMSessionKey key{};
    ss = {&key, sizeof key};
    ASSERT_EQ(c->ioctl(fd, TAV_SNAPSHOT, reinterpret_cast<unsigned long>(&ss)), 0);
    std::vector<std::uint8_t> all(256, 0xFF);
    UserBlockMap ubm = {all.data(), 2048};
    LoadBlockMap lbm = {&ubm, sizeof ubm};
    ASSERT_EQ(c->ioctl(fd, TAV_LOAD_BLOCK_MAP, reinterpret_cast<unsigned long>(&lbm)), 0);
    const std::uint32_t count = static_cast<std::uint32_t>(len / kBlock);
    ReadBlocks rb = {9, count, static_cast<unsigned char*>(b)};
    ASSERT_EQ(c->ioctl(fd, TAV_READ_BLOCKS, reinterpret_cast<unsigned long>(&rb)), 0);
    EXPECT_EQ(std::memcmp(b, truth().data() + 9 * kBlock, count * kBlock), 0);
    EXPECT_EQ(c->munmap(b, len), 0);
    EXPECT_EQ(c->mappings(), 1);
    EXPECT_NE(c->ioctl(fd, TAV_READ_BLOCKS, reinterpret_cast<unsigned long>(&rb)), 0) << "unmapped area";
    c.reset();
    ASSERT_TRUE(clientsGone());
}

// A driver's mapping in a client: the pages nopage gave are its own, in place; a page it
// gave none for raises SIGBUS in the client; the client's exit closes the mapping.
TEST_F(DaemonTest, PagesWithoutAPageAreABusErrorInTheClient) {
    tav::test::TestDriver drv(60, "drv");
    drv.pagesPerMapping = 2;
    auto c = connect();
    int fd = c->open("/dev/drv", O_RDWR);
    ASSERT_GE(fd, 3);
    int error = 0;
    auto* p = static_cast<const u32*>(c->mmap(fd, 4 * 4096, PROT_READ, MAP_PRIVATE, 0, &error));
    ASSERT_NE(p, MAP_FAILED) << error;
    EXPECT_EQ(drv.nopages.load(), 4) << "populated when made";
    EXPECT_EQ(p[0], tav::test::patternWord(0, 0));
    EXPECT_EQ(p[1024 + 5], tav::test::patternWord(1, 5));
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        [[maybe_unused]] volatile u32 x = p[2 * 1024];
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE((tav::test::DiedOf{SIGBUS}(status))) << status;
    c.reset();
    ASSERT_TRUE(clientsGone());
    EXPECT_EQ(drv.vmClosed.size(), 1u);
    EXPECT_EQ(drv.count("release"), 1);
}

// A killed agent is an exiting process: its backup is closed as on release, and the next
// incremental is exact (or a full backup that says why).
TEST_F(DaemonTest, AgentKilledMidCallIsReleasedAndTheNextIncrementalIsSound) {
    ASSERT_EQ(backup("full", "base").code(), 0);
    enum class At { ReadBlocks, SnapShot, LoadBlockMap };
    for (At at : {At::ReadBlocks, At::SnapShot, At::LoadBlockMap}) {
        SCOPED_TRACE(static_cast<int>(at));
        writeBlock(5, 20 + static_cast<int>(at));
        mount_->sync();
        std::atomic<pid_t> victim{0};
        int gate = -1;
        if (at == At::ReadBlocks) gate = disk_->hold(kPartStart, kPartStart + kPartSectors - 1, tav::IoDir::Read);
        if (at == At::SnapShot) onFreeze_ = [&] { kill(victim.load(), SIGKILL); };
        if (at == At::LoadBlockMap)
            server_.beforeRequest = [&](pid_t pid, const tav::wire::Request& rq) {
                if (pid == victim.load() && rq.op == static_cast<std::uint32_t>(tav::wire::Op::Ioctl) &&
                    rq.a == TAV_LOAD_BLOCK_MAP)
                    kill(pid, SIGKILL);
            };
        std::size_t closes = tav::kernel::logCount("closeBackup: backup finished");
        victim = spawnBackup({"incremental", "--repo", (dir_ / "repo").string()}, "victim");
        if (at == At::ReadBlocks) {
            ASSERT_TRUE(disk_->waitHeld(gate, 1));
            kill(victim.load(), SIGKILL);
        }
        ToolRun v = finish(victim.load(), "victim");
        EXPECT_TRUE(WIFSIGNALED(v.status));
        if (gate >= 0) disk_->removeHold(gate);
        ASSERT_TRUE(clientsGone());
        onFreeze_ = nullptr;
        server_.beforeRequest = nullptr;
        EXPECT_EQ(tav::kernel::logCount("closeBackup: backup finished"), closes + 1) << "statistics of the release";
        EXPECT_EQ(tav::kernel::liveFiles(), files_) << "the victim's file is released";

        ToolRun next = backup("incremental", "next");
        ASSERT_EQ(next.code(), 0) << next.err;
        auto j = next.json();
        if (j["kind"] != "incremental") {
            EXPECT_NE(j["fallbackReason"], "") << "a full backup says why";
        }
        EXPECT_EQ(restoreNewest(), truth());
    }
}

// The daemon stopping under a running backup: the agent fails with a clear message and
// the repository keeps nothing of it.
TEST_F(DaemonTest, StopMidBackupFailsTheAgentAndKeepsNothing) {
    int gate = disk_->hold(kPartStart, kPartStart + kPartSectors - 1, tav::IoDir::Read);
    pid_t agent = spawnBackup({"full", "--repo", (dir_ / "repo").string()}, "agent");
    ASSERT_TRUE(disk_->waitHeld(gate, 1));
    std::thread stopper([this] { stopServer(); });
    // The agent's call is in flight: the stop waits for it, and its reply has nowhere to go.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (fs::exists(socket_) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    disk_->removeHold(gate);
    stopper.join();
    ToolRun r = finish(agent, "agent");
    EXPECT_EQ(r.code(), 3) << r.err;
    EXPECT_NE(r.err.find("connection to tavguardd was lost"), std::string::npos) << r.err;
    EXPECT_EQ(repoEntries(), 0u);
    EXPECT_EQ(server_.clients(), 0);
    EXPECT_EQ(tav::kernel::logCount("closeBackup: backup finished"), 1u);
}

TEST_F(DaemonTest, SecondStartIsRefusedBusyAndInfoLeavesTheBackupAlone) {
    auto a = connect();
    auto b = connect();
    int fa = a->open(TAV_DEVICE_PATH, O_RDWR), fb = b->open(TAV_DEVICE_PATH, O_RDWR);
    ASSERT_GE(fa, 3);
    ASSERT_GE(fb, 3);
    StartBackup sb = {8, 1, 2048, 1024};
    ASSERT_EQ(a->ioctl(fa, TAV_START_BACKUP, reinterpret_cast<unsigned long>(&sb)), 0);
    EXPECT_EQ(b->ioctl(fb, TAV_START_BACKUP, reinterpret_cast<unsigned long>(&sb)), TAV_ERR_BACKUP_ACTIVE);
    ToolRun info = finish(spawnBackup({"info"}, "info"), "info");
    EXPECT_EQ(info.code(), 0) << info.err;
    EXPECT_EQ(info.json()["engine"], "tavguardd at " + socket_);
    State st = {};
    GetState gs = {&st, sizeof st};
    ASSERT_EQ(a->ioctl(fa, TAV_GET_STATE, reinterpret_cast<unsigned long>(&gs)), 0);
    EXPECT_EQ(st.state, static_cast<unsigned>(BACKUP_STARTED));
    a.reset();
    ASSERT_TRUE(clientsGone(1));
    int again = b->open(TAV_DEVICE_PATH, O_RDWR);
    EXPECT_EQ(b->ioctl(again, TAV_START_BACKUP, reinterpret_cast<unsigned long>(&sb)), 0) << "free again";
}

TEST_F(DaemonTest, OnlyTheDaemonsUserReachesTheSocket) {
    struct stat stt {};
    ASSERT_EQ(::stat(socket_.c_str(), &stt), 0);
    EXPECT_EQ(stt.st_mode & 0777, 0600u);
    if (geteuid() != 0) GTEST_SKIP() << "needs root to try the socket as another user";
    ::chmod(dir_.c_str(), 0755);
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        int s = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::strcpy(sa.sun_path, socket_.c_str());
        _exit(::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : errno == EACCES ? 1 : 3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 1) << "connect as nobody must fail with EACCES";
    EXPECT_EQ(server_.accepted(), 0);
}

// The daemon binary: a second one on the same socket is refused; SIGTERM stops it cleanly.
TEST(DaemonBinaryTest, SecondDaemonIsRefusedAndSigtermStops) {
    fs::path dir = fs::temp_directory_path() / ("tavguardd-bin-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::string sock = (dir / "s.sock").string(), log = (dir / "log").string();
    auto spawn = [&](const std::string& err) {
        std::vector<std::string> args = {TAV_TAVGUARDD, "--socket", sock, "--log", log};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        return pid;
    };
    pid_t first = spawn((dir / "first.err").string());
    std::unique_ptr<tav::client::Connection> c;
    for (int i = 0; i < 5000 && !c; i++) {
        c = tav::client::Connection::connect(sock);
        if (!c) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(c) << "the daemon never listened";
    EXPECT_EQ(c->daemonPid(), first);
    pid_t second = spawn((dir / "second.err").string());
    int status = 0;
    waitpid(second, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::ifstream err(dir / "second.err");
    std::string text(std::istreambuf_iterator<char>(err), {});
    EXPECT_NE(text.find("another tavguardd is serving " + sock), std::string::npos) << text;
    int fd = c->open(TAV_DEVICE_PATH, O_RDWR);
    EXPECT_GE(fd, 3) << "the first daemon still serves";
    kill(first, SIGTERM);
    waitpid(first, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(c->ioctl(fd, TAV_GET_STATE, 0UL), -ECONNRESET);
    std::ifstream in(log);
    std::string logText(std::istreambuf_iterator<char>(in), {});
    EXPECT_NE(logText.find("info   tavExit:"), std::string::npos) << logText;
    EXPECT_NE(logText.find("tavguardd: stopped"), std::string::npos) << logText;
    EXPECT_FALSE(fs::exists(sock));
    fs::remove_all(dir);
}

}  // namespace
