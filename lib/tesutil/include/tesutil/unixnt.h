// Unix-style platform calls: file opening by path with the long-path rule, time of day with
// microseconds, a sysconf subset, ASCII case-insensitive comparison, UUID generation and the
// mapping of Windows error codes. The C functions return -1 or null and set errno on failure.
#pragma once

#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/time.h>

extern "C" {

// A UUID in the field layout of a Windows GUID.
struct tbs_uuid_s {
    uint32_t time_low;
    uint16_t time_mid;
    uint16_t time_hi_and_version;
    uint8_t clock_seq_hi_and_reserved;
    uint8_t clock_seq_low;
    uint8_t node[6];
};

// The same 16 bytes seen as four words.
struct tbs_oid_s {
    uint32_t words[4];
};

int vexhub_unix_nt_open(const char *path, int flags, int perm);
FILE *vexhub_unix_nt_fopen(const char *path, const char *mode);
int vexhub_unix_nt_close(int fd);
int vexhub_unix_nt_fclose(FILE *stream);
int64_t vexhub_unix_nt_time(int64_t *seconds);
// Values handed out in one process strictly increase, across all threads. Always 0.
int vexhub_gettimeofday(struct timeval *tv, struct timezone *tz);
long vexhub_sysconf(int name);
// 0, or 1001 when no UUID could be made.
int vexhub_tbs_uuid_gen(struct tbs_uuid_s *uuid);
// Not provided on this platform: always 1.
int vexhub_sysutl_get_random_bytes(void *buffer, size_t size);
int vexhub_nt_win32error2errno(int32_t code);
// ASCII-only case folding; bytes above 127 compare as themselves.
int vexhub_strcasecmp(const char *a, const char *b);
int vexhub_strncasecmp(const char *a, const char *b, size_t count);

} // extern "C"

namespace Nul {

// Platform bits.
enum : uint32_t {
    PLATFORM_WIN32S = 1,
    PLATFORM_WIN95 = 2,
    PLATFORM_WIN98 = 4,
    PLATFORM_NT3 = 256,
    PLATFORM_NT4 = 512,
    PLATFORM_NT5 = 1024,
    PLATFORM_VISTA = 2048,
    PLATFORM_WIN7 = 4096
};

constexpr uint64_t filetime_1970 = 116444736000000000ull;
constexpr size_t max_full_path = 1023; // characters
constexpr size_t max_short_path = 259; // characters, without long paths

// From "TEVRA_FORCE_PLATFORM", else from the system; cached for the process.
uint32_t detect_platform();
// 2 for the NT family, 1 for Windows 9x, else 0.
int platform_class(uint32_t bits);
bool long_paths_enabled();
void disable_long_paths();
// The full path of `path` (made absolute and normalised) into `out`; -1 with errno ENAMETOOLONG
// and the Windows error 111 when it breaks the long-path rule.
int to_full_path(const char *path, char *out, size_t size);
// The Windows error behind the calling thread's last failure here.
int32_t last_dos_error();
int set_file_length(int fd, int64_t size);
int truncate_file(const char *path, int perm);
int64_t filetime_since_1970(uint64_t filetime, int64_t offset);
// Milliseconds of user and kernel time (children's given the same) and the tick count as result.
int64_t process_times(int64_t *user, int64_t *kernel, int64_t *children_user, int64_t *children_kernel);
// At most size - 1 characters and a NUL; *length gets the value's length plus one. Null when unset.
char *copy_env_value(const char *name, char *buffer, size_t size, size_t *length);
// "NAME=VALUE" sets, "NAME=" removes; 0 or -1.
int put_env(const char *assignment);

} // namespace Nul
