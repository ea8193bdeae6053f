// The fault injector before any test has used it (a process of its own): calls pass without
// being counted, and once a count is asked for, counting and arming work as usual.
#include <gtest/gtest.h>

#include "kxproduct/exceptions.h"
#include "kxproduct/faults.h"

TEST(FaultsIdle, CallsBeforeFirstUseAreNotCountedThenCountingStarts) {
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(KXFaultInjector::Enter("Idle::Op").has_value());
    EXPECT_EQ(KXFaultInjector::CallCount("Idle::Op"), 0);
    KXFaultInjector::Enter("Idle::Op");
    EXPECT_EQ(KXFaultInjector::CallCount("Idle::Op"), 1);
    KXFaultInjector::Arm("Idle::Op", KXFault{KXFaultKind::KXException, 7, CString(L"armed")}, 2);
    EXPECT_NO_THROW(KXFaultInjector::Enter("Idle::Op"));
    try {
        KXFaultInjector::Enter("Idle::Op");
        ADD_FAILURE() << "the armed fault did not fire";
    } catch (KXException *e) {
        EXPECT_EQ(e->GetMsgId(), 7);
        e->Delete();
    }
    EXPECT_EQ(KXFaultInjector::CallCount("Idle::Op"), 3);
}
