// The factory of property objects: type codes without a class, global hooks, and handles of the
// wrong kind.
#include <gtest/gtest.h>

#include "demo_session.h"
#include "target/held_items.h"

using namespace KxRpc;

namespace {

using Factory = kxtest::DemoSession;
std::string const unknown = "40:TLQSV1093E Unknown or unsupported KX core object type";

} // namespace

TEST_F(Factory, CodesWithoutAClassFailBeforeAnyProductCall) {
    long lookups = KXFaultInjector::CallCount("LookupEntityDefOrFamily");
    for (int type : {0, 28, 33, 49, 50, 52, 1000, -1}) {
        TargetResourceArg target(type, Nul::UString(L"Defect"));
        EXPECT_EQ(outcome(target, type), unknown) << type;
    }
    EXPECT_EQ(KXFaultInjector::CallCount("LookupEntityDefOrFamily"), lookups);
}

TEST_F(Factory, GlobalHooksAreRefused) {
    TargetResourceArg hook(TT_GLOBAL_HOOK, Nul::UString(L"OnLogon"));
    EXPECT_EQ(outcome(hook, TT_GLOBAL_HOOK),
              "54:TLQSV1085E The property report operation is not supported for global hooks.");
}

TEST_F(Factory, HandlesOfAnotherKindGetTheCastError) {
    // A login session's handle where a record, a workspace item or an attachment is expected.
    StateItemPtr login = session_;
    struct Case {
        int type;
        char const *expected;
    };
    for (Case c : {Case{TT_RECORD, "RecordStateItem"}, Case{TT_QUERY, "QueryItemStateItem"},
                   Case{TT_QUERY_FOLDER, "QueryItemStateItem"}, Case{TT_REPORT, "QueryItemStateItem"},
                   Case{TT_ATTACHMENT, "AttachmentStateItem"}}) {
        TargetResourceArg target(c.type, login);
        EXPECT_EQ(outcome(target, c.type),
                  std::string("40:TLQSV0748E expected '") + c.expected + "' object in dynamic_cast")
            << c.type;
    }
    // A handle that names nothing.
    TargetResourceArg none(TT_RECORD, StateItemPtr());
    EXPECT_EQ(outcome(none, TT_RECORD), "40:TLQSV0769E Internal Error: Invalid Pointer");
}

TEST_F(Factory, NoSessionIsAnInternalError) {
    TargetResourceArg target(TT_RECTYPE, Nul::UString(L"Defect"));
    EXPECT_THROW(PropsResource::getResource(nullptr, {}, target, TT_RECTYPE), Nul::STPException);
}
