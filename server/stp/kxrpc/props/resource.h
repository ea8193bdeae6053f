// The property object of one resource. Every resource kind derives its fetcher (and, where it has
// one, its writer) from PropsResource.
#pragma once

#include <initializer_list>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include <rpc/xdr.h>

#include "kxproduct/entity.h"
#include "props/fetch_sink.h"
#include "props/values.h"
#include "tesutil/stpexception.h"
#include "tesutil/ustring.h"

namespace KxRpc {

class LoginSession;
class TargetResourceArg;

// A dynamic property the request declared: {namespace id, name}.
using DynamicPropName = std::pair<int, Nul::UString>;
// Dynamic property id (dynamic_prop_id_base + position) -> its declared name.
using DynamicPropMap = std::unordered_map<int, DynamicPropName>;
// The namespace answered for an id the request did not declare.
constexpr int no_namespace = -1;

// The property object of one target.
class PropsResource {
public:
    explicit PropsResource(LoginSession *session);
    // The property object for a request's target, chosen by its resource type code. Product
    // failures come out as the server's exceptions.
    static std::unique_ptr<PropsResource> getResource(LoginSession *session, DynamicPropMap const &dynamic_props,
                                                      TargetResourceArg &target, int type);
    PropsResource(PropsResource const &) = delete;
    PropsResource &operator=(PropsResource const &) = delete;
    virtual ~PropsResource();

    // The ids every resource answers: all public property names, and the supported set.
    virtual void fetch_generic_prop(FetchPropResponses &out, int prop_id);
    virtual void fetch_prop(FetchPropResponses &out, int prop_id);
    // Throws: reason 9 for a supported property (read-only here), 64 for an unknown one.
    virtual void put_prop(BasePropValue &value);
    virtual void complete_put_props(PropValues const &values);
    virtual void set_dynamic_props(DynamicPropMap const &props);
    // For an id the request did not declare: empty name, namespace no_namespace.
    virtual Nul::UString dynamic_prop_name(int prop_id);
    virtual int dynamic_prop_ns(int prop_id);
    virtual DynamicPropName dynamic_prop(int prop_id);
    // Names of dynamic properties of the resource itself; null when it has none.
    virtual std::unique_ptr<std::vector<Nul::UString>> dynamic_prop_names();
    virtual bool is_supported_prop(int prop_id);
    // Meta MPN:value is the property itself; the base knows no other meta.
    virtual void fetch_meta(FetchPropResponses &out, int prop_id, int meta_id);
    virtual void start_field_change_tracking();
    virtual void stop_field_change_tracking();
    // Reads from the product what xdr_changed_fields reports, so that writing it calls none.
    virtual void read_changed_fields();
    // The base has no changed fields: FALSE, then a count of 0.
    virtual bool_t xdr_changed_fields(XDR *xdrs);
    virtual AdEntityPtr entity();
    virtual Nul::UString describe();
    // Built once per class, safely when threads ask first at the same time; never changed.
    virtual std::set<int> const &supported_properties();

    bool has_dynamic_prop(int prop_id) const { return dynamic_props_.count(prop_id) != 0; }
    DynamicPropMap const &dynamic_props() const { return dynamic_props_; }
    LoginSession *login_session() const { return session_; }

protected:
    // The ids every resource supports: 656, 1103 and 595.
    static std::set<int> const &base_properties();
    // `own` and the ids of the base set.
    static std::set<int> with_base_properties(std::initializer_list<int> own);

private:
    LoginSession *session_;
    DynamicPropMap dynamic_props_;
};

} // namespace KxRpc
