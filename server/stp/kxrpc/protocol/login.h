// Login: the request, the logon that its response performs, and the login session state item.
#pragma once

#include <memory>

#include "protocol/requests.h"
#include "protocol/stateitem.h"
#include "protocol/xdrobject.h"
#include "tesutil/ustring.h"
#include "kxproduct/session.h"

namespace KxRpc {

class LoginArgs : public ContextArg, public TraceInfo {
public:
    LoginArgs();
    ~LoginArgs() override;
    // Correlator, trace id, repository, user, password, locale, context text, security, client
    // host; then the locale is stored for the thread and the repository split.
    bool_t xdr(XDR *xdrs) override;
    Nul::UString arm_user_name() override { return user_; }
    Nul::UString arm_target_uri() override { return userdb_; }
    bool_t xdr_body(XDR *xdrs) override;
    // Never shows the password or the client host.
    Nul::UString trace_line() override;

    Nul::UString const &repository() const { return repository_; }
    Nul::UString const &dbset() const { return dbset_; }
    Nul::UString const &userdb() const { return userdb_; }
    Nul::UString const &user() const { return user_; }
    Nul::UString const &password() const { return password_; }
    Nul::UString const &client_host() const { return client_host_; }
    bool security() const { return security_; }

private:
    Nul::UString repository_;
    Nul::UString dbset_;
    Nul::UString userdb_;
    Nul::UString user_;
    Nul::UString password_;
    Nul::UString client_host_;
    bool security_ = false;
};

class LoginSession : public StateItem {
public:
    // A user login over its user session.
    LoginSession(KXSmartPtr<KXSession> const &user_session, Nul::UString const &repository,
                 Nul::UString const &context_text);
    // An administrator login over its admin session.
    LoginSession(KXSmartPtr<KXAdminSession> const &admin_session, Nul::UString const &repository,
                 Nul::UString const &context_text);
    ~LoginSession() override;

    // "repository(%s)" and the object texts of the sessions it has.
    virtual Nul::UString trace_text();

    // The user's product session; null for an administrator login.
    AdSession *session() const { return user_api_ ? user_api_->get() : nullptr; }
    KXSmartPtr<KXSession> const &user_session() const { return user_session_; }
    // The administrator session, logged on from the user's credentials on first use.
    KXSmartPtr<KXAdminSession> const &admin_session_ptr();
    AdSession *admin_api_session();
    Nul::UString repository() const { return repository_; }
    Nul::UString context_text() const { return context_text_; }
    bool feature_level() const { return feature_level_; }
    void set_feature_level(bool on) { feature_level_ = on; }
    bool has_admin_session() const { return has_admin_session_; }
    // The ARM user name for the application's ARM level.
    Nul::UString arm_user_name(int arm_level);

private:
    void admin_session();

    KXSmartPtr<KXSession> user_session_;
    KXSmartPtr<KXAdminSession> admin_session_;
    std::unique_ptr<AdSessionPtr> user_api_;
    std::unique_ptr<AdSessionPtr> admin_api_;
    Nul::UString repository_;
    bool feature_level_ = false;
    bool has_admin_session_ = false;
    Nul::UString context_text_;
};

class LoginResp : public XdrObject {
public:
    // Performs the logon; throws a LoginException (or the not-found error) on failure.
    explicit LoginResp(LoginArgs &args);
    ~LoginResp() override;
    // The session's state handle; registers the session on first send.
    bool_t xdr(XDR *xdrs) override;
    // Single sign-on for exactly one of the two sessions.
    virtual bool enableSSOLogon(Nul::UString const &password, Nul::UString const &dbset, KXSession *user_session,
                                KXAdminSession *admin_session);
    std::shared_ptr<LoginSession> const &session() const { return session_; }

private:
    std::shared_ptr<LoginSession> session_;
};

} // namespace KxRpc
