#include "wire/product_failure.h"

#include <gtest/gtest.h>

#include "kxproduct/exceptions.h"
#include "kxwin/cexception.h"
#include "product_env.h"
#include "wire/exceptions.h"

using namespace KxRpc;

namespace {

// A message exception whose one message has a parameter: "no %what%" with what = "record".
[[noreturn]] void throw_message_with_parameter() {
    auto *e = new PaMsgException();
    PaMessage message(13224, CString(L"no %what%"));
    message.SetParam(CString(L"what"), CString(L"record"));
    e->Add(message);
    throw e;
}

struct Taken {
    bool passed = false; // rethrown unchanged instead of taken
    ProductFailure failure;
};

// Raises with `raise` and takes with `taking`; a failure passed on is caught here and deleted.
template <class Raise>
Taken take(Raise &&raise, Taking const &taking) {
    Taken out;
    try {
        if (auto f = failure_of(raise, taking)) out.failure = *f;
    } catch (Nul::STPException const &) {
        out.passed = true;
    } catch (KXException *e) {
        out.passed = true;
        e->Delete();
    } catch (PaMsgException *e) {
        out.passed = true;
        e->Delete();
    } catch (CException *e) {
        out.passed = true;
        e->Delete();
    } catch (...) {
        out.passed = true;
    }
    return out;
}

} // namespace

TEST(ProductFailure, EachKindIsTakenApartAndDeletedOnce) {
    kxtest::ExceptionCounts counts;
    Taken kx = take([] { throw new KXException(13204, CString(L"ended"), CString(L"KXSession::Unbuild")); }, {});
    ASSERT_FALSE(kx.passed);
    EXPECT_EQ(kx.failure.kind, ProductFailure::KX_EXCEPTION);
    EXPECT_EQ(kx.failure.msg_id, 13204);
    EXPECT_EQ(kx.failure.text.utf8_str(), "ended");
    EXPECT_EQ(kx.failure.source.utf8_str(), "KXSession::Unbuild");
    EXPECT_TRUE(kx.failure.has_error_string());

    Taken pa = take(throw_message_with_parameter, {});
    EXPECT_EQ(pa.failure.kind, ProductFailure::PA_MSG_EXCEPTION);
    EXPECT_EQ(pa.failure.msg_id, 13224);
    EXPECT_EQ(pa.failure.text.utf8_str(), "no %what%");
    EXPECT_FALSE(pa.failure.has_error_string());
    Taken full = take(throw_message_with_parameter, Taking{.full_message = true});
    EXPECT_EQ(full.failure.text.utf8_str(), "no record");

    Taken c = take([] { throw new CException(CString(L"mfc")); }, {});
    EXPECT_EQ(c.failure.kind, ProductFailure::C_EXCEPTION);
    EXPECT_EQ(c.failure.text.utf8_str(), "mfc");
    EXPECT_TRUE(c.failure.has_error_string());

    Taken other = take([] { throw 5; }, {});
    EXPECT_EQ(other.failure.kind, ProductFailure::OTHER);
    EXPECT_EQ(other.failure.text.utf8_str(), "Unknown error.");
    counts.expect_unchanged();
}

TEST(ProductFailure, NullProductExceptionsAreTakenWithoutText) {
    Taken kx = take([] { throw static_cast<KXException *>(nullptr); }, {});
    EXPECT_EQ(kx.failure.kind, ProductFailure::KX_EXCEPTION);
    EXPECT_TRUE(kx.failure.text.empty());
    Taken pa = take([] { throw static_cast<PaMsgException *>(nullptr); }, {});
    EXPECT_EQ(pa.failure.kind, ProductFailure::PA_MSG_EXCEPTION);
    EXPECT_EQ(pa.failure.msg_id, 0);
    Taken c = take([] { throw static_cast<CException *>(nullptr); }, {});
    EXPECT_EQ(c.failure.kind, ProductFailure::C_EXCEPTION);
    EXPECT_EQ(c.failure.text_or_unknown().utf8_str(), "Unknown error.");
}

TEST(ProductFailure, WhatTakingLeavesOutPassesUnchanged) {
    kxtest::ExceptionCounts counts;
    auto server = [] { throw_internal_error(L"ours"); };
    EXPECT_TRUE(take(server, {}).passed);
    Taken everything = take(server, taking_everything);
    EXPECT_FALSE(everything.passed);
    EXPECT_EQ(everything.failure.kind, ProductFailure::OTHER);

    auto kx = [] { throw new KXException(13201, CString(L"no")); };
    EXPECT_TRUE(take(kx, taking_only(ProductFailure::PA_MSG_EXCEPTION)).passed);
    EXPECT_FALSE(take(kx, taking_only(ProductFailure::KX_EXCEPTION)).passed);
    EXPECT_TRUE(take([] { throw new CException(CString(L"mfc")); }, taking_only(ProductFailure::KX_EXCEPTION)).passed);
    EXPECT_TRUE(take([] { throw 5; }, taking_only(ProductFailure::C_EXCEPTION)).passed);
    counts.expect_unchanged();
}

TEST(ProductFailure, ProductCallReturnsTheValueOrRaisesWhatFailSays) {
    kxtest::ExceptionCounts counts;
    EXPECT_EQ(product_call([] { return 7; }, [](ProductFailure const &) { throw_internal_error(L"unused"); }), 7);
    EXPECT_FALSE(failure_of([] {}).has_value());
    try {
        product_call([]() -> int { throw new KXException(13204, CString(L"ended")); },
                     [](ProductFailure const &f) { throw_not_found(f.text); });
        FAIL();
    } catch (KXNotFoundException const &e) {
        EXPECT_NE(exception_message_text(e).utf8_str().find("ended"), std::string::npos);
    }
    // A `fail` that does not raise still leaves no call answered as a success.
    EXPECT_THROW(product_call([] { throw 5; }, [](ProductFailure const &) {}), KXInternalErrorException);
    counts.expect_unchanged();
}
