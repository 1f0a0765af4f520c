// The wire format between tavguardd and its clients: one SOCK_SEQPACKET connection per
// client process, one Request and one Reply message per system call, in the host's byte
// order (both ends run on one machine). User memory never travels here: the daemon reads
// and writes the client's memory itself, and a mapping's pages come as page-arena
// offsets with the arena's descriptor attached.
#pragma once

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

namespace tav::wire {

inline constexpr std::uint32_t kMagic = 0x31564154;  // "TAV1"

enum class Op : std::uint32_t {
    Open = 1,    // path, a: flags
    Close = 2,   // fd
    Ioctl = 3,   // fd, a: cmd, b: arg
    Read = 4,    // fd, a: buffer, b: count
    Write = 5,   // fd, a: buffer, b: count
    Poll = 6,    // fd, a: events
    Mmap = 7,    // fd, a: length, b: prot, c: flags, d: offset, e: the client's reserved range
    Munmap = 8,  // a: address, b: length
    Counts = 9,  // reply a: open descriptors, b: mappings of the process
};

struct Request {
    std::uint32_t magic = kMagic;
    std::uint32_t op = 0;
    std::int32_t fd = -1;
    std::uint32_t reserved = 0;
    std::uint64_t a = 0, b = 0, c = 0, d = 0, e = 0;
    char path[64] = {};  // NUL-terminated
};

// Mmap replies are followed by `pages` slots, one per page of the mapping: an arena
// offset, or one of these.
inline constexpr std::int64_t kPageBusError = -1;
inline constexpr std::int64_t kPageOutOfMemory = -2;

struct Reply {
    std::int64_t result = 0;  // the call's result (a negative errno on failure)
    std::int64_t a = 0, b = 0;
    std::uint32_t pages = 0;
    std::uint32_t reserved = 0;
};

// A mapping populated at once may not exceed this (the reply carries a slot per page).
inline constexpr std::uint64_t kMaxMapBytes = 16u << 20;

// A reply, or a client's next request, often follows within microseconds, while a sleep in
// recv and the cross-CPU wake-up that ends it cost tens of them on a virtual machine: the
// waiting side polls for about that long before it sleeps.
inline constexpr std::chrono::microseconds kReplyPoll{50};

inline ssize_t recvSoon(int fd, void* buf, std::size_t len, int flags,
                        std::chrono::microseconds window = kReplyPoll) {
    auto until = std::chrono::steady_clock::now() + window;
    do {
        ssize_t n = ::recv(fd, buf, len, flags | MSG_DONTWAIT);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return n;
    } while (std::chrono::steady_clock::now() < until);
    return ::recv(fd, buf, len, flags);
}

}  // namespace tav::wire
