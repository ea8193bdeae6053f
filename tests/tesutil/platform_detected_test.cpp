#include "platform_test.h"

class PlatformDetected : public TempRegistry {};

TEST_F(PlatformDetected, UnknownNameIsIgnored) {
    // No Windows version can be asked for here, which counts as "cannot tell".
    EXPECT_EQ(Nul::detect_platform(), uint32_t(Nul::PLATFORM_WIN32S));
    EXPECT_EQ(Nul::platform_class(Nul::detect_platform()), 0);
}

TEST_F(PlatformDetected, DisablingLongPathsHoldsForTheProcess) {
    EXPECT_TRUE(Nul::long_paths_enabled());
    std::string p = long_path(registry_dir_, 300);
    int fd = vexhub_unix_nt_open(p.c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    vexhub_unix_nt_close(fd);
    Nul::disable_long_paths();
    EXPECT_FALSE(Nul::long_paths_enabled());
    errno = 0;
    EXPECT_EQ(vexhub_unix_nt_open(p.c_str(), O_RDWR, 0600), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
}
