#include "files/server_tmp.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <utility>
#include <vector>

#include "files/descriptors.h"
#include "files/downloads.h"
#include "tesutil/fileutl.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

namespace fs = std::filesystem;

constexpr char const *lock_name = "lock";

struct TmpDir {
    std::mutex lock;
    std::string root, own;
    int lock_fd = -1;
    UniqueFd own_fd;
    // The exchange directory's group, which the folders and downloads get; none when the
    // process may not give it.
    bool shared = false;
    gid_t group = 0;
    unsigned long files = 0;
};

TmpDir &tmp_dir() {
    static TmpDir dir;
    return dir;
}

// FNV-1a: stable across builds, so that every start of the same data finds the same folder.
std::string key_of(std::string const &text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(hash));
    return out;
}

// The data directory by its real path, or (before it is made) its parent's real path and its name.
std::string data_key(std::string const &data_dir) {
    std::error_code ec;
    fs::path const path = fs::absolute(fs::path(data_dir.empty() ? "." : data_dir), ec).lexically_normal();
    fs::path real = fs::canonical(path, ec);
    if (ec) real = fs::weakly_canonical(path, ec);
    return key_of((ec ? path : real).string());
}

// Only we may change it, and nobody but its group may look inside.
bool ours(struct stat const &st) { return st.st_uid == ::geteuid() && (st.st_mode & 027) == 0; }

enum class Own { Yes, Gone, No };

// A directory of ours: made 0700 (opened up to its group once locked), or found so; never a link.
// Gone when another process's sweep removed it between its making and its look.
Own own_dir(std::string const &path, std::string &why) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        why = path + ": " + std::strerror(errno);
        return Own::No;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return Own::Gone;
    if (!S_ISDIR(st.st_mode) || !ours(st)) {
        why = path + ": not a private directory of this user";
        return Own::No;
    }
    return Own::Yes;
}

// Names as this file makes them: the exchange directory is shared, so nothing else found there
// (another program's folder that happens to start with "kxrpc-") is ever swept.
bool all_of(std::string const &text, std::size_t from, std::size_t count, bool (*ok)(char)) {
    if (text.size() < from + count) return false;
    for (std::size_t i = from; i < from + count; ++i)
        if (!ok(text[i])) return false;
    return true;
}
bool is_root_name(std::string const &name) {
    return name.size() == 6 + 16 && name.starts_with(server_folder_prefix) &&
           all_of(name, 6, 16, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}
bool is_process_dir_name(std::string const &name) {
    std::size_t const dash = name.find('-');
    return dash != std::string::npos && dash > 0 && name.size() == dash + 7 &&
           all_of(name, 0, dash, [](char c) { return c >= '0' && c <= '9'; }) &&
           all_of(name, dash + 1, 6, [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

// Removes the directories of processes that are gone below a folder whose lock the caller holds:
// their lock is free, or was never made.
void sweep(std::string const &root, std::string const &own) {
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::string const dir = it->path().string();
        if (dir == own || !is_process_dir_name(it->path().filename().string()) || it->is_symlink(ec) ||
            !it->is_directory(ec))
            continue;
        int const fd = ::open((dir + "/" + lock_name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue; // its process still runs
        }
        std::error_code removed;
        std::uintmax_t const count = fs::remove_all(dir, removed);
        trace_lazy(1, [&] {
            return Nul::UString(Nul::Utf8String("Info: removed the temporary directory " + dir +
                                                " of an ended process (" + std::to_string(count) + " entries)"));
        });
        if (fd >= 0) ::close(fd);
    }
}

// A server folder (its own, or another data's in the same exchange directory) opened and locked,
// made first when `make`; -1 when it cannot be. A folder removed by an ending process between
// its making and its lock (by its end, or by another start sweeping it empty) is made again; many
// starts at once can do that to one folder a few times over.
int lock_root(std::string const &root, bool make, std::string &why) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        Own const own = make ? own_dir(root, why) : Own::Yes;
        if (own == Own::Gone) continue;
        if (own == Own::No) return -1;
        int const fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT && make) continue;
            why = root + ": " + std::strerror(errno);
            return -1;
        }
        struct stat held {};
        struct stat named {};
        if (::flock(fd, make ? LOCK_EX : LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
            ::lstat(root.c_str(), &named) == 0 && held.st_dev == named.st_dev && held.st_ino == named.st_ino &&
            ours(held))
            return fd;
        ::close(fd);
        if (!make) break;
    }
    why = root + ": cannot be locked";
    return -1;
}

// The leftovers of ended processes of other data in the same exchange directory go too; a folder
// that another process is making or sweeping right now is left for later.
void sweep_others(std::string const &exchange, std::string const &own_root) {
    std::error_code ec;
    for (fs::directory_iterator it(exchange, ec), end; !ec && it != end; it.increment(ec)) {
        std::string const root = it->path().string();
        if (root == own_root || !is_root_name(it->path().filename().string())) continue;
        std::string ignored;
        int const fd = lock_root(root, false, ignored);
        if (fd < 0) continue;
        sweep(root, std::string());
        ::rmdir(root.c_str()); // when nothing is left; a start of its data makes it again
        ::close(fd);
    }
}

// The folder's group and mode: readable by the exchange directory's group where it is shared.
bool share(int fd, TmpDir const &t) {
    if (t.shared && ::fchown(fd, static_cast<uid_t>(-1), t.group) != 0) return false;
    return ::fchmod(fd, t.shared ? 0750 : 0700) == 0;
}

} // namespace

bool open_server_tmp_dir(std::string const &exchange, std::string const &data_dir, std::string &why) {
    TmpDir &t = tmp_dir();
    std::lock_guard<std::mutex> guard(t.lock);
    if (t.lock_fd >= 0) return true;
    struct stat shared {};
    if (::stat(exchange.c_str(), &shared) != 0) {
        why = exchange + ": " + std::strerror(errno);
        return false;
    }
    // Whoever may rename the server's folders could put folders of their own at those names: the
    // directory's owner, and where others may write and there is no sticky bit, they too.
    if ((shared.st_uid != 0 && shared.st_uid != ::geteuid()) ||
        ((shared.st_mode & 022) != 0 && (shared.st_mode & S_ISVTX) == 0)) {
        why = exchange + ": others may rename what the server makes there (it must belong to the server or root, "
                         "with the sticky bit where others may write)";
        return false;
    }
    t.shared = may_give_group(shared.st_gid);
    t.group = t.shared ? shared.st_gid : 0;
    std::string const root = exchange + "/" + server_folder_prefix + data_key(data_dir);
    // Starts of the same data make and sweep one at a time: a directory is never taken for an
    // ended process's between its making and its lock.
    int const root_fd = lock_root(root, true, why);
    if (root_fd < 0) return false;
    if (!share(root_fd, t)) {
        why = root + ": " + std::strerror(errno);
        ::close(root_fd);
        return false;
    }
    // Named by the pid for people, and unique even where pids repeat (another pid namespace).
    std::string own = root + "/" + std::to_string(::getpid()) + "-XXXXXX";
    int fd = -1;
    UniqueFd own_fd;
    if (::mkdtemp(own.data()) == nullptr) {
        why = own + ": " + std::strerror(errno);
    } else {
        own_fd.reset(::open(own.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        fd = ::open((own + "/" + lock_name).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (!own_fd || !share(own_fd.get(), t) || fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            why = own + ": " + std::strerror(errno);
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
    }
    if (fd >= 0) sweep(root, own);
    ::close(root_fd);
    if (fd < 0) return false;
    sweep_others(exchange, root);
    t.root = root;
    t.own = own;
    t.lock_fd = fd;
    t.own_fd = std::move(own_fd);
    Nul::Fileutl::set_tmp_dir(Nul::UString(Nul::Utf8String(own)));
    return true;
}

void close_server_tmp_dir() noexcept {
    try {
        stop_direct_downloads();
        TmpDir &t = tmp_dir();
        std::lock_guard<std::mutex> guard(t.lock);
        if (t.lock_fd < 0) return;
        Nul::Fileutl::delete_tmp_files(Nul::Fileutl::GROUP_ALL);
        Nul::Fileutl::set_tmp_dir(Nul::UString());
        std::error_code ec;
        fs::remove_all(t.own, ec);
        ::close(t.lock_fd);
        t.lock_fd = -1;
        t.own_fd.reset();
        t.own.clear();
        // The folder goes too when no other process of the same data uses it; under its lock, so
        // that a start of the same data sees it either gone or in place.
        std::string ignored;
        if (int const root_fd = lock_root(t.root, false, ignored); root_fd >= 0) {
            ::rmdir(t.root.c_str());
            ::close(root_fd);
        }
        t.root.clear();
    } catch (...) {
        // Leftovers are removed by the next start.
    }
}

std::string server_tmp_root() {
    TmpDir &t = tmp_dir();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.root;
}

UniqueFd new_server_file(char const *prefix, std::string &path) {
    UniqueFd file;
    TmpDir &t = tmp_dir();
    std::lock_guard<std::mutex> guard(t.lock);
    std::string const dir = t.own_fd ? t.own : Nul::Fileutl::system_tmp_dir().utf8_str().std_str();
    UniqueFd const system(t.own_fd ? -1 : ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    int const dir_fd = t.own_fd ? t.own_fd.get() : system.get();
    mode_t const mode = t.own_fd && t.shared ? 0640 : 0600;
    int error = dir_fd < 0 ? errno : 0;
    // Names are never given twice; one taken meanwhile (a link left there) is passed over.
    for (int attempt = 0; dir_fd >= 0 && attempt < 10000 && !file; ++attempt) {
        std::string const name = prefix + std::to_string(t.files++);
        file.reset(::openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        error = errno;
        if (!file && error != EEXIST && error != EINTR) break;
        if (!file) continue;
        // The umask may have taken bits away, and the group is the directory's, not ours.
        if ((mode == 0640 && ::fchown(file.get(), static_cast<uid_t>(-1), t.group) != 0) ||
            ::fchmod(file.get(), mode) != 0) {
            error = errno;
            file.reset();
            ::unlinkat(dir_fd, name.c_str(), 0);
            break;
        }
        path = dir + "/" + name;
    }
    if (!file)
        throw KXInternalErrorException(kx_message(
            MSG_INTERNAL_ERROR, Nul::UMessage::Arg(Nul::UString(Nul::Utf8String(
                                    std::string("Cannot make the direct download's file: ") + std::strerror(error))))));
    return file;
}

bool may_give_group(gid_t gid) {
    if (::geteuid() == 0 || gid == ::getegid()) return true;
    int const count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<std::size_t>(count > 0 ? count : 0));
    if (count > 0 && ::getgroups(count, groups.data()) != count) return false;
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

} // namespace KxRpc
