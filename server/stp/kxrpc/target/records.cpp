#include "target/records.h"

#include "tesutil/stpexception.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"

namespace KxRpc {

AdEntityPtr lookup_record_by_dbid(AdSessionPtr const &session, AdEntityDef *def, std::int64_t dbid) {
    KXSmartPtr<AdEntityMgr> manager = AdEntityMgr::Get(session);
    AdEntityPtr record;
    CString error;
    int status = manager->LookupEntityByDbIdWithStatus(def, dbid, record, error, 1);
    check_record_lookup_status(status, ustr(error));
    return record;
}

AdEntityPtr lookup_record_by_name(AdSessionPtr const &session, AdEntityDef *def, Nul::UString const &name) {
    KXSmartPtr<AdEntityMgr> manager = AdEntityMgr::Get(session);
    AdEntityPtr record;
    CString error;
    int status = manager->LookupEntityWithStatus(def, cstr(name), record, error, 1);
    check_record_lookup_status(status, ustr(error));
    return record;
}

void check_record_lookup_status(int status, Nul::UString const &error_text) {
    if (status != AD_LOOKUP_WRONG_TYPE) return;
    raise_reason(Reason::lookup_failed, kx_message(MSG_TEXT, Nul::UMessage::Arg(error_text)));
}

} // namespace KxRpc
