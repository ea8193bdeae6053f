#include "props/defprops.h"

#include <vector>

#include "kxproduct/query.h"
#include "props/convert.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "target/login_session.h"
#include "wire/textfmt.h"

namespace KxRpc {

namespace {

enum : int {
    P_DB_NAME = 234,
    P_CALCULATE_LIST_EACH_ACCESS = 340,
    P_CAN_BE_SECURITY_CONTEXT = 342,
    P_CHOICE_LIST = 355,
    P_DBID = 385,
    P_DESTINATION_STATE = 402,
    P_DYNAMIC_CHOICE_LIST = 415,
    P_FIELD_ROLE = 444,
    P_FORM = 454,
    P_FORM_DATA_AS_XML = 455,
    P_HAS_OPEN_CHOICE_LIST = 463,
    P_HAS_VALIDATION_HOOK = 464,
    P_HAS_VALUE_CHANGED_HOOK = 466,
    P_HELP_TEXT = 468,
    P_IS_AVAILABLE_FOR_QUERIES = 484,
    P_IS_LEGAL_FOR_QUERY = 496,
    P_IS_LEGAL_FOR_QUERY_FILTER = 497,
    P_IS_SECURITY_CONTEXT = 512,
    P_IS_SYSTEM_OWNED = 518,
    P_LIST_VALUES = 527,
    P_MAXIMUM_STRING_LENGTH = 531,
    P_OBJECT_ID = 576,
    P_OBJECT_NAME = 578,
    P_PARENT_RECORD_TYPE = 600,
    P_REFERENCED_RECORD_TYPE = 644,
    P_REFERENCING_FIELD = 645,
    P_SCRIPTED_LIST = 674,
    P_SOURCE_STATE_LIST = 688,
    P_STATELESS_BEHAVIOR = 693,
    P_TYPE = 711,
    P_VALUE_TYPE = 723,
    P_COMMENT = 1044,
    P_DISPLAY_NAME = 1061,
    P_FIELD_TYPE = 1152,
    P_BACK_REFERENCE_FIELDNAME = 1156,
};

// Reference codes of the reply.
enum : int { R_RECTYPE = 31, R_FORM = 40, R_DYNAMIC_LIST = 42 };

enum : int { E_MANDATORY = 530, E_OPTIONAL = 583, E_READONLY = 633 };

constexpr int open_choice_list = 2;
constexpr int calculated_each_access = 2;

int id_of(AdDataObject const *object) { return static_cast<int>(object->GetDbId()); }


[[noreturn]] void raise_invalid_pointer() { throw_internal_error(Nul::UString(L"Invalid Pointer")); }

void report_strings(FetchPropResponses &out, std::vector<CString> const &values) {
    if (values.empty()) {
        out.record_empty(MPT_STRING_LIST);
        return;
    }
    out.start_list_property_values(PV_STRING);
    for (CString const &value : values) out.record_cstring(value);
    out.end_list_property_values();
}

// FVT: tags of the product's field types, by type number.
int value_type_tag(int field_type) {
    static constexpr int tags[] = {914, 910, 908, 904, 912, 913, 903, 907, 915, 909, 905, 916, 911, 906};
    if (field_type < AD_SHORT_STRING || field_type > AD_FLOAT) throw_internal_error(Nul::UString(L"Unknown field value type"));
    return tags[field_type - AD_SHORT_STRING];
}

// ACT: tags of the product's action types, by type number.
int action_type_tag(int action_type) {
    static constexpr int tags[] = {27, 25, 20, 23, 28, 24, 22, 19, 26, 21};
    if (action_type < AD_ACTION_SUBMIT || action_type > AD_ACTION_COPY)
        throw_internal_error(Nul::UString(L"Unknown type of record type action"));
    return tags[action_type - AD_ACTION_SUBMIT];
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
    case P_DBID:
        out.record_int(id_of(object()));
        return true;
    case P_OBJECT_ID:
        out.record_ustring(number_to_ustring(static_cast<long>(record_type()->GetDbId())) + Nul::UString(L"/") +
                           number_to_ustring(static_cast<long>(object()->GetDbId())));
        return true;
    case P_OBJECT_NAME:
        out.record_cstring(record_type()->GetName() + L"/" + object()->GetName());
        return true;
    case P_PARENT_RECORD_TYPE:
        out.record_resource(R_RECTYPE, id_of(record_type()), 0, 0, 0);
        return true;
    case P_DISPLAY_NAME:
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
    static std::set<int> const ids = with_base_properties({234, 340, 342, 355, 385, 415, 444, 463, 464, 466,
                                                           468, 484, 496, 497, 512, 518, 531, 576, 578, 600,
                                                           645, 644, 674, 693, 723, 1044, 1061, 1156});
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
    case P_DB_NAME:
        out.record_cstring(field()->GetDbName());
        return;
    case P_CALCULATE_LIST_EACH_ACCESS:
        if (field()->GetChoiceType() == 0)
            out.record_empty(MPT_BOOL);
        else
            out.record_bool(field()->GetChoiceCalculationMode() == calculated_each_access);
        return;
    case P_CAN_BE_SECURITY_CONTEXT:
        out.record_bool(field()->CanBeSecurityContext() != FALSE);
        return;
    case P_CHOICE_LIST:
        fetch_choice_list(out);
        return;
    case P_DYNAMIC_CHOICE_LIST:
        fetch_dynamic_list(out);
        return;
    case P_FIELD_ROLE:
        out.record_empty(MPT_ENUMERATED_TYPE);
        return;
    case P_HAS_OPEN_CHOICE_LIST:
        out.record_bool(field()->GetChoiceType() == open_choice_list);
        return;
    case P_HAS_VALIDATION_HOOK:
        out.record_bool(has_field_hook(AD_HOOK_FIELD_VALIDATION));
        return;
    case P_HAS_VALUE_CHANGED_HOOK:
        out.record_bool(has_field_hook(AD_HOOK_FIELD_VALUE_CHANGED));
        return;
    case P_HELP_TEXT:
    case P_COMMENT:
        out.record_cstring(field()->GetHelpText());
        return;
    case P_IS_AVAILABLE_FOR_QUERIES:
    case P_IS_LEGAL_FOR_QUERY:
        fetch_query_legality(out, false);
        return;
    case P_IS_LEGAL_FOR_QUERY_FILTER:
        fetch_query_legality(out, true);
        return;
    case P_IS_SECURITY_CONTEXT:
        out.record_bool(field()->IsSecurityContext() != FALSE);
        return;
    case P_IS_SYSTEM_OWNED:
        out.record_bool(field()->IsSystemOwned() != FALSE);
        return;
    case P_MAXIMUM_STRING_LENGTH:
        if (field()->GetFieldType() == AD_SHORT_STRING)
            out.record_int(field()->GetMaxLength());
        else
            out.record_empty(MPT_INTEGER);
        return;
    case P_REFERENCED_RECORD_TYPE: {
        int const type = field()->GetFieldType();
        AdEntityDef *referenced =
            type == AD_REFERENCE || type == AD_REFERENCE_LIST ? field()->GetReferenceEntityDef() : nullptr;
        if (referenced)
            out.record_resource(R_RECTYPE, id_of(referenced), 0, 0, 0);
        else
            out.record_empty(MPT_RESOURCE);
        return;
    }
    // The product has no back-reference fields.
    case P_REFERENCING_FIELD:
        out.record_empty(MPT_RESOURCE);
        return;
    case P_BACK_REFERENCE_FIELDNAME:
        out.record_empty(MPT_STRING);
        return;
    case P_SCRIPTED_LIST: {
        AdHookDef *hook = field()->GetChoiceType() != 0 ? field()->GetChoiceListHook() : nullptr;
        int const language = hook ? hook->GetScriptLanguage() : AD_HOOK_LANGUAGE_UNKNOWN;
        out.record_bool(language == AD_HOOK_LANGUAGE_KX || language == AD_HOOK_LANGUAGE_LUA);
        return;
    }
    case P_STATELESS_BEHAVIOR:
        fetch_requiredness(out);
        return;
    case P_VALUE_TYPE:
    case P_FIELD_TYPE:
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
        out.record_resource(R_DYNAMIC_LIST, id_of(list), 0, 0, 0);
    else
        out.record_empty(MPT_RESOURCE);
}

void FieldDefinitionProps::fetch_requiredness(FetchPropResponses &out) {
    if (record_type()->GetType() == AD_STATEFUL) {
        out.record_empty(MPT_ENUMERATED_TYPE);
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
        out.record_empty(MPT_ENUMERATED_TYPE);
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
    out.record_enum(value_type_tag(field_->GetFieldType()));
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
    case P_TYPE:
        out.record_enum(action_type_tag(action()->GetActionType()));
        return;
    case P_DESTINATION_STATE: {
        CString const state = action()->GetDestStateName();
        if (state.IsEmpty())
            out.record_empty(MPT_STRING);
        else
            out.record_cstring(state);
        return;
    }
    case P_FORM:
        fetch_form(out);
        return;
    // The product keeps no description of actions.
    case P_HELP_TEXT:
    case P_COMMENT:
        out.record_cstring(CString());
        return;
    case P_SOURCE_STATE_LIST:
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
        out.record_empty(MPT_RESOURCE);
    else
        out.record_resource(R_FORM, id_of(owner), id_of(form), 0, 0);
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
    case P_LIST_VALUES:
        fetch_values(out);
        return;
    case P_OBJECT_ID:
        out.record_ustring(number_to_ustring(static_cast<long>(object()->GetDbId())));
        return;
    case P_OBJECT_NAME:
        out.record_cstring(object()->GetName());
        return;
    case P_PARENT_RECORD_TYPE:
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
    if (prop_id == P_FORM_DATA_AS_XML)
        fetch_form_xml(out);
    else if (!fetch_common(out, prop_id))
        PropsResource::fetch_prop(out, prop_id);
}

} // namespace KxRpc
