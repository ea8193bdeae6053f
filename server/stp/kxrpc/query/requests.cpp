#include "query/requests.h"

#include "target/login_session.h"
#include "wire/textfmt.h"
#include "wire/xdr.h"

namespace KxRpc {

GetAllDbSetsArgs::~GetAllDbSetsArgs() = default;

bool_t GetAllDbSetsArgs::decode(XDR *xdrs) { return xdr_correlator(xdrs) && xdr_trace_id(xdrs, trace_); }

GetUserDbDescriptionArgs::~GetUserDbDescriptionArgs() = default;

bool_t GetUserDbDescriptionArgs::decode(XDR *xdrs) {
    return xdr_correlator(xdrs) && xdr_trace_id(xdrs, trace_) && xdr_ustring(xdrs, dbset_) &&
           xdr_ustring(xdrs, userdb_);
}

Nul::UString GetUserDbDescriptionArgs::trace_line() const {
    return text_format("%s :: dbset:%s :: userdb:%s", trace_.trace_line(), dbset_, userdb_);
}

GetAccessibleDatabasesArgs::~GetAccessibleDatabasesArgs() = default;

bool_t GetAccessibleDatabasesArgs::decode(XDR *xdrs) {
    return xdr_correlator(xdrs) && xdr_trace_id(xdrs, trace_) && xdr_ustring(xdrs, dbset_) &&
           xdr_ustring(xdrs, username_) && xdr_ustring(xdrs, password_) && xdr_ustring(xdrs, host_) &&
           xdr_flag(xdrs, security_);
}

Nul::UString GetAccessibleDatabasesArgs::trace_line() const {
    return text_format("%s :: dbset:%s :: username:%s :: host:%s :: security:%d", trace_.trace_line(), dbset_,
                       username_, host_, security_ ? 1 : 0);
}

GetRecFamilyInfoArgs::~GetRecFamilyInfoArgs() = default;

bool_t GetRecFamilyInfoArgs::decode(XDR *xdrs) { return xdr_session_header(xdrs); }

GetOplogEntriesArgs::~GetOplogEntriesArgs() = default;

bool_t GetOplogEntriesArgs::decode(XDR *xdrs) {
    return xdr_session_header(xdrs) && xdr_u_int(xdrs, &start_) && xdr_u_int(xdrs, &count_) && xdr_flag(xdrs, asxml_);
}

Nul::UString GetOplogEntriesArgs::trace_line() {
    return text_format("%s :: start:%d :: cout:%d :: asxml:%d", SessionArg::trace_line(), static_cast<int>(start_),
                       static_cast<int>(count_), asxml_ ? 1 : 0);
}

RenameWorkspaceItemArgs::~RenameWorkspaceItemArgs() = default;

bool_t RenameWorkspaceItemArgs::decode(XDR *xdrs) {
    return xdr_session_header(xdrs) && xdr_int(xdrs, &dbid_) && xdr_ustring(xdrs, new_name_);
}

FetchBulkArg::~FetchBulkArg() = default;

GetFolderDescendentsArgs::~GetFolderDescendentsArgs() = default;

FindRecordArgs::~FindRecordArgs() = default;

bool_t FindRecordArgs::decode(XDR *xdrs) {
    if (!xdr_session_header(xdrs) || !xdr_flag(xdrs, is_dbid_)) return FALSE;
    if (is_dbid_ ? !xdr_int(xdrs, &dbid_) : !xdr_ustring(xdrs, name_)) return FALSE;
    return xdr_int(xdrs, &find_mode_) && xdr_list_count(xdrs, num_loc_) && xdr_targets(xdrs, num_loc_, locations_);
}

Nul::UString FindRecordArgs::describe() {
    return text_format("%s :: is_dbid:%s :: dbid:%d :: name:%s :: find_mode:%d :: num_loc:%d :: locs:(%s)",
                       trace_line(), tf(is_dbid_), dbid_, name_, find_mode_, num_loc_,
                       trace_list(locations_.begin(), locations_.end()));
}

CopyQueryArgs::CopyQueryArgs() = default;

CopyQueryArgs::~CopyQueryArgs() = default;

bool_t CopyQueryArgs::decode(XDR *xdrs) {
    return xdr_props_header(xdrs) && xdr_target(xdrs, target_op_) && xdr_ustring(xdrs, destination_) &&
           xdr_int_list(xdrs, do_not_copy_) && xdr_target_list(xdrs, items_) && xdr_put_items(xdrs);
}

bool CopyQueryArgs::is_do_not_copy(int dbid) const {
    for (int d : do_not_copy_)
        if (d == dbid) return true;
    return false;
}

MoveQueryArgs::MoveQueryArgs() = default;

MoveQueryArgs::~MoveQueryArgs() = default;

bool_t MoveQueryArgs::decode(XDR *xdrs) {
    return xdr_props_header(xdrs) && xdr_target(xdrs, target_op_) && xdr_ustring(xdrs, destination_) &&
           xdr_flag(xdrs, overwrite_) && xdr_put_items(xdrs);
}

} // namespace KxRpc
