// Nul::DavTime: seconds since 1970-01-01T00:00:00Z with the ISO 8601 and RFC 1123 text forms.
#pragma once

#include <cstdint>

#include "tesutil/ustring.h"

namespace Nul {

class DavTime {
public:
    enum Format { ISO8601 = 0, RFC1123 = 1 };

    DavTime() = default;
    DavTime(std::int64_t seconds) : time_(seconds) {}
    // Parses either text form; anything else gives 0.
    explicit DavTime(UString const &text) { *this = text; }
    DavTime &operator=(std::int64_t seconds) {
        time_ = seconds;
        return *this;
    }
    DavTime &operator=(DavTime const &other) = default;
    DavTime &operator=(UString const &text);

    std::int64_t to_time() const { return time_; }
    operator std::int64_t() const { return time_; }
    void set_now();
    bool operator<(DavTime const &o) const { return time_ < o.time_; }

    // Empty for an unknown format or a time the calendar cannot break down.
    UString to_string(Format format) const;

private:
    std::int64_t time_ = 0;
};

} // namespace Nul
