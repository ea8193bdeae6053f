// The failure of a product call being handled, taken apart once: its kind, message id and text.
#pragma once

#include <exception>
#include <optional>
#include <source_location>

#include <rpc/xdr.h>

#include "tesutil/ustring.h"
#include "wire/exceptions.h"
#include "wire/trace.h"

namespace KxRpc {

struct ProductFailure {
    enum Kind : unsigned { KX_EXCEPTION = 1, PA_MSG_EXCEPTION = 2, C_EXCEPTION = 4, OTHER = 8 };
    static constexpr unsigned ANY_KIND = KX_EXCEPTION | PA_MSG_EXCEPTION | C_EXCEPTION | OTHER;

    Kind kind = OTHER;
    int msg_id = 0;
    Nul::UString text;
    Nul::UString source; // where a KXException says it was raised

    // The text, or "Unknown error." when the failure came without one.
    Nul::UString text_or_unknown() const;
    // The product's own text: empty for a failure that was no product exception.
    Nul::UString product_text() const { return kind == OTHER ? Nul::UString() : text; }
    // A KXException or CException: the kinds that carry an error string of their own.
    bool has_error_string() const { return kind == KX_EXCEPTION || kind == C_EXCEPTION; }
};

// What a taking routine takes and how it reads it. A failure it does not take passes unchanged.
struct Taking {
    unsigned kinds = ProductFailure::ANY_KIND;
    // The server's own exceptions are taken too, as OTHER, rather than passed on.
    bool server_exceptions = false;
    // A message exception's text with its parameters filled in, rather than the bare message.
    bool full_message = false;
};

// Only the failures of one kind.
constexpr Taking taking_only(ProductFailure::Kind kind, bool full_message = false) {
    return Taking{kind, false, full_message};
}
// Every failure, the server's own exceptions included.
constexpr Taking taking_everything{ProductFailure::ANY_KIND, true, false};

// Called inside a catch block. A product exception (KXException*, PaMsgException*, CException*)
// gives up its message id and text and is deleted exactly once, even when reading its text
// fails; anything else is OTHER with the text "Unknown error." ("Not enough memory." for a failed
// allocation). What `taking` leaves out is rethrown unchanged: by default the server's own
// exceptions.
ProductFailure take_product_failure(Taking const &taking = {});

// Runs a product call. What `taking` leaves out passes unchanged; any other failure is taken
// (deleted once) and handed to `fail`, which raises the call's error.
template <class Call, class Fail>
auto product_call(Call &&call, Fail &&fail, Taking const &taking = {}) -> decltype(call()) {
    try {
        return call();
    } catch (...) {
        fail(take_product_failure(taking));
        throw_internal_error(Nul::UString(unknown_error_text)); // `fail` did not raise
    }
}

// Runs a product call whose failure the caller answers without raising: the failure taken, or
// none when the call succeeded.
template <class Call>
std::optional<ProductFailure> failure_of(Call &&call, Taking const &taking = {}) {
    try {
        call();
        return std::nullopt;
    } catch (...) {
        return take_product_failure(taking);
    }
}

// "KXException", "PaMsgException", "CException" or "Exception".
char const *kind_name(ProductFailure const &failure);

// Traces "Exception: <kind> is caught in <method>(<text>)".
void trace_caught(ProductFailure const &failure, Nul::UString const &method);

// Reports a failure the server goes on without, as the product reports ignored exceptions:
// "IGNORING (at <where>): <text>" under "Throw" when that diagnostic is enabled.
void report_ignored(ProductFailure const &failure, std::source_location where) noexcept;

// An internal error with message 47 and the text.
[[noreturn]] void raise_unexpected_text(Nul::UString const &text);

// Traces the failure as "Exception: <kind> is caught in <method>(<text>)" and raises it as an
// internal error with message 47 and its text.
[[noreturn]] void raise_unexpected(ProductFailure const &failure, wchar_t const *method);

// Called inside a catch block: an exception of the server's own family is rethrown unchanged;
// any other failure is taken and raised as above.
[[noreturn]] void raise_unexpected(wchar_t const *method);

// The `fail` of a product call whose failures are raised as unexpected in `method`.
inline auto unexpected_in(wchar_t const *method) {
    return [method](ProductFailure const &failure) { raise_unexpected(failure, method); };
}

// The product's refusal of something the user may not do (message KX_MSG_NOT_PRIVILEGED): a
// refusal, answered in the product's words, not a fault.
bool is_privilege_refusal(ProductFailure const &failure);
// Reason 80 with message 92 and the product's text.
KxRpcException refusal(ProductFailure const &failure);
[[noreturn]] void raise_refusal(ProductFailure const &failure);

// Called inside a catch block: the failure as the exception its call is answered with. A server
// exception stays as it is; anything else is taken (a product exception deleted once), traced
// under `method` (a standard exception with its own text) and becomes the internal error
// raise_unexpected gives.
std::exception_ptr answerable_failure(wchar_t const *method) noexcept;

// The catch-all of an XDR routine, which must not let anything unwind into the runtime. Called
// inside the catch block: the failure is held for the dispatcher, a decode's as the call's error
// and an encode's as the reply's (see hold_decode_failure), and FALSE is returned. A free has
// no call to answer: its failure is reported and dropped.
bool_t hold_failure(XDR *xdrs, wchar_t const *method) noexcept;

} // namespace KxRpc
