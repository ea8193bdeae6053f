// Conversions between wide text (UTF-32 wchar_t on Linux) and UTF-8 at file and database edges.
#pragma once
#include <string>
#include <string_view>

namespace kxwin {

// Malformed input never fails: each bad sequence or code point becomes U+FFFD.
std::string to_utf8(std::wstring_view text);
std::wstring from_utf8(std::string_view text);
// The text as to_utf8(from_utf8(text)) gives it; well-formed text is copied without the detour.
std::string well_formed_utf8(std::string_view text);

} // namespace kxwin
