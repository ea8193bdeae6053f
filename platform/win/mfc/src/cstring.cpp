#include "kxwin/cstring.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <stdexcept>

#include "kxwin/utf.h"

namespace {

int clamp_index(int i, int len) { return i < 0 ? 0 : (i > len ? len : i); }

bool is_space(wchar_t c) { return std::iswspace(static_cast<wint_t>(c)) != 0; }

bool in_set(wchar_t c, LPCWSTR set) { return set && std::wcschr(set, c) != nullptr && c != 0; }

} // namespace

CString::CString(LPCWSTR text) : str_(text ? text : L"") {}
CString::CString(LPCWSTR text, int length) {
    if (text && length > 0) str_.assign(text, static_cast<size_t>(length));
}
CString::CString(const char *utf8) : str_(utf8 ? kxwin::from_utf8(utf8) : std::wstring()) {}
CString::CString(wchar_t ch, int repeat) {
    if (repeat > 0) str_.assign(static_cast<size_t>(repeat), ch);
}
CString::CString(const std::wstring &text) : str_(text) {}
CString::CString(std::wstring_view text) : str_(text) {}

CString &CString::operator=(LPCWSTR text) {
    str_ = text ? text : L"";
    return *this;
}
CString &CString::operator=(const char *utf8) {
    str_ = utf8 ? kxwin::from_utf8(utf8) : std::wstring();
    return *this;
}
CString &CString::operator=(wchar_t ch) {
    str_.assign(1, ch);
    return *this;
}

wchar_t CString::GetAt(int index) const {
    if (index < 0 || index >= GetLength()) throw std::out_of_range("CString::GetAt");
    return str_[static_cast<size_t>(index)];
}
void CString::SetAt(int index, wchar_t ch) {
    if (index < 0 || index >= GetLength()) throw std::out_of_range("CString::SetAt");
    str_[static_cast<size_t>(index)] = ch;
}

LPWSTR CString::GetBuffer() { return str_.data(); }
LPWSTR CString::GetBuffer(int min_length) {
    if (min_length > GetLength()) str_.resize(static_cast<size_t>(min_length), L'\0');
    return str_.data();
}
LPWSTR CString::GetBufferSetLength(int length) {
    str_.resize(static_cast<size_t>(length < 0 ? 0 : length), L'\0');
    return str_.data();
}
void CString::ReleaseBuffer(int new_length) {
    if (new_length < 0) {
        str_.resize(std::wcslen(str_.c_str()));
    } else {
        str_.resize(std::min(static_cast<size_t>(new_length), str_.size()));
    }
}

CString &CString::operator+=(const CString &other) {
    str_ += other.str_;
    return *this;
}
CString &CString::operator+=(LPCWSTR text) {
    if (text) str_ += text;
    return *this;
}
CString &CString::operator+=(wchar_t ch) {
    str_ += ch;
    return *this;
}
CString &CString::operator+=(const char *utf8) {
    if (utf8) str_ += kxwin::from_utf8(utf8);
    return *this;
}

int CString::Compare(LPCWSTR other) const {
    int r = std::wcscmp(str_.c_str(), other ? other : L"");
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}
int CString::CompareNoCase(LPCWSTR other) const {
    const wchar_t *a = str_.c_str();
    const wchar_t *b = other ? other : L"";
    for (;; ++a, ++b) {
        wint_t ca = std::towlower(static_cast<wint_t>(*a));
        wint_t cb = std::towlower(static_cast<wint_t>(*b));
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

CString CString::Mid(int first) const { return Mid(first, GetLength()); }
CString CString::Mid(int first, int count) const {
    int len = GetLength();
    first = clamp_index(first, len);
    if (count < 0) count = 0;
    if (count > len - first) count = len - first;
    return CString(std::wstring_view(str_).substr(static_cast<size_t>(first), static_cast<size_t>(count)));
}
CString CString::Left(int count) const { return Mid(0, count); }
CString CString::Right(int count) const {
    int len = GetLength();
    count = clamp_index(count, len);
    return Mid(len - count, count);
}

int CString::Find(wchar_t ch, int start) const {
    if (start < 0 || start >= GetLength()) return -1;
    size_t p = str_.find(ch, static_cast<size_t>(start));
    return p == std::wstring::npos ? -1 : static_cast<int>(p);
}
int CString::Find(LPCWSTR sub, int start) const {
    if (!sub || start < 0 || start > GetLength()) return -1;
    size_t p = str_.find(sub, static_cast<size_t>(start));
    return p == std::wstring::npos ? -1 : static_cast<int>(p);
}
int CString::ReverseFind(wchar_t ch) const {
    size_t p = str_.rfind(ch);
    return p == std::wstring::npos ? -1 : static_cast<int>(p);
}
int CString::FindOneOf(LPCWSTR chars) const {
    if (!chars) return -1;
    size_t p = str_.find_first_of(chars);
    return p == std::wstring::npos ? -1 : static_cast<int>(p);
}

CString &CString::MakeUpper() {
    for (auto &c : str_) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return *this;
}
CString &CString::MakeLower() {
    for (auto &c : str_) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return *this;
}
CString &CString::MakeReverse() {
    std::reverse(str_.begin(), str_.end());
    return *this;
}

CString &CString::TrimLeft() {
    size_t i = 0;
    while (i < str_.size() && is_space(str_[i])) ++i;
    str_.erase(0, i);
    return *this;
}
CString &CString::TrimLeft(wchar_t ch) {
    size_t i = 0;
    while (i < str_.size() && str_[i] == ch) ++i;
    str_.erase(0, i);
    return *this;
}
CString &CString::TrimLeft(LPCWSTR chars) {
    size_t i = 0;
    while (i < str_.size() && in_set(str_[i], chars)) ++i;
    str_.erase(0, i);
    return *this;
}
CString &CString::TrimRight() {
    size_t n = str_.size();
    while (n > 0 && is_space(str_[n - 1])) --n;
    str_.resize(n);
    return *this;
}
CString &CString::TrimRight(wchar_t ch) {
    size_t n = str_.size();
    while (n > 0 && str_[n - 1] == ch) --n;
    str_.resize(n);
    return *this;
}
CString &CString::TrimRight(LPCWSTR chars) {
    size_t n = str_.size();
    while (n > 0 && in_set(str_[n - 1], chars)) --n;
    str_.resize(n);
    return *this;
}
CString &CString::Trim() { return TrimRight().TrimLeft(); }
CString &CString::Trim(wchar_t ch) { return TrimRight(ch).TrimLeft(ch); }
CString &CString::Trim(LPCWSTR chars) { return TrimRight(chars).TrimLeft(chars); }

int CString::Replace(wchar_t old_ch, wchar_t new_ch) {
    int n = 0;
    for (auto &c : str_)
        if (c == old_ch) {
            c = new_ch;
            ++n;
        }
    return n;
}
int CString::Replace(LPCWSTR old_text, LPCWSTR new_text) {
    if (!old_text || !*old_text) return 0;
    std::wstring from(old_text), to(new_text ? new_text : L"");
    int n = 0;
    size_t p = 0;
    while ((p = str_.find(from, p)) != std::wstring::npos) {
        str_.replace(p, from.size(), to);
        p += to.size();
        ++n;
    }
    return n;
}
int CString::Remove(wchar_t ch) {
    size_t before = str_.size();
    str_.erase(std::remove(str_.begin(), str_.end(), ch), str_.end());
    return static_cast<int>(before - str_.size());
}
int CString::Insert(int index, wchar_t ch) {
    index = clamp_index(index, GetLength());
    str_.insert(static_cast<size_t>(index), 1, ch);
    return GetLength();
}
int CString::Insert(int index, LPCWSTR text) {
    index = clamp_index(index, GetLength());
    if (text) str_.insert(static_cast<size_t>(index), text);
    return GetLength();
}
int CString::Delete(int index, int count) {
    int len = GetLength();
    if (index < 0) index = 0;
    if (count > 0 && index < len) str_.erase(static_cast<size_t>(index), static_cast<size_t>(count));
    return GetLength();
}

void CString::Format(LPCWSTR format, ...) {
    va_list ap;
    va_start(ap, format);
    FormatV(format, ap);
    va_end(ap);
}
void CString::FormatV(LPCWSTR format, va_list args) { str_ = kxwin::format_wide(format, args); }
void CString::AppendFormat(LPCWSTR format, ...) {
    va_list ap;
    va_start(ap, format);
    AppendFormatV(format, ap);
    va_end(ap);
}
void CString::AppendFormatV(LPCWSTR format, va_list args) { str_ += kxwin::format_wide(format, args); }

std::string CString::ToUtf8() const { return kxwin::to_utf8(str_); }
CString CString::FromUtf8(std::string_view utf8) { return CString(kxwin::from_utf8(utf8)); }

CString operator+(const CString &a, const CString &b) { return CString(a.str() + b.str()); }
CString operator+(const CString &a, LPCWSTR b) {
    CString r(a);
    r += b;
    return r;
}
CString operator+(LPCWSTR a, const CString &b) {
    CString r(a);
    r += b;
    return r;
}
CString operator+(const CString &a, wchar_t b) {
    CString r(a);
    r += b;
    return r;
}
CString operator+(wchar_t a, const CString &b) {
    CString r(a);
    r += b;
    return r;
}

bool operator==(const CString &a, const CString &b) { return a.str() == b.str(); }
bool operator==(const CString &a, LPCWSTR b) { return a.Compare(b) == 0; }
bool operator==(LPCWSTR a, const CString &b) { return b.Compare(a) == 0; }
bool operator!=(const CString &a, const CString &b) { return !(a == b); }
bool operator!=(const CString &a, LPCWSTR b) { return !(a == b); }
bool operator!=(LPCWSTR a, const CString &b) { return !(a == b); }
bool operator<(const CString &a, const CString &b) { return a.str() < b.str(); }
bool operator>(const CString &a, const CString &b) { return a.str() > b.str(); }
bool operator<=(const CString &a, const CString &b) { return a.str() <= b.str(); }
bool operator>=(const CString &a, const CString &b) { return a.str() >= b.str(); }
