// The library's version line.
#pragma once

#include <cstddef>

extern "C" {
// Prints "libwexutil" padded to 33 characters, the version and the build time on stdout.
void libwexutil_print_verid(void);
}

namespace Nul {
// Formats the version line of `name` into buf (at most size bytes, NUL included); returns buf.
char *print_verid_to(char *buf, std::size_t size, char const *name, char const *version, char const *built);
} // namespace Nul
