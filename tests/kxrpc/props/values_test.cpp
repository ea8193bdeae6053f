// Put values: which value-type codes a put may carry and how each body decodes.
#include "props/values.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "wexxml/domparser.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;

namespace {

struct Decoded {
    bool ok = false;
    std::unique_ptr<BasePropValue> value;
    std::size_t consumed = 0;
};

Decoded decode_value(int code, Bytes const &body) {
    Decoded d;
    // A value left from before is dropped whatever the outcome.
    std::unique_ptr<BasePropValue> out = std::make_unique<BasePropValue>(1, STPRPC_EMPTY_VALUE);
    d.ok = kxtest::decode(
        body, [&](XDR *x) { return xdr_prop_value(x, 4711, code, out); }, &d.consumed);
    d.value = std::move(out);
    return d;
}

template <class Fn>
Bytes body(Fn fn) {
    bool ok = false;
    Bytes b = kxtest::encode(fn, &ok);
    EXPECT_TRUE(ok);
    return b;
}

Bytes string_body(std::string s) {
    return body([&](XDR *x) {
        char *p = s.data();
        return xdr_string(x, &p, ~0u);
    });
}

} // namespace

TEST(PropValues, CodesAPutMayNotCarryFailWithoutAValue) {
    Bytes plenty = kxtest::words({1, 2, 3, 4, 5, 6, 7, 8});
    for (int code : {100004, 100005, 100008, 100009, 100010, 100011, 100012, 100013, 100014, 100016,
                     100017, 100020, 100022, 100023, 0,      -1,     28,     33,     37,     38,
                     42,     43,     44,     45,     46,     47,     48,     51,     52,     26}) {
        Decoded d = decode_value(code, plenty);
        EXPECT_FALSE(d.ok) << code;
        EXPECT_EQ(d.value, nullptr) << code;
    }
}

TEST(PropValues, StringAndDateKeepTheTextAsSent) {
    for (int code : {100001, 100007}) {
        Decoded d = decode_value(code, string_body("2024-02-30T25:00:00Z"));
        ASSERT_TRUE(d.ok);
        auto *v = dynamic_cast<PropValue<Nul::UString> *>(d.value.get());
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->prop_id(), 4711);
        EXPECT_EQ(v->value_type(), code);
        EXPECT_EQ(v->value.utf8_str().std_str(), "2024-02-30T25:00:00Z");
        EXPECT_EQ(d.consumed, 24u);
        EXPECT_FALSE(v->failed());
        EXPECT_EQ(v->error(), nullptr);
    }
}

TEST(PropValues, EmptyAndValuelessReadNoBody) {
    Decoded e = decode_value(100002, kxtest::words({9}));
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.consumed, 0u);
    EXPECT_TRUE(e.value->is_empty_value());
    EXPECT_FALSE(e.value->is_type_100015());
    Decoded m = decode_value(100015, Bytes());
    ASSERT_TRUE(m.ok);
    EXPECT_TRUE(m.value->is_type_100015());
    EXPECT_FALSE(m.value->is_empty_value());
}

TEST(PropValues, BooleanIsTrueOnlyForOne) {
    Decoded t = decode_value(100006, kxtest::words({1}));
    ASSERT_TRUE(t.ok);
    EXPECT_TRUE(dynamic_cast<PropValue<bool> &>(*t.value).value);
    Decoded f = decode_value(100006, kxtest::words({0}));
    ASSERT_TRUE(f.ok);
    EXPECT_FALSE(dynamic_cast<PropValue<bool> &>(*f.value).value);
    // Any other word decodes, and is not true.
    Decoded two = decode_value(100006, kxtest::words({2}));
    ASSERT_TRUE(two.ok);
    EXPECT_FALSE(dynamic_cast<PropValue<bool> &>(*two.value).value);
}

TEST(PropValues, EnumHoldsTheTagId) {
    Decoded d = decode_value(100003, kxtest::words({942}));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(dynamic_cast<PropValue<stprpc_xml_tag_id_t> &>(*d.value).value, 942);
}

TEST(PropValues, XmlParsesOnDemandAndOnce) {
    Decoded d = decode_value(100019, string_body("<a xmlns='urn:x'><b/></a>"));
    ASSERT_TRUE(d.ok);
    auto &x = dynamic_cast<PropValue<XmlPropValue> &>(*d.value).value;
    EXPECT_EQ(x.text().utf8_str().std_str(), "<a xmlns='urn:x'><b/></a>");
    Nul::DomParser *first = x.dom();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(x.dom(), first);
}

TEST(PropValues, StringLists) {
    Decoded none = decode_value(100021, kxtest::words({0, 77}));
    ASSERT_TRUE(none.ok);
    EXPECT_EQ(none.consumed, 4u);
    EXPECT_TRUE(dynamic_cast<ListPropValue<Nul::UString> &>(*none.value).values.empty());

    Bytes two = kxtest::words({2});
    for (auto s : {"ab", "cde"}) {
        Bytes e = string_body(s);
        two.insert(two.end(), e.begin(), e.end());
    }
    Decoded d = decode_value(100021, two);
    ASSERT_TRUE(d.ok);
    auto &list = dynamic_cast<ListPropValue<Nul::UString> &>(*d.value).values;
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].utf8_str().std_str(), "cde");
}

TEST(PropValues, ListCountsAreBoundedBeforeAllocation) {
    EXPECT_FALSE(decode_value(100021, kxtest::words({0xFFFFFFFFu})).ok);
    EXPECT_FALSE(decode_value(100021, kxtest::words({0x7FFFFFFFu})).ok);
    // A plausible count that the stream cannot back fails at its end, keeping what it read.
    Bytes short_list = kxtest::words({1000});
    Bytes e = string_body("x");
    short_list.insert(short_list.end(), e.begin(), e.end());
    Decoded d = decode_value(100021, short_list);
    EXPECT_FALSE(d.ok);
    ASSERT_NE(d.value, nullptr);
    EXPECT_EQ(dynamic_cast<ListPropValue<Nul::UString> &>(*d.value).values.size(), 1u);
}

TEST(PropValues, ShortBodiesFail) {
    EXPECT_FALSE(decode_value(100001, kxtest::words({8, 0x41414141})).ok);
    EXPECT_FALSE(decode_value(100006, Bytes()).ok);
    EXPECT_FALSE(decode_value(100003, Bytes()).ok);
}

TEST(PropValues, SetErrorOwnsTheException) {
    BasePropValue v(1, 100002);
    v.set_error(
        std::make_unique<Nul::STPException>(static_cast<Nul::STPException::stp_reason_code_t>(39), Nul::UMessage::nil));
    EXPECT_TRUE(v.failed());
    ASSERT_NE(v.error(), nullptr);
    EXPECT_EQ(static_cast<int>(v.error()->stp_reason_code()), 39);
}

namespace {

Bytes reference(int type, TargetResourceArg target) {
    return body([&](XDR *x) {
        int t = type;
        return xdr_int(x, &t) && target.xdr(x);
    });
}

} // namespace

TEST(PropValues, ResourceReferencesOfReferableTypes) {
    for (int code : {27, 29, 30, 31, 32, 34, 35, 36, 39, 40, 41, 49, 50})
        EXPECT_TRUE(is_referable_resource_type(code)) << code;
    Decoded d = decode_value(31, reference(31, TargetResourceArg(31, Nul::UString(L"Defect"))));
    ASSERT_TRUE(d.ok);
    auto &target = dynamic_cast<PropValue<TargetResourceArg> &>(*d.value).value;
    EXPECT_EQ(target.type(), 31);
    EXPECT_TRUE(target.is_marshalled_by_name());
    EXPECT_EQ(target.first_name_segment().utf8_str().std_str(), "Defect");
    // The body's own type code is the one the target keeps.
    Decoded by_dbid = decode_value(32, reference(32, TargetResourceArg(32, 16777217u, 33554433u)));
    ASSERT_TRUE(by_dbid.ok);
    auto &record = dynamic_cast<PropValue<TargetResourceArg> &>(*by_dbid.value).value;
    EXPECT_TRUE(record.is_marshalled_by_dbid());
    EXPECT_EQ(record.dbid_segment(1), 33554433u);
}

TEST(PropValues, ResourceLists) {
    Bytes b = kxtest::words({2});
    for (Bytes e : {reference(31, TargetResourceArg(31, Nul::UString(L"Defect"))),
                    reference(31, TargetResourceArg(31, Nul::UString(L"Project")))})
        b.insert(b.end(), e.begin(), e.end());
    Decoded d = decode_value(100018, b);
    ASSERT_TRUE(d.ok);
    auto &list = dynamic_cast<ListPropValue<TargetResourceArg> &>(*d.value).values;
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].first_name_segment().utf8_str().std_str(), "Project");
    // A broken element ends the list with failure, keeping the elements before it.
    Bytes broken = kxtest::words({2});
    Bytes first = reference(31, TargetResourceArg(31, Nul::UString(L"Defect")));
    broken.insert(broken.end(), first.begin(), first.end());
    kxtest::put_word(broken, 0);
    Decoded bad = decode_value(100018, broken);
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(dynamic_cast<ListPropValue<TargetResourceArg> &>(*bad.value).values.size(), 1u);
    EXPECT_FALSE(decode_value(100018, kxtest::words({0xFFFFFFF0u})).ok);
}
