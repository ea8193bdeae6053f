// Conversions of numbers, strings and client dates shared by handlers, properties and queries.
#pragma once

#include <string_view>

#include "kxwin/cstring.h"
#include "tesutil/ustring.h"

namespace KxRpc {

// The product's wide strings and ours, at the edge of every product call.
inline Nul::UString ustr(CString const &s) { return Nul::UString(s.GetString()); }
inline CString cstr(Nul::UString const &s) { return CString(s.c_str()); }
// The product's UTF-8 as ustr would carry it: up to the first NUL.
inline std::string_view utf8_text(std::string_view utf8) { return utf8.substr(0, utf8.find('\0')); }

// Decimal text to an unsigned 32-bit value. `ok` is true only when the whole text is one number
// within 0..4294967295 with no minus sign anywhere (also not after white space). Never throws.
unsigned long parse_unsigned(Nul::UString const &text, bool &ok);

Nul::UString number_to_ustring(long value);

// The part after the last "/"; the whole text when it has none.
Nul::UString last_path_segment(Nul::UString const &text);

// A client date ("date", or "date" "T" "time" and "Z" or +HH:MM / -HH:MM) to the product's text
// in server local time. Failures raise reason 4 with message 19 (not a date) or 20 (out of range).
Nul::UString to_product_datetime(Nul::UString const &text);

// As to_product_datetime, falling back to the version-control product's form and the product's
// own form, shifted from the client's offset (milliseconds from UTC, at most a day either way).
Nul::UString parse_client_datetime(Nul::UString const &text, Nul::UString const &client_offset);

// A product date to "%Y-%m-%dT%H:%M:%SZ", formatted in local time when `local` is set. A text the
// product cannot parse raises reason 4 with message 19.
Nul::UString to_iso_datetime(wchar_t const *text, bool local);

} // namespace KxRpc

namespace Nul {
// The string with one character appended, masked to its low 7 bits.
UString operator+(UString const &text, char c);
} // namespace Nul
