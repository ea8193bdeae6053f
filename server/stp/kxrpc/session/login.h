// Login: the request, the logon that its response performs, and the handler.
#pragma once

#include <memory>

#include "kxproduct/session.h"
#include "target/login_session.h"
#include "target/requests.h"
#include "tesutil/ustring.h"
#include "wire/handles.h"
#include "wire/xdrobject.h"

namespace KxRpc {

class LoginArgs : public ArmCorrelatorArg {
public:
    LoginArgs();
    ~LoginArgs() override;
    Nul::UString arm_user_name() override { return user_; }
    Nul::UString arm_target_uri() override { return userdb_; }
    // Never shows the password or the client host.
    Nul::UString trace_line() const;

    int wtid() const { return trace_.wtid; }
    Nul::UString client_locale() const { return context_.client_locale; }
    Nul::UString context_text() const { return context_.context_text; }
    Nul::UString const &repository() const { return repository_; }
    Nul::UString const &dbset() const { return dbset_; }
    Nul::UString const &userdb() const { return userdb_; }
    Nul::UString const &user() const { return user_; }
    Nul::UString const &password() const { return password_; }
    Nul::UString const &client_host() const { return client_host_; }
    bool security() const { return security_; }

protected:
    // Correlator, trace id, repository, user, password, locale, context text, security, client
    // host; then the locale is stored for the thread and the repository split.
    bool_t decode(XDR *xdrs) override;

private:
    TraceInfo trace_;
    ContextArg context_;
    Nul::UString repository_;
    Nul::UString dbset_;
    Nul::UString userdb_;
    Nul::UString user_;
    Nul::UString password_;
    Nul::UString client_host_;
    bool security_ = false;
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

// The handler of procedure 5.
std::unique_ptr<XdrObject> kxrpc_login(XdrObject *request);

} // namespace KxRpc
