#include "query/replies.h"

#include "kxproduct/metadata.h"
#include "wire/product_failure.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

FindRecordResp::FindRecordResp(AdEntityPtr const &record) : record_(record) {}

FindRecordResp::~FindRecordResp() {
    ignoring_failures([this] { record_ = AdEntityPtr(); });
}

bool_t FindRecordResp::xdr(XDR *xdrs) {
    if (!encode_only(xdrs)) return FALSE;
    try {
        bool_t found = record_ ? TRUE : FALSE;
        if (!xdr_bool(xdrs, &found)) return FALSE;
        if (!found) return TRUE;
        int by_dbid = 2;
        int type_dbid = static_cast<int>(record_->GetEntityDef()->GetDbId());
        int dbid = static_cast<int>(record_->GetDbId());
        return xdr_int(xdrs, &by_dbid) && xdr_int(xdrs, &type_dbid) && xdr_int(xdrs, &dbid);
    } catch (...) {
        return hold_failure(xdrs, L"FindRecordResp::xdr");
    }
}

GetOplogEntriesResp::~GetOplogEntriesResp() = default;

GetUserDbDescriptionResp::GetUserDbDescriptionResp(Nul::UString const &description) : description_(description) {}

GetUserDbDescriptionResp::~GetUserDbDescriptionResp() = default;

bool_t GetUserDbDescriptionResp::xdr(XDR *xdrs) { return encode_only(xdrs) && xdr_ustring(xdrs, description_); }

GetAccessibleDatabasesResp::GetAccessibleDatabasesResp(std::vector<Nul::UString> const &first,
                                                       std::vector<Nul::UString> const &second)
    : first_(first), second_(second) {}

GetAccessibleDatabasesResp::~GetAccessibleDatabasesResp() = default;

bool_t GetAccessibleDatabasesResp::xdr(XDR *xdrs) {
    if (!encode_only(xdrs) || first_.size() != second_.size()) return FALSE;
    int count = static_cast<int>(first_.size());
    if (!xdr_int(xdrs, &count)) return FALSE;
    for (std::size_t i = 0; i < first_.size(); ++i)
        if (!xdr_ustring(xdrs, first_[i]) || !xdr_ustring(xdrs, second_[i])) return FALSE;
    return TRUE;
}

RenameWorkspaceItemResp::RenameWorkspaceItemResp(int success) : success_(success) {}

RenameWorkspaceItemResp::~RenameWorkspaceItemResp() = default;

bool_t RenameWorkspaceItemResp::xdr(XDR *xdrs) {
    bool_t ok = success_ ? TRUE : FALSE;
    return encode_only(xdrs) && xdr_bool(xdrs, &ok);
}

} // namespace KxRpc
