// Settings every test program starts with, before any test runs; the servers the end-to-end tests
// start inherit them.
#include <cstdlib>

namespace {
// Passwords are hashed at the least cost, so that the many logons of the tests stay cheap.
[[maybe_unused]] const int cheap_passwords = ::setenv("KX_PASSWORD_HASH_COST", "min", 0);
} // namespace
