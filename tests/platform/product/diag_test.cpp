#include <gtest/gtest.h>

#include <vector>

#include "kxproduct/diag.h"
#include "kxproduct/object.h"
#include "kxwin/cexception.h"

namespace {

struct Captured {
    std::vector<std::pair<std::wstring, std::wstring>> lines;
};

class DiagTest : public ::testing::Test {
protected:
    void SetUp() override {
        AdDiagnostic::ClearFlags();
        AdDiagnostic::SetSink([this](const CString &c, const CString &t) { cap.lines.emplace_back(c.str(), t.str()); });
    }
    void TearDown() override {
        AdDiagnostic::ClearFlags();
        AdDiagnostic::SetStderrSink();
    }
    Captured cap;
};

class Thing : public KXObject {};

} // namespace

TEST_F(DiagTest, LevelsAndIds) {
    EXPECT_FALSE(AdDiagnostic::IsEnabled(66, 1, 0));
    EXPECT_FALSE(AdDiagnostic::IsEnabled(66));
    AdDiagnostic::SetFlag(66, 1);
    EXPECT_TRUE(AdDiagnostic::IsEnabled(66, 1, 0));
    EXPECT_FALSE(AdDiagnostic::IsEnabled(66, 2, 0));
    EXPECT_TRUE(AdDiagnostic::IsEnabled(66));
    EXPECT_FALSE(AdDiagnostic::IsEnabled(-1));
    EXPECT_FALSE(AdDiagnostic::IsEnabled(AdDiagnostic::kMaxId, 1, 0));
}

TEST_F(DiagTest, ConfigureParsesAndRejects) {
    EXPECT_TRUE(AdDiagnostic::Configure("66=2, 21,36=1"));
    EXPECT_EQ(AdDiagnostic::m_DiagnosticFlags[66], 2);
    EXPECT_EQ(AdDiagnostic::m_DiagnosticFlags[21], 1);
    EXPECT_EQ(AdDiagnostic::m_DiagnosticFlags[36], 1);
    EXPECT_FALSE(AdDiagnostic::Configure("500=1"));
    EXPECT_FALSE(AdDiagnostic::Configure("66=x"));
    EXPECT_FALSE(AdDiagnostic::Configure("66;1"));
}

TEST_F(DiagTest, ReportGoesToTheSink) {
    AdDiagnostic::Report(L"KXRPC", L"Start login ()");
    ASSERT_EQ(cap.lines.size(), 1u);
    EXPECT_EQ(cap.lines[0].first, L"KXRPC");
    EXPECT_EQ(cap.lines[0].second, L"Start login ()");
    AdDiagnostic::TestAndReportV(66, 1, 0, L"KXRPC", L"%s %S", L"off", "id");
    EXPECT_EQ(cap.lines.size(), 1u);
    AdDiagnostic::SetFlag(66, 1);
    AdDiagnostic::TestAndReportV(66, 1, 0, L"KXRPC", L"%s %S %d", L"on", "id", 66);
    ASSERT_EQ(cap.lines.size(), 2u);
    EXPECT_EQ(cap.lines[1].second, L"on id 66");
}

TEST_F(DiagTest, SmartPointerRefLines) {
    Thing *t = new Thing;
    {
        KXSmartPtr<Thing> a(t); // no report: flag off
        EXPECT_TRUE(cap.lines.empty());
        AdDiagnostic::SetFlag(36, 1);
        KXSmartPtr<Thing> b(a); // count 1 -> "+" with 2
        ASSERT_EQ(cap.lines.size(), 1u);
        EXPECT_EQ(cap.lines[0].first, L"Refs");
        EXPECT_NE(cap.lines[0].second.find(L" +2"), std::wstring::npos) << CString(cap.lines[0].second).ToUtf8();
        EXPECT_EQ(cap.lines[0].second.rfind(L"(anonymous namespace)::Thing*@0x", 0), 0u)
            << CString(cap.lines[0].second).ToUtf8();
        EXPECT_EQ(t->GetRefCount(), 2);
    } // b: "-" with 2, a: "-" with 1
    ASSERT_EQ(cap.lines.size(), 3u);
    EXPECT_NE(cap.lines[1].second.find(L" -2"), std::wstring::npos);
    EXPECT_NE(cap.lines[2].second.find(L" -1"), std::wstring::npos);
}

TEST_F(DiagTest, SmartPointerAssignment) {
    long before = KXObject::LiveCount();
    Thing *x = new Thing;
    Thing *y = new Thing;
    KXSmartPtr<Thing> p(x);
    KXSmartPtr<Thing> keep_y(y);
    AdDiagnostic::SetFlag(36, 1);
    EXPECT_EQ(p = x, x); // same object: nothing
    EXPECT_TRUE(cap.lines.empty());
    EXPECT_EQ(x->GetRefCount(), 1);
    KXSmartPtr<Thing> keep_x(x);
    cap.lines.clear();
    EXPECT_EQ(p = y, y); // one "+" for y, the old reference released without a report
    ASSERT_EQ(cap.lines.size(), 1u);
    EXPECT_NE(cap.lines[0].second.find(L" +2"), std::wstring::npos);
    EXPECT_EQ(x->GetRefCount(), 1);
    EXPECT_EQ(y->GetRefCount(), 2);
    KXSmartPtr<Thing> none;
    cap.lines.clear();
    none = KXSmartPtr<Thing>();
    KXSmartPtr<Thing> copy_of_none(none);
    EXPECT_TRUE(cap.lines.empty());
    AdDiagnostic::SetFlag(36, 0);
    p = nullptr;
    keep_x = nullptr;
    keep_y = nullptr;
    EXPECT_EQ(KXObject::LiveCount(), before);
}

TEST_F(DiagTest, ToObjAndMemoryReporter) {
    Thing t;
    CString s = AdDiagnostic::To_Obj(&t);
    EXPECT_EQ(s.Find(L"(anonymous namespace)::Thing@"), 0) << s.ToUtf8();
    EXPECT_EQ(AdDiagnostic::To_Obj(nullptr), L"NULL");
    { AdDiagnosticMemoryReporter quiet(L"KXRPC:ping"); }
    EXPECT_TRUE(cap.lines.empty());
    AdDiagnostic::SetFlag(37, 1);
    Thing *leaked = nullptr;
    {
        AdDiagnosticMemoryReporter r(L"KXRPC:login");
        leaked = new Thing; // an object that outlives the scope shows up in its report
    }
    delete leaked;
    ASSERT_EQ(cap.lines.size(), 2u);
    EXPECT_EQ(cap.lines[0].first, L"Memory");
    EXPECT_NE(cap.lines[0].second.find(L"KXRPC:login: enter"), std::wstring::npos);
    EXPECT_NE(cap.lines[1].second.find(L"(+1)"), std::wstring::npos);
}

TEST_F(DiagTest, IgnoredExceptionsAreReportedAndDeleted) {
    long before = CException::LiveCount();
    AdIgnoreException(new CException(CString(L"quiet")), "x.cpp", 1);
    EXPECT_EQ(CException::LiveCount(), before);
    EXPECT_TRUE(cap.lines.empty());
    AdDiagnostic::SetFlag(21, 1);
    AdIgnoreException(new CException(CString(L"disk full")), "server/file", 42);
    AdIgnoreUnknownException("server/file", 43);
    EXPECT_EQ(CException::LiveCount(), before);
    ASSERT_EQ(cap.lines.size(), 2u);
    EXPECT_EQ(cap.lines[0].first, L"Throw");
    EXPECT_EQ(cap.lines[0].second, L"IGNORING (at server/file:42): disk full");
    EXPECT_EQ(cap.lines[1].second, L"IGNORING (at server/file:43): unknown exception");
}
