#include "wire/exceptions.h"

#include <memory>
#include <typeinfo>

#include <gtest/gtest.h>

#include "kxwin/cexception.h"
#include "wire/catalog.h"
#include "wire/fieldtypes.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::encode;
using kxtest::words;

namespace {

class Thing : public Nul::Resource {
public:
    explicit Thing(Nul::UString name) : name_(std::move(name)) {}
    int kind() const override { return 1; }
    Nul::UString to_selector() const override { return name_; }
    Nul::Resource *copy() const override { return new Thing(*this); }

private:
    Nul::UString name_;
};

Nul::UString text(Nul::STPException const &e) { return e.msg(); }

template <class E>
void expect_same_clone(E const &e) {
    std::unique_ptr<Nul::STPException> c(e.clone());
    EXPECT_EQ(typeid(*c), typeid(E));
    EXPECT_EQ(c->stp_reason_code(), e.stp_reason_code());
    EXPECT_EQ(text(*c), text(e));
    EXPECT_EQ(c->resource() != nullptr, e.resource() != nullptr);
    if (e.resource()) {
        EXPECT_EQ(c->resource()->to_selector(), e.resource()->to_selector());
    }
    EXPECT_EQ(c->causes().size(), e.causes().size());
    auto *k = dynamic_cast<KxRpcException *>(c.get());
    if (k) {
        EXPECT_EQ(k->extension_kind(), dynamic_cast<KxRpcException const &>(e).extension_kind());
    }
}

} // namespace

TEST(Exceptions, ReasonsAndMessages) {
    Thing thing(L"kx/db/rec");
    Nul::STPException cause(Nul::STPException::REASON_ILLEGAL, Nul::UMessage::nil);
    KXInternalErrorException internal(L"Invalid Pointer", &cause);
    EXPECT_EQ(internal.stp_reason_code(), 40);
    EXPECT_EQ(text(internal), Nul::UString(L"TLQSV0769E Internal Error: Invalid Pointer"));
    EXPECT_EQ(internal.causes().size(), 1u);
    EXPECT_EQ(KXInternalErrorException(Reason::illegal_request, L"x", nullptr).stp_reason_code(), 33);
    EXPECT_EQ(KXCharacterEncodingErrorException(&thing, Nul::UString(L"\u00e9")).stp_reason_code(), 8);
    EXPECT_EQ(text(KXCharacterEncodingErrorException(Nul::UString(L"abc"))),
              Nul::UString(L"TLQSV1096E One or more characters in the string 'abc' is not supported by the server's "
                           L"operating system."));
    EXPECT_EQ(KXConflictException(L"c", nullptr).stp_reason_code(), 17);
    EXPECT_EQ(text(KXConflictException(L"c", nullptr)), Nul::UString(L"TLQSV0769E Internal Error: c"));
    EXPECT_EQ(LockedDatabaseException().stp_reason_code(), 31);
    EXPECT_TRUE(text(LockedDatabaseException()).empty());
    EXPECT_EQ(text(KXImplementationErrorException(L"Unknown or unsupported KX core object type")),
              Nul::UString(L"TLQSV1093E Unknown or unsupported KX core object type"));
    KXNotFoundException nf(&thing, Nul::UString(L"gone"));
    EXPECT_EQ(nf.stp_reason_code(), 53);
    EXPECT_EQ(text(nf), Nul::UString(L"TLQSV1094E Not-found error: gone"));
    ASSERT_NE(nf.resource(), nullptr);
    EXPECT_EQ(nf.resource()->to_selector(), Nul::UString(L"kx/db/rec"));
    KXPropertyValueTypeException pv(100006);
    EXPECT_EQ(pv.stp_reason_code(), 61);
    EXPECT_EQ(text(pv), Nul::UString(L"TLQSV1092E Incompatible value type: expected: boolean"));
    EXPECT_EQ(PropertyValueMarshallingException().stp_reason_code(), 40);
    EXPECT_TRUE(text(PropertyValueMarshallingException()).empty());
    EXPECT_EQ(text(PropertyValueMarshallingException(L"w")),
              Nul::UString(L"TLQSV1095E Property value marshalling error: w"));
}

TEST(Exceptions, CloneKeepsClassAndFields) {
    Thing thing(L"sel");
    Nul::STPException cause(Nul::STPException::REASON_ILLEGAL, Nul::UMessage::nil);
    expect_same_clone(KXInternalErrorException(L"t", &cause));
    expect_same_clone(KXCharacterEncodingErrorException(&thing, Nul::UString(L"t")));
    expect_same_clone(KXConflictException(L"t", nullptr));
    expect_same_clone(LockedDatabaseException());
    expect_same_clone(KXImplementationErrorException(L"t"));
    expect_same_clone(KXNotFoundException(&thing, Nul::UString(L"t")));
    InvalidFieldsException inv;
    inv.add_field(L"Headline", 1);
    expect_same_clone(inv);
    std::unique_ptr<InvalidFieldsException> ic(inv.clone());
    EXPECT_EQ(ic->field_names(), inv.field_names());
    EXPECT_EQ(ic->field_types(), inv.field_types());
    KXPropertyValueTypeException pv(100001);
    expect_same_clone(pv);
    EXPECT_EQ(std::unique_ptr<KXPropertyValueTypeException>(pv.clone())->expected_type(), 100001);
    LoginException le(Reason::login_refused, kx_message(MSG_SSO_UNKNOWN_PASSWORD), L"dbset1");
    expect_same_clone(le);
    EXPECT_EQ(std::unique_ptr<LoginException>(le.clone())->text(), Nul::UString(L"dbset1"));
    expect_same_clone(PropertyValueMarshallingException(L"t"));
}

TEST(Exceptions, ExtensionKinds) {
    EXPECT_EQ(KXInternalErrorException(L"t", nullptr).extension_kind(), 0);
    EXPECT_EQ(InvalidFieldsException().extension_kind(), 1);
    EXPECT_EQ(LoginException(Reason::login_forbidden, Nul::UMessage::nil, L"").extension_kind(), 2);
    KxRpcException plain(Reason::internal_error);
    bool ok = false;
    EXPECT_TRUE(encode([&](XDR *x) { return plain.xdr_extension(x); }, &ok).empty());
    EXPECT_TRUE(ok);
}

TEST(Exceptions, InvalidFieldsExtension) {
    InvalidFieldsException none;
    EXPECT_EQ(encode([&](XDR *x) { return none.xdr_extension(x); }), words({0}));
    InvalidFieldsException two;
    two.add_field(L"ab", 3);
    two.add_field(L"State", 9);
    Bytes expected = words({2, 2});
    kxtest::put_bytes(expected, std::string("ab\0\0", 4));
    kxtest::put_word(expected, 956);
    kxtest::put_word(expected, 5);
    kxtest::put_bytes(expected, std::string("State\0\0\0", 8));
    kxtest::put_word(expected, 970);
    EXPECT_EQ(encode([&](XDR *x) { return two.xdr_extension(x); }), expected);
}

TEST(Exceptions, InvalidFieldsExtensionFailsOnUnknownType) {
    InvalidFieldsException bad;
    bad.add_field(L"f", 15);
    bool ok = true;
    encode([&](XDR *x) { return bad.xdr_extension(x); }, &ok);
    EXPECT_FALSE(ok);
}

TEST(Exceptions, LoginExtensionIsOneString) {
    LoginException le(Reason::login_refused, Nul::UMessage::nil, L"abcde");
    Bytes expected = words({5});
    kxtest::put_bytes(expected, std::string("abcde\0\0\0", 8));
    EXPECT_EQ(encode([&](XDR *x) { return le.xdr_extension(x); }), expected);
}

TEST(Exceptions, ValueTypeNames) {
    EXPECT_STREQ(property_value_type_name(100001), "string");
    EXPECT_STREQ(property_value_type_name(100002), "empty value");
    EXPECT_STREQ(property_value_type_name(100005), "integer");
    EXPECT_STREQ(property_value_type_name(100007), "date");
    EXPECT_STREQ(property_value_type_name(100008), "list");
    EXPECT_STREQ(property_value_type_name(100017), "64 bit integer");
    EXPECT_STREQ(property_value_type_name(100003), "<unknown>");
}

TEST(Exceptions, ThrowFunctions) {
    EXPECT_THROW(throw_internal_error(L"x"), KXInternalErrorException);
    EXPECT_THROW(throw_conflict(Nul::UMessage::nil), KXConflictException);
    EXPECT_THROW(throw_locked_database(), LockedDatabaseException);
    EXPECT_THROW(throw_implementation_error(L"x"), KXImplementationErrorException);
    EXPECT_THROW(throw_not_found(Nul::UString(L"x")), KXNotFoundException);
    EXPECT_THROW(throw_login_exception(Reason::login_forbidden, Nul::UMessage::nil, L"d"), LoginException);
    EXPECT_THROW(throw_marshalling_error(), PropertyValueMarshallingException);
    InvalidFieldsException inv;
    inv.add_field(L"a", 1);
    try {
        throw_invalid_fields_exception(inv);
        FAIL();
    } catch (InvalidFieldsException &e) {
        EXPECT_EQ(e.field_names().size(), 1u);
    }
}

TEST(FieldValueTag, MapsEveryProductType) {
    int expected[] = {0, 970, 970, 956, 951, 966, 967, 967, 970, 970, 970, 956, 970, 966, 970};
    for (int t = 1; t <= 14; ++t) EXPECT_EQ(field_value_tag(t), expected[t]) << t;
    for (int t : {0, 15, -1}) {
        try {
            field_value_tag(t);
            FAIL() << t;
        } catch (KXInternalErrorException &e) {
            EXPECT_EQ(e.stp_reason_code(), 40);
            EXPECT_EQ(e.msg(), Nul::UString(L"TLQSV0769E Internal Error: Unknown field value type"));
        }
    }
}

TEST(Translators, MessageTextHelpers) {
    EXPECT_FALSE(exception_has_message_text(LockedDatabaseException()));
    KXInternalErrorException e(L"x", nullptr);
    EXPECT_TRUE(exception_has_message_text(e));
    EXPECT_EQ(exception_message_text(e), Nul::UString(L"TLQSV0769E Internal Error: x"));
}
