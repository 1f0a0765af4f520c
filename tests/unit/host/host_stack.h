// Helpers for tests that put the host's own kernel on top of an export: what the host
// must offer (root, /dev/fuse, loop devices), commands with their output, and a record of
// everything set up so that TearDown takes it down even after a failed assertion.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "kernel/blkdev.h"

namespace tav::test {

struct CommandResult {
    int status = -1;
    std::string out;
    int code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
};

// Runs a shell command; stdout and stderr together.
inline CommandResult run(const std::string& cmd) {
    CommandResult r;
    FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    r.status = ::pclose(p);
    return r;
}

inline bool haveTool(const char* tool) { return run(std::string("command -v ") + tool).code() == 0; }

// Empty when the host can run FUSE exports, else why not.
inline std::string fuseMissing() {
    if (::geteuid() != 0) return "needs root";
    int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) return "no usable /dev/fuse";
    ::close(fd);
    return "";
}

// Empty when loop devices, mkfs.ext4 and e2fsck are there too.
inline std::string loopMissing() {
    if (std::string why = fuseMissing(); !why.empty()) return why;
    if (!std::filesystem::exists("/dev/loop-control")) return "no /dev/loop-control";
    for (const char* t : {"losetup", "mkfs.ext4", "e2fsck", "fusermount3"})
        if (!haveTool(t)) return std::string("no ") + t;
    return "";
}

// What a test put up, taken down in reverse order whatever happened.
struct StackRecord {
    std::vector<std::string> mounts;  // host mount points
    std::vector<std::string> loops;   // loop devices
    std::vector<std::string> fuses;   // FUSE mount points
    std::vector<std::string> backing;  // files loop devices may have been put on

    void tearDown() {
        // A clean unmount when it can (a lazy one keeps the loop device busy until the
        // host lets go of the fs), else a lazy one.
        for (auto it = mounts.rbegin(); it != mounts.rend(); ++it)
            if (::umount2(it->c_str(), 0) != 0) ::umount2(it->c_str(), MNT_DETACH);
        for (auto& f : backing) {
            std::string list = run("losetup -nO NAME -j " + f).out;
            for (std::size_t at = 0, nl; (nl = list.find('\n', at)) != std::string::npos; at = nl + 1)
                loops.push_back(list.substr(at, nl - at));
        }
        for (auto& l : loops) run("losetup -d " + l);
        for (auto& f : fuses) run("fusermount3 -u -z " + f);
        mounts.clear();
        loops.clear();
        fuses.clear();
        backing.clear();
    }
};

// A test that serves FUSE in its own process and dies (a sanitizer's report, a crash)
// while one of its threads waits on the export wedges: that thread waits uninterruptibly
// for an answer no thread will give, so the process never closes /dev/fuse. A watchdog
// process aborts the connection then (one thread left, in D state), and unmounts the
// export once the process is gone.
class FuseWatchdog {
public:
    ~FuseWatchdog() { stop(); }
    void start(const std::string& mountPoint) {
        struct stat st{};
        if (::stat(mountPoint.c_str(), &st) != 0) return;
        std::string conn = "/sys/fs/fuse/connections/" + std::to_string(minor(st.st_dev));
        std::string script =
            "P=" + std::to_string(::getpid()) + "; n=0; "
            "[ -d " + conn + " ] || mount -t fusectl none /sys/fs/fuse/connections 2>/dev/null; "
            "while [ -d /proc/$P ]; do "
            "  set -- $(sed 's/^.*) //' /proc/$P/stat 2>/dev/null) x; "
            "  if [ \"$1\" = D ] && [ \"${18}\" = 1 ]; then n=$((n+1)); else n=0; fi; "
            "  if [ $n -ge 4 ]; then echo 1 > " + conn + "/abort; break; fi; "
            "  sleep 0.5; "
            "done; "
            "while [ -d /proc/$P ]; do sleep 0.5; done; "
            "mountpoint -q '" + mountPoint + "' && fusermount3 -u -z '" + mountPoint + "'";
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setsid();
            ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

// Stands in front of a disk's driver as the module's hook would: sees every bio that
// generic_make_request hands the queue.
struct QueueSpy {
    static inline std::atomic<make_request_fn*> real{nullptr};
    static inline std::atomic<long> bios{0}, writes{0}, largestSectors{0};
    static int fn(request_queue_t* q, struct bio* bio) {
        bios++;
        if (bio_data_dir(bio) == WRITE) writes++;
        long s = bio_sectors(bio);
        for (long m = largestSectors.load(); s > m && !largestSectors.compare_exchange_weak(m, s);) {
        }
        return real.load()(q, bio);
    }
    static void install(request_queue_t* q) {
        bios = writes = largestSectors = 0;
        real = q->make_request_fn;
        q->make_request_fn = fn;
    }
    static void remove(request_queue_t* q) { q->make_request_fn = real.load(); }
};

}  // namespace tav::test
