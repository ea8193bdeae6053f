// File descriptors the server owns, and content copied from one to another.
#pragma once

#include <cstddef>

namespace KxRpc {

// Closes its descriptor when it goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(UniqueFd const &) = delete;
    UniqueFd &operator=(UniqueFd const &) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int const fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);
    // Closes it now; false when the close reports a failure (a write that did not reach the disk).
    bool close();

private:
    int fd_ = -1;
};

// True, with errno set, when a test has made the next write of the server's files fail: the
// product's fault injector, operation "KxRpc::write", a LookupStatus fault whose status is the errno
// (ENOSPC for a full disk). False at once when nothing is armed.
bool injected_write_failure();

// True for the errors of a disk that is full or a quota that is spent.
bool disk_full(int error);

// Writes every byte, going on after a short write; false when a write fails.
bool write_all(int fd, char const *bytes, std::size_t count);

// Copies what `from` holds from its offset to its end onto `to`, in the kernel where it can; false
// when a read or write fails or more than `limit` bytes are there.
bool copy_content(int from, int to, std::size_t limit);

} // namespace KxRpc
