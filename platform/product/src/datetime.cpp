#include "kxproduct/datetime.h"

#include <cstdio>
#include <ctime>
#include <cwchar>
#include <string>

#include "kxproduct/faults.h"

namespace {

bool in_range(int64_t t) { return t >= 0 && t <= AdDateTime::kMax; }

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

struct Fields {
    int y, mo, d, h, mi, s;
};

bool valid(const Fields &f) {
    static const int mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (f.mo < 1 || f.mo > 12 || f.d < 1 || f.h < 0 || f.h > 23 || f.mi < 0 || f.mi > 59 || f.s < 0 || f.s > 59)
        return false;
    int md = mdays[f.mo - 1] + (f.mo == 2 && leap(f.y) ? 1 : 0);
    return f.d <= md;
}

bool parse_fields(LPCWSTR text, Fields &f) {
    if (!text) return false;
    f = Fields{0, 0, 0, 0, 0, 0};
    int n = 0;
    wchar_t tail = 0;
    int got = std::swscanf(text, L"%4d-%2d-%2d %2d:%2d:%2d%n", &f.y, &f.mo, &f.d, &f.h, &f.mi, &f.s, &n);
    if (got == 6 && text[n] == 0) return valid(f);
    f.s = 0;
    got = std::swscanf(text, L"%4d-%2d-%2d %2d:%2d%n", &f.y, &f.mo, &f.d, &f.h, &f.mi, &n);
    if (got == 5 && text[n] == 0) return valid(f);
    f.h = f.mi = 0;
    got = std::swscanf(text, L"%4d-%2d-%2d%n%lc", &f.y, &f.mo, &f.d, &n, &tail);
    if (got == 3 && text[n] == 0) return valid(f);
    return false;
}

int64_t utc_seconds(const Fields &f) {
    return days_from_civil(f.y, static_cast<unsigned>(f.mo), static_cast<unsigned>(f.d)) * 86400 + f.h * 3600 +
           f.mi * 60 + f.s;
}

// Local wall time to UTC seconds through the C library's zone rules.
bool local_seconds(const Fields &f, int64_t &out) {
    std::tm tm{};
    tm.tm_year = f.y - 1900;
    tm.tm_mon = f.mo - 1;
    tm.tm_mday = f.d;
    tm.tm_hour = f.h;
    tm.tm_min = f.mi;
    tm.tm_sec = f.s;
    tm.tm_isdst = -1;
    std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1) && !(f.y == 1969 && f.mo == 12 && f.d == 31)) return false;
    out = static_cast<int64_t>(t);
    return true;
}

CString format_tm(LPCWSTR format, const std::tm &tm) {
    if (!format) return CString();
    wchar_t buf[512];
    size_t n = std::wcsftime(buf, sizeof buf / sizeof buf[0], format, &tm);
    return CString(buf, static_cast<int>(n));
}

} // namespace

AdDuration::AdDuration(long days, int hours, int minutes, int seconds)
    : seconds_(static_cast<int64_t>(days) * 86400 + static_cast<int64_t>(hours) * 3600 + minutes * 60 + seconds) {}

AdDateTime AdDateTime::FromUnix(int64_t seconds) {
    AdDateTime d;
    if (in_range(seconds)) {
        d.null_ = false;
        d.seconds_ = seconds;
    }
    return d;
}

BOOL AdDateTime::ParseDateTime(LPCWSTR text, int) {
    Fields f;
    int64_t t;
    if (!parse_fields(text, f) || !local_seconds(f, t) || !in_range(t)) return FALSE;
    null_ = false;
    seconds_ = t;
    return TRUE;
}

BOOL AdDateTime::ParseDateTimeGMT(LPCWSTR text, const void *) {
    Fields f;
    if (!parse_fields(text, f)) return FALSE;
    int64_t t = utc_seconds(f);
    if (!in_range(t)) return FALSE;
    null_ = false;
    seconds_ = t;
    return TRUE;
}

double AdDateTime::GetUTCOffset() {
    std::time_t now = std::time(nullptr);
    std::tm lt{};
    localtime_r(&now, &lt);
    return static_cast<double>(lt.tm_gmtoff) / 3600.0;
}

CString AdDateTime::Format(LPCWSTR format) const {
    if (null_) return CString();
    std::time_t t = static_cast<std::time_t>(seconds_);
    std::tm tm{};
    localtime_r(&t, &tm);
    return format_tm(format, tm);
}

CString AdDateTime::FormatGMT(LPCWSTR format) const {
    if (null_) return CString();
    std::time_t t = static_cast<std::time_t>(seconds_);
    std::tm tm{};
    gmtime_r(&t, &tm);
    return format_tm(format, tm);
}

// Moving out of the representable range makes the value null rather than wrapping.
AdDateTime &AdDateTime::operator+=(const AdDuration &d) {
    if (null_) return *this;
    int64_t t = seconds_ + d.GetTotalSeconds();
    if (in_range(t))
        seconds_ = t;
    else
        null_ = true;
    return *this;
}

AdDateTime &AdDateTime::operator-=(const AdDuration &d) {
    if (null_) return *this;
    int64_t t = seconds_ - d.GetTotalSeconds();
    if (in_range(t))
        seconds_ = t;
    else
        null_ = true;
    return *this;
}

AdDateTime ParseVeltraneDateTime(LPCWSTR text) {
    AdDateTime result;
    if (!text) return result;
    static const wchar_t *months[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                      L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    Fields f{};
    wchar_t mon[4] = {};
    int n = 0;
    if (std::swscanf(text, L"%2d-%3l[A-Za-z]-%4d.%2d:%2d:%2d%n", &f.d, mon, &f.y, &f.h, &f.mi, &f.s, &n) != 6)
        return result;
    f.mo = 0;
    for (int i = 0; i < 12; ++i)
        if (std::wcscmp(mon, months[i]) == 0) f.mo = i + 1;
    if (f.y < 100) f.y += f.y < 70 ? 2000 : 1900;
    std::wstring rest(text + n);
    bool utc = false;
    if (rest == L"UTC" || rest == L" UTC")
        utc = true;
    else if (!rest.empty())
        return result;
    if (!valid(f)) return result;
    int64_t t;
    if (utc)
        t = utc_seconds(f);
    else if (!local_seconds(f, t))
        return result;
    return AdDateTime::FromUnix(t);
}
