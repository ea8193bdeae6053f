#include "props/convert.h"

#include "wire/trace.h"

namespace KxRpc {

void raise_product_failure(Nul::UString const &text) {
    raise_reason(Reason::unexpected_failure, kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, text));
}

void raise_converted(ProductFailure const &failure, wchar_t const *method) {
    if (is_privilege_refusal(failure)) raise_refusal(failure);
    switch (failure.kind) {
    case ProductFailure::PA_MSG_EXCEPTION:
        raise_unexpected_text(failure.text);
    case ProductFailure::KX_EXCEPTION:
        if (method) trace_exception(Nul::UString(method) + Nul::UString(L", KXException: "), failure.text);
        raise_product_failure(failure.text);
    default:
        // The error record keeps the generic form; the product's text goes to the trace only.
        if (method)
            trace_exception(Nul::UString(method) + Nul::UString(L" ... : "),
                            failure.kind == ProductFailure::C_EXCEPTION ? failure.text : Nul::UString());
        raise_product_failure(Nul::UString());
    }
}

} // namespace KxRpc
