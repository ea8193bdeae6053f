// The property-operation requests: fetch_props and put_props, and the common part that the
// requests extending put_props share.
#pragma once

#include <vector>

#include <rpc/xdr.h>

#include "kxproduct/query.h"
#include "protocol/genericop.h"
#include "protocol/props.h"
#include "protocol/propvalues.h"
#include "protocol/requests.h"

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
    PropsResource *get_resource() {
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
    virtual bool_t xdr_value(XDR *xdrs, int prop_id, int value_type, BasePropValue *&out);
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

// mkresource: the target, the type of the new resource, an optional parent folder, the full name
// (not sent for records), then the values to put.
class CreateResourceArgs : public PutPropsArgs {
public:
    CreateResourceArgs();
    ~CreateResourceArgs() override;
    bool_t xdr_props(XDR *xdrs) override;
    // "(has_parent:%s :: full_name:%s :: m_parent: (%s) (%s))".
    Nul::UString describe() override;
    int resource_type() const { return new_type_; }
    bool has_parent() const { return has_parent_; }
    // The parent folder in the request's session.
    AdBucketPtr parent_bucket() { return parent_.bucket(api_session_or_fail()); }
    Nul::UString full_name() const { return full_name_; }

private:
    int new_type_ = 0;
    bool has_parent_ = false;
    GenericOpArgs parent_;
    Nul::UString full_name_;
};

// create_user: the target, the new user's name, then the values to put.
class CreateUserArgs : public PutPropsArgs {
public:
    CreateUserArgs();
    ~CreateUserArgs() override;
    bool_t xdr_props(XDR *xdrs) override;
    // "%s :: name:%s".
    Nul::UString describe() override;
    Nul::UString name() const { return name_; }

private:
    Nul::UString name_;
};

// copy_query: the source, the destination path, the workspace dbids not to copy, the new or
// modified items under the source, then the values to put.
class CopyQueryArgs : public PutPropsArgs {
public:
    CopyQueryArgs();
    ~CopyQueryArgs() override;
    bool_t xdr_props(XDR *xdrs) override;
    Nul::UString destination() const { return destination_; }
    std::vector<int> const &do_not_copy() const { return do_not_copy_; }
    bool is_do_not_copy(int dbid) const;
    std::vector<GenericOpArgs>::iterator items_begin() { return items_.begin(); }
    std::vector<GenericOpArgs>::iterator items_end() { return items_.end(); }

private:
    AdQueryDefPtr query_def_;
    bool flag_ = false;
    Nul::UString destination_;
    std::vector<int> do_not_copy_;
    std::vector<GenericOpArgs> items_;
};

// move_query: the source, the destination path, overwrite, then the values to put.
class MoveQueryArgs : public PutPropsArgs {
public:
    MoveQueryArgs();
    ~MoveQueryArgs() override;
    bool_t xdr_props(XDR *xdrs) override;
    Nul::UString destination() const { return destination_; }
    bool overwrite() const { return overwrite_; }

private:
    AdQueryDefPtr query_def_;
    bool flag_ = false;
    Nul::UString destination_;
    bool overwrite_ = false;
};

} // namespace KxRpc
