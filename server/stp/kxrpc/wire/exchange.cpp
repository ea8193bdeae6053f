#include "wire/exchange.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string_view>

#include "kxproduct/store.h"
#include "kxwin/registry.h"
#include "tesutil/fileutl.h"
#include "tesutil/stpexception.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"
#include "wire/server_tmp.h"

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

} // namespace

std::string exchange_dir() {
    char const *named = std::getenv(exchange_dir_variable);
    std::string const dir =
        real_path(named && *named ? std::string(named) : Nul::Fileutl::system_tmp_dir().utf8_str().std_str());
    struct stat st {};
    return !dir.empty() && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? dir : std::string();
}

bool path_inside(std::string const &path, std::string const &dir) {
    if (dir.empty()) return false;
    if (path == dir || dir == "/") return true;
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

Nul::UString exchange_file(Nul::UString const &path) {
    std::string const given = path.utf8_str();
    if (given.empty() || given[0] != '/') refuse(path);
    std::string const file = real_path(given);
    std::string const exchange = exchange_dir();
    struct stat st {};
    if (file.empty() || file == exchange || !path_inside(file, exchange) || server_file(file) ||
        ::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(file.c_str(), R_OK) != 0)
        refuse(path);
    return Nul::UString(Nul::Utf8String(file));
}

} // namespace KxRpc
