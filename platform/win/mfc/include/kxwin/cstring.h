// The wide CString of the product interface, over UTF-32 wchar_t.
// Format follows the Windows wide-format rules: %s and %c take wide arguments,
// %S and %C narrow ones (UTF-8 here); %hs/%hc are narrow, %ls/%lc/%ws wide.
#pragma once
#include <cstdarg>
#include <string>
#include <string_view>

#include "kxwin/wintypes.h"

class CString {
public:
    CString() = default;
    CString(const CString &) = default;
    CString(CString &&) noexcept = default;
    CString(LPCWSTR text); // NOLINT: implicit: callers pass wide literals where a CString is taken
    CString(LPCWSTR text, int length);
    CString(const char *utf8);           // NOLINT
    CString(wchar_t ch, int repeat = 1); // NOLINT
    CString(const std::wstring &text);   // NOLINT
    CString(std::wstring_view text);     // NOLINT
    ~CString() = default;

    CString &operator=(const CString &) = default;
    CString &operator=(CString &&) noexcept = default;
    CString &operator=(LPCWSTR text);
    CString &operator=(const char *utf8);
    CString &operator=(wchar_t ch);

    int GetLength() const { return static_cast<int>(str_.size()); }
    bool IsEmpty() const { return str_.empty(); }
    void Empty() { str_.clear(); }
    wchar_t GetAt(int index) const;
    void SetAt(int index, wchar_t ch);
    wchar_t operator[](int index) const { return GetAt(index); }

    LPCWSTR GetString() const { return str_.c_str(); }
    operator LPCWSTR() const { return str_.c_str(); } // NOLINT

    // The buffer holds at least min_length characters plus a terminator until ReleaseBuffer.
    LPWSTR GetBuffer();
    LPWSTR GetBuffer(int min_length);
    LPWSTR GetBufferSetLength(int length);
    // new_length -1: the text ends at the first NUL written into the buffer.
    void ReleaseBuffer(int new_length = -1);

    CString &operator+=(const CString &other);
    CString &operator+=(LPCWSTR text);
    CString &operator+=(wchar_t ch);
    CString &operator+=(const char *utf8);
    void Append(LPCWSTR text) { *this += text; }
    void Append(const CString &text) { *this += text; }
    void AppendChar(wchar_t ch) { *this += ch; }

    int Compare(LPCWSTR other) const;
    int CompareNoCase(LPCWSTR other) const;

    CString Mid(int first) const;
    CString Mid(int first, int count) const;
    CString Left(int count) const;
    CString Right(int count) const;

    int Find(wchar_t ch, int start = 0) const;
    int Find(LPCWSTR sub, int start = 0) const;
    int ReverseFind(wchar_t ch) const;
    int FindOneOf(LPCWSTR chars) const;

    CString &MakeUpper();
    CString &MakeLower();
    CString &MakeReverse();
    CString &Trim();
    CString &Trim(wchar_t ch);
    CString &Trim(LPCWSTR chars);
    CString &TrimLeft();
    CString &TrimLeft(wchar_t ch);
    CString &TrimLeft(LPCWSTR chars);
    CString &TrimRight();
    CString &TrimRight(wchar_t ch);
    CString &TrimRight(LPCWSTR chars);

    int Replace(wchar_t old_ch, wchar_t new_ch);
    int Replace(LPCWSTR old_text, LPCWSTR new_text);
    int Remove(wchar_t ch);
    int Insert(int index, wchar_t ch);
    int Insert(int index, LPCWSTR text);
    int Delete(int index, int count = 1);

    void Format(LPCWSTR format, ...);
    void FormatV(LPCWSTR format, va_list args);
    void AppendFormat(LPCWSTR format, ...);
    void AppendFormatV(LPCWSTR format, va_list args);

    // Edges to files and databases.
    std::string ToUtf8() const;
    static CString FromUtf8(std::string_view utf8);
    const std::wstring &str() const { return str_; }

private:
    std::wstring str_;
};

CString operator+(const CString &a, const CString &b);
CString operator+(const CString &a, LPCWSTR b);
CString operator+(LPCWSTR a, const CString &b);
CString operator+(const CString &a, wchar_t b);
CString operator+(wchar_t a, const CString &b);

bool operator==(const CString &a, const CString &b);
bool operator==(const CString &a, LPCWSTR b);
bool operator==(LPCWSTR a, const CString &b);
bool operator!=(const CString &a, const CString &b);
bool operator!=(const CString &a, LPCWSTR b);
bool operator!=(LPCWSTR a, const CString &b);
bool operator<(const CString &a, const CString &b);
bool operator>(const CString &a, const CString &b);
bool operator<=(const CString &a, const CString &b);
bool operator>=(const CString &a, const CString &b);

namespace kxwin {
// The formatter behind CString::Format, for callers that format into a std::wstring.
std::wstring format_wide(LPCWSTR format, va_list args);
} // namespace kxwin
