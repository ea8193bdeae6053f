#include "props/values.h"

#include <algorithm>

#include "wexxml/domparser.h"
#include "wire/decode_budget.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {
constexpr int value_trace_level = 4;
}

BasePropValue::BasePropValue(int prop_id, int value_type) : prop_id_(prop_id), value_type_(value_type) {}

BasePropValue::~BasePropValue() {
    ignoring_failures([this] { error_.reset(); });
}

bool_t BasePropValue::xdr(XDR *xdrs) {
    if (xdrs->x_op != XDR_DECODE) return FALSE;
    trace_lazy(value_trace_level, [] { return Nul::UString(L"PutPropsArgs::xdr_PropValue::empty"); });
    return TRUE;
}

void BasePropValue::set_error(std::unique_ptr<Nul::STPException> error) {
    error_ = std::move(error);
    failed_ = true;
}

XmlPropValue::XmlPropValue() = default;

XmlPropValue::~XmlPropValue() {
    ignoring_failures([this] { dom_.reset(); });
}

bool_t XmlPropValue::xdr(XDR *xdrs) { return xdr_prop_body(xdrs, *this); }

Nul::DomParser *XmlPropValue::dom() {
    if (!dom_) dom_ = std::make_unique<Nul::DomParser>(text_.utf8_str().std_str());
    return dom_.get();
}

bool_t xdr_prop_body(XDR *xdrs, Nul::UString &value) {
    if (!xdr_ustring(xdrs, value, max_wire_text)) return FALSE;
    trace_lazy(value_trace_level,
               [&] { return text_format("PutPropsArgs::xdr_PropValue::UString (value:%s)", value); });
    return TRUE;
}

bool_t xdr_prop_body(XDR *xdrs, bool &value) {
    if (!xdr_flag(xdrs, value)) return FALSE;
    trace_lazy(value_trace_level,
               [&] { return text_format("PutPropsArgs::xdr_PropValue::bool (value:%s)", tf(value)); });
    return TRUE;
}

bool_t xdr_prop_body(XDR *xdrs, stprpc_xml_tag_id_t &value) {
    int wire = 0;
    if (!xdr_int(xdrs, &wire)) return FALSE;
    value = static_cast<stprpc_xml_tag_id_t>(wire);
    trace_lazy(value_trace_level,
               [&] { return text_format("PutPropsArgs::xdr_PropValue::stprpc_xml_tag_id_t (value:%d)", wire); });
    return TRUE;
}

bool_t xdr_prop_body(XDR *xdrs, XmlPropValue &value) {
    Nul::UString text;
    if (!xdr_ustring(xdrs, text, max_wire_text)) return FALSE;
    value.set_text(text);
    trace_lazy(value_trace_level, [&] { return text_format("PutPropsArgs::xdr_PropValue::xml (value:%s)", text); });
    return TRUE;
}

bool_t xdr_prop_body(XDR *xdrs, TargetResourceArg &value) {
    int type = 0;
    if (!xdr_int(xdrs, &type)) return FALSE;
    value.set_type(type);
    if (!value.xdr(xdrs)) return FALSE;
    trace_lazy(value_trace_level, [&] {
        return text_format("PutPropsArgs::xdr_PropValue::TargetResourceArg (value:%s)", value.to_selector());
    });
    return TRUE;
}

namespace {

// Elements are read one at a time: a count the stream cannot back fails at the stream's end and
// never reserves more than a small bound.
template <class T>
bool_t xdr_list_body(XDR *xdrs, std::vector<T> &values) {
    if (xdrs->x_op != XDR_DECODE) return FALSE;
    int count = 0;
    if (!xdr_list_count(xdrs, count)) return FALSE;
    values.reserve(list_reserve(count));
    for (int i = 0; i < count; ++i) {
        T element;
        if (!xdr_prop_body(xdrs, element) || !keep_decoded(values, std::move(element))) return FALSE;
    }
    return TRUE;
}

} // namespace

template <>
bool_t ListPropValue<Nul::UString>::xdr(XDR *xdrs) {
    return xdr_list_body(xdrs, values);
}

template <>
bool_t ListPropValue<TargetResourceArg>::xdr(XDR *xdrs) {
    return xdr_list_body(xdrs, values);
}

bool is_referable_resource_type(int code) {
    switch (code) {
    case TT_UNUSED_27:
    case TT_DBSET:
    case TT_USERDB:
    case TT_RECTYPE:
    case TT_RECORD:
    case TT_REPLICA:
    case TT_FIELDDEF:
    case TT_QUERY:
    case TT_REPORT_FORMAT:
    case TT_ACTION:
    case TT_FORM:
    case TT_UNUSED_49:
    case TT_UNUSED_50:
        return true;
    default:
        return false;
    }
}

namespace {

// Charged for each value before it is made: the largest kind's object (its strings and list items
// are charged as they are read).
constexpr std::size_t value_cost = heap_cost(std::max(
    {sizeof(BasePropValue), sizeof(PropValue<Nul::UString>), sizeof(PropValue<bool>),
     sizeof(PropValue<stprpc_xml_tag_id_t>), sizeof(PropValue<XmlPropValue>), sizeof(PropValue<TargetResourceArg>),
     sizeof(ListPropValue<Nul::UString>), sizeof(ListPropValue<TargetResourceArg>)}));

} // namespace

bool_t xdr_prop_value(XDR *xdrs, int prop_id, int value_type, std::unique_ptr<BasePropValue> &out) {
    out.reset();
    if (xdrs->x_op != XDR_DECODE || !charge_decoded(value_cost)) return FALSE;
    try {
        trace_lazy(value_trace_level,
                   [&] { return text_format("PutPropsArgs::xdr_value: (name:%d :: type:%d)", prop_id, value_type); });
        switch (value_type) {
        case STPRPC_STRING_VALUE:
        case STPRPC_DATE_VALUE:
            out = std::make_unique<PropValue<Nul::UString>>(prop_id, value_type);
            break;
        case STPRPC_EMPTY_VALUE:
        case STPRPC_VALUELESS:
            out = std::make_unique<BasePropValue>(prop_id, value_type);
            break;
        case STPRPC_ENUM_VALUE:
            out = std::make_unique<PropValue<stprpc_xml_tag_id_t>>(prop_id, value_type);
            break;
        case STPRPC_BOOL_VALUE:
            out = std::make_unique<PropValue<bool>>(prop_id, value_type);
            break;
        case STPRPC_XML_VALUE:
            out = std::make_unique<PropValue<XmlPropValue>>(prop_id, value_type);
            break;
        case STPRPC_STRING_LIST:
            out = std::make_unique<ListPropValue<Nul::UString>>(prop_id, value_type);
            break;
        case STPRPC_RESOURCE_LIST:
            out = std::make_unique<ListPropValue<TargetResourceArg>>(prop_id, value_type);
            break;
        default:
            if (!is_referable_resource_type(value_type)) return FALSE;
            out = std::make_unique<PropValue<TargetResourceArg>>(prop_id, value_type);
            break;
        }
        return out->xdr(xdrs);
    } catch (...) {
        return hold_failure(xdrs, L"xdr_prop_value");
    }
}

} // namespace KxRpc
