#include "change/resolve_type.h"

#include "change/new_resources.h"
#include "target/queryutil.h"
#include "tesutil/critsec.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"

namespace KxRpc {

std::unique_ptr<XdrObject> kxrpc_resolve_type(XdrObject *request) {
    auto *args = checked_cast<ResolveTypeArg>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_resolve_type %s)", args->describe()); });
    Nul::CriticalSection guard(workspace_lock());
    return product_call(
        [&] {
            AdSessionPtr session(args->api_session_or_fail());
            AdBucketPtr bucket = args->target().bucket(session.get());
            return std::make_unique<ResolveTypeResp>(QueryUtil::bucket_resource_tag(bucket),
                                                     QueryUtil::bucket_uri(session, bucket),
                                                     QueryUtil::bucket_dbid_string(bucket));
        },
        unexpected_in(L"kxrpc_resolve_type"));
}

} // namespace KxRpc
