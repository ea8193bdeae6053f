#include "wire/casts.h"
#include "session/checked_casts.h"

#include <gtest/gtest.h>

#include "wire/xdrobject.h"
#include "tesutil/stpexception.h"

using namespace KxRpc;

namespace {

struct Base : XdrObject {
    bool_t xdr(XDR *) override { return TRUE; }
};
struct Target : Base {};
struct Derived : Target {};
struct Other : Base {};

Nul::UString cast_failure(XdrObject *p, char const *name) {
    try {
        checked_cast<Target>(p, name);
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
    EXPECT_EQ(checked_cast<Target>(pt, "Target"), &t);
    EXPECT_EQ(checked_cast<Target>(pd, "Target"), static_cast<Target *>(&d));
}

TEST(CheckedCast, NullNamesNonNull) {
    EXPECT_EQ(cast_failure(nullptr, "Target"), Nul::UString(L"TLQSV0748E expected 'non-null' object in dynamic_cast"));
}

TEST(CheckedCast, MismatchNamesTheCallersType) {
    Other o;
    EXPECT_EQ(cast_failure(&o, "Target"), Nul::UString(L"TLQSV0748E expected 'Target' object in dynamic_cast"));
    EXPECT_EQ(cast_failure(&o, "T"), Nul::UString(L"TLQSV0748E expected 'T' object in dynamic_cast"));
}

TEST(PlainCast, NullForNullAndForOtherClasses) {
    Other o;
    Target t;
    XdrObject *po = &o;
    EXPECT_EQ(plain_cast<Target>(static_cast<XdrObject *>(nullptr)), nullptr);
    EXPECT_EQ(plain_cast<Target>(po), nullptr);
    EXPECT_EQ(plain_cast<ArmStopOperation>(static_cast<XdrObject *>(&t)), nullptr);
}

TEST(NamedCasts, RequestsAndResponses) {
    LoginArgs login;
    DeleteStateArgs del;
    XdrObject *pl = &login, *pd = &del;
    EXPECT_EQ(checked_login_args_cast(pl, "LoginArgs"), &login);
    EXPECT_EQ(checked_delete_state_args_cast(pd, "DeleteStateArgs"), &del);
    try {
        checked_login_args_cast(pd, "LoginArgs");
        FAIL();
    } catch (Nul::STPException &e) {
        EXPECT_EQ(e.msg(), Nul::UString(L"TLQSV0748E expected 'LoginArgs' object in dynamic_cast"));
    }
    EXPECT_THROW(checked_delete_state_resp_cast(pd, "T"), Nul::STPException);
    DeleteStateResp resp(del);
    XdrObject *pr = &resp;
    EXPECT_EQ(checked_delete_state_resp_cast(pr, "T"), &resp);
    XdrVoid v;
    XdrObject *pv = &v;
    EXPECT_EQ(checked_xdr_void_cast(pv, "T"), &v);
    EXPECT_THROW(checked_login_resp_cast(pv, "T"), Nul::STPException);
    EXPECT_EQ(as_arm_correlator_arg(pl), static_cast<ArmCorrelatorArg *>(&login));
    EXPECT_EQ(as_arm_correlator_arg(pv), nullptr);
    EXPECT_EQ(as_arm_correlator_arg(nullptr), nullptr);
    EXPECT_EQ(as_arm_stop_operation(pl), nullptr);
}

TEST(NamedCasts, StateItems) {
    QueryItemStateItem query(L"Public Queries/q", 1);
    StateItem *pq = &query;
    EXPECT_EQ(checked_query_item_state_item_cast(pq, "QueryItemStateItem"), &query);
    try {
        checked_record_state_item_cast(pq, "RecordStateItem");
        FAIL();
    } catch (Nul::STPException &e) {
        EXPECT_EQ(e.stp_reason_code(), 40);
        EXPECT_EQ(e.msg(), Nul::UString(L"TLQSV0748E expected 'RecordStateItem' object in dynamic_cast"));
    }
    try {
        checked_query_item_state_item_cast(nullptr, "QueryItemStateItem");
        FAIL();
    } catch (Nul::STPException &e) {
        EXPECT_EQ(e.msg(), Nul::UString(L"TLQSV0748E expected 'non-null' object in dynamic_cast"));
    }
    EXPECT_EQ(as_record_state_item(pq), nullptr);
    EXPECT_EQ(as_record_state_item(nullptr), nullptr);
}
