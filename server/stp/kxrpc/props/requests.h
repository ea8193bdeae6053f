// The property-operation requests: fetch_props and put_props, and the common part that the
// requests extending put_props share.
#pragma once

#include <vector>

#include <rpc/xdr.h>

#include "kxproduct/query.h"
#include "props/replies.h"
#include "props/values.h"
#include "target/genericop.h"
#include "target/requests.h"

namespace KxRpc {

// What fetch_props, put_props and the requests that extend put_props share: a session request
// with one target, the dynamic property names, and a header that reads a batch flag (which must
// be FALSE) between the correlator and the rest of the session header.
class PropsOpArgs : public TargetOpArgs {
public:
    ~PropsOpArgs() override;
    // "%s :: %s": the session line and the target line.
    Nul::UString trace_line() { return session_and_target(); }

    // The property object of the target, made by the property-access factory.
    std::unique_ptr<PropsResource> get_resource() {
        return PropsResource::getResource(session_or_fail(), dynamic_props_, target(), resource_type());
    }

    DynamicPropMap const &dynamic_props() const { return dynamic_props_; }

protected:
    // Correlator, batch flag, session handle, client locale, trace id.
    bool_t xdr_props_header(XDR *xdrs);

    DynamicPropMap dynamic_props_;
};

class FetchPropsArgs : public PropsOpArgs {
public:
    FetchPropsArgs();
    ~FetchPropsArgs() override;
    std::vector<PropRequest> const &requested_props() const { return requested_props_; }
    StateItemPtr const &context_item() const { return context_item_; }

protected:
    // Header, target, property count and requested properties, dynamic names, a flag that must
    // be FALSE, then an optional context-item handle.
    bool_t decode(XDR *xdrs) override;

private:
    std::vector<PropRequest> requested_props_;
    StateItemPtr context_item_;
};

class PutPropsArgs : public PropsOpArgs {
public:
    PutPropsArgs();
    ~PutPropsArgs() override;
    // "(%s) (atomic:%s :: register_callback:%s)".
    Nul::UString describe();

    PropValues const &values() const { return values_; }
    // Values the request carried, also when they were not kept (an unknown session).
    int value_count() const { return value_count_; }
    bool atomic() const { return atomic_; }
    bool register_callback() const { return register_callback_; }

protected:
    // Header, target, then the put items.
    bool_t decode(XDR *xdrs) override;
    // What ends every put request: the property count and values, the dynamic names, atomic and
    // register_callback.
    bool_t xdr_put_items(XDR *xdrs);

    PropValues values_;
    int value_count_ = 0;
    bool atomic_ = false;
    bool register_callback_ = false;
};

} // namespace KxRpc
