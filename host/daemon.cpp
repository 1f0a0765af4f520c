#include "host/daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "kernel/mm.h"
#include "kernel/mman.h"
#include "kernel/printk.h"
#include "kernel/process.h"
#include "tav/sys.h"

namespace tav::host {

struct Server::Conn {
    int fd = -1;
    pid_t pid = 0;
    std::atomic<bool> done{false};
    std::thread thread;
};

namespace {

std::string errnoText(int e) { return std::strerror(e); }

// Runs one request as a task of the connection's process; returns the reply and, for a
// mapping, its page slots.
wire::Reply dispatch(const wire::Request& rq, std::vector<std::int64_t>* slots) {
    wire::Reply rp;
    using wire::Op;
    switch (static_cast<Op>(rq.op)) {
    case Op::Open:
        if (!std::memchr(rq.path, 0, sizeof rq.path)) {
            rp.result = -ENAMETOOLONG;
            break;
        }
        rp.result = tav::sys::open(rq.path, static_cast<int>(rq.a));
        break;
    case Op::Close:
        rp.result = tav::sys::close(rq.fd);
        break;
    case Op::Ioctl:
        rp.result = tav::sys::ioctl(rq.fd, static_cast<unsigned>(rq.a), static_cast<unsigned long>(rq.b));
        break;
    case Op::Read:
        rp.result = tav::sys::read(rq.fd, reinterpret_cast<void*>(rq.a), static_cast<size_t>(rq.b));
        break;
    case Op::Write:
        rp.result = tav::sys::write(rq.fd, reinterpret_cast<const void*>(rq.a), static_cast<size_t>(rq.b));
        break;
    case Op::Poll:
        rp.result = tav::sys::poll(rq.fd, static_cast<short>(rq.a));
        break;
    case Op::Mmap: {
        if (rq.a == 0 || rq.a > wire::kMaxMapBytes || rq.d > static_cast<std::uint64_t>(INT64_MAX)) {
            rp.result = -EINVAL;
            break;
        }
        long addr = tav::kernel::mmapDescriptor(rq.fd, rq.a, static_cast<int>(rq.b), static_cast<int>(rq.c),
                                                static_cast<off_t>(rq.d), static_cast<unsigned long>(rq.e));
        rp.result = addr;
        if (addr < 0) break;
        // Populated at once, like MAP_POPULATE: nopage runs for every page now, and the
        // client maps what it gave at the same place. A page it gave none for is a bus
        // error there.
        size_t pages = (rq.a + PAGE_SIZE - 1) / PAGE_SIZE;
        slots->assign(pages, wire::kPageBusError);
        for (size_t i = 0; i < pages; i++) {
            long off = -1;
            using tav::kernel::FaultResult;
            switch (tav::kernel::handleFault(static_cast<unsigned long>(addr) + i * PAGE_SIZE, false, &off)) {
            case FaultResult::Mapped: (*slots)[i] = off; break;
            case FaultResult::OutOfMemory: (*slots)[i] = wire::kPageOutOfMemory; break;
            default: break;
            }
        }
        rp.pages = static_cast<std::uint32_t>(pages);
        break;
    }
    case Op::Munmap:
        rp.result = tav::sys::munmap(reinterpret_cast<void*>(rq.a), static_cast<size_t>(rq.b));
        break;
    case Op::Counts:
        rp.a = tav::sys::openDescriptors();
        rp.b = tav::sys::mappings();
        break;
    default:
        rp.result = -ENOSYS;
        break;
    }
    return rp;
}

bool sendReply(int fd, const wire::Reply& rp, const std::vector<std::int64_t>& slots) {
    iovec iov[2] = {{const_cast<wire::Reply*>(&rp), sizeof rp},
                    {const_cast<std::int64_t*>(slots.data()), slots.size() * sizeof(std::int64_t)}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = slots.empty() ? 1 : 2;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (!slots.empty()) {
        int arena = tav::kernel::pageArenaFd();
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &arena, sizeof arena);
    }
    ssize_t want = static_cast<ssize_t>(sizeof rp + slots.size() * sizeof(std::int64_t));
    return ::sendmsg(fd, &msg, MSG_NOSIGNAL) == want;
}

}  // namespace

Server::Server() {
    if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) wakeFds_[0] = wakeFds_[1] = -1;
}

Server::~Server() {
    stop();
    reap(true);
    if (listenFd_ >= 0) ::close(listenFd_);
    if (lockFd_ >= 0) ::close(lockFd_);
    for (int fd : wakeFds_)
        if (fd >= 0) ::close(fd);
}

int Server::listen(const std::string& path, std::string* message) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof sa.sun_path) {
        *message = "socket path too long: " + path;
        return -ENAMETOOLONG;
    }
    std::error_code ec;
    auto dir = std::filesystem::path(path).parent_path();
    if (!dir.empty() && !std::filesystem::exists(dir, ec)) {
        std::filesystem::create_directories(dir, ec);
        if (ec) {
            *message = "cannot create " + dir.string() + ": " + ec.message();
            return -ec.value();
        }
        ::chmod(dir.c_str(), 0755);
    }
    std::string lockPath = path + ".lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0) {
        int e = errno;
        *message = "cannot open " + lockPath + ": " + errnoText(e);
        return -e;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        *message = e == EWOULDBLOCK ? "another tavguardd is serving " + path + " (it holds " + lockPath + ")"
                                    : "cannot lock " + lockPath + ": " + errnoText(e);
        return e == EWOULDBLOCK ? -EADDRINUSE : -e;
    }
    // Under the lock a socket file left there is a dead daemon's.
    ::unlink(path.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        int e = errno;
        *message = "socket: " + errnoText(e);
        return -e;
    }
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    mode_t old = ::umask(0177);  // never reachable by others, not even for an instant
    int rc = ::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    int e = errno;
    ::umask(old);
    if (rc != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(listenFd_, 64) != 0) {
        if (rc == 0) e = errno;
        *message = "cannot listen on " + path + ": " + errnoText(e);
        return -e;
    }
    path_ = path;
    return 0;
}

void Server::stop() {
    stopping_.store(true);
    if (wakeFds_[1] >= 0) {
        char c = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFds_[1], &c, 1);
    }
}

void Server::reap(bool all) {
    std::list<std::unique_ptr<Conn>> gone;
    {
        std::lock_guard g(connsLock_);
        for (auto it = conns_.begin(); it != conns_.end();) {
            if (all) ::shutdown((*it)->fd, SHUT_RDWR);
            if (all || (*it)->done.load()) {
                gone.push_back(std::move(*it));
                it = conns_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : gone) {
        if (c->thread.joinable()) c->thread.join();
        ::close(c->fd);
    }
}

void Server::serve() {
    while (!stopping_.load() && listenFd_ >= 0) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (stopping_.load()) break;
        if (!(p[0].revents & POLLIN)) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        reap(false);
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.pid <= 0) {
            ::close(fd);
            continue;
        }
        auto c = std::make_unique<Conn>();
        c->fd = fd;
        c->pid = cred.pid;
        Conn* raw = c.get();
        live_++;
        accepted_++;
        {
            std::lock_guard g(connsLock_);
            conns_.push_back(std::move(c));
            raw->thread = std::thread([this, raw] { run(raw); });
        }
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
        ::unlink(path_.c_str());
    }
    reap(true);
}

void Server::run(Conn* c) {
    tav::kernel::Process* proc = tav::kernel::createRemoteProcess(c->pid);
    printk("<6>tavguardd: process %d connected\n", c->pid);
    const char* why = "closed the connection";
    {
        tav::kernel::ProcessScope scope(proc);
        wire::Request rq;
        std::vector<std::int64_t> slots;
        for (;;) {
            ssize_t n = wire::recvSoon(c->fd, &rq, sizeof rq, MSG_TRUNC);
            if (n == 0) break;
            if (n < 0) {
                if (errno == EINTR) continue;
                why = "lost its connection";
                break;
            }
            if (n != static_cast<ssize_t>(sizeof rq) || rq.magic != wire::kMagic) {
                why = "sent a malformed request";
                break;
            }
            if (beforeRequest) beforeRequest(c->pid, rq);
            slots.clear();
            wire::Reply rp = dispatch(rq, &slots);
            if (!sendReply(c->fd, rp, slots)) {
                why = "is gone";
                break;
            }
        }
        ::shutdown(c->fd, SHUT_RDWR);  // the client sees the end now, not when the daemon reaps
        // Process exit: mappings first, then every descriptor, as a task of the process.
        tav::sys::exitProcess();
    }
    tav::kernel::destroyProcess(proc);
    printk("<6>tavguardd: process %d %s; its files are released\n", c->pid, why);
    live_--;
    c->done.store(true);
}

}  // namespace tav::host
