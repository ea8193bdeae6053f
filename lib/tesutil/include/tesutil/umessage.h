// Nul::UMessage: a catalogued message with up to 10 typed arguments, rendered on demand.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tesutil/ustring.h"

namespace Nul {

class Resource;

// A message catalogue: entry 0 is "<name> <count>", entries 1..count are messages.
using Catalog = char const *const *;

class UMessage {
public:
    class Arg {
    public:
        enum arg_type_t {
            NIL = 0,
            CHAR = 1,
            INT = 2,
            LONG = 3,
            INT64 = 4,
            DOUBLE = 5,
            CSTRING = 6,
            STDSTRING = 7,
            WSTRING = 8,
            RESOURCE = 9
        };
        static Arg const nil;

        Arg();
        Arg(char c);
        Arg(int v);
        Arg(unsigned int v);
        Arg(long v);
        Arg(unsigned long v);
        Arg(long long v);
        Arg(unsigned long long v);
        Arg(double v);
        Arg(char const *s);
        Arg(std::string const &s);
        Arg(wchar_t const *s);
        Arg(UString const &s);
        Arg(Resource const &r);
        Arg(Arg const &other);
        Arg &operator=(Arg const &other);
        virtual ~Arg();

        arg_type_t type() const { return type_; }
        std::int64_t int_value() const { return i_; }
        double double_value() const { return d_; }
        // Kinds 6 to 8: the UTF-8 text; null otherwise.
        char const *text() const { return type_ >= CSTRING && type_ <= WSTRING ? s_.c_str() : nullptr; }
        Resource const *resource() const { return resource_.get(); }

    private:
        arg_type_t type_ = NIL;
        std::int64_t i_ = 0;
        double d_ = 0;
        std::string s_;
        std::unique_ptr<Resource> resource_;
    };

    class collection_t {
    public:
        collection_t() = default;
        void clear() { items_.clear(); }
        std::size_t size() const { return items_.size(); }
        bool empty() const { return items_.empty(); }
        UMessage &operator[](std::size_t i) { return items_[i]; }
        UMessage const &operator[](std::size_t i) const { return items_[i]; }
        auto begin() { return items_.begin(); }
        auto end() { return items_.end(); }
        auto begin() const { return items_.begin(); }
        auto end() const { return items_.end(); }
        void reserve(std::size_t n) { items_.reserve(n); }
        void push_back(UMessage const &m) { items_.push_back(m); }
        collection_t &operator+=(collection_t const &other) {
            if (this == &other) {
                auto copy = other.items_;
                items_.insert(items_.end(), copy.begin(), copy.end());
            } else {
                items_.insert(items_.end(), other.items_.begin(), other.items_.end());
            }
            return *this;
        }

    private:
        std::vector<UMessage> items_;
    };

    static UMessage const nil;
    static constexpr std::size_t max_args = 10;
    static constexpr char const *no_catalog_text = "Could not locate Catalog File";
    // At most this many UTF-16 units of outside text (a client's document, names, values) are
    // repeated in one message, so that an error never costs more than its cause.
    static constexpr unsigned max_echo_units = 2048;

    UMessage();
    UMessage(Catalog table, int index, Arg const &a1 = Arg::nil, Arg const &a2 = Arg::nil, Arg const &a3 = Arg::nil,
             Arg const &a4 = Arg::nil, Arg const &a5 = Arg::nil, Arg const &a6 = Arg::nil, Arg const &a7 = Arg::nil,
             Arg const &a8 = Arg::nil, Arg const &a9 = Arg::nil, Arg const &a10 = Arg::nil);
    UMessage(UMessage const &) = default;
    UMessage(UMessage &&) noexcept = default;
    UMessage &operator=(UMessage const &) = default;
    UMessage &operator=(UMessage &&) noexcept = default;
    ~UMessage() = default;

    bool is_nil() const;
    Catalog table() const { return table_; }
    int index() const { return index_; }
    std::vector<Arg> const &args() const { return args_; }

    // The rendered text; `locale` may be null (the formatter's default).
    UString message_string(char const *locale) const;

    // Text from outside as a message repeats it: longer than max_echo_units, it is cut there and
    // ends with "...".
    static UString echo(UString const &text);

    // Renders a catalogue entry without making a message.
    static UString sprintf(Catalog table, int index, Arg const &a1 = Arg::nil, Arg const &a2 = Arg::nil,
                           Arg const &a3 = Arg::nil, Arg const &a4 = Arg::nil, Arg const &a5 = Arg::nil,
                           Arg const &a6 = Arg::nil, Arg const &a7 = Arg::nil, Arg const &a8 = Arg::nil,
                           Arg const &a9 = Arg::nil, Arg const &a10 = Arg::nil);
    static UString sprintf(Catalog table, int index, std::vector<Arg const *> const &args, char const *locale);
    // Formats a UTF-8 printf format that is not in a catalogue.
    static UString sprintf(char const *format, Arg const &a1 = Arg::nil, Arg const &a2 = Arg::nil,
                           Arg const &a3 = Arg::nil, Arg const &a4 = Arg::nil, Arg const &a5 = Arg::nil,
                           Arg const &a6 = Arg::nil, Arg const &a7 = Arg::nil, Arg const &a8 = Arg::nil,
                           Arg const &a9 = Arg::nil, Arg const &a10 = Arg::nil);
    static UString sprintf(char const *format, std::vector<Arg const *> const &args);
    static UString sprintf(UString const &format, Arg const &a1 = Arg::nil, Arg const &a2 = Arg::nil,
                           Arg const &a3 = Arg::nil, Arg const &a4 = Arg::nil, Arg const &a5 = Arg::nil,
                           Arg const &a6 = Arg::nil, Arg const &a7 = Arg::nil, Arg const &a8 = Arg::nil,
                           Arg const &a9 = Arg::nil, Arg const &a10 = Arg::nil);
    static UString sprintf(UString const &format, std::vector<Arg const *> const &args);

private:
    Catalog table_ = nullptr;
    std::int32_t index_ = -1;
    std::vector<Arg> args_;
};

// The utility library's own catalogue ("wexutil 21").
extern char const *const wexutil_catalog[];

// Indexes into wexutil_catalog.
enum WexutilMsg {
    WEXUTIL_UUID_CREATE = 1,
    WEXUTIL_UUID_NO_ADDRESS,
    WEXUTIL_INTERNAL_ERROR,
    WEXUTIL_ILLEGAL_VALUE,
    WEXUTIL_LOOKUP_ILLEGAL_ID,
    WEXUTIL_LOOKUP_ILLEGAL_NS,
    WEXUTIL_BAD_OID_FORMAT,
    WEXUTIL_IDENTITY_LENGTH_FORMAT,
    WEXUTIL_IDENTITY_LENGTH_STRING,
    WEXUTIL_IDENTITY_BAD_SIZE,
    WEXUTIL_IDENTITY_HEX,
    WEXUTIL_BAD_URI,
    WEXUTIL_BAD_URI_ESCAPE,
    WEXUTIL_TEMP_CREATE,
    WEXUTIL_FILE_OPEN,
    WEXUTIL_FILE_READ,
    WEXUTIL_FILE_WRITE,
    WEXUTIL_FILE_CLOSE,
    WEXUTIL_DEFAULT_CHARSET,
    WEXUTIL_ARM_ERROR,
    WEXUTIL_BAD_SELECTOR
};

} // namespace Nul
