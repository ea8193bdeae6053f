// libtirpc's clients share one AUTH_NONE handle, made on first use. libtirpc reads the pointer to it
// before taking its lock, so clients made at once on several threads can each make one, and all but
// the one kept leak. Made once here (a static's initialisation is thread-safe), before any client.
#pragma once

#include <rpc/rpc.h>

namespace kxtest {

inline void share_auth_none() {
    static AUTH *const shared = authnone_create();
    (void)shared;
}

} // namespace kxtest
