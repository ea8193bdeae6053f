// The login session: the state item that a login registers and every session request names.
#pragma once

#include <memory>

#include "kxproduct/session.h"
#include "tesutil/ustring.h"
#include "wire/exceptions.h"
#include "wire/handles.h"

namespace KxRpc {

class LoginSession : public StateItem {
public:
    // A user login over its user session.
    LoginSession(KXSmartPtr<KXSession> const &user_session, Nul::UString const &repository,
                 Nul::UString const &context_text);
    // An administrator login over its admin session.
    LoginSession(KXSmartPtr<KXAdminSession> const &admin_session, Nul::UString const &repository,
                 Nul::UString const &context_text);
    ~LoginSession() override;
    bool is_login_session() const override { return true; }

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

// Raises the login failure `reason_code` with the product's text for the database set.
[[noreturn]] void login_forbidden(Reason reason, Nul::UString const &text, Nul::UString const &dbset);

} // namespace KxRpc
