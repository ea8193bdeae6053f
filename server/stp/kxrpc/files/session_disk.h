// Disk bytes that the server's files hold for each login session: held uploads, direct copies of
// clients' files and direct downloads. One session holds at most the bound; a charge past it is
// refused before any content is taken, and bytes come back when their file goes.
#pragma once

#include <cstdint>

#include "tesutil/oid.h"

namespace KxRpc {

// The bound in bytes (KX_SESSION_DISK_BYTES; default 2 GiB, the largest call record).
inline constexpr char const *session_disk_bytes_variable = "KX_SESSION_DISK_BYTES";
inline constexpr std::uint64_t default_session_disk_bytes = std::uint64_t(2) << 30;
std::uint64_t session_disk_bytes();
// 0 sets the environment's value (or the default) again.
void set_session_disk_bytes(std::uint64_t bytes);

// Bytes charged to one session for one file, given back when the charge goes (or is released).
// Files made outside a session (a nil owner: tools, tests) are not counted.
class DiskCharge {
public:
    DiskCharge() = default;
    // Charges `bytes` to `owner`; past the bound nothing is charged and the refusal is raised:
    // reason 40, "... KX_SESSION_DISK_BYTES ...".
    DiskCharge(Nul::Oid const &owner, std::uint64_t bytes);
    DiskCharge(DiskCharge &&other) noexcept;
    DiskCharge &operator=(DiskCharge &&other) noexcept;
    DiskCharge(DiskCharge const &) = delete;
    DiskCharge &operator=(DiskCharge const &) = delete;
    ~DiskCharge() { release(); }

    // Charges `bytes` more to the same owner, refused as above (what was charged stays).
    void grow(std::uint64_t bytes);
    void release() noexcept;
    std::uint64_t bytes() const { return bytes_; }
    Nul::Oid const &owner() const { return owner_; }

private:
    Nul::Oid owner_;
    std::uint64_t bytes_ = 0;
};

// The bytes charged to `owner` now.
std::uint64_t session_disk_held(Nul::Oid const &owner);

} // namespace KxRpc
