// How property work turns a failure of the product interface into the server's exception.
#pragma once

#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"

namespace KxRpc {

// Reason 39 with message 47 and the given text.
[[noreturn]] void raise_product_failure(Nul::UString const &text);

// The product's privilege refusal is answered as one (raise_refusal). A product message exception becomes an internal
// error with message 47 and its full text, a KXException reason 39 with message 47 and its text, anything else reason
// 39 with message 47 and no text. With `method` set, the last two kinds are traced under it.
[[noreturn]] void raise_converted(ProductFailure const &failure, wchar_t const *method);

// Runs `work`. The server's own exceptions pass unchanged; any other failure is taken (deleted
// exactly once) and raised as raise_converted says.
template <class Work>
void converting_product_failures(Work &&work, wchar_t const *method = nullptr) {
    product_call(
        work, [method](ProductFailure const &f) { raise_converted(f, method); }, Taking{.full_message = true});
}

} // namespace KxRpc
