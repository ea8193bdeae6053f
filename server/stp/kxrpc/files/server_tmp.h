// The server's own temporary files: one directory per process below the exchange directory, in a
// folder named after the data the server serves, so that the next start of the same data removes
// what a process that did not end in order left behind. The web tier reads direct downloads there.
#pragma once

#include <sys/types.h>

#include <string>

#include "files/descriptors.h"

namespace KxRpc {

// Every folder that a server makes in the exchange directory starts with this.
inline constexpr char const *server_folder_prefix = "kxrpc-";

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

// A new file "<prefix><n>" in the process's directory (the system's temporary directory before one
// is opened), made with O_EXCL and O_NOFOLLOW, so never through a link left at its name: readable
// by the group the folders have (0640), else private (0600). Its descriptor, with its path in
// `path`; raises an internal error when it cannot be made.
UniqueFd new_server_file(char const *prefix, std::string &path);
// True when this process may give a file the group `gid`: its own, or one it belongs to.
bool may_give_group(gid_t gid);

} // namespace KxRpc
