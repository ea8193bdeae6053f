// Files on disk in tests: whether a path exists, and a file's bytes.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>

namespace kxtest {

inline bool exists(std::string const &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

inline std::string contents(std::string const &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace kxtest
