// The procedures of queries, the workspace, search, database sets and records' lookups.
#include <span>

#include "query/fetch_bulk.h"
#include "query/paged.h"
#include "query/replies.h"
#include "query/requests.h"
#include "wire/procedure.h"

namespace KxRpc {

std::span<ProcedureRow const> query_procedures() {
    static ProcedureRow const rows[] = {
        decoded<ExecuteQueryArgs>(7, L"execute_query"),
        decoded<GetAllDbSetsArgs>(18, L"get_all_dbsets"),
        decoded<GetRecFamilyInfoArgs>(19, L"get_rec_family_info"),
        decoded<CopyQueryArgs>(20, L"copy_query"),
        decoded<GetFolderDescendentsArgs>(21, L"get_folder_descendents"),
        decoded<KxGetMyActivityListArgs>(22, L"kx_get_my_activity_list"),
        served<FindRecordArgs>(23, L"find_record", xdr_routine(xdr_result_of<FindRecordResp>), nullptr),
        served<GetOplogEntriesArgs>(24, L"get_oplog_entries", xdr_routine(xdr_result_of<GetOplogEntriesResp>), nullptr),
        decoded<ExecuteFullTextSearchArgs>(25, L"execute_fulltext_search"),
        served<RenameWorkspaceItemArgs>(33, L"kxrpc_rename_workspace_item",
                                        xdr_routine(xdr_result_of<RenameWorkspaceItemResp>), nullptr),
        served<FetchBulkArg>(35, L"kxrpc_fetch_bulk", xdr_routine(xdr_result_of<FetchBulkResp>), kxrpc_fetch_bulk),
        decoded<MoveQueryArgs>(36, L"move_query"),
    };
    return rows;
}

} // namespace KxRpc
