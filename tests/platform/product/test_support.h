// A private data directory per test, named to the product by its environment variable.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "kxproduct/diag.h"
#include "kxproduct/entity.h"
#include "kxproduct/exceptions.h"
#include "kxproduct/faults.h"
#include "kxproduct/object.h"
#include "kxproduct/session.h"
#include "kxwin/cexception.h"

class ProductTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kxproduct-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        data_ = dir_ + "/data";
        ::setenv("KX_PRODUCT_DATA", data_.c_str(), 1);
        KXFaultInjector::Reset();
        kx_before_ = KXException::LiveCount();
        pa_before_ = PaMsgException::LiveCount();
        c_before_ = CException::LiveCount();
    }
    void TearDown() override {
        KXFaultInjector::Reset();
        AdDiagnostic::ClearFlags();
        AdDiagnostic::SetStderrSink();
        // Every exception a test caught must have been deleted.
        EXPECT_EQ(KXException::LiveCount(), kx_before_);
        EXPECT_EQ(PaMsgException::LiveCount(), pa_before_);
        EXPECT_EQ(CException::LiveCount(), c_before_);
        std::filesystem::remove_all(dir_);
    }
    void write_file(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

    std::string dir_, data_;
    long kx_before_ = 0, pa_before_ = 0, c_before_ = 0;
};

// Runs f, expecting a KXException*; returns its id and text and deletes it.
template <class F>
std::pair<int, std::wstring> expect_kx(F f) {
    try {
        f();
    } catch (KXException *e) {
        std::pair<int, std::wstring> r{e->GetMsgId(), e->GetErrorString().str()};
        e->Delete();
        return r;
    }
    ADD_FAILURE() << "no KXException";
    return {0, L""};
}

template <class F>
std::pair<int, std::wstring> expect_pamsg(F f) {
    try {
        f();
    } catch (PaMsgException *e) {
        std::pair<int, std::wstring> r{e->First() ? e->First()->GetID() : 0,
                                       e->First() ? e->First()->GetMsg().str() : L""};
        e->Delete();
        return r;
    }
    ADD_FAILURE() << "no PaMsgException";
    return {0, L""};
}

// A session of the demo set's ISSUE database; each demo user's password is its name.
inline KXSmartPtr<KXSession> demo_logon(const wchar_t *user) {
    auto s = KXSession::Build();
    s->WebUserLogon(user, user, L"h", L"", L"ISSUE", L"KXDEMO");
    return s;
}

// The Defect of that name, or null.
inline AdEntityPtr find_defect(const AdSessionPtr &s, const wchar_t *name) {
    AdEntityPtr e;
    CString error;
    AdEntityMgr::Get(s)->LookupEntityWithStatus(LookupEntityDefOrFamily(s, L"Defect"), name, e, error, 1);
    return e;
}
