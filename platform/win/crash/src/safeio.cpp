// Formatting and directory counting that are safe inside a signal handler: no allocation, no
// locks, only write(2), open(2) and getdents64(2).
#include "kxwin/crash.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace KxWin {
namespace {

struct Out {
    char *buf;
    std::size_t size;
    std::size_t len = 0;
    void put(char c) {
        if (len + 1 < size) buf[len++] = c;
    }
    void puts(char const *s) {
        while (*s) put(*s++);
    }
};

void put_unsigned(Out &out, unsigned long long v, unsigned base) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[v % base];
        v /= base;
    } while (v);
    while (n) out.put(digits[--n]);
}

} // namespace

std::size_t safe_vformat(char *buffer, std::size_t size, char const *format, std::va_list args) {
    Out out{buffer, size};
    if (size == 0) return 0;
    for (char const *p = format; *p; ++p) {
        if (*p != '%') {
            out.put(*p);
            continue;
        }
        ++p;
        int longs = 0;
        bool size_t_arg = false;
        for (;; ++p) {
            if (*p == 'l')
                ++longs;
            else if (*p == 'z')
                size_t_arg = true;
            else
                break;
        }
        switch (*p) {
        case 'd':
        case 'i': {
            long long v = size_t_arg   ? static_cast<long long>(va_arg(args, std::size_t))
                          : longs >= 2 ? va_arg(args, long long)
                          : longs == 1 ? va_arg(args, long)
                                       : va_arg(args, int);
            unsigned long long magnitude = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : v;
            if (v < 0) out.put('-');
            put_unsigned(out, magnitude, 10);
            break;
        }
        case 'u':
        case 'x': {
            unsigned long long v = size_t_arg   ? va_arg(args, std::size_t)
                                   : longs >= 2 ? va_arg(args, unsigned long long)
                                   : longs == 1 ? va_arg(args, unsigned long)
                                                : va_arg(args, unsigned);
            put_unsigned(out, v, *p == 'x' ? 16 : 10);
            break;
        }
        case 'p':
            out.puts("0x");
            put_unsigned(out, reinterpret_cast<std::uintptr_t>(va_arg(args, void *)), 16);
            break;
        case 's': {
            char const *s = va_arg(args, char const *);
            out.puts(s ? s : "(null)");
            break;
        }
        case 'c':
            out.put(static_cast<char>(va_arg(args, int)));
            break;
        case '%':
            out.put('%');
            break;
        case '\0':
            --p;
            break;
        default:
            out.put('%');
            out.put(*p);
            break;
        }
    }
    buffer[out.len] = '\0';
    return out.len;
}

std::size_t safe_format(char *buffer, std::size_t size, char const *format, ...) {
    std::va_list args;
    va_start(args, format);
    std::size_t n = safe_vformat(buffer, size, format, args);
    va_end(args);
    return n;
}

void safe_vwrite(int fd, char const *format, std::va_list args) {
    char buffer[1024];
    std::size_t n = safe_vformat(buffer, sizeof buffer, format, args);
    int saved = errno;
    for (std::size_t done = 0; done < n;) {
        ssize_t w = ::write(fd, buffer + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += static_cast<std::size_t>(w);
    }
    errno = saved;
}

void safe_write(int fd, char const *format, ...) {
    std::va_list args;
    va_start(args, format);
    safe_vwrite(fd, format, args);
    va_end(args);
}

int count_directory_entries(char const *prefix, char const *suffix) {
    int fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    std::size_t const plen = std::strlen(prefix), slen = std::strlen(suffix);
    alignas(8) char buffer[4096];
    int count = 0;
    for (;;) {
        long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (long off = 0; off < n;) {
            // struct linux_dirent64: d_ino, d_off, d_reclen, d_type, d_name.
            unsigned short reclen;
            std::memcpy(&reclen, buffer + off + 16, sizeof reclen);
            char const *name = buffer + off + 19;
            std::size_t len = std::strlen(name);
            if (len >= plen + slen && std::memcmp(name, prefix, plen) == 0 &&
                std::memcmp(name + len - slen, suffix, slen) == 0)
                ++count;
            off += reclen;
        }
    }
    ::close(fd);
    return count;
}

} // namespace KxWin
