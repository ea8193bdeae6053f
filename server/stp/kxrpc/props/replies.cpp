#include "props/replies.h"

#include <optional>
#include <utility>

#include "kxproduct/session.h"
#include "props/convert.h"
#include "tesutil/xmltag.h"
#include "wire/conversions.h"
#include "wire/decode_budget.h"
#include "wire/errors.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

// ---- request items

bool_t xdr_requested_props(XDR *xdrs, int count, std::vector<PropRequest> &props) {
    if (xdrs->x_op != XDR_DECODE || count < 0) return FALSE;
    int ahead = 0;
    if (!xdr_int(xdrs, &ahead)) return FALSE;
    props.reserve(list_reserve(count));
    for (int i = 0; i < count; ++i) {
        PropRequest entry;
        entry.prop_id = ahead;
        if (!xdr_int(xdrs, &ahead)) return FALSE;
        if (ahead == -1) {
            for (;;) {
                int meta = 0;
                if (!xdr_int(xdrs, &meta)) return FALSE;
                if (meta == -2) break;
                if (!keep_decoded(entry.metas, std::move(meta))) return FALSE;
            }
            if (!xdr_int(xdrs, &ahead)) return FALSE;
        }
        if (!keep_decoded(props, std::move(entry))) return FALSE;
    }
    return TRUE;
}

bool_t xdr_dynamic_prop_names(XDR *xdrs, DynamicPropMap &props) {
    if (xdrs->x_op != XDR_DECODE) return FALSE;
    int count = 0;
    if (!xdr_list_count(xdrs, count) || count > max_wire_prop_count) return FALSE;
    try {
        for (int i = 0; i < count; ++i) {
            Nul::UString abbreviation;
            Nul::UString name;
            if (!xdr_ustring(xdrs, abbreviation) || !xdr_ustring(xdrs, name)) return FALSE;
            int ns = static_cast<int>(Nul::XmlTag::ns_lookup_abbreviation(abbreviation));
            int id = dynamic_prop_id_base + i;
            if (keep_decoded_lists()) {
                if (!charge_decoded(heap_cost(sizeof(DynamicPropMap::value_type)))) return FALSE;
                props[id] = {ns, name};
            }
            trace_lazy(4, [&] {
                return text_format("PropsOpArgs::xdr_dynamic_props_names (ns:%s :: name:%s :: id:%d)", abbreviation,
                                   name, id);
            });
        }
        return TRUE;
    } catch (...) {
        return hold_failure(xdrs, L"xdr_dynamic_prop_names");
    }
}

// ---- PropsOpIter

PropsOpIter::PropsOpIter(std::unique_ptr<PropsResource> resource) : resource_(std::move(resource)) {}

PropsOpIter::~PropsOpIter() { drop_resource(); }

void PropsOpIter::drop_resource() noexcept { resource_.reset(); }

void PropsOpIter::keep_failure(wchar_t const *method) noexcept { failure_ = answerable_failure(method); }

bool_t PropsOpIter::fail_reply() noexcept {
    if (failure_) hold_reply_failure(failure_);
    return FALSE;
}

// ---- PutPropsIter

PutPropsIter::PutPropsIter(std::unique_ptr<PropsResource> resource, PropValues const &values, bool register_callback)
    : PropsOpIter(std::move(resource)), values_(values), register_callback_(register_callback) {}

PutPropsIter::~PutPropsIter() { close(); }

void PutPropsIter::open() {
    if (open_ || !resource_) return;
    open_ = true; // from here on, closing stops tracking, also after a start that failed half way
    try {
        product_call(
            [this] {
                if (register_callback_) resource_->start_field_change_tracking();
                mru_ = std::make_unique<MRU_context>(resource_->entity());
            },
            unexpected_in(L"PutPropsIter::open"));
    } catch (...) {
        close();
        throw;
    }
}

void PutPropsIter::close() noexcept {
    if (!open_) return;
    open_ = false;
    ignoring_failures([this] { resource_->stop_field_change_tracking(); });
    ignoring_failures([this] { mru_.reset(); });
}

void PutPropsIter::put_values() {
    results_.reserve(values_.size());
    for (std::unique_ptr<BasePropValue> const &value : values_) {
        int const prop = value->prop_id();
        trace_lazy(1, [&] { return text_format("PutPropsIter::xdr setting value for (prop:%d)", prop); });
        std::unique_ptr<Nul::STPException> error;
        std::optional<ProductFailure> failure;
        try {
            failure = failure_of([&] { resource_->put_prop(*value); });
        } catch (Nul::STPException const &e) {
            trace_exception_detail(L"PutPropsIter::xdr", text_format("failed to set property (prop:%d)", prop), e);
            error.reset(e.clone());
        }
        if (failure) {
            ProductFailure const &f = *failure;
            if (f.kind == ProductFailure::C_EXCEPTION) {
                trace_exception(L"PutPropsIter::xdr",
                                text_format("failed to set property (prop:%d): %s", prop, f.text));
            } else {
                report_ignored(f, std::source_location::current());
                trace_exception(L"PutPropsIter::xdr", text_format("failed to set property (prop:%d)", prop));
            }
            // The value's result says why, as the property conversion words it.
            try {
                raise_converted(f, nullptr);
            } catch (Nul::STPException const &e) {
                error.reset(e.clone());
            }
        }
        results_.push_back(std::move(error));
    }
}

void PutPropsIter::apply() {
    if (applied_) return;
    applied_ = true;
    if (!resource_) {
        failed_ = true;
        return;
    }
    // Tracking stops and the scope closes on every way out, before anything is written.
    struct Closing {
        PutPropsIter &iter;
        ~Closing() { iter.close(); }
    } closing{*this};
    try {
        trace_lazy(1, [this] {
            Nul::UString text = resource_->describe();
            return text_format("PutPropsIter::xdr setting props for (%s)", text.empty() ? Nul::UString(L"NULL") : text);
        });
        open();
        put_values();
        resource_->complete_put_props(values_);
        resource_->read_changed_fields();
    } catch (...) {
        keep_failure(L"PutPropsIter::apply");
        failed_ = true;
    }
}

bool_t PutPropsIter::write_results() {
    for (std::size_t i = 0; i <= results_.size(); ++i) {
        bool_t more = i < results_.size() ? TRUE : FALSE;
        if (!xdr_bool(xdrs_, &more)) return FALSE;
        if (!more) break;
        Nul::STPException *error = results_[i].get();
        bool_t failed = error ? TRUE : FALSE;
        if (!xdr_bool(xdrs_, &failed)) return FALSE;
        if (error && !xdr_exception(xdrs_, error)) return FALSE;
    }
    return resource_->xdr_changed_fields(xdrs_);
}

bool_t PutPropsIter::xdr(XDR *xdrs) {
    if (xdrs->x_op != XDR_ENCODE || !resource_) return FALSE;
    apply();
    if (failed_) return fail_reply();
    try {
        xdrs_ = xdrs;
        return write_results();
    } catch (...) {
        return hold_failure(xdrs, L"PutPropsIter::xdr");
    }
}

} // namespace KxRpc
