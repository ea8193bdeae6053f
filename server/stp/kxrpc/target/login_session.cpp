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
    : admin_session_(admin_session), admin_api_(std::make_unique<AdSessionPtr>(admin_session->GetReal())),
      repository_(repository), has_admin_session_(true), context_text_(context_text) {}

LoginSession::~LoginSession() {
    // The direct downloads it asked for go with it; its other files go with its items.
    remove_session_downloads(oid());
    if (user_api_) {
        ignoring_failures([&] { user_api_.reset(); });
        ignoring_failures([&] { user_session_->Unbuild(); });
    }
    if (has_admin_session()) {
        ignoring_failures([&] { admin_api_.reset(); });
        ignoring_failures([&] { admin_session_->Unbuild(); });
    }
    ignoring_failures([&] { user_session_ = KXSmartPtr<KXSession>(); });
    ignoring_failures([&] { admin_session_ = KXSmartPtr<KXAdminSession>(); });
}

Nul::UString LoginSession::trace_text() {
    Nul::UString text = Nul::UString(L"repository(") + repository_ + Nul::UString(L")");
    if (user_session_) text += Nul::UString(L" ") + trace_object_text(L"KXSession", user_session_.get());
    if (has_admin_session()) text += Nul::UString(L" ") + trace_object_text(L"KXAdminSession", admin_session_.get());
    return text;
}

KXSmartPtr<KXAdminSession> const &LoginSession::admin_session_ptr() {
    ensure_admin_session();
    return admin_session_;
}

AdSession *LoginSession::admin_api_session() {
    ensure_admin_session();
    return admin_api_ ? admin_api_->get() : nullptr;
}

void LoginSession::ensure_admin_session() {
    if (has_admin_session()) return;
    // A second caller waits for the first logon rather than making one of its own; a failed
    // logon leaves the flag clear and the next caller tries again.
    std::lock_guard<std::mutex> lock(admin_mu_);
    if (!has_admin_session_.load(std::memory_order_relaxed)) admin_session();
}

void LoginSession::refuse_if_user_inactive() {
    // The session the login made: an administrator login's own never changes after it.
    AdSession *own = user_api_ ? user_api_->get() : admin_api_ ? admin_api_->get() : nullptr;
    if (own == nullptr) return;
    std::optional<ProductFailure> const failure = failure_of([&] { own->CheckSessionUserActive(); });
    if (!failure) return;
    if (failure->kind != ProductFailure::KX_EXCEPTION || failure->msg_id != KX_MSG_LOGIN_FAILED)
        raise_unexpected(*failure, L"LoginSession::refuse_if_user_inactive");
    // Its items end with it; the call's own reference keeps it alive until the call is answered.
    remove_pointer_entry(oid());
    Nul::UString const dbset = repository_.substr(0, repository_.find(L'/'));
    login_forbidden(Reason::login_refused, failure->text_or_unknown(), dbset);
}

void LoginSession::admin_session() {
    Nul::UString dbset;
    KXSmartPtr<KXAdminSession> admin;
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
                admin_api_ = std::make_unique<AdSessionPtr>(admin->GetReal());
                admin_session_ = admin;
                has_admin_session_.store(true, std::memory_order_release);
            },
            [&](ProductFailure const &f) {
                login_forbidden(Reason::login_refused, f.has_error_string() ? f.text : Nul::UString(unknown_error_text),
                                dbset);
            });
    } catch (...) {
        // A half-built administrator session is not kept; the next use tries again.
        if (admin) ignoring_failures([&] { admin->Unbuild(); });
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
