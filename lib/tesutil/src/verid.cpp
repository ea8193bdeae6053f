#include "tesutil/verid.h"

#include <cstdio>

namespace Nul {

char *print_verid_to(char *buf, std::size_t size, char const *name, char const *version, char const *built) {
    if (buf && size) std::snprintf(buf, size, "%-*s %s (%s)\n", 33, name, version, built);
    return buf;
}

} // namespace Nul

extern "C" void libwexutil_print_verid(void) {
    char line[160];
    std::fputs(Nul::print_verid_to(line, sizeof line, "libwexutil", "9.0.1.5", "Tue Oct 16 22:52:55 2018"), stdout);
    std::fflush(stdout);
}
