// The sink through which property objects report fetched values.
#pragma once

#include <cstdint>

#include <sys/types.h>

#include "tesutil/stpexception.h"
#include "tesutil/ustring.h"

namespace Nul {
class Oid;
class XmlDoc;
} // namespace Nul

class CString;

namespace KxRpc {

class PropsResource;

// An attachment as a fetch reports it in full.
struct FullAttachment {
    u_int rectype_id = 0, record_id = 0, field_id = 0, attachment_id = 0;
    Nul::UString rectype_name, record_name, field_name, attachment_name;
    int size = 0;
    Nul::UString description;
};

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

} // namespace KxRpc
