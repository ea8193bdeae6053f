#include "session/sso.h"

#include <mutex>

namespace KxRpc {

namespace {
std::mutex sso_lock;
Nul::UString &stored() {
    static Nul::UString *password = new Nul::UString;
    return *password;
}
} // namespace

Nul::UString sso_password() {
    std::lock_guard<std::mutex> guard(sso_lock);
    return stored();
}

void set_sso_password(Nul::UString const &encrypted) {
    std::lock_guard<std::mutex> guard(sso_lock);
    stored() = encrypted;
}

} // namespace KxRpc
