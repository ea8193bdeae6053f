// Nul::UString: the UTF-16 string of every interface; Nul::Utf8String: UTF-8 bytes.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

#include <unicode/unistr.h>
#include <unicode/uobject.h>

struct UConverter;

namespace Nul {

class Utf8String : public std::string {
public:
    Utf8String() = default;
    Utf8String(std::string const &bytes) : std::string(bytes) {}
    Utf8String(char const *bytes) : std::string(bytes ? bytes : "") {}
    Utf8String(Utf8String const &) = default;
    Utf8String(Utf8String &&) noexcept = default;
    ~Utf8String() = default;
    Utf8String &operator=(Utf8String const &) = default;
    Utf8String &operator=(Utf8String &&) noexcept = default;
    Utf8String &assign(Utf8String const &other) { return *this = other; }
    Utf8String &operator+=(Utf8String const &other) {
        std::string::append(other);
        return *this;
    }
    std::string std_str() const { return *this; }
};

// Positions and counts are UTF-16 code units. `npos` (all bits set) means "no position" in find
// results and "to the end" as a count. Interfaces that take wchar_t take UTF-32 text (Linux).
class UString {
public:
    static constexpr unsigned npos = 0xFFFFFFFFu;

    UString();
    UString(UString const &other);
    UString(UString &&other) noexcept;
    UString(wchar_t const *text);
    UString(unsigned short const *utf16);
    UString(char16_t const *utf16);
    UString(std::wstring const &text);
    explicit UString(char c); // one unit: c & 0x7F
    UString(Utf8String const &utf8);
    UString(char const *bytes, char const *charset);
    explicit UString(icu::UnicodeString const &text);
    ~UString();

    UString &operator=(UString const &other);
    UString &operator=(UString &&other) noexcept;
    UString &operator=(wchar_t const *text);
    UString &assign(UString const &other);
    // The first `count` units of text; 0 means all of the NUL-terminated text.
    UString &assign(wchar_t const *text, unsigned count);
    // Decodes bytes in a named character set ("UTF-8" exactly, "DEFAULT", or an ICU name). An
    // unknown character set leaves the string unchanged.
    UString &assign(std::string const &bytes, char const *charset);
    // Decodes UTF-8; ill-formed input makes the string empty.
    UString &utf8_assign(Utf8String const &bytes);

    unsigned length() const { return static_cast<unsigned>(text_.length()); }
    unsigned size() const { return length(); }
    bool empty() const { return text_.isEmpty(); }
    unsigned capacity() const { return static_cast<unsigned>(text_.getCapacity()); }
    // The unit at i; 0xFFFF at or past the end.
    unsigned short operator[](unsigned i) const;
    // NUL-terminated UTF-32 text; valid until the string is next changed.
    wchar_t const *c_str() const;
    // NUL-terminated UTF-16 units; valid until the string is next changed.
    char16_t const *u16_str() const;
    icu::UnicodeString const &icu() const { return text_; }
    unsigned hash() const { return static_cast<unsigned>(text_.hashCode()); }
    explicit operator unsigned int() const { return hash(); }

    int compare(UString const &other) const;
    int compare(wchar_t const *other) const;
    int compare(unsigned start, unsigned length, UString const &other) const;

    unsigned find(wchar_t c, unsigned start = 0) const;
    unsigned find(UString const &s, unsigned start = 0) const;
    unsigned find(wchar_t const *s, unsigned start = 0) const;
    // Last occurrence that begins at or after start.
    unsigned find_last(wchar_t c, unsigned start = 0) const;
    unsigned find_last(UString const &s, unsigned start = 0) const;
    unsigned find_last(wchar_t const *s, unsigned start = 0) const;
    unsigned find_first_of(wchar_t c, unsigned start = 0) const;
    unsigned find_first_of(wchar_t const *set, unsigned start = 0) const;
    unsigned find_first_of(UString const &set, unsigned start = 0) const;

    UString substr(unsigned pos, unsigned len = npos) const;
    // The first `max_units` UTF-16 units, one fewer when the cut would split a surrogate pair.
    UString left(unsigned max_units) const;
    Utf8String utf8_str() const;
    // Bytes in a named character set; `error` is set when the set cannot represent the text.
    std::string std_str(char const *charset, bool &error) const;

    void clear() {
        text_.remove();
        invalidate();
    }
    void erase(unsigned pos, unsigned count = npos);
    UString &reserve(unsigned n);
    UString &set_at(unsigned i, wchar_t c);
    UString &append(UString const &s);
    UString &append(wchar_t const *s);
    UString &append(wchar_t c);
    void push_back(wchar_t c) { append(c); }
    UString &operator+=(UString const &s) { return append(s); }
    UString &operator+=(wchar_t const *s) { return append(s); }
    UString &operator+=(wchar_t c) { return append(c); }
    UString &operator+=(char c);
    UString &insert(unsigned pos, UString const &s);
    UString &insert(unsigned pos, wchar_t const *s);
    UString &insert(unsigned pos, wchar_t c);
    UString &replace(unsigned pos, unsigned count, UString const &s);
    UString &replace(unsigned pos, unsigned count, wchar_t const *s);
    UString &trim();

    bool operator==(UString const &o) const { return text_ == o.text_; }
    bool operator!=(UString const &o) const { return text_ != o.text_; }
    bool operator<(UString const &o) const { return compare(o) < 0; }

    // Allocation through ICU's allocator, so a string made in one library may be freed in another.
    static void *operator new(std::size_t size);
    static void *operator new[](std::size_t size);
    static void operator delete(void *p) noexcept;
    static void operator delete[](void *p) noexcept;
    static void *operator new(std::size_t, void *where) noexcept { return where; }
    static void operator delete(void *, void *) noexcept {}

    // "DEFAULT" names the process character set; every other name stands for itself.
    static char const *eval_charset(char const *charset);
    static char const *default_charset();

private:
    void initialize() { converter_ = nullptr; }
    void invalidate() {
        wide_.clear();
        wide_valid_ = false;
    }
    // The cached converter for `charset`, opened on demand; null for an unknown name.
    UConverter *converter_for(char const *charset) const;

    icu::UnicodeString text_;
    mutable UConverter *converter_ = nullptr;
    mutable std::wstring wide_;
    mutable bool wide_valid_ = false;
};

UString operator+(UString const &a, UString const &b);
UString operator+(UString const &a, wchar_t const *b);
UString operator+(wchar_t const *a, UString const &b);

std::ostream &operator<<(std::ostream &os, UString const &s);
std::wostream &operator<<(std::wostream &os, UString const &s);
std::istream &operator>>(std::istream &is, UString &s);
std::wistream &operator>>(std::wistream &is, UString &s);
std::ostream &operator<<(std::ostream &os, Utf8String const &s);
std::istream &operator>>(std::istream &is, Utf8String &s);

// UTF-32 (wchar_t) text to UTF-16 units and back.
icu::UnicodeString from_wide(wchar_t const *text, std::size_t count);
std::wstring to_wide(icu::UnicodeString const &text);

} // namespace Nul

template <>
struct std::hash<Nul::UString> {
    std::size_t operator()(Nul::UString const &s) const noexcept { return s.hash(); }
};
