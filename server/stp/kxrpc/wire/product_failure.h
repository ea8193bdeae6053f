// The failure of a product call being handled, taken apart once: its kind, message id and text.
#pragma once

#include "tesutil/ustring.h"

namespace KxRpc {

struct ProductFailure {
    enum Kind { KX_EXCEPTION, PA_MSG_EXCEPTION, C_EXCEPTION, OTHER };
    Kind kind = OTHER;
    int msg_id = 0;
    Nul::UString text;
};

// Called inside a catch block. An exception of the server's own family is rethrown unchanged; a
// product exception (KXException*, PaMsgException*, CException*) gives up its message id and
// text and is deleted; anything else is OTHER with the text "Unknown error.".
ProductFailure take_product_failure();

// "KXException", "PaMsgException", "CException" or "Exception".
char const *kind_name(ProductFailure const &failure);

// Called inside a catch block: an exception of the server's own family is rethrown unchanged;
// any other failure is taken, traced as "Exception: <kind> is caught in <method>(<text>)" and
// raised as an internal error with message 47 and its text.
[[noreturn]] void raise_unexpected(wchar_t const *method);

} // namespace KxRpc
