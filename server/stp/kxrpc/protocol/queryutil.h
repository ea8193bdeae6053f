// Workspace helpers of the query code that the protocol objects need.
#pragma once

#include "kxproduct/workspace.h"

namespace KxRpc {
namespace QueryUtil {

// True when the item is not null and its type has the folder bit.
bool is_folder_bucket(AdBucketPtr const &bucket);

} // namespace QueryUtil
} // namespace KxRpc
