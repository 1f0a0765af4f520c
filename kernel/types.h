// Basic kernel types, device numbers and error numbers.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <cstdlib>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using s32 = std::int32_t;
using s64 = std::int64_t;

using sector_t = u64;
// The kernel's dev_t is 32 bits; the host's is 64. Host headers that declare it are all
// included above, so the rename below cannot reach them.
using dev_t_k = u32;
#define dev_t dev_t_k
using gfp_t = unsigned int;
using loff_t_k = long long;

#define __user

// Kernel-internal device number: major in the high 12 bits, minor in the low 20.
constexpr unsigned MINORBITS = 20;
constexpr u32 MINORMASK = (1U << MINORBITS) - 1;
constexpr unsigned MAJOR(u32 dev) { return dev >> MINORBITS; }
constexpr unsigned MINOR(u32 dev) { return dev & MINORMASK; }
constexpr u32 MKDEV(unsigned ma, unsigned mi) { return (ma << MINORBITS) | mi; }

#define likely(x) __builtin_expect(!!(x), 1)
#define unlikely(x) __builtin_expect(!!(x), 0)

#define container_of(ptr, type, member) \
    reinterpret_cast<type*>(reinterpret_cast<char*>(ptr) - offsetof(type, member))

constexpr unsigned long PAGE_SHIFT = 12;
constexpr unsigned long PAGE_SIZE = 1UL << PAGE_SHIFT;
constexpr unsigned long PAGE_MASK = ~(PAGE_SIZE - 1);

// The kernel's fatal assertion: logs a critical line and aborts the process.
[[noreturn]] void kernelBug(const char* file, int line);
#define BUG() kernelBug(__FILE__, __LINE__)
#define BUG_ON(c) do { if (unlikely(c)) BUG(); } while (0)
