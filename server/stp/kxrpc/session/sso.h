// The encrypted single-sign-on client password that start-up loads from "sso.properties".
#pragma once

#include "tesutil/ustring.h"

namespace KxRpc {

// A copy of the stored password; empty when start-up found none.
Nul::UString sso_password();
// Called by start-up once the file has been read.
void set_sso_password(Nul::UString const &encrypted);

} // namespace KxRpc
