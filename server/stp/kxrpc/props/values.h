// Typed property values of put requests: decoded from the wire, applied by the put reply.
#pragma once

#include <memory>
#include <vector>

#include <rpc/xdr.h>

#include "target/target.h"
#include "tesutil/stpexception.h"
#include "tesutil/ustring.h"
#include "wire/xdrobject.h"

namespace Nul {
class DomParser;
}

namespace KxRpc {

// Value-type codes; the resource type codes (27 to 51) share this value space.
enum stprpc_xml_tag_id_t : int {
    STPRPC_STRING_VALUE = 100001,
    STPRPC_EMPTY_VALUE = 100002,
    STPRPC_ENUM_VALUE = 100003,
    STPRPC_OID_VALUE = 100004,
    STPRPC_INT_VALUE = 100005,
    STPRPC_BOOL_VALUE = 100006,
    STPRPC_DATE_VALUE = 100007,
    STPRPC_LIST_START = 100008,
    STPRPC_LIST_END = 100009,
    STPRPC_PROPERTY_NAME = 100010,
    STPRPC_UNSUPPORTED_PROPERTY = 100011,
    STPRPC_UNAVAILABLE_PROPERTY = 100012,
    STPRPC_PROPERTY_ERROR = 100013,
    STPRPC_FATAL_PROPERTY_ERROR = 100014,
    STPRPC_VALUELESS = 100015,
    STPRPC_INT64_VALUE = 100017,
    STPRPC_RESOURCE_LIST = 100018,
    STPRPC_XML_VALUE = 100019,
    STPRPC_STRING_LIST = 100021,
    STPRPC_RANGE_VALUE = 100022,
};

// The first id of the dynamic properties a request names by namespace and name.
constexpr int dynamic_prop_id_base = 1000000;

class BasePropValue : public XdrObject {
public:
    BasePropValue(int prop_id, int value_type);
    BasePropValue(BasePropValue const &) = delete;
    BasePropValue &operator=(BasePropValue const &) = delete;
    ~BasePropValue() override;
    // The empty value and the valueless marker carry no body.
    bool_t xdr(XDR *xdrs) override;

    int prop_id() const { return prop_id_; }
    int value_type() const { return value_type_; }
    bool is_empty_value() const { return value_type_ == STPRPC_EMPTY_VALUE; }
    bool is_type_100015() const { return value_type_ == STPRPC_VALUELESS; }
    bool failed() const { return failed_; }
    Nul::STPException const *error() const { return error_.get(); }
    // Marks the value failed.
    void set_error(std::unique_ptr<Nul::STPException> error);

private:
    int prop_id_;
    int value_type_;
    bool failed_ = false;
    std::unique_ptr<Nul::STPException> error_;
};

// An XML document sent as text; parsed on first demand.
class XmlPropValue : public XdrObject {
public:
    XmlPropValue();
    XmlPropValue(XmlPropValue const &) = delete;
    XmlPropValue &operator=(XmlPropValue const &) = delete;
    ~XmlPropValue() override;
    bool_t xdr(XDR *xdrs) override;
    Nul::UString const &text() const { return text_; }
    void set_text(Nul::UString const &text) { text_ = text; }
    // The same parser on every call; it parses on its own first use.
    Nul::DomParser *dom();

private:
    Nul::UString text_;
    std::unique_ptr<Nul::DomParser> dom_;
};

// The values of a put request, in the order they were sent.
using PropValues = std::vector<std::unique_ptr<BasePropValue>>;

template <class T>
class PropValue : public BasePropValue {
public:
    PropValue(int prop_id, int value_type) : BasePropValue(prop_id, value_type), value() {}
    ~PropValue() override = default;
    bool_t xdr(XDR *xdrs) override;
    T value;
};

template <class T>
class ListPropValue : public BasePropValue {
public:
    ListPropValue(int prop_id, int value_type) : BasePropValue(prop_id, value_type) {}
    ~ListPropValue() override = default;
    bool_t xdr(XDR *xdrs) override;
    std::vector<T> values;
};

// Bodies of the value forms; each traces the decoded value at the detail level 4.
bool_t xdr_prop_body(XDR *xdrs, Nul::UString &value);
bool_t xdr_prop_body(XDR *xdrs, bool &value);
bool_t xdr_prop_body(XDR *xdrs, stprpc_xml_tag_id_t &value);
bool_t xdr_prop_body(XDR *xdrs, XmlPropValue &value);
// A resource reference: its type code, then the target body for that type.
bool_t xdr_prop_body(XDR *xdrs, TargetResourceArg &value);

template <class T>
bool_t PropValue<T>::xdr(XDR *xdrs) {
    if (xdrs->x_op != XDR_DECODE) return FALSE;
    return xdr_prop_body(xdrs, value);
}

template <>
bool_t ListPropValue<Nul::UString>::xdr(XDR *xdrs);
template <>
bool_t ListPropValue<TargetResourceArg>::xdr(XDR *xdrs);

// Decodes the body of a value of this type code into a new object; null with FALSE for a code
// a put cannot carry.
bool_t xdr_prop_value(XDR *xdrs, int prop_id, int value_type, std::unique_ptr<BasePropValue> &out);

// Resource types a put may reference.
bool is_referable_resource_type(int code);

} // namespace KxRpc
