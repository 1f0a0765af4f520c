// A real ext4 mounted by the host: an image file on a host loop device, mounted on a
// temporary directory, and a file-backed emulated disk over the same image. Writes
// through the host bypass the emulated disk; discovery and freezing do not need them.
// Everything it made is undone in its destructor, in reverse, even after a failure: a
// freeze is thawed, the fs unmounted, the loop device detached.
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tav/blockio.h"

namespace tav::test {

// The command's exit status; its output quiet.
inline int run(const std::string& cmd) {
    int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// The first line the command prints; empty when it fails.
inline std::string firstLine(const std::string& cmd) {
    std::FILE* p = ::popen((cmd + " 2>/dev/null").c_str(), "r");
    if (!p) return {};
    char buf[512] = {};
    std::string out = std::fgets(buf, sizeof buf, p) ? buf : "";
    if (::pclose(p) != 0) return {};
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// Runs fn on its own thread and waits at most timeout for it. A hang (a detach waiting for
// a reference a faulty caller never drops) is then a failure that still lets the test
// undo its host mounts; the stuck thread is left behind.
inline bool finishesWithin(std::function<void()> fn, std::chrono::milliseconds timeout) {
    struct State {
        std::mutex lock;
        std::condition_variable cv;
        bool done = false;  // guarded by lock
    };
    auto state = std::make_shared<State>();
    std::thread([state, fn = std::move(fn)] {
        fn();
        std::lock_guard lk(state->lock);
        state->done = true;
        state->cv.notify_all();
    }).detach();
    std::unique_lock lk(state->lock);
    return state->cv.wait_for(lk, timeout, [&] { return state->done; });
}

// 0 when FIFREEZE on path succeeded (and was undone at once), else the errno: how a test
// tells whether a file system is frozen (EBUSY) without leaving it frozen.
inline int tryFreeze(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int err = ::ioctl(fd, FIFREEZE, 0) == 0 ? 0 : errno;
    if (err == 0) ::ioctl(fd, FITHAW, 0);
    ::close(fd);
    return err;
}

// Writes bytes to a new file at path without syncing it: dirty in the host's page cache.
inline bool writeUnsynced(const std::string& path, const std::vector<unsigned char>& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    return ok;
}

// Whether the disk's store holds bytes anywhere (what reached it, not what a cache holds).
inline bool diskHolds(const Disk& disk, const std::vector<unsigned char>& bytes) {
    std::vector<unsigned char> image(disk.sectors() * 512);
    if (disk.readRaw(0, image.data(), image.size()) != 0) return false;
    return std::search(image.begin(), image.end(), bytes.begin(), bytes.end()) != image.end();
}

// Writes a fresh pattern of bytes to a new file in dir until one is still only in the
// host's page cache when checked (anyone's sync on the host writes it back early); that
// pattern, or empty when five tries all reached the disk at once.
inline std::vector<unsigned char> dirtyPattern(const Disk& disk, const std::string& dir, std::size_t bytes) {
    for (unsigned salt = 1; salt <= 5; ++salt) {
        std::vector<unsigned char> v(bytes);
        for (std::size_t i = 0; i < bytes; ++i)
            v[i] = static_cast<unsigned char>((i * 131 + salt * 29) ^ (i >> 8) ^ 0x5a);
        if (!writeUnsynced(dir + "/dirty" + std::to_string(salt), v)) return {};
        if (!diskHolds(disk, v)) return v;
    }
    return {};
}

class HostLoop {
public:
    // Why the host cannot run these tests; empty when it can.
    static std::string unavailable() {
        if (::geteuid() != 0) return "needs root (losetup, mount)";
        for (const char* tool : {"losetup", "mkfs.ext4", "mount", "umount", "fsfreeze"})
            if (run(std::string("command -v ") + tool) != 0) return std::string(tool) + " is not installed";
        if (!std::filesystem::exists("/dev/loop-control") && !std::filesystem::exists("/dev/loop0"))
            return "no loop devices";
        return {};
    }

    // An image of mb MiB at path, put on a free loop device. False when the host refuses.
    bool create(const std::string& path, unsigned mb) {
        image_ = path;
        if (run("truncate -s " + std::to_string(mb) + "M " + path) != 0) return false;
        loop_ = firstLine("losetup -f --show " + path);
        return !loop_.empty();
    }
    bool mkfs(unsigned blockSize) {
        return run("mkfs.ext4 -q -F -b " + std::to_string(blockSize) + " " + loop_) == 0;
    }
    // Mounts the loop device on dir (made when missing).
    bool mount(const std::string& dir) {
        std::filesystem::create_directories(dir);
        if (run("mount " + loop_ + " " + dir) != 0) return false;
        mounts_.push_back(dir);
        return true;
    }
    bool umount() {
        if (mounts_.empty()) return false;
        std::string dir = mounts_.back();
        run("fsfreeze -u " + dir);
        if (run("umount " + dir) != 0) return false;
        mounts_.pop_back();
        return true;
    }
    ~HostLoop() {
        while (!mounts_.empty()) {
            std::string dir = mounts_.back();
            run("fsfreeze -u " + dir);
            if (run("umount " + dir) != 0) run("umount -l " + dir);
            mounts_.pop_back();
        }
        if (!loop_.empty()) run("losetup -d " + loop_);
        if (!image_.empty()) std::remove(image_.c_str());
    }

    const std::string& loop() const { return loop_; }
    const std::string& image() const { return image_; }
    // A file-backed emulated disk over the image (no partitions).
    std::unique_ptr<Disk> disk(const std::string& name, unsigned major) const {
        DiskConfig c;
        c.name = name;
        c.major = major;
        c.minors = 1;
        c.backing = Backing::File;
        c.path = image_;
        return Disk::create(c);
    }

private:
    std::string image_;
    std::string loop_;
    std::vector<std::string> mounts_;  // mounted by us, innermost last
};

// Unmounts path at scope exit (a mount a test made by hand).
struct Unmount {
    std::string path;
    ~Unmount() {
        if (run("umount " + path) != 0) run("umount -l " + path);
    }
};

// A fresh temporary directory. At destruction its empty directories go, deepest first;
// files stay, so nothing inside a mount that is somehow still there is ever deleted.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "tav-hostfs-XXXXXX").string();
        if (::mkdtemp(tmpl.data())) path_ = tmpl;
    }
    ~TempDir() {
        if (path_.empty()) return;
        std::error_code ec;
        std::vector<std::filesystem::path> dirs;
        for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec)) dirs.push_back(it->path());
        for (auto d = dirs.rbegin(); d != dirs.rend(); ++d) ::rmdir(d->c_str());
        ::rmdir(path_.c_str());
    }
    const std::string& path() const { return path_; }
    std::string sub(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace tav::test
