// The property object of one resource, and the sink through which it reports fetched values.
// Every resource kind derives its fetcher (and, where it has one, its writer) from PropsResource.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include <rpc/xdr.h>

#include "kxproduct/entity.h"
#include "props/values.h"
#include "tesutil/stpexception.h"
#include "tesutil/ustring.h"

namespace Nul {
class Oid;
class XmlDoc;
} // namespace Nul

class CString;

namespace KxRpc {

class LoginSession;
class TargetResourceArg;

// A dynamic property the request declared: {namespace id, name}.
using DynamicPropName = std::pair<int, Nul::UString>;
// Dynamic property id (dynamic_prop_id_base + position) -> its declared name.
using DynamicPropMap = std::unordered_map<int, DynamicPropName>;
// The namespace answered for an id the request did not declare.
constexpr int no_namespace = -1;

// Value-type tags written before each value of a fetch reply.
enum PropValueTag : int {
    PV_STRING = 100001,
    PV_EMPTY = 100002,
    PV_ENUM = 100003,
    PV_OID = 100004,
    PV_INT = 100005,
    PV_BOOL = 100006,
    PV_DATE_TIME = 100007,
    PV_LIST_START = 100008,
    PV_LIST_END = 100009,
    PV_PROPERTY_NAME = 100010,
    PV_UNSUPPORTED = 100011,
    PV_UNAVAILABLE = 100012,
    PV_PROPERTY_ERROR = 100013,
    PV_FATAL_ERROR = 100014,
    PV_INT64 = 100017,
    PV_XML = 100019,
    PV_CHILD_BINDING = 100020,
    PV_RANGE = 100022,
    // Element type of the lists of workspace items.
    PV_WORKSPACE_ITEMS = 7,
    // Tags of composite values.
    PV_RECORD_NAME_SELECTOR = 33,
    PV_ACTIVITY_SELECTOR = 45,
    PV_ATTACHMENT = 55,
    // References to resources, in the reply's own numbering: the request's resource type codes
    // (TargetType) for record types and records, one lower from field definitions on.
    PV_REF_REPLICA = 27,
    PV_REF_USERDB = 30,
    PV_REF_RECTYPE = 31,
    PV_REF_RECORD = 32,
    PV_REF_FIELD_DEF = 34,
    PV_REF_QUERY = 35,
    PV_REF_FOLDER = 36,
    PV_REF_REPORT_FORMAT = 38,
    PV_REF_ACTION = 39,
    PV_REF_FORM = 40,
    PV_REF_HOOK = 41,
    PV_REF_DYNAMIC_LIST = 42,
    PV_REF_ATTACHMENT_FOLDER = 44,
    PV_REF_CURRENT_USER = 49,
    PV_REF_GROUP = 50,
    PV_REF_LOGIN = 51,
};

// One requested property of a fetch and the meta-properties asked of it.
struct PropRequest {
    int prop_id = 0;
    std::vector<int> metas;
    bool has_metas() const { return !metas.empty(); }
};

// An attachment as a fetch reports it in full.
struct FullAttachment {
    u_int rectype_id = 0, record_id = 0, field_id = 0, attachment_id = 0;
    Nul::UString rectype_name, record_name, field_name, attachment_name;
    int size = 0;
    Nul::UString description;
};

class PropsResource;

// The callbacks through which property objects report fetched values. For one property (or one
// meta of it) a fetcher reports exactly one value: a scalar; a list between its start and end;
// an empty, unavailable or unsupported marker; or it throws.
class FetchPropResponses {
public:
    // Has the property object fetch one property, or one meta-property of it, into this sink.
    // Product failures come out as the server's exceptions (the product's own are deleted).
    virtual void perform_fetch_prop(PropsResource &resource, int prop_id);
    virtual void perform_fetch_meta(PropsResource &resource, int prop_id, int meta_id);
    // `type` is the empty reason (EmptyReason).
    virtual void record_empty(int type) = 0;
    virtual void start_list_property_values(int element_type) = 0;
    virtual void end_list_property_values() = 0;
    virtual void unavailable_property() = 0;
    virtual void unsupported_property() = 0;
    virtual void record_ustring(Nul::UString const &value) = 0;
    virtual void record_enum(int value) = 0;
    virtual void record_property_name(Nul::UString const &name) = 0;
    virtual void record_property_name(int prop_id) = 0;
    virtual void record_oid(Nul::Oid const &oid) = 0;
    virtual void record_int(int value) = 0;
    virtual void record_bool(bool value) = 0;
    // A product date text (local time); sent in UTC. A text that does not parse throws.
    virtual void record_time_value(Nul::UString const &value) = 0;
    // Seconds since 1970, sent in UTC.
    virtual void record_time_value(std::int64_t value) = 0;
    virtual void record_property_type(int type) = 0;
    virtual void record_int64(std::int64_t value) = 0;
    virtual void record_xml(Nul::XmlDoc &doc) = 0;
    virtual void record_cstring(CString const &value) = 0;
    virtual void record_resource_as_cstring(int type, CString const &value) = 0;
    // Reports the failure of one property as its value; false when it could not be written.
    virtual bool property_error(Nul::STPException &e) = 0;
    virtual void record_query_obj_name(int type, Nul::UString const &name) = 0;
    virtual void record_query_obj_binding(int btype, Nul::UString const &leaf, int type, int seg1) = 0;
    // A reference to a resource by its code and dbid segments (which ones go out depends on the code).
    virtual void record_resource(int type, int seg1, int seg2, int attach_fol, int attach) = 0;
    virtual void record_record_name_selector(Nul::UString const &rec_type, Nul::UString const &rec_name,
                                             Nul::UString const &rec_type_id, Nul::UString const &rec_id) = 0;
    virtual void record_query_obj_name(int btype, Nul::UString const &leaf, int type, int seg1, int seg2,
                                       int attach_folder, int attach) = 0;
    virtual void record_attachment_full_binding(int btype, Nul::UString const &leaf,
                                                FullAttachment const &attachment) = 0;
    virtual void record_attachment_full(FullAttachment const &attachment) = 0;
    virtual void record_activity_selector(Nul::UString const &selector) = 0;
    virtual void record_range(unsigned start, unsigned end) = 0;

protected:
    ~FetchPropResponses() = default;
};

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
