#include "props/defprops.h"

#include <vector>

#include "kxproduct/query.h"
#include "props/convert.h"
#include "props/recordprops.h"
#include "props/value_tags.h"
#include "target/login_session.h"
#include "tesutil/xmltag.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/textfmt.h"

namespace KxRpc {

namespace {

using Nul::XmlTag;

enum : int { E_MANDATORY = 530, E_OPTIONAL = 583, E_READONLY = 633 };

constexpr int open_choice_list = 2;
constexpr int calculated_each_access = 2;

int id_of(AdDataObject const *object) { return static_cast<int>(object->GetDbId()); }

[[noreturn]] void raise_invalid_pointer() { throw_internal_error(Nul::UString(L"Invalid Pointer")); }

void report_strings(FetchPropResponses &out, std::vector<CString> const &values) {
    if (values.empty()) {
        out.record_empty(XmlTag::MPT_string_list);
        return;
    }
    out.start_list_property_values(PV_STRING);
    for (CString const &value : values) out.record_cstring(value);
    out.end_list_property_values();
}

} // namespace

// ---- DefinitionProps

DefinitionProps::DefinitionProps(LoginSession *session, AdEntityDef *record_type, AdDataObject *object)
    : PropsResource(session), record_type_(record_type), object_(object) {}

DefinitionProps::~DefinitionProps() = default;

AdDataObject *DefinitionProps::object() const {
    if (object_ == nullptr) raise_invalid_pointer();
    return object_;
}

AdEntityDef *DefinitionProps::record_type() const {
    if (record_type_ == nullptr) raise_invalid_pointer();
    return record_type_;
}

AdSessionPtr DefinitionProps::api_session() const {
    AdSession *session = login_session() ? login_session()->session() : nullptr;
    if (session == nullptr) raise_invalid_pointer();
    return AdSessionPtr(session);
}

bool DefinitionProps::fetch_common(FetchPropResponses &out, int prop_id) {
    switch (prop_id) {
    case XmlTag::TEAMPVT_dbid:
        out.record_int(id_of(object()));
        return true;
    case XmlTag::TEAMPVT_object_id:
        out.record_ustring(number_to_ustring(static_cast<long>(record_type()->GetDbId())) + Nul::UString(L"/") +
                           number_to_ustring(static_cast<long>(object()->GetDbId())));
        return true;
    case XmlTag::CTG_object_name:
        out.record_cstring(record_type()->GetName() + L"/" + object()->GetName());
        return true;
    case XmlTag::CTG_parent_record_type:
        out.record_resource(PV_REF_RECTYPE, id_of(record_type()), 0, 0, 0);
        return true;
    case XmlTag::TEAM_display_name:
        out.record_cstring(object()->GetName());
        return true;
    default:
        return false;
    }
}

Nul::UString DefinitionProps::describe_as(char const *format) const {
    return text_format(format, record_type_ ? ustr(record_type_->GetName()) : Nul::UString(),
                       object_ ? ustr(object_->GetName()) : Nul::UString());
}

// ---- FieldDefinitionProps

FieldDefinitionProps::FieldDefinitionProps(LoginSession *session, AdFieldDef *field)
    : DefinitionProps(session, field ? field->GetEntityDef() : nullptr, field), field_(field) {}

FieldDefinitionProps::~FieldDefinitionProps() = default;

AdFieldDef *FieldDefinitionProps::field() const {
    if (field_ == nullptr) raise_invalid_pointer();
    return field_;
}

Nul::UString FieldDefinitionProps::describe() { return describe_as("FieldDefinitionProps: (name:%s/%s)"); }

std::set<int> const &FieldDefinitionProps::supported_properties() {
    static std::set<int> const ids =
        with_base_properties({234, 340, 342, 355, 385, 415, 444, 463, 464, 466, 468, 484,  496,  497,
                              512, 518, 531, 576, 578, 600, 645, 644, 674, 693, 723, 1044, 1061, 1156});
    return ids;
}

bool FieldDefinitionProps::has_field_hook(int kind) const {
    AdIterator<AdHookDef> hooks = record_type()->GetHookDefs();
    for (int i = 0; i < hooks.GetLength(); ++i) {
        AdHookDef *hook = hooks.GetItem(i);
        if (hook && hook->GetHookType() == kind && hook->GetFieldName() == field()->GetName()) return true;
    }
    return false;
}

void FieldDefinitionProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    if (fetch_common(out, prop_id)) return;
    switch (prop_id) {
    case XmlTag::KX_db_name:
        out.record_cstring(field()->GetDbName());
        return;
    case XmlTag::CTG_calculate_list_each_access:
        if (field()->GetChoiceType() == 0)
            out.record_empty(XmlTag::MPT_bool);
        else
            out.record_bool(field()->GetChoiceCalculationMode() == calculated_each_access);
        return;
    case XmlTag::CTG_can_be_security_context:
        out.record_bool(field()->CanBeSecurityContext() != FALSE);
        return;
    case XmlTag::CTG_choice_list:
        fetch_choice_list(out);
        return;
    case XmlTag::CTG_dynamic_choice_list:
        fetch_dynamic_list(out);
        return;
    case XmlTag::CTG_field_role:
        out.record_empty(XmlTag::MPT_enumerated_type);
        return;
    case XmlTag::CTG_has_open_choice_list:
        out.record_bool(field()->GetChoiceType() == open_choice_list);
        return;
    case XmlTag::CTG_has_validation_hook:
        out.record_bool(has_field_hook(AD_HOOK_FIELD_VALIDATION));
        return;
    case XmlTag::CTG_has_value_changed_hook:
        out.record_bool(has_field_hook(AD_HOOK_FIELD_VALUE_CHANGED));
        return;
    case XmlTag::CTG_help_text:
    case XmlTag::TEAM_comment:
        out.record_cstring(field()->GetHelpText());
        return;
    case XmlTag::CTG_is_available_for_queries:
    case XmlTag::CTG_is_legal_for_query:
        fetch_query_legality(out, false);
        return;
    case XmlTag::CTG_is_legal_for_query_filter:
        fetch_query_legality(out, true);
        return;
    case XmlTag::CTG_is_security_context:
        out.record_bool(field()->IsSecurityContext() != FALSE);
        return;
    case XmlTag::CTG_is_system_owned:
        out.record_bool(field()->IsSystemOwned() != FALSE);
        return;
    case XmlTag::CTG_maximum_string_length:
        if (field()->GetFieldType() == AD_SHORT_STRING)
            out.record_int(field()->GetMaxLength());
        else
            out.record_empty(XmlTag::MPT_integer);
        return;
    case XmlTag::CTG_referenced_record_type: {
        int const type = field()->GetFieldType();
        AdEntityDef *referenced =
            type == AD_REFERENCE || type == AD_REFERENCE_LIST ? field()->GetReferenceEntityDef() : nullptr;
        if (referenced)
            out.record_resource(PV_REF_RECTYPE, id_of(referenced), 0, 0, 0);
        else
            out.record_empty(XmlTag::MPT_resource);
        return;
    }
    // The product has no back-reference fields.
    case XmlTag::CTG_referencing_field:
        out.record_empty(XmlTag::MPT_resource);
        return;
    case XmlTag::CTG_back_reference_fieldname:
        out.record_empty(XmlTag::MPT_string);
        return;
    case XmlTag::CTG_scripted_list: {
        AdHookDef *hook = field()->GetChoiceType() != 0 ? field()->GetChoiceListHook() : nullptr;
        int const language = hook ? hook->GetScriptLanguage() : AD_HOOK_LANGUAGE_UNKNOWN;
        out.record_bool(language == AD_HOOK_LANGUAGE_KX || language == AD_HOOK_LANGUAGE_LUA);
        return;
    }
    case XmlTag::CTG_stateless_behavior:
        fetch_requiredness(out);
        return;
    case XmlTag::CTG_value_type:
    case XmlTag::KX_field_type:
        fetch_value_type(out);
        return;
    default:
        PropsResource::fetch_prop(out, prop_id);
    }
}

void FieldDefinitionProps::fetch_choice_list(FetchPropResponses &out) {
    CString const path = field()->GetName();
    AdQueryDefPtr query = BuildQueryDef(api_session(), record_type(), 0);
    if (!query) raise_invalid_pointer();
    query->BuildField(path);
    // Date choices are kept as the product's date texts already.
    report_strings(out, query->GetChoiceList(path));
}

void FieldDefinitionProps::fetch_dynamic_list(FetchPropResponses &out) {
    CString const name = field()->GetChoiceListName();
    AdListDef *list = name.IsEmpty() ? nullptr : LookupListDef(api_session(), name);
    if (list)
        out.record_resource(PV_REF_DYNAMIC_LIST, id_of(list), 0, 0, 0);
    else
        out.record_empty(XmlTag::MPT_resource);
}

void FieldDefinitionProps::fetch_requiredness(FetchPropResponses &out) {
    if (record_type()->GetType() == AD_STATEFUL) {
        out.record_empty(XmlTag::MPT_enumerated_type);
        return;
    }
    switch (field()->GetDefaultBehavior()) {
    case AD_MANDATORY:
        out.record_enum(E_MANDATORY);
        return;
    case AD_OPTIONAL:
        out.record_enum(E_OPTIONAL);
        return;
    case AD_READONLY:
        out.record_enum(E_READONLY);
        return;
    default:
        // A requiredness the product does not define still answers one value.
        out.record_empty(XmlTag::MPT_enumerated_type);
    }
}

void FieldDefinitionProps::fetch_query_legality(FetchPropResponses &out, bool filter) {
    AdQueryDefPtr query = BuildQueryDef(api_session(), record_type(), 0);
    if (!query) raise_invalid_pointer();
    CString const path = field()->GetName();
    out.record_bool((filter ? query->IsFieldPathLegalForFilter(path) : query->IsFieldPathLegalForQuery(path)) != FALSE);
}

void FieldDefinitionProps::fetch_value_type(FetchPropResponses &out) {
    if (field_ == nullptr) {
        out.unsupported_property();
        return;
    }
    out.record_enum(field_definition_type_tag(field_->GetFieldType()));
}

// ---- ActionProps

ActionProps::ActionProps(LoginSession *session, AdActionDef *action)
    : DefinitionProps(session, action ? action->GetEntityDef() : nullptr, action), action_(action) {}

ActionProps::~ActionProps() = default;

AdActionDef *ActionProps::action() const {
    if (action_ == nullptr) raise_invalid_pointer();
    return action_;
}

Nul::UString ActionProps::describe() { return describe_as("ActionProps: (name:%s/%s)"); }

std::set<int> const &ActionProps::supported_properties() {
    static std::set<int> const ids = with_base_properties({711, 385, 402, 454, 468, 1044, 576, 578, 600, 688, 1061});
    return ids;
}

void ActionProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    if (fetch_common(out, prop_id)) return;
    switch (prop_id) {
    case XmlTag::CTG_type:
        out.record_enum(action_type_tag(action()->GetActionType(), L"Unknown type of record type action"));
        return;
    case XmlTag::CTG_destination_state: {
        CString const state = action()->GetDestStateName();
        if (state.IsEmpty())
            out.record_empty(XmlTag::MPT_string);
        else
            out.record_cstring(state);
        return;
    }
    case XmlTag::CTG_form:
        fetch_form(out);
        return;
    // The product keeps no description of actions.
    case XmlTag::CTG_help_text:
    case XmlTag::TEAM_comment:
        out.record_cstring(CString());
        return;
    case XmlTag::CTG_source_state_list:
        report_strings(out, action()->GetSourceStateNames());
        return;
    default:
        PropsResource::fetch_prop(out, prop_id);
    }
}

void ActionProps::fetch_form(FetchPropResponses &out) {
    AdFormDef *form = action()->GetFormDef();
    if (form == nullptr) form = record_type()->GetDefaultFormDef();
    AdEntityDef *owner = form ? form->GetEntityDef() : nullptr;
    if (owner == nullptr)
        out.record_empty(XmlTag::MPT_resource);
    else
        out.record_resource(PV_REF_FORM, id_of(owner), id_of(form), 0, 0);
}

// ---- HookProps

HookProps::HookProps(LoginSession *session, AdEntityDef *record_type, AdHookDef *hook)
    : DefinitionProps(session, record_type, hook), hook_(hook) {}

HookProps::~HookProps() = default;

Nul::UString HookProps::describe() { return describe_as("HookProps: (name:%s/%s)"); }

std::set<int> const &HookProps::supported_properties() {
    static std::set<int> const ids = with_base_properties({385, 576, 578, 600, 1061});
    return ids;
}

void HookProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    if (!fetch_common(out, prop_id)) PropsResource::fetch_prop(out, prop_id);
}

// ---- DynamicListProps

DynamicListProps::DynamicListProps(LoginSession *session, AdListDef *list)
    : DefinitionProps(session, nullptr, list), list_(list) {}

DynamicListProps::~DynamicListProps() = default;

Nul::UString DynamicListProps::describe() {
    return text_format("DynamicListProps: (name:%s)", list_ ? ustr(list_->GetName()) : Nul::UString());
}

std::set<int> const &DynamicListProps::supported_properties() {
    static std::set<int> const ids = with_base_properties({385, 488, 527, 576, 578, 1061});
    return ids;
}

void DynamicListProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    switch (prop_id) {
    case XmlTag::CTG_list_values:
        fetch_values(out);
        return;
    case XmlTag::TEAMPVT_object_id:
        out.record_ustring(number_to_ustring(static_cast<long>(object()->GetDbId())));
        return;
    case XmlTag::CTG_object_name:
        out.record_cstring(object()->GetName());
        return;
    case XmlTag::CTG_parent_record_type:
        // A list belongs to no record type.
        PropsResource::fetch_prop(out, prop_id);
        return;
    default:
        if (!fetch_common(out, prop_id)) PropsResource::fetch_prop(out, prop_id);
    }
}

void DynamicListProps::fetch_values(FetchPropResponses &out) {
    // Read again: the values may have changed since the target was resolved.
    AdListDef *list = LookupListDef(api_session(), object()->GetName());
    if (list == nullptr) throw KXInternalErrorException(kx_message(MSG_NO_DYNAMIC_LISTS));
    report_strings(out, list->GetValues());
}

// ---- FormProps

FormProps::FormProps(LoginSession *session, AdFormDef *form)
    : DefinitionProps(session, form ? form->GetEntityDef() : nullptr, form), form_(form) {}

FormProps::~FormProps() = default;

Nul::UString FormProps::describe() { return describe_as("FormProps: (name:%s/%s)"); }

std::set<int> const &FormProps::supported_properties() {
    static std::set<int> const ids = with_base_properties({385, 455, 576, 578, 600, 1061});
    return ids;
}

void FormProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    if (prop_id == XmlTag::CTG_form_data_as_xml)
        fetch_form_xml(out);
    else if (!fetch_common(out, prop_id))
        PropsResource::fetch_prop(out, prop_id);
}

} // namespace KxRpc
