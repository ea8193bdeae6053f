#include "props/rectypeprops.h"

#include "kxproduct/diag.h"
#include "props/convert.h"
#include "props/value_tags.h"
#include "target/login_session.h"
#include "tesutil/xmltag.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"

namespace KxRpc {

namespace {

using Nul::XmlTag;

constexpr int stateful_kind = 1;
constexpr wchar_t const *zrm_package = L"Zarminflow";

int id_of(AdDataObject const *object) { return static_cast<int>(object->GetDbId()); }

// A list of references to the definitions of one kind, or the empty resource list when there
// are none.
template <class T>
void report_definitions(FetchPropResponses &out, AdIterator<T> const &items, int code, int rectype_dbid) {
    if (items.GetLength() == 0) {
        out.record_empty(XmlTag::MPT_resource_list);
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
    return text_format("RecordTypeProps: (kxobj:%s :: name:%s)", ustr(object),
                       record_type_ ? ustr(record_type_->GetName()) : Nul::UString(L"NULL"));
}

std::set<int> const &RecordTypeProps::supported_properties() {
    // Built once each, safely also when several threads ask first at the same time.
    static std::set<int> const family = with_base_properties(
        {1061, 297, 342, 385, 442, 456, 515, 516, 490, 512, 261, 522, 558, 576, 578, 636, 637, 642});
    static std::set<int> const single = [] {
        std::set<int> ids = family;
        ids.insert({XmlTag::CTG_modify_form, XmlTag::CTG_submit_form});
        return ids;
    }();
    return record_type_ && record_type_->GetReal() && record_type_->GetReal()->IsFamily() ? family : single;
}

void RecordTypeProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    switch (prop_id) {
    case XmlTag::KX_display_name:
    case XmlTag::CTG_object_name:
    case XmlTag::TEAM_display_name:
        out.record_cstring(def()->GetName());
        return;
    case XmlTag::KX_is_zrm_enabled:
        fetch_zrm_enabled(out);
        return;
    case XmlTag::CTG_action_list:
        report_definitions(out, def()->GetActionDefs(), PV_REF_ACTION, id_of(def()));
        return;
    case XmlTag::CTG_can_be_security_context:
        out.record_bool(def()->CanBeSecurityContext() != FALSE);
        return;
    case XmlTag::TEAMPVT_dbid:
        out.record_int(id_of(def()));
        return;
    case XmlTag::CTG_field_definitions:
        report_definitions(out, def()->GetFieldDefs(), PV_REF_FIELD_DEF, id_of(def()));
        return;
    case XmlTag::CTG_form_list:
        report_definitions(out, def()->GetFormDefs(), PV_REF_FORM, id_of(def()));
        return;
    case XmlTag::CTG_is_family:
        out.record_bool(def()->IsFamily() != FALSE);
        return;
    case XmlTag::CTG_is_security_context:
        out.record_bool(def()->IsSecurityContext() != FALSE);
        return;
    case XmlTag::CTG_is_stateless:
        out.record_bool(def()->GetType() != stateful_kind);
        return;
    case XmlTag::CTG_is_submittable:
        fetch_submittable(out);
        return;
    case XmlTag::CTG_key_fields:
        report_definitions(out, def()->GetUniqueKeyFieldDefs(), PV_REF_FIELD_DEF, id_of(def()));
        return;
    case XmlTag::CTG_named_hook_list:
        report_definitions(out, def()->GetHookDefs(), PV_REF_HOOK, id_of(def()));
        return;
    case XmlTag::TEAMPVT_object_id:
        out.record_ustring(number_to_ustring(static_cast<long>(def()->GetDbId())));
        return;
    case XmlTag::CTG_record_roles:
        out.record_empty(XmlTag::MPT_enumerated_type);
        return;
    case XmlTag::CTG_record_states: {
        std::vector<CString> const &states = def()->GetStateNames();
        if (states.empty()) {
            out.record_empty(XmlTag::MPT_string_list);
            return;
        }
        out.start_list_property_values(PV_STRING);
        for (CString const &state : states) out.record_ustring(ustr(state));
        out.end_list_property_values();
        return;
    }
    case XmlTag::CTG_rectype_family_child_list: {
        AdIterator<AdEntityDef> members = def()->GetFamilyMembers();
        if (members.GetLength() == 0) {
            out.record_empty(XmlTag::MPT_resource_list);
            return;
        }
        out.start_list_property_values(PV_REF_RECTYPE);
        for (int i = 0; i < members.GetLength(); ++i)
            out.record_resource(PV_REF_RECTYPE, id_of(members.GetItem(i)), 0, 0, 0);
        out.end_list_property_values();
        return;
    }
    case XmlTag::CTG_modify_form:
        report_form(out, def()->GetDefaultFormDef());
        return;
    case XmlTag::CTG_submit_form:
        fetch_submit_form(out);
        return;
    default:
        PropsResource::fetch_prop(out, prop_id);
    }
}

void RecordTypeProps::report_form(FetchPropResponses &out, AdFormDef *form) {
    if (form == nullptr)
        out.record_empty(XmlTag::MPT_resource);
    else
        out.record_resource(PV_REF_FORM, id_of(def()), id_of(form), 0, 0);
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
    product_call(
        [&] {
            AdSession *session = login_session() ? login_session()->session() : nullptr;
            if (session == nullptr) throw_internal_error(Nul::UString(L"Invalid Pointer"));
            CString const name = def()->GetName();
            for (AdEntityDef *enabled_def : session->GetEntityDefsEnabledForPackage(CString(zrm_package), CString()))
                if (enabled_def && enabled_def->GetName().CompareNoCase(name.GetString()) == 0) enabled = true;
        },
        [](ProductFailure const &f) {
            report_ignored(f, std::source_location::current());
            throw KXInternalErrorException(Nul::UString(L"Error calling KX API."), nullptr);
        });
    out.record_bool(enabled);
}

} // namespace KxRpc
