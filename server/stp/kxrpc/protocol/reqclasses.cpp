#include "reqclasses.h"

#include "protocol/login.h"
#include "protocol/textfmt.h"
#include "protocol/xdr.h"

namespace KxRpc {

NoSessionArgs::~NoSessionArgs() = default;

bool_t NoSessionArgs::xdr(XDR *xdrs) {
    if (xdrs->x_op != XDR_DECODE) return FALSE;
    try {
        return xdr_correlator(xdrs) && TraceInfo::xdr(xdrs) && xdr_fields(xdrs);
    } catch (...) {
        return FALSE;
    }
}

GetAllDbSetsArgs::~GetAllDbSetsArgs() = default;
Nul::UString GetAllDbSetsArgs::describe() { return TraceInfo::trace_line(); }

GetUserDbDescriptionArgs::~GetUserDbDescriptionArgs() = default;

bool_t GetUserDbDescriptionArgs::xdr_fields(XDR *xdrs) { return xdr_ustring(xdrs, dbset_) && xdr_ustring(xdrs, userdb_); }

Nul::UString GetUserDbDescriptionArgs::trace_line() {
    return text_format("%s :: dbset:%s :: userdb:%s", TraceInfo::trace_line(), dbset_, userdb_);
}

GetAccessibleDatabasesArgs::~GetAccessibleDatabasesArgs() = default;

bool_t GetAccessibleDatabasesArgs::xdr_fields(XDR *xdrs) {
    return xdr_ustring(xdrs, dbset_) && xdr_ustring(xdrs, username_) && xdr_ustring(xdrs, password_) &&
           xdr_ustring(xdrs, host_) && xdr_flag(xdrs, security_);
}

Nul::UString GetAccessibleDatabasesArgs::trace_line() {
    return text_format("%s :: dbset:%s :: username:%s :: host:%s :: security:%d", TraceInfo::trace_line(), dbset_,
                       username_, host_, security_ ? 1 : 0);
}

GetRecFamilyInfoArgs::~GetRecFamilyInfoArgs() = default;

GetOplogEntriesArgs::~GetOplogEntriesArgs() = default;

bool_t GetOplogEntriesArgs::xdr_body(XDR *xdrs) {
    return xdr_u_int(xdrs, &start_) && xdr_u_int(xdrs, &count_) && xdr_flag(xdrs, asxml_);
}

Nul::UString GetOplogEntriesArgs::trace_line() {
    return text_format("%s :: start:%d :: cout:%d :: asxml:%d", SessionArg::trace_line(), static_cast<int>(start_),
                       static_cast<int>(count_), asxml_ ? 1 : 0);
}

RenameWorkspaceItemArgs::~RenameWorkspaceItemArgs() = default;

bool_t RenameWorkspaceItemArgs::xdr_body(XDR *xdrs) { return xdr_int(xdrs, &dbid_) && xdr_ustring(xdrs, new_name_); }

MasterPropertyArgs::~MasterPropertyArgs() = default;

bool_t MasterPropertyArgs::xdr_body(XDR *xdrs) {
    if (!(xdr_ustring(xdrs, action_name_) && xdr_ustring(xdrs, property_name_) && xdr_ustring(xdrs, property_value_) &&
          xdr_ustring(xdrs, db_name_) && xdr_ustring(xdrs, replica_name_)))
        return FALSE;
    // Older clients end the request here.
    bool flag = false;
    if (xdr_flag(xdrs, flag)) use_user_session_ = flag;
    return TRUE;
}

Nul::UString MasterPropertyArgs::trace_line() {
    return text_format("%s :: action_name:%s :: property_name:%s :: property_value:%s :: db_name:%s :: "
                       "replica_name:%s :: use_user_session:%d",
                       SessionArg::trace_line(), action_name_, property_name_, property_value_, db_name_,
                       replica_name_, use_user_session_ ? 1 : 0);
}

// ---- requests with a target

TargetOpArgs::~TargetOpArgs() = default;

Nul::UString TargetOpArgs::arm_target_uri() { return target_.arm_target_uri(session_or_fail()->session()); }

Nul::UString TargetOpArgs::session_and_target() {
    return text_format("%s :: %s", SessionArg::trace_line(), GenericOpArgs::trace_line());
}

ValidateRecordPropsArgs::~ValidateRecordPropsArgs() = default;
ResolveAttachmentArgs::~ResolveAttachmentArgs() = default;
RevertRecordArgs::~RevertRecordArgs() = default;
UpgradeDatabasesArgs::~UpgradeDatabasesArgs() = default;
FetchBulkArg::~FetchBulkArg() = default;
GetFolderDescendentsArgs::~GetFolderDescendentsArgs() = default;

GetArgs::~GetArgs() = default;

bool_t GetArgs::xdr_body(XDR *xdrs) { return GenericOpArgs::xdr(xdrs) && xdr_int(xdrs, &chunk_size_); }

ValidateActionArgs::~ValidateActionArgs() = default;

bool_t ValidateActionArgs::xdr_body(XDR *xdrs) {
    return GenericOpArgs::xdr(xdrs) && action_.xdr(xdrs) && xdr_int(xdrs, &action_type_);
}

Nul::UString ValidateActionArgs::describe() {
    return text_format("(%s) (%s) :: (action:%s :: type:%d)", SessionArg::trace_line(), GenericOpArgs::trace_line(),
                       action_.trace_line(), action_type_);
}

FireHookArgs::~FireHookArgs() = default;

bool_t FireHookArgs::xdr_body(XDR *xdrs) {
    return GenericOpArgs::xdr(xdrs) && hook_.xdr(xdrs) && xdr_ustring(xdrs, param_) &&
           xdr_flag(xdrs, get_side_effects_) && xdr_ustring(xdrs, form_name_) && xdr_ustring(xdrs, tab_name_);
}

Nul::UString FireHookArgs::describe() {
    return text_format("%s :: %s :: (hook:%s :: param:%s:: get_side_effects:%s :: formName:%s :: tabName:%s)",
                       SessionArg::trace_line(), GenericOpArgs::trace_line(), hook_.trace_line(), param_,
                       tf(get_side_effects_), form_name_, tab_name_);
}

FireScriptAliasArgs::~FireScriptAliasArgs() = default;

bool_t FireScriptAliasArgs::xdr_body(XDR *xdrs) {
    return GenericOpArgs::xdr(xdrs) && action_.xdr(xdrs) && xdr_ustring(xdrs, form_name_) &&
           xdr_ustring(xdrs, tab_name_);
}

Nul::UString FireScriptAliasArgs::describe() {
    return text_format("%s :: %s :: action:%s :: formName:%s :: tabName:%s", SessionArg::trace_line(),
                       GenericOpArgs::trace_line(), action_.trace_line(), form_name_, tab_name_);
}

FindRecordArgs::~FindRecordArgs() = default;

bool_t FindRecordArgs::xdr_body(XDR *xdrs) {
    if (!xdr_flag(xdrs, is_dbid_)) return FALSE;
    if (is_dbid_ ? !xdr_int(xdrs, &dbid_) : !xdr_ustring(xdrs, name_)) return FALSE;
    if (!xdr_int(xdrs, &find_mode_) || !xdr_list_count(xdrs, num_loc_)) return FALSE;
    locations_.reserve(list_reserve(num_loc_));
    for (int i = 0; i < num_loc_; ++i) {
        GenericOpArgs location;
        if (!location.xdr(xdrs)) return FALSE;
        locations_.push_back(location);
    }
    return TRUE;
}

Nul::UString FindRecordArgs::describe() {
    return text_format("%s :: is_dbid:%s :: dbid:%d :: name:%s :: find_mode:%d :: num_loc:%d :: locs:(%s)",
                       SessionArg::trace_line(), tf(is_dbid_), dbid_, name_, find_mode_, num_loc_,
                       trace_list(locations_.begin(), locations_.end()));
}

} // namespace KxRpc
