#include "tesutil/unixnt.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "tesutil/ntregy.h"

namespace Nul {

namespace {

thread_local int32_t dos_error = 0;

int fail(int32_t win_error, int err) {
    dos_error = win_error;
    errno = err;
    return -1;
}

std::atomic<uint32_t> platform_bits{0};
// 0 not yet known, 1 long paths allowed, 2 not allowed.
std::atomic<int> long_path_state{0};

std::atomic<uint64_t> last_time_value{0};

struct TzCache {
    std::mutex lock;
    bool valid = false;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    int minutes_west = 0, dst = 0;
};
TzCache tz_cache;

// Characters of UTF-8 text, as the wide path would count them.
size_t char_count(std::string const &s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

// Absolute and lexically normalised, as the system's full-path call does.
std::string full_path_of(const char *path) {
    std::string in = path;
    std::string base;
    if (in.empty() || in[0] != '/') {
        std::vector<char> cwd(4096);
        while (!getcwd(cwd.data(), cwd.size())) {
            if (errno != ERANGE) return std::string();
            cwd.resize(cwd.size() * 2);
        }
        base = cwd.data();
    }
    std::vector<std::string> parts;
    auto take = [&parts](std::string const &text) {
        size_t i = 0;
        while (i <= text.size()) {
            size_t j = text.find('/', i);
            if (j == std::string::npos) j = text.size();
            std::string p = text.substr(i, j - i);
            if (p == "..") {
                if (!parts.empty()) parts.pop_back();
            } else if (!p.empty() && p != ".") {
                parts.push_back(p);
            }
            i = j + 1;
        }
    };
    take(base);
    take(in);
    std::string out;
    for (auto const &p : parts) out += "/" + p;
    if (out.empty()) out = "/";
    if (in.size() > 1 && in.back() == '/' && out != "/") out += '/';
    return out;
}

} // namespace

int32_t last_dos_error() { return dos_error; }

uint32_t detect_platform() {
    uint32_t bits = platform_bits.load(std::memory_order_relaxed);
    if (bits) return bits;
    char value[16];
    size_t len = 0;
    if (copy_env_value("TEVRA_FORCE_PLATFORM", value, sizeof value, &len)) {
        static struct {
            char const *name;
            uint32_t bits;
        } const names[] = {{"nt3", PLATFORM_NT3},     {"nt4", PLATFORM_NT4},      {"nt5", PLATFORM_NT5},
                           {"vista", PLATFORM_VISTA}, {"win7", PLATFORM_WIN7},    {"win95", PLATFORM_WIN95},
                           {"win98", PLATFORM_WIN98}, {"win32s", PLATFORM_WIN32S}};
        for (auto const &n : names)
            if (vexhub_strcasecmp(value, n.name) == 0) bits = n.bits;
    }
    // This system has no Windows version to ask for, which counts as "cannot tell".
    if (!bits) bits = PLATFORM_WIN32S;
    platform_bits.store(bits, std::memory_order_relaxed);
    return bits;
}

int platform_class(uint32_t bits) {
    if (bits & (PLATFORM_NT3 | PLATFORM_NT4 | PLATFORM_NT5 | PLATFORM_VISTA | PLATFORM_WIN7)) return 2;
    if (bits & (PLATFORM_WIN95 | PLATFORM_WIN98)) return 1;
    return 0;
}

bool long_paths_enabled() {
    int state = long_path_state.load(std::memory_order_relaxed);
    if (state == 0) {
        uint32_t disable = 0;
        int32_t rc = vexhub_ntregy_get_param(62, sizeof disable, &disable, nullptr);
        state = rc == 0 && disable != 0 ? 2 : 1;
        int expected = 0;
        // A disable_long_paths that came first wins.
        if (!long_path_state.compare_exchange_strong(expected, state)) state = expected;
    }
    return state == 1;
}

void disable_long_paths() { long_path_state.store(2, std::memory_order_relaxed); }

int to_full_path(const char *path, char *out, size_t size) {
    if (!path || !out || size == 0) return fail(87, EINVAL);
    std::string full = full_path_of(path);
    if (full.empty()) return fail(3, ENOENT);
    size_t chars = char_count(full);
    bool too_long = chars > max_full_path || full.size() + 1 > size;
    if (!too_long && !long_paths_enabled()) too_long = chars > max_short_path || char_count(path) >= max_short_path + 1;
    if (too_long) return fail(111, ENAMETOOLONG);
    std::memcpy(out, full.c_str(), full.size() + 1);
    return 0;
}

int set_file_length(int fd, int64_t size) {
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) return fail(87, errno);
    if (lseek(fd, static_cast<off_t>(size), SEEK_SET) < 0) return fail(87, errno);
    return 0;
}

int truncate_file(const char *path, int perm) {
    int fd = vexhub_unix_nt_open(path, O_TRUNC | O_RDWR, perm);
    if (fd < 0) return -1;
    ::close(fd);
    return 0;
}

int64_t filetime_since_1970(uint64_t filetime, int64_t offset) {
    return static_cast<int64_t>(filetime + static_cast<uint64_t>(offset) - filetime_1970);
}

int64_t process_times(int64_t *user, int64_t *kernel, int64_t *children_user, int64_t *children_kernel) {
    rusage ru{};
    timespec now{};
    if (getrusage(RUSAGE_SELF, &ru) != 0 || clock_gettime(CLOCK_MONOTONIC, &now) != 0) return -1;
    int64_t u = int64_t(ru.ru_utime.tv_sec) * 1000 + ru.ru_utime.tv_usec / 1000;
    int64_t k = int64_t(ru.ru_stime.tv_sec) * 1000 + ru.ru_stime.tv_usec / 1000;
    if (user) *user = u;
    if (kernel) *kernel = k;
    if (children_user) *children_user = u;
    if (children_kernel) *children_kernel = k;
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

char *copy_env_value(const char *name, char *buffer, size_t size, size_t *length) {
    const char *v = name ? std::getenv(name) : nullptr;
    if (!v) return nullptr;
    size_t n = std::strlen(v);
    if (length) *length = n + 1;
    if (buffer && size) {
        size_t c = n < size - 1 ? n : size - 1;
        std::memcpy(buffer, v, c);
        buffer[c] = '\0';
    }
    return buffer;
}

int put_env(const char *assignment) {
    if (!assignment) return fail(87, EINVAL);
    const char *eq = std::strchr(assignment, '=');
    if (!eq || eq == assignment) return fail(87, EINVAL);
    std::string name(assignment, eq);
    if (eq[1] == '\0') return unsetenv(name.c_str()) == 0 ? 0 : -1;
    return setenv(name.c_str(), eq + 1, 1) == 0 ? 0 : -1;
}

} // namespace Nul

using namespace Nul;

extern "C" {

int vexhub_unix_nt_open(const char *path, int flags, int perm) {
    char full[4 * (max_full_path + 1)];
    if (to_full_path(path, full, sizeof full) != 0) return -1;
    int fd = ::open(full, flags | O_CLOEXEC, perm);
    if (fd < 0) dos_error = errno == ENOENT ? 2 : errno == EACCES ? 5 : errno == EEXIST ? 80 : 87;
    return fd;
}

FILE *vexhub_unix_nt_fopen(const char *path, const char *mode) {
    if (!path || !mode) {
        fail(87, EINVAL);
        return nullptr;
    }
    bool plus = std::strchr(mode, '+') != nullptr;
    if (mode[0] != 'w' && std::strlen(mode) > 9) {
        fail(87, EINVAL);
        return nullptr;
    }
    if (mode[0] == 'w' || mode[0] == 'a') {
        // Created files are private to their owner.
        int flags = O_CREAT | (plus ? O_RDWR : O_WRONLY) | (mode[0] == 'a' ? O_APPEND : 0);
        int fd = vexhub_unix_nt_open(path, flags, 0600);
        if (fd < 0) return nullptr;
        if (mode[0] == 'w' && set_file_length(fd, 0) != 0) {
            int e = errno;
            ::close(fd);
            errno = e;
            return nullptr;
        }
        FILE *f = fdopen(fd, mode);
        if (!f) {
            int e = errno;
            ::close(fd);
            errno = e;
        }
        return f;
    }
    char full[4 * (max_full_path + 1)];
    if (to_full_path(path, full, sizeof full) != 0) return nullptr;
    FILE *f = std::fopen(full, mode);
    if (!f)
        dos_error = errno == ENOENT ? 2 : errno == EACCES ? 5 : 87;
    else
        fcntl(fileno(f), F_SETFD, FD_CLOEXEC);
    return f;
}

int vexhub_unix_nt_close(int fd) { return ::close(fd); }
int vexhub_unix_nt_fclose(FILE *stream) { return std::fclose(stream); }

int64_t vexhub_unix_nt_time(int64_t *seconds) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    int64_t s = ts.tv_sec;
    if (seconds) *seconds = s;
    return s;
}

int vexhub_gettimeofday(struct timeval *tv, struct timezone *tz) {
    if (!tv) return 0;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    // The nearest whole microsecond of the system's 100-nanosecond clock.
    uint64_t units = uint64_t(ts.tv_sec) * 10000000ull + uint64_t(ts.tv_nsec) / 100;
    uint64_t now = (units + 5) / 10;
    uint64_t prev = last_time_value.load(std::memory_order_relaxed);
    uint64_t value;
    do {
        value = prev && now <= prev ? prev + 1 : now;
    } while (!last_time_value.compare_exchange_weak(prev, value, std::memory_order_relaxed));
    tv->tv_sec = static_cast<time_t>(value / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(value % 1000000);
    if (tz) {
        time_t secs = tv->tv_sec;
        tm utc{};
        gmtime_r(&secs, &utc);
        std::lock_guard<std::mutex> g(tz_cache.lock);
        if (!tz_cache.valid || tz_cache.year != utc.tm_year || tz_cache.month != utc.tm_mon ||
            tz_cache.day != utc.tm_mday || tz_cache.hour != utc.tm_hour || tz_cache.minute != utc.tm_min) {
            tm local{};
            if (localtime_r(&secs, &local)) {
                // Minutes west of standard time, and whether daylight time is in force.
                long offset = local.tm_gmtoff - (local.tm_isdst > 0 ? 3600 : 0);
                tz_cache.minutes_west = static_cast<int>(-offset / 60);
                tz_cache.dst = local.tm_isdst > 0 ? 1 : 0;
            }
            tz_cache.valid = true;
            tz_cache.year = utc.tm_year;
            tz_cache.month = utc.tm_mon;
            tz_cache.day = utc.tm_mday;
            tz_cache.hour = utc.tm_hour;
            tz_cache.minute = utc.tm_min;
        }
        tz->tz_minuteswest = tz_cache.minutes_west;
        tz->tz_dsttime = tz_cache.dst;
    }
    return 0;
}

long vexhub_sysconf(int name) {
    switch (name) {
    case 2:
        return 1000;
    case 4:
        return 2147483647L;
    default:
        return 0;
    }
}

int vexhub_tbs_uuid_gen(struct tbs_uuid_s *uuid) {
    if (!uuid) return 1001;
    uuid_t u;
    uuid_generate(u);
    // libuuid gives the bytes in network order; a GUID keeps its first three fields as numbers.
    uuid->time_low = uint32_t(u[0]) << 24 | uint32_t(u[1]) << 16 | uint32_t(u[2]) << 8 | u[3];
    uuid->time_mid = static_cast<uint16_t>(u[4] << 8 | u[5]);
    uuid->time_hi_and_version = static_cast<uint16_t>(u[6] << 8 | u[7]);
    uuid->clock_seq_hi_and_reserved = u[8];
    uuid->clock_seq_low = u[9];
    std::memcpy(uuid->node, u + 10, 6);
    return 0;
}

int vexhub_sysutl_get_random_bytes(void *, size_t) { return 1; }

int vexhub_nt_win32error2errno(int32_t code) {
    if (code == 0) return 0;
    static struct {
        int32_t code;
        int err;
    } const map[] = {
        {1, EINVAL},         {2, ENOENT},   {3, ENOENT},      {4, EMFILE},   {5, EACCES},    {6, EBADF},
        {7, ENOMEM},         {8, ENOMEM},   {9, ENOMEM},      {10, E2BIG},   {11, ENOEXEC},  {12, EACCES},
        {13, EINVAL},        {15, ENOENT},  {16, EACCES},     {17, EXDEV},   {18, ENOENT},   {19, EACCES},
        {32, EACCES},        {33, EACCES},  {53, ENOENT},     {65, EACCES},  {67, ENOENT},   {80, EEXIST},
        {82, EACCES},        {83, EACCES},  {87, EINVAL},     {89, EAGAIN},  {108, EACCES},  {109, EPIPE},
        {111, ENAMETOOLONG}, {112, ENOSPC}, {114, EBADF},     {128, ECHILD}, {129, ECHILD},  {130, EBADF},
        {131, EINVAL},       {132, EACCES}, {145, ENOTEMPTY}, {158, EACCES}, {161, ENOENT},  {164, EAGAIN},
        {167, EACCES},       {183, EEXIST}, {206, ENOENT},    {215, EAGAIN}, {1816, ENOMEM},
    };
    for (auto const &m : map)
        if (m.code == code) return m.err;
    return EINVAL;
}

int vexhub_strcasecmp(const char *a, const char *b) { return vexhub_strncasecmp(a, b, static_cast<size_t>(-1)); }

int vexhub_strncasecmp(const char *a, const char *b, size_t count) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : int(c); };
    for (size_t i = 0; i < count; ++i) {
        int x = lower(static_cast<unsigned char>(a[i])), y = lower(static_cast<unsigned char>(b[i]));
        if (x != y) return x - y;
        if (x == 0) break;
    }
    return 0;
}

} // extern "C"
