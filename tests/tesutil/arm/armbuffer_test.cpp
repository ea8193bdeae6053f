#include "tesutil/armbuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "tesutil/stpexception.h"

using Nul::ArmAppContextBuffer;
using Nul::ArmAppIdentyBuffer;
using Nul::ArmBuffer;
using Nul::ArmMetricBindingsBuffer;
using Nul::ArmMetricValuesBuffer;
using Nul::ArmTransContextBuffer;
using Nul::ArmTransIdentyBuffer;
using Nul::STPException;
using Nul::UString;

namespace {

std::string const arm_prefix = "TLQSV0670E Application Resource Measurement (ARM) error: ";

template <class F>
std::string raised_text(F &&f) {
    try {
        f();
    } catch (STPException &e) {
        EXPECT_EQ(e.stp_reason_code(), 40);
        EXPECT_EQ(e.message().index(), 20);
        return e.msg().utf8_str();
    }
    ADD_FAILURE() << "nothing raised";
    return {};
}

arm_subbuffer_t *sub(ArmBuffer const &b, int i) {
    arm_buffer4_t const *p = b;
    return p->subbuffer_array[i];
}

template <class T>
T const *sub_as(ArmBuffer const &b, int i) {
    return reinterpret_cast<T const *>(sub(b, i));
}

UString units(unsigned n, wchar_t c) { return UString(std::wstring(n, c)); }

arm_id_t some_id(unsigned char seed) {
    arm_id_t id;
    for (int i = 0; i < 16; ++i) id.id_u.uint8[i] = static_cast<unsigned char>(seed + i);
    return id;
}

} // namespace

static_assert(!std::is_copy_constructible_v<ArmBuffer>, "an ArmBuffer never shares its sub-buffers");
static_assert(!std::is_copy_assignable_v<ArmBuffer>, "an ArmBuffer never shares its sub-buffers");

TEST(ArmBuffer, EmptyConvertsToNull) {
    ArmBuffer b;
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(static_cast<arm_buffer4_t const *>(b), nullptr);
    b.add_buffer();
    arm_buffer4_t const *p = b;
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->count, 1);
    b.clear();
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(static_cast<arm_buffer4_t const *>(b), nullptr);
}

TEST(ArmBuffer, CharsetSubBuffer) {
    ArmBuffer b;
    b.add_buffer();
    auto const *cs = sub_as<arm_subbuffer_charset_t>(b, 0);
    EXPECT_EQ(cs->header.format, 107);
    EXPECT_EQ(cs->charset, 106);
    EXPECT_EQ(cs->flags, 0);
}

TEST(ArmBuffer, FifthSubBufferRaisesAndKeepsTheFour) {
    ArmBuffer b;
    b.add_buffer(std::int64_t{7});
    b.add_buffer(UString(L"detail"));
    b.add_buffer(UString(L"user"), true, some_id(1));
    b.add_buffer();
    EXPECT_EQ(raised_text([&] { b.add_buffer(std::int64_t{8}); }),
              arm_prefix + "ArmBuffer::add_buffer():  Max Buffer count exceeded..");
    EXPECT_EQ(raised_text([&] { b.add_buffer(); }),
              arm_prefix + "ArmBuffer::add_charset_buffer():  Max Buffer count exceeded..");
    // A staging buffer handed to a full ArmBuffer is left as it was.
    ArmAppIdentyBuffer id;
    id.add_identity_prop(L"n", L"v");
    EXPECT_FALSE(raised_text([&] { b.add_buffer(id); }).empty());
    EXPECT_EQ(id.num_identity_props(), 1);
    ASSERT_EQ(b.count(), 4);
    EXPECT_EQ(sub_as<arm_subbuffer_arrival_time_t>(b, 0)->arrival_time, 7);
    EXPECT_STREQ(sub_as<arm_subbuffer_diag_detail_t>(b, 1)->diag_detail, "detail");
    EXPECT_STREQ(sub_as<arm_subbuffer_user_t>(b, 2)->name, "user");
    EXPECT_EQ(sub(b, 3)->format, 107);
    // Cleared, it takes four again.
    b.clear();
    for (int i = 0; i < 4; ++i) b.add_buffer(std::int64_t{i});
    EXPECT_EQ(b.count(), 4);
}

TEST(ArmBuffer, DiagnosticDetailIsCutAt4095) {
    ArmBuffer b;
    b.add_buffer(units(5000, L'd'));
    char const *text = sub_as<arm_subbuffer_diag_detail_t>(b, 0)->diag_detail;
    EXPECT_EQ(sub(b, 0)->format, 7);
    EXPECT_EQ(std::strlen(text), 4095u);
    EXPECT_EQ(std::string(text), std::string(4095, 'd'));
    // Short text is passed whole.
    b.add_buffer(UString(L"short"));
    EXPECT_STREQ(sub_as<arm_subbuffer_diag_detail_t>(b, 1)->diag_detail, "short");
}

TEST(ArmBuffer, CutNeverSplitsASurrogatePair) {
    // U+1F600 takes units 4094 and 4095: keeping 4095 units would leave half of it.
    UString text = units(4094, L'a');
    text.append(L'\U0001F600');
    text.append(units(10, L'b'));
    ArmBuffer b;
    b.add_buffer(text);
    EXPECT_EQ(std::string(sub_as<arm_subbuffer_diag_detail_t>(b, 0)->diag_detail), std::string(4094, 'a'));
    // A pair that ends at the cut is kept.
    UString fits = units(4093, L'a');
    fits.append(L'\U0001F600');
    fits.append(units(3, L'b'));
    b.add_buffer(fits);
    EXPECT_EQ(std::string(sub_as<arm_subbuffer_diag_detail_t>(b, 1)->diag_detail),
              std::string(4093, 'a') + "\xF0\x9F\x98\x80");
    EXPECT_EQ(Nul::arm_truncate(UString(L"abc"), 0).length(), 0u);
}

TEST(ArmBuffer, UserAndSystemAddress) {
    ArmBuffer b;
    b.add_buffer(UString(L"J\u00f6rg"), true, some_id(3));
    unsigned char addr[4] = {127, 0, 0, 1};
    b.add_buffer(std::int16_t{2}, std::int16_t{4}, addr, false, some_id(9));
    addr[0] = 10; // the sub-buffer holds its own copy
    auto const *u = sub_as<arm_subbuffer_user_t>(b, 0);
    EXPECT_EQ(u->header.format, 3);
    EXPECT_STREQ(u->name, "J\xC3\xB6rg");
    EXPECT_EQ(u->id_valid, 1);
    arm_id_t expect = some_id(3);
    EXPECT_EQ(std::memcmp(&u->id, &expect, sizeof expect), 0);
    auto const *a = sub_as<arm_subbuffer_system_address_t>(b, 1);
    EXPECT_EQ(a->header.format, 6);
    EXPECT_EQ(a->address_format, 2);
    ASSERT_EQ(a->address_length, 4);
    EXPECT_EQ(a->address[0], 127);
    EXPECT_EQ(a->address[3], 1);
    EXPECT_EQ(a->id_valid, 0);
    // No bytes: nothing is copied and no pointer handed on.
    b.add_buffer(std::int16_t{2}, std::int16_t{4}, nullptr, false, some_id(0));
    EXPECT_EQ(sub_as<arm_subbuffer_system_address_t>(b, 2)->address, nullptr);
    EXPECT_EQ(sub_as<arm_subbuffer_system_address_t>(b, 2)->address_length, 0);
}

TEST(ArmBuffer, IdentitySubBufferEmptiesTheStagingButKeepsTheContextMap) {
    ArmAppIdentyBuffer id;
    id.add_identity_prop(L"host", L"alpha");
    id.add_context_prop(UString(L"user"));
    id.add_identity_prop(L"port", L"1");
    id.add_context_prop(UString(L"db"));
    EXPECT_EQ(id.num_identity_props(), 2);
    EXPECT_EQ(id.num_context_props(), 2);
    EXPECT_EQ((std::vector<int>{0, 3}), id.prop_names());
    EXPECT_EQ((std::vector<int>{1, 4}), id.prop_values());
    EXPECT_EQ((std::vector<int>{2, 5}), id.ctx_names());
    ArmBuffer b;
    b.add_buffer(id);
    auto const *sb = sub_as<arm_subbuffer_app_identity_t>(b, 0);
    EXPECT_EQ(sb->header.format, 102);
    ASSERT_EQ(sb->identity_property_count, 2);
    EXPECT_STREQ(sb->identity_property_array[0].name, "host");
    EXPECT_STREQ(sb->identity_property_array[0].value, "alpha");
    EXPECT_STREQ(sb->identity_property_array[1].name, "port");
    EXPECT_STREQ(sb->identity_property_array[1].value, "1");
    ASSERT_EQ(sb->context_name_count, 2);
    EXPECT_STREQ(sb->context_name_array[0], "user");
    EXPECT_STREQ(sb->context_name_array[1], "db");
    EXPECT_EQ(id.num_identity_props(), 0);
    EXPECT_EQ(id.num_context_props(), 0);
    EXPECT_TRUE(id.strings().empty());
    auto map = id.ctx_indicies();
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map[UString(L"user")], 0);
    EXPECT_EQ(map[UString(L"db")], 1);

    // Nothing staged: no arrays at all.
    ArmAppIdentyBuffer none;
    b.add_buffer(none);
    auto const *empty = sub_as<arm_subbuffer_app_identity_t>(b, 1);
    EXPECT_EQ(empty->identity_property_count, 0);
    EXPECT_EQ(empty->identity_property_array, nullptr);
    EXPECT_EQ(empty->context_name_array, nullptr);
}

TEST(ArmBuffer, NineteenPropertiesInAnyMixAndNoMore) {
    ArmAppIdentyBuffer id;
    for (int i = 0; i < 19; ++i) {
        if (i % 3 == 0)
            id.add_context_prop(UString(std::to_wstring(i)));
        else
            id.add_identity_prop(std::to_wstring(i).c_str(), L"v");
    }
    EXPECT_EQ(id.num_identity_props() + id.num_context_props(), 19);
    std::string const too_many = arm_prefix + "ArmIdentityBuffer:: trying to register too many properties.";
    EXPECT_EQ(raised_text([&] { id.add_identity_prop(L"x", L"y"); }), too_many);
    EXPECT_EQ(raised_text([&] { id.add_context_prop(UString(L"x")); }), too_many);
    EXPECT_EQ(id.num_identity_props() + id.num_context_props(), 19);
    EXPECT_EQ(id.strings().size(), 12u * 2 + 7u);
}

TEST(ArmBuffer, ContextValuesGoToTheirNamesIndex) {
    ArmTransIdentyBuffer id;
    id.add_context_prop(UString(L"a"));
    id.add_context_prop(UString(L"b"));
    id.add_context_prop(UString(L"c"));
    ArmAppContextBuffer ctx(id.ctx_indicies());
    EXPECT_EQ(raised_text([&] { ctx.add_ctx_prop(UString(L"zz"), UString(L"1")); }),
              arm_prefix + "ArmContextBuffer:: trying to add unknown context property.");
    ctx.add_ctx_prop(UString(L"c"), UString(L"three"));
    ctx.add_ctx_prop(UString(L"a"), UString(L"one"));
    EXPECT_EQ(ctx.num_context_values(), 2);
    EXPECT_EQ((std::vector<int>{2, 0}), ctx.indices());
    ArmBuffer b;
    b.add_buffer(ctx);
    auto const *sb = sub_as<arm_subbuffer_app_context_t>(b, 0);
    EXPECT_EQ(sb->header.format, 103);
    ASSERT_EQ(sb->context_value_count, 3);
    EXPECT_STREQ(sb->context_value_array[0], "one");
    EXPECT_EQ(sb->context_value_array[1], nullptr);
    EXPECT_STREQ(sb->context_value_array[2], "three");
    EXPECT_EQ(ctx.num_context_values(), 0);
    // The map stays: the buffer can be filled again.
    ctx.add_ctx_prop(UString(L"b"), UString(L"two"));
    b.add_buffer(ctx);
    auto const *again = sub_as<arm_subbuffer_app_context_t>(b, 1);
    ASSERT_EQ(again->context_value_count, 2);
    EXPECT_EQ(again->context_value_array[0], nullptr);
    EXPECT_STREQ(again->context_value_array[1], "two");
    // Nothing added: count 0 and no array.
    ArmAppContextBuffer none;
    b.add_buffer(none);
    EXPECT_EQ(sub_as<arm_subbuffer_app_context_t>(b, 2)->context_value_count, 0);
    EXPECT_EQ(sub_as<arm_subbuffer_app_context_t>(b, 2)->context_value_array, nullptr);
}

TEST(ArmBuffer, TransactionUris) {
    ArmTransIdentyBuffer id;
    id.add_identity_prop(L"p", L"q");
    id.set_uri(L"kx://db/one");
    ArmTransContextBuffer with;
    with.set_uri(UString(L"kx://db/two"));
    ArmTransContextBuffer without;
    ArmBuffer b;
    b.add_buffer(id);
    b.add_buffer(with);
    b.add_buffer(without);
    auto const *ti = sub_as<arm_subbuffer_tran_identity_t>(b, 0);
    EXPECT_EQ(ti->header.format, 104);
    EXPECT_STREQ(ti->uri, "kx://db/one");
    EXPECT_TRUE(id.uri().empty());
    auto const *tc = sub_as<arm_subbuffer_tran_context_t>(b, 1);
    EXPECT_EQ(tc->header.format, 105);
    EXPECT_STREQ(tc->uri, "kx://db/two");
    EXPECT_TRUE(with.uri().empty());
    auto const *tn = sub_as<arm_subbuffer_tran_context_t>(b, 2);
    EXPECT_EQ(tn->uri, nullptr);
    EXPECT_TRUE(without.uri().empty());
}

TEST(ArmBuffer, MetricValues) {
    ArmMetricValuesBuffer m;
    m.add_value(0, ARM_METRIC_FORMAT_COUNTER32, 1, true, std::int32_t{-5});
    // A 32-bit value under a 64-bit format reads as exactly that value: no stale upper bytes.
    m.add_value(1, ARM_METRIC_FORMAT_COUNTER64, 2, true, std::int32_t{-1});
    m.add_value(2, ARM_METRIC_FORMAT_GAUGE64, 3, false, std::int64_t{0x123456789LL});
    m.add_value(3, 4, true, arm_metric_cntrdivr32_t{10, 3});
    m.add_value(4, 5, true, arm_metric_gaugedivr32_t{-7, 2});
    m.add_value(5, 99, 6, true, std::int32_t{1}); // an unknown format is accepted and carries nothing
    std::string const bad_slot = arm_prefix + "ArmMetricValuesBuffer:: illegal slot # for non-string metric.";
    EXPECT_EQ(raised_text([&] { m.add_value(6, ARM_METRIC_FORMAT_COUNTER32, 0, true, std::int32_t{1}); }), bad_slot);
    EXPECT_EQ(raised_text([&] { m.add_value(6, ARM_METRIC_FORMAT_GAUGE64, 0, true, std::int64_t{1}); }), bad_slot);
    EXPECT_EQ(raised_text([&] { m.add_value(7, 0, true, arm_metric_cntrdivr32_t{1, 1}); }), bad_slot);
    EXPECT_EQ(raised_text([&] { m.add_value(200, 0, true, arm_metric_gaugedivr32_t{1, 1}); }), bad_slot);
    m.add_value(7, true, UString(std::wstring(40, L's')));
    ASSERT_EQ(m.values().size(), 7u);
    EXPECT_EQ(m.values()[1].whole64(), 0xFFFFFFFFLL);
    EXPECT_EQ(m.string_value().length(), 32u);

    ArmBuffer b;
    b.add_buffer(m);
    auto const *sb = sub_as<arm_subbuffer_metric_values_t>(b, 0);
    EXPECT_EQ(sb->header.format, 5);
    ASSERT_EQ(sb->count, 7);
    arm_metric_t const *v = sb->metric_value_array;
    EXPECT_EQ(v[0].metric_u.counter32, -5);
    EXPECT_EQ(v[0].usage, 1);
    EXPECT_EQ(v[0].valid, 1);
    EXPECT_EQ(v[1].format, 2);
    EXPECT_EQ(v[1].metric_u.counter64, 0xFFFFFFFFLL);
    EXPECT_EQ(v[2].metric_u.gauge64, 0x123456789LL);
    EXPECT_EQ(v[2].valid, 0);
    EXPECT_EQ(v[3].format, 3);
    EXPECT_EQ(v[3].metric_u.cntrdivr32.counter, 10);
    EXPECT_EQ(v[3].metric_u.cntrdivr32.divisor, 3);
    EXPECT_EQ(v[4].format, 6);
    EXPECT_EQ(v[4].metric_u.gaugedivr32.gauge, -7);
    EXPECT_EQ(v[4].metric_u.gaugedivr32.divisor, 2);
    EXPECT_EQ(v[5].format, 99);
    EXPECT_EQ(v[5].metric_u.counter64, 0);
    EXPECT_EQ(v[6].slot, 6);
    EXPECT_EQ(v[6].format, 10);
    EXPECT_EQ(v[6].usage, 7);
    EXPECT_EQ(std::string(v[6].metric_u.string32), std::string(32, 's'));
    EXPECT_TRUE(m.values().empty());
    EXPECT_EQ(m.string_value().length(), 32u); // the text stays
}

TEST(ArmBuffer, StringMetricKeepsSurrogatePairsWhole) {
    ArmMetricValuesBuffer m;
    UString text = units(31, L'x');
    text.append(L'\U00010348');
    m.add_value(0, true, text);
    EXPECT_EQ(m.string_value().length(), 31u);
    // A second string metric replaces the first text.
    m.add_value(0, true, UString(L"second"));
    ArmBuffer b;
    b.add_buffer(m);
    auto const *sb = sub_as<arm_subbuffer_metric_values_t>(b, 0);
    ASSERT_EQ(sb->count, 2);
    EXPECT_STREQ(sb->metric_value_array[0].metric_u.string32, "second");
    EXPECT_EQ(sb->metric_value_array[0].metric_u.string32, sb->metric_value_array[1].metric_u.string32);
}

TEST(ArmBuffer, MetricBindings) {
    ArmMetricBindingsBuffer mb;
    mb.add_binding(2, some_id(20));
    mb.add_binding(0, some_id(40));
    ArmBuffer b;
    b.add_buffer(mb);
    auto const *sb = sub_as<arm_subbuffer_metric_bindings_t>(b, 0);
    EXPECT_EQ(sb->header.format, 106);
    ASSERT_EQ(sb->count, 2);
    EXPECT_EQ(sb->metric_binding_array[0].slot, 2);
    EXPECT_EQ(sb->metric_binding_array[1].slot, 0);
    EXPECT_EQ(sb->metric_binding_array[1].id.id_u.uint8[0], 40);
    EXPECT_TRUE(mb.bindings().empty());
}

TEST(ArmBuffer, StringPools) {
    char const *g = ArmBuffer::pool_string(UString(L"pooled-name"));
    EXPECT_STREQ(g, "pooled-name");
    EXPECT_EQ(ArmBuffer::pool_string(UString(L"pooled-name")), g); // converted once
    {
        // An own pool reuses the process-wide text and its own repeated texts.
        ArmBuffer own;
        own.add_buffer(UString(L"pooled-name"), false, some_id(0));
        own.add_buffer(UString(L"only-mine"), false, some_id(0));
        own.add_buffer(UString(L"only-mine"));
        EXPECT_EQ(sub_as<arm_subbuffer_user_t>(own, 0)->name, g);
        EXPECT_EQ(sub_as<arm_subbuffer_user_t>(own, 1)->name, sub_as<arm_subbuffer_diag_detail_t>(own, 2)->diag_detail);
        // A buffer on the process-wide pool puts its texts there.
        ArmBuffer global(true);
        global.add_buffer(UString(L"global-text"));
        EXPECT_EQ(sub_as<arm_subbuffer_diag_detail_t>(global, 0)->diag_detail,
                  ArmBuffer::pool_string(UString(L"global-text")));
    }
    // Process-wide texts outlive the buffers that pooled them.
    EXPECT_STREQ(ArmBuffer::pool_string(UString(L"global-text")), "global-text");
    EXPECT_STREQ(g, "pooled-name");
}

TEST(ArmBuffer, PoolsFromSeveralThreadsAgreeOnOneText) {
    constexpr int threads = 4, texts = 200;
    std::vector<std::vector<char const *>> seen(threads, std::vector<char const *>(texts));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, &seen] {
            for (int i = 0; i < texts; ++i) {
                UString text(std::wstring(L"shared-") + std::to_wstring(i));
                if ((i + t) % 2) {
                    seen[t][i] = ArmBuffer::pool_string(text);
                } else {
                    // A per-call buffer looks into the process-wide pool while others fill it.
                    ArmBuffer own;
                    own.add_buffer(text);
                    seen[t][i] = ArmBuffer::pool_string(text);
                }
            }
        });
    }
    for (auto &w : workers) w.join();
    for (int i = 0; i < texts; ++i) {
        EXPECT_EQ(std::string(seen[0][i]), "shared-" + std::to_string(i));
        for (int t = 1; t < threads; ++t) EXPECT_EQ(seen[t][i], seen[0][i]);
    }
}
