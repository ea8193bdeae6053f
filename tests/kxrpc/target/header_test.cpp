// The session header of requests; runs in its own process because it creates the locale key.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "target/requests.h"
#include "wire/exceptions.h"
#include "wire/locale.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::decode;
using kxtest::words;

namespace {

struct Item : StateItem {};

// A request whose body is one int.
class OneIntArgs : public SessionArg {
public:
    bool_t decode(XDR *xdrs) override { return xdr_session_header(xdrs) && xdr_int(xdrs, &value); }
    int value = 0;
};

Bytes header(Bytes const &handle, std::string const &locale, std::uint32_t wtid) {
    Bytes b = words({0});
    b.insert(b.end(), handle.begin(), handle.end());
    kxtest::put_word(b, static_cast<std::uint32_t>(locale.size()));
    kxtest::put_bytes(b, locale);
    while (b.size() % 4) b.push_back(0);
    kxtest::put_word(b, wtid);
    return b;
}

Bytes encoded_handle(StateItemPtr item) {
    return kxtest::encode([&](XDR *x) { return xdr_state_handle(x, item); });
}

Nul::UString invalid_pointer(OneIntArgs &args) {
    try {
        args.session_or_fail();
    } catch (KXInternalErrorException &e) {
        EXPECT_EQ(e.stp_reason_code(), 40);
        return e.msg();
    }
    return Nul::UString();
}

} // namespace

class SessionHeader : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(init_client_locale_key()); }
};

TEST_F(SessionHeader, OrderAndThreadLocale) {
    Bytes b = header(words({4, 0}), "de_DE", 255);
    kxtest::put_word(b, 77);
    OneIntArgs args;
    std::size_t consumed = 0;
    ASSERT_TRUE(decode(
        b, [&](XDR *x) { return args.xdr(x); }, &consumed));
    EXPECT_EQ(consumed, b.size());
    EXPECT_EQ(args.value, 77);
    EXPECT_EQ(args.wtid(), 255);
    EXPECT_EQ(args.client_locale(), Nul::UString(L"de_DE"));
    EXPECT_EQ(std::string(stprpc_abstract_get_client_locale()), "de_DE");
    EXPECT_EQ(args.trace_line(), Nul::UString(L"wtid:ff :: no session"));
    EXPECT_EQ(invalid_pointer(args), Nul::UString(L"TLQSV0769E Internal Error: Invalid Pointer"));
    EXPECT_THROW(args.api_session_or_fail(), KXInternalErrorException);
    EXPECT_TRUE(args.arm_user_name().empty());
}

TEST_F(SessionHeader, FailingBodyKeepsTheLocale) {
    stprpc_abstract_set_client_locale(L"en_US");
    Bytes b = header(words({4, 0}), "fr_CA", 1); // no body follows
    OneIntArgs args;
    EXPECT_FALSE(decode(b, [&](XDR *x) { return args.xdr(x); }));
    EXPECT_EQ(std::string(stprpc_abstract_get_client_locale()), "fr_CA");
}

TEST_F(SessionHeader, AHandleOfAnotherKindIsNoSession) {
    auto item = std::make_shared<Item>();
    Bytes b = header(encoded_handle(item), "en_US", 2);
    kxtest::put_word(b, 1);
    OneIntArgs args;
    ASSERT_TRUE(decode(b, [&](XDR *x) { return args.xdr(x); }));
    EXPECT_EQ(args.session(), nullptr);
    EXPECT_EQ(invalid_pointer(args), Nul::UString(L"TLQSV0769E Internal Error: Invalid Pointer"));
    remove_pointer_entry(item->oid());
}

TEST_F(SessionHeader, TruncatedHeadersFail) {
    Bytes full = header(words({4, 0}), "en_US", 3);
    kxtest::put_word(full, 5);
    for (std::size_t cut = 0; cut < full.size(); cut += 4) {
        OneIntArgs args;
        Bytes part = full;
        part.resize(cut);
        EXPECT_FALSE(decode(part, [&](XDR *x) { return args.xdr(x); })) << cut;
    }
}

TEST(TraceInfoLine, UnreadIdIsAllOnes) {
    OneIntArgs args;
    EXPECT_EQ(args.trace_line(), Nul::UString(L"wtid:ffffffff :: no session"));
}

TEST(Interruptible, ReturningCarriesTheState) {
    auto item = std::make_shared<Item>();
    Bytes b = words({7, 1});
    Bytes h = encoded_handle(item);
    b.insert(b.end(), h.begin(), h.end());
    InterruptibleArgs args;
    ASSERT_TRUE(decode(b, [&](XDR *x) { return xdr_interruptible(x, args); }));
    EXPECT_EQ(args.request_num(), 7);
    EXPECT_TRUE(args.is_returning());
    EXPECT_EQ(args.state(), item);
    EXPECT_EQ(args.trace_line(), Nul::UString(L"is_returning:T :: request_num:7"));
    InterruptibleArgs first;
    ASSERT_TRUE(decode(words({0, 0}), [&](XDR *x) { return xdr_interruptible(x, first); }));
    EXPECT_EQ(first.state(), nullptr);
    EXPECT_EQ(first.trace_line(), Nul::UString(L"is_returning:F :: request_num:0"));
    remove_pointer_entry(item->oid());
}
