// Gives a test process a temporary directory of its own. Temporary objects are named by a
// per-process counter, so processes that share /tmp reuse each other's names, and a check that
// an upload's directory is gone could see another test's directory under the same name.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/host.h"

namespace kxtest {

struct PrivateTmp {
    std::string dir;
    PrivateTmp() {
        std::string pattern = temp_dir() + "/kx-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) return;
        dir = pattern;
        ::setenv("TMP", dir.c_str(), 1); // read first for temporary objects; TMPDIR stays the tests' own
    }
    ~PrivateTmp() {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
};

// Set before main, so before the first temporary file is named.
inline PrivateTmp private_tmp;

} // namespace kxtest
