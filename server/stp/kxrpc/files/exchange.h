// The exchange directory: the one place where the server and a web tier that shares its disk hand
// files to each other. make_attachment_direct names a file there; get_attachment_direct leaves one
// there.
#pragma once

#include <string>

#include "tesutil/ustring.h"
#include "wire/ledger.h"

namespace KxRpc {

// The environment variable that names the exchange directory.
inline constexpr char const *exchange_dir_variable = "KXRPC_EXCHANGE_DIR";

// The real path of the exchange directory: the directory $KXRPC_EXCHANGE_DIR names, else the
// system's temporary directory; empty when that is no existing directory.
std::string exchange_dir();

// True when `dir` (a real path) is `dir` itself or holds `path` (a real path) at any depth.
bool path_inside(std::string const &path, std::string const &dir);

// Takes the file a client names for the server: a regular file inside the exchange directory that
// is none of the server's own files (its data, registry, diagnostics, single-sign-on password,
// crash dumps and temporary files) and lies in no folder that any server makes there ("kxrpc-*",
// whoever made it: another server's downloads and uploads are not this one's to hand out). It is opened once, below a
// descriptor of the exchange directory with no link at any component, and its content is copied at once through that
// descriptor into a new private file of the server's, named like the client's file, whose path
// is answered: what happens to the client's file afterwards is never read. Anything else, a
// missing file included, raises the refusal of a file the product cannot take: reason 40,
// message 68, with the same text whatever the cause, so that a client learns nothing of files it
// may not take. The copy's bytes are added to `charge` before any is copied, so that past the
// session's disk bound the call is refused with nothing copied.
Nul::UString take_exchange_file(Nul::UString const &path, Charge &charge);

// Opens `relative` below the directory `dir_fd` for reading: no component may be a link, and ".."
// never leads above `dir_fd`. A FIFO does not block the open. -1 with errno when it cannot.
int open_beneath(int dir_fd, std::string const &relative);
// The same by a walk of one component at a time, each opened without following a link: what
// open_beneath does where the kernel has no openat2.
int open_beneath_walk(int dir_fd, std::string const &relative);

} // namespace KxRpc
