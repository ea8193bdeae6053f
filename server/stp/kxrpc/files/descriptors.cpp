#include "files/descriptors.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "kxproduct/faults.h"

namespace KxRpc {

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

bool UniqueFd::close() {
    if (fd_ < 0) return true;
    return ::close(release()) == 0;
}

namespace {

constexpr std::size_t slice = 64u << 10;

} // namespace

bool injected_write_failure() {
    std::optional<KXFault> const fault = KXFaultInjector::Enter("KxRpc::write", KXFaultInjector::kStatus);
    if (!fault) return false;
    errno = fault->status;
    return true;
}

bool disk_full(int error) { return error == ENOSPC || error == EDQUOT; }

bool write_all(int fd, char const *bytes, std::size_t count) {
    while (count > 0) {
        if (injected_write_failure()) return false;
        ssize_t const n = ::write(fd, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool copy_content(int from, int to, std::size_t limit) {
    std::size_t copied = 0;
    bool in_kernel = true;
    std::vector<char> buffer;
    for (;;) {
        // One byte past the limit tells a file that is too large from one that is just large enough.
        std::size_t const want = std::min(slice, limit - copied + 1);
        ssize_t n = -1;
        if (injected_write_failure()) return false;
        if (in_kernel) {
            n = ::copy_file_range(from, nullptr, to, nullptr, want, 0);
            if (n < 0 && errno != EINTR) {
                // Across file systems or where the kernel cannot: the plain way, from the same offset.
                if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
                in_kernel = false;
            }
        }
        if (!in_kernel) {
            buffer.resize(slice);
            n = ::read(from, buffer.data(), want);
            if (n > 0 && !write_all(to, buffer.data(), static_cast<std::size_t>(n))) return false;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        copied += static_cast<std::size_t>(n);
        if (copied > limit) return false;
    }
}

} // namespace KxRpc
