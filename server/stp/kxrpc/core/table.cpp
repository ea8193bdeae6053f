// The procedure table: one entry per procedure number, filled before main runs.
#include "kxrpc_dispatch.h"
#include "kxrpc_glue.h"
#include "kxrpc_requests.h"

namespace KxRpc {

namespace {

template <class Args>
RpcProcedure entry(rpc_handler_t handler, xdrproc_t result, wchar_t const *name) {
    static_assert(sizeof(Args) <= max_request_size, "request object larger than the dispatcher's buffer");
    return RpcProcedure{handler, construct_request<Args>, sizeof(Args), as_xdrproc(xdr_request_args), result, name, {}};
}

RpcProcedure unserved(wchar_t const *name) { return RpcProcedure{nullptr, nullptr, 0, nullptr, nullptr, name, {}}; }

RpcProcedure table[procedure_count_value] = {
    RpcProcedure{nullptr, nullptr, 0, nullptr, as_xdrproc(xdr_void), L"ping", {}},
    entry<EmptyArgs>(kxrpc_shutdown, as_xdrproc(xdr_unframed_result), L"shutdown"),
    entry<DeleteStateArgs>(kxrpc_delete_state, as_xdrproc(xdr_framed_result), L"delete_state"),
    unserved(L"fetch_props"),
    unserved(L"put_props"),
    entry<LoginArgs>(kxrpc_login, as_xdrproc(xdr_framed_result), L"login"),
    unserved(L"resolve_type"),
    unserved(L"execute_query"),
    unserved(L"mkresource"),
    unserved(L"create_temp"),
    unserved(L"deliver_change_context"),
    unserved(L"validate_action"),
    unserved(L"validate_record_props"),
    unserved(L"get_attachment"),
    unserved(L"make_attachment"),
    unserved(L"resolve_attachment"),
    unserved(L"fire_hook"),
    unserved(L"fire_script_alias"),
    unserved(L"get_all_dbsets"),
    unserved(L"get_rec_family_info"),
    unserved(L"copy_query"),
    unserved(L"get_folder_descendents"),
    unserved(L"kx_get_my_activity_list"),
    unserved(L"find_record"),
    unserved(L"get_oplog_entries"),
    unserved(L"execute_fulltext_search"),
    unserved(L"upgrade_databases"),
    unserved(L"kxrpc_get_userdb_description"),
    unserved(L"kxrpc_get_accessible_databases"),
    unserved(L"revert_record"),
    unserved(L"create_user"),
    unserved(L"get_attachment_direct"),
    unserved(L"make_attachment_direct"),
    unserved(L"kxrpc_rename_workspace_item"),
    unserved(L"kxrpc_kx_masterproperty"),
    unserved(L"kxrpc_fetch_bulk"),
    unserved(L"move_query"),
};

} // namespace

RpcProcedure *procedure_table() { return table; }
int procedure_count() { return procedure_count_value; }

} // namespace KxRpc
