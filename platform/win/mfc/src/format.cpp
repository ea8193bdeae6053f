// printf-style wide formatting with the Windows meaning of the string and character directives.
// Numbers are rendered by the C library (narrow snprintf), text is handled here so that wide and
// narrow arguments are read by their own kind.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "kxwin/cstring.h"
#include "kxwin/utf.h"

namespace kxwin {

namespace {

enum class Len { none, hh, h, l, ll, L, z, j, t, i64, i32 };

struct Spec {
    std::string flags;
    int width = -1;
    int precision = -1;
    Len len = Len::none;
    wchar_t conv = 0;
};

void pad_text(std::wstring &out, const std::wstring &body, const Spec &s) {
    std::wstring text = body;
    if (s.precision >= 0 && static_cast<size_t>(s.precision) < text.size())
        text.resize(static_cast<size_t>(s.precision));
    size_t width = s.width > 0 ? static_cast<size_t>(s.width) : 0;
    bool left = s.flags.find('-') != std::string::npos;
    if (text.size() < width && !left) out.append(width - text.size(), L' ');
    out += text;
    if (text.size() < width && left) out.append(width - text.size(), L' ');
}

std::string narrow_spec(const Spec &s, const char *length, char conv) {
    std::string f = "%" + s.flags;
    if (s.width >= 0) f += std::to_string(s.width);
    if (s.precision >= 0) f += "." + std::to_string(s.precision);
    f += length;
    f += conv;
    return f;
}

template <typename T>
void put_number(std::wstring &out, const std::string &fmt, T value) {
    char small[128];
    int n = std::snprintf(small, sizeof small, fmt.c_str(), value);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        out += from_utf8(std::string_view(small, static_cast<size_t>(n)));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), fmt.c_str(), value);
    big.resize(static_cast<size_t>(n));
    out += from_utf8(big);
}

bool is_wide_string(const Spec &s) {
    if (s.len == Len::h || s.len == Len::hh) return false;
    if (s.len == Len::l || s.len == Len::L) return true;
    return s.conv == L's' || s.conv == L'c'; // lower case is wide, upper case narrow
}

} // namespace

std::wstring format_wide(LPCWSTR format, va_list args) {
    std::wstring out;
    if (!format) return out;
    va_list ap;
    va_copy(ap, args);
    const wchar_t *p = format;
    while (*p) {
        if (*p != L'%') {
            out += *p++;
            continue;
        }
        const wchar_t *start = p++;
        if (*p == L'%') {
            out += L'%';
            ++p;
            continue;
        }
        Spec s;
        while (*p && std::wcschr(L"-+ #0'", *p)) s.flags += static_cast<char>(*p++);
        if (*p == L'*') {
            int w = va_arg(ap, int);
            if (w < 0) {
                s.flags += '-';
                w = -w;
            }
            s.width = w;
            ++p;
        } else {
            while (*p >= L'0' && *p <= L'9') s.width = (s.width < 0 ? 0 : s.width) * 10 + (*p++ - L'0');
        }
        if (*p == L'.') {
            ++p;
            s.precision = 0;
            if (*p == L'*') {
                int pr = va_arg(ap, int);
                s.precision = pr < 0 ? -1 : pr;
                ++p;
            } else {
                while (*p >= L'0' && *p <= L'9') s.precision = s.precision * 10 + (*p++ - L'0');
            }
        }
        if (*p == L'h') {
            ++p;
            s.len = Len::h;
            if (*p == L'h') {
                ++p;
                s.len = Len::hh;
            }
        } else if (*p == L'l') {
            ++p;
            s.len = Len::l;
            if (*p == L'l') {
                ++p;
                s.len = Len::ll;
            }
        } else if (*p == L'L') {
            ++p;
            s.len = Len::L;
        } else if (*p == L'z') {
            ++p;
            s.len = Len::z;
        } else if (*p == L'j') {
            ++p;
            s.len = Len::j;
        } else if (*p == L't') {
            ++p;
            s.len = Len::t;
        } else if (*p == L'w') {
            ++p;
            s.len = Len::l;
        } else if (*p == L'I') {
            if (p[1] == L'6' && p[2] == L'4') {
                p += 3;
                s.len = Len::i64;
            } else if (p[1] == L'3' && p[2] == L'2') {
                p += 3;
                s.len = Len::i32;
            } else {
                ++p;
                s.len = Len::z;
            }
        }
        s.conv = *p;
        if (!*p) { // a lone trailing directive is copied as it stands
            out.append(start);
            break;
        }
        ++p;
        switch (s.conv) {
        case L'd':
        case L'i':
        case L'u':
        case L'o':
        case L'x':
        case L'X': {
            bool is_signed = s.conv == L'd' || s.conv == L'i';
            char c = static_cast<char>(s.conv);
            switch (s.len) {
            case Len::ll:
            case Len::i64:
            case Len::j:
                if (is_signed)
                    put_number(out, narrow_spec(s, "ll", c), static_cast<long long>(va_arg(ap, long long)));
                else
                    put_number(out, narrow_spec(s, "ll", c),
                               static_cast<unsigned long long>(va_arg(ap, unsigned long long)));
                break;
            case Len::l:
                if (is_signed)
                    put_number(out, narrow_spec(s, "l", c), va_arg(ap, long));
                else
                    put_number(out, narrow_spec(s, "l", c), va_arg(ap, unsigned long));
                break;
            case Len::z:
            case Len::t:
                if (is_signed)
                    put_number(out, narrow_spec(s, "t", c), va_arg(ap, std::ptrdiff_t));
                else
                    put_number(out, narrow_spec(s, "z", c), va_arg(ap, size_t));
                break;
            case Len::h:
                if (is_signed)
                    put_number(out, narrow_spec(s, "", c), static_cast<int>(static_cast<short>(va_arg(ap, int))));
                else
                    put_number(out, narrow_spec(s, "", c),
                               static_cast<unsigned>(static_cast<unsigned short>(va_arg(ap, unsigned))));
                break;
            case Len::hh:
                if (is_signed)
                    put_number(out, narrow_spec(s, "", c), static_cast<int>(static_cast<signed char>(va_arg(ap, int))));
                else
                    put_number(out, narrow_spec(s, "", c),
                               static_cast<unsigned>(static_cast<unsigned char>(va_arg(ap, unsigned))));
                break;
            default:
                if (is_signed)
                    put_number(out, narrow_spec(s, "", c), va_arg(ap, int));
                else
                    put_number(out, narrow_spec(s, "", c), va_arg(ap, unsigned));
            }
            break;
        }
        case L'f':
        case L'F':
        case L'e':
        case L'E':
        case L'g':
        case L'G':
        case L'a':
        case L'A': {
            char c = static_cast<char>(s.conv);
            if (s.len == Len::L)
                put_number(out, narrow_spec(s, "L", c), va_arg(ap, long double));
            else
                put_number(out, narrow_spec(s, "", c), va_arg(ap, double));
            break;
        }
        case L'p': {
            Spec q = s;
            q.flags.clear();
            put_number(out, narrow_spec(q, "", 'p'), va_arg(ap, void *));
            break;
        }
        case L's':
        case L'S': {
            if (is_wide_string(s)) {
                const wchar_t *w = va_arg(ap, const wchar_t *);
                pad_text(out, w ? std::wstring(w) : std::wstring(L"(null)"), s);
            } else {
                const char *n = va_arg(ap, const char *);
                pad_text(out, n ? from_utf8(n) : std::wstring(L"(null)"), s);
            }
            break;
        }
        case L'c':
        case L'C': {
            if (is_wide_string(s)) {
                wchar_t w = static_cast<wchar_t>(va_arg(ap, wint_t));
                Spec q = s;
                q.precision = -1;
                pad_text(out, std::wstring(1, w), q);
            } else {
                char n = static_cast<char>(va_arg(ap, int));
                Spec q = s;
                q.precision = -1;
                pad_text(out, from_utf8(std::string_view(&n, 1)), q);
            }
            break;
        }
        case L'n':
            // Writing through an argument pointer is never honoured; the pointer is consumed.
            (void)va_arg(ap, void *);
            break;
        default:
            // Unknown directive: copied as it stands, no argument consumed.
            out.append(start, static_cast<size_t>(p - start));
        }
    }
    va_end(ap);
    return out;
}

} // namespace kxwin
