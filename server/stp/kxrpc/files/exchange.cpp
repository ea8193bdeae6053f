#include "files/exchange.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "files/descriptors.h"
#include "files/server_tmp.h"
#include "kxproduct/store.h"
#include "kxwin/registry.h"
#include "tesutil/fileutl.h"
#include "tesutil/stpexception.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"

namespace KxRpc {

namespace {

// The canonical form of an existing path, or empty.
std::string real_path(std::string const &path) {
    if (path.empty()) return std::string();
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string registry_root() {
    std::string root(kxwin_registry_get_root(nullptr, 0) + 1, '\0');
    root.resize(kxwin_registry_get_root(root.data(), root.size()));
    return root;
}

std::string working_dir() {
    char buffer[PATH_MAX];
    return ::getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

// Crash dumps are "kxrpc_<n>_<pid>.dmp" in the working directory.
bool crash_dump(std::string const &file, std::string const &cwd) {
    if (cwd.empty() || !path_inside(file, cwd) || file.size() <= cwd.size() + 1) return false;
    std::string_view const name = std::string_view(file).substr(cwd.size() + (cwd == "/" ? 0 : 1));
    return name.find('/') == std::string_view::npos && name.starts_with("kxrpc_") && name.ends_with(".dmp");
}

bool server_file(std::string const &file) {
    // What the kernel makes up is nobody's content.
    for (char const *system : {"/proc", "/sys", "/dev"})
        if (path_inside(file, system)) return true;
    if (path_inside(file, server_tmp_root())) return true;
    for (std::string const &dir : {KXProductStore::DataDirectory(), registry_root()}) {
        std::string const real = real_path(dir);
        if (!real.empty() && path_inside(file, real)) return true;
    }
    std::string const cwd = real_path(working_dir());
    for (char const *name : {"sso.properties", "sso.properties.temp"})
        if (!cwd.empty() && file == real_path(cwd + "/" + name)) return true;
    if (char const *diagnostics = std::getenv("KX_DIAG_FILE"); diagnostics && file == real_path(diagnostics))
        return true;
    return crash_dump(file, cwd);
}

[[noreturn]] void refuse(Nul::UString const &path) {
    Nul::UString const text =
        Nul::UString(L"The attachment's content file '") + path + Nul::UString(L"' cannot be read.");
    raise_reason(Reason::internal_error, kx_message(MSG_CANNOT_MAKE_ATTACHMENT, Nul::UMessage::Arg(text)));
}

// The directory as $KXRPC_EXCHANGE_DIR (or the system) names it, before links are resolved.
std::string named_exchange_dir() {
    char const *named = std::getenv(exchange_dir_variable);
    return named && *named ? std::string(named) : Nul::Fileutl::system_tmp_dir().utf8_str().std_str();
}

std::vector<std::string> components(std::string_view path) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at <= path.size();) {
        std::size_t const slash = std::min(path.find('/', at), path.size());
        std::string_view const part = path.substr(at, slash - at);
        if (!part.empty() && part != ".") out.emplace_back(part);
        at = slash + 1;
    }
    return out;
}

// A folder that a server makes in the exchange directory: "kxrpc-" and its data's key.
bool in_server_folder(std::vector<std::string> const &parts) {
    for (std::size_t i = 0; i + 1 < parts.size(); ++i)
        if (parts[i].starts_with(server_folder_prefix)) return true;
    return false;
}

std::string joined(std::vector<std::string> const &parts) {
    std::string out;
    for (std::string const &part : parts) out += (out.empty() ? "" : "/") + part;
    return out;
}

// The components of `given` below `dir` (an absolute path); none when `dir` does not hold it.
std::vector<std::string> below(std::string const &given, std::string const &dir) {
    std::vector<std::string> const outer = components(dir), inner = components(given);
    if (dir.empty() || dir[0] != '/' || inner.size() <= outer.size() ||
        !std::equal(outer.begin(), outer.end(), inner.begin()))
        return {};
    return std::vector<std::string>(inner.begin() + static_cast<std::ptrdiff_t>(outer.size()), inner.end());
}

// The real path of a file reached from `exchange` by `parts` with no link among them: ".." is
// the parent of what came before. Empty when it would leave the directory or ends on "..".
std::string resolved_below(std::string const &exchange, std::vector<std::string> const &parts) {
    std::vector<std::string> kept;
    for (std::string const &part : parts) {
        if (part != "..") {
            kept.push_back(part);
        } else if (kept.empty()) {
            return std::string();
        } else {
            kept.pop_back();
        }
    }
    if (kept.empty() || parts.back() == "..") return std::string();
    return (exchange == "/" ? "" : exchange) + "/" + joined(kept);
}

constexpr int read_flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

} // namespace

std::string exchange_dir() {
    std::string const dir = real_path(named_exchange_dir());
    struct stat st {};
    return !dir.empty() && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? dir : std::string();
}

bool path_inside(std::string const &path, std::string const &dir) {
    if (dir.empty()) return false;
    if (path == dir || dir == "/") return true;
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

int open_beneath_walk(int dir_fd, std::string const &relative) {
    std::vector<std::string> const parts = components(relative);
    if (parts.empty() || parts.back() == "..") {
        errno = EISDIR;
        return -1;
    }
    // The directories walked so far; ".." goes back to the one before, never above dir_fd.
    std::vector<UniqueFd> walked;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (parts[i] == "..") {
            if (walked.empty()) {
                errno = EXDEV;
                return -1;
            }
            walked.pop_back();
            continue;
        }
        int const at = walked.empty() ? dir_fd : walked.back().get();
        UniqueFd next(::openat(at, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) return -1;
        walked.push_back(std::move(next));
    }
    int const at = walked.empty() ? dir_fd : walked.back().get();
    return ::openat(at, parts.back().c_str(), read_flags | O_NOFOLLOW);
}

int open_beneath(int dir_fd, std::string const &relative) {
    std::vector<std::string> const parts = components(relative);
    // Whatever openat2 would make of it, a directory is no file to read.
    if (parts.empty() || parts.back() == "..") {
        errno = EISDIR;
        return -1;
    }
    std::string const clean = joined(parts);
    open_how how{};
    how.flags = read_flags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0; attempt < 16; ++attempt) {
        long const fd = ::syscall(SYS_openat2, dir_fd, clean.c_str(), &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        // A rename racing a ".." is refused for the moment; it is tried again.
        if (errno == EAGAIN) continue;
        // No openat2 in this kernel, or a container's filter that answers EPERM for it.
        if (errno == ENOSYS || errno == EPERM) break;
        return -1;
    }
    if (errno == EAGAIN) return -1;
    return open_beneath_walk(dir_fd, clean);
}

Nul::UString take_exchange_file(Nul::UString const &path, Charge &charge) {
    std::string const given = path.utf8_str();
    if (given.empty() || given[0] != '/') refuse(path);
    std::string const exchange = exchange_dir();
    if (exchange.empty()) refuse(path);
    // Named by the directory's real path, or as it is configured.
    std::vector<std::string> parts = below(given, exchange);
    if (parts.empty()) parts = below(given, named_exchange_dir());
    std::string const file = parts.empty() ? std::string() : resolved_below(exchange, parts);
    if (file.empty() || server_file(file) || in_server_folder(components(file.substr(exchange.size())))) refuse(path);

    UniqueFd const dir(::open(exchange.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    UniqueFd const in(dir ? open_beneath(dir.get(), joined(parts)) : -1);
    struct stat st {};
    // A second name (a hard link) could be one of the server's files by another way.
    if (!in || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_size > INT_MAX)
        refuse(path);

    charge.grow(static_cast<std::uint64_t>(st.st_size));
    Nul::UString spool;
    try {
        spool = Nul::Fileutl::create_tmp_file(Nul::UString(Nul::Utf8String(file.substr(file.rfind('/') + 1))), 0);
    } catch (Nul::STPException const &) {
        refuse(path);
    }
    UniqueFd out(::open(spool.utf8_str().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    // A copy that only runs past its size sets no error of its own.
    if (out) errno = 0;
    // No more than was charged: a file that grows meanwhile is refused like any other it cannot take.
    if (!out || !copy_content(in.get(), out.get(), static_cast<std::size_t>(st.st_size)) || !out.close()) {
        int const why = errno;
        Nul::Fileutl::delete_tmp_file(spool); // and its private directory
        // The server's disk is full: nothing about the client's file, which was read.
        if (disk_full(why))
            raise_reason(
                Reason::internal_error,
                kx_message(MSG_CANNOT_MAKE_ATTACHMENT,
                           Nul::UMessage::Arg(Nul::UString(Nul::Utf8String(std::string(std::strerror(why)))))));
        refuse(path);
    }
    return spool;
}

} // namespace KxRpc
