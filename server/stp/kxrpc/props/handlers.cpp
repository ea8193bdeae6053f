// Handlers of fetch_props and put_props: each makes the property object of the target and the
// reply over it, and has the reply read or set the properties here, so that writing the reply
// only sends what they gave.
#include "props/handlers.h"

#include "props/replies.h"
#include "props/requests.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"
#include "wire/textfmt.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {} // namespace

std::unique_ptr<XdrObject> kxrpc_fetch_props(XdrObject *request) {
    FetchPropsArgs *args = checked_cast<FetchPropsArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_fetch_props %s)", args->trace_line()); });
    auto response = std::make_unique<FetchPropsIter>(args->get_resource(), args->requested_props());
    response->fetch();
    return response;
}

std::unique_ptr<XdrObject> kxrpc_put_props(XdrObject *request) {
    PutPropsArgs *args = checked_cast<PutPropsArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_put_props %s)", args->describe()); });
    // Refused before any value is applied.
    if (args->atomic() && args->value_count() > 1) raise_reason(Reason::not_supported, kx_message(MSG_ATOMIC_MULTIPLE));
    auto response = std::make_unique<PutPropsIter>(args->get_resource(), args->values(), args->register_callback());
    response->open();
    response->apply();
    return response;
}

} // namespace KxRpc
