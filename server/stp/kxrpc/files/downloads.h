// Direct downloads: files that get_attachment_direct leaves in the server's temporary directory for
// a web tier that shares its disk. Each is charged to the session that asked for it, and goes once
// older than its age, or when its session ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "tesutil/oid.h"
#include "tesutil/ustring.h"

namespace KxRpc {

// The environment variable with the age in seconds after which a direct download is removed.
inline constexpr char const *direct_download_age_variable = "KXRPC_DIRECT_DOWNLOAD_AGE";
inline constexpr std::chrono::seconds default_direct_download_age{3600};

// The age from $KXRPC_DIRECT_DOWNLOAD_AGE (whole seconds, at least 1), else the default; false
// for a value that is no such number.
bool read_direct_download_age(std::chrono::seconds &age);
// From now on, direct downloads older than `age` are removed, checked at least every minute.
void expire_direct_downloads_after(std::chrono::seconds age);
// Stops the removal of old downloads and forgets the files (the process's directory takes them).
void stop_direct_downloads() noexcept;
// A file made for a direct download, removed once it is older than the age.
void keep_direct_download(Nul::UString const &path);
// A new file "DL<n>" for a direct download of the session `owner` (nil: none) in the server's
// temporary directory (see new_server_file). `expected` bytes are charged to the session before the
// file is made, and what the file holds once `fill` has written it (through the descriptor or the
// path, raising when it cannot), so that past KX_SESSION_DISK_BYTES the call is refused and the
// file removed. The file is then kept, charged, until it is older than the age or its session
// ends, and its path answered. A failure removes it and raises.
Nul::UString leave_direct_download(Nul::Oid const &owner, std::uint64_t expected,
                                   std::function<void(int fd, Nul::UString const &path)> const &fill);
Nul::UString leave_direct_download(std::function<void(int fd, Nul::UString const &path)> const &fill);
// Removes the direct downloads made before `before`; answers how many were removed.
int remove_direct_downloads(std::chrono::steady_clock::time_point before);
// Removes the direct downloads of the session `owner`, which has ended; answers how many.
int remove_session_downloads(Nul::Oid const &owner);

} // namespace KxRpc
