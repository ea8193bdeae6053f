// Record properties: setting field values, the view form and tab and the field update group of
// a record being edited, and the changed-fields trailer of the put reply.
#include <algorithm>
#include <atomic>

#include "kxproduct/exceptions.h"
#include "props/recordprops.h"
#include "tesutil/xmltag.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

using Nul::XmlTag;

constexpr wchar_t const *headline_field = L"Headline";
// Its entries name change sets by the text the field already holds: a target that names one of
// them keeps it as it is, without a lookup that could refuse it.
constexpr wchar_t const *change_set_field = L"vt_change_set";

// A string value; the empty value is the empty text.
Nul::UString string_value(BasePropValue &value) {
    if (value.is_empty_value()) return Nul::UString();
    return checked_cast<PropValue<Nul::UString>>(&value)->value;
}

// Whether the record type is the field's referenced type or a member of it when that is a family.
bool is_referable(AdEntityDef *referenced, AdEntityDef *actual) {
    if (referenced == nullptr || actual == nullptr) return false;
    if (referenced == actual || referenced->GetDbId() == actual->GetDbId()) return true;
    if (!referenced->IsFamily()) return false;
    AdIterator<AdEntityDef> members = referenced->GetFamilyMembers();
    for (int i = 0; i < members.GetLength(); ++i)
        if (AdEntityDef *member = members.GetItem(i); member && member->GetDbId() == actual->GetDbId()) return true;
    return false;
}

[[noreturn]] void refuse_wrong_type(AdEntityPtr const &record, AdFieldDef *field, AdEntityDef *referenced) {
    AdEntityDef *actual = record->GetEntityDef();
    raise_reason(Reason::illegal_value,
                 Nul::UMessage(message_catalog, MSG_WRONG_REFERENCED_TYPE, ustr(actual ? actual->GetName() : CString()),
                               number_to_ustring(static_cast<long>(actual ? actual->GetDbId() : 0)),
                               number_to_ustring(static_cast<long>(record->GetDbId())), ustr(field->GetName()),
                               ustr(referenced ? referenced->GetName() : CString())));
}

std::atomic<bool> upfront_validation{false};

// A change of the record, charged to the item that holds it when there is one.
void change_record(std::shared_ptr<RecordStateItem> const &item, std::uint64_t incoming,
                   std::function<void()> const &change) {
    if (item)
        item->change_held(incoming, change);
    else
        change();
}

} // namespace

void RecordProps::set_upfront_reference_validation(bool on) { upfront_validation = on; }
bool RecordProps::upfront_reference_validation() { return upfront_validation; }

// ---- put

void RecordProps::put_prop(BasePropValue &value) {
    int const id = value.prop_id();
    if (value.is_type_100015()) raise_reason(is_supported_prop(id) ? Reason::not_applicable : Reason::unknown_property);
    if (!record_) throw_internal_error(L"Invalid Pointer");
    switch (id) {
    case XmlTag::CTG_fields_updated_this_group:
        if (!editable()) raise_reason(Reason::not_applicable);
        product_call([&] { record_->BeginNewFieldUpdateGroup(); },
                     [](ProductFailure const &f) { raise_unexpected_text(f.product_text()); }, taking_record_failure);
        return;
    case XmlTag::CTG_view_form_name: {
        Nul::UString form = string_value(value);
        if (!form.empty()) record_->SetViewFormAndTab(cstr(form), CString());
        return;
    }
    case XmlTag::CTG_view_tab_name: {
        Nul::UString tab = string_value(value);
        CString form = record_->GetViewFormName();
        if (!form.IsEmpty()) record_->SetViewFormAndTab(form, cstr(tab));
        return;
    }
    case XmlTag::VT_headline:
        return put_field(value, headline_field);
    default:
        break;
    }
    if (is_field_prop(id)) return put_field(value, cstr(dynamic_prop_name(id)));
    PropsResource::put_prop(value);
}

void RecordProps::put_field(BasePropValue &value, CString const &name) {
    AdFieldDef *def = name.Find(L'.') < 0 ? record_type()->LookupFieldDef(name) : nullptr;
    if (def == nullptr) raise_reason(Reason::unknown_property);
    int const type = def->GetFieldType();
    bool const empty = value.is_empty_value();
    if (type == AD_REFERENCE_LIST) return put_reference_list(def, value);
    CString text;
    if (!empty) {
        if (type == AD_REFERENCE) {
            if (auto *target = plain_cast<PropValue<TargetResourceArg>>(&value))
                text = reference_name(def, target->value);
            else
                text = checked_name(def, cstr(string_value(value)));
        } else {
            text = cstr(string_value(value));
            if (type == AD_DATE_TIME && !text.IsEmpty()) text = cstr(to_product_datetime(ustr(text)));
        }
    }
    set_field(def, empty, text);
}

// ---- references

CString RecordProps::checked_name(AdFieldDef *def, CString const &name) {
    if (!upfront_reference_validation() || name.IsEmpty()) return name;
    AdEntityDef *referenced = def->GetReferenceEntityDef();
    if (referenced == nullptr || !AdEntityMgr::Get(api_session())->EntityExists(referenced, name))
        raise_reason(Reason::illegal_value, kx_message(MSG_VALUE_NOT_IN_TABLE, ustr(name), ustr(def->GetName()),
                                                       ustr(referenced ? referenced->GetName() : CString())));
    return name;
}

CString RecordProps::reference_name(AdFieldDef *def, TargetResourceArg &target) {
    AdEntityDef *referenced = def->GetReferenceEntityDef();
    if (target.is_marshalled_by_dbid()) {
        // A record given by dbid is always checked against the field's referenced type: the
        // product is only ever handed its name, which could name a record of another type.
        Nul::UString const rt_text = target.first_dbid_text();
        Nul::UString const rec_text = target.second_dbid_text();
        AdEntityDef *actual = GetEntityDefOrFamilyById(api_session(), target.dbid_segment(0));
        AdEntityPtr record;
        CString error;
        if (actual != nullptr)
            AdEntityMgr::Get(api_session())
                ->LookupEntityByDbIdWithStatus(actual, target.dbid_segment(1), record, error, 0);
        if (!record) raise_reason(Reason::not_found, kx_message(MSG_REFERENCE_NOT_FOUND, rt_text, rec_text));
        if (!is_referable(referenced, record->GetEntityDef())) refuse_wrong_type(record, def, referenced);
        return record->GetDisplayName();
    }
    if (target.is_state_item_target()) {
        AdEntityPtr record = target.record(api_session().get());
        if (!is_referable(referenced, record->GetEntityDef())) refuse_wrong_type(record, def, referenced);
        return record->GetDisplayName();
    }
    CString name = cstr(target.second_name_segment());
    if (!upfront_reference_validation()) return name;
    checked_name(def, name);
    AdEntityDef *actual = LookupEntityDefOrFamily(api_session(), cstr(target.first_name_segment()));
    if (actual != nullptr && !is_referable(referenced, actual)) {
        AdEntityPtr record;
        CString error;
        AdEntityMgr::Get(api_session())->LookupEntityWithStatus(actual, name, record, error, 0);
        if (record) refuse_wrong_type(record, def, referenced);
    }
    return name;
}

void RecordProps::put_reference_list(AdFieldDef *def, BasePropValue &value) {
    CString const name = def->GetName();
    std::vector<CString> const previous = record_->GetFieldValue(name).GetValueAsList();
    auto contains = [](std::vector<CString> const &list, CString const &v) {
        return std::find(list.begin(), list.end(), v) != list.end();
    };
    std::vector<CString> wanted;
    if (!value.is_empty_value()) {
        if (auto *targets = plain_cast<ListPropValue<TargetResourceArg>>(&value)) {
            bool const change_set = name.Compare(change_set_field) == 0;
            for (TargetResourceArg &target : targets->values) {
                if (change_set && target.is_marshalled_by_name()) {
                    CString const entry = cstr(target.second_name_segment());
                    bool const found = contains(previous, entry);
                    trace_lazy(
                        2, [&] { return text_format("vt_change_set (found:%s)", Nul::UString(found ? L"T" : L"F")); });
                    if (found) {
                        wanted.push_back(entry);
                        continue;
                    }
                }
                wanted.push_back(reference_name(def, target));
            }
        } else {
            auto *names = checked_cast<ListPropValue<Nul::UString>>(&value);
            for (Nul::UString const &n : names->values) wanted.push_back(checked_name(def, cstr(n)));
        }
    }
    // Deletes first, then adds; when a step fails the field gets its previous list back.
    CString failure;
    auto merge = [&] {
        for (CString const &old : previous) {
            if (old.IsEmpty() || contains(wanted, old)) continue;
            failure = record_->DeleteFieldValue(name, old);
            if (!failure.IsEmpty()) break;
        }
        for (std::size_t i = 0; failure.IsEmpty() && i < wanted.size(); ++i) {
            CString const &add = wanted[i];
            if (add.IsEmpty() || contains(previous, add) ||
                std::find(wanted.begin(), wanted.begin() + i, add) != wanted.begin() + i)
                continue;
            failure = record_->AddFieldValue(name, add);
        }
    };
    auto merge_or_restore = [&] {
        if (auto f = failure_of(merge, taking_record_failure)) {
            failure = cstr(f->product_text());
            if (failure.IsEmpty()) failure = CString(unknown_error_text);
        }
        if (!failure.IsEmpty()) ignoring_failures([&] { record_->SetFieldValueList(name, previous); });
    };
    std::uint64_t incoming = 0;
    for (CString const &add : wanted) incoming += AdEntity::HeldBytesOfValue(add);
    change_record(item_, incoming, merge_or_restore);
    if (failure.IsEmpty()) return;
    raise_reason(Reason::conflict, kx_message(MSG_PROPPATCH_FAILED, ustr(failure)));
}

// ---- setting a value

void RecordProps::set_field(AdFieldDef *def, bool empty, CString const &text) {
    CString const name = def->GetName();
    AdSessionPtr session = api_session();
    bool const oslc = session->GetNameValue(CString(L"_KX_OSLC_SESSION")).Compare(L"TRUE") == 0;
    CString const max_text = session->GetNameValue(CString(L"_KX_OSLC_MLT_MAX_LENGTH"));
    bool const multiline = def->GetFieldType() == AD_MULTILINE_STRING;
    auto truncation_guard = [&] {
        // The client saw the original cut to this length: writing its copy back would lose the
        // rest of the value.
        if (!oslc || max_text.IsEmpty()) return;
        bool ok = false;
        unsigned long max_length = parse_unsigned(ustr(max_text), ok);
        if (!ok) return;
        CString original = record_->GetFieldOriginalValue(name).GetValue();
        if (static_cast<unsigned long>(original.GetLength()) > max_length && text.Compare(original) != 0)
            raise_reason(Reason::conflict, kx_message(MSG_TRUNCATED_ORIGINAL, ustr(name)));
    };
    if (record_->GetFieldRequiredness(name, 0) == AD_READONLY) {
        if (def->IsSystemOwned()) return;
        CString original = record_->GetFieldOriginalValue(name).GetValue();
        if (empty ? original.IsEmpty() : (!multiline && text.Compare(original) == 0)) return;
    }
    if (!empty && multiline) truncation_guard();
    CString failure;
    auto set = [&] {
        product_call([&] { failure = record_->SetFieldValue(name, empty ? CString() : text); },
                     [](ProductFailure const &f) {
                         raise_reason(Reason::conflict, kx_message(MSG_COULD_NOT_UPDATE, f.text_or_unknown()));
                     },
                     taking_record_failure);
    };
    change_record(item_, AdEntity::HeldBytesOfValue(text), set);
    if (!failure.IsEmpty()) raise_reason(Reason::conflict, kx_message(MSG_PROPPATCH_FAILED, ustr(failure)));
}

// ---- change tracking

void RecordProps::start_field_change_tracking() {
    if (tracker_) tracker_->start_tracking();
}

void RecordProps::stop_field_change_tracking() {
    if (tracker_) tracker_->stop_tracking();
}

void RecordProps::read_changed_fields() {
    // When the product cannot give the record's name, the report is left out, as for a resource
    // that tracks nothing, rather than the reply cut short.
    changed_selector_read_ = true;
    changed_selector_.reset();
    ignoring_failures([this] { changed_selector_ = object_name(); });
}

bool_t RecordProps::xdr_changed_fields(XDR *xdrs) {
    if (!changed_selector_read_) read_changed_fields();
    if (!changed_selector_) return PropsResource::xdr_changed_fields(xdrs);
    Nul::UString selector = *changed_selector_;
    bool_t present = TRUE;
    if (!xdr_bool(xdrs, &present) || !xdr_ustring(xdrs, selector)) return FALSE;
    if (tracker_) return tracker_->xdr(xdrs);
    int none = 0;
    return xdr_int(xdrs, &none);
}

} // namespace KxRpc
