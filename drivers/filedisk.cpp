// File disk store: an image file reached with preadv/pwritev (the io_uring engine uses
// its descriptor directly).
#include <sys/stat.h>
#include <sys/uio.h>

#include "drivers/disk.h"

namespace tav::drivers {

namespace {

class FileStorage final : public Storage {
public:
    FileStorage(int fd, std::uint64_t bytes) : fd_(fd), bytes_(bytes) {}
    ~FileStorage() override { close(fd_); }

    long readv(std::uint64_t offset, const iovec* iov, int count) override {
        return loop(offset, iov, count, false);
    }
    long writev(std::uint64_t offset, const iovec* iov, int count) override {
        return loop(offset, iov, count, true);
    }
    long readvCached(std::uint64_t offset, const iovec* iov, int count) override {
        ssize_t r = preadv2(fd_, iov, std::min(count, IOV_MAX), static_cast<off_t>(offset), RWF_NOWAIT);
        return r < 0 ? -EAGAIN : r;
    }
    // A blocking write: -EAGAIN only if the file says so, and then the engine tries it.
    long writevInline(std::uint64_t offset, const iovec* iov, int count) override {
        return loop(offset, iov, count, true);
    }
    std::uint64_t bytes() const override { return bytes_; }
    int fd() const override { return fd_; }

private:
    // Repeats short transfers until done, end of file, or an error.
    long loop(std::uint64_t offset, const iovec* iov, int count, bool write) {
        std::vector<iovec> rest(iov, iov + count);
        std::size_t first = 0;
        long done = 0;
        while (first < rest.size()) {
            int n = static_cast<int>(std::min<std::size_t>(rest.size() - first, IOV_MAX));
            ssize_t r = write ? pwritev(fd_, rest.data() + first, n, static_cast<off_t>(offset))
                              : preadv(fd_, rest.data() + first, n, static_cast<off_t>(offset));
            if (r < 0) {
                if (errno == EINTR) continue;
                return done ? done : -errno;
            }
            if (r == 0) break;
            done += r;
            offset += static_cast<std::uint64_t>(r);
            auto left = static_cast<std::size_t>(r);
            while (first < rest.size() && left >= rest[first].iov_len) left -= rest[first++].iov_len;
            if (left) {
                rest[first].iov_base = static_cast<char*>(rest[first].iov_base) + left;
                rest[first].iov_len -= left;
            }
        }
        return done;
    }

    int fd_;
    std::uint64_t bytes_;
};

}  // namespace

std::unique_ptr<Storage> makeFileStorage(const std::string& path, std::uint64_t bytes, int* error) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = -EIO;
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        close(fd);
        *error = -EIO;
        return nullptr;
    }
    auto size = static_cast<std::uint64_t>(st.st_size);
    if (bytes == 0) {
        bytes = size & ~std::uint64_t{511};
    } else if (size < bytes && ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        close(fd);
        *error = -EIO;
        return nullptr;
    }
    if (bytes == 0 || bytes % 512) {
        close(fd);
        *error = -EINVAL;
        return nullptr;
    }
    return std::make_unique<FileStorage>(fd, bytes);
}

}  // namespace tav::drivers
