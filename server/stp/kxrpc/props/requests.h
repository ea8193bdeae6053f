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

// Correlator, batch flag (must be FALSE), the rest of the session header, the target, the
// property count and list, the dynamic names, then the subclass's rest.
class PropsOpArgs : public SessionArg, public GenericOpArgs {
public:
    PropsOpArgs();
    ~PropsOpArgs() override;
    bool_t xdr(XDR *xdrs) override;
    bool_t xdr_body(XDR *xdrs) override;
    bool correlator_decoded() override { return true; }
    // The target's ARM text in the request's product session; an unknown session handle
    // raises "Invalid Pointer".
    Nul::UString arm_target_uri() override;
    Nul::UString trace_line() override;

    virtual bool_t xdr_prop_list(XDR *xdrs, int count) = 0;
    virtual bool_t xdr_no_batch_flag(XDR *xdrs);
    virtual bool_t xdr_dynamic_props_names(XDR *xdrs);
    virtual bool_t xdr_rest(XDR *xdrs) = 0;
    // Items 4 to 9 of the request; requests that extend put_props read their own fields between
    // the target and the property count.
    virtual bool_t xdr_props(XDR *xdrs);
    // Items 5 to 9: the property count and list, the dynamic names and the rest.
    bool_t xdr_prop_items(XDR *xdrs);

    // The property object of the target (caller owns); made by the property-access factory.
    std::unique_ptr<PropsResource> get_resource() {
        return PropsResource::getResource(session_or_fail(), dynamic_props_, target_, resource_type_);
    }

    DynamicPropMap const &dynamic_props() const { return dynamic_props_; }

protected:
    DynamicPropMap dynamic_props_;
};

class FetchPropsArgs : public virtual PropsOpArgs {
public:
    FetchPropsArgs();
    ~FetchPropsArgs() override;
    bool_t xdr_prop_list(XDR *xdrs, int count) override;
    // A flag that must be FALSE, then an optional context-item handle.
    bool_t xdr_rest(XDR *xdrs) override;
    std::vector<PropRequest> const &requested_props() const { return requested_props_; }
    StateItemPtr const &context_item() const { return context_item_; }

private:
    std::vector<PropRequest> requested_props_;
    StateItemPtr context_item_;
};

class PutPropsArgs : public virtual PropsOpArgs {
public:
    PutPropsArgs();
    ~PutPropsArgs() override;
    bool_t xdr_prop_list(XDR *xdrs, int count) override;
    // atomic, register_callback.
    bool_t xdr_rest(XDR *xdrs) override;
    virtual bool_t xdr_value(XDR *xdrs, int prop_id, int value_type, std::unique_ptr<BasePropValue> &out);
    // "(%s) (atomic:%s :: register_callback:%s)".
    virtual Nul::UString describe();

    std::vector<BasePropValue *> const &values() const { return values_; }
    bool atomic() const { return atomic_; }
    bool register_callback() const { return register_callback_; }

protected:
    bool_t xdr_flags(XDR *xdrs);
    std::vector<BasePropValue *> values_;
    bool atomic_ = false;
    bool register_callback_ = false;
};

} // namespace KxRpc
