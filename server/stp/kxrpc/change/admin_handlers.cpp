// Handlers of the administration procedures: every product failure is read, deleted and turned
// into the call's error before any reply byte is written.
#include "change/admin_handlers.h"
#include "wire/conversions.h"

#include <vector>

#include "change/admin.h"
#include "change/requests.h"
#include "kxproduct/entity.h"
#include "kxproduct/exceptions.h"
#include "kxproduct/session.h"
#include "kxwin/cexception.h"
#include "props/userprops.h"
#include "target/held_items.h"
#include "target/login_session.h"
#include "target/target.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

// A second product message id of refused user creation, beside KX_MSG_NO_PERMISSION_CREATE_USER.
constexpr int product_no_user_admin = 13243;

// Failures the handler has no message of its own for: a named database or replica that does not
// exist is not found, anything else an unexpected server error with the product's text.
[[noreturn]] void raise_unexpected(ProductFailure const &f) {
    if (f.msg_id == KX_MSG_NOT_FOUND) throw_not_found(f.text_or_unknown());
    throw KXInternalErrorException(kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, Nul::UMessage::Arg(f.text_or_unknown())));
}

} // namespace

std::unique_ptr<XdrObject> kxrpc_upgrade_databases(XdrObject *request) {
    auto *args = checked_cast<UpgradeDatabasesArgs>(request);
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_upgrade_databases %s)", args->describe()); });
    KXSmartPtr<KXUser> user = args->target().user(args->session_or_fail());
    std::vector<CString> lines = product_call([&] { return user->UpgradeInfo(); },
                                              [](ProductFailure const &f) {
                                                  Nul::UMessage message = kx_message(
                                                      MSG_UPGRADE_FAILED, Nul::UMessage::Arg(f.text_or_unknown()));
                                                  if (f.kind == ProductFailure::PA_MSG_EXCEPTION)
                                                      throw_internal_error(message);
                                                  raise_reason(Reason::internal_error, message);
                                              });
    std::vector<Nul::UString> report;
    report.reserve(lines.size());
    for (CString const &line : lines) report.push_back(ustr(line));
    return std::make_unique<UpgradeDatabasesResp>(report);
}

std::unique_ptr<XdrObject> kxrpc_revert_record(XdrObject *request) {
    auto *args = checked_cast<RevertRecordArgs>(request);
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_revert_record %s)", args->describe()); });
    // Only a record held for editing can be reverted; any other target is refused, not guessed at.
    if (!args->is_state_item_target()) throw_internal_error(kx_message(MSG_REVERT_NOT_ACTIONABLE));
    auto *item = checked_cast<RecordStateItem>(args->state_item_or_fail());
    AdEntityPtr record = item->entity();
    product_call(
        [&] {
            if (!record || !record->IsEditable()) throw_internal_error(kx_message(MSG_REVERT_NOT_ACTIONABLE));
            record->Revert();
        },
        [](ProductFailure const &f) {
            Nul::UMessage message = kx_message(MSG_REVERT_FAILED, Nul::UMessage::Arg(f.text_or_unknown()));
            if (f.kind == ProductFailure::KX_EXCEPTION) raise_reason(Reason::illegal_value, message);
            trace_exception(L"kxrpc_revert_record", f.text_or_unknown());
            throw_internal_error(message);
        });
    return std::make_unique<XdrVoid>();
}

std::unique_ptr<XdrObject> kxrpc_kx_masterproperty(XdrObject *request) {
    auto *args = checked_cast<MasterPropertyArgs>(request);
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_kx_masterproperty %s)", args->trace_line()); });
    enum Action { GET, SET, UNSET } action = GET;
    Nul::UString const name = args->action_name();
    if (name == Nul::UString(L"GET_VALUE"))
        action = GET;
    else if (args->use_user_session())
        raise_reason(Reason::illegal_request,
                     kx_message(MSG_INTERNAL_ERROR,
                                Nul::UMessage::Arg(L"Only the action 'GET_VALUE' is supported on user-session")));
    else if (name == Nul::UString(L"SET_VALUE"))
        action = SET;
    else if (name == Nul::UString(L"UNSET_VALUE"))
        action = UNSET;
    else
        raise_reason(Reason::illegal_request,
                     kx_message(MSG_INTERNAL_ERROR,
                                Nul::UMessage::Arg(Nul::UMessage::sprintf("Unrecognized action: %s", name))));
    LoginSession *login = args->session_or_fail();
    CString property = cstr(args->property_name()), database = cstr(args->db_name()),
            replica = cstr(args->replica_name());
    auto fail = [](ProductFailure const &f) { raise_unexpected(f); };
    CString value;
    if (args->use_user_session()) {
        args->api_session_or_fail(); // an administrator login has no user session
        KXSmartPtr<KXSession> user = login->user_session();
        value = product_call([&] { return user->GetMasterPropertyValueEx(property, database, replica); }, fail);
    } else {
        KXSmartPtr<KXAdminSession> admin = login->admin_session_ptr();
        product_call(
            [&] {
                if (action == GET)
                    value = admin->GetMasterProperty(property, database, replica);
                else if (action == SET)
                    admin->SetMasterProperty(property, cstr(args->property_value()), database, replica);
                else
                    admin->UnsetMasterProperty(property, database, replica);
            },
            fail);
    }
    return std::make_unique<MasterPropertyResp>(0, ustr(value));
}

std::unique_ptr<XdrObject> kxrpc_create_user(XdrObject *request) {
    auto *args = dynamic_cast<CreateUserArgs *>(request);
    if (args == nullptr) raise_cast_failure(Nul::UMessage::Arg(type_name<CreateUserArgs>()));
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_create_user %s)", args->describe()); });
    LoginSession *login = args->session_or_fail();
    KXSmartPtr<KXAdminSession> admin = login->admin_session_ptr();
    // The new user has no password: it cannot log on until a put below (or later) sets one, so a
    // call that fails after this point leaves no account that opens with an empty password.
    KXSmartPtr<KXUser> user =
        product_call([&] { return admin->CreateUser(cstr(args->name())); },
                     [](ProductFailure const &f) {
                         if (f.msg_id == KX_MSG_NO_PERMISSION_CREATE_USER)
                             raise_reason(Reason::already_exists, kx_message(MSG_NO_CREATE_PERMISSION));
                         if (f.msg_id == product_no_user_admin)
                             raise_reason(Reason::illegal_value, kx_message(MSG_NO_CREATE_PERMISSION));
                         raise_reason(Reason::illegal_value,
                                      kx_message(MSG_CREATE_USER_FAILED, Nul::UMessage::Arg(f.text_or_unknown())));
                     });
    auto props = std::make_unique<UserProps>(login, user);
    props->set_dynamic_props(args->dynamic_props());
    return std::make_unique<CreateUserResp>(std::move(props), args->values(), args->register_callback());
}

} // namespace KxRpc
