#include "wire/trace.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "diag_capture.h"
#include "kxproduct/session.h"
#include "product_env.h"
#include "wire/exceptions.h"

using namespace KxRpc;
using ::testing::ElementsAre;
using ::testing::StartsWith;

TEST(Trace, NothingWhenTheFlagIsOff) {
    kxtest::DiagCapture diag;
    int made = 0;
    trace_lazy(1, [&] {
        ++made;
        return Nul::UString(L"x");
    });
    trace_start(L"m", L"t");
    trace_exception(L"m", L"t");
    trace_stp_exception(L"m", LockedDatabaseException());
    EXPECT_EQ(made, 0);
    EXPECT_TRUE(diag.lines().empty());
}

TEST(Trace, LevelsGateTheLines) {
    kxtest::DiagCapture diag;
    AdDiagnostic::SetFlag(66, 1);
    trace_info(L"m", L"detail");
    trace_start(L"kxrpc_login", L"args");
    EXPECT_THAT(diag.lines(), ElementsAre("KXRPC|Start kxrpc_login (args)"));
    AdDiagnostic::SetFlag(66, 2);
    trace_info(L"m", L"detail");
    EXPECT_EQ(diag.lines().back(), "KXRPC|Info: m(detail)");
}

TEST(Trace, Formats) {
    kxtest::DiagCapture diag;
    AdDiagnostic::SetFlag(66, 2);
    trace_finish(L"kxrpc_ping", L"\u00e9");
    trace_exception(L"LoginResp", L"Failed to connect");
    trace_stp_exception(L"GetDirectResp::xdr", KXInternalErrorException(L"Invalid Pointer", nullptr));
    trace_exception_detail(L"m", L"why", LockedDatabaseException());
    trace_text(1, L"add_pointer_entry: (item:abc)");
    EXPECT_THAT(diag.lines(),
                ElementsAre("KXRPC|Finish kxrpc_ping (\xc3\xa9)", "KXRPC|Exception: LoginResp(Failed to connect)",
                            "KXRPC|Exception: (method:GetDirectResp::xdr :: reason_code:40 :: message:TLQSV0769E "
                            "Internal Error: Invalid Pointer)",
                            "KXRPC|Exception: (method:m :: msg:why :: reason_code:31 :: exception_message:)",
                            "KXRPC|add_pointer_entry: (item:abc)"));
}

TEST(Trace, ObjectText) {
    kxtest::DiagCapture diag;
    KXSmartPtr<KXSession> s = KXSession::Build();
    Nul::UString plain = trace_object_text(L"KXSession", s.get());
    std::string expected = "KXSession(" + AdDiagnostic::To_Obj(s.get()).ToUtf8() + ")";
    EXPECT_EQ(plain.utf8_str(), expected);
    AdDiagnostic::SetFlag(66, 2);
    Nul::UString detail = trace_object_text(L"KXSession", s.get());
    EXPECT_EQ(detail.utf8_str(), "KXSession(" + AdDiagnostic::To_Obj(s.get()).ToUtf8() + ":1 refs)");
}

TEST(IgnoringFailures, DeletesProductExceptionsAndReportsThem) {
    kxtest::DiagCapture diag;
    kxtest::ExceptionCounts counts;
    ignoring_failures([] { throw new KXException(13204, CString(L"ended"), CString(L"KXSession::Unbuild")); });
    ignoring_failures([] { throw new PaMsgException(13224, CString(L"gone")); });
    ignoring_failures([] { throw new CException(CString(L"mfc")); });
    ignoring_failures([] { throw 5; });
    EXPECT_TRUE(diag.lines().empty());
    AdDiagnostic::SetFlag(21, 1);
    ignoring_failures([] { throw new KXException(13204, CString(L"ended"), CString(L"KXSession::Unbuild")); });
    ignoring_failures([] { throw new CException(CString(L"mfc")); });
    auto lines = diag.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Throw|IGNORING (at KXSession::Unbuild): ended");
    EXPECT_THAT(lines[1], StartsWith("Throw|IGNORING (at server\\stp\\kxrpc\\kxrpc_xdr:"));
    counts.expect_unchanged();
}
