#include "props/rectypeprops.h"

#include "kxproduct/diag.h"
#include "props/convert.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "target/login_session.h"
#include "wire/textfmt.h"

namespace KxRpc {

namespace {

enum : int {
    P_DISPLAY_NAME_KX = 236,
    P_IS_ZRM_ENABLED = 261,
    P_ACTION_LIST = 297,
    P_CAN_BE_SECURITY_CONTEXT = 342,
    P_DBID = 385,
    P_FIELD_DEFINITIONS = 442,
    P_FORM_LIST = 456,
    P_IS_FAMILY = 490,
    P_IS_SECURITY_CONTEXT = 512,
    P_IS_STATELESS = 515,
    P_IS_SUBMITTABLE = 516,
    P_KEY_FIELDS = 522,
    P_MODIFY_FORM = 549,
    P_NAMED_HOOK_LIST = 558,
    P_OBJECT_ID = 576,
    P_OBJECT_NAME = 578,
    P_RECORD_ROLES = 636,
    P_RECORD_STATES = 637,
    P_FAMILY_CHILD_LIST = 642,
    P_SUBMIT_FORM = 699,
    P_DISPLAY_NAME = 1061,
};

// Reference codes of the reply for the definitions of a record type.
enum : int { R_RECTYPE = 31, R_FIELD = 34, R_ACTION = 39, R_FORM = 40, R_HOOK = 41 };

constexpr int stateful_kind = 1;
constexpr wchar_t const *zrm_package = L"Zarminflow";

int id_of(AdDataObject const *object) { return static_cast<int>(object->GetDbId()); }

// A list of references to the definitions of one kind, or the empty resource list when there
// are none.
template <class T>
void report_definitions(FetchPropResponses &out, AdIterator<T> const &items, int code, int rectype_dbid) {
    if (items.GetLength() == 0) {
        out.record_empty(MPT_RESOURCE_LIST);
        return;
    }
    out.start_list_property_values(code);
    for (int i = 0; i < items.GetLength(); ++i) out.record_resource(code, rectype_dbid, id_of(items.GetItem(i)), 0, 0);
    out.end_list_property_values();
}

} // namespace

RecordTypeProps::RecordTypeProps(LoginSession *session, KXSmartPtr<KXEntityDef> const &record_type)
    : PropsResource(session), record_type_(record_type) {}

RecordTypeProps::~RecordTypeProps() = default;

AdEntityDef *RecordTypeProps::def() const {
    AdEntityDef *real = record_type_ ? record_type_->GetReal() : nullptr;
    if (real == nullptr) throw_internal_error(Nul::UString(L"Invalid Pointer"));
    return real;
}

Nul::UString RecordTypeProps::describe() {
    CString object = AdDiagnostic::To_Obj(record_type_.get());
    return text_format("RecordTypeProps: (kxobj:%s :: name:%s)", Nul::UString(object.GetString()),
                       Nul::UString(record_type_ ? record_type_->GetName().GetString() : L"NULL"));
}

std::set<int> const &RecordTypeProps::supported_properties() {
    // Built once each, safely also when several threads ask first at the same time.
    static std::set<int> const family = with_base_properties(
        {1061, 297, 342, 385, 442, 456, 515, 516, 490, 512, 261, 522, 558, 576, 578, 636, 637, 642});
    static std::set<int> const single = [] {
        std::set<int> ids = family;
        ids.insert({P_MODIFY_FORM, P_SUBMIT_FORM});
        return ids;
    }();
    return record_type_ && record_type_->GetReal() && record_type_->GetReal()->IsFamily() ? family : single;
}

void RecordTypeProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    switch (prop_id) {
    case P_DISPLAY_NAME_KX:
    case P_OBJECT_NAME:
    case P_DISPLAY_NAME:
        out.record_cstring(def()->GetName());
        return;
    case P_IS_ZRM_ENABLED:
        fetch_zrm_enabled(out);
        return;
    case P_ACTION_LIST:
        report_definitions(out, def()->GetActionDefs(), R_ACTION, id_of(def()));
        return;
    case P_CAN_BE_SECURITY_CONTEXT:
        out.record_bool(def()->CanBeSecurityContext() != FALSE);
        return;
    case P_DBID:
        out.record_int(id_of(def()));
        return;
    case P_FIELD_DEFINITIONS:
        report_definitions(out, def()->GetFieldDefs(), R_FIELD, id_of(def()));
        return;
    case P_FORM_LIST:
        report_definitions(out, def()->GetFormDefs(), R_FORM, id_of(def()));
        return;
    case P_IS_FAMILY:
        out.record_bool(def()->IsFamily() != FALSE);
        return;
    case P_IS_SECURITY_CONTEXT:
        out.record_bool(def()->IsSecurityContext() != FALSE);
        return;
    case P_IS_STATELESS:
        out.record_bool(def()->GetType() != stateful_kind);
        return;
    case P_IS_SUBMITTABLE:
        fetch_submittable(out);
        return;
    case P_KEY_FIELDS:
        report_definitions(out, def()->GetUniqueKeyFieldDefs(), R_FIELD, id_of(def()));
        return;
    case P_NAMED_HOOK_LIST:
        report_definitions(out, def()->GetHookDefs(), R_HOOK, id_of(def()));
        return;
    case P_OBJECT_ID:
        out.record_ustring(number_to_ustring(static_cast<long>(def()->GetDbId())));
        return;
    case P_RECORD_ROLES:
        out.record_empty(MPT_ENUMERATED_TYPE);
        return;
    case P_RECORD_STATES: {
        std::vector<CString> const &states = def()->GetStateNames();
        if (states.empty()) {
            out.record_empty(MPT_STRING_LIST);
            return;
        }
        out.start_list_property_values(PV_STRING);
        for (CString const &state : states) out.record_ustring(Nul::UString(state.GetString()));
        out.end_list_property_values();
        return;
    }
    case P_FAMILY_CHILD_LIST: {
        AdIterator<AdEntityDef> members = def()->GetFamilyMembers();
        if (members.GetLength() == 0) {
            out.record_empty(MPT_RESOURCE_LIST);
            return;
        }
        out.start_list_property_values(R_RECTYPE);
        for (int i = 0; i < members.GetLength(); ++i)
            out.record_resource(R_RECTYPE, id_of(members.GetItem(i)), 0, 0, 0);
        out.end_list_property_values();
        return;
    }
    case P_MODIFY_FORM:
        report_form(out, def()->GetDefaultFormDef());
        return;
    case P_SUBMIT_FORM:
        fetch_submit_form(out);
        return;
    default:
        PropsResource::fetch_prop(out, prop_id);
    }
}

void RecordTypeProps::report_form(FetchPropResponses &out, AdFormDef *form) {
    if (form == nullptr)
        out.record_empty(MPT_RESOURCE);
    else
        out.record_resource(R_FORM, id_of(def()), id_of(form), 0, 0);
}

void RecordTypeProps::fetch_submit_form(FetchPropResponses &out) {
    AdActionDef *submit = def()->LookupActionDef(static_cast<int>(AD_ACTION_SUBMIT));
    AdFormDef *form = submit ? submit->GetFormDef() : nullptr;
    report_form(out, form ? form : def()->GetDefaultFormDef());
}

void RecordTypeProps::fetch_submittable(FetchPropResponses &out) {
    AdEntityDef *real = def();
    if (real->IsFamily()) {
        out.record_bool(false);
        return;
    }
    AdSession *session = login_session() ? login_session()->session() : nullptr;
    if (session == nullptr) throw_internal_error(Nul::UString(L"Invalid Pointer"));
    out.record_bool(session->CanSubmit(real) != FALSE);
}

void RecordTypeProps::fetch_zrm_enabled(FetchPropResponses &out) {
    bool enabled = false;
    try {
        AdSession *session = login_session() ? login_session()->session() : nullptr;
        if (session == nullptr) throw_internal_error(Nul::UString(L"Invalid Pointer"));
        CString const name = def()->GetName();
        for (AdEntityDef *enabled_def : session->GetEntityDefsEnabledForPackage(CString(zrm_package), CString()))
            if (enabled_def && enabled_def->GetName().CompareNoCase(name.GetString()) == 0) enabled = true;
    } catch (Nul::STPException const &) {
        throw;
    } catch (...) {
        ignore_current_exception(std::source_location::current());
        throw KXInternalErrorException(Nul::UString(L"Error calling KX API."), nullptr);
    }
    out.record_bool(enabled);
}

} // namespace KxRpc
