// The target part of requests that address one resource, and its decoders.
#pragma once

#include <vector>

#include <rpc/xdr.h>

#include "target/target.h"
#include "tesutil/ustring.h"

namespace KxRpc {

class GenericOpArgs {
public:
    GenericOpArgs();
    GenericOpArgs(GenericOpArgs const &other);
    GenericOpArgs &operator=(GenericOpArgs const &other);
    ~GenericOpArgs();
    // "target_resource_arg:(%s)".
    Nul::UString trace_line();

    int resource_type() const { return resource_type_; }
    TargetResourceArg &target() { return target_; }
    TargetResourceArg const &target() const { return target_; }

    AdEntityPtr record(AdSession *session) { return target_.record(session); }
    KXSmartPtr<KXEntityDef> record_type(AdSession *session) { return target_.record_type(session); }
    AdActionDef *action_def(AdSession *session) { return target_.action_def(session); }
    AdBucketPtr bucket(AdSession *session) { return target_.bucket(session); }
    AttachmentFolder *attachment_folder(AdSession *session) { return target_.attachment_folder(session); }
    Attachment *attachment(AdSession *session) { return target_.attachment(session); }
    StateItem *state_item_or_fail() const { return target_.state_item_or_fail(); }
    bool is_state_item_target() const { return target_.is_state_item_target(); }
    void assign(GenericOpArgs const &other);

private:
    friend bool_t xdr_target(XDR *xdrs, GenericOpArgs &target);
    int resource_type_ = 0;
    TargetResourceArg target_;
};

// Decode only: the resource type code, then the target body for that type.
bool_t xdr_target(XDR *xdrs, GenericOpArgs &target);
// A flag, then the target when the flag is TRUE.
bool_t xdr_optional_target(XDR *xdrs, bool &present, GenericOpArgs &target);

// `count` targets, each a resource type code and the target body; `count` has been bounded by
// the caller, and nothing is reserved beyond a small bound.
bool_t xdr_targets(XDR *xdrs, int count, std::vector<GenericOpArgs> &targets);
// A count, then that many targets.
bool_t xdr_target_list(XDR *xdrs, std::vector<GenericOpArgs> &targets);

// "(" + trace_line + ")" per element, nothing between them.
template <class It>
Nul::UString trace_list(It begin, It end) {
    Nul::UString text;
    for (; begin != end; ++begin) {
        text += Nul::UString(L"(");
        text += begin->trace_line();
        text += Nul::UString(L")");
    }
    return text;
}

} // namespace KxRpc
