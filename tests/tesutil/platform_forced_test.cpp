#include "platform_test.h"

class PlatformForced : public TempRegistry {};

TEST_F(PlatformForced, NameInCapitalsIsTaken) {
    EXPECT_EQ(Nul::detect_platform(), uint32_t(Nul::PLATFORM_VISTA));
    EXPECT_EQ(Nul::platform_class(Nul::detect_platform()), 2);
}

TEST_F(PlatformForced, RegistrySwitchForbidsLongPaths) {
    uint32_t one = 1;
    ASSERT_EQ(vexhub_ntregy_set_param(62, &one, nullptr), 0);
    EXPECT_FALSE(Nul::long_paths_enabled());
    std::string p = long_path(registry_dir_, 300);
    errno = 0;
    EXPECT_EQ(vexhub_unix_nt_open(p.c_str(), O_CREAT | O_RDWR, 0600), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(Nul::last_dos_error(), 111);
    // 259 characters are still fine; a 260-character path is not, even when it shortens.
    std::string ok = long_path(registry_dir_, 259);
    int fd = vexhub_unix_nt_open(ok.c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    vexhub_unix_nt_close(fd);
    std::string dotted = registry_dir_ + "/./" + std::string(260 - registry_dir_.size() - 3, 'g');
    ASSERT_EQ(dotted.size(), 260u);
    EXPECT_EQ(vexhub_unix_nt_open(dotted.c_str(), O_CREAT | O_RDWR, 0600), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
}
