#include "tesutil/davtime.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "tesutil/critsec.h"

namespace Nul {

namespace {

char const *const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
char const *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Serialises calendar conversions for callers that still use the shared-storage forms.
CriticalSectionLock &time_lock() {
    static auto *lock = new CriticalSectionLock;
    return *lock;
}

} // namespace

void DavTime::set_now() { time_ = static_cast<std::int64_t>(std::time(nullptr)); }

UString DavTime::to_string(Format format) const {
    if (format != ISO8601 && format != RFC1123) return UString();
    std::tm tm{};
    {
        CriticalSection guard(time_lock());
        std::time_t t = static_cast<std::time_t>(time_);
        if (!gmtime_r(&t, &tm)) return UString();
    }
    char buf[96];
    if (format == ISO8601) {
        if (std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0) return UString();
    } else {
        long long year = static_cast<long long>(tm.tm_year) + 1900;
        std::snprintf(buf, sizeof buf, "%s, %02d %s %04lld %02d:%02d:%02d GMT", weekdays[((tm.tm_wday % 7) + 7) % 7],
                      tm.tm_mday, months[tm.tm_mon % 12], year, tm.tm_hour, tm.tm_min, tm.tm_sec);
    }
    return UString(buf, "UTF-8");
}

DavTime &DavTime::operator=(UString const &text) {
    time_ = 0;
    std::string s = text.utf8_str();
    if (s.size() <= 3) return *this;
    std::tm tm{};
    int year = 0, mon = 0, day = 0, hour = 0, min = 0, sec = 0;
    if (s[3] == ',') {
        char wday[4] = {}, mname[4] = {};
        if (std::sscanf(s.c_str(), "%3s, %2d %3s %4d %2d:%2d:%2d GMT", wday, &day, mname, &year, &hour, &min, &sec) !=
            7)
            return *this;
        mon = 0;
        for (int i = 0; i < 12; ++i)
            if (std::strcmp(mname, months[i]) == 0) mon = i + 1;
        if (mon == 0) return *this;
    } else {
        if (std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ", &year, &mon, &day, &hour, &min, &sec) != 6) return *this;
        if (mon < 1 || mon > 12) return *this;
    }
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    tm.tm_isdst = 0;
    // The fields are UTC: no local zone, no daylight-saving gap, no shift near the epoch.
    std::time_t t = timegm(&tm);
    if (t == static_cast<std::time_t>(-1) &&
        !(year == 1969 && mon == 12 && day == 31 && hour == 23 && min == 59 && sec == 59))
        return *this;
    time_ = static_cast<std::int64_t>(t);
    return *this;
}

} // namespace Nul
