#include "change/new_resources.h"

#include "target/held_items.h"
#include "tesutil/selector.h"
#include "wire/casts.h"
#include "wire/conversions.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

Nul::UString flag_text(wchar_t const *name, bool on) { return Nul::UString(name) + number_to_ustring(on ? 1 : 0); }

} // namespace

ResolveTypeArg::ResolveTypeArg() = default;
ResolveTypeArg::~ResolveTypeArg() = default;

Nul::UString ResolveTypeArg::arm_target_uri() { return target().arm_target_uri(api_session_or_fail()); }

ResolveTypeResp::ResolveTypeResp(int type_code, Nul::UString const &uri_path, Nul::UString const &dbid_text)
    : type_code_(type_code), uri_path_(uri_path), dbid_text_(dbid_text) {}
ResolveTypeResp::~ResolveTypeResp() = default;

bool_t ResolveTypeResp::xdr(XDR *xdrs) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    if (xdrs->x_op != XDR_ENCODE) return FALSE;
    enum_t code = type_code_;
    return xdr_enum(xdrs, &code) && xdr_ustring(xdrs, uri_path_) && xdr_ustring(xdrs, dbid_text_);
}

CreateTempArgs::CreateTempArgs() = default;
CreateTempArgs::~CreateTempArgs() = default;

bool_t CreateTempArgs::decode(XDR *xdrs) {
    return xdr_session_header(xdrs) && xdr_target(xdrs, target_op_) &&
           xdr_optional_target(xdrs, has_action_, action_) && xdr_optional_target(xdrs, has_duplicate_, duplicate_);
}

Nul::UString CreateTempArgs::arm_target_uri() { return target().arm_target_uri(api_session_or_fail()); }

Nul::UString CreateTempArgs::describe() {
    Nul::UString text = session_and_target();
    text.append(L" :: ").append(flag_text(L"has_action:", has_action_));
    if (has_action_) text.append(L" :: action:").append(action_.target().trace_line());
    text.append(L" :: ").append(flag_text(L"has_duplicate:", has_duplicate_));
    if (has_duplicate_) text.append(L" :: duplicate:").append(duplicate_.target().trace_line());
    return text;
}

AdActionDef *CreateTempArgs::action_def() { return action_.action_def(api_session_or_fail()); }

AdEntityPtr CreateTempArgs::duplicate_record() {
    if (!has_duplicate_) return AdEntityPtr();
    if (duplicate_.target().marshall_type() == TargetResourceArg::BY_STATE_ITEM)
        return checked_cast<RecordStateItem>(duplicate_.state_item_or_fail())->entity();
    return duplicate_.record(api_session_or_fail());
}

CreateTempResp::CreateTempResp(StateItemPtr const &item, Nul::UString const &name, Nul::UString const &id)
    : item_(item), name_(name), id_(id) {}
CreateTempResp::~CreateTempResp() = default;

bool_t CreateTempResp::xdr(XDR *xdrs) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    if (xdrs->x_op != XDR_ENCODE) return FALSE;
    return xdr_state_handle(xdrs, item_) && xdr_ustring(xdrs, name_) && xdr_ustring(xdrs, id_);
}

NameIdFetcher::~NameIdFetcher() = default;

RecordNameIdFetcher::RecordNameIdFetcher(AdEntityPtr const &record) : record_(record) {}
RecordNameIdFetcher::~RecordNameIdFetcher() = default;

Nul::UString RecordNameIdFetcher::name_text() {
    AdEntityDef *def = record_ ? record_->GetEntityDef() : nullptr;
    Nul::UString text = def ? ustr(def->GetName()) : Nul::UString();
    text.append(L"/");
    if (record_) text.append(Nul::Selector::encode_segment(ustr(record_->GetDisplayName())));
    return text;
}

Nul::UString RecordNameIdFetcher::id_text() {
    AdEntityDef *def = record_ ? record_->GetEntityDef() : nullptr;
    Nul::UString text = number_to_ustring(static_cast<long>(def ? def->GetDbId() : 0));
    text.append(L"/");
    text.append(number_to_ustring(static_cast<long>(record_ ? record_->GetDbId() : 0)));
    return text;
}

CreateResourceResp::CreateResourceResp(std::unique_ptr<PropsResource> resource, PropValues const &values,
                                       bool register_callback, StateItemPtr const &item,
                                       std::unique_ptr<NameIdFetcher> name_id)
    : PutPropsIter(std::move(resource), values, register_callback), item_(item), name_id_(std::move(name_id)) {}

CreateResourceResp::~CreateResourceResp() = default;

void CreateResourceResp::finish() {
    if (finished_) return;
    finished_ = true;
    apply();
    if (!name_id_) return;
    // The resource is made and the puts are answered by now: names the product cannot give are
    // left out rather than the reply cut.
    ignoring_failures([this] {
        name_ = name_id_->name_text();
        id_ = name_id_->id_text();
        named_ = true;
    });
    ignoring_failures([this] { name_id_.reset(); });
}

bool_t CreateResourceResp::xdr(XDR *xdrs) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    if (xdrs->x_op != XDR_ENCODE) return FALSE;
    try {
        finish(); // when no handler did
    } catch (...) {
        return hold_failure(xdrs, L"CreateResourceResp::xdr");
    }
    if (!xdr_state_handle(xdrs, item_)) return FALSE;
    if (!PutPropsIter::xdr(xdrs)) return FALSE;
    bool present = named_;
    return xdr_flag(xdrs, present) && (!present || (xdr_ustring(xdrs, name_) && xdr_ustring(xdrs, id_)));
}

// ---- requests that extend put_props

CreateResourceArgs::CreateResourceArgs() = default;

CreateResourceArgs::~CreateResourceArgs() = default;

bool_t CreateResourceArgs::decode(XDR *xdrs) {
    enum_t type = 0;
    if (!xdr_props_header(xdrs) || !xdr_target(xdrs, target_op_) || !xdr_enum(xdrs, &type)) return FALSE;
    new_type_ = type;
    if (!xdr_optional_target(xdrs, has_parent_, parent_)) return FALSE;
    // A record gets its name from its fields, so none is sent for it.
    if (new_type_ != TT_RECORD && !xdr_ustring(xdrs, full_name_)) return FALSE;
    return xdr_put_items(xdrs);
}

Nul::UString CreateResourceArgs::describe() {
    return text_format("(has_parent:%s :: full_name:%s :: m_parent: (%s) (%s))", tf(has_parent_), full_name_,
                       parent_.trace_line(), PutPropsArgs::describe());
}

} // namespace KxRpc
