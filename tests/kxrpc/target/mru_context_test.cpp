// The hook-value scope over a real product session of the demo set.
#include "target/mru_context.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "kxproduct/faults.h"
#include "kxproduct/kxproduct.h"
#include "kxwin/cexception.h"

using namespace KxRpc;

namespace {

class ProductRecord : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/kxrpc-mru-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ::setenv("KX_PRODUCT_DATA", (dir_ + "/data").c_str(), 1);
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

    void SetUp() override {
        user_ = KXSession::Build();
        user_->WebUserLogon(L"alice", L"alice", L"server", L"", L"ISSUE", L"KXDEMO");
        session_ = user_->GetReal();
        CString error;
        int status = AdEntityMgr::Get(session_)->LookupEntityWithStatus(LookupEntityDefOrFamily(session_, L"Defect"),
                                                                        L"ISSUE00000001", record_, error, 1);
        ASSERT_EQ(status, AD_LOOKUP_FOUND);
        for (auto k = MRU_context::keys(); *k; ++k) session_->SetNameValue(*k, CString(L"old-") + *k);
    }

    std::wstring value(wchar_t const *name) { return std::wstring(session_->GetNameValue(name).GetString()); }

    void expect_old_values() {
        for (auto k = MRU_context::keys(); *k; ++k) EXPECT_EQ(value(*k), std::wstring(L"old-") + *k);
    }

    static std::string dir_;
    KXSmartPtr<KXSession> user_;
    AdSessionPtr session_;
    AdEntityPtr record_;
};

std::string ProductRecord::dir_;

} // namespace

TEST_F(ProductRecord, MruAnotherRecordLeavesTheValuesAlone) {
    session_->SetNameValue(MRU_context::batch_mode_name, L"ISSUE00000002");
    {
        MRU_context scope(record_);
        EXPECT_FALSE(scope.saved());
        expect_old_values();
    }
    expect_old_values();
}

TEST_F(ProductRecord, MruTheBatchRecordSeesEmptyValuesAndGetsThemBack) {
    session_->SetNameValue(MRU_context::batch_mode_name, L"ISSUE00000001");
    {
        MRU_context scope(record_);
        EXPECT_TRUE(scope.saved());
        for (auto k = MRU_context::keys(); *k; ++k) EXPECT_EQ(value(*k), L"") << CString(*k).ToUtf8();
        session_->SetNameValue(L"_KXXE_OPEN_URL", L"set inside");
    }
    expect_old_values();
}

TEST_F(ProductRecord, MruValuesComeBackWhenTheGuardedWorkThrows) {
    session_->SetNameValue(MRU_context::batch_mode_name, L"ISSUE00000001");
    EXPECT_THROW(
        {
            MRU_context scope(record_);
            throw std::runtime_error("guarded work failed");
        },
        std::runtime_error);
    expect_old_values();
}

TEST_F(ProductRecord, MruAScopeThatFailsToOpenPutsBackWhatItCleared) {
    session_->SetNameValue(MRU_context::batch_mode_name, L"ISSUE00000001");
    KXFault fault;
    fault.kind = KXFaultKind::CException;
    fault.text = CString(L"store busy");
    // The fifth clearing fails: four values were already emptied.
    KXFaultInjector::Arm("AdSession::SetNameValue", fault, 5);
    long live = CException::LiveCount();
    bool threw = false;
    try {
        MRU_context scope(record_);
    } catch (CException *e) {
        threw = true;
        e->Delete();
    }
    KXFaultInjector::Reset();
    EXPECT_TRUE(threw);
    EXPECT_EQ(CException::LiveCount(), live);
    expect_old_values();
}

TEST_F(ProductRecord, MruRestoringGoesOnPastAFailingValue) {
    session_->SetNameValue(MRU_context::batch_mode_name, L"ISSUE00000001");
    {
        MRU_context scope(record_);
        KXFault fault;
        fault.kind = KXFaultKind::KXException;
        fault.text = CString(L"refused");
        KXFaultInjector::Arm("AdSession::SetNameValue", fault, 1);
    }
    KXFaultInjector::Reset();
    // The first value stays empty, every other one is back.
    EXPECT_EQ(value(MRU_context::keys()[0]), L"");
    for (auto k = MRU_context::keys() + 1; *k; ++k) EXPECT_EQ(value(*k), std::wstring(L"old-") + *k);
}

// An unset batch-mode value names no record, not even a new one whose name is still empty.
TEST_F(ProductRecord, MruAnUnsetBatchValueNeverMatchesANewRecord) {
    session_->SetNameValue(MRU_context::batch_mode_name, L"");
    AdEntityPtr fresh = BuildEntity(session_, LookupEntityDefOrFamily(session_, L"Project"));
    ASSERT_EQ(std::wstring(fresh->GetDisplayName().GetString()), L"");
    {
        MRU_context scope(fresh);
        EXPECT_FALSE(scope.saved());
        expect_old_values();
    }
    fresh->Revert();
    expect_old_values();
}

// Two scopes on one session that overlap without nesting (two calls at once) share one saved
// copy: neither restores the other's cleared values over the real ones.
TEST_F(ProductRecord, MruOverlappingScopesOnOneSessionRestoreTheRealValues) {
    session_->SetNameValue(MRU_context::batch_mode_name, L"ISSUE00000001");
    auto first = std::make_unique<MRU_context>(record_);
    auto second = std::make_unique<MRU_context>(record_);
    EXPECT_TRUE(first->saved() && second->saved());
    first.reset();
    // The second call is still at work: the values stay cleared for it.
    for (auto k = MRU_context::keys(); *k; ++k) EXPECT_EQ(value(*k), L"") << CString(*k).ToUtf8();
    second.reset();
    expect_old_values();
}
