#include "wire/conversions.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "kxproduct/datetime.h"
#include "tesutil/stpexception.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"

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
        // Out of memory while reading a number: not a number, as the caller answers it.
        ok = false;
        return 0;
    }
}

Nul::UString number_to_ustring(long value) {
    // Digits and a sign whatever the locale; no stream per number.
    char digits[24];
    char const *end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    char16_t units[sizeof digits + 1];
    std::size_t n = 0;
    for (char const *p = digits; p != end; ++p) units[n++] = static_cast<char16_t>(*p);
    units[n] = u'\0';
    return Nul::UString(units);
}

Nul::UString last_path_segment(Nul::UString const &text) {
    unsigned slash = text.find_last(L'/');
    if (slash == Nul::UString::npos) return text;
    return text.substr(slash + 1);
}

namespace {

constexpr wchar_t const *product_format = L"%Y-%m-%d %H:%M:%S";
constexpr wchar_t const *reply_format = L"%Y-%m-%dT%H:%M:%SZ";
// Client offsets beyond a day are no time zone.
constexpr long long max_client_offset_ms = 24LL * 60 * 60 * 1000;

[[noreturn]] void raise_date(int index, Nul::UString const &text) {
    raise_reason(Reason::illegal_value, kx_message(index, Nul::UMessage::Arg(text)));
}

bool is_digit(unsigned short c, wchar_t low, wchar_t high) {
    return c >= static_cast<unsigned short>(low) && c <= static_cast<unsigned short>(high);
}

// Formats in local time and reads the text back, which proves it is in the product's range.
Nul::UString round_trip(AdDateTime const &when, Nul::UString const &input) {
    CString local = when.Format(product_format);
    AdDateTime check;
    if (when.IsNull() || !check.ParseDateTime(local.GetString(), 0)) raise_date(MSG_DATE_OUT_OF_RANGE, input);
    return ustr(local);
}

} // namespace

Nul::UString to_product_datetime(Nul::UString const &text) {
    unsigned t = text.find(L'T');
    if (t == Nul::UString::npos) {
        AdDateTime probe;
        if (!probe.ParseDateTime((text + Nul::UString(L" 00:00:00")).c_str(), 0))
            raise_date(MSG_NOT_ISO8601_DATE, text);
        return text;
    }
    Nul::UString date = text.substr(0, t) + Nul::UString(L" ") + text.substr(t + 1);
    Nul::UString offset;
    unsigned z = date.find(L'Z', t + 1);
    if (z != Nul::UString::npos) {
        date = date.substr(0, z);
    } else {
        unsigned sign = date.find(L'+', t + 1);
        if (sign == Nul::UString::npos) sign = date.find(L'-', t + 1);
        if (sign == Nul::UString::npos) raise_date(MSG_NOT_ISO8601_DATE, text);
        offset = date.substr(sign);
        date = date.substr(0, sign);
    }
    AdDateTime when;
    if (!when.ParseDateTimeGMT(date.c_str(), nullptr)) raise_date(MSG_NOT_ISO8601_DATE, text);
    if (!offset.empty()) {
        if (offset.length() != 6 || !is_digit(offset[1], L'0', L'2') || !is_digit(offset[2], L'0', L'9') ||
            offset[3] != L':' || !is_digit(offset[4], L'0', L'5') || !is_digit(offset[5], L'0', L'9'))
            raise_date(MSG_NOT_ISO8601_DATE, text);
        int hours = (offset[1] - L'0') * 10 + (offset[2] - L'0');
        int minutes = (offset[4] - L'0') * 10 + (offset[5] - L'0');
        if (hours > 23) raise_date(MSG_NOT_ISO8601_DATE, text);
        AdDuration span(0, hours, minutes, 0);
        if (offset[0] == L'+')
            when -= span;
        else
            when += span;
    }
    return round_trip(when, text);
}

Nul::UString parse_client_datetime(Nul::UString const &text, Nul::UString const &client_offset) {
    try {
        return to_product_datetime(text);
    } catch (Nul::STPException &) {
    }
    AdDateTime when = ParseVeltraneDateTime(text.c_str());
    bool shift = true;
    if (!when.IsNull()) {
        shift = text.find(L"UTC") == Nul::UString::npos;
    } else if (!when.ParseDateTime(text.c_str(), 0)) {
        raise_date(MSG_NOT_ISO8601_DATE, text);
    }
    if (shift) {
        bool negative = false;
        long long ms = 0;
        for (unsigned i = 0; i < client_offset.length(); ++i) {
            unsigned short c = client_offset[i];
            if (c == L'#' || c == 0) break;
            if (c == L'-')
                negative = true;
            else if (c == L'+')
                continue;
            else if (is_digit(c, L'0', L'9')) {
                ms = ms * 10 + (c - L'0');
                if (ms > max_client_offset_ms) raise_date(MSG_NOT_ISO8601_DATE, text);
            } else {
                raise_date(MSG_NOT_ISO8601_DATE, text);
            }
        }
        long long client_minutes = (negative ? -ms : ms) / 60000;
        long long server_minutes = static_cast<long long>(std::trunc(AdDateTime::GetUTCOffset() * 60));
        long long diff = server_minutes - client_minutes;
        long long size = diff < 0 ? -diff : diff;
        AdDuration span(0, static_cast<int>(size / 60), static_cast<int>(size % 60), 0);
        if (server_minutes < client_minutes)
            when -= span;
        else
            when += span;
    }
    return round_trip(when, text);
}

Nul::UString to_iso_datetime(wchar_t const *text, bool local) {
    AdDateTime when;
    Nul::UString input(text != nullptr ? text : L"");
    if (!when.ParseDateTime(input.c_str(), 0)) raise_date(MSG_NOT_ISO8601_DATE, input);
    CString out = local ? when.Format(reply_format) : when.FormatGMT(reply_format);
    return ustr(out);
}

} // namespace KxRpc

namespace Nul {

UString operator+(UString const &text, char c) {
    UString result(text);
    result += c;
    return result;
}

} // namespace Nul
