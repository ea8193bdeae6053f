#include "query/lookups.h"
#include "wire/conversions.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

#include "kxproduct/entity.h"
#include "kxproduct/metadata.h"
#include "kxproduct/session.h"
#include "query/replies.h"
#include "query/requests.h"
#include "target/login_session.h"
#include "target/records.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {
// A decimal serial number of the product; anything else is a server error.
unsigned serial_number(CString const &text) {
    std::string s = text.ToUtf8();
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || errno != 0 || v > 0xffffffffUL)
        throw_internal_error(Nul::UString(L"Bad oplog serial number: ") + ustr(text));
    return static_cast<unsigned>(v);
}

} // namespace

int entity_kind_of_find_mode(int find_mode) {
    switch (find_mode) {
    case 837:
        return 3;
    case 838:
        return 1;
    case 839:
        return 2;
    default:
        return 0;
    }
}

// ---- find_record

std::unique_ptr<XdrObject> kxrpc_find_record(XdrObject *request) {
    auto *args = checked_cast<FindRecordArgs>(request);
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_find_record %s)", args->describe()); });
    AdSessionPtr session = args->api_session_or_fail();
    int kind = entity_kind_of_find_mode(args->find_mode());
    if (kind == 0) raise_reason(Reason::illegal_value, kx_message(MSG_ILLEGAL_VALUE, Nul::UString(L"find_mode")));
    AdEntityPtr record = product_call(
        [&] {
            std::vector<CString> names;
            for (auto it = args->locs_begin(); it != args->locs_end(); ++it)
                names.push_back(it->record_type(session.get())->GetName());
            AdEntityPtr found;
            CString error;
            int status = 0;
            if (args->is_dbid()) {
                if (AdEntityDef *def = GetEntityDefOfDbId(session, args->dbid(), names, kind))
                    status =
                        AdEntityMgr::Get(session)->LookupEntityByDbIdWithStatus(def, args->dbid(), found, error, 1);
            } else if (AdEntityDef *def = GetEntityDefOfName(session, cstr(args->name()), names, kind)) {
                status = AdEntityMgr::Get(session)->LookupEntityWithStatus(def, cstr(args->name()), found, error, 1);
            }
            check_record_lookup_status(status, ustr(error));
            return found;
        },
        [](ProductFailure const &f) { throw_internal_error(kx_message(MSG_FIND_FAILED, f.text)); });
    return std::make_unique<FindRecordResp>(record);
}

// ---- get_oplog_entries

std::unique_ptr<XdrObject> kxrpc_get_oplog_entries(XdrObject *request) {
    auto *args = checked_cast<GetOplogEntriesArgs>(request);
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_get_oplog_entries %s)", args->trace_line()); });
    AdSession *session = args->api_session_or_fail();
    KXSmartPtr<KXSession> user = args->session_or_fail()->user_session();
    bool enabled = product_call(
        [&] { return session->IsActionOplogEnabled() != 0; },
        [](ProductFailure const &f) { throw_internal_error(kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, f.text)); });
    if (!enabled) raise_reason(Reason::illegal_value, kx_message(MSG_OPLOG_DISABLED));
    CString first_text, last_text;
    product_call([&] { user->GetOplogSerialNumberRange(first_text, last_text); },
                 [](ProductFailure const &f) {
                     raise_reason(Reason::insufficient_privilege,
                                  kx_message(MSG_INSUFFICIENT_PRIVILEGE_FOR_OPERATION, f.text));
                 });
    unsigned first = serial_number(first_text), last = serial_number(last_text);
    trace_lazy(1, [&] {
        return Nul::UMessage::sprintf("Info: (kxrpc_get_oplog_entries oplog serial number range start:%d end:%d)",
                                      static_cast<long long>(first), static_cast<long long>(last));
    });
    if (first > args->start() || args->start() > last)
        raise_reason(Reason::illegal_request, kx_message(MSG_ILLEGAL_SERIAL));
    // The product hands out a bounded number of entries whatever the count says.
    std::vector<std::string> lines =
        product_call([&] { return user->GetOplogsUtf8(args->start(), args->count(), args->asxml() ? 2 : 1); },
                     [](ProductFailure const &f) { throw_internal_error(f.text); });
    for (std::string &line : lines) line.resize(utf8_text(line).size());
    return std::make_unique<GetOplogEntriesResp>(std::move(lines));
}

// ---- get_all_dbsets

GetAllDbSetsResp::GetAllDbSetsResp(GetAllDbSetsArgs &) {
    for (CString const &name : KXSession::Build()->GetInstalledDbSets()) names_.push_back(ustr(name));
}

GetAllDbSetsResp::~GetAllDbSetsResp() = default;

bool_t GetAllDbSetsResp::xdr(XDR *xdrs) {
    if (!encode_only(xdrs)) return FALSE;
    for (Nul::UString &name : names_) {
        bool_t more = TRUE;
        if (!xdr_bool(xdrs, &more) || !xdr_ustring(xdrs, name)) return FALSE;
    }
    bool_t end = FALSE;
    return xdr_bool(xdrs, &end);
}

std::unique_ptr<XdrObject> kxrpc_get_all_dbsets(XdrObject *request) {
    auto *args = checked_cast<GetAllDbSetsArgs>(request);
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_get_all_dbsets %s)", args->describe()); });
    return product_call(
        [&] { return std::unique_ptr<XdrObject>(new GetAllDbSetsResp(*args)); },
        [](ProductFailure const &f) { throw_internal_error(kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, f.text)); });
}

// ---- get_rec_family_info

GetRecFamilyInfoResp::GetRecFamilyInfoResp(AdSession *session) {
    AdIterator<AdEntityDef> defs = AdMetadataMgr::Get(session)->GetEntityDefsAndFamilies();
    for (int i = 0; i < defs.GetLength(); ++i) {
        AdEntityDef *def = defs.GetItem(i);
        if (!def || !def->IsFamily()) continue;
        Family family{Member{ustr(def->GetName()), static_cast<unsigned>(def->GetDbId())}, {}};
        AdIterator<AdEntityDef> members = def->GetFamilyMembers();
        for (int j = 0; j < members.GetLength(); ++j)
            family.members.push_back(
                Member{ustr(members.GetItem(j)->GetName()), static_cast<unsigned>(members.GetItem(j)->GetDbId())});
        families_.push_back(std::move(family));
    }
}

GetRecFamilyInfoResp::~GetRecFamilyInfoResp() = default;

bool_t GetRecFamilyInfoResp::xdr(XDR *xdrs) {
    if (!encode_only(xdrs)) return FALSE;
    for (Family &f : families_) {
        bool_t more = TRUE;
        int count = static_cast<int>(f.members.size());
        if (!xdr_bool(xdrs, &more) || !xdr_ustring(xdrs, f.family.name) || !xdr_u_int(xdrs, &f.family.dbid) ||
            !xdr_int(xdrs, &count))
            return FALSE;
        for (Member &m : f.members)
            if (!xdr_ustring(xdrs, m.name) || !xdr_u_int(xdrs, &m.dbid)) return FALSE;
    }
    bool_t end = FALSE;
    return xdr_bool(xdrs, &end);
}

std::unique_ptr<XdrObject> kxrpc_get_rec_family_info(XdrObject *request) {
    auto *args = checked_cast<GetRecFamilyInfoArgs>(request);
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_get_rec_family_info %s)", args->trace_line()); });
    AdSession *session = args->api_session_or_fail();
    return product_call(
        [&] { return std::unique_ptr<XdrObject>(new GetRecFamilyInfoResp(session)); },
        [](ProductFailure const &f) { throw_internal_error(kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, f.text)); });
}

} // namespace KxRpc
