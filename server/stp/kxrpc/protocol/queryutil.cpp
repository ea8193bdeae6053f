#include "protocol/queryutil.h"

namespace KxRpc {
namespace QueryUtil {

bool is_folder_bucket(AdBucketPtr const &bucket) { return bucket && (bucket->GetType() & AD_BUCKET_FOLDER) != 0; }

} // namespace QueryUtil
} // namespace KxRpc
