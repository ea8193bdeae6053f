#include "tesutil/unixnt.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "registry_fixture.h"
#include "tesutil/ntregy.h"
#include "tesutil/verid.h"

namespace fs = std::filesystem;

namespace {

class UnixNt : public TempRegistry {
protected:
    void SetUp() override {
        TempRegistry::SetUp();
        char tmpl[] = "/tmp/kxunixnt_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        fs::remove_all(dir_);
        TempRegistry::TearDown();
    }
    // A file path of at least `length` characters below the test folder; its folders exist.
    std::string long_path(size_t length) {
        std::string p = dir_;
        while (p.size() + 60 < length) {
            p += "/" + std::string(50, 'd');
            fs::create_directory(p);
        }
        p += "/";
        p += std::string(length - p.size(), 'f');
        return p;
    }
    static std::string slurp(std::string const &path) {
        std::ifstream f(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    std::string dir_;
};

} // namespace

TEST(UnixNtCalls, CaseInsensitiveCompareIsAsciiOnly) {
    EXPECT_EQ(vexhub_strcasecmp("ABC", "abc"), 0);
    EXPECT_EQ(vexhub_strcasecmp("abc", "ABD"), 'c' - 'd');
    EXPECT_EQ(vexhub_strcasecmp("abc", "ab"), 'c');
    EXPECT_NE(vexhub_strcasecmp("\xC4", "\xE4"), 0); // no folding above 127
    EXPECT_EQ(vexhub_strcasecmp("\xC4", "\xE4"), 0xC4 - 0xE4);
    EXPECT_EQ(vexhub_strncasecmp("HELLO world", "hello WORLD!", 11), 0);
    EXPECT_NE(vexhub_strncasecmp("HELLO world", "hello WORLD!", 12), 0);
    EXPECT_EQ(vexhub_strncasecmp("ab", "AB", 100), 0); // stops after the NUL
    EXPECT_EQ(vexhub_strncasecmp("x", "y", 0), 0);
}

TEST(UnixNtCalls, SysconfAndRandomBytes) {
    EXPECT_EQ(vexhub_sysconf(2), 1000);
    EXPECT_EQ(vexhub_sysconf(4), 2147483647L);
    EXPECT_EQ(vexhub_sysconf(3), 0);
    EXPECT_EQ(vexhub_sysconf(-1), 0);
    char b[4];
    EXPECT_EQ(vexhub_sysutl_get_random_bytes(b, sizeof b), 1);
}

TEST(UnixNtCalls, ErrorMapping) {
    errno = 1234;
    EXPECT_EQ(vexhub_nt_win32error2errno(0), 0);
    EXPECT_EQ(vexhub_nt_win32error2errno(2), ENOENT);
    EXPECT_EQ(vexhub_nt_win32error2errno(5), EACCES);
    EXPECT_EQ(vexhub_nt_win32error2errno(80), EEXIST);
    EXPECT_EQ(vexhub_nt_win32error2errno(111), ENAMETOOLONG);
    EXPECT_EQ(vexhub_nt_win32error2errno(99999), EINVAL);
    EXPECT_EQ(errno, 1234); // left as it was
}

TEST(UnixNtCalls, TimeOfDayStrictlyIncreasesAcrossThreads) {
    EXPECT_EQ(vexhub_gettimeofday(nullptr, nullptr), 0);
    timeval a{}, b{};
    ASSERT_EQ(vexhub_gettimeofday(&a, nullptr), 0);
    ASSERT_EQ(vexhub_gettimeofday(&b, nullptr), 0);
    int64_t ua = int64_t(a.tv_sec) * 1000000 + a.tv_usec, ub = int64_t(b.tv_sec) * 1000000 + b.tv_usec;
    EXPECT_GT(ub, ua);
    EXPECT_LT(std::llabs(int64_t(time(nullptr)) - a.tv_sec), 2);
    EXPECT_GE(a.tv_usec, 0);
    EXPECT_LT(a.tv_usec, 1000000);

    constexpr int threads = 4, per_thread = 20000;
    std::vector<std::vector<int64_t>> seen(threads);
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t)
        ts.emplace_back([&seen, t] {
            seen[t].reserve(per_thread);
            for (int i = 0; i < per_thread; ++i) {
                timeval v{};
                vexhub_gettimeofday(&v, nullptr);
                seen[t].push_back(int64_t(v.tv_sec) * 1000000 + v.tv_usec);
            }
        });
    for (auto &t : ts) t.join();
    std::vector<int64_t> all;
    for (auto const &s : seen) {
        EXPECT_TRUE(std::is_sorted(s.begin(), s.end()));
        all.insert(all.end(), s.begin(), s.end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()); // no value handed out twice

    struct timezone tz {};
    ASSERT_EQ(vexhub_gettimeofday(&a, &tz), 0);
    tzset();
    EXPECT_EQ(tz.tz_minuteswest, static_cast<int>(::timezone / 60));
    EXPECT_TRUE(tz.tz_dsttime == 0 || tz.tz_dsttime == 1);
}

TEST(UnixNtCalls, UuidGenerationKeepsGuidFields) {
    tbs_uuid_s u{}, v{};
    ASSERT_EQ(vexhub_tbs_uuid_gen(&u), 0);
    ASSERT_EQ(vexhub_tbs_uuid_gen(&v), 0);
    EXPECT_NE(std::memcmp(&u, &v, sizeof u), 0);
    EXPECT_EQ(sizeof u, 16u);
    // Version and variant sit where the GUID fields put them.
    unsigned version = u.time_hi_and_version >> 12;
    EXPECT_TRUE(version == 1 || version == 4) << version;
    EXPECT_EQ(u.clock_seq_hi_and_reserved & 0xC0, 0x80);
    EXPECT_EQ(vexhub_tbs_uuid_gen(nullptr), 1001);
}

TEST(UnixNtCalls, TimeEnvironmentAndProcessTimes) {
    int64_t s = 0;
    int64_t r = vexhub_unix_nt_time(&s);
    EXPECT_EQ(r, s);
    EXPECT_LT(std::llabs(r - int64_t(time(nullptr))), 2);
    EXPECT_EQ(vexhub_unix_nt_time(nullptr) >= r, true);
    EXPECT_EQ(Nul::filetime_since_1970(Nul::filetime_1970 + 50, 7), 57);

    ASSERT_EQ(Nul::put_env("KX_UNIXNT_TEST=abcdef"), 0);
    char buf[4];
    size_t len = 0;
    EXPECT_EQ(Nul::copy_env_value("KX_UNIXNT_TEST", buf, sizeof buf, &len), buf);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(len, 7u);
    ASSERT_EQ(Nul::put_env("KX_UNIXNT_TEST="), 0);
    EXPECT_EQ(Nul::copy_env_value("KX_UNIXNT_TEST", buf, sizeof buf, &len), nullptr);
    EXPECT_EQ(Nul::put_env("novalue"), -1);

    int64_t u = -1, k = -1, cu = -1, ck = -1;
    int64_t ticks = Nul::process_times(&u, &k, &cu, &ck);
    EXPECT_GT(ticks, 0);
    EXPECT_GE(u, 0);
    EXPECT_EQ(cu, u);
    EXPECT_EQ(ck, k);
    EXPECT_EQ(Nul::platform_class(Nul::PLATFORM_VISTA), 2);
    EXPECT_EQ(Nul::platform_class(Nul::PLATFORM_WIN98), 1);
    EXPECT_EQ(Nul::platform_class(Nul::PLATFORM_WIN32S), 0);
    EXPECT_EQ(Nul::platform_class(0), 0);
}

TEST_F(UnixNt, FullPaths) {
    char out[2048];
    ASSERT_EQ(Nul::to_full_path("/a/./b/../c//d", out, sizeof out), 0);
    EXPECT_STREQ(out, "/a/c/d");
    ASSERT_EQ(Nul::to_full_path("/../x", out, sizeof out), 0);
    EXPECT_STREQ(out, "/x");
    std::string cwd = fs::current_path().string();
    ASSERT_EQ(Nul::to_full_path("p/../q", out, sizeof out), 0);
    EXPECT_EQ(std::string(out), cwd + "/q");
    EXPECT_EQ(Nul::to_full_path("/abc", out, 4), -1); // does not fit the output
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(Nul::last_dos_error(), 111);
}

TEST_F(UnixNt, LongPathsOpenWithoutTheRegistrySwitch) {
    EXPECT_TRUE(Nul::long_paths_enabled());
    std::string p = long_path(300);
    ASSERT_GE(p.size(), 300u);
    int fd = vexhub_unix_nt_open(p.c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_EQ(vexhub_unix_nt_close(fd), 0);
    EXPECT_TRUE(fs::exists(p));
    // Beyond 1023 characters nothing opens.
    std::string q = long_path(1030);
    errno = 0;
    EXPECT_EQ(vexhub_unix_nt_open(q.c_str(), O_CREAT | O_RDWR, 0600), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(Nul::last_dos_error(), 111);
    EXPECT_EQ(vexhub_unix_nt_fopen(q.c_str(), "r"), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(UnixNt, FopenModes) {
    std::string p = dir_ + "/f.txt";
    { std::ofstream(p) << "old content"; }
    FILE *f = vexhub_unix_nt_fopen(p.c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(slurp(p), ""); // cut to length 0 at once
    std::fputs("new", f);
    EXPECT_EQ(vexhub_unix_nt_fclose(f), 0);
    EXPECT_EQ(slurp(p), "new");

    std::string q = dir_ + "/fresh.bin";
    f = vexhub_unix_nt_fopen(q.c_str(), "w+b");
    ASSERT_NE(f, nullptr);
    std::fputs("xy\n", f);
    std::rewind(f);
    char buf[8] = {};
    ASSERT_NE(std::fgets(buf, sizeof buf, f), nullptr); // readable too
    EXPECT_STREQ(buf, "xy\n");
    vexhub_unix_nt_fclose(f);
    struct stat st {};
    ASSERT_EQ(::stat(q.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    f = vexhub_unix_nt_fopen(q.c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fgetc(f), EOF); // write only
    vexhub_unix_nt_fclose(f);

    f = vexhub_unix_nt_fopen(p.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    std::fputs("+more", f);
    vexhub_unix_nt_fclose(f);
    EXPECT_EQ(slurp(p), "new+more");

    f = vexhub_unix_nt_fopen(p.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    vexhub_unix_nt_fclose(f);

    errno = 0;
    EXPECT_EQ(vexhub_unix_nt_fopen((dir_ + "/missing").c_str(), "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(vexhub_unix_nt_fopen(p.c_str(), "rbbbbbbbbb"), nullptr); // 10 characters
    EXPECT_EQ(errno, EINVAL);
    f = vexhub_unix_nt_fopen(p.c_str(), "rbbbbbbbb"); // 9 are fine
    ASSERT_NE(f, nullptr);
    vexhub_unix_nt_fclose(f);

    ASSERT_EQ(Nul::truncate_file(p.c_str(), 0600), 0);
    EXPECT_EQ(slurp(p), "");
    EXPECT_EQ(Nul::truncate_file((dir_ + "/none").c_str(), 0600), -1);
    int fd = vexhub_unix_nt_open(p.c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(Nul::set_file_length(fd, 10), 0);
    vexhub_unix_nt_close(fd);
    EXPECT_EQ(fs::file_size(p), 10u);
}

TEST(UnixNtCalls, VersionLine) {
    std::string expected = "libwexutil" + std::string(23, ' ') + " 9.0.1.5 (Tue Oct 16 22:52:55 2018)\n";
    testing::internal::CaptureStdout();
    libwexutil_print_verid();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    char small[12];
    Nul::print_verid_to(small, sizeof small, "libwexutil", "9.0.1.5", "x");
    EXPECT_STREQ(small, "libwexutil ");
}
