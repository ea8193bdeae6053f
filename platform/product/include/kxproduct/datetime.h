// Product date and time: whole seconds from 1970-01-01 00:00:00 UTC up to 2038-01-19 03:14:07 UTC.
#pragma once
#include <cstdint>

#include "kxwin/cstring.h"

class AdDuration {
public:
    AdDuration(long days = 0, int hours = 0, int minutes = 0, int seconds = 0);
    int64_t GetTotalSeconds() const { return seconds_; }

private:
    int64_t seconds_;
};

class AdDateTime {
public:
    AdDateTime() = default; // null
    static AdDateTime FromUnix(int64_t seconds);

    // Product text in local time: "YYYY-MM-DD HH:MM:SS", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD".
    // Nonzero when valid and in range; the object then holds it (else it is left unchanged).
    BOOL ParseDateTime(LPCWSTR text, int flags = 0);
    // The same text read as UTC.
    BOOL ParseDateTimeGMT(LPCWSTR text, const void *format = nullptr);
    BOOL IsNull() const { return null_ ? TRUE : FALSE; }
    void SetNull() { null_ = true; }
    int64_t GetUnix() const { return seconds_; }
    // Offset of local time from UTC in hours, now.
    static double GetUTCOffset();
    // strftime-style formats; a null object formats as the empty text.
    CString Format(LPCWSTR format) const;
    CString FormatGMT(LPCWSTR format) const;
    AdDateTime &operator+=(const AdDuration &d);
    AdDateTime &operator-=(const AdDuration &d);
    bool operator==(const AdDateTime &o) const { return null_ == o.null_ && (null_ || seconds_ == o.seconds_); }

    static constexpr int64_t kMax = 2147483647;

private:
    bool null_ = true;
    int64_t seconds_ = 0;
};

// The version-control product's form "DD-Mon-YYYY.HH:MM:SS" (or a two-digit year), local time,
// or UTC when "UTC" follows. The result is null when the text is not in that form.
AdDateTime ParseVeltraneDateTime(LPCWSTR text);
