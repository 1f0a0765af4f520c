// tavguardd's server: the unix socket, one connection per client process, one thread per
// connection running that process's system calls as a task of it (kernel/process.h).
// The machine (module, disks, mounts) belongs to the caller and outlives the server.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/protocol.h"

namespace tav::host {

class Server {
public:
    Server();
    ~Server();  // stop() and wait
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Takes the socket: a lock next to it (a second daemon on the same path is refused
    // with a message naming it), then binds it with mode 0600 (only the daemon's user
    // can connect). Creates the directory (0755) when missing. 0, or a negative errno
    // and *message.
    int listen(const std::string& path, std::string* message);
    // Accepts clients until stop(); then closes every connection (their calls in flight
    // finish first; each client is then an exiting process) and returns.
    void serve();
    // From any thread (or after sigwait).
    void stop();

    long clients() const { return live_.load(); }
    long accepted() const { return accepted_.load(); }
    // Runs on a connection's thread before each well-formed request, with the client's
    // pid, outside the module (tests order races with it).
    std::function<void(pid_t, const wire::Request&)> beforeRequest;

private:
    struct Conn;
    void run(Conn* c);
    void reap(bool all);

    std::string path_;
    int listenFd_ = -1;
    int lockFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::atomic<long> live_{0}, accepted_{0};
    std::mutex connsLock_;  // guards conns_
    std::list<std::unique_ptr<Conn>> conns_;
};

}  // namespace tav::host
