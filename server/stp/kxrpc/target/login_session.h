// The login session: the state item that a login registers and every session request names.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

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
    // The administrator session, logged on from the user's credentials on first use: once, even
    // when two connections use the session at the same time.
    KXSmartPtr<KXAdminSession> const &admin_session_ptr();
    AdSession *admin_api_session();
    Nul::UString repository() const { return repository_; }
    Nul::UString context_text() const { return context_text_; }
    bool feature_level() const { return feature_level_; }
    void set_feature_level(bool on) { feature_level_ = on; }
    bool has_admin_session() const { return has_admin_session_.load(std::memory_order_acquire); }
    // Refuses the call with the logon's refusal once the session's user is no longer active (or
    // gone), and ends the session with its items. Costs a read of the user only after some user's
    // active flag has changed.
    void refuse_if_user_inactive();
    // The ARM user name for the application's ARM level.
    Nul::UString arm_user_name(int arm_level);

private:
    void ensure_admin_session();
    void admin_session();

    KXSmartPtr<KXSession> user_session_;
    KXSmartPtr<KXAdminSession> admin_session_;
    std::unique_ptr<AdSessionPtr> user_api_;
    std::unique_ptr<AdSessionPtr> admin_api_;
    Nul::UString repository_;
    bool feature_level_ = false;
    // Set, after the members it guards, once the administrator session is there; never cleared.
    std::atomic<bool> has_admin_session_{false};
    std::mutex admin_mu_; // one logon of the administrator session at a time
    Nul::UString context_text_;
};

// Raises the login failure `reason_code` with the product's text for the database set.
[[noreturn]] void login_forbidden(Reason reason, Nul::UString const &text, Nul::UString const &dbset);

} // namespace KxRpc
