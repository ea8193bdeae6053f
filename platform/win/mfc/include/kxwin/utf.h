// Conversions between wide text (UTF-32 wchar_t on Linux) and UTF-8 at file and database edges.
#pragma once
#include <string>
#include <string_view>

namespace kxwin {

// Malformed input never fails: each bad sequence or code point becomes U+FFFD.
std::string to_utf8(std::wstring_view text);
std::wstring from_utf8(std::string_view text);

}  // namespace kxwin
