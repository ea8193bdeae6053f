// Record properties: the record-level properties, field values by field type and the field
// meta-properties, reported through the fetch sink.
#include "props/recordprops.h"

#include <algorithm>
#include <climits>
#include <mutex>

#include "kxproduct/datetime.h"
#include "kxproduct/exceptions.h"
#include "kxproduct/query.h"
#include "props/convert.h"
#include "props/value_tags.h"
#include "target/login_session.h"
#include "tesutil/selector.h"
#include "tesutil/xmltag.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/fieldtypes.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

using Nul::XmlTag;

constexpr wchar_t const *zrm_field = L"zrm_vob_object";
constexpr wchar_t const *mastership_field = L"ostw_mastership";
constexpr wchar_t const *headline_field = L"Headline";
constexpr wchar_t const *iso_format = L"%Y-%m-%dT%H:%M:%SZ";

int id32(std::int64_t dbid) { return static_cast<int>(dbid); }
Nul::UString decimal(std::int64_t n) { return number_to_ustring(static_cast<long>(n)); }

// A value whose failure belongs to this one property: reported in its place, the fetch goes on.
void report_property_error(FetchPropResponses &out, Nul::STPException &e) {
    if (!out.property_error(e)) throw_marshalling_error();
}

// Optional sign and decimal digits within 32 bits; anything else, overflow included, fails.
bool parse_int32(std::wstring const &text, int &value) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    if (i == text.size()) return false;
    long long n = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
        n = n * 10 + (text[i] - L'0');
        if (n > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (negative) n = -n;
    if (n > INT_MAX || n < INT_MIN) return false;
    value = static_cast<int>(n);
    return true;
}

// A product date text in GMT, or nothing when the text is not a product date.
bool product_date_to_gmt(CString const &text, CString &gmt) {
    AdDateTime when;
    if (!when.ParseDateTime(text.GetString(), 0)) return false;
    gmt = when.FormatGMT(iso_format);
    return true;
}

// Journal lines are "user TAB date TAB note": the date goes out in GMT and the user part is
// dropped. A line without two tabs or without a readable date is carried over as it stands.
CString journal_to_gmt(CString const &text) {
    CString result;
    int start = 0;
    int const length = text.GetLength();
    while (start < length) {
        int end = text.Find(L'\n', start);
        int next = end < 0 ? length : end + 1;
        CString line = text.Mid(start, next - start);
        int tab1 = line.Find(L'\t');
        int tab2 = tab1 < 0 ? -1 : line.Find(L'\t', tab1 + 1);
        CString gmt;
        if (tab2 >= 0 && product_date_to_gmt(line.Mid(tab1 + 1, tab2 - tab1 - 1), gmt)) {
            result += gmt;
            result += line.Mid(tab2);
        } else {
            result += line;
        }
        start = next;
    }
    return result;
}

int empty_reason(int field_type) { return field_value_tag(field_type); }

int value_status_tag(int status) {
    switch (status) {
    case 1:
        return 462; // CTG:has-no-value
    case 2:
        return 465; // CTG:has-value
    case 3:
        return 722; // CTG:value-not-available
    default:
        throw_internal_error(L"Unknown value status");
    }
}

int requiredness_tag(int requiredness) {
    switch (requiredness) {
    case 1:
        return 530; // CTG:mandatory
    case 2:
        return 583; // CTG:optional
    case 3:
        return 633; // CTG:readonly
    default:
        throw_internal_error(L"Unknown requiredness");
    }
}

int validation_status_tag(int validity) {
    switch (validity) {
    case 1:
        return 721; // CTG:valid-value
    case 2:
        return 481; // CTG:invalid-value
    case 3:
        return 565; // CTG:needs-validation
    default:
        throw_internal_error(L"Unknown validation status");
    }
}

int meta_type_tag(int field_type) {
    switch (field_type) {
    case 1:
    case 2:
    case 8:
    case 9:
    case 12:
    case 13:
        return 970;
    case 3:
        return 956;
    case 4:
        return 951;
    case 5:
        return 966;
    case 6:
    case 7:
        return 967;
    case 10:
        return 959; // MPT:object
    case 11:
        return 958; // MPT:long
    case 14:
        return 955; // MPT:float
    default:
        throw_internal_error(L"Unknown field value type");
    }
}

void report_names(FetchPropResponses &out, std::vector<CString> const &names, int empty_tag) {
    if (names.empty()) return out.record_empty(empty_tag);
    out.start_list_property_values(STPRPC_PROPERTY_NAME);
    for (CString const &name : names) out.record_property_name(ustr(name));
    out.end_list_property_values();
}

void report_texts(FetchPropResponses &out, std::vector<CString> const &texts) {
    if (texts.empty()) return out.record_empty(XmlTag::MPT_string_list);
    out.start_list_property_values(STPRPC_STRING_VALUE);
    for (CString const &text : texts) out.record_cstring(text);
    out.end_list_property_values();
}

} // namespace

int field_definition_type_tag(int field_type) {
    static constexpr int tags[] = {0,
                                   XmlTag::FVT_short_string,
                                   XmlTag::FVT_multiline_string,
                                   XmlTag::FVT_int,
                                   XmlTag::FVT_date_time,
                                   XmlTag::FVT_reference,
                                   XmlTag::FVT_reference_list,
                                   XmlTag::FVT_attachment_list,
                                   XmlTag::FVT_id,
                                   XmlTag::FVT_state,
                                   XmlTag::FVT_journal,
                                   XmlTag::FVT_dbid,
                                   XmlTag::FVT_statetype,
                                   XmlTag::FVT_record_type,
                                   XmlTag::FVT_float};
    if (field_type < 1 || field_type > 14) throw_internal_error(L"Unknown field value type");
    return tags[field_type];
}

int action_type_tag(int action_type, wchar_t const *unknown_text) {
    static constexpr int tags[] = {0,
                                   XmlTag::ACT_submit,
                                   XmlTag::ACT_modify,
                                   XmlTag::ACT_change_state,
                                   XmlTag::ACT_duplicate,
                                   XmlTag::ACT_unduplicate,
                                   XmlTag::ACT_import,
                                   XmlTag::ACT_delete,
                                   XmlTag::ACT_base,
                                   XmlTag::ACT_record_script_alias,
                                   XmlTag::ACT_copy};
    if (action_type < 1 || action_type > 10) throw_internal_error(unknown_text);
    return tags[action_type];
}

// ---- construction

RecordProps::RecordProps(LoginSession *session, std::shared_ptr<RecordStateItem> const &item, bool seed)
    : PropsResource(session), item_(item) {
    if (!item_) throw_internal_error(L"Invalid Pointer");
    record_ = item_->entity();
    tracker_ = std::make_unique<FieldChangedTracker>(*item_);
    if (seed && record_) {
        AdEntityDef *def = record_type();
        for (CString const &name : record_->GetFieldValuesUpdatedThisSetValue())
            if (AdFieldDef *field = def->LookupFieldDef(name)) tracker_->set_changed(ustr(name), field->GetFieldType());
    }
}

RecordProps::RecordProps(LoginSession *session, AdEntityPtr const &record) : PropsResource(session), record_(record) {}

RecordProps::~RecordProps() {
    ignoring_failures([this] { tracker_.reset(); });
    ignoring_failures([this] { cache_ = FieldCache(); });
    ignoring_failures([this] { record_ = AdEntityPtr(); });
}

// ---- small accessors

bool RecordProps::editable() const { return record_ && record_->IsEditable(); }

bool RecordProps::is_field_prop(int id) const {
    if (id < dynamic_prop_id_base) return false;
    auto it = dynamic_props().find(id);
    return it != dynamic_props().end() && it->second.first == field_namespace;
}

AdSessionPtr RecordProps::api_session() const { return record_ ? record_->GetSession() : AdSessionPtr(); }

AdEntityDef *RecordProps::record_type() const {
    AdEntityDef *def = record_ ? record_->GetEntityDef() : nullptr;
    if (def == nullptr) throw_internal_error(L"Invalid Pointer");
    return def;
}

bool RecordProps::has_field(wchar_t const *name) const {
    return record_type()->LookupFieldDef(CString(name)) != nullptr;
}

CString RecordProps::field_text(wchar_t const *name) const {
    // A record type without the field reads as empty, as the product's mastership test does.
    if (!has_field(name)) return CString();
    CString text = record_->GetFieldValue(CString(name)).GetValue();
    text.Trim();
    return text;
}

Nul::UString RecordProps::object_name() const {
    if (!record_) return Nul::UString(L"NULL");
    Nul::UString text = family_name_.empty() ? ustr(record_type()->GetName()) : family_name_;
    text.append(L"/");
    text.append(Nul::Selector::encode_segment(ustr(record_->GetDisplayName())));
    return text;
}

Nul::UString RecordProps::describe() {
    Nul::UString object = record_ ? trace_object_text(L"AdEntity", record_.get()) : Nul::UString(L"NULL");
    return text_format("RecordProps: (kxobj:%s :: name:%s :: temp:%s", object, object_name(), tf(temporary()));
}

std::unique_ptr<std::vector<Nul::UString>> RecordProps::dynamic_prop_names() {
    auto names = std::make_unique<std::vector<Nul::UString>>();
    if (!record_) return names;
    AdIterator<AdFieldDef> fields = record_type()->GetFieldDefs();
    for (int i = 0; i < fields.GetLength(); ++i)
        if (AdFieldDef *field = fields.GetItem(i)) names->push_back(ustr(field->GetName()));
    return names;
}

std::set<int> const &RecordProps::supported_set(bool zrm_enabled) {
    // Each built once, by whichever thread comes first; read without a lock afterwards.
    static std::set<int> const plain = with_base_properties(
        {261, 268, 296, 298, 313, 314, 319, 352, 353, 385, 387, 414, 438, 439, 440, 441,  460,  480,
         487, 488, 507, 525, 526, 576, 578, 588, 589, 595, 600, 635, 683, 684, 695, 1056, 1061, 1136});
    static std::set<int> const with_zrm = [] {
        std::set<int> ids = plain;
        ids.insert({1035, 1155, 1036, 1052, 1068, 1070, 1140});
        return ids;
    }();
    return zrm_enabled ? with_zrm : plain;
}

std::set<int> const &RecordProps::supported_properties() {
    // The version-control ids belong to record types with the binding field, whichever record
    // type was asked first.
    return supported_set(record_ && has_field(zrm_field));
}

// ---- record-level properties

void RecordProps::fetch_prop(FetchPropResponses &out, int id) {
    if (id >= dynamic_prop_id_base)
        return is_field_prop(id) ? fetch_field_value(out, id) : PropsResource::fetch_prop(out, id);
    if (!record_) throw_internal_error(L"Invalid Pointer");
    AdEntityDef *def = record_type();
    int const rt = id32(def->GetDbId());
    int const rec = id32(record_->GetDbId());
    switch (id) {
    case XmlTag::KX_is_zrm_enabled:
        return out.record_bool(has_field(zrm_field));
    case XmlTag::KX_kx_master_replica:
        return out.record_resource_as_cstring(PV_REF_REPLICA, field_text(mastership_field));
    case XmlTag::CTG_action:
        if (AdActionDef *action = editable() ? record_->GetActionDef() : nullptr)
            return out.record_resource(PV_REF_ACTION, rt, id32(action->GetDbId()), 0, 0);
        return out.record_empty(XmlTag::MPT_resource);
    case XmlTag::CTG_action_type:
        if (!editable()) return out.record_enum(XmlTag::CTG_null_value);
        return out.record_enum(action_type_tag(record_->GetActionType(), L"Unknown record type action type"));
    case XmlTag::CTG_all_duplicates:
        return fetch_duplicates(out, true);
    case XmlTag::CTG_duplicates:
        return fetch_duplicates(out, false);
    case XmlTag::CTG_all_field_values: {
        std::unique_ptr<std::vector<Nul::UString>> names = dynamic_prop_names();
        if (names->empty()) return out.record_empty(XmlTag::MPT_property_name_list);
        out.start_list_property_values(STPRPC_PROPERTY_NAME);
        for (Nul::UString const &name : *names) out.record_property_name(name);
        return out.end_list_property_values();
    }
    case XmlTag::CTG_attachment_folders:
    case XmlTag::CTG_child_list:
        return fetch_attachment_folders(out, false);
    case XmlTag::CTG_child_map:
        return fetch_attachment_folders(out, true);
    case XmlTag::TEAMPVT_dbid:
        return out.record_int(rec);
    case XmlTag::CTG_default_action:
        if (AdActionDef *action = def->LookupActionDef(record_->GetDefaultActionName()))
            return out.record_resource(PV_REF_ACTION, rt, id32(action->GetDbId()), 0, 0);
        return out.record_empty(XmlTag::MPT_resource);
    case XmlTag::CTG_fields_updated_this_action:
    case XmlTag::CTG_fields_updated_this_entire_action:
    case XmlTag::CTG_fields_updated_this_group:
    case XmlTag::CTG_fields_updated_this_set_value:
        return fetch_fields_updated(out, id);
    case XmlTag::CTG_has_duplicates:
        return out.record_bool(has_duplicates());
    case XmlTag::CTG_invalid_fields: {
        std::vector<CString> names;
        if (editable())
            for (AdFieldInfo const &info : record_->GetInvalidFieldValues()) names.push_back(info.GetName());
        return report_names(out, names, XmlTag::MPT_property_name_list);
    }
    case XmlTag::CTG_is_duplicate:
        return out.record_bool(record_->IsDuplicate() != FALSE);
    case XmlTag::CTG_is_editable:
        return out.record_bool(editable());
    case XmlTag::CTG_is_original:
        return out.record_bool(record_->IsOriginal() != FALSE);
    case XmlTag::CTG_legal_acccessible_actions:
        return fetch_legal_actions(out, true);
    case XmlTag::CTG_legal_actions:
        return fetch_legal_actions(out, false);
    case XmlTag::TEAMPVT_object_id:
        return out.record_ustring(decimal(def->GetDbId()) + Nul::UString(L"/") + decimal(record_->GetDbId()));
    case XmlTag::CTG_object_name:
        return out.record_ustring(object_name());
    case XmlTag::CTG_original: {
        if (!record_->IsDuplicate()) return out.record_empty(XmlTag::MPT_resource);
        AdEntityPtr original;
        // An original the product cannot read is shown as none.
        (void)failure_of([&] { original = record_->GetOriginal(); }, taking_only(ProductFailure::PA_MSG_EXCEPTION));
        if (!original) return out.record_empty(XmlTag::MPT_resource);
        return out.record_resource(PV_REF_RECORD, id32(original->GetEntityDef()->GetDbId()), id32(original->GetDbId()),
                                   0, 0);
    }
    case XmlTag::CTG_original_id:
        if (!record_->IsDuplicate()) return out.record_enum(XmlTag::CTG_null_value);
        return out.record_ustring(ustr(record_->GetOriginalId()));
    case XmlTag::CTG_parent_list:
        return fetch_parent_list(out);
    case XmlTag::CTG_parent_record_type:
        return out.record_resource(PV_REF_RECTYPE, rt, 0, 0, 0);
    case XmlTag::CTG_record_class:
        return out.record_enum(def->GetType() == 1 ? XmlTag::CTG_state : XmlTag::CTG_is_stateless);
    case XmlTag::CTG_site_extension:
        return out.record_int(api_session()->GetSessionUserSiteExtension());
    case XmlTag::CTG_site_has_mastership:
        return out.record_bool(record_->SiteHasMastership() != FALSE);
    case XmlTag::CTG_state_name: {
        CString state = record_->GetStateName();
        if (state.IsEmpty()) return out.record_empty(XmlTag::MPT_string);
        return out.record_cstring(state);
    }
    case XmlTag::VT_bound_vt_activity:
        return out.unsupported_property();
    case XmlTag::VT_bound_kx_record:
        return out.record_resource(PV_REF_RECORD, rt, rec, 0, 0);
    case XmlTag::VT_kx_zrm_integration_state:
        if (!has_field(zrm_field)) return out.unsupported_property();
        return out.record_enum(field_text(zrm_field).IsEmpty()
                                   ? XmlTag::VT_kx_zrm_integration_state_unbound_kx_record
                                   : XmlTag::VT_kx_zrm_integration_state_bound_vt_activity_kx_record_pair);
    case XmlTag::TEAM_creation_date:
        return fetch_creation_date(out);
    case XmlTag::TEAM_display_name:
    case XmlTag::VT_id:
        return out.record_cstring(record_->GetDisplayName());
    case XmlTag::VT_headline: {
        if (!has_field(headline_field)) return out.unsupported_property();
        CString text = field_text(headline_field);
        if (text.IsEmpty()) return out.record_empty(XmlTag::MPT_string);
        return out.record_cstring(text);
    }
    case XmlTag::KX_validation_error: {
        if (!editable()) return out.record_cstring(CString());
        CString text;
        if (auto f =
                failure_of([&] { text = record_->Validate(); }, taking_only(ProductFailure::PA_MSG_EXCEPTION, true)))
            text = cstr(f->text);
        return out.record_cstring(text);
    }
    case XmlTag::VT_id_selector: {
        CString text = cstr(object_name());
        text += L"@";
        text += api_session()->GetSessionDatabase()->GetDatabaseName();
        return out.record_cstring(text);
    }
    case XmlTag::VT_bound_vt_activity_location: {
        if (!has_field(zrm_field)) return out.unsupported_property();
        CString text = field_text(zrm_field);
        if (text.IsEmpty()) return out.record_empty(XmlTag::MPT_string);
        return out.record_cstring(CString(L"vt.") + text);
    }
    case XmlTag::CTG_hidden_fields:
    case XmlTag::CTG_hidden_forms:
    case XmlTag::CTG_hidden_tabs:
        return fetch_hidden(out, id);
    case XmlTag::CTG_view_form_name:
        return out.record_cstring(record_->GetViewFormName());
    case XmlTag::CTG_view_tab_name:
        return out.record_cstring(record_->GetViewTabName());
    default:
        return PropsResource::fetch_prop(out, id);
    }
}

bool RecordProps::has_duplicates() {
    if (!has_duplicates_) has_duplicates_ = record_->HasDuplicates() != FALSE;
    return *has_duplicates_;
}

void RecordProps::fetch_duplicates(FetchPropResponses &out, bool all_levels) {
    if (!has_duplicates()) return out.record_empty(XmlTag::MPT_resource_list);
    std::vector<AdDuplicateLink> links = all_levels ? record_->GetAllDuplicates() : record_->GetDuplicates();
    if (links.empty()) return out.record_empty(XmlTag::MPT_resource_list);
    out.start_list_property_values(PV_REF_RECORD);
    for (auto const &link : links)
        out.record_resource(PV_REF_RECORD, id32(link.child_entity_def_dbid), id32(link.child_dbid), 0, 0);
    out.end_list_property_values();
}

void RecordProps::fetch_attachment_folders(FetchPropResponses &out, bool as_child_map) {
    int const empty = as_child_map ? XmlTag::MPT_child_map : XmlTag::MPT_resource_list;
    AdEntityDef *def = record_type();
    AdIterator<AdFieldDef> fields = def->GetFieldDefs();
    std::vector<AdFieldDef *> folders;
    for (int i = 0; i < fields.GetLength(); ++i) {
        AdFieldDef *field = fields.GetItem(i);
        if (field && field->GetFieldType() == AD_ATTACHMENT_LIST) folders.push_back(field);
    }
    if (folders.empty()) return out.record_empty(empty);
    int const rt = id32(def->GetDbId());
    int const rec = id32(record_->GetDbId());
    out.start_list_property_values(as_child_map ? PV_CHILD_BINDING : PV_REF_ATTACHMENT_FOLDER);
    for (AdFieldDef *field : folders) {
        if (as_child_map)
            out.record_query_obj_name(PV_CHILD_BINDING, ustr(field->GetName()), PV_REF_ATTACHMENT_FOLDER, rt, rec,
                                      id32(field->GetDbId()), 0);
        else
            out.record_resource(PV_REF_ATTACHMENT_FOLDER, rt, rec, id32(field->GetDbId()), 0);
    }
    out.end_list_property_values();
}

void RecordProps::fetch_fields_updated(FetchPropResponses &out, int scope) {
    std::vector<CString> names;
    if (editable()) {
        switch (scope) {
        case XmlTag::CTG_fields_updated_this_action:
            names = record_->GetFieldValuesUpdatedThisAction();
            break;
        case XmlTag::CTG_fields_updated_this_entire_action:
            names = record_->GetFieldValuesUpdatedThisEntireAction();
            break;
        case XmlTag::CTG_fields_updated_this_group:
            names = record_->GetFieldValuesUpdatedThisGroup();
            break;
        default:
            names = record_->GetFieldValuesUpdatedThisSetValue();
            break;
        }
    }
    report_names(out, names, XmlTag::MPT_property_name_list);
}

void RecordProps::fetch_legal_actions(FetchPropResponses &out, bool accessible) {
    if (editable()) return out.record_empty(XmlTag::MPT_resource_list);
    AdEntityDef *def = record_type();
    std::vector<AdActionDef *> actions;
    product_call(
        [&] {
            if (accessible) {
                // A name the record type does not know is skipped.
                for (CString const &name : GetLegalAccessibleActionDefNames(api_session(), record_))
                    if (AdActionDef *action = def->LookupActionDef(name)) actions.push_back(action);
            } else {
                for (AdActionDef *action : GetLegalActionDefs(api_session(), record_))
                    if (action && action->GetDbId() != 0) actions.push_back(action);
            }
        },
        [](ProductFailure const &f) { raise_unexpected_text(f.text); },
        taking_only(ProductFailure::PA_MSG_EXCEPTION, true));
    if (actions.empty()) return out.record_empty(XmlTag::MPT_resource_list);
    int const rt = id32(def->GetDbId());
    out.start_list_property_values(PV_REF_ACTION);
    for (AdActionDef *action : actions) out.record_resource(PV_REF_ACTION, rt, id32(action->GetDbId()), 0, 0);
    out.end_list_property_values();
}

void RecordProps::fetch_parent_list(FetchPropResponses &out) {
    AdEntityDef *def = record_type();
    out.start_list_property_values(PV_REF_RECTYPE);
    out.record_resource(PV_REF_RECTYPE, id32(def->GetDbId()), 0, 0, 0);
    AdIterator<AdEntityDef> all = GetEntityDefsAndFamilies(api_session());
    for (int i = 0; i < all.GetLength(); ++i) {
        AdEntityDef *family = all.GetItem(i);
        if (family == nullptr || !family->IsFamily()) continue;
        AdIterator<AdEntityDef> members = family->GetFamilyMembers();
        for (int j = 0; j < members.GetLength(); ++j) {
            if (members.GetItem(j) == def) {
                out.record_resource(PV_REF_RECTYPE, id32(family->GetDbId()), 0, 0, 0);
                break;
            }
        }
    }
    out.end_list_property_values();
}

void RecordProps::fetch_hidden(FetchPropResponses &out, int id) {
    if (id == XmlTag::CTG_hidden_forms) return report_texts(out, record_->GetHiddenFormNames());
    // Tabs and fields: "form#item" over every form of the record type.
    std::vector<CString> items;
    AdIterator<AdFormDef> forms = record_type()->GetFormDefs();
    for (int i = 0; i < forms.GetLength(); ++i) {
        AdFormDef *form = forms.GetItem(i);
        if (form == nullptr) continue;
        CString const form_name = form->GetName();
        std::vector<CString> hidden = id == XmlTag::CTG_hidden_tabs ? record_->GetHiddenTabNames(form_name)
                                                                    : record_->GetHiddenFieldNames(form_name);
        for (CString const &name : hidden) items.push_back(form_name + CString(L"#") + name);
    }
    if (id == XmlTag::CTG_hidden_tabs) return report_texts(out, items);
    report_names(out, items, XmlTag::MPT_property_name_list);
}

void RecordProps::fetch_creation_date(FetchPropResponses &out) {
    std::int64_t when = 0;
    if (!(editable() && record_->GetActionType() == AD_ACTION_SUBMIT)) when = creation_date();
    if (when == 0) return out.record_empty(XmlTag::MPT_date_time);
    out.record_time_value(when);
}

std::int64_t RecordProps::creation_date() const {
    AdSessionPtr session = api_session();
    AdEntityDef *history = GetHistoryEntityDef(session);
    AdEntityDef *def = record_type();
    CString text;
    if (history == nullptr) return 0;
    if (def->GetDbId() == history->GetDbId()) {
        text = record_->GetFieldValue(CString(kHistoryActionTimestamp)).GetValue();
    } else {
        // The commit of the record's submit (or import) action in the history.
        AdQueryDefPtr query = BuildQueryDef(session, history, 0);
        query->BuildField(CString(kHistoryActionTimestamp));
        AdFilterNode *top = query->BuildFilter(nullptr, AD_BOOL_OP_AND, 1);
        query->BuildFilter(top, CString(kHistoryEntityDbId), AD_COMP_OP_EQ, {cstr(decimal(record_->GetDbId()))}, 0);
        query->BuildFilter(top, CString(kHistoryEntityDefDbId), AD_COMP_OP_EQ, {cstr(decimal(def->GetDbId()))}, 0);
        std::vector<CString> creating;
        AdIterator<AdActionDef> actions = def->GetActionDefs();
        for (int i = 0; i < actions.GetLength(); ++i) {
            AdActionDef *action = actions.GetItem(i);
            int const type = action ? action->GetActionType() : 0;
            if (type == AD_ACTION_SUBMIT || type == AD_ACTION_IMPORT) creating.push_back(action->GetName());
        }
        AdFilterNode *names = creating.size() > 1 ? query->BuildFilter(top, AD_BOOL_OP_OR, 0) : top;
        for (CString const &name : creating)
            query->BuildFilter(names, CString(kHistoryActionName), AD_COMP_OP_EQ, {name}, 0);
        AdResultSetPtr rows = BuildResultSet(session, query);
        rows->Execute();
        int count = 0;
        while (count < 2 && rows->MoveNext() == AD_SUCCESS)
            if (++count == 1 && !rows->GetColumnValue(1, text)) text.Empty();
        if (count != 1) return 0;
    }
    AdDateTime when;
    if (!when.ParseDateTime(text.GetString(), 0))
        raise_reason(Reason::illegal_value, kx_message(MSG_NOT_ISO8601_DATE, ustr(text)));
    return when.GetUnix();
}

// ---- field values

std::vector<std::int64_t> RecordProps::referenced_dbids(AdFieldDef *def, bool current) const {
    if (!current) return {};
    return record_->GetFieldReferencedDbIds(def->GetName());
}

AdFieldDef *RecordProps::field_of(int id) {
    if (!is_field_prop(id) || !record_) return nullptr;
    Nul::UString const name = dynamic_prop_name(id);
    if (name.find(L'.') != Nul::UString::npos) return nullptr;
    return record_type()->LookupFieldDef(cstr(name));
}

void RecordProps::fetch_field_value(FetchPropResponses &out, int id) {
    AdFieldDef *def = field_of(id);
    if (def == nullptr) return out.unsupported_property();
    CString const name = def->GetName();
    int const type = def->GetFieldType();
    trace_lazy(1, [&] {
        return text_format("RecordProps fetch: (prop:%d :: dyn_prop:%s :: field_type:%d)", id, ustr(name), type);
    });
    report_field_value(out, def, record_->GetFieldValue(name), true);
}

void RecordProps::report_field_value(FetchPropResponses &out, AdFieldDef *def, AdFieldInfo const &value, bool current) {
    int const type = def->GetFieldType();
    if (type != AD_ATTACHMENT_LIST && value.GetValueStatus() == AD_HAS_NO_VALUE)
        return out.record_empty(empty_reason(type));
    std::vector<CString> const &values = value.GetValueAsList();
    CString text;
    if (type == AD_REFERENCE_LIST) {
        if (values.empty()) return out.record_empty(XmlTag::MPT_resource_list);
    } else if (type != AD_ATTACHMENT_LIST) {
        text = value.GetValue();
        if (type != AD_MULTILINE_STRING) text.Trim();
        if (text.IsEmpty()) return out.record_empty(empty_reason(type));
    }
    AdEntityDef *def_type = record_type();
    switch (type) {
    case AD_SHORT_STRING:
    case AD_MULTILINE_STRING:
    case AD_ID:
    case AD_STATE:
    case AD_STATETYPE:
    case AD_FLOAT:
        return out.record_ustring(ustr(text));
    case AD_INT: {
        int n = 0;
        if (parse_int32(text.GetString(), n)) return out.record_int(n);
        KxRpcException e(Reason::illegal_value, kx_message(MSG_NOT_AN_INTEGER, ustr(text), ustr(text)));
        return report_property_error(out, e);
    }
    case AD_DATE_TIME:
        return out.record_time_value(ustr(text));
    case AD_REFERENCE: {
        AdEntityDef *target = def->GetReferenceEntityDef();
        std::vector<std::int64_t> dbids = referenced_dbids(def, current);
        return out.record_record_name_selector(target ? ustr(target->GetName()) : Nul::UString(), ustr(text),
                                               decimal(target ? target->GetDbId() : 0),
                                               dbids.size() == 1 ? decimal(dbids[0]) : Nul::UString(L"0"));
    }
    case AD_REFERENCE_LIST: {
        AdEntityDef *target = def->GetReferenceEntityDef();
        std::vector<std::int64_t> dbids = referenced_dbids(def, current);
        bool const paired = dbids.size() == values.size();
        Nul::UString const target_name = target ? ustr(target->GetName()) : Nul::UString();
        Nul::UString const target_id = decimal(target ? target->GetDbId() : 0);
        out.start_list_property_values(PV_RECORD_NAME_SELECTOR);
        for (std::size_t i = 0; i < values.size(); ++i)
            out.record_record_name_selector(target_name, ustr(values[i]), target_id,
                                            paired ? decimal(dbids[i]) : Nul::UString(L"0"));
        return out.end_list_property_values();
    }
    case AD_ATTACHMENT_LIST:
        return out.record_resource(PV_REF_ATTACHMENT_FOLDER, id32(def_type->GetDbId()), id32(record_->GetDbId()),
                                   id32(def->GetDbId()), 0);
    case AD_JOURNAL:
        return out.record_ustring(ustr(journal_to_gmt(text)));
    case AD_DBID: {
        bool ok = false;
        unsigned long n = parse_unsigned(ustr(text), ok);
        if (ok) return out.record_int(static_cast<int>(n));
        KXInternalErrorException e(kx_message(MSG_INTERNAL_ERROR));
        return report_property_error(out, e);
    }
    case AD_RECORD_TYPE: {
        AdEntityDef *named = LookupEntityDef(api_session(), text);
        if (named == nullptr) return out.record_empty(XmlTag::MPT_resource);
        return out.record_resource(PV_REF_RECTYPE, id32(named->GetDbId()), 0, 0, 0);
    }
    default:
        throw_internal_error(L"Unknown field value type");
    }
}

// ---- meta-properties

void RecordProps::fetch_meta(FetchPropResponses &out, int id, int meta) {
    if (is_field_prop(id)) return fetch_field_meta(out, id, meta);
    PropsResource::fetch_meta(out, id, meta);
}

RecordProps::FieldCache &RecordProps::cached_field(int id) {
    if (cache_.id == id) return cache_;
    FieldCache fresh;
    fresh.id = id;
    auto it = dynamic_props().find(id);
    if (it != dynamic_props().end()) fresh.name = it->second.second;
    if (record_) {
        fresh.def = record_type()->LookupFieldDef(cstr(fresh.name));
        if (fresh.def) fresh.info = record_->GetFieldValue(fresh.def->GetName());
    }
    cache_ = std::move(fresh);
    return cache_;
}

void RecordProps::fetch_field_meta(FetchPropResponses &out, int id, int meta) {
    if (!record_) throw_internal_error(L"Invalid Pointer");
    FieldCache &field = cached_field(id);
    bool const edit = editable();
    // Metas that only need the record.
    switch (meta) {
    case XmlTag::MPN_behavior_changed_this_group:
        return out.unsupported_property();
    case XmlTag::MPN_record:
        return out.record_resource(PV_REF_RECORD, id32(record_type()->GetDbId()), id32(record_->GetDbId()), 0, 0);
    case XmlTag::MPN_value:
        return fetch_field_value(out, id);
    default:
        break;
    }
    // The rest describe a field the record type has.
    if (field.def == nullptr) {
        switch (meta) {
        case XmlTag::MPN_behavior_changed_this_action:
        case XmlTag::MPN_behavior_changed_this_set_value:
        case XmlTag::MPN_choice_list:
        case XmlTag::MPN_error_text:
        case XmlTag::MPN_field_definition:
        case XmlTag::MPN_field_definition_dbid:
        case XmlTag::MPN_field_type:
        case XmlTag::MPN_original_value:
        case XmlTag::MPN_original_value_status:
        case XmlTag::MPN_requiredness:
        case XmlTag::MPN_type:
        case XmlTag::MPN_validation_status:
        case XmlTag::MPN_validity_changed_this_action:
        case XmlTag::MPN_validity_changed_this_group:
        case XmlTag::MPN_validity_changed_this_set_value:
        case XmlTag::MPN_value_changed_this_action:
        case XmlTag::MPN_value_changed_this_group:
        case XmlTag::MPN_value_changed_this_set_value:
        case XmlTag::MPN_value_status:
            return out.unsupported_property();
        default:
            return PropsResource::fetch_meta(out, id, meta);
        }
    }
    CString const name = field.def->GetName();
    switch (meta) {
    case XmlTag::MPN_behavior_changed_this_action:
    case XmlTag::MPN_behavior_changed_this_set_value: {
        if (!item_) {
            KXInternalErrorException e(Nul::UString(L"Illegal State"), nullptr);
            return report_property_error(out, e);
        }
        Nul::UString const field_name = ustr(name);
        return out.record_bool(meta == XmlTag::MPN_behavior_changed_this_action
                                   ? item_->requiredness_changed_since_open(field_name)
                                   : item_->requiredness_changed(field_name));
    }
    case XmlTag::MPN_choice_list: {
        if (!edit) return out.unavailable_property();
        std::vector<CString> choices;
        if (field.def->GetFieldType() == AD_STATE) {
            // The State field chooses among the record type's states.
            choices = record_type()->GetStateNames();
        } else {
            CString list_name = field.def->GetChoiceListName();
            if (list_name.IsEmpty()) return out.unsupported_property();
            AdListDef *list = LookupListDef(api_session(), list_name);
            if (list) choices = list->GetValues();
        }
        if (field.def->GetFieldType() == AD_DATE_TIME) {
            for (CString &choice : choices) {
                CString gmt;
                if (!product_date_to_gmt(choice, gmt))
                    raise_reason(Reason::illegal_value, kx_message(MSG_NOT_ISO8601_DATE, ustr(choice)));
                choice = gmt;
            }
        }
        return report_texts(out, choices);
    }
    case XmlTag::MPN_error_text: {
        if (!edit) return out.unavailable_property();
        CString text = field.info.GetMessageText();
        if (text.IsEmpty()) return out.record_empty(XmlTag::MPT_string);
        return out.record_cstring(text);
    }
    case XmlTag::MPN_field_definition:
        return out.record_resource(PV_REF_FIELD_DEF, id32(record_type()->GetDbId()), id32(field.def->GetDbId()), 0, 0);
    case XmlTag::MPN_field_definition_dbid:
        return out.record_int(id32(field.def->GetDbId()));
    case XmlTag::MPN_field_type:
        return out.record_enum(field_definition_type_tag(field.def->GetFieldType()));
    case XmlTag::MPN_original_value: {
        if (!edit) return out.unavailable_property();
        return report_field_value(out, field.def, record_->GetFieldOriginalValue(name), false);
    }
    case XmlTag::MPN_original_value_status:
        if (!edit) return out.unavailable_property();
        return out.record_enum(value_status_tag(record_->GetFieldOriginalValue(name).GetValueStatus()));
    case XmlTag::MPN_requiredness:
        return out.record_enum(requiredness_tag(record_->GetFieldRequiredness(name, 0)));
    case XmlTag::MPN_type:
        return out.record_enum(meta_type_tag(field.def->GetFieldType()));
    case XmlTag::MPN_validation_status:
        return out.record_enum(validation_status_tag(field.info.GetValidity()));
    case XmlTag::MPN_validity_changed_this_action:
    case XmlTag::MPN_validity_changed_this_group:
        if (!edit) return out.unavailable_property();
        return out.record_bool((meta == XmlTag::MPN_validity_changed_this_group
                                    ? field.info.ValidityChangedThisGroup()
                                    : field.info.ValidityChangedThisAction()) != FALSE);
    case XmlTag::MPN_validity_changed_this_set_value:
        if (!edit) return out.unsupported_property();
        return out.record_bool(field.info.ValidityChangedThisSetValue() != FALSE);
    case XmlTag::MPN_value_changed_this_action:
        if (!edit) return out.unsupported_property();
        return out.record_bool(field.info.ValueChangedThisAction() != FALSE);
    case XmlTag::MPN_value_changed_this_group:
        if (!edit) return out.unsupported_property();
        return out.record_bool(field.info.ValueChangedThisGroup() != FALSE);
    case XmlTag::MPN_value_changed_this_set_value: {
        if (!edit) return out.unsupported_property();
        std::vector<CString> const last = record_->GetFieldValuesUpdatedThisSetValue();
        return out.record_bool(std::find(last.begin(), last.end(), name) != last.end());
    }
    case XmlTag::MPN_value_status:
        return out.record_enum(value_status_tag(field.info.GetValueStatus()));
    default:
        return PropsResource::fetch_meta(out, id, meta);
    }
}

} // namespace KxRpc
