// The login session: the state item that a login registers and every session request names.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

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
    bool has_admin_session() const { return admin_.load(std::memory_order_acquire) != nullptr; }
    // Before a call is served: the user's access as the set holds it now, whichever process
    // changed it. A user no longer active (or gone) is refused as his logon is, and the session
    // ends with its items; an administrator login whose user lost his administrator rights is
    // refused the call; a user login's administrator session whose user lost them is dropped, and
    // the next use logs on anew (and is refused). Costs a look at the set's data version unless
    // some process changed a user's access since.
    void check_access() override;
    // The ARM user name for the application's ARM level.
    Nul::UString arm_user_name(int arm_level);

private:
    // An administrator session, never changed once published. A dropped one stays (ended) until
    // the login session goes, because a call on another connection may still hold it.
    struct Admin {
        KXSmartPtr<KXAdminSession> session;
        std::unique_ptr<AdSessionPtr> api;
    };
    Admin &ensure_admin_session();
    Admin &admin_session();
    void drop_admin_session(Admin *seen);

    KXSmartPtr<KXSession> user_session_;
    std::unique_ptr<AdSessionPtr> user_api_;
    Nul::UString repository_;
    bool feature_level_ = false;
    // Published with release order once built and whole; null while there is none.
    std::atomic<Admin *> admin_{nullptr};
    std::mutex admin_mu_;                        // one logon or drop at a time
    std::vector<std::unique_ptr<Admin>> admins_; // every one built, under admin_mu_
    Nul::UString context_text_;
};

// Raises the login failure `reason_code` with the product's text for the database set.
[[noreturn]] void login_forbidden(Reason reason, Nul::UString const &text, Nul::UString const &dbset);

} // namespace KxRpc
