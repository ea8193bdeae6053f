// Shared by the tests that need a process of their own: the platform and the long-path answer
// are fixed at first use.
#pragma once
#include "tesutil/unixnt.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "registry_fixture.h"
#include "tesutil/ntregy.h"

inline std::string long_path(std::string dir, size_t length) {
    while (dir.size() + 60 < length) {
        dir += "/" + std::string(50, 'd');
        std::filesystem::create_directory(dir);
    }
    dir += "/";
    dir += std::string(length - dir.size(), 'f');
    return dir;
}
