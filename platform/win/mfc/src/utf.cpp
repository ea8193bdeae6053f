#include "kxwin/utf.h"

namespace kxwin {

namespace {
constexpr char32_t kReplacement = 0xFFFD;

bool valid_scalar(char32_t c) { return c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF); }

void put(std::string &out, char32_t c) {
    if (!valid_scalar(c)) c = kReplacement;
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
} // namespace

std::string to_utf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text) put(out, static_cast<char32_t>(static_cast<uint32_t>(w)));
    return out;
}

namespace {
// One UTF-8 sequence from `at`: its code point when well formed, and where the next begins. A bad
// sequence ends at the first byte that does not continue it.
struct Decoded {
    char32_t c;
    size_t next;
    bool ok;
};
Decoded decode_at(std::string_view text, size_t at) {
    const size_t n = text.size();
    unsigned char b = static_cast<unsigned char>(text[at]);
    if (b < 0x80) return {b, at + 1, true};
    int extra;
    char32_t c;
    char32_t min;
    if ((b & 0xE0) == 0xC0) {
        extra = 1;
        c = b & 0x1F;
        min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        extra = 2;
        c = b & 0x0F;
        min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        extra = 3;
        c = b & 0x07;
        min = 0x10000;
    } else
        return {kReplacement, at + 1, false};
    size_t j = at + 1;
    for (int k = 0; k < extra; ++k, ++j) {
        if (j >= n || (static_cast<unsigned char>(text[j]) & 0xC0) != 0x80) return {kReplacement, j, false};
        c = (c << 6) | (static_cast<unsigned char>(text[j]) & 0x3F);
    }
    if (c < min || !valid_scalar(c)) return {kReplacement, j, false};
    return {c, j, true};
}

bool is_well_formed(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        Decoded d = decode_at(text, i);
        if (!d.ok) return false;
        i = d.next;
    }
    return true;
}
} // namespace

std::wstring from_utf8(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        Decoded d = decode_at(text, i);
        out += static_cast<wchar_t>(d.c);
        i = d.next;
    }
    return out;
}

std::string well_formed_utf8(std::string_view text) {
    return is_well_formed(text) ? std::string(text) : to_utf8(from_utf8(text));
}

} // namespace kxwin
