// The server's trace lines, written to the product's diagnostic facility under "KXRPC" (id 66).
// Nothing is formatted unless the line's level is enabled.
#pragma once

#include <source_location>
#include <utility>

#include "tesutil/stpexception.h"
#include "tesutil/ustring.h"

class CException;
class KXObject;

namespace KxRpc {

constexpr int kxrpc_diag_id = 66;
constexpr int throw_diag_id = 21;

// Whether a server line of this level (1 normal, 2 detail) is wanted.
bool trace_enabled(int level);
// Reports an already formatted line when its level is wanted.
void trace_text(int level, Nul::UString const &text);
// Formats only when the level is wanted: `make` returns the line.
template <class Make>
void trace_lazy(int level, Make &&make) {
    if (trace_enabled(level)) trace_text(level, std::forward<Make>(make)());
}

void trace_start(Nul::UString const &method, Nul::UString const &text);
void trace_finish(Nul::UString const &method, Nul::UString const &text);
void trace_info(Nul::UString const &method, Nul::UString const &text);
void trace_exception(Nul::UString const &method, Nul::UString const &text);
void trace_stp_exception(Nul::UString const &method, Nul::STPException const &e);
void trace_exception_detail(Nul::UString const &method, Nul::UString const &text, Nul::STPException const &e);

// "%s(%s)": the type name and the product's text of the object; at the detail level also its
// reference count.
Nul::UString trace_object_text(wchar_t const *type_name, KXObject const *object);

// The text that error paths use when a caught failure carries none of its own.
constexpr wchar_t const *unknown_error_text = L"Unknown error.";
// The cause given when memory ran out.
constexpr wchar_t const *out_of_memory_text = L"Not enough memory.";

// Cleanup that must not fail: runs `step` and reports and drops whatever it throws (a product
// exception is deleted, a CException goes to AdIgnoreException, anything else to
// AdIgnoreUnknownException).
void ignore_current_exception(std::source_location where) noexcept;
template <class Step>
void ignoring_failures(Step &&step, std::source_location where = std::source_location::current()) noexcept {
    try {
        std::forward<Step>(step)();
    } catch (...) {
        ignore_current_exception(where);
    }
}

} // namespace KxRpc
