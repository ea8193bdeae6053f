// Workspace items as the clients name them: URI paths, dbid texts, selectors, resource kinds,
// the query definition behind an item, a folder's children and report copies. Stateless; callers
// that walk or change the workspace hold the workspace lock.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kxproduct/query.h"
#include "kxproduct/workspace.h"
#include "target/workspace.h"
#include "tesutil/selector.h"
#include "tesutil/ustring.h"

namespace KxRpc {

class QueryItemStateItem;
class TargetResourceArg;

namespace QueryUtil {

// The top folder's name, then the folder names from the top down and the item's own name, each
// escaped as a selector segment and joined by "/"; a top folder is its name alone.
Nul::UString bucket_uri(AdSessionPtr const &session, AdBucketPtr const &bucket);
Nul::UString bucket_dbid_string(AdBucketPtr const &bucket);
// "kx.repo.kx-queryfolder:<dbid>@<set>/<database>".
Nul::UString bucket_selector(AdSessionPtr const &session, AdBucketPtr const &bucket);
// "<set>/<database>" of the session.
Nul::UString repository_name(AdSessionPtr const &session);

Nul::UString personal_top_folder_name(AdSessionPtr const &session);
Nul::UString public_top_folder_name(AdSessionPtr const &session);

// Tag of the item's resource kind: the folder bit first, then query or chart, report, report
// format; anything else counts as a query.
int bucket_resource_tag(AdBucketPtr const &bucket);
// Resource type codes by the exact type value: in replies, and internally (one more).
int bucket_wire_resource_type(AdBucketPtr const &bucket);
int resource_type_of_bucket_type(int bucket_type);
int bucket_resource_type(AdBucketPtr const &bucket);

// The query or chart definition of the item; a product failure raises message 5 with its text.
void query_def_for_bucket(AdBucketPtr const &bucket, AdQueryDefPtr &query_def);

// A selector of another repository than the session's raises reason 4 with message 28.
void check_repository_selector(AdSessionPtr const &session, Nul::Selector const &selector);
// The record type a selector names, as a target: by dbid for an object-id selector, whose name
// must be a decimal number (reason 40 otherwise), else by name.
TargetResourceArg object_id_from_selector(AdSessionPtr const &session, Nul::Selector const &selector);

// Dbids of the folder's children of the kinds in `type_mask`, in dbid order; none for an item
// that is not a folder.
std::vector<std::int64_t> child_bucket_ids(AdBucketPtr const &folder, int type_mask);

// A new report definition named `name` that names the source's query and report format, held
// by a new item that keeps `bucket` when given.
std::unique_ptr<QueryItemStateItem> build_report_def(KXSmartPtr<KXSession> const &session,
                                                     KXSmartPtr<KXReportDef> const &source, Nul::UString const &name,
                                                     AdBucketPtr const &bucket);

} // namespace QueryUtil
} // namespace KxRpc
