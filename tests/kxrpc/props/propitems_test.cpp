// The property lists of fetch and put requests and their dynamic names.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "props/replies.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::words;

namespace {

void put_string(Bytes &b, std::string const &s) {
    kxtest::put_word(b, static_cast<std::uint32_t>(s.size()));
    kxtest::put_bytes(b, s);
    while (b.size() % 4) b.push_back(0);
}

} // namespace

TEST(RequestedProps, NoneStillReadsOneEnum) {
    std::vector<PropRequest> props;
    std::size_t used = 0;
    EXPECT_TRUE(kxtest::decode(
        words({77, 2}), [&](XDR *x) { return xdr_requested_props(x, 0, props); }, &used));
    EXPECT_EQ(used, 4u);
    EXPECT_TRUE(props.empty());
}

TEST(RequestedProps, MetaPropertiesBetweenMinusOneAndMinusTwo) {
    std::vector<PropRequest> props;
    std::size_t used = 0;
    Bytes b = words({576, 0xFFFFFFFFu, 942, 0xFFFFFFFEu, 1000001, 0, 99});
    ASSERT_TRUE(kxtest::decode(
        b, [&](XDR *x) { return xdr_requested_props(x, 2, props); }, &used));
    EXPECT_EQ(used, 24u);
    ASSERT_EQ(props.size(), 2u);
    EXPECT_EQ(props[0].prop_id, 576);
    EXPECT_TRUE(props[0].has_metas());
    EXPECT_EQ(props[0].metas, std::vector<int>{942});
    EXPECT_EQ(props[1].prop_id, 1000001);
    EXPECT_FALSE(props[1].has_metas());
}

TEST(RequestedProps, BadCountsFail) {
    std::vector<PropRequest> props;
    EXPECT_FALSE(kxtest::decode(words({1, 2}), [&](XDR *x) { return xdr_requested_props(x, -1, props); }));
    // A count the stream cannot back ends at the stream's end, reserving nothing for it.
    EXPECT_FALSE(kxtest::decode(words({1, 2, 3}), [&](XDR *x) { return xdr_requested_props(x, 0x7FFFFFFF, props); }));
    EXPECT_LE(props.capacity(), 256u);
    std::vector<PropRequest> unterminated;
    EXPECT_FALSE(kxtest::decode(words({5, 0xFFFFFFFFu, 942, 943}),
                                [&](XDR *x) { return xdr_requested_props(x, 1, unterminated); }));
}

TEST(DynamicNames, NumberedFromTheFirstDynamicId) {
    Bytes b = words({2});
    put_string(b, "ACL:");
    put_string(b, "owner");
    put_string(b, "NOPE:");
    put_string(b, "x");
    DynamicPropMap map;
    ASSERT_TRUE(kxtest::decode(b, [&](XDR *x) { return xdr_dynamic_prop_names(x, map); }));
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map.at(1000000).first, 0);
    EXPECT_EQ(map.at(1000000).second.utf8_str().std_str(), "owner");
    EXPECT_EQ(map.at(1000001).first, -1);
    EXPECT_EQ(map.at(1000001).second.utf8_str().std_str(), "x");
}

TEST(DynamicNames, BadCountsFail) {
    DynamicPropMap map;
    EXPECT_FALSE(kxtest::decode(words({0x80000000u}), [&](XDR *x) { return xdr_dynamic_prop_names(x, map); }));
    EXPECT_FALSE(kxtest::decode(words({0x7FFFFFFFu, 0}), [&](XDR *x) { return xdr_dynamic_prop_names(x, map); }));
    EXPECT_TRUE(map.empty());
}
