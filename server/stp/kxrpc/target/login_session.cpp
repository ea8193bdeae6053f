#include "target/login_session.h"

#include "files/downloads.h"
#include "kxproduct/crypt.h"
#include "kxproduct/exceptions.h"
#include "tesutil/umessage.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/locale.h"
#include "wire/product_failure.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

void login_forbidden(Reason reason, Nul::UString const &text, Nul::UString const &dbset) {
    throw_login_exception(reason, kx_message(MSG_LOGIN_FORBIDDEN, Nul::UMessage::Arg(text)), dbset);
}

// ---- LoginSession

LoginSession::LoginSession(KXSmartPtr<KXSession> const &user_session, Nul::UString const &repository,
                           Nul::UString const &context_text)
    : user_session_(user_session), user_api_(std::make_unique<AdSessionPtr>(user_session->GetReal())),
      repository_(repository), context_text_(context_text) {}

LoginSession::LoginSession(KXSmartPtr<KXAdminSession> const &admin_session, Nul::UString const &repository,
                           Nul::UString const &context_text)
    : repository_(repository), context_text_(context_text) {
    admins_.push_back(
        std::make_unique<Admin>(Admin{admin_session, std::make_unique<AdSessionPtr>(admin_session->GetReal())}));
    admin_.store(admins_.back().get(), std::memory_order_release);
}

LoginSession::~LoginSession() {
    // The direct downloads it asked for go with it; its other files go with its items.
    remove_session_downloads(oid());
    if (user_api_) {
        ignoring_failures([&] { user_api_.reset(); });
        ignoring_failures([&] { user_session_->Unbuild(); });
    }
    for (auto &admin : admins_) {
        ignoring_failures([&] { admin->api.reset(); });
        ignoring_failures([&] { admin->session->Unbuild(); });
        ignoring_failures([&] { admin->session = KXSmartPtr<KXAdminSession>(); });
    }
    ignoring_failures([&] { user_session_ = KXSmartPtr<KXSession>(); });
}

Nul::UString LoginSession::trace_text() {
    Nul::UString text = Nul::UString(L"repository(") + repository_ + Nul::UString(L")");
    if (user_session_) text += Nul::UString(L" ") + trace_object_text(L"KXSession", user_session_.get());
    if (Admin const *admin = admin_.load(std::memory_order_acquire))
        text += Nul::UString(L" ") + trace_object_text(L"KXAdminSession", admin->session.get());
    return text;
}

KXSmartPtr<KXAdminSession> const &LoginSession::admin_session_ptr() { return ensure_admin_session().session; }

AdSession *LoginSession::admin_api_session() {
    Admin &admin = ensure_admin_session();
    return admin.api ? admin.api->get() : nullptr;
}

LoginSession::Admin &LoginSession::ensure_admin_session() {
    if (Admin *admin = admin_.load(std::memory_order_acquire)) return *admin;
    // A second caller waits for the first logon rather than making one of its own; a failed
    // logon leaves none and the next caller tries again.
    std::lock_guard<std::mutex> lock(admin_mu_);
    if (Admin *admin = admin_.load(std::memory_order_relaxed)) return *admin;
    return admin_session();
}

void LoginSession::drop_admin_session(Admin *seen) {
    std::lock_guard<std::mutex> lock(admin_mu_);
    if (admin_.load(std::memory_order_relaxed) != seen) return; // dropped or rebuilt meanwhile
    admin_.store(nullptr, std::memory_order_release);
    // Ended: a call that still holds it is refused by the product from now on.
    ignoring_failures([&] { seen->session->Unbuild(); });
}

void LoginSession::check_access() {
    Admin *const admin = admin_.load(std::memory_order_acquire);
    // The session the login made: an administrator login's own is never dropped.
    AdSession *own = user_api_ ? user_api_->get() : admin ? admin->api->get() : nullptr;
    if (own == nullptr) return;
    std::optional<ProductFailure> const failure = failure_of([&] { own->CheckSessionUserActive(); });
    if (failure && failure->kind == ProductFailure::KX_EXCEPTION && failure->msg_id == KX_MSG_LOGIN_FAILED) {
        // Its items end with it; the call's own reference keeps it alive until the call is answered.
        remove_pointer_entry(oid());
        Nul::UString const dbset = repository_.substr(0, repository_.find(L'/'));
        login_forbidden(Reason::login_refused, failure->text_or_unknown(), dbset);
    }
    if (failure && is_privilege_refusal(*failure)) raise_refusal(*failure);
    if (failure) raise_unexpected(*failure, L"LoginSession::check_access");
    if (!user_api_ || admin == nullptr) return;
    // The user's administrator session answers for his administrator rights.
    std::optional<ProductFailure> const rights = failure_of([&] { (*admin->api)->CheckSessionUserActive(); });
    if (!rights) return;
    // Ended: a call on another connection dropped it meanwhile.
    bool const ended = rights->kind == ProductFailure::KX_EXCEPTION && rights->msg_id == KX_MSG_SESSION_ENDED;
    if (!ended && !is_privilege_refusal(*rights)) raise_unexpected(*rights, L"LoginSession::check_access");
    drop_admin_session(admin);
}

LoginSession::Admin &LoginSession::admin_session() {
    Nul::UString dbset;
    KXSmartPtr<KXAdminSession> admin;
    Admin *made = nullptr;
    try {
        product_call(
            [&] {
                if (!user_session_ || !user_api_) throw_internal_error(L"Invalid Pointer");
                Nul::UString login = ustr(user_session_->GetAuthenticationLoginName());
                Nul::UString password = ustr((*user_api_)->GetSessionUserPassword());
                dbset = ustr((*user_api_)->GetSessionDbSetName());
                admin = KXAdminSession::Build();
                admin->SetLoadAllUsersAtLogon(0);
                admin->Logon(login.c_str(), password.c_str(), dbset.c_str());
                auto built = std::make_unique<Admin>(Admin{admin, std::make_unique<AdSessionPtr>(admin->GetReal())});
                admins_.push_back(std::move(built));
                made = admins_.back().get();
                admin_.store(made, std::memory_order_release);
            },
            [&](ProductFailure const &f) {
                login_forbidden(Reason::login_refused, f.has_error_string() ? f.text : Nul::UString(unknown_error_text),
                                dbset);
            });
        return *made;
    } catch (...) {
        // A half-built administrator session is not kept; the next use tries again.
        if (admin && made == nullptr) ignoring_failures([&] { admin->Unbuild(); });
        throw;
    }
}

Nul::UString LoginSession::arm_user_name(int arm_level) {
    if (!user_api_) return Nul::UString();
    Nul::UString name;
    ignoring_failures([&] {
        if (arm_level == 1 || arm_level == 2)
            name = ustr((*user_api_)->GetSessionUserLoginName());
        else if (arm_level == 3)
            name = ustr((*user_api_)->GetSessionUserFullName());
    });
    return name;
}

} // namespace KxRpc
