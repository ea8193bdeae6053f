// The hook-value scope over a real product session of the demo set.
#include "protocol/props.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "kxproduct/kxproduct.h"

using namespace KxRpc;

namespace {

class MRU : public ::testing::Test {
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
        int status = AdEntityMgr::Get(session_)->LookupEntityWithStatus(
            LookupEntityDefOrFamily(session_, L"Defect"), L"ISSUE00000001", record_, error, 1);
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

std::string MRU::dir_;

} // namespace

TEST_F(MRU, AnotherRecordLeavesTheValuesAlone) {
    session_->SetNameValue(MRU_context::batch_mode_name, L"ISSUE00000002");
    {
        MRU_context scope(record_);
        EXPECT_FALSE(scope.saved());
        expect_old_values();
    }
    expect_old_values();
}

TEST_F(MRU, TheBatchRecordSeesEmptyValuesAndGetsThemBack) {
    session_->SetNameValue(MRU_context::batch_mode_name, L"ISSUE00000001");
    {
        MRU_context scope(record_);
        EXPECT_TRUE(scope.saved());
        for (auto k = MRU_context::keys(); *k; ++k) EXPECT_EQ(value(*k), L"") << CString(*k).ToUtf8();
        session_->SetNameValue(L"_KXXE_OPEN_URL", L"set inside");
    }
    expect_old_values();
}

TEST_F(MRU, ValuesComeBackWhenTheGuardedWorkThrows) {
    session_->SetNameValue(MRU_context::batch_mode_name, L"ISSUE00000001");
    EXPECT_THROW(
        {
            MRU_context scope(record_);
            throw std::runtime_error("guarded work failed");
        },
        std::runtime_error);
    expect_old_values();
}
