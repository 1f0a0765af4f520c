// RAM disk store: anonymous memory, reserved lazily so large sparse disks cost nothing
// until written.
#include <sys/mman.h>

#include <cstring>

#include "drivers/disk.h"

namespace tav::drivers {

namespace {

class RamStorage final : public Storage {
public:
    RamStorage(char* base, std::uint64_t bytes) : base_(base), bytes_(bytes) {}
    ~RamStorage() override { munmap(base_, bytes_); }

    long readv(std::uint64_t offset, const iovec* iov, int count) override {
        return move(offset, iov, count, false);
    }
    long writev(std::uint64_t offset, const iovec* iov, int count) override {
        return move(offset, iov, count, true);
    }
    std::uint64_t bytes() const override { return bytes_; }

private:
    long move(std::uint64_t offset, const iovec* iov, int count, bool write) {
        long done = 0;
        for (int i = 0; i < count && offset < bytes_; ++i) {
            std::size_t n = std::min<std::uint64_t>(iov[i].iov_len, bytes_ - offset);
            if (write)
                std::memcpy(base_ + offset, iov[i].iov_base, n);
            else
                std::memcpy(iov[i].iov_base, base_ + offset, n);
            offset += n;
            done += static_cast<long>(n);
        }
        return done;
    }

    char* base_;
    std::uint64_t bytes_;
};

}  // namespace

std::unique_ptr<Storage> makeRamStorage(std::uint64_t bytes, int* error) {
    if (bytes == 0 || bytes % 512) {
        *error = -EINVAL;
        return nullptr;
    }
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        *error = -ENOMEM;
        return nullptr;
    }
    return std::make_unique<RamStorage>(static_cast<char*>(p), bytes);
}

}  // namespace tav::drivers
