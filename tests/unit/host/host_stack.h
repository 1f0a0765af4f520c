// Helpers for tests that put the host's own kernel on top of an export: what the host
// must offer (root, /dev/fuse, loop devices), commands with their output, and a record of
// everything set up so that TearDown takes it down even after a failed assertion.
#pragma once

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

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

    void tearDown() {
        for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
        for (auto& l : loops) run("losetup -d " + l);
        for (auto& f : fuses) run("fusermount3 -u -z " + f);
        mounts.clear();
        loops.clear();
        fuses.clear();
    }
};

}  // namespace tav::test
