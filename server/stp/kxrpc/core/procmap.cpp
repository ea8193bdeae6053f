#include "core/procmap.h"

#include <new>

#include "change/attachment_requests.h"
#include "change/deliverops.h"
#include "wire/glue.h"
#include "wire/login_session.h"
#include "props/replies.h"
#include "props/requests.h"
#include "query/paged.h"
#include "change/admin.h"
#include "change/requests.h"
#include "query/replies.h"
#include "query/requests.h"
#include "session/delete_state.h"
#include "session/login.h"
#include "change/new_resources.h"
#include "wire/requests.h"

namespace KxRpc {

namespace {

template <class F>
xdrproc_t routine(F *f) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(f));
}

template <class Args>
XdrObject *construct(void *storage) {
    return ::new (storage) Args();
}

template <class Args>
ProcedureGlue served(wchar_t const *name, xdrproc_t result) {
    return ProcedureGlue{name, construct<Args>, sizeof(Args), routine(xdr_args_of<Args>), result};
}

// A request that decodes while its response is not built yet.
template <class Args>
ProcedureGlue decoded(wchar_t const *name) {
    return ProcedureGlue{name, construct<Args>, sizeof(Args), routine(xdr_args_of<Args>), nullptr};
}

// The empty-response routine of validate_action, shared with 12, 15 and 29.
bool_t xdr_validate_action_result(XDR *xdrs, void *result) { return xdr_result_of<XdrVoid>(xdrs, result); }
// One argument routine for get_attachment and get_attachment_direct.
bool_t xdr_get_args(XDR *xdrs, void *object) { return xdr_args_of<GetArgs>(xdrs, object); }

// One result routine for make_attachment and make_attachment_direct.
bool_t xdr_make_attachment_result(XDR *xdrs, void *result) { return xdr_result_of<MakeAttachmentResp>(xdrs, result); }

ProcedureGlue get_request(wchar_t const *name) {
    return ProcedureGlue{name, construct<GetArgs>, sizeof(GetArgs), routine(xdr_get_args), nullptr};
}


ProcedureGlue const map[procedure_map_size] = {
    ProcedureGlue{L"ping", nullptr, 0, nullptr, routine(xdr_void)},
    // No arguments; the empty reply carries no leading FALSE.
    served<XdrVoid>(L"shutdown", routine(xdr_unframed_result_of<XdrVoid>)),
    served<DeleteStateArgs>(L"delete_state", routine(xdr_result_of<DeleteStateResp>)),
    decoded<FetchPropsArgs>(L"fetch_props"),
    served<PutPropsArgs>(L"put_props", routine(xdr_result_of<PutPropsIter>)),
    served<LoginArgs>(L"login", routine(xdr_result_of<LoginResp>)),
    served<ResolveTypeArg>(L"resolve_type", routine(xdr_result_of<ResolveTypeResp>)),
    decoded<ExecuteQueryArgs>(L"execute_query"),
    decoded<CreateResourceArgs>(L"mkresource"),
    served<CreateTempArgs>(L"create_temp", routine(xdr_result_of<CreateTempResp>)),
    decoded<DeliverChangeContextArgs>(L"deliver_change_context"),
    served<ValidateActionArgs>(L"validate_action", routine(xdr_validate_action_result)),
    served<ValidateRecordPropsArgs>(L"validate_record_props", routine(xdr_validate_action_result)),
    get_request(L"get_attachment"),
    served<MakeAttachmentArgs>(L"make_attachment", routine(xdr_make_attachment_result)),
    served<ResolveAttachmentArgs>(L"resolve_attachment", routine(xdr_validate_action_result)),
    decoded<FireHookArgs>(L"fire_hook"),
    served<FireScriptAliasArgs>(L"fire_script_alias", routine(xdr_result_of<FireScriptAliasResp>)),
    decoded<GetAllDbSetsArgs>(L"get_all_dbsets"),
    decoded<GetRecFamilyInfoArgs>(L"get_rec_family_info"),
    decoded<CopyQueryArgs>(L"copy_query"),
    decoded<GetFolderDescendentsArgs>(L"get_folder_descendents"),
    decoded<KxGetMyActivityListArgs>(L"kx_get_my_activity_list"),
    served<FindRecordArgs>(L"find_record", routine(xdr_result_of<FindRecordResp>)),
    served<GetOplogEntriesArgs>(L"get_oplog_entries", routine(xdr_result_of<GetOplogEntriesResp>)),
    decoded<ExecuteFullTextSearchArgs>(L"execute_fulltext_search"),
    served<UpgradeDatabasesArgs>(L"upgrade_databases", routine(xdr_result_of<UpgradeDatabasesResp>)),
    served<GetUserDbDescriptionArgs>(L"kxrpc_get_userdb_description", routine(xdr_result_of<GetUserDbDescriptionResp>)),
    served<GetAccessibleDatabasesArgs>(L"kxrpc_get_accessible_databases", routine(xdr_result_of<GetAccessibleDatabasesResp>)),
    served<RevertRecordArgs>(L"revert_record", routine(xdr_validate_action_result)),
    decoded<CreateUserArgs>(L"create_user"),
    get_request(L"get_attachment_direct"),
    served<MakeAttachmentDirectArgs>(L"make_attachment_direct", routine(xdr_make_attachment_result)),
    served<RenameWorkspaceItemArgs>(L"kxrpc_rename_workspace_item", routine(xdr_result_of<RenameWorkspaceItemResp>)),
    served<MasterPropertyArgs>(L"kxrpc_kx_masterproperty", routine(xdr_result_of<MasterPropertyResp>)),
    decoded<FetchBulkArg>(L"kxrpc_fetch_bulk"),
    decoded<MoveQueryArgs>(L"move_query"),
};

} // namespace

ProcedureGlue const *procedure_glue(int number) {
    if (number < 0 || number >= procedure_map_size) return nullptr;
    return &map[number];
}

} // namespace KxRpc
