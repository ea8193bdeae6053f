// Error records byte for byte: reason, message, resource, causes and the two extensions.
#include "wire/errors.h"

#include <string>

#include <gtest/gtest.h>

#include "target/target.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"
#include "wire/locale.h"
#include "wire_text.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::str;
using kxtest::words;

namespace {

constexpr std::uint32_t minus_one = 0xFFFFFFFFu;

Bytes record(Nul::STPException const &e, bool *ok = nullptr) {
    return kxtest::encode([&](XDR *x) { return xdr_exception(x, &e); }, ok);
}

// A resource that is not a target, under the same key.
class ForeignResource : public Nul::Resource {
public:
    int kind() const override { return 1; }
    Nul::UString to_selector() const override { return Nul::UString(L"foreign"); }
    Nul::Resource *copy() const override { return new ForeignResource(*this); }
};

class OtherKindResource : public ForeignResource {
public:
    int kind() const override { return 7; }
    Nul::Resource *copy() const override { return new OtherKindResource(*this); }
};

class ErrorRecords : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static KxRpcResourceEncoder encoder;
        register_resource_encoder(1, &encoder);
    }
};

} // namespace

TEST_F(ErrorRecords, LockedDatabaseIsFiveWords) {
    LockedDatabaseException e;
    bool ok = false;
    Bytes out = record(e, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, words({31, 0, minus_one, 0, 0}));
    EXPECT_EQ(out.size(), 20u);
}

TEST_F(ErrorRecords, MessageIsRenderedAndResourceIsATargetWithItsWireCode) {
    TargetResourceArg target(32, Nul::UString(L"Defect"), Nul::UString(L"ISSUE00000001"));
    KXNotFoundException e(&target, kx_message(75));
    Bytes out = record(e);
    std::string text = "TLQSV0779E record not found";
    Bytes expect = cat(cat(cat(cat(words({53}), str(text)), words({31, 1})), str("Defect")), str("ISSUE00000001"));
    expect = cat(expect, words({0, 0}));
    EXPECT_EQ(out, expect);
}

TEST_F(ErrorRecords, WireCodesAreTypeLessOne) {
    for (int type : {29, 30, 31, 39, 41, 44, 45, 48, 51}) {
        TargetResourceArg target(type, 5u, 6u);
        KXNotFoundException e(&target, Nul::UString(L"x"));
        Bytes out = record(e);
        std::size_t message_words = 1 + (std::string("TLQSV1094E Not-found error: x").size() + 3) / 4;
        EXPECT_EQ(kxtest::word_at(out, 1 + message_words), static_cast<std::uint32_t>(type - 1)) << type;
    }
}

TEST_F(ErrorRecords, TargetsWithoutWireCodeAndForeignResourcesWriteNoResource) {
    TargetResourceArg none(0, Nul::UString(L"x"));
    TargetResourceArg unused(33, 1u, 2u);
    ForeignResource foreign;
    OtherKindResource other;
    for (Nul::Resource const *r : std::initializer_list<Nul::Resource const *>{&none, &unused, &foreign, &other}) {
        Nul::STPException e(Nul::STPException::REASON_INTERNAL, Nul::UMessage::nil, r);
        bool ok = false;
        Bytes out = record(e, &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(out, words({40, 0, minus_one, 0, 0}));
    }
}

TEST_F(ErrorRecords, MessageThatCannotPrintIsWrittenEmpty) {
    // A state-item target with an unknown handle cannot render its text form.
    TargetResourceArg broken(32, StateItemPtr());
    KXNotFoundException e(nullptr, kx_message(76, Nul::UMessage::Arg(broken)));
    bool ok = false;
    Bytes out = record(e, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, words({53, 0, minus_one, 0, 0}));
}

TEST_F(ErrorRecords, CausesNestBeforeTheOuterExtension) {
    LockedDatabaseException inner;
    KXInternalErrorException middle(Nul::UString(L"m"), &inner);
    LoginException outer_login(static_cast<Reason>(26), Nul::UMessage::nil, Nul::UString(L"why"));
    std::vector<Nul::STPException *> causes = {&middle, &inner};
    Nul::STPException outer(Nul::STPException::REASON_ILLEGAL, Nul::UMessage::nil, nullptr, causes);
    Bytes out = record(outer);
    Bytes middle_record = cat(cat(words({40}), str("TLQSV0769E Internal Error: m")), words({minus_one, 1}));
    middle_record = cat(cat(middle_record, words({31, 0, minus_one, 0, 0})), words({0}));
    Bytes expect = cat(cat(words({39, 0, minus_one, 2}), middle_record), words({31, 0, minus_one, 0, 0}));
    expect = cat(expect, words({0}));
    EXPECT_EQ(out, expect);
}

TEST_F(ErrorRecords, InvalidFieldsExtension) {
    InvalidFieldsException e;
    e.add_field(Nul::UString(L"Priority"), 3);
    e.add_field(Nul::UString(L"Headline"), 1);
    Bytes out = record(e);
    Bytes expect = cat(cat(cat(words({0, 1, 2}), str("Priority")), words({956})), str("Headline"));
    expect = cat(expect, words({970}));
    ASSERT_GT(out.size(), expect.size());
    Bytes tail(out.end() - static_cast<long>(expect.size()), out.end());
    EXPECT_EQ(tail, expect);
}

TEST_F(ErrorRecords, InvalidFieldsWithUnknownTypeGoesOutWithoutExtension) {
    InvalidFieldsException e;
    e.add_field(Nul::UString(L"Priority"), 3);
    e.add_field(Nul::UString(L"Odd"), 99);
    bool ok = false;
    Bytes out = record(e, &ok);
    EXPECT_TRUE(ok);
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ(kxtest::word_at(out, out.size() / 4 - 1), 0u); // kind 0 and nothing after it
    EXPECT_EQ(kxtest::word_at(out, out.size() / 4 - 2), 0u); // no causes
}

TEST_F(ErrorRecords, LoginExtensionIsOneString) {
    LoginException e(static_cast<Reason>(26), Nul::UMessage::nil, Nul::UString(L"refused"));
    Bytes out = record(e);
    EXPECT_EQ(out, cat(words({26, 0, minus_one, 0, 2}), str("refused")));
}

TEST_F(ErrorRecords, UtilityExceptionsEndWithKindZero) {
    PropertyValueMarshallingException e;
    Bytes out = record(e);
    EXPECT_EQ(out, words({40, 0, minus_one, 0, 0}));
}

TEST_F(ErrorRecords, DecodeFailsFreeSucceeds) {
    LockedDatabaseException e;
    EXPECT_FALSE(kxtest::decode(words({31, 0, minus_one, 0, 0}), [&](XDR *x) { return xdr_exception(x, &e); }));
    XDR x;
    x.x_op = XDR_FREE;
    EXPECT_TRUE(xdr_exception(&x, &e));
    EXPECT_TRUE(xdr_error_reply(&x, e));
}

TEST_F(ErrorRecords, ErrorReplyStartsWithTrue) {
    LockedDatabaseException e;
    Bytes out = kxtest::encode([&](XDR *x) { return report_error_reply(Nul::UString(L"Test::xdr"), x, e); });
    EXPECT_EQ(out, words({1, 31, 0, minus_one, 0, 0}));
}

TEST_F(ErrorRecords, FullStreamFailsTheRecord) {
    LockedDatabaseException e;
    for (std::size_t room : {0u, 4u, 12u, 16u}) {
        bool ok = true;
        kxtest::encode([&](XDR *x) { return xdr_exception(x, &e); }, &ok, room);
        EXPECT_FALSE(ok) << room;
    }
}

TEST_F(ErrorRecords, FirstRegistrationWins) {
    KxRpcResourceEncoder second;
    ResourceEncoder *first = find_resource_encoder(1);
    register_resource_encoder(1, &second);
    EXPECT_EQ(find_resource_encoder(1), first);
    EXPECT_EQ(find_resource_encoder(12345), nullptr);
}

TEST_F(ErrorRecords, MessageInClientLocaleDefault) {
    // No locale was set on this thread: the default renders.
    EXPECT_EQ(std::string(stprpc_abstract_get_client_locale()), "en_US");
    KXInternalErrorException e(Nul::UString(L"\u00e9t\u00e9"), nullptr);
    Bytes out = record(e);
    std::string text = "TLQSV0769E Internal Error: \xc3\xa9t\xc3\xa9";
    EXPECT_EQ(out, cat(cat(words({40}), str(text)), words({minus_one, 0, 0})));
}

TEST_F(ErrorRecords, MessageEchoesAFewKiBOfClientText) {
    // A not-found error that names a 1 MiB value from the client.
    std::string const value(1 << 20, 'v');
    KXNotFoundException e(nullptr, Nul::UString(Nul::Utf8String(value)));
    Bytes out = record(e);
    std::uint32_t const length = kxtest::word_at(out, 1);
    std::string const prefix = "TLQSV1094E Not-found error: ";
    EXPECT_EQ(length, Nul::UMessage::max_echo_units + 3);
    std::string const message(out.begin() + 8, out.begin() + 8 + length);
    EXPECT_EQ(message, prefix + value.substr(0, Nul::UMessage::max_echo_units - prefix.size()) + "...");
    // The rest of the record follows the cut message.
    std::size_t const after = 8 + (length + 3) / 4 * 4;
    EXPECT_EQ(out.size(), after + 12);
}
