#include "files/downloads.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "files/descriptors.h"
#include "files/server_tmp.h"
#include "tesutil/fileutl.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"
#include "wire/ledger.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

struct Download {
    std::chrono::steady_clock::time_point made;
    Nul::UString path;
    Charge charge;
};

// Direct downloads oldest first, and the thread that removes them.
struct Downloads {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<Download> files;
    std::chrono::seconds age = default_direct_download_age;
    bool stopping = false;
    std::thread sweeper;
};

Downloads &downloads() {
    static Downloads d;
    return d;
}

// Removes the files outside the lock: the disk may be slow. A file goes before its bytes come back.
int remove_all(std::vector<Download> &gone) {
    for (Download &download : gone) {
        ignoring_failures([&] { Nul::Fileutl::delete_tmp_file(download.path); });
        download.charge.release();
    }
    return static_cast<int>(gone.size());
}

void keep(Nul::UString const &path, Charge charge) {
    Downloads &d = downloads();
    std::lock_guard<std::mutex> guard(d.lock);
    d.files.push_back(Download{std::chrono::steady_clock::now(), path, std::move(charge)});
}

// The size of the file at `path` now; 0 when it cannot be read.
std::uint64_t file_bytes(std::string const &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

} // namespace

void stop_direct_downloads() noexcept {
    Downloads &d = downloads();
    std::unique_lock<std::mutex> held(d.lock);
    d.stopping = true;
    held.unlock();
    d.wake.notify_all();
    if (d.sweeper.joinable()) d.sweeper.join();
    // Their charges go back outside the lock.
    std::deque<Download> forgotten;
    held.lock();
    forgotten.swap(d.files);
    d.stopping = false;
    held.unlock();
}

bool read_direct_download_age(std::chrono::seconds &age) {
    age = default_direct_download_age;
    char const *text = std::getenv(direct_download_age_variable);
    if (text == nullptr || *text == '\0') return true;
    if (*text < '0' || *text > '9') return false; // no sign, no blanks
    char *end = nullptr;
    errno = 0;
    long long const seconds = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || seconds < 1 || seconds > INT_MAX) return false;
    age = std::chrono::seconds(seconds);
    return true;
}

void expire_direct_downloads_after(std::chrono::seconds age) {
    stop_direct_downloads();
    Downloads &d = downloads();
    std::lock_guard<std::mutex> guard(d.lock);
    d.age = age;
    auto const every = std::min<std::chrono::seconds>(age, std::chrono::seconds(60));
    d.sweeper = std::thread([&d, every] {
        std::unique_lock<std::mutex> held(d.lock);
        while (!d.wake.wait_for(held, every, [&d] { return d.stopping; })) {
            auto const before = std::chrono::steady_clock::now() - d.age;
            held.unlock();
            remove_direct_downloads(before);
            held.lock();
        }
    });
}

void keep_direct_download(Nul::UString const &path) { keep(path, Charge()); }

int remove_direct_downloads(std::chrono::steady_clock::time_point before) {
    std::vector<Download> expired;
    {
        Downloads &d = downloads();
        std::lock_guard<std::mutex> guard(d.lock);
        while (!d.files.empty() && d.files.front().made < before) {
            expired.push_back(std::move(d.files.front()));
            d.files.pop_front();
        }
    }
    return remove_all(expired);
}

int remove_session_downloads(Nul::Oid const &owner) {
    if (owner.is_nil()) return 0;
    std::vector<Download> ended;
    {
        Downloads &d = downloads();
        std::lock_guard<std::mutex> guard(d.lock);
        auto const theirs = [&](Download const &download) { return download.charge.owner() == owner; };
        for (Download &download : d.files)
            if (theirs(download)) ended.push_back(std::move(download));
        d.files.erase(std::remove_if(d.files.begin(), d.files.end(), theirs), d.files.end());
    }
    return remove_all(ended);
}

Nul::UString leave_direct_download(Nul::Oid const &owner, std::uint64_t expected,
                                   std::function<void(int fd, Nul::UString const &path)> const &fill) {
    // Refused before any file is made, let alone filled.
    Charge charge(Holding::disk, owner, expected);
    std::string path;
    UniqueFd file = new_server_file("DL", path);
    Nul::UString const named{Nul::Utf8String(path)};
    try {
        fill(file.get(), named);
        if (!file.close())
            throw KXInternalErrorException(
                kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(L"Cannot write the direct download's file.")));
        if (std::uint64_t const bytes = file_bytes(path); bytes > charge.bytes()) charge.grow(bytes - charge.bytes());
    } catch (...) {
        ::unlink(path.c_str());
        throw;
    }
    keep(named, std::move(charge));
    return named;
}

Nul::UString leave_direct_download(std::function<void(int fd, Nul::UString const &path)> const &fill) {
    return leave_direct_download(Nul::Oid(), 0, fill);
}

} // namespace KxRpc
