#include "change/admin.h"

#include "target/login_session.h"
#include "wire/textfmt.h"
#include "wire/xdr.h"

namespace KxRpc {

MasterPropertyArgs::~MasterPropertyArgs() = default;

bool_t MasterPropertyArgs::decode(XDR *xdrs) {
    if (!xdr_session_header(xdrs) || !xdr_ustring(xdrs, action_name_) || !xdr_ustring(xdrs, property_name_) ||
        !xdr_ustring(xdrs, property_value_, max_wire_text) || !xdr_ustring(xdrs, db_name_) ||
        !xdr_ustring(xdrs, replica_name_))
        return FALSE;
    // Older clients end the request here.
    bool flag = false;
    if (xdr_flag(xdrs, flag)) use_user_session_ = flag;
    return TRUE;
}

Nul::UString MasterPropertyArgs::trace_line() {
    return text_format("%s :: action_name:%s :: property_name:%s :: property_value:%s :: db_name:%s :: "
                       "replica_name:%s :: use_user_session:%d",
                       SessionArg::trace_line(), action_name_, property_name_, property_value_, db_name_, replica_name_,
                       use_user_session_ ? 1 : 0);
}

UpgradeDatabasesArgs::~UpgradeDatabasesArgs() = default;

CreateUserArgs::CreateUserArgs() = default;

CreateUserArgs::~CreateUserArgs() = default;

bool_t CreateUserArgs::decode(XDR *xdrs) {
    return xdr_props_header(xdrs) && xdr_target(xdrs, target_op_) && xdr_ustring(xdrs, name_) && xdr_put_items(xdrs);
}

Nul::UString CreateUserArgs::describe() { return text_format("%s :: name:%s", PutPropsArgs::describe(), name_); }

UpgradeDatabasesResp::~UpgradeDatabasesResp() = default;

CreateUserResp::~CreateUserResp() = default;

MasterPropertyResp::MasterPropertyResp(int result, Nul::UString const &text) : result_(result), text_(text) {}

MasterPropertyResp::~MasterPropertyResp() = default;

bool_t MasterPropertyResp::xdr(XDR *xdrs) { return encode_only(xdrs) && xdr_ustring(xdrs, text_); }

} // namespace KxRpc
