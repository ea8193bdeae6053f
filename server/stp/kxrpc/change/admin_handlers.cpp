// Handlers of the administration procedures: every product failure is read, deleted and turned
// into the call's error before any reply byte is written.
#include "wire/conversions.h"
#include "change/admin_handlers.h"

#include <vector>

#include "change/admin.h"
#include "change/requests.h"
#include "props/userprops.h"
#include "kxproduct/entity.h"
#include "kxproduct/exceptions.h"
#include "kxproduct/session.h"
#include "kxwin/cexception.h"
#include "query/replies.h"
#include "query/requests.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"
#include "target/held_items.h"
#include "target/login_session.h"
#include "target/target.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

constexpr int msg_upgrade_failed = 143;        // "Failed to upgrade user information: %s"
constexpr int msg_revert_not_actionable = 145; // "Only actionable resources are legal for Revert"
constexpr int msg_revert_failed = 146;         // "Error during revert of a record: %s"
constexpr int msg_no_create_permission = 151;  // "You do not have permission to create a user."
constexpr int msg_create_user_failed = 152;    // "The attempt to create a user failed; got: %s"

// A second product message id of refused user creation, beside KX_MSG_NO_PERMISSION_CREATE_USER.
constexpr int product_no_user_admin = 13243;

constexpr std::size_t login_text_limit = 5000;

wchar_t const *const master_database = L"MASTR";

Nul::UString from_cstring(CString const &s) { return Nul::UString(s.GetString()); }

// A caught product failure, already deleted.
struct ProductFailure {
    enum Kind { PRODUCT, MESSAGE, CLASS_LIBRARY, OTHER };
    Kind kind = OTHER;
    int id = 0; // the product's message id; of a message exception its first message's
    Nul::UString text;
};

// Inside a catch block: a failure of the server's own family goes on unchanged; any other is
// read, deleted exactly once and answered.
ProductFailure take_product_failure() {
    ProductFailure f;
    try {
        throw;
    } catch (Nul::STPException &) {
        throw;
    } catch (KXException *e) {
        f.kind = ProductFailure::PRODUCT;
        f.id = e->GetMsgId();
        f.text = from_cstring(e->GetErrorString());
        e->Delete();
    } catch (PaMsgException *e) {
        f.kind = ProductFailure::MESSAGE;
        if (PaMessage const *first = e->GetCount() > 0 ? e->First() : nullptr) {
            f.id = first->GetID();
            f.text = from_cstring(first->GetMsg());
        }
        e->Delete();
    } catch (CException *e) {
        f.kind = ProductFailure::CLASS_LIBRARY;
        f.text = take_cexception_text(e);
    } catch (...) {
        f.text = Nul::UString(unknown_error_text);
    }
    if (f.text.empty()) f.text = Nul::UString(unknown_error_text);
    return f;
}

// Runs a product call; its failure goes to `fail`, which must throw.
template <class Call, class Fail>
auto product_call(Call &&call, Fail &&fail) -> decltype(call()) {
    try {
        return call();
    } catch (...) {
        fail(take_product_failure());
        throw; // not reached: fail throws
    }
}

[[noreturn]] void raise_message(int code, Nul::UMessage const &message) {
    Nul::STPException::raise(reason(code), message, nullptr, nullptr, Nul::STPException::LOG_INFO);
}

// Failures the handler has no message of its own for: a named database or replica that does not
// exist is not found, anything else an unexpected server error with the product's text.
[[noreturn]] void raise_unexpected(ProductFailure const &f) {
    if (f.id == KX_MSG_NOT_FOUND) throw_not_found(f.text);
    throw KXInternalErrorException(kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, Nul::UMessage::Arg(f.text)));
}

} // namespace

bool kxrpc_upgrade_databases(XdrObject *request, XdrObject **result) {
    auto *args = checked_cast<UpgradeDatabasesArgs>(request);
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_upgrade_databases %s)", args->describe()); });
    KXSmartPtr<KXUser> user = args->target().user(args->session_or_fail());
    std::vector<CString> lines = product_call([&] { return user->UpgradeInfo(); },
                                              [](ProductFailure const &f) {
                                                  Nul::UMessage message =
                                                      kx_message(msg_upgrade_failed, Nul::UMessage::Arg(f.text));
                                                  if (f.kind == ProductFailure::MESSAGE) throw_internal_error(message);
                                                  raise_message(40, message);
                                              });
    std::vector<Nul::UString> report;
    report.reserve(lines.size());
    for (CString const &line : lines) report.push_back(from_cstring(line));
    *result = new UpgradeDatabasesResp(report);
    return true;
}

bool kxrpc_get_userdb_description(XdrObject *request, XdrObject **result) {
    auto *args = checked_cast<GetUserDbDescriptionArgs>(request);
    trace_lazy(1,
               [&] { return Nul::UMessage::sprintf("Info: (kxrpc_get_userdb_description %s)", args->trace_line()); });
    // Looked up here rather than while the reply is written, so that a failure is an error reply.
    std::vector<KXSmartPtr<KXDatabase>> databases = product_call(
        [&] { return KXSession::Build()->GetAccessibleDatabases(master_database, CString(), cstr(args->dbset())); },
        [](ProductFailure const &f) { raise_unexpected(f); });
    Nul::UString description;
    for (KXSmartPtr<KXDatabase> const &db : databases)
        if (db && !db->GetIsMaster() && from_cstring(db->GetDatabaseName()) == args->userdb())
            description = from_cstring(db->GetDescription()); // the last match wins
    *result = new GetUserDbDescriptionResp(description);
    return true;
}

bool kxrpc_get_accessible_databases(XdrObject *request, XdrObject **result) {
    auto *args = checked_cast<GetAccessibleDatabasesArgs>(request);
    trace_lazy(1, [&] {
        return Nul::UMessage::sprintf("Info: (%s %s)", L"kxrpc_get_accessible_databases", args->trace_line());
    });
    CString password = cstr(args->password());
    KXSmartPtr<AdDatabaseDescSet> set = product_call(
        [&] {
            return AdSessionMgr::GetAccessibleDatabases(master_database, cstr(args->username()),
                                                        args->security() ? &password : nullptr, cstr(args->dbset()),
                                                        cstr(args->host()));
        },
        [&](ProductFailure const &f) {
            Nul::UString text = f.text.length() > login_text_limit ? f.text.substr(0, login_text_limit) : f.text;
            int code = 47;
            if (f.kind != ProductFailure::CLASS_LIBRARY && f.id == KX_MSG_CONNECTION_FAILED) {
                trace_exception(L"kxrpc_get_accessible_databases", L"Failed to connect");
                code = 18;
            }
            throw_login_exception(code, kx_message(MSG_LOGIN_FORBIDDEN, Nul::UMessage::Arg(text)), args->dbset());
        });
    std::vector<Nul::UString> names, descriptions;
    int const count = set ? set->GetLength() : 0;
    for (int i = 0; i < count; ++i) {
        KXSmartPtr<KXDatabaseDesc> db = set->GetItem(i);
        // Listed: a user database the user may log on to; the pair is its name and description.
        if (!db || db->IsMaster() || !db->IsAccessible()) continue;
        names.push_back(from_cstring(db->GetDatabaseName()));
        descriptions.push_back(from_cstring(db->GetDescription()));
    }
    *result = new GetAccessibleDatabasesResp(names, descriptions);
    return true;
}

bool kxrpc_revert_record(XdrObject *request, XdrObject **result) {
    auto *args = checked_cast<RevertRecordArgs>(request);
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_revert_record %s)", args->describe()); });
    // Only a record held for editing can be reverted; any other target is refused, not guessed at.
    if (!args->is_state_item_target()) throw_internal_error(kx_message(msg_revert_not_actionable));
    auto *item = checked_cast<RecordStateItem>(args->state_item_or_fail());
    AdEntityPtr record = item->entity();
    product_call(
        [&] {
            if (!record || !record->IsEditable()) throw_internal_error(kx_message(msg_revert_not_actionable));
            record->Revert();
        },
        [](ProductFailure const &f) {
            Nul::UMessage message = kx_message(msg_revert_failed, Nul::UMessage::Arg(f.text));
            if (f.kind == ProductFailure::PRODUCT) raise_message(4, message);
            trace_exception(L"kxrpc_revert_record", f.text);
            throw_internal_error(message);
        });
    *result = new XdrVoid();
    return true;
}

bool kxrpc_kx_masterproperty(XdrObject *request, XdrObject **result) {
    auto *args = checked_cast<MasterPropertyArgs>(request);
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_kx_masterproperty %s)", args->trace_line()); });
    enum Action { GET, SET, UNSET } action = GET;
    Nul::UString const name = args->action_name();
    if (name == Nul::UString(L"GET_VALUE"))
        action = GET;
    else if (args->use_user_session())
        raise_message(33, kx_message(MSG_INTERNAL_ERROR,
                                     Nul::UMessage::Arg(L"Only the action 'GET_VALUE' is supported on user-session")));
    else if (name == Nul::UString(L"SET_VALUE"))
        action = SET;
    else if (name == Nul::UString(L"UNSET_VALUE"))
        action = UNSET;
    else
        raise_message(33, kx_message(MSG_INTERNAL_ERROR,
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
    *result = new MasterPropertyResp(0, from_cstring(value));
    return true;
}

bool kxrpc_create_user(XdrObject *request, XdrObject **result) {
    auto *args = dynamic_cast<CreateUserArgs *>(request);
    if (args == nullptr) raise_cast_failure(Nul::UMessage::Arg(type_name<CreateUserArgs>()));
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_create_user %s)", args->describe()); });
    LoginSession *login = args->session_or_fail();
    KXSmartPtr<KXAdminSession> admin = login->admin_session_ptr();
    // The new user has no password: it cannot log on until a put below (or later) sets one, so a
    // call that fails after this point leaves no account that opens with an empty password.
    KXSmartPtr<KXUser> user = product_call([&] { return admin->CreateUser(cstr(args->name())); },
                                           [](ProductFailure const &f) {
                                               if (f.id == KX_MSG_NO_PERMISSION_CREATE_USER)
                                                   raise_message(73, kx_message(msg_no_create_permission));
                                               if (f.id == product_no_user_admin)
                                                   raise_message(4, kx_message(msg_no_create_permission));
                                               raise_message(4, kx_message(msg_create_user_failed, Nul::UMessage::Arg(f.text)));
                                           });
    auto props = std::make_unique<UserProps>(login, user);
    props->set_dynamic_props(args->dynamic_props());
    *result = new CreateUserResp(std::move(props), args->values(), args->register_callback());
    return true;
}

} // namespace KxRpc
