#include "procmap.h"

#include <new>

#include "protocol/glue.h"
#include "protocol/login.h"
#include "protocol/props.h"
#include "protocol/reqclasses.h"
#include "protocol/requests.h"

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

ProcedureGlue unbuilt(wchar_t const *name) { return ProcedureGlue{name, nullptr, 0, nullptr, nullptr}; }


ProcedureGlue const map[procedure_map_size] = {
    ProcedureGlue{L"ping", nullptr, 0, nullptr, routine(xdr_void)},
    unbuilt(L"shutdown"),
    served<DeleteStateArgs>(L"delete_state", routine(xdr_result_of<DeleteStateResp>)),
    unbuilt(L"fetch_props"),
    unbuilt(L"put_props"),
    served<LoginArgs>(L"login", routine(xdr_result_of<LoginResp>)),
    unbuilt(L"resolve_type"),
    unbuilt(L"execute_query"),
    unbuilt(L"mkresource"),
    unbuilt(L"create_temp"),
    unbuilt(L"deliver_change_context"),
    unbuilt(L"validate_action"),
    unbuilt(L"validate_record_props"),
    unbuilt(L"get_attachment"),
    unbuilt(L"make_attachment"),
    unbuilt(L"resolve_attachment"),
    unbuilt(L"fire_hook"),
    unbuilt(L"fire_script_alias"),
    ProcedureGlue{L"get_all_dbsets", construct<GetAllDbSetsArgs>, sizeof(GetAllDbSetsArgs),
                  routine(xdr_args_of<GetAllDbSetsArgs>), nullptr},
    ProcedureGlue{L"get_rec_family_info", construct<GetRecFamilyInfoArgs>, sizeof(GetRecFamilyInfoArgs),
                  routine(xdr_args_of<GetRecFamilyInfoArgs>), nullptr},
    unbuilt(L"copy_query"),
    unbuilt(L"get_folder_descendents"),
    unbuilt(L"kx_get_my_activity_list"),
    unbuilt(L"find_record"),
    ProcedureGlue{L"get_oplog_entries", construct<GetOplogEntriesArgs>, sizeof(GetOplogEntriesArgs),
                  routine(xdr_args_of<GetOplogEntriesArgs>), nullptr},
    unbuilt(L"execute_fulltext_search"),
    unbuilt(L"upgrade_databases"),
    ProcedureGlue{L"kxrpc_get_userdb_description", construct<GetUserDbDescriptionArgs>,
                  sizeof(GetUserDbDescriptionArgs), routine(xdr_args_of<GetUserDbDescriptionArgs>), nullptr},
    ProcedureGlue{L"kxrpc_get_accessible_databases", construct<GetAccessibleDatabasesArgs>,
                  sizeof(GetAccessibleDatabasesArgs), routine(xdr_args_of<GetAccessibleDatabasesArgs>), nullptr},
    unbuilt(L"revert_record"),
    unbuilt(L"create_user"),
    unbuilt(L"get_attachment_direct"),
    unbuilt(L"make_attachment_direct"),
    ProcedureGlue{L"kxrpc_rename_workspace_item", construct<RenameWorkspaceItemArgs>, sizeof(RenameWorkspaceItemArgs),
                  routine(xdr_args_of<RenameWorkspaceItemArgs>), nullptr},
    ProcedureGlue{L"kxrpc_kx_masterproperty", construct<MasterPropertyArgs>, sizeof(MasterPropertyArgs),
                  routine(xdr_args_of<MasterPropertyArgs>), nullptr},
    unbuilt(L"kxrpc_fetch_bulk"),
    unbuilt(L"move_query"),
};

} // namespace

ProcedureGlue const *procedure_glue(int number) {
    if (number < 0 || number >= procedure_map_size) return nullptr;
    return &map[number];
}

} // namespace KxRpc
