// The part of a request that addresses one resource: its type code and its target.
#pragma once

#include <rpc/xdr.h>

#include "protocol/target.h"
#include "tesutil/ustring.h"

class AdSession;

namespace KxRpc {

class GenericOpArgs {
public:
    GenericOpArgs() = default;
    GenericOpArgs(GenericOpArgs const &) = delete;
    GenericOpArgs &operator=(GenericOpArgs const &) = delete;
    virtual ~GenericOpArgs();
    // Decode only: the resource type (an enum, kept in the target), then the target.
    virtual bool_t xdr(XDR *xdrs);
    // "target_resource_arg:(%s)" with the target's trace text.
    virtual Nul::UString trace_line();

    int resource_type() const { return resource_type_; }
    TargetResourceArg &target() { return target_; }
    TargetResourceArg const &target() const { return target_; }

    AdEntityPtr record(AdSession *session) { return target_.record(session); }
    KXSmartPtr<KXEntityDef> record_type(AdSession *session) { return target_.record_type(session); }
    AdActionDef *action_def(AdSession *session) { return target_.action_def(session); }
    AdBucketPtr bucket(AdSession *session) { return target_.bucket(session); }
    StateItem *state_item_or_fail() const { return target_.state_item_or_fail(); }
    bool is_state_item_target() const { return target_.is_state_item_target(); }
    // Copies the resource type and the target of another request part.
    void assign(GenericOpArgs const &other);

protected:
    int resource_type_ = 0;
    TargetResourceArg target_;
};

} // namespace KxRpc
