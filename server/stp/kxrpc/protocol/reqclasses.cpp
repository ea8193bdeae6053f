#include "reqclasses.h"

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

} // namespace KxRpc
