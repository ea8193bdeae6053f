#include "wire/casts.h"

#include "tesutil/stpexception.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"

namespace KxRpc {

void raise_cast_failure(Nul::UMessage::Arg const &expected) {
    raise_reason(Reason::internal_error, kx_message(MSG_EXPECTED_OBJECT, expected));
}

} // namespace KxRpc
