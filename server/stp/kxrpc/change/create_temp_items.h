// create_temp of the targets other than records.
#pragma once

namespace KxRpc {

class CreateTempArgs;
class CreateTempResp;

// The working copy of a query, query folder, report or attachment target; product failures
// become internal errors with message 47.
CreateTempResp *create_temp_item(CreateTempArgs &args);

// 36 query and 37 query folder: a copy of the item (and of its query definition) with its path
// and dbid text, taken under the workspace lock.
CreateTempResp *create_temp_query_item(CreateTempArgs &args);
// 38 report: a new report definition naming the stored one's query and format. A report outside
// a writable folder below a top folder is refused (31, message 111); a target that is no report
// is not found.
CreateTempResp *create_temp_report(CreateTempArgs &args);
// 44 attachment: a copy of the attachment with its name and id paths.
CreateTempResp *create_temp_attachment(CreateTempArgs &args);

} // namespace KxRpc
