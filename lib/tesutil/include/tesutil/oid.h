// Nul::Uuid and Nul::Oid: 16-byte identifiers with dotted and dense text forms.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include "tesutil/unixnt.h"
#include "tesutil/ustring.h"

namespace Nul {

// A UUID seen through its fields (the field layout of a Windows GUID).
class Uuid {
public:
    Uuid();
    Uuid(tbs_uuid_s const &u);
    Uuid(tbs_oid_s const &o);
    Uuid(Uuid const &) = default;
    Uuid &operator=(Uuid const &) = default;
    operator tbs_uuid_s() const { return u_; }
    operator tbs_oid_s() const;

    tbs_uuid_s const &fields() const { return u_; }
    bool is_nil() const;
    bool operator==(Uuid const &o) const;
    bool operator!=(Uuid const &o) const { return !(*this == o); }

    // Dotted: 12345678.9abcdef0.1122.33:44:55:66:77:88; dense: 32 hexadecimal digits.
    std::string std_str(bool dense = false) const;
    UString str(bool dense = false) const;
    UString dense_str() const { return str(true); }

    // Accepts the dotted, the dashed (8-4-4-4-12) and the dense layout; raises
    // IllegalArgException (message 7) for anything else.
    static Uuid from_string(std::string const &text);
    // Raises RuntimeException (message 1) when the generator fails.
    static Uuid gen();

private:
    tbs_uuid_s u_;
};

// The same 16 bytes as four words: how state handles are stored and sent.
class Oid {
public:
    struct bits {
        std::uint32_t words[4];
    };

    Oid();
    Oid(struct bits const &b);
    Oid(Uuid const &u);
    Oid(tbs_oid_s const &o);
    Oid(tbs_uuid_s const &u);
    Oid(Oid const &) = default;
    Oid &operator=(Oid const &) = default;
    Oid &operator=(struct bits const &b);
    operator tbs_oid_s() const;
    operator tbs_uuid_s() const;
    Uuid uuid() const;

    struct bits const &bits() const { return bits_; }
    struct bits &bits() { return bits_; }

    bool is_nil() const;
    bool operator==(Oid const &o) const;
    bool operator!=(Oid const &o) const { return !(*this == o); }
    // Word by word, each unsigned.
    bool operator<(Oid const &o) const;
    // The four words XORed.
    std::int32_t hash() const;

    std::string std_str(bool dense = false) const { return uuid().std_str(dense); }
    UString str(bool dense = false) const { return uuid().str(dense); }
    UString dense_str() const { return str(true); }
    std::string dense_std_str() const { return std_str(true); }

    // Every one of these accepts all three layouts.
    static Oid from_string(std::string const &text);
    static Oid from_string(UString const &text);
    static Oid from_dense_string(std::string const &text);
    static Oid from_dense_string(UString const &text);
    static Oid gen();

private:
    struct bits bits_;
};

// The dotted text.
std::wostream &operator<<(std::wostream &os, Oid const &oid);
// One word; text that does not parse sets failbit and leaves the Oid as it was.
std::wistream &operator>>(std::wistream &is, Oid &oid);

} // namespace Nul

template <>
struct std::hash<Nul::Oid> {
    std::size_t operator()(Nul::Oid const &o) const noexcept { return static_cast<std::uint32_t>(o.hash()); }
};
