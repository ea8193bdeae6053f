#include "wire/decode_budget.h"

#include <cstddef>
#include <exception>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "wire/exceptions.h"
#include "wire/xdr.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;

namespace {

// The message of the refusal held for the dispatcher, or "" when none is held.
std::string held_refusal(int *reason = nullptr) {
    std::exception_ptr failure = take_decode_failure();
    if (!failure) return std::string();
    try {
        std::rethrow_exception(failure);
    } catch (Nul::STPException const &e) {
        if (reason) *reason = static_cast<int>(e.stp_reason_code());
        return exception_message_text(e).utf8_str();
    }
}

struct ChargeCase {
    std::size_t limit;
    std::vector<std::size_t> charges;
    std::vector<bool> accepted;
    std::size_t charged;
};

} // namespace

TEST(DecodeBudget, ChargesUpToTheLimitAndRefusesPastIt) {
    std::size_t const most = ~std::size_t{0};
    ChargeCase const cases[] = {
        {100, {100}, {true}, 100},
        {100, {101}, {false}, 0},
        {100, {60, 40}, {true, true}, 100},
        {100, {60, 41, 40}, {true, false, false}, 60}, // once refused, always refused
        {100, {0, 0}, {true, true}, 0},
        {1, {1, 0, 1}, {true, true, false}, 1},
        {100, {50, most}, {true, false}, 50}, // no overflow past the limit
    };
    for (ChargeCase const &c : cases) {
        take_decode_failure();
        DecodeBudget budget(c.limit);
        for (std::size_t i = 0; i < c.charges.size(); ++i)
            EXPECT_EQ(c.accepted[i], charge_decoded(c.charges[i])) << c.limit << " charge " << i;
        EXPECT_EQ(c.charged, budget.charged()) << c.limit;
        bool const refused = c.accepted.back() == false;
        EXPECT_EQ(refused, budget.exceeded()) << c.limit;
        int reason = 0;
        std::string const message = held_refusal(&reason);
        if (refused) {
            EXPECT_EQ(40, reason);
            EXPECT_EQ("TLQSV1105E The call's arguments need more memory than one call may hold (KX_DECODE_BYTES, " +
                          std::to_string(c.limit) + " bytes); send fewer or smaller items.",
                      message);
        } else {
            EXPECT_EQ("", message);
        }
    }
}

TEST(DecodeBudget, WithoutACallNothingIsChargedAndEverythingKept) {
    EXPECT_TRUE(charge_decoded(~std::size_t{0}));
    EXPECT_TRUE(keep_decoded_lists());
    EXPECT_EQ("", held_refusal());
}

TEST(DecodeBudget, DroppedListsKeepNothingAndChargeNothing) {
    DecodeBudget budget(8);
    std::vector<int> values;
    EXPECT_TRUE(keep_decoded(values, 1));
    EXPECT_EQ(1u, values.size());
    EXPECT_EQ(slot_cost<int>(), budget.charged());
    drop_decoded_lists();
    EXPECT_FALSE(keep_decoded_lists());
    for (int i = 0; i < 1000; ++i) EXPECT_TRUE(keep_decoded(values, int{i}));
    EXPECT_TRUE(charge_decoded(1u << 30));
    EXPECT_EQ(1u, values.size());
    EXPECT_EQ(slot_cost<int>(), budget.charged());
    EXPECT_FALSE(budget.exceeded());
}

// A decoded string is charged two bytes per UTF-8 byte before its bytes are copied.
TEST(DecodeBudget, StringsAreChargedBeforeTheyAreRead) {
    struct {
        std::size_t length;
        std::size_t limit;
        bool decodes;
    } const cases[] = {{0, 0, true}, {5, 10, true}, {5, 9, false}, {2000, 4000, true}, {2000, 3999, false}};
    for (auto const &c : cases) {
        Bytes bytes;
        kxtest::put_word(bytes, static_cast<std::uint32_t>(c.length));
        kxtest::put_bytes(bytes, std::string(c.length, 'x'));
        bytes.resize(bytes.size() + (4 - c.length % 4) % 4);
        DecodeBudget budget(c.limit);
        Nul::UString value;
        EXPECT_EQ(c.decodes, kxtest::decode(bytes, [&](XDR *x) { return xdr_ustring(x, value, max_wire_text); }))
            << c.length << " in " << c.limit;
        EXPECT_EQ(c.decodes ? c.length : 0u, value.length()) << c.length;
        EXPECT_EQ(c.decodes ? string_cost(c.length) : 0u, budget.charged());
        take_decode_failure();
    }
}

TEST(DecodeBudget, IntListsStopAtTheBudget) {
    Bytes bytes;
    kxtest::put_word(bytes, 3);
    for (std::uint32_t v : {7u, 8u, 9u}) kxtest::put_word(bytes, v);
    for (std::size_t room : {std::size_t{3}, std::size_t{2}}) {
        DecodeBudget budget(room * slot_cost<int>());
        std::vector<int> values;
        EXPECT_EQ(room == 3, kxtest::decode(bytes, [&](XDR *x) { return xdr_int_list(x, values); }));
        EXPECT_EQ(room, values.size());
        take_decode_failure();
    }
}
