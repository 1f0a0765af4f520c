// The system-call seam over tavguardd's unix socket: a Connection is one process in the
// daemon (its own descriptors and mappings there); set it as the tav::sys backend and
// open, ioctl, mmap, ... reach the daemon's module. Argument records and read/write
// buffers stay in this process: the daemon reads and writes them here itself. A mapping
// is populated when it is made: its pages are the module's, mapped read-only at their
// place from the daemon's page arena, and a page the driver gave none for raises SIGBUS.
//
// Calls from many threads are taken one at a time. When the daemon goes away every call
// fails with -ECONNRESET (mmap's *error too). Closing the connection (or this process
// dying) is process exit in the daemon: its mappings go, then its files are released.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "tav/sys.h"

namespace tav::client {

// /run/tavguard/tavguardd.sock, or $TAVGUARD_SOCKET when set.
std::string defaultSocketPath();

class Connection final : public tav::sys::Backend {
public:
    // Null with *error (a negative errno: -ENOENT no socket, -ECONNREFUSED no daemon,
    // -EACCES not allowed) on failure.
    static std::unique_ptr<Connection> connect(const std::string& socketPath, int* error = nullptr);
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    pid_t daemonPid() const { return daemonPid_; }
    const std::string& socketPath() const { return path_; }

    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned int cmd, unsigned long arg) override;
    ssize_t read(int fd, void* buf, size_t count) override;
    ssize_t write(int fd, const void* buf, size_t count) override;
    int poll(int fd, short events) override;
    void* mmap(int fd, size_t length, int prot, int flags, off_t offset, int* error) override;
    int munmap(void* addr, size_t length) override;
    void* forkMapping(void* addr, int* error) override;  // -ENOSYS
    int touch(const void* addr, bool write) override;    // -ENOSYS
    // Unmaps everything here and starts a new, empty process in the daemon.
    void exitProcess() override;
    int mknod(const char* path, unsigned int major, unsigned int minor) override;  // -EPERM
    int unlink(const char* path) override;                                         // -EPERM
    long openDescriptors() override;
    long mappings() override;

private:
    Connection() = default;
    struct Result {
        long long result;
        long long a, b;
    };
    int dial();
    Result call(unsigned op, int fd, unsigned long long a = 0, unsigned long long b = 0);
    void unmapLocal(unsigned long start, unsigned long end);

    std::string path_;
    pid_t daemonPid_ = 0;
    std::mutex lock_;                          // one call at a time; guards what follows
    int sock_ = -1;
    int arenaFd_ = -1;                         // the daemon's page arena, read-only
    int emptyFd_ = -1;                         // an empty file: a page of it raises SIGBUS
    std::map<unsigned long, unsigned long> mapped_;  // our mapped ranges: start -> end
};

}  // namespace tav::client
