// Handlers called in-process against a private demo set: logged-on sessions named by registered
// handles, requests decoded from their wire bytes, the outcome kept as result or error.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "diag_capture.h"
#include "product_env.h"
#include "target/login_session.h"
#include "target/target.h"
#include "wire/errors.h"
#include "wire/exceptions.h"
#include "wire/glue.h"
#include "wire/handles.h"
#include "wire_text.h"
#include "xdr_buffer.h"

namespace kxtest {

using Handler = std::unique_ptr<KxRpc::XdrObject> (*)(KxRpc::XdrObject *);

struct Outcome {
    std::shared_ptr<KxRpc::XdrObject> args; // outlives the result, which may refer to it
    std::unique_ptr<KxRpc::XdrObject> result;
    std::unique_ptr<Nul::STPException> error;

    int reason() const { return error ? static_cast<int>(error->stp_reason_code()) : -1; }
    std::string message() const {
        return error ? KxRpc::exception_message_text(*error).utf8_str().std_str() : std::string();
    }
    // The result's own encoding (after the leading FALSE of its result routine).
    Bytes reply() const {
        bool ok = false;
        Bytes out = encode([&](XDR *x) { return result->xdr(x); }, &ok, 1 << 20);
        EXPECT_TRUE(ok);
        return out;
    }
};

class HandlerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        make_product_data(dir_, "/tmp/kxrpc-handlers-XXXXXX");
        static KxRpc::KxRpcResourceEncoder encoder;
        KxRpc::register_resource_encoder(1, &encoder);
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }
    void SetUp() override {
        KXFaultInjector::Reset();
        counts_ = ExceptionCounts();
    }
    void TearDown() override {
        for (auto const &s : sessions_) KxRpc::remove_pointer_entry(s->oid());
        sessions_.clear();
        KXFaultInjector::Reset();
        counts_.expect_unchanged();
    }

    std::shared_ptr<KxRpc::LoginSession> login(wchar_t const *user) {
        KXSmartPtr<KXSession> s = KXSession::Build();
        s->WebUserLogon(CString(user), CString(user), CString(), CString(), CString(L"ISSUE"), CString(L"KXDEMO"));
        auto login = std::make_shared<KxRpc::LoginSession>(s, Nul::UString(L"KXDEMO/ISSUE"), Nul::UString());
        sessions_.push_back(login);
        return login;
    }

    static Bytes handle_of(KxRpc::StateItemPtr item) {
        return encode([&](XDR *x) { return KxRpc::xdr_state_handle(x, item); });
    }
    // Correlator none, the session's handle, locale, trace id.
    static Bytes header(KxRpc::StateItemPtr const &session, std::uint32_t wtid = 1) {
        return cat(cat(cat(words({0}), handle_of(session)), str("en_US")), words({wtid}));
    }

    template <class Args>
    static Outcome call(Handler handler, Bytes const &body) {
        Outcome out;
        auto args = std::make_shared<Args>();
        out.args = args;
        std::size_t used = 0;
        bool decoded = decode(
            body, [&](XDR *x) { return KxRpc::xdr_args_of<Args>(x, static_cast<KxRpc::XdrObject *>(args.get())); },
            &used);
        EXPECT_TRUE(decoded && used == body.size()) << "request did not decode whole";
        if (!decoded) return out;
        try {
            out.result = handler(static_cast<KxRpc::XdrObject *>(args.get()));
            EXPECT_TRUE(out.result);
        } catch (Nul::STPException const &e) {
            out.error.reset(e.clone());
        }
        return out;
    }

    static inline std::string dir_;
    ExceptionCounts counts_;
    std::vector<std::shared_ptr<KxRpc::LoginSession>> sessions_;
};

inline std::string u8(Nul::UString const &s) { return s.utf8_str().std_str(); }

// A target of `type` given by its name segments.
inline Bytes by_name(int type, std::vector<std::string> const &names) {
    Bytes b = words({static_cast<std::uint32_t>(type), 1});
    for (auto const &n : names) b = cat(b, str(n));
    return b;
}

} // namespace kxtest
