// Conversions of numbers, strings and client dates shared by handlers, properties and queries.
#pragma once

#include "tesutil/ustring.h"

namespace KxRpc {

// Decimal text to an unsigned 32-bit value. `ok` is true only when the whole text is one number
// within 0..4294967295 with no minus sign anywhere (also not after white space). Never throws.
unsigned long parse_unsigned(Nul::UString const &text, bool &ok);

Nul::UString number_to_ustring(long value);

// The part after the last "/"; the whole text when it has none.
Nul::UString last_path_segment(Nul::UString const &text);

// new_prefix followed by text without its first old_prefix.length() units (not checked).
Nul::UString replace_prefix(Nul::UString const &old_prefix, Nul::UString const &new_prefix,
                            Nul::UString const &text);

} // namespace KxRpc

namespace Nul {
// The string with one character appended, masked to its low 7 bits.
UString operator+(UString const &text, char c);
} // namespace Nul
