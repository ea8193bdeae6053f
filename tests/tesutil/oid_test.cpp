#include "tesutil/oid.h"

#include <gtest/gtest.h>
#include <uuid/uuid.h>

#include <cstring>
#include <set>
#include <sstream>

#include "tesutil/stpexception.h"

using Nul::Oid;
using Nul::Uuid;

namespace {

Uuid sample() {
    tbs_uuid_s u{0x12345678, 0x9abc, 0xdef0, 0x11, 0x22, {0x33, 0x44, 0x55, 0x66, 0x77, 0x88}};
    return Uuid(u);
}

std::string rendered(Nul::STPException const &e) { return e.msg().utf8_str(); }

// libuuid's bytes are in network order; the fields of a Uuid are numbers.
void expect_same_fields(Uuid const &u, uuid_t const bytes) {
    tbs_uuid_s const &f = u.fields();
    EXPECT_EQ(f.time_low, uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3]);
    EXPECT_EQ(f.time_mid, uint16_t(bytes[4] << 8 | bytes[5]));
    EXPECT_EQ(f.time_hi_and_version, uint16_t(bytes[6] << 8 | bytes[7]));
    EXPECT_EQ(f.clock_seq_hi_and_reserved, bytes[8]);
    EXPECT_EQ(f.clock_seq_low, bytes[9]);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(f.node[i], bytes[10 + i]) << i;
}

std::string dashed(Uuid const &u) {
    std::string d = u.std_str(true);
    return d.substr(0, 8) + "-" + d.substr(8, 4) + "-" + d.substr(12, 4) + "-" + d.substr(16, 4) + "-" + d.substr(20);
}

} // namespace

TEST(Identifiers, TextForms) {
    Uuid u = sample();
    EXPECT_EQ(u.std_str(), "12345678.9abcdef0.1122.33:44:55:66:77:88");
    EXPECT_EQ(u.std_str().size(), 40u);
    EXPECT_EQ(u.std_str(true), "123456789abcdef01122334455667788");
    EXPECT_EQ(u.str(), Nul::UString(L"12345678.9abcdef0.1122.33:44:55:66:77:88"));
    EXPECT_EQ(u.dense_str(), Nul::UString(L"123456789abcdef01122334455667788"));
    Oid o(u);
    EXPECT_EQ(o.std_str(), u.std_str());
    EXPECT_EQ(o.dense_std_str(), u.std_str(true));
    EXPECT_EQ(o.dense_str(), u.dense_str());
    for (std::string const &t :
         {u.std_str(), u.std_str(true), dashed(u), std::string("12345678-9ABC-DEF0-1122-334455667788")}) {
        EXPECT_EQ(Oid::from_string(t), o) << t;
        EXPECT_EQ(Oid::from_dense_string(t), o) << t;
        EXPECT_EQ(Oid::from_string(Nul::UString(Nul::Utf8String(t))), o) << t;
        EXPECT_EQ(Oid::from_dense_string(Nul::UString(Nul::Utf8String(t))), o) << t;
        EXPECT_EQ(Uuid::from_string(t), u) << t;
    }
    // Text after the last field is ignored.
    EXPECT_EQ(Oid::from_string(u.std_str() + "zz"), o);
}

TEST(Identifiers, SameBytesAsWords) {
    Oid o(sample());
    // Little-endian words over the same 16 bytes.
    EXPECT_EQ(o.bits().words[0], 0x12345678u);
    EXPECT_EQ(o.bits().words[1], 0xdef09abcu);
    EXPECT_EQ(o.bits().words[2], 0x44332211u);
    EXPECT_EQ(o.bits().words[3], 0x88776655u);
    tbs_oid_s raw = o;
    tbs_uuid_s fields = o;
    EXPECT_EQ(std::memcmp(&raw, &fields, 16), 0);
    EXPECT_EQ(Oid(raw), o);
    EXPECT_EQ(Oid(fields), o);
    EXPECT_EQ(o.uuid(), sample());
    EXPECT_EQ(Uuid(raw), sample());
    tbs_oid_s back = sample();
    EXPECT_EQ(std::memcmp(&back, &raw, 16), 0);
    struct Oid::bits b = {{1, 2, 3, 4}};
    Oid p;
    p = b;
    EXPECT_EQ(p.bits().words[2], 3u);
    p.bits().words[2] = 9;
    EXPECT_EQ(Oid(b) == p, false);
    EXPECT_EQ(p.hash(), int32_t(1 ^ 2 ^ 9 ^ 4));
    struct Oid::bits high = {{0xFFFFFFFFu, 0, 0, 0}};
    EXPECT_EQ(Oid(high).hash(), -1);
}

TEST(Identifiers, CheckedAgainstLibuuid) {
    for (int i = 0; i < 50; ++i) {
        uuid_t bytes;
        uuid_generate(bytes);
        char text[37];
        uuid_unparse_lower(bytes, text);
        Uuid u = Uuid::from_string(text);
        expect_same_fields(u, bytes);
        // And our dashed rendering of the fields reads back through libuuid to the same bytes.
        uuid_t again;
        ASSERT_EQ(uuid_parse(dashed(u).c_str(), again), 0);
        EXPECT_EQ(std::memcmp(bytes, again, 16), 0);
        EXPECT_EQ(Uuid::from_string(u.std_str()), u);
        EXPECT_EQ(Uuid::from_string(u.std_str(true)), u);
    }
}

TEST(Identifiers, GeneratedAreUniqueAndRoundTrip) {
    EXPECT_TRUE(Oid().is_nil());
    EXPECT_TRUE(Uuid().is_nil());
    std::set<Oid> seen;
    for (int i = 0; i < 100; ++i) {
        Oid o = Oid::gen();
        EXPECT_FALSE(o.is_nil());
        EXPECT_EQ(Oid::from_string(o.std_str()), o);
        EXPECT_TRUE(seen.insert(o).second);
        uuid_t bytes;
        ASSERT_EQ(uuid_parse(dashed(o.uuid()).c_str(), bytes), 0);
        EXPECT_EQ(uuid_type(bytes), UUID_TYPE_DCE_RANDOM);
        EXPECT_EQ(uuid_variant(bytes), UUID_VARIANT_DCE);
    }
    EXPECT_FALSE(Uuid::gen().is_nil());
}

TEST(Identifiers, Ordering) {
    struct Oid::bits a = {{0x80000000u, 0, 0, 0}}, b = {{1, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}};
    EXPECT_TRUE(Oid(b) < Oid(a));
    EXPECT_FALSE(Oid(a) < Oid(b));
    struct Oid::bits c = {{1, 2, 3, 4}}, d = {{1, 2, 3, 5}};
    EXPECT_TRUE(Oid(c) < Oid(d));
    EXPECT_FALSE(Oid(c) < Oid(c));
    EXPECT_TRUE(Oid(c) != Oid(d));
}

TEST(Identifiers, BadTextRaisesMessage7) {
    for (std::string const &t : {std::string("xyz"), std::string(""), std::string("12345678.9abc")}) {
        try {
            Oid::from_string(t);
            FAIL() << t;
        } catch (Nul::IllegalArgException const &e) {
            EXPECT_EQ(e.stp_reason_code(), 39);
            EXPECT_EQ(e.message().index(), Nul::WEXUTIL_BAD_OID_FORMAT);
            EXPECT_EQ(rendered(e), "TLQSV0657E Invalid Oid/Uuid format for arg: '" + t + "' with value: '" + t + "'");
        }
    }
    EXPECT_THROW(Uuid::from_string("xyz"), Nul::STPException);
}

TEST(Identifiers, WideStreams) {
    Oid o(sample());
    std::wostringstream out;
    out << o;
    EXPECT_EQ(out.str(), L"12345678.9abcdef0.1122.33:44:55:66:77:88");

    std::wistringstream in(L"  123456789abcdef01122334455667788 trailing");
    Oid r;
    in >> r;
    EXPECT_TRUE(in.good());
    EXPECT_EQ(r, o);

    Oid keep = Oid::gen();
    Oid target = keep;
    std::wistringstream bad(L"nonsense");
    bad >> target;
    EXPECT_TRUE(bad.fail());
    EXPECT_EQ(target, keep);

    std::wistringstream empty(L"");
    empty >> target;
    EXPECT_TRUE(empty.fail());
    EXPECT_EQ(target, keep);
}
