// The fetch_props and put_props handlers over decoded requests: their replies, the atomic
// refusal, and product failures that never leave the handler as product exceptions.
#include "props/handlers.h"

#include <gtest/gtest.h>

#include "demo_session.h"
#include "kxproduct/metadata.h"
#include "props/replies.h"
#include "props/requests.h"
#include "wire/glue.h"
#include "wire/handles.h"
#include "wire_builder.h"
#include "wire_text.h"

using namespace KxRpc;
using kxtest::cat;
using kxtest::str;
using kxtest::words;

namespace {

class Handlers : public kxtest::DemoSession {
protected:
    // Sending the session's handle registered it.
    void TearDown() override {
        remove_pointer_entry(session_->oid());
        kxtest::DemoSession::TearDown();
    }

    // The common head of both requests: no correlator, not a batch, the session, locale, trace id
    // and the target.
    kxtest::Wire head(TargetResourceArg const &target) {
        kxtest::Wire w;
        StateItemPtr session = session_;
        w.i(0).b(false).op([session](XDR *x) mutable { return xdr_state_handle(x, session); }).s("en_US").i(9);
        return w.t(target);
    }

    kxtest::Bytes fetch_request(TargetResourceArg const &target, std::vector<int> const &ids) {
        kxtest::Wire w = head(target);
        w.i(static_cast<int>(ids.size()));
        for (int id : ids) w.i(id);
        return w.i(0).i(0).b(false).b(false).bytes();
    }

    // Empty values for each id, then the atomic and register-callback flags.
    kxtest::Bytes put_request(TargetResourceArg const &target, std::vector<int> const &ids, bool atomic) {
        kxtest::Wire w = head(target);
        w.i(static_cast<int>(ids.size()));
        for (int id : ids) w.i(id).i(100002);
        return w.i(0).b(atomic).b(false).bytes();
    }

    // The handler's reply as the result routine writes it, or the exception it threw.
    template <class Args, class Reply>
    std::string call(std::unique_ptr<XdrObject> (*handler)(XdrObject *), kxtest::Bytes const &request,
                     kxtest::Bytes &reply) {
        Args args;
        EXPECT_TRUE(kxtest::decode_args(args, request));
        XdrObject *result = nullptr;
        try {
            result = handler(&args).release();
            EXPECT_NE(result, nullptr);
        } catch (Nul::STPException const &e) {
            return std::to_string(static_cast<int>(e.stp_reason_code())) + ":" + e.msg().utf8_str().std_str();
        }
        bool ok = false;
        reply = kxtest::encode([&](XDR *x) { return xdr_result_of<Reply>(x, &result); }, &ok);
        EXPECT_TRUE(ok);
        XDR free_stream{};
        free_stream.x_op = XDR_FREE;
        xdr_result_of<Reply>(&free_stream, &result);
        return "reply";
    }
};

} // namespace

TEST_F(Handlers, FetchOfARecordType) {
    kxtest::Bytes reply;
    TargetResourceArg defect(TT_RECTYPE, Nul::UString(L"Defect"));
    ASSERT_EQ(
        (call<FetchPropsArgs, FetchPropsIter>(kxrpc_fetch_props, fetch_request(defect, {1061, 515, 9999}), reply)),
        "reply");
    EXPECT_EQ(reply, cat(cat(words({0, 1, 100001}), str("Defect")), words({1, 100006, 0, 1, 100011, 0})));
}

TEST_F(Handlers, FetchOfAnUnknownRecordTypeOrKindIsAnError) {
    kxtest::Bytes reply;
    TargetResourceArg nothing(TT_RECTYPE, Nul::UString(L"NoSuchType"));
    EXPECT_NE((call<FetchPropsArgs, FetchPropsIter>(kxrpc_fetch_props, fetch_request(nothing, {1061}), reply)),
              "reply");
    TargetResourceArg unused(TT_UNUSED_49, Nul::UString(L"alice"));
    EXPECT_EQ((call<FetchPropsArgs, FetchPropsIter>(kxrpc_fetch_props, fetch_request(unused, {1061}), reply)),
              "40:TLQSV1093E Unknown or unsupported KX core object type");
}

TEST_F(Handlers, ProductFailuresWhileResolvingLeaveAsServerErrors) {
    for (KXFaultKind kind : {KXFaultKind::KXException, KXFaultKind::PaMsgException, KXFaultKind::CException}) {
        KXFaultInjector::Arm("LookupEntityDefOrFamily", kxtest::fault(kind, KX_MSG_BAD_VALUE, L"injected"));
        kxtest::ExceptionCounts counts;
        kxtest::Bytes reply;
        TargetResourceArg defect(TT_RECTYPE, Nul::UString(L"Defect"));
        EXPECT_NE((call<FetchPropsArgs, FetchPropsIter>(kxrpc_fetch_props, fetch_request(defect, {1061}), reply)),
                  "reply");
        counts.expect_unchanged();
    }
}

TEST_F(Handlers, PutRefusesSeveralAtomicValuesBeforeAnyIsApplied) {
    kxtest::Bytes reply;
    TargetResourceArg defect(TT_RECTYPE, Nul::UString(L"Defect"));
    long lookups = KXFaultInjector::CallCount("LookupEntityDefOrFamily");
    EXPECT_EQ((call<PutPropsArgs, PutPropsIter>(kxrpc_put_props, put_request(defect, {1061, 578}, true), reply)),
              "54:TLQSV1091E Cannot do atomic setting of multiple properties.");
    EXPECT_EQ(KXFaultInjector::CallCount("LookupEntityDefOrFamily"), lookups);
    // One atomic value goes through: a record type is read-only (9), an unknown id unknown (64).
    ASSERT_EQ((call<PutPropsArgs, PutPropsIter>(kxrpc_put_props, put_request(defect, {1061}, true), reply)), "reply");
    EXPECT_EQ(reply, words({0, 1, 1, 9, 0, 0xFFFFFFFFu, 0, 0, 0, 0, 0}));
    ASSERT_EQ((call<PutPropsArgs, PutPropsIter>(kxrpc_put_props, put_request(defect, {4711, 1061}, false), reply)),
              "reply");
    EXPECT_EQ(reply, words({0, 1, 1, 64, 0, 0xFFFFFFFFu, 0, 0, 1, 1, 9, 0, 0xFFFFFFFFu, 0, 0, 0, 0, 0}));
}
