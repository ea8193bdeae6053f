#include "wexlog/tsmsg.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Log {

namespace {

// Number of messages a catalogue declares in entry 0 ("<name> <count>"), or -1.
long catalogue_count(char const *entry0) {
    if (!entry0) return -1;
    char const *blank = std::strrchr(entry0, ' ');
    if (!blank || !blank[1]) return -1;
    char *end = nullptr;
    long n = std::strtol(blank + 1, &end, 10);
    return (*end == '\0' && n >= 0) ? n : -1;
}

struct Directive {
    std::string flags;
    int width = -1;
    int precision = -1;
    char conv = 0;
};

std::string printf_one(char const *spec, ...) __attribute__((format(printf, 1, 2)));
std::string printf_one(char const *spec, ...) {
    char small[128];
    va_list ap;
    va_start(ap, spec);
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(small, sizeof small, spec, ap);
    va_end(ap);
    std::string out;
    if (n < 0) {
        va_end(ap2);
        return out;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        out.assign(small, static_cast<size_t>(n));
    } else {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), spec, ap2);
        out.resize(static_cast<size_t>(n));
    }
    va_end(ap2);
    return out;
}

std::string spec_of(Directive const &d, char const *length, char conv) {
    std::string s = "%" + d.flags;
    if (d.width >= 0) s += std::to_string(d.width);
    if (d.precision >= 0) s += "." + std::to_string(d.precision);
    s += length;
    s += conv;
    return s;
}

// Pads plain text to the directive's width ("-" pads on the right).
std::string pad(Directive const &d, std::string text) {
    if (d.width > 0 && text.size() < static_cast<size_t>(d.width)) {
        std::string fill(static_cast<size_t>(d.width) - text.size(), ' ');
        text = d.flags.find('-') != std::string::npos ? text + fill : fill + text;
    }
    return text;
}

// Cuts UTF-8 text to at most `max` bytes without splitting a character.
std::string cut_utf8(char const *s, int max) {
    std::string t(s);
    if (max < 0 || t.size() <= static_cast<size_t>(max)) return t;
    size_t n = static_cast<size_t>(max);
    while (n > 0 && (static_cast<unsigned char>(t[n]) & 0xC0) == 0x80) --n;
    return t.substr(0, n);
}

// Appends one code point as UTF-8 (invalid ones as U+FFFD).
void append_utf8(std::string &out, std::int64_t cp) {
    if (cp < 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    auto c = static_cast<std::uint32_t>(cp);
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string render_integer(Directive const &d, cxPrintfArgVal const &v) {
    bool narrow = v.kind != cxPrintfArgVal::Int64;
    switch (d.conv) {
    case 'd':
    case 'i':
        return printf_one(spec_of(d, "ll", 'd').c_str(), static_cast<long long>(v.i));
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
        // Unsigned views keep the argument's own width: -1 as a 32-bit value is 4294967295.
        unsigned long long u = narrow ? static_cast<std::uint32_t>(v.i) : static_cast<std::uint64_t>(v.i);
        return printf_one(spec_of(d, "ll", d.conv).c_str(), u);
    }
    case 'c': {
        std::string s;
        if (v.kind == cxPrintfArgVal::Char)
            s += static_cast<char>(v.i);
        else
            append_utf8(s, v.i);
        return pad(d, s);
    }
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        if (v.kind == cxPrintfArgVal::Char) return pad(d, std::string(1, static_cast<char>(v.i)));
        return printf_one(spec_of(d, "", d.conv).c_str(), static_cast<double>(v.i));
    case 'p':
        return printf_one(spec_of(d, "", 'p').c_str(), reinterpret_cast<void *>(static_cast<std::uintptr_t>(v.i)));
    default: // s, S and anything else: the number as text
        if (v.kind == cxPrintfArgVal::Char) return pad(d, std::string(1, static_cast<char>(v.i)));
        return pad(d, std::to_string(v.i));
    }
}

std::string render_double(Directive const &d, double x) {
    switch (d.conv) {
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        return printf_one(spec_of(d, "", d.conv).c_str(), x);
    default: {
        Directive g = d;
        g.precision = -1;
        return pad(d, printf_one(spec_of(g, "", 'g').c_str(), x));
    }
    }
}

std::string render(Directive const &d, cxPrintfArgVal const *v) {
    if (!v || v->kind == cxPrintfArgVal::None) return std::string();
    switch (v->kind) {
    case cxPrintfArgVal::Char:
    case cxPrintfArgVal::Int32:
    case cxPrintfArgVal::Int64:
        return render_integer(d, *v);
    case cxPrintfArgVal::Double:
        return render_double(d, v->d);
    case cxPrintfArgVal::Text:
        if (!v->s) return pad(d, "(null)");
        // The precision limits text only under a string directive.
        return pad(d, cut_utf8(v->s, (d.conv == 's' || d.conv == 'S') ? d.precision : -1));
    default:
        return std::string();
    }
}

} // namespace

char const *TsMsg::format(char const *const *table, int index, char const * /*locale*/) {
    if (!table || index < 1) return nullptr;
    long count = catalogue_count(table[0]);
    if (index > count) return nullptr;
    return table[index];
}

std::optional<std::string> TsMsg::format(char const *fmt, cxPrintfArgVal const *values, std::size_t count) {
    if (!fmt) return std::nullopt;
    std::string out;
    std::size_t next = 0;
    auto take = [&]() -> cxPrintfArgVal const * { return next < count ? &values[next++] : (++next, nullptr); };
    for (char const *p = fmt; *p;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        char const *start = p++;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        Directive d;
        while (*p && std::strchr("-+ #0'", *p)) d.flags += *p++;
        if (*p == '*') {
            ++p;
            auto w = take();
            if (w && (w->kind == cxPrintfArgVal::Int32 || w->kind == cxPrintfArgVal::Int64 ||
                      w->kind == cxPrintfArgVal::Char)) {
                long long x = w->i;
                if (x < 0) {
                    d.flags += '-';
                    x = -x;
                }
                d.width = static_cast<int>(x > 4096 ? 4096 : x);
            }
        } else {
            while (*p >= '0' && *p <= '9') d.width = (d.width < 0 ? 0 : d.width) * 10 + (*p++ - '0');
            if (d.width > 4096) d.width = 4096;
        }
        if (*p == '.') {
            ++p;
            d.precision = 0;
            if (*p == '*') {
                ++p;
                auto w = take();
                if (w && w->kind != cxPrintfArgVal::Double && w->kind != cxPrintfArgVal::Text &&
                    w->kind != cxPrintfArgVal::None)
                    d.precision = static_cast<int>(w->i < 0 ? -1 : (w->i > 4096 ? 4096 : w->i));
            } else {
                while (*p >= '0' && *p <= '9') d.precision = d.precision * 10 + (*p++ - '0');
                if (d.precision > 4096) d.precision = 4096;
            }
        }
        // Length modifiers say nothing here: every cell knows its own size.
        while (*p && std::strchr("hlLqjztI", *p)) {
            if (*p == 'I' && p[1] == '6' && p[2] == '4')
                p += 3;
            else if (*p == 'I' && p[1] == '3' && p[2] == '2')
                p += 3;
            else
                ++p;
        }
        if (!*p || !std::strchr("diouxXeEfFgGaAcCsSpn", *p)) {
            // Not a directive: keep its text as it stands.
            out.append(start, p);
            continue;
        }
        d.conv = *p++;
        if (d.conv == 'C') d.conv = 'c';
        if (d.conv == 'n') {
            take();
            continue;
        } // never writes through an argument
        out += render(d, take());
    }
    return out;
}

} // namespace Log
