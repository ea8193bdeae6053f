// The procedures of queries, the workspace, search, database sets and records' lookups.
#include <span>

#include "query/copy_query.h"
#include "query/databases.h"
#include "query/execute.h"
#include "query/fetch_bulk.h"
#include "query/fulltext.h"
#include "query/lookups.h"
#include "query/paged.h"
#include "query/replies.h"
#include "query/requests.h"
#include "query/workspace_ops.h"
#include "wire/procedure.h"

namespace KxRpc {

std::span<ProcedureRow const> query_procedures() {
    static ProcedureRow const rows[] = {
        served<ExecuteQueryArgs>(7, L"execute_query", xdr_routine(xdr_unframed_result_of<ExecuteQueryResp>),
                                 kxrpc_execute_query),
        served<GetAllDbSetsArgs>(18, L"get_all_dbsets", xdr_routine(xdr_result_of<GetAllDbSetsResp>),
                                 kxrpc_get_all_dbsets),
        served<GetRecFamilyInfoArgs>(19, L"get_rec_family_info", xdr_routine(xdr_result_of<GetRecFamilyInfoResp>),
                                     kxrpc_get_rec_family_info),
        served<CopyQueryArgs>(20, L"copy_query", xdr_routine(xdr_result_of<CopyQueryResp>), kxrpc_copy_query),
        served<GetFolderDescendentsArgs>(21, L"get_folder_descendents",
                                         xdr_routine(xdr_result_of<GetFolderDescendentsResp>),
                                         kxrpc_get_folder_descendents),
        served<KxGetMyActivityListArgs>(22, L"kx_get_my_activity_list",
                                        xdr_routine(xdr_unframed_result_of<ExecuteQueryResp>),
                                        kxrpc_get_my_activity_list),
        served<FindRecordArgs>(23, L"find_record", xdr_routine(xdr_result_of<FindRecordResp>), kxrpc_find_record),
        served<GetOplogEntriesArgs>(24, L"get_oplog_entries", xdr_routine(xdr_result_of<GetOplogEntriesResp>),
                                    kxrpc_get_oplog_entries),
        served<ExecuteFullTextSearchArgs>(25, L"execute_fulltext_search",
                                          xdr_routine(xdr_result_of<ExecuteFullTextSearchIter>),
                                          kxrpc_execute_fulltext_search),
        served<GetUserDbDescriptionArgs>(27, L"kxrpc_get_userdb_description",
                                         xdr_routine(xdr_result_of<GetUserDbDescriptionResp>),
                                         kxrpc_get_userdb_description),
        served<GetAccessibleDatabasesArgs>(28, L"kxrpc_get_accessible_databases",
                                           xdr_routine(xdr_result_of<GetAccessibleDatabasesResp>),
                                           kxrpc_get_accessible_databases),
        served<RenameWorkspaceItemArgs>(33, L"kxrpc_rename_workspace_item",
                                        xdr_routine(xdr_result_of<RenameWorkspaceItemResp>),
                                        kxrpc_rename_workspace_item),
        served<FetchBulkArg>(35, L"kxrpc_fetch_bulk", xdr_routine(xdr_result_of<FetchBulkResp>), kxrpc_fetch_bulk),
        served<MoveQueryArgs>(36, L"move_query", xdr_routine(xdr_result_of<MoveQueryResp>), kxrpc_move_query),
    };
    return rows;
}

} // namespace KxRpc
