#include <gtest/gtest.h>

#include <stdexcept>

#include "kxproduct/exceptions.h"
#include "kxproduct/faults.h"
#include "kxwin/cexception.h"

namespace {
class FaultsTest : public ::testing::Test {
protected:
    void SetUp() override { KXFaultInjector::Reset(); }
    void TearDown() override { KXFaultInjector::Reset(); }
};
} // namespace

TEST_F(FaultsTest, CountsCalls) {
    EXPECT_EQ(KXFaultInjector::CallCount("Op::A"), 0);
    KXFaultInjector::Enter("Op::A");
    KXFaultInjector::Enter("Op::A");
    KXFaultInjector::Enter("Op::B");
    EXPECT_EQ(KXFaultInjector::CallCount("Op::A"), 2);
    EXPECT_EQ(KXFaultInjector::CallCount("Op::B"), 1);
    KXFaultInjector::Reset();
    EXPECT_EQ(KXFaultInjector::CallCount("Op::A"), 0);
}

TEST_F(FaultsTest, NthCallThrowsTheChosenKindOnce) {
    long before = KXException::LiveCount();
    KXFaultInjector::Enter("Op::A");
    KXFaultInjector::Arm("Op::A", KXFault{KXFaultKind::KXException, 13285, CString(L"connection lost"), 0}, 2);
    EXPECT_FALSE(KXFaultInjector::Enter("Op::A").has_value());
    try {
        KXFaultInjector::Enter("Op::A");
        ADD_FAILURE();
    } catch (KXException *e) {
        EXPECT_EQ(e->GetMsgId(), 13285);
        EXPECT_EQ(e->GetErrorString(), L"connection lost");
        EXPECT_EQ(e->GetSource(), L"Op::A");
        EXPECT_EQ(KXException::LiveCount(), before + 1);
        e->Delete();
    }
    EXPECT_FALSE(KXFaultInjector::Enter("Op::A").has_value()); // disarmed after firing
    EXPECT_EQ(KXException::LiveCount(), before);
}

TEST_F(FaultsTest, MessageAndMfcKinds) {
    KXFaultInjector::Arm("Op::P", KXFault{KXFaultKind::PaMsgException, 13224, CString(L"no such thing"), 0});
    try {
        KXFaultInjector::Enter("Op::P");
        ADD_FAILURE();
    } catch (PaMsgException *e) {
        ASSERT_EQ(e->GetCount(), 1);
        EXPECT_EQ(e->First()->GetID(), 13224);
        EXPECT_EQ(e->First()->GetMsg(), L"no such thing");
        e->Delete();
    }
    KXFaultInjector::Arm("Op::C", KXFault{KXFaultKind::CException, 0, CString(L"mfc says no"), 0});
    try {
        KXFaultInjector::Enter("Op::C");
        ADD_FAILURE();
    } catch (CException *e) {
        EXPECT_EQ(e->GetErrorMessageString(), L"mfc says no");
        e->Delete();
    }
}

TEST_F(FaultsTest, StatusAndTextAnswers) {
    KXFaultInjector::Arm("Op::L", KXFault{KXFaultKind::LookupStatus, 0, CString(L"locked"), 3});
    auto f = KXFaultInjector::Enter("Op::L", KXFaultInjector::kStatus);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->status, 3);
    KXFaultInjector::Arm("Op::T", KXFault{KXFaultKind::ErrorText, 0, CString(L"bad value"), 0});
    EXPECT_THROW(KXFaultInjector::Enter("Op::T", KXFaultInjector::kStatus), std::logic_error);
    KXFaultInjector::Arm("Op::T", KXFault{KXFaultKind::ErrorText, 0, CString(L"bad value"), 0});
    KXFaultInjector::Disarm("Op::T");
    EXPECT_FALSE(KXFaultInjector::Enter("Op::T", KXFaultInjector::kText).has_value());
}

TEST(PaMessage, AccessorsAndFullMessage) {
    PaMessage m;
    m.SetID(7)
        .SetMsg(CString(L"Field %name% is %what%"))
        .SetParam(CString(L"name"), CString(L"Owner"))
        .SetParam(CString(L"what"), CString(L"required"))
        .SetHelpID(3)
        .SetDmod(CString(L"core"))
        .SetDelivered(1);
    m.SetSource(CString(L"f.cpp"), CString(L"fn"), 12);
    EXPECT_EQ(m.GetID(), 7);
    EXPECT_EQ(m.GetHelpID(), 3);
    EXPECT_EQ(m.GetDmod(), L"core");
    EXPECT_EQ(m.GetDelivered(), 1);
    EXPECT_EQ(m.GetSource(), L"f.cpp(12): fn");
    EXPECT_EQ(m.GetFullMsg(), L"Field Owner is required");
    m.SetBeginDelim(CString(L"{")).SetEndDelim(CString(L"}")).SetMsg(CString(L"{name}!"));
    CString out;
    EXPECT_EQ(m.GetFullMsg(out), L"Owner!");
    PaMsgHandler a, b;
    b.words[2] = &a;
    a = b;
    EXPECT_EQ(a.words[2], &a);
    PaMsgException *empty = new PaMsgException();
    EXPECT_EQ(empty->GetCount(), 0);
    EXPECT_EQ(empty->First(), nullptr);
    empty->Delete();
}
