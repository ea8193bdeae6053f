#include "tesutil/oid.h"

#include <cstdio>
#include <cstring>
#include <istream>
#include <ostream>

#include "tesutil/stpexception.h"
#include "tesutil/umessage.h"

namespace Nul {

static_assert(sizeof(tbs_uuid_s) == 16 && sizeof(tbs_oid_s) == 16 && sizeof(struct Oid::bits) == 16);

Uuid::Uuid() : u_{} {}
Uuid::Uuid(tbs_uuid_s const &u) : u_(u) {}
Uuid::Uuid(tbs_oid_s const &o) { std::memcpy(&u_, &o, sizeof u_); }

Uuid::operator tbs_oid_s() const {
    tbs_oid_s o;
    std::memcpy(&o, &u_, sizeof o);
    return o;
}

bool Uuid::is_nil() const { return *this == Uuid(); }
bool Uuid::operator==(Uuid const &o) const { return std::memcmp(&u_, &o.u_, sizeof u_) == 0; }

std::string Uuid::std_str(bool dense) const {
    char buf[64];
    char const *format = dense ? "%08x%04hx%04hx%02x%02x%02x%02x%02x%02x%02x%02x"
                               : "%08x.%04hx%04hx.%02x%02x.%02x:%02x:%02x:%02x:%02x:%02x";
    std::snprintf(buf, sizeof buf, format, u_.time_low, u_.time_mid, u_.time_hi_and_version,
                  u_.clock_seq_hi_and_reserved, u_.clock_seq_low, u_.node[0], u_.node[1], u_.node[2], u_.node[3],
                  u_.node[4], u_.node[5]);
    return buf;
}

UString Uuid::str(bool dense) const { return UString(Utf8String(std_str(dense))); }

Uuid Uuid::from_string(std::string const &text) {
    static char const *const layouts[] = {
        "%08x.%04hx%04hx.%02hx%02hx.%02hx:%02hx:%02hx:%02hx:%02hx:%02hx",
        "%08x-%04hx-%04hx-%02hx%02hx-%02hx%02hx%02hx%02hx%02hx%02hx",
        "%08x%04hx%04hx%02hx%02hx%02hx%02hx%02hx%02hx%02hx%02hx",
    };
    for (char const *layout : layouts) {
        unsigned int first = 0;
        unsigned short second = 0, third = 0, b[8] = {};
        int n = std::sscanf(text.c_str(), layout, &first, &second, &third, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5],
                            &b[6], &b[7]);
        if (n != 11) continue;
        tbs_uuid_s u;
        u.time_low = first;
        u.time_mid = second;
        u.time_hi_and_version = third;
        u.clock_seq_hi_and_reserved = static_cast<std::uint8_t>(b[0]);
        u.clock_seq_low = static_cast<std::uint8_t>(b[1]);
        for (int i = 0; i < 6; ++i) u.node[i] = static_cast<std::uint8_t>(b[2 + i]);
        return Uuid(u);
    }
    IllegalArgException::raise(UMessage(wexutil_catalog, WEXUTIL_BAD_OID_FORMAT, text, text));
}

Uuid Uuid::gen() {
    tbs_uuid_s u{};
    int rc = vexhub_tbs_uuid_gen(&u);
    if (rc != 0) RuntimeException::raise(UMessage(wexutil_catalog, WEXUTIL_UUID_CREATE, rc));
    return Uuid(u);
}

Oid::Oid() : bits_{} {}
Oid::Oid(struct bits const &b) : bits_(b) {}
Oid::Oid(Uuid const &u) { std::memcpy(&bits_, &u.fields(), sizeof bits_); }
Oid::Oid(tbs_oid_s const &o) { std::memcpy(&bits_, &o, sizeof bits_); }
Oid::Oid(tbs_uuid_s const &u) { std::memcpy(&bits_, &u, sizeof bits_); }

Oid &Oid::operator=(struct bits const &b) {
    bits_ = b;
    return *this;
}

Oid::operator tbs_oid_s() const {
    tbs_oid_s o;
    std::memcpy(&o, &bits_, sizeof o);
    return o;
}

Oid::operator tbs_uuid_s() const {
    tbs_uuid_s u;
    std::memcpy(&u, &bits_, sizeof u);
    return u;
}

Uuid Oid::uuid() const { return Uuid(static_cast<tbs_uuid_s>(*this)); }

bool Oid::is_nil() const { return *this == Oid(); }

bool Oid::operator==(Oid const &o) const {
    for (int i = 0; i < 4; ++i)
        if (bits_.words[i] != o.bits_.words[i]) return false;
    return true;
}

bool Oid::operator<(Oid const &o) const {
    for (int i = 0; i < 4; ++i)
        if (bits_.words[i] != o.bits_.words[i]) return bits_.words[i] < o.bits_.words[i];
    return false;
}

std::int32_t Oid::hash() const {
    return static_cast<std::int32_t>(bits_.words[0] ^ bits_.words[1] ^ bits_.words[2] ^ bits_.words[3]);
}

Oid Oid::from_string(std::string const &text) { return Oid(Uuid::from_string(text)); }
Oid Oid::from_string(UString const &text) { return from_string(static_cast<std::string>(text.utf8_str())); }
Oid Oid::from_dense_string(std::string const &text) { return from_string(text); }
Oid Oid::from_dense_string(UString const &text) { return from_string(text); }
Oid Oid::gen() { return Oid(Uuid::gen()); }

std::wostream &operator<<(std::wostream &os, Oid const &oid) {
    std::string text = oid.std_str();
    return os << std::wstring(text.begin(), text.end());
}

std::wistream &operator>>(std::wistream &is, Oid &oid) {
    std::wstring word;
    if (!(is >> word)) return is;
    try {
        oid = Oid::from_string(UString(word));
    } catch (IllegalArgException &) {
        is.setstate(std::ios_base::failbit);
    }
    return is;
}

} // namespace Nul
