// The user databases of a database set, asked without a session: a database's description, and
// the databases a user may log on to (its password checked, and counted, when security is set).
#include "query/databases.h"

#include <optional>
#include <vector>

#include "kxproduct/exceptions.h"
#include "kxproduct/session.h"
#include "query/replies.h"
#include "query/requests.h"
#include "target/login_limit.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

constexpr std::size_t login_text_limit = 5000;

wchar_t const *const master_database = L"MASTR";

} // namespace

std::unique_ptr<XdrObject> kxrpc_get_userdb_description(XdrObject *request) {
    auto *args = checked_cast<GetUserDbDescriptionArgs>(request);
    trace_lazy(1,
               [&] { return Nul::UMessage::sprintf("Info: (kxrpc_get_userdb_description %s)", args->trace_line()); });
    // Looked up here rather than while the reply is written, so that a failure is an error reply.
    std::vector<KXSmartPtr<KXDatabase>> databases = product_call(
        [&] { return KXSession::Build()->GetAccessibleDatabases(master_database, CString(), cstr(args->dbset())); },
        [](ProductFailure const &f) {
            if (f.msg_id == KX_MSG_NOT_FOUND) throw_not_found(f.text_or_unknown());
            throw KXInternalErrorException(
                kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, Nul::UMessage::Arg(f.text_or_unknown())));
        });
    Nul::UString description;
    for (KXSmartPtr<KXDatabase> const &db : databases)
        if (db && !db->GetIsMaster() && ustr(db->GetDatabaseName()) == args->userdb())
            description = ustr(db->GetDescription()); // the last match wins
    return std::make_unique<GetUserDbDescriptionResp>(description);
}

std::unique_ptr<XdrObject> kxrpc_get_accessible_databases(XdrObject *request) {
    auto *args = checked_cast<GetAccessibleDatabasesArgs>(request);
    trace_lazy(1, [&] {
        return Nul::UMessage::sprintf("Info: (%s %s)", L"kxrpc_get_accessible_databases", args->trace_line());
    });
    CString password = cstr(args->password());
    // With security set the call checks a password: it counts with the logins' checks. Without,
    // it checks none, so there is nothing to guess.
    std::optional<PasswordCheck> check;
    if (args->security()) check.emplace(args->dbset(), args->username());
    KXSmartPtr<AdDatabaseDescSet> set = product_call(
        [&] {
            return AdSessionMgr::GetAccessibleDatabases(master_database, cstr(args->username()),
                                                        args->security() ? &password : nullptr, cstr(args->dbset()),
                                                        cstr(args->host()));
        },
        [&](ProductFailure const &f) {
            if (check) check->failed();
            Nul::UString text = f.text_or_unknown();
            if (text.length() > login_text_limit) text = text.substr(0, login_text_limit);
            Reason reason = Reason::login_refused;
            if (f.kind != ProductFailure::C_EXCEPTION && f.msg_id == KX_MSG_CONNECTION_FAILED) {
                trace_exception(L"kxrpc_get_accessible_databases", L"Failed to connect");
                reason = Reason::login_forbidden;
            }
            throw_login_exception(reason, kx_message(MSG_LOGIN_FORBIDDEN, Nul::UMessage::Arg(text)), args->dbset());
        });
    if (check) check->succeeded();
    std::vector<Nul::UString> names, descriptions;
    int const count = set ? set->GetLength() : 0;
    for (int i = 0; i < count; ++i) {
        KXSmartPtr<KXDatabaseDesc> db = set->GetItem(i);
        // Listed: a user database the user may log on to; the pair is its name and description.
        if (!db || db->IsMaster() || !db->IsAccessible()) continue;
        names.push_back(ustr(db->GetDatabaseName()));
        descriptions.push_back(ustr(db->GetDescription()));
    }
    return std::make_unique<GetAccessibleDatabasesResp>(names, descriptions);
}

} // namespace KxRpc
