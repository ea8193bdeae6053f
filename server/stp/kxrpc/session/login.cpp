#include "session/login.h"

#include <unistd.h>

#include <string>

#include "kxproduct/crypt.h"
#include "kxproduct/exceptions.h"
#include "kxwin/cexception.h"
#include "session/sso.h"
#include "target/login_limit.h"
#include "tesutil/umessage.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/locale.h"
#include "wire/product_failure.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

Nul::UString server_host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return Nul::UString(L"Vexhub");
    return Nul::UString(name, "DEFAULT");
}

// The logon's product failure as the login's refusal: a failed connection (product message 13285, a
// CException or anything unknown) refuses with reason 18 after a "Failed to connect" trace; product
// message 13224 is the not-found error; any other product failure refuses with reason 47.
[[noreturn]] void refuse_login(ProductFailure const &f, Nul::UString const &dbset) {
    static Nul::UString const method(L"LoginResp");
    switch (f.kind) {
    case ProductFailure::PA_MSG_EXCEPTION:
        if (f.msg_id == KX_MSG_NOT_FOUND) throw_not_found(f.text);
        [[fallthrough]];
    case ProductFailure::KX_EXCEPTION:
        if (f.msg_id == KX_MSG_CONNECTION_FAILED) {
            trace_exception(method, L"Failed to connect");
            login_forbidden(Reason::login_forbidden, f.text, dbset);
        }
        login_forbidden(Reason::login_refused, f.text, dbset);
    case ProductFailure::C_EXCEPTION:
        trace_exception(method, L"Failed to connect");
        login_forbidden(Reason::login_forbidden, f.text, dbset);
    default: {
        Nul::UString text(L"Login failed for unknown reason.");
        trace_exception(method, text);
        login_forbidden(Reason::login_forbidden, text, dbset);
    }
    }
}

} // namespace

// ---- LoginArgs

LoginArgs::LoginArgs() = default;
LoginArgs::~LoginArgs() = default;

bool_t LoginArgs::decode(XDR *xdrs) {
    if (!xdr_correlator(xdrs) || !xdr_trace_id(xdrs, trace_) || !xdr_ustring(xdrs, repository_) ||
        !xdr_ustring(xdrs, user_) || !xdr_ustring(xdrs, password_) || !xdr_ustring(xdrs, context_.client_locale) ||
        !xdr_ustring(xdrs, context_.context_text, max_wire_text) || !xdr_flag(xdrs, security_) ||
        !xdr_ustring(xdrs, client_host_))
        return FALSE;
    stprpc_abstract_set_client_locale(context_.client_locale);
    unsigned slash = repository_.find(L'/');
    if (slash == Nul::UString::npos) {
        dbset_ = repository_;
        userdb_.clear();
    } else {
        dbset_ = repository_.substr(0, slash);
        userdb_ = repository_.substr(slash + 1);
    }
    return TRUE;
}

Nul::UString LoginArgs::trace_line() const {
    using Arg = Nul::UMessage::Arg;
    std::vector<Arg> args{Arg(trace_.trace_line()), Arg(repository_), Arg(dbset_), Arg(userdb_), Arg(user_),
                          Arg(security_ ? 1 : 0)};
    std::vector<Arg const *> ptrs;
    for (auto const &a : args) ptrs.push_back(&a);
    return Nul::UMessage::sprintf("%s :: repository:%s :: dbset:%s :: userdb:%s :: user:%s :: security:%d", ptrs);
}

// ---- LoginResp

LoginResp::LoginResp(LoginArgs &args) {
    Nul::UString user = args.user(), password = args.password(), userdb = args.userdb(), dbset = args.dbset(),
                 client_host = args.client_host();
    bool security = args.security();
    // Failed logins from the network are counted; past the limit the password is not even tried.
    PasswordCheck check(dbset, user);
    Nul::UString server_host = server_host_name();
    if (client_host.empty()) client_host = server_host;

    // Owned here until the login session takes it; unbuilt when the logon fails before that.
    KXSmartPtr<KXSession> user_session;
    KXSmartPtr<KXAdminSession> admin_session;
    std::shared_ptr<LoginSession> made;
    product_call(
        [&] {
            try {
                if (!userdb.empty()) {
                    user_session = KXSession::Build();
                    if (security) enableSSOLogon(password, dbset, user_session.get(), nullptr);
                    user_session->WebUserLogon(user.c_str(), password.c_str(), server_host.c_str(), client_host.c_str(),
                                               userdb.c_str(), dbset.c_str());
                    made = std::make_shared<LoginSession>(user_session, args.repository(), args.context_text());
                    user_session->SetNameValue(L"_KX_WEBJAVA_SESSION", L"TRUE");
                    user_session->SetNameValue(L"_KX_WEB_SESSION", L"TRUE");
                    if (user_session->GetSessionFeatureLevel() >= 6) made->set_feature_level(true);
                } else {
                    admin_session = KXAdminSession::Build();
                    admin_session->SetLoadAllUsersAtLogon(0);
                    if (security) enableSSOLogon(password, dbset, nullptr, admin_session.get());
                    admin_session->Logon(user.c_str(), password.c_str(), dbset.c_str());
                    made = std::make_shared<LoginSession>(admin_session, args.repository(), args.context_text());
                }
            } catch (...) {
                check.failed();
                if (made) {
                    made.reset(); // the login session unbuilds what it holds
                } else {
                    if (user_session) ignoring_failures([&] { user_session->Unbuild(); });
                    if (admin_session) ignoring_failures([&] { admin_session->Unbuild(); });
                }
                throw;
            }
        },
        [&](ProductFailure const &f) { refuse_login(f, dbset); });
    check.succeeded();
    // One user's sessions and the process's are bounded: past a bound the login is refused and
    // the session it made ends here.
    switch (add_login_session(made, (dbset + Nul::UString(L"/") + user).utf8_str().std_str())) {
    case SessionAdmission::admitted:
        break;
    case SessionAdmission::user_full:
        made.reset();
        login_forbidden(Reason::login_refused, Nul::UString(L"Too many sessions of this user; end one and try again."),
                        dbset);
    case SessionAdmission::process_full:
        made.reset();
        login_forbidden(Reason::login_refused, Nul::UString(L"Too many sessions on this server; try again later."),
                        dbset);
    }
    session_ = std::move(made);
}

LoginResp::~LoginResp() = default;

bool_t LoginResp::xdr(XDR *xdrs) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    if (xdrs->x_op != XDR_ENCODE) return FALSE;
    StateItemPtr item = session_;
    return xdr_state_handle(xdrs, item);
}

namespace {

// Compares a secret in time that does not depend on where the texts differ, so that the time a
// refusal takes tells nothing of how much of the token was right.
bool same_secret(Nul::UString const &given, Nul::UString const &stored) {
    std::string const a = given.utf8_str().std_str(), b = stored.utf8_str().std_str();
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < b.size(); ++i) diff |= static_cast<unsigned char>(b[i] ^ (i < a.size() ? a[i] : 0));
    return diff == 0;
}

} // namespace

bool LoginResp::enableSSOLogon(Nul::UString const &password, Nul::UString const &dbset, KXSession *user_session,
                               KXAdminSession *admin_session) {
    static Nul::UString const method(L"LoginResp::enableSSOLogon");
    if ((user_session == nullptr) == (admin_session == nullptr)) {
        trace_exception(method, L"Only one session type must be passed");
        return false;
    }
    Nul::UString stored = sso_password();
    if (stored.empty()) throw_login_exception(Reason::login_refused, kx_message(MSG_SSO_NOT_SUPPORTED), dbset);
    if (!same_secret(password, stored))
        throw_login_exception(Reason::login_refused, kx_message(MSG_SSO_UNKNOWN_PASSWORD), dbset);
    CString plain = AdDecryptStringMaybeUTF8(AdDecryptStringMaybeUTF8(CString(stored.c_str())));
    bool enabled = user_session != nullptr ? user_session->EnableSSOLogon(plain, dbset.c_str()) != 0
                                           : admin_session->EnableSSOLogon(plain, dbset.c_str()) != 0;
    if (!enabled) trace_exception(method, L"This dbset is not SSO enabled");
    return enabled;
}

std::unique_ptr<XdrObject> kxrpc_login(XdrObject *request) {
    LoginArgs *args = checked_cast<LoginArgs>(request);
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_login %s)", args->trace_line()); });
    return std::make_unique<LoginResp>(*args);
}

} // namespace KxRpc
