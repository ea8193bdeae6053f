#include "props/convert.h"
#include "wire/conversions.h"

namespace KxRpc {

Nul::UString product_message_text(PaMsgException const *e) {
    PaMessage const *first = e ? e->First() : nullptr;
    return first ? ustr(first->GetFullMsg()) : Nul::UString();
}

void raise_product_failure(Nul::UString const &text) {
    constexpr int product_failure_reason = 39;
    Nul::STPException::raise(reason(product_failure_reason), kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, text), nullptr,
                             nullptr, Nul::STPException::LOG_INFO);
}

} // namespace KxRpc
