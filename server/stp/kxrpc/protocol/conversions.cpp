#include "protocol/conversions.h"

#include <cwctype>
#include <locale>
#include <sstream>

namespace KxRpc {

unsigned long parse_unsigned(Nul::UString const &text, bool &ok) {
    ok = false;
    try {
        wchar_t const *p = text.c_str();
        // The stream skips white space and would wrap a negative value around.
        for (wchar_t const *q = p; *q; ++q) {
            if (*q == L'-') return 0;
            if (!std::iswspace(static_cast<wint_t>(*q))) break;
        }
        std::wistringstream in{std::wstring(p)};
        in.imbue(std::locale::classic());
        unsigned long value = 0;
        in >> value;
        if (in.fail()) return 0;
        if (in.peek() != std::char_traits<wchar_t>::eof()) return value;
        if (value > 0xFFFFFFFFul) return value;
        ok = true;
        return value;
    } catch (...) {
        ok = false;
        return 0;
    }
}

Nul::UString number_to_ustring(long value) {
    std::wostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    return Nul::UString(out.str());
}

Nul::UString last_path_segment(Nul::UString const &text) {
    unsigned slash = text.find_last(L'/');
    if (slash == Nul::UString::npos) return text;
    return text.substr(slash + 1);
}

Nul::UString replace_prefix(Nul::UString const &old_prefix, Nul::UString const &new_prefix,
                            Nul::UString const &text) {
    Nul::UString result(new_prefix);
    if (old_prefix.length() < text.length()) result.append(text.substr(old_prefix.length()));
    return result;
}

} // namespace KxRpc

namespace Nul {

UString operator+(UString const &text, char c) {
    UString result(text);
    result += c;
    return result;
}

} // namespace Nul
