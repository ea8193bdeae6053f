// Property access as the property-operation requests and their replies see it: the property
// object of a target, the reply bases, the put reply and the hook-value scope around a put.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include <rpc/xdr.h>

#include "kxproduct/entity.h"
#include "props/values.h"
#include "tesutil/stpexception.h"
#include "tesutil/ustring.h"
#include "wire/xdrobject.h"

namespace Nul {
class Oid;
class XmlDoc;
} // namespace Nul

class CString;

namespace KxRpc {

class LoginSession;
class TargetResourceArg;

// Dynamic property id -> {namespace id, name}.
using DynamicPropMap = std::unordered_map<int, std::pair<int, Nul::UString>>;

// One requested property of a fetch and the meta-properties asked of it.
struct PropRequest {
    int prop_id = 0;
    std::vector<int> metas;
    bool has_metas() const { return !metas.empty(); }
};

// The property object of one target. The fetchers of each resource type derive from it.
class PropsResource {
public:
    explicit PropsResource(LoginSession *session);
    // The property object for a request's target, chosen by its resource type code (caller owns).
    static PropsResource *getResource(LoginSession *session, DynamicPropMap const &dynamic_props,
                                      TargetResourceArg &target, int type);
    PropsResource(PropsResource const &) = delete;
    PropsResource &operator=(PropsResource const &) = delete;
    virtual ~PropsResource();

    // Throws on failure; the base knows no property it could set.
    virtual void put_prop(BasePropValue &value);
    virtual void complete_put_props(std::vector<BasePropValue *> const &failed);
    virtual void start_field_change_tracking();
    virtual void stop_field_change_tracking();
    // The base has no changed fields: FALSE, then a count of 0.
    virtual bool_t xdr_changed_fields(XDR *xdrs);
    virtual AdEntityPtr entity();
    virtual Nul::UString describe();

    void set_dynamic_props(DynamicPropMap const &props) { dynamic_props_ = props; }
    DynamicPropMap const &dynamic_props() const { return dynamic_props_; }
    LoginSession *login_session() const { return session_; }

private:
    LoginSession *session_;
    DynamicPropMap dynamic_props_;
};

// Saves and clears the session's hook message values while a record of a multi-modify batch is
// being worked on, and puts them back at the end of the scope.
class MRU_context {
public:
    explicit MRU_context(AdEntityPtr const &record);
    MRU_context(MRU_context const &) = delete;
    MRU_context &operator=(MRU_context const &) = delete;
    ~MRU_context();

    // The 16 value names, null-terminated.
    static wchar_t const *const *keys();
    static constexpr wchar_t const *batch_mode_name = L"@ostw_MultiModifyBatchMode";
    bool saved() const { return saved_ != nullptr; }

private:
    void restore() noexcept;
    AdEntityPtr record_;
    std::unique_ptr<std::vector<std::pair<Nul::UString, Nul::UString>>> saved_;
};

// Base of the fetch and put replies: owns the property object of the target.
class PropsOpIter : public XdrObject {
public:
    explicit PropsOpIter(PropsResource *resource);
    PropsOpIter(PropsOpIter const &) = delete;
    PropsOpIter &operator=(PropsOpIter const &) = delete;
    ~PropsOpIter() override;
    PropsResource *resource() const { return resource_; }

protected:
    PropsResource *resource_;
    XDR *xdrs_ = nullptr;
    bool more_ = false;
};

// The callbacks through which property objects report fetched values; each writes its value-type
// code and then the value straight into the reply. The bodies belong to property access.
class FetchPropResponses {
public:
    // Has the property object fetch one property, or one meta-property of it, into this sink;
    // product failures come out as the server's exceptions.
    virtual void perform_fetch_prop(PropsResource &resource, int prop_id);
    virtual void perform_fetch_meta(PropsResource &resource, int prop_id, int meta_id);
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
    virtual void record_time_value(Nul::UString const &value) = 0;
    virtual void record_time_value(std::int64_t value) = 0;
    virtual void record_property_type(int type) = 0;
    virtual void record_int64(std::int64_t value) = 0;
    virtual void record_xml(Nul::XmlDoc &doc) = 0;
    virtual void record_cstring(CString const &value) = 0;
    virtual void record_resource_as_cstring(int type, CString const &value) = 0;
    virtual bool property_error(Nul::STPException &e) = 0;
    virtual void record_query_obj_name(int type, Nul::UString const &name) = 0;
    virtual void record_query_obj_binding(int btype, Nul::UString const &leaf, int type, int seg1) = 0;
    virtual void record_resource(int type, int seg1, int seg2, int attach_fol, int attach) = 0;
    virtual void record_record_name_selector(Nul::UString const &rec_type, Nul::UString const &rec_name,
                                             Nul::UString const &rec_type_id, Nul::UString const &rec_id) = 0;
    virtual void record_query_obj_name(int btype, Nul::UString const &leaf, int type, int seg1, int seg2,
                                       int attach_folder, int attach) = 0;
    virtual void record_activity_selector(Nul::UString const &selector) = 0;
    virtual void record_range(unsigned start, unsigned end) = 0;

protected:
    ~FetchPropResponses() = default;
};

// The fetch_props reply: fetches the requested properties while it is written.
class FetchPropsIter : public PropsOpIter, public FetchPropResponses {
public:
    FetchPropsIter(PropsResource *resource, std::vector<PropRequest> const &requested);
    ~FetchPropsIter() override;
    bool_t xdr(XDR *xdrs) override;
    void perform_fetch_prop(PropsResource &resource, int prop_id) override;
    void perform_fetch_meta(PropsResource &resource, int prop_id, int meta_id) override;
    // Ends the reply after a failed write: tag 100014 and an implementation-error record.
    bool fatal_property_error(Nul::UString const &text);

private:
    std::vector<PropRequest> const &requested_;
    int list_depth_ = 0;
};

// The put_props reply: applies the request's values while it is written, one result each.
class PutPropsIter : public PropsOpIter {
public:
    PutPropsIter(PropsResource *resource, std::vector<BasePropValue *> const &values, bool register_callback);
    ~PutPropsIter() override;
    bool_t xdr(XDR *xdrs) override;

private:
    bool_t put_values();
    std::vector<BasePropValue *> const &values_;
    bool register_callback_;
};

// Item 6 of a fetch request: `count` requested properties, read one enum ahead, so exactly one
// enum past the last entry is consumed (also when `count` is 0). A property followed by -1
// carries meta-property ids up to -2.
bool_t xdr_requested_props(XDR *xdrs, int count, std::vector<PropRequest> &props);
// Items 7 and 8: the count of dynamic names, then namespace abbreviation and name per entry,
// numbered from the first dynamic id.
bool_t xdr_dynamic_prop_names(XDR *xdrs, DynamicPropMap &props);

} // namespace KxRpc
