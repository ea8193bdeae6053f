// A logged-on session of the product's demo set for property tests, with leak checks around each
// test.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "kxproduct/faults.h"
#include "kxproduct/session.h"
#include "product_env.h"
#include "props/resource.h"
#include "target/login_session.h"
#include "target/target.h"

namespace kxtest {

class DemoSession : public ::testing::Test {
protected:
    static void SetUpTestSuite() { make_product_data(dir_, "/tmp/kxrpc-props-XXXXXX"); }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

    void SetUp() override {
        KXFaultInjector::Reset();
        counts_ = ProductCounts();
        KXSmartPtr<KXSession> s = KXSession::Build();
        s->WebUserLogon(CString(L"alice"), CString(L"alice"), CString(), CString(), CString(L"ISSUE"),
                        CString(L"KXDEMO"));
        session_ = std::make_shared<KxRpc::LoginSession>(s, Nul::UString(L"KXDEMO/ISSUE"), Nul::UString());
    }
    void TearDown() override {
        session_.reset();
        KXFaultInjector::Reset();
        counts_.expect_unchanged();
    }

    // What the factory made or raised for a target: "made", or "reason:message".
    std::string outcome(KxRpc::TargetResourceArg &target, int type, KxRpc::DynamicPropMap const &declared = {}) {
        try {
            made_ = KxRpc::PropsResource::getResource(session_.get(), declared, target, type);
        } catch (Nul::STPException const &e) {
            return std::to_string(static_cast<int>(e.stp_reason_code())) + ":" + e.msg().utf8_str().std_str();
        }
        return "made";
    }

    static inline std::string dir_;
    ProductCounts counts_;
    std::shared_ptr<KxRpc::LoginSession> session_;
    std::unique_ptr<KxRpc::PropsResource> made_;
};

} // namespace kxtest
