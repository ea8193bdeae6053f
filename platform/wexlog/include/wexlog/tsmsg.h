// libwexlog: catalogue lookup and typed printf-style formatting of log and error messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace Log {

// One formatting argument. Every cell carries its kind, so a directive never reads an argument
// as a kind it is not: a number under "%s" prints as a number, a string under "%d" as the string.
struct cxPrintfArgVal {
    enum Kind : std::int32_t { None = 0, Char, Int32, Int64, Double, Text };
    Kind kind = None;
    union {
        std::int64_t i;
        double d;
        char const *s; // NUL-terminated UTF-8, owned by the caller
    };
    cxPrintfArgVal() : i(0) {}
    static cxPrintfArgVal of_char(char c) {
        cxPrintfArgVal v;
        v.kind = Char;
        v.i = c;
        return v;
    }
    static cxPrintfArgVal of_int32(std::int32_t x) {
        cxPrintfArgVal v;
        v.kind = Int32;
        v.i = x;
        return v;
    }
    static cxPrintfArgVal of_int64(std::int64_t x) {
        cxPrintfArgVal v;
        v.kind = Int64;
        v.i = x;
        return v;
    }
    static cxPrintfArgVal of_double(double x) {
        cxPrintfArgVal v;
        v.kind = Double;
        v.d = x;
        return v;
    }
    static cxPrintfArgVal of_text(char const *x) {
        cxPrintfArgVal v;
        v.kind = Text;
        v.s = x;
        return v;
    }
};

class TsMsg {
public:
    // Text that stands for "nothing found" in answers of older formatter versions; callers treat
    // it like a null answer.
    static constexpr char const *no_text = "default TsLogger message";

    // The format text of entry `index` of a catalogue for `locale` (null: the default locale).
    // Entry 0 of a catalogue is "<name> <count>"; an index outside 1..count has no text (null).
    // Catalogues carry one language, so every locale reads the table itself.
    static char const *format(char const *const *table, int index, char const *locale);

    // `fmt` with its printf directives filled from `values` (`count` cells, in order). A directive
    // without a cell renders as empty text. Null when `fmt` is null.
    static std::optional<std::string> format(char const *fmt, cxPrintfArgVal const *values, std::size_t count);
};

} // namespace Log
