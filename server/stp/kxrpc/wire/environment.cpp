#include "wire/environment.h"

#include <cerrno>
#include <cstdlib>

namespace KxRpc {

long positive_from_environment(char const *name, long fallback) {
    char const *text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char *end = nullptr;
    errno = 0;
    long const value = std::strtol(text, &end, 10);
    return *end == '\0' && errno == 0 && value > 0 ? value : fallback;
}

} // namespace KxRpc
