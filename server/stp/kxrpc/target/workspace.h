// Workspace helpers that target resolution and the held workspace items need, and the lock of
// workspace work.
#pragma once

#include <vector>

#include "kxproduct/workspace.h"
#include "tesutil/critsec.h"
#include "tesutil/ustring.h"

namespace KxRpc {
namespace QueryUtil {

// True when the item is not null and its type has the folder bit.
bool is_folder_bucket(AdBucketPtr const &bucket);

// Queries, charts, folders, reports and report formats.
constexpr int all_items_mask =
    AD_BUCKET_QUERY | AD_BUCKET_CHART | AD_BUCKET_FOLDER | AD_BUCKET_REPORT | AD_BUCKET_REPORT_FORMAT;

// The segments of a workspace path: split at each "/" that no "%" escapes, then each segment's
// escapes undone. Empty segments (a leading or doubled "/") are dropped.
std::vector<Nul::UString> uri_segments(Nul::UString const &uri);

// The public (1) or personal (2) top folder, made when missing. The public folder's refusal to an
// administrator is not an error: it is traced and the answer is null. Other product failures
// become internal errors with the product's text, after a diagnostic line naming `method`.
AdBucketPtr top_folder(AdSessionPtr const &session, int folder_type, wchar_t const *method);

// The item at a workspace path ("Public Queries/..." or "Personal Queries/..."), looked up again
// after a refresh of the workspace when missing. True when the path lies under the personal top
// folder; the bucket stays null when nothing is found.
bool get_bucket_for_uri(AdSessionPtr const &session, Nul::UString const &uri, AdBucketPtr &bucket);

} // namespace QueryUtil
// Serialises work on workspace buckets; lives for the whole process.
Nul::CriticalSectionLock &workspace_lock();

} // namespace KxRpc
