// The fetch_props reply: the handler reads each requested property from its property object and
// every value it reports is recorded as the words it goes out as; writing the reply sends them.
#include "props/replies.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "kxwin/cstring.h"
#include "props/convert.h"
#include "props/value_tags.h"
#include "tesutil/davtime.h"
#include "tesutil/oid.h"
#include "wexxml/xmldoc.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/errors.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

constexpr auto log_level = Nul::STPException::LOG_INFO;

bool_t put_enum(XDR *xdrs, int value) {
    enum_t v = value;
    return xdr_enum(xdrs, &v);
}

// What each kind of write is called in the marshalling error of a failed write, by Word::Write.
char const *const write_names[] = {"",
                                   "prop_value_type",
                                   "list element",
                                   "string",
                                   "enum",
                                   "resource segment",
                                   "attachment id",
                                   "attachment size",
                                   "property name",
                                   "oid",
                                   "int",
                                   "bool",
                                   "int64",
                                   "range"};

// Codes of resource references and the segments each writes after its code.
unsigned reference_segments(int type) {
    switch (type) {
    case 27:
    case 31:
    case 35:
    case 36:
    case 37:
    case 38:
    case 42:
    case 49:
    case 50:
    case 51:
        return 1;
    case 32:
    case 34:
    case 39:
    case 40:
    case 41:
        return 2;
    case 44:
        return 3;
    case 43:
    case 55:
        return 4;
    default:
        return 0;
    }
}

} // namespace

// ---- FetchPropResponses

void FetchPropResponses::perform_fetch_prop(PropsResource &resource, int prop_id) {
    converting_product_failures([&] { resource.fetch_prop(*this, prop_id); },
                                L"FetchPropResponses::perform_fetch_prop");
}

void FetchPropResponses::perform_fetch_meta(PropsResource &resource, int prop_id, int meta_id) {
    converting_product_failures([&] { resource.fetch_meta(*this, prop_id, meta_id); });
}

// ---- FetchPropsIter

FetchPropsIter::FetchPropsIter(std::unique_ptr<PropsResource> resource, std::vector<PropRequest> const &requested)
    : PropsOpIter(std::move(resource)), requested_(requested) {}

FetchPropsIter::~FetchPropsIter() = default;

void FetchPropsIter::fetch() {
    if (fetched_) return;
    fetched_ = true;
    if (!resource_) {
        put(Word::Abort, 0, Word::W_NONE);
        return;
    }
    try {
        fetch_all();
    } catch (...) {
        keep_failure(L"FetchPropsIter::fetch");
        put(Word::Abort, 0, Word::W_NONE);
    }
    drop_resource();
}

bool_t FetchPropsIter::xdr(XDR *xdrs) {
    if (xdrs == nullptr || xdrs->x_op != XDR_ENCODE) return FALSE;
    if (!fetched_ && !resource_) return FALSE;
    fetch();
    try {
        return write_recorded(xdrs);
    } catch (...) {
        return hold_failure(xdrs, L"FetchPropsIter::xdr");
    }
}

Nul::UString FetchPropsIter::resource_text() const {
    Nul::UString text(L"NULL");
    if (resource_) ignoring_failures([&] { text = resource_->describe(); });
    return text;
}

bool FetchPropsIter::undeclared_dynamic(int prop_id) const {
    return prop_id >= dynamic_prop_id_base && !resource_->has_dynamic_prop(prop_id);
}

void FetchPropsIter::fetch_all() {
    std::size_t left = requested_.size();
    more_ = left > 0;
    list_depth_ = 0;
    trace_lazy(1, [this] { return text_format("FetchPropsIter::xdr Start: (%s)", resource_text()); });
    auto next = requested_.begin();
    for (;;) {
        put(Word::Bool, more_ ? 1 : 0, Word::W_NONE);
        if (!more_) return;
        PropRequest const &entry = *next++;
        more_ = --left > 0;
        entry_starts_.emplace_back(words_.size(), entry.prop_id);
        int meta = 0;
        try {
            // Any failure of the property is answered in its place, as a server exception. Nothing
            // is written while reading, so a marshalling error here is the property's own failure,
            // not a failed write: only write_recorded ends the reply with a fatal error.
            product_call([&] { fetch_entry(entry, meta); }, unexpected_in(L"FetchPropsIter::xdr"));
        } catch (Nul::STPException &e) {
            trace_entry_failure(entry.prop_id, meta, e);
            property_error(e);
            // Every list the failed property opened is closed, so the reply stays balanced.
            while (list_depth_ > 0) {
                trace_value("FetchPropsIter::end_list_property_values: (depth:%d)", list_depth_);
                put(Word::Enum, PV_LIST_END, Word::W_NONE);
                --list_depth_;
            }
        }
    }
}

// What a failed write of the recorded reply sends: the marshalling error as the reply's fatal
// error, as when the value had been written the moment it was read.
bool_t FetchPropsIter::write_recorded(XDR *xdrs) {
    xdrs_ = xdrs;
    for (Word const &w : words_) {
        bool_t written = FALSE;
        switch (w.kind) {
        case Word::Enum:
            written = put_enum(xdrs, static_cast<int>(w.value));
            break;
        case Word::Int: {
            int v = static_cast<int>(w.value);
            written = xdr_int(xdrs, &v);
            break;
        }
        case Word::UInt: {
            u_int v = static_cast<u_int>(w.value);
            written = xdr_u_int(xdrs, &v);
            break;
        }
        case Word::Bool: {
            bool_t b = w.value ? TRUE : FALSE;
            written = xdr_bool(xdrs, &b);
            break;
        }
        case Word::Int64: {
            std::int64_t v = w.value;
            written = xdr_int64(xdrs, v);
            break;
        }
        case Word::String:
            written = xdr_utf8(xdrs, strings_[static_cast<std::size_t>(w.value)]);
            break;
        case Word::Unwritable:
            break;
        case Word::Error:
            written = xdr_exception(xdrs, errors_[static_cast<std::size_t>(w.value)].get());
            break;
        case Word::Abort:
            return fail_reply();
        }
        if (written) continue;
        if (w.what == Word::W_NONE) return FALSE;
        PropertyValueMarshallingException e(Nul::UString(write_names[w.what], "UTF-8"));
        if (trace_enabled(1)) {
            // The entry the word belongs to; the property object is gone, so no dynamic name.
            std::size_t const at = static_cast<std::size_t>(&w - words_.data());
            auto entry = std::upper_bound(entry_starts_.begin(), entry_starts_.end(), at,
                                          [](std::size_t i, auto const &start) { return i < start.first; });
            int const prop = entry == entry_starts_.begin() ? 0 : std::prev(entry)->second;
            trace_exception_detail(L"FetchPropsIter::xdr",
                                   text_format("(prop:%d :: meta:%d :: dyn:%s)", prop, 0, Nul::UString()), e);
        }
        Nul::UString text;
        ignoring_failures([&] { text = exception_message_text(e); });
        if (text.empty()) return FALSE;
        return fatal_property_error(text) ? TRUE : FALSE;
    }
    return TRUE;
}

void FetchPropsIter::fetch_entry(PropRequest const &entry, int &meta_in_progress) {
    int const id = entry.prop_id;
    if (!entry.has_metas()) {
        trace_lazy(1, [&] { return text_format("FetchPropsIter::xdr Fetching: (prop:%d)", id); });
        if (undeclared_dynamic(id))
            unsupported_property();
        else
            perform_fetch_prop(*resource_, id);
        trace_lazy(4, [] { return Nul::UString(L"FetchPropsIter::xdr Completed"); });
        return;
    }
    std::vector<int> metas = entry.metas;
    std::sort(metas.begin(), metas.end());
    metas.erase(std::unique(metas.begin(), metas.end()), metas.end());
    for (int meta : metas) {
        meta_in_progress = meta;
        trace_lazy(1, [&] { return text_format("FetchPropsIter::xdr FetchMeta: (prop:%d :: meta:%d)", id, meta); });
        if (undeclared_dynamic(id))
            unsupported_property();
        else
            perform_fetch_meta(*resource_, id, meta);
        trace_lazy(4, [] { return Nul::UString(L"FetchPropsIter::xdr Completed"); });
    }
}

void FetchPropsIter::trace_entry_failure(int prop_id, int meta, Nul::STPException const &e) const {
    if (!trace_enabled(1)) return;
    Nul::UString dyn;
    if (prop_id > 999999) ignoring_failures([&] { dyn = resource_->dynamic_prop_name(prop_id); });
    trace_exception_detail(L"FetchPropsIter::xdr", text_format("(prop:%d :: meta:%d :: dyn:%s)", prop_id, meta, dyn),
                           e);
}

// ---- writing

void FetchPropsIter::put(Word::Kind kind, std::int64_t value, Word::Write what) {
    words_.push_back(Word{kind, what, value});
}

void FetchPropsIter::prop_value_type(int type) {
    trace_lazy(3, [&] { return text_format("FetchPropsIter::prop_value_type: (type:%d)", type); });
    put(Word::Enum, type, Word::W_PROP_VALUE_TYPE);
}

void FetchPropsIter::value_written() {
    if (list_depth_ > 0) put(Word::Bool, 1, Word::W_LIST_ELEMENT);
}

void FetchPropsIter::put_string(Nul::UString const &value) {
    try {
        strings_.push_back(value.utf8_str());
    } catch (...) {
        ignore_current_exception(std::source_location::current());
        put(Word::Unwritable, 0, Word::W_STRING);
        return;
    }
    put(Word::String, static_cast<std::int64_t>(strings_.size() - 1), Word::W_STRING);
}

void FetchPropsIter::put_enum_value(int value) { put(Word::Enum, value, Word::W_ENUM); }

void FetchPropsIter::put_reference(int type, int seg1, int seg2, int attach_fol, int attach) {
    prop_value_type(type);
    int segments[4] = {seg1, seg2, attach_fol, attach};
    unsigned const count = reference_segments(type);
    for (unsigned i = 0; i < count; ++i) put(Word::UInt, static_cast<u_int>(segments[i]), Word::W_RESOURCE_SEGMENT);
}

void FetchPropsIter::put_attachment_full(FullAttachment const &a) {
    prop_value_type(55);
    for (u_int id : {a.rectype_id, a.record_id, a.field_id, a.attachment_id})
        put(Word::UInt, id, Word::W_ATTACHMENT_ID);
    put_string(a.rectype_name);
    put_string(a.record_name);
    put_string(a.field_name);
    put_string(a.attachment_name);
    put(Word::Int, a.size, Word::W_ATTACHMENT_SIZE);
    put_string(a.description);
}

template <class... Args>
void FetchPropsIter::trace_value(char const *format, Args const &...args) {
    trace_lazy(3, [&] { return text_format(format, args...); });
}

// ---- the callbacks

void FetchPropsIter::record_empty(int type) {
    trace_value("FetchPropsIter::record_empty: (type:%d)", type);
    prop_value_type(PV_EMPTY);
    put_enum_value(type);
    value_written();
}

void FetchPropsIter::start_list_property_values(int element_type) {
    trace_value("FetchPropsIter::start_list_property_values: (type:%d)", element_type);
    prop_value_type(PV_LIST_START);
    put_enum_value(element_type);
    ++list_depth_;
    value_written();
}

void FetchPropsIter::end_list_property_values() {
    trace_value("FetchPropsIter::end_list_property_values: (depth:%d)", list_depth_);
    prop_value_type(PV_LIST_END);
    if (list_depth_ > 0) --list_depth_;
}

void FetchPropsIter::unavailable_property() {
    trace_value("FetchPropsIter::unavailable_property");
    prop_value_type(PV_UNAVAILABLE);
    value_written();
}

void FetchPropsIter::unsupported_property() {
    trace_value("FetchPropsIter::unsupported_property");
    prop_value_type(PV_UNSUPPORTED);
    value_written();
}

void FetchPropsIter::record_ustring(Nul::UString const &value) {
    trace_value("FetchPropsIter::record_ustring: (val:%s)", value);
    prop_value_type(PV_STRING);
    put_string(value);
    value_written();
}

void FetchPropsIter::record_enum(int value) {
    trace_value("FetchPropsIter::record_enum: (val:%d)", value);
    prop_value_type(PV_ENUM);
    put_enum_value(value);
    value_written();
}

void FetchPropsIter::record_property_name(Nul::UString const &name) {
    trace_value("FetchPropsIter::record_property_name: (name:%s)", name);
    prop_value_type(PV_PROPERTY_NAME);
    put(Word::Bool, 0, Word::W_PROPERTY_NAME);
    put_string(name);
    value_written();
}

void FetchPropsIter::record_property_name(int prop_id) {
    trace_value("FetchPropsIter::record_property_name: (prop:%d)", prop_id);
    prop_value_type(PV_PROPERTY_NAME);
    put(Word::Bool, 1, Word::W_PROPERTY_NAME);
    put_enum_value(prop_id);
    value_written();
}

void FetchPropsIter::record_oid(Nul::Oid const &oid) {
    trace_value("FetchPropsIter::record_oid: (val:%s)", oid.dense_str());
    prop_value_type(PV_OID);
    for (std::uint32_t word : oid.bits().words) put(Word::Int, static_cast<int>(word), Word::W_OID);
    value_written();
}

void FetchPropsIter::record_int(int value) {
    trace_value("FetchPropsIter::record_int: (val:%d)", value);
    prop_value_type(PV_INT);
    put(Word::Int, value, Word::W_INT);
    value_written();
}

void FetchPropsIter::record_bool(bool value) {
    trace_value("FetchPropsIter::record_bool: (val:%s)", tf(value));
    prop_value_type(PV_BOOL);
    put(Word::Bool, value ? 1 : 0, Word::W_BOOL);
    value_written();
}

void FetchPropsIter::record_time_value(Nul::UString const &value) {
    trace_value("FetchPropsIter::record_time_value: (val:%s)", value);
    // Converted before the tag: a text that does not parse fails the property, not the reply.
    Nul::UString utc = to_iso_datetime(value.c_str(), false);
    prop_value_type(PV_DATE_TIME);
    put_string(utc);
    value_written();
}

void FetchPropsIter::record_time_value(std::int64_t value) {
    trace_value("FetchPropsIter::record_time_value: (val:%d)", static_cast<int>(value));
    Nul::UString utc = Nul::DavTime(value).to_string(Nul::DavTime::ISO8601);
    if (utc.empty())
        raise_reason(Reason::illegal_value,
                     kx_message(MSG_DATE_OUT_OF_RANGE, number_to_ustring(static_cast<long>(value))));
    prop_value_type(PV_DATE_TIME);
    put_string(utc);
    value_written();
}

void FetchPropsIter::record_property_type(int type) {
    trace_value("FetchPropsIter::record_property_type: (type:%d)", type);
    prop_value_type(PV_PROPERTY_NAME);
    put_enum_value(type);
    value_written();
}

void FetchPropsIter::record_int64(std::int64_t value) {
    trace_value("FetchPropsIter::record_int64: (val:%s)", number_to_ustring(static_cast<long>(value)));
    prop_value_type(PV_INT64);
    put(Word::Int64, value, Word::W_INT64);
    value_written();
}

void FetchPropsIter::record_xml(Nul::XmlDoc &doc) {
    // The finished text first: a document that cannot be finished fails before any byte.
    Nul::UString text = doc.str();
    trace_value("FetchPropsIter::record_xml: (val:%s)", text);
    prop_value_type(PV_XML);
    put_string(text);
    value_written();
}

void FetchPropsIter::record_cstring(CString const &value) {
    Nul::UString text = ustr(value);
    trace_value("FetchPropsIter::record_cstring: (val:%s)", text);
    prop_value_type(PV_STRING);
    put_string(text);
    value_written();
}

void FetchPropsIter::record_resource_as_cstring(int type, CString const &value) {
    Nul::UString text = ustr(value);
    trace_value("FetchPropsIter::record_resource_as_cstring: (type:%d :: val:%s)", type, text);
    prop_value_type(type);
    put_string(text);
    value_written();
}

bool FetchPropsIter::property_error(Nul::STPException &e) {
    trace_stp_exception(L"property_error", e);
    // A failed write of the error record fails the reply rather than ending it with a fatal error.
    put(Word::Enum, PV_PROPERTY_ERROR, Word::W_NONE);
    errors_.emplace_back(e.clone());
    put(Word::Error, static_cast<std::int64_t>(errors_.size() - 1), Word::W_NONE);
    if (list_depth_ > 0) put(Word::Bool, 1, Word::W_NONE);
    return true;
}

void FetchPropsIter::record_query_obj_name(int type, Nul::UString const &name) {
    trace_value("FetchPropsIter::record_query_obj_name: (type:%d :: name:%s)", type, name);
    prop_value_type(type);
    put_string(name);
    value_written();
}

void FetchPropsIter::record_query_obj_binding(int btype, Nul::UString const &leaf, int type, int seg1) {
    trace_value("FetchPropsIter::record_query_obj_binding: (btype:%d :: leaf:%s :: type:%d :: seg1:%d)", btype, leaf,
                type, seg1);
    prop_value_type(btype);
    put_string(leaf);
    put_reference(type, seg1, 0, 0, 0);
    value_written();
}

void FetchPropsIter::record_resource(int type, int seg1, int seg2, int attach_fol, int attach) {
    trace_value("FetchPropsIter::record_resource: (type:%d :: seg1:%d :: seg2:%d :: attach_fol:%d :: attach:%d)", type,
                seg1, seg2, attach_fol, attach);
    put_reference(type, seg1, seg2, attach_fol, attach);
    value_written();
}

void FetchPropsIter::record_record_name_selector(Nul::UString const &rec_type, Nul::UString const &rec_name,
                                                 Nul::UString const &rec_type_id, Nul::UString const &rec_id) {
    trace_value("FetchPropsIter::record_record_name_selector: (rec_type:%s :: rec_name:%s :: rec_type_id:%s :: "
                "rec_id:%s)",
                rec_type, rec_name, rec_type_id, rec_id);
    prop_value_type(PV_RECORD_NAME_SELECTOR);
    put_string(rec_type);
    put_string(rec_name);
    put_string(rec_type_id);
    put_string(rec_id);
    value_written();
}

void FetchPropsIter::record_query_obj_name(int btype, Nul::UString const &leaf, int type, int seg1, int seg2,
                                           int attach_folder, int attach) {
    trace_value("FetchPropsIter::record_query_obj_name: (btype:%d :: leaf:%s :: type:%d :: seg1:%d :: seg2:%d :: "
                "attach_fol:%d :: attach:%d)",
                btype, leaf, type, seg1, seg2, attach_folder, attach);
    prop_value_type(btype);
    put_string(leaf);
    put_reference(type, seg1, seg2, attach_folder, attach);
    value_written();
}

void FetchPropsIter::record_attachment_full_binding(int btype, Nul::UString const &leaf,
                                                    FullAttachment const &attachment) {
    trace_value("FetchPropsIter::record_attachment_full_binding: (btype:%d :: leaf:%s :: name:%s)", btype, leaf,
                attachment.attachment_name);
    prop_value_type(btype);
    put_string(leaf);
    put_attachment_full(attachment);
    value_written();
}

void FetchPropsIter::record_attachment_full(FullAttachment const &attachment) {
    trace_value("FetchPropsIter::record_attachment_full: (name:%s :: size:%d)", attachment.attachment_name,
                attachment.size);
    put_attachment_full(attachment);
    value_written();
}

void FetchPropsIter::record_activity_selector(Nul::UString const &selector) {
    trace_value("FetchPropsIter::record_activity_selector: (val:%s)", selector);
    prop_value_type(PV_ACTIVITY_SELECTOR);
    put_string(selector);
    value_written();
}

void FetchPropsIter::record_range(unsigned start, unsigned end) {
    trace_value("FetchPropsIter::record_range: (start:%d :: end:%d)", start, end);
    prop_value_type(PV_RANGE);
    put(Word::UInt, start, Word::W_RANGE);
    put(Word::UInt, end, Word::W_RANGE);
    value_written();
}

bool FetchPropsIter::fatal_property_error(Nul::UString const &text) {
    trace_lazy(1, [&] { return text_format("fatal_property_error (%s)", text); });
    more_ = false;
    if (!put_enum(xdrs_, PV_FATAL_ERROR)) return false;
    KXImplementationErrorException error(text);
    return xdr_exception(xdrs_, &error) != FALSE;
}

} // namespace KxRpc
