#include "wire/casts.h"

#include "tesutil/stpexception.h"
#include "wire/catalog.h"

namespace KxRpc {

void raise_cast_failure(Nul::UMessage::Arg const &expected) {
    Nul::STPException::raise(Nul::STPException::REASON_INTERNAL, kx_message(MSG_EXPECTED_OBJECT, expected), nullptr,
                             nullptr, Nul::STPException::LOG_INFO);
}

} // namespace KxRpc
