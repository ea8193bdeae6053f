#include "props/convert.h"
#include "wire/conversions.h"

namespace KxRpc {

Nul::UString product_message_text(PaMsgException const *e) {
    PaMessage const *first = e ? e->First() : nullptr;
    return first ? ustr(first->GetFullMsg()) : Nul::UString();
}

void raise_product_failure(Nul::UString const &text) {
    raise_reason(Reason::unexpected_failure, kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, text));
}

} // namespace KxRpc
