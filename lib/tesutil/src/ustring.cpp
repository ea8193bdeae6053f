#include "tesutil/ustring.h"

#include <cstring>
#include <istream>
#include <memory>
#include <mutex>
#include <ostream>
#include <vector>

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

namespace Nul {

namespace {

bool is_utf8_name(char const *charset) { return charset && std::strcmp(charset, "UTF-8") == 0; }

// Wide characters are code points; one past U+FFFF becomes a surrogate pair.
void append_code_point(icu::UnicodeString &out, wchar_t c) {
    auto cp = static_cast<std::uint32_t>(c);
    if (cp > 0x10FFFF) cp = 0xFFFD;
    out.append(static_cast<UChar32>(cp));
}

unsigned pos_of(int32_t i) { return i < 0 ? UString::npos : static_cast<unsigned>(i); }

} // namespace

icu::UnicodeString from_wide(wchar_t const *text, std::size_t count) {
    icu::UnicodeString out;
    if (!text || count == 0) return out;
    // Written straight into the string's buffer (at most two units a character), the same units
    // append_code_point gives, without a call per character.
    UChar *units = out.getBuffer(static_cast<int32_t>(count * 2));
    if (!units) {
        for (std::size_t i = 0; i < count; ++i) append_code_point(out, text[i]);
        return out;
    }
    int32_t n = 0;
    for (std::size_t i = 0; i < count; ++i) {
        auto cp = static_cast<std::uint32_t>(text[i]);
        if (cp > 0x10FFFF) cp = 0xFFFD;
        if (cp <= 0xFFFF) {
            units[n++] = static_cast<UChar>(cp);
        } else {
            units[n++] = U16_LEAD(cp);
            units[n++] = U16_TRAIL(cp);
        }
    }
    out.releaseBuffer(n);
    return out;
}

std::wstring to_wide(icu::UnicodeString const &text) {
    std::wstring out;
    out.reserve(static_cast<size_t>(text.length()));
    for (int32_t i = 0; i < text.length();) {
        UChar32 c = text.char32At(i);
        out.push_back(static_cast<wchar_t>(c)); // an unpaired surrogate stays as its unit
        i += U16_LENGTH(c);
    }
    return out;
}

UString::UString() { initialize(); }
UString::UString(UString const &other) : text_(other.text_) { initialize(); }
UString::UString(UString &&other) noexcept : text_(std::move(other.text_)) {
    initialize();
    other.invalidate();
}
UString::UString(wchar_t const *text) : text_(from_wide(text, text ? std::wcslen(text) : 0)) { initialize(); }
UString::UString(unsigned short const *utf16) : UString(reinterpret_cast<char16_t const *>(utf16)) {}
UString::UString(char16_t const *utf16) {
    initialize();
    if (utf16) text_.setTo(utf16, u_strlen(utf16));
}
UString::UString(std::wstring const &text) : text_(from_wide(text.c_str(), std::wcslen(text.c_str()))) { initialize(); }
UString::UString(char c) : text_(static_cast<UChar>(c & 0x7F)) { initialize(); }
UString::UString(Utf8String const &utf8) {
    initialize();
    utf8_assign(utf8);
}
UString::UString(char const *bytes, char const *charset) {
    initialize();
    assign(std::string(bytes ? bytes : ""), charset);
}
UString::UString(icu::UnicodeString const &text) : text_(text) { initialize(); }

UString::~UString() {
    if (converter_) ucnv_close(converter_);
}

UString &UString::operator=(UString const &other) { return assign(other); }
UString &UString::operator=(UString &&other) noexcept {
    if (this != &other) {
        text_ = std::move(other.text_);
        invalidate();
        other.invalidate();
    }
    return *this;
}
UString &UString::operator=(wchar_t const *text) { return assign(text, 0); }

UString &UString::assign(UString const &other) {
    if (this != &other) {
        text_ = other.text_;
        invalidate();
    }
    return *this;
}

UString &UString::assign(wchar_t const *text, unsigned count) {
    size_t n = count ? count : (text ? std::wcslen(text) : 0);
    text_ = from_wide(text, n);
    invalidate();
    return *this;
}

char const *UString::default_charset() {
    static std::once_flag once;
    static std::string name;
    std::call_once(once, [] {
        char const *n = ucnv_getDefaultName();
        name = n ? n : "UTF-8";
    });
    return name.c_str();
}

char const *UString::eval_charset(char const *charset) {
    if (charset && std::strcmp(charset, "DEFAULT") == 0) return default_charset();
    return charset;
}

UConverter *UString::converter_for(char const *charset) const {
    if (!charset) return nullptr;
    if (converter_) {
        UErrorCode st = U_ZERO_ERROR;
        char const *have = ucnv_getName(converter_, &st);
        if (U_FAILURE(st) || !have || ucnv_compareNames(have, charset) != 0) {
            ucnv_close(converter_);
            converter_ = nullptr;
        }
    }
    if (!converter_) {
        UErrorCode st = U_ZERO_ERROR;
        UConverter *c = ucnv_open(charset, &st);
        if (U_FAILURE(st)) {
            if (c) ucnv_close(c);
            return nullptr;
        }
        converter_ = c;
    }
    return converter_;
}

UString &UString::utf8_assign(Utf8String const &bytes) {
    invalidate();
    if (bytes.empty()) {
        text_.remove();
        return *this;
    }
    UErrorCode st = U_ZERO_ERROR;
    int32_t need = 0;
    u_strFromUTF8(nullptr, 0, &need, bytes.data(), static_cast<int32_t>(bytes.size()), &st);
    if (st != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(st)) {
        text_.remove();
        return *this;
    }
    std::vector<UChar> buf(static_cast<size_t>(need) + 1);
    st = U_ZERO_ERROR;
    u_strFromUTF8(buf.data(), need + 1, &need, bytes.data(), static_cast<int32_t>(bytes.size()), &st);
    if (U_FAILURE(st))
        text_.remove();
    else
        text_.setTo(buf.data(), need);
    return *this;
}

Utf8String UString::utf8_str() const {
    if (text_.isEmpty()) return Utf8String();
    UErrorCode st = U_ZERO_ERROR;
    int32_t need = 0;
    u_strToUTF8(nullptr, 0, &need, text_.getBuffer(), text_.length(), &st);
    if (st != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(st)) return Utf8String();
    std::string buf(static_cast<size_t>(need) + 1, '\0');
    st = U_ZERO_ERROR;
    u_strToUTF8(buf.data(), need + 1, &need, text_.getBuffer(), text_.length(), &st);
    if (U_FAILURE(st)) return Utf8String();
    // Up to the first NUL, as a C string would be.
    return Utf8String(std::string(buf.c_str()));
}

UString &UString::assign(std::string const &bytes, char const *charset) {
    if (bytes.empty()) {
        text_.remove();
        invalidate();
        return *this;
    }
    if (is_utf8_name(charset)) return utf8_assign(Utf8String(bytes));
    UConverter *cnv = converter_for(eval_charset(charset));
    if (!cnv) return *this;
    // Ask ICU for the size it needs rather than trusting a fixed ratio.
    UErrorCode st = U_ZERO_ERROR;
    int32_t need = ucnv_toUChars(cnv, nullptr, 0, bytes.data(), static_cast<int32_t>(bytes.size()), &st);
    if (st != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(st)) return *this;
    std::vector<UChar> buf(static_cast<size_t>(need) + 1);
    st = U_ZERO_ERROR;
    ucnv_reset(cnv);
    int32_t got = ucnv_toUChars(cnv, buf.data(), need + 1, bytes.data(), static_cast<int32_t>(bytes.size()), &st);
    if (U_FAILURE(st)) return *this;
    text_.setTo(buf.data(), got);
    invalidate();
    return *this;
}

std::string UString::std_str(char const *charset, bool &error) const {
    error = false;
    if (text_.isEmpty()) return std::string();
    if (is_utf8_name(charset)) return utf8_str();
    UConverter *cnv = converter_for(eval_charset(charset));
    if (!cnv) return std::string();
    // Stop at the first unmappable character so that the caller hears of it.
    UErrorCode st = U_ZERO_ERROR;
    UConverterFromUCallback old_cb = nullptr;
    void const *old_ctx = nullptr;
    ucnv_setFromUCallBack(cnv, UCNV_FROM_U_CALLBACK_STOP, nullptr, &old_cb, &old_ctx, &st);
    ucnv_reset(cnv);
    st = U_ZERO_ERROR;
    int32_t need = ucnv_fromUChars(cnv, nullptr, 0, text_.getBuffer(), text_.length(), &st);
    std::string out;
    if (st == U_BUFFER_OVERFLOW_ERROR || U_SUCCESS(st)) {
        std::string buf(static_cast<size_t>(need) + 1, '\0');
        st = U_ZERO_ERROR;
        ucnv_reset(cnv);
        ucnv_fromUChars(cnv, buf.data(), need + 1, text_.getBuffer(), text_.length(), &st);
        if (U_FAILURE(st))
            error = true;
        else
            out = buf.c_str();
    } else {
        error = true;
    }
    UErrorCode st2 = U_ZERO_ERROR;
    ucnv_setFromUCallBack(cnv, old_cb, old_ctx, nullptr, nullptr, &st2);
    return out;
}

unsigned short UString::operator[](unsigned i) const {
    if (i >= length()) return 0xFFFF;
    return text_.charAt(static_cast<int32_t>(i));
}

wchar_t const *UString::c_str() const {
    if (!wide_valid_) {
        wide_ = to_wide(text_);
        wide_valid_ = true;
    }
    return wide_.c_str();
}

char16_t const *UString::u16_str() const {
    return reinterpret_cast<char16_t const *>(const_cast<icu::UnicodeString &>(text_).getTerminatedBuffer());
}

int UString::compare(UString const &other) const { return text_.compare(other.text_); }
int UString::compare(wchar_t const *other) const { return compare(UString(other)); }
int UString::compare(unsigned start, unsigned len, UString const &other) const {
    unsigned n = length();
    if (start > n) start = n;
    if (len > n - start) len = n - start;
    return text_.compare(static_cast<int32_t>(start), static_cast<int32_t>(len), other.text_);
}

namespace {
// A start past the end finds nothing (ICU would pin a negative start to 0).
int32_t pinned(unsigned start, unsigned len) { return static_cast<int32_t>(start > len ? len : start); }
} // namespace

unsigned UString::find(wchar_t c, unsigned start) const {
    return pos_of(text_.indexOf(static_cast<UChar32>(c), pinned(start, length())));
}
unsigned UString::find(UString const &s, unsigned start) const {
    if (start > length()) return npos;
    return pos_of(text_.indexOf(s.text_, pinned(start, length())));
}
unsigned UString::find(wchar_t const *s, unsigned start) const { return find(UString(s), start); }
unsigned UString::find_last(wchar_t c, unsigned start) const {
    return pos_of(text_.lastIndexOf(static_cast<UChar32>(c), pinned(start, length())));
}
unsigned UString::find_last(UString const &s, unsigned start) const {
    if (start > length()) return npos;
    return pos_of(text_.lastIndexOf(s.text_, pinned(start, length())));
}
unsigned UString::find_last(wchar_t const *s, unsigned start) const { return find_last(UString(s), start); }
unsigned UString::find_first_of(wchar_t c, unsigned start) const { return find(c, start); }
unsigned UString::find_first_of(wchar_t const *set, unsigned start) const { return find_first_of(UString(set), start); }
unsigned UString::find_first_of(UString const &set, unsigned start) const {
    unsigned best = npos;
    for (int32_t i = 0; i < set.text_.length(); ++i) {
        int32_t at = text_.indexOf(set.text_.charAt(i), pinned(start, length()));
        if (at >= 0 && static_cast<unsigned>(at) < best) best = static_cast<unsigned>(at);
    }
    return best;
}

UString UString::substr(unsigned pos, unsigned len) const {
    unsigned n = length();
    if (pos >= n) return UString();
    if (len == npos || len > n - pos) len = n - pos;
    return UString(icu::UnicodeString(text_, static_cast<int32_t>(pos), static_cast<int32_t>(len)));
}

UString UString::left(unsigned max_units) const {
    if (length() <= max_units) return *this;
    unsigned n = max_units;
    if (n > 0 && U16_IS_LEAD(text_.charAt(static_cast<int32_t>(n - 1))) &&
        U16_IS_TRAIL(text_.charAt(static_cast<int32_t>(n))))
        --n;
    return substr(0, n);
}

void UString::erase(unsigned pos, unsigned count) {
    unsigned n = length();
    if (pos >= n) return;
    if (count == npos || count > n - pos) count = n - pos;
    text_.remove(static_cast<int32_t>(pos), static_cast<int32_t>(count));
    invalidate();
}

UString &UString::reserve(unsigned n) {
    unsigned want = n > length() ? n : length();
    if (want > capacity()) {
        int32_t keep = text_.length();
        text_.getBuffer(static_cast<int32_t>(want));
        text_.releaseBuffer(keep);
    }
    return *this;
}

UString &UString::set_at(unsigned i, wchar_t c) {
    text_.setCharAt(static_cast<int32_t>(i), static_cast<UChar>(c));
    invalidate();
    return *this;
}

UString &UString::append(UString const &s) {
    text_.append(s.text_);
    invalidate();
    return *this;
}
UString &UString::append(wchar_t const *s) { return append(UString(s)); }
UString &UString::append(wchar_t c) {
    append_code_point(text_, c);
    invalidate();
    return *this;
}
UString &UString::operator+=(char c) {
    text_.append(static_cast<UChar>(c & 0x7F));
    invalidate();
    return *this;
}

UString &UString::insert(unsigned pos, UString const &s) {
    text_.insert(pinned(pos, length()), s.text_);
    invalidate();
    return *this;
}
UString &UString::insert(unsigned pos, wchar_t const *s) { return insert(pos, UString(s)); }
UString &UString::insert(unsigned pos, wchar_t c) {
    icu::UnicodeString one;
    append_code_point(one, c);
    text_.insert(pinned(pos, length()), one);
    invalidate();
    return *this;
}
UString &UString::replace(unsigned pos, unsigned count, UString const &s) {
    unsigned n = length();
    if (pos > n) pos = n;
    if (count > n - pos) count = n - pos;
    text_.replace(static_cast<int32_t>(pos), static_cast<int32_t>(count), s.text_);
    invalidate();
    return *this;
}
UString &UString::replace(unsigned pos, unsigned count, wchar_t const *s) { return replace(pos, count, UString(s)); }
UString &UString::trim() {
    text_.trim();
    invalidate();
    return *this;
}

void *UString::operator new(std::size_t size) { return icu::UMemory::operator new(size); }
void *UString::operator new[](std::size_t size) { return icu::UMemory::operator new[](size); }
void UString::operator delete(void *p) noexcept { icu::UMemory::operator delete(p); }
void UString::operator delete[](void *p) noexcept { icu::UMemory::operator delete[](p); }

UString operator+(UString const &a, UString const &b) {
    UString r(a);
    r.append(b);
    return r;
}
UString operator+(UString const &a, wchar_t const *b) {
    UString r(a);
    r.append(b);
    return r;
}
UString operator+(wchar_t const *a, UString const &b) {
    UString r(a);
    r.append(b);
    return r;
}

std::ostream &operator<<(std::ostream &os, UString const &s) { return os << s.utf8_str().c_str(); }
std::wostream &operator<<(std::wostream &os, UString const &s) { return os << s.c_str(); }
std::istream &operator>>(std::istream &is, UString &s) {
    std::string word;
    if (is >> word) s.utf8_assign(Utf8String(word));
    return is;
}
std::wistream &operator>>(std::wistream &is, UString &s) {
    std::wstring word;
    if (is >> word) s = UString(word);
    return is;
}
std::ostream &operator<<(std::ostream &os, Utf8String const &s) { return os << s.c_str(); }
std::istream &operator>>(std::istream &is, Utf8String &s) {
    std::string word;
    if (is >> word) s = Utf8String(word);
    return is;
}

} // namespace Nul
