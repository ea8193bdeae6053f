// The server's own temporary files: one directory per process below the exchange directory, in a
// folder named after the data the server serves, so that the next start of the same data removes
// what a process that did not end in order left behind. The web tier reads direct downloads
// there; they are removed once older than their age.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

#include "tesutil/ustring.h"

namespace KxRpc {

// The environment variable with the age in seconds after which a direct download is removed.
inline constexpr char const *direct_download_age_variable = "KXRPC_DIRECT_DOWNLOAD_AGE";
inline constexpr std::chrono::seconds default_direct_download_age{3600};

// Makes "<exchange>/kxrpc-<key of the data directory>/<pid>-<unique>", holds its lock for the life
// of the process, removes the directories of ended processes (their lock is free) of the same data
// and of any other in the exchange directory, and has every later temporary file made there. Only
// the server may change the two folders; the exchange directory's group may read them (0750) when
// the server may give that group, else nobody else may (0700). An exchange directory in which
// others could rename those folders (one of another owner than the server or root, or one that
// others may write without the sticky bit) is refused. False, with the reason in `why`, when it
// cannot.
bool open_server_tmp_dir(std::string const &exchange, std::string const &data_dir, std::string &why);
// Removes the process's directory with everything in it, and stops the removal of old downloads;
// safe to call again, and when nothing was opened.
void close_server_tmp_dir() noexcept;
// The folder of every process's directory for this data (a real path); empty before it is opened.
std::string server_tmp_root();

// The age from $KXRPC_DIRECT_DOWNLOAD_AGE (whole seconds, at least 1), else the default; false
// for a value that is no such number.
bool read_direct_download_age(std::chrono::seconds &age);
// From now on, direct downloads older than `age` are removed, checked at least every minute.
void expire_direct_downloads_after(std::chrono::seconds age);
// A file made for a direct download, removed once it is older than the age.
void keep_direct_download(Nul::UString const &path);
// A new file "DL<n>" for a direct download in the process's directory (the system's temporary
// directory before one is opened), made with O_EXCL and O_NOFOLLOW, so never through a link left
// at its name: readable by the group the folders have (0640), else private (0600). `fill` writes
// its content, through the descriptor or the path, and raises when it cannot; the file is then
// kept (as by keep_direct_download) and its path answered. A failure removes it and raises.
Nul::UString leave_direct_download(std::function<void(int fd, Nul::UString const &path)> const &fill);
// True when this process may give a file the group `gid`: its own, or one it belongs to.
bool may_give_group(gid_t gid);
// Removes the direct downloads made before `before`; answers how many were removed.
int remove_direct_downloads(std::chrono::steady_clock::time_point before);

} // namespace KxRpc
