#include "wire/casts.h"

#include <gtest/gtest.h>

#include "change/deliverops.h"
#include "session/delete_state.h"
#include "session/login.h"
#include "target/held_items.h"
#include "tesutil/stpexception.h"
#include "wire/xdrobject.h"

using namespace KxRpc;

namespace {

struct Base : XdrObject {
    bool_t xdr(XDR *) override { return TRUE; }
};
struct Target : Base {};
struct Derived : Target {};
struct Other : Base {};

template <class To = Target>
Nul::UString cast_failure(XdrObject *p) {
    try {
        checked_cast<To>(p);
    } catch (Nul::STPException &e) {
        EXPECT_EQ(e.stp_reason_code(), 40);
        EXPECT_EQ(e.resource(), nullptr);
        EXPECT_TRUE(e.causes().empty());
        return e.msg();
    }
    ADD_FAILURE() << "no exception";
    return Nul::UString();
}

} // namespace

TEST(CheckedCast, ReturnsTheSameObject) {
    Target t;
    Derived d;
    XdrObject *pt = &t, *pd = &d;
    EXPECT_EQ(checked_cast<Target>(pt), &t);
    EXPECT_EQ(checked_cast<Target>(pd), static_cast<Target *>(&d));
}

TEST(CheckedCast, NullNamesNonNull) {
    EXPECT_EQ(cast_failure(nullptr), Nul::UString(L"TLQSV0748E expected 'non-null' object in dynamic_cast"));
}

TEST(CheckedCast, MismatchNamesTheExpectedClassWithoutItsNamespace) {
    Other o;
    EXPECT_EQ(cast_failure(&o), Nul::UString(L"TLQSV0748E expected 'Target' object in dynamic_cast"));
    EXPECT_EQ(cast_failure<LoginResp>(&o), Nul::UString(L"TLQSV0748E expected 'LoginResp' object in dynamic_cast"));
    EXPECT_EQ(cast_failure<DeliverChangeContextArgs>(&o),
              Nul::UString(L"TLQSV0748E expected 'DeliverChangeContextArgs' object in dynamic_cast"));
}

TEST(PlainCast, NullForNullAndForOtherClasses) {
    Other o;
    Target t;
    XdrObject *po = &o, *pt = &t;
    EXPECT_EQ(plain_cast<Target>(static_cast<XdrObject *>(nullptr)), nullptr);
    EXPECT_EQ(plain_cast<Target>(po), nullptr);
    EXPECT_EQ(plain_cast<Target>(pt), &t);
}

TEST(CheckedCastOfServerClasses, RequestsAndResponses) {
    LoginArgs login;
    DeleteStateArgs del;
    XdrObject *pl = &login, *pd = &del;
    EXPECT_EQ(checked_cast<LoginArgs>(pl), &login);
    EXPECT_EQ(checked_cast<DeleteStateArgs>(pd), &del);
    try {
        checked_cast<LoginArgs>(pd);
        FAIL();
    } catch (Nul::STPException &e) {
        EXPECT_EQ(e.msg(), Nul::UString(L"TLQSV0748E expected 'LoginArgs' object in dynamic_cast"));
    }
    EXPECT_THROW(checked_cast<DeleteStateResp>(pd), Nul::STPException);
    DeleteStateResp resp(del);
    XdrObject *pr = &resp;
    EXPECT_EQ(checked_cast<DeleteStateResp>(pr), &resp);
    XdrVoid v;
    XdrObject *pv = &v;
    EXPECT_EQ(checked_cast<XdrVoid>(pv), &v);
    EXPECT_THROW(checked_cast<LoginResp>(pv), Nul::STPException);
    EXPECT_EQ(plain_cast<ArmCorrelatorArg>(pl), static_cast<ArmCorrelatorArg *>(&login));
    EXPECT_EQ(plain_cast<ArmCorrelatorArg>(pv), nullptr);
    EXPECT_EQ(plain_cast<ArmCorrelatorArg>(static_cast<XdrObject *>(nullptr)), nullptr);
}

TEST(CheckedCastOfServerClasses, StateItems) {
    QueryItemStateItem query(L"Public Queries/q", 1);
    StateItem *pq = &query;
    EXPECT_EQ(checked_cast<QueryItemStateItem>(pq), &query);
    try {
        checked_cast<RecordStateItem>(pq);
        FAIL();
    } catch (Nul::STPException &e) {
        EXPECT_EQ(e.stp_reason_code(), 40);
        EXPECT_EQ(e.msg(), Nul::UString(L"TLQSV0748E expected 'RecordStateItem' object in dynamic_cast"));
    }
    try {
        checked_cast<QueryItemStateItem>(static_cast<StateItem *>(nullptr));
        FAIL();
    } catch (Nul::STPException &e) {
        EXPECT_EQ(e.msg(), Nul::UString(L"TLQSV0748E expected 'non-null' object in dynamic_cast"));
    }
    EXPECT_EQ(plain_cast<RecordStateItem>(pq), nullptr);
    EXPECT_EQ(plain_cast<RecordStateItem>(static_cast<StateItem *>(nullptr)), nullptr);
}

TEST(CheckedCast, TemplateNamesLoseTheirNamespacesInsideTheArgumentsToo) {
    EXPECT_EQ("PropValue<UString>", unqualified_name("KxRpc::PropValue<Nul::UString>"));
    EXPECT_EQ("ListPropValue<TargetResourceArg>", unqualified_name("KxRpc::ListPropValue<KxRpc::TargetResourceArg>"));
    EXPECT_EQ("Pair<A, B>", unqualified_name("x::Pair<y::z::A, B>"));
    EXPECT_EQ("Plain", unqualified_name("Plain"));
    EXPECT_EQ("Local<Value>", unqualified_name("(anonymous namespace)::Local<(anonymous namespace)::Value>"));
}
