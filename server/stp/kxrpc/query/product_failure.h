// What a caught product failure said, taken once: the product's three exception kinds are thrown
// by pointer and must be deleted by whoever catches them.
#pragma once

#include "tesutil/ustring.h"

namespace KxRpc {

struct ProductFailure {
    enum Kind { kx_exception, message_exception, class_exception, other };
    Kind kind = other;
    int msg_id = 0; // the product's message id (the first message of a message exception)
    Nul::UString text;
};

// Only inside a catch block: classifies the exception being handled and deletes it when it is a
// product exception. Never throws.
ProductFailure take_product_failure() noexcept;

} // namespace KxRpc
