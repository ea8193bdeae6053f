// The failure of a product call being handled, taken apart once: its kind, message id and text.
#pragma once

#include "tesutil/ustring.h"
#include "wire/exceptions.h"
#include "wire/trace.h"

namespace KxRpc {

struct ProductFailure {
    enum Kind { KX_EXCEPTION, PA_MSG_EXCEPTION, C_EXCEPTION, OTHER };
    Kind kind = OTHER;
    int msg_id = 0;
    Nul::UString text;

    // The text, or "Unknown error." when the failure came without one.
    Nul::UString text_or_unknown() const;
};

// Called inside a catch block. An exception of the server's own family is rethrown unchanged; a
// product exception (KXException*, PaMsgException*, CException*) gives up its message id and
// text and is deleted; anything else is OTHER with the text "Unknown error.".
ProductFailure take_product_failure();

// Runs a product call. The server's own exceptions pass unchanged; any other failure is taken
// (deleted once) and handed to `fail`, which raises the call's error.
template <class Call, class Fail>
auto product_call(Call &&call, Fail &&fail) -> decltype(call()) {
    try {
        return call();
    } catch (...) {
        fail(take_product_failure());
        throw_internal_error(Nul::UString(unknown_error_text)); // `fail` did not raise
    }
}

// "KXException", "PaMsgException", "CException" or "Exception".
char const *kind_name(ProductFailure const &failure);

// Called inside a catch block: an exception of the server's own family is rethrown unchanged;
// any other failure is taken, traced as "Exception: <kind> is caught in <method>(<text>)" and
// raised as an internal error with message 47 and its text.
[[noreturn]] void raise_unexpected(wchar_t const *method);

} // namespace KxRpc
