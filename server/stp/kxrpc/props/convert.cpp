#include "props/convert.h"

namespace KxRpc {

Nul::UString product_message_text(PaMsgException const *e) {
    PaMessage const *first = e ? e->First() : nullptr;
    return first ? Nul::UString(first->GetFullMsg().GetString()) : Nul::UString();
}

void raise_product_failure(Nul::UString const &text) {
    raise_reason(Reason::unexpected_failure, kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, text));
}

} // namespace KxRpc
