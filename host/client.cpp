#include "tav/client.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/protocol.h"

namespace tav::client {

namespace {

constexpr unsigned long kPage = 4096;

}  // namespace

std::string defaultSocketPath() {
    const char* env = std::getenv("TAVGUARD_SOCKET");
    return env && *env ? env : "/run/tavguard/tavguardd.sock";
}

std::unique_ptr<Connection> Connection::connect(const std::string& socketPath, int* error) {
    std::unique_ptr<Connection> c(new Connection);
    c->path_ = socketPath;
    int rc = c->dial();
    if (error) *error = rc;
    if (rc) return nullptr;
    return c;
}

int Connection::dial() {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path_.size() >= sizeof sa.sun_path) return -ENAMETOOLONG;
    std::memcpy(sa.sun_path, path_.c_str(), path_.size() + 1);
    int s = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s < 0) return -errno;
    if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        int e = -errno;
        ::close(s);
        return e;
    }
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(s, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) daemonPid_ = cred.pid;
    // Where ptrace is limited to descendants, the daemon may still reach our memory.
    prctl(PR_SET_PTRACER, static_cast<unsigned long>(daemonPid_), 0, 0, 0);
    sock_ = s;
    return 0;
}

Connection::~Connection() {
    for (auto& [start, end] : mapped_) ::munmap(reinterpret_cast<void*>(start), end - start);
    if (sock_ >= 0) ::close(sock_);
    if (arenaFd_ >= 0) ::close(arenaFd_);
    if (emptyFd_ >= 0) ::close(emptyFd_);
}

// A ReadBlocks of a full transfer buffer takes the daemon about a hundred microseconds.
constexpr std::chrono::microseconds kCallPoll{200};

// Caller holds lock_.
Connection::Result Connection::call(unsigned op, int fd, unsigned long long a, unsigned long long b) {
    wire::Request rq;
    rq.op = op;
    rq.fd = fd;
    rq.a = a;
    rq.b = b;
    wire::Reply rp;
    if (sock_ < 0 || ::send(sock_, &rq, sizeof rq, MSG_NOSIGNAL) != sizeof rq ||
        wire::recvSoon(sock_, &rp, sizeof rp, 0, kCallPoll) != sizeof rp)
        return {-ECONNRESET, 0, 0};
    return {rp.result, rp.a, rp.b};
}

int Connection::open(const char* path, int flags) {
    wire::Request rq;
    rq.op = static_cast<unsigned>(wire::Op::Open);
    rq.a = static_cast<unsigned>(flags);
    if (!path || std::strlen(path) >= sizeof rq.path) return path ? -ENAMETOOLONG : -EFAULT;
    std::strcpy(rq.path, path);
    std::lock_guard g(lock_);
    wire::Reply rp;
    if (sock_ < 0 || ::send(sock_, &rq, sizeof rq, MSG_NOSIGNAL) != sizeof rq ||
        wire::recvSoon(sock_, &rp, sizeof rp, 0) != sizeof rp)
        return -ECONNRESET;
    return static_cast<int>(rp.result);
}

int Connection::close(int fd) {
    std::lock_guard g(lock_);
    return static_cast<int>(call(static_cast<unsigned>(wire::Op::Close), fd).result);
}

int Connection::ioctl(int fd, unsigned int cmd, unsigned long arg) {
    std::lock_guard g(lock_);
    return static_cast<int>(call(static_cast<unsigned>(wire::Op::Ioctl), fd, cmd, arg).result);
}

ssize_t Connection::read(int fd, void* buf, size_t count) {
    std::lock_guard g(lock_);
    return call(static_cast<unsigned>(wire::Op::Read), fd, reinterpret_cast<unsigned long>(buf), count).result;
}

ssize_t Connection::write(int fd, const void* buf, size_t count) {
    std::lock_guard g(lock_);
    return call(static_cast<unsigned>(wire::Op::Write), fd, reinterpret_cast<unsigned long>(buf), count).result;
}

int Connection::poll(int fd, short events) {
    std::lock_guard g(lock_);
    Result r = call(static_cast<unsigned>(wire::Op::Poll), fd, static_cast<unsigned short>(events));
    return r.result < 0 ? POLLNVAL : static_cast<int>(r.result);
}

void* Connection::mmap(int fd, size_t length, int prot, int flags, off_t offset, int* error) {
    auto fail = [&](int e) {
        if (error) *error = e;
        return MAP_FAILED;
    };
    size_t len = (length + kPage - 1) & ~(kPage - 1);
    if (!len || len > wire::kMaxMapBytes) return fail(-EINVAL);
    // The range is ours before the daemon records a mapping there.
    void* range = ::mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (range == MAP_FAILED) return fail(-ENOMEM);
    auto start = reinterpret_cast<unsigned long>(range);

    wire::Request rq;
    rq.op = static_cast<unsigned>(wire::Op::Mmap);
    rq.fd = fd;
    rq.a = length;
    rq.b = static_cast<unsigned>(prot);
    rq.c = static_cast<unsigned>(flags);
    rq.d = static_cast<std::uint64_t>(offset);
    rq.e = start;
    std::vector<std::int64_t> slots(len / kPage);
    wire::Reply rp;
    iovec iov[2] = {{&rp, sizeof rp}, {slots.data(), slots.size() * sizeof(std::int64_t)}};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;

    std::lock_guard g(lock_);
    ssize_t got = -1;
    if (sock_ >= 0 && ::send(sock_, &rq, sizeof rq, MSG_NOSIGNAL) == sizeof rq)
        got = ::recvmsg(sock_, &msg, MSG_CMSG_CLOEXEC);
    int passed = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); got > 0 && c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) std::memcpy(&passed, CMSG_DATA(c), sizeof passed);
    if (got < static_cast<ssize_t>(sizeof rp)) {
        if (passed >= 0) ::close(passed);
        ::munmap(range, len);
        return fail(-ECONNRESET);
    }
    if (rp.result < 0) {
        if (passed >= 0) ::close(passed);
        ::munmap(range, len);
        return fail(static_cast<int>(rp.result));
    }
    if (arenaFd_ < 0 && passed >= 0) {
        // Our own read-only description of the arena: these pages can never be made writable here.
        arenaFd_ = ::open(("/proc/self/fd/" + std::to_string(passed)).c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (passed >= 0) ::close(passed);
    if (emptyFd_ < 0) emptyFd_ = memfd_create("tavguard-sigbus", MFD_CLOEXEC);
    bool ok = arenaFd_ >= 0 && emptyFd_ >= 0 && rp.pages == slots.size() &&
              got == static_cast<ssize_t>(sizeof rp + slots.size() * sizeof(std::int64_t));
    // Runs of consecutive arena pages go in one mapping each.
    for (size_t i = 0; ok && i < slots.size();) {
        void* at = reinterpret_cast<void*>(start + i * kPage);
        if (slots[i] < 0) {
            ok = ::mmap(at, kPage, PROT_READ, MAP_SHARED | MAP_FIXED, emptyFd_, 0) == at;
            i++;
            continue;
        }
        size_t n = 1;
        while (i + n < slots.size() && slots[i + n] == slots[i] + static_cast<std::int64_t>(n * kPage)) n++;
        ok = ::mmap(at, n * kPage, PROT_READ, MAP_SHARED | MAP_FIXED, arenaFd_, slots[i]) == at;
        i += n;
    }
    if (!ok) {
        ::munmap(range, len);
        call(static_cast<unsigned>(wire::Op::Munmap), -1, start, len);
        return fail(-ENOMEM);
    }
    mapped_[start] = start + len;
    if (error) *error = 0;
    return range;
}

// Caller holds lock_. Forgets and unmaps our part of [start, end).
void Connection::unmapLocal(unsigned long start, unsigned long end) {
    ::munmap(reinterpret_cast<void*>(start), end - start);
    std::map<unsigned long, unsigned long> next;
    for (auto& [s, e] : mapped_) {
        if (e <= start || s >= end) {
            next[s] = e;
            continue;
        }
        if (s < start) next[s] = start;
        if (e > end) next[end] = e;
    }
    mapped_.swap(next);
}

int Connection::munmap(void* addr, size_t length) {
    auto start = reinterpret_cast<unsigned long>(addr);
    size_t len = (length + kPage - 1) & ~(kPage - 1);
    if ((start & (kPage - 1)) || !len || start + len < start) return -EINVAL;
    std::lock_guard g(lock_);
    // Ours first: the daemon may reuse the pages once its mapping is gone.
    bool any = false;
    for (auto& [s, e] : mapped_) any = any || (s < start + len && e > start);
    if (any) unmapLocal(start, start + len);
    return static_cast<int>(call(static_cast<unsigned>(wire::Op::Munmap), -1, start, len).result);
}

void* Connection::forkMapping(void*, int* error) {
    if (error) *error = -ENOSYS;
    return MAP_FAILED;
}

int Connection::touch(const void*, bool) { return -ENOSYS; }

void Connection::exitProcess() {
    std::lock_guard g(lock_);
    for (auto& [start, end] : mapped_) ::munmap(reinterpret_cast<void*>(start), end - start);
    mapped_.clear();
    if (sock_ >= 0) ::close(sock_);
    sock_ = -1;
    dial();
}

int Connection::mknod(const char*, unsigned int, unsigned int) { return -EPERM; }
int Connection::unlink(const char*) { return -EPERM; }

long Connection::openDescriptors() {
    std::lock_guard g(lock_);
    Result r = call(static_cast<unsigned>(wire::Op::Counts), -1);
    return r.result < 0 ? r.result : r.a;
}

long Connection::mappings() {
    std::lock_guard g(lock_);
    Result r = call(static_cast<unsigned>(wire::Op::Counts), -1);
    return r.result < 0 ? r.result : r.b;
}

}  // namespace tav::client
