// The base of every property object: what all resources answer alike, and the factory that picks
// the property object for a request's target.
#include "props/resource.h"

#include "props/attachprops.h"
#include "props/convert.h"
#include "props/defprops.h"
#include "props/recordprops.h"
#include "props/rectypeprops.h"
#include "props/userprops.h"
#include "props/value_tags.h"
#include "props/wsprops.h"
#include "target/attachments.h"
#include "target/held_items.h"
#include "target/login_session.h"
#include "target/target.h"
#include "tesutil/xmltag.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"
#include "wire/textfmt.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

using Nul::XmlTag;

constexpr int private_namespace = 17;
constexpr wchar_t const *unknown_type_text = L"Unknown or unsupported KX core object type";

[[noreturn]] void raise_unknown_type() { throw_implementation_error(Nul::UString(unknown_type_text)); }

bool is_private(int prop_id) {
    return Nul::XmlTag::lookup(static_cast<Nul::XmlTag::Id>(prop_id)).ns_id() == private_namespace;
}

// A target given by state handle: the held item must be of the kind the type code names.
std::unique_ptr<PropsResource> from_state_item(LoginSession *session, TargetResourceArg &target, int type) {
    StateItem *item = target.state_item_or_fail();
    switch (type) {
    case TT_RECORD:
        checked_cast<RecordStateItem>(item);
        return std::make_unique<RecordProps>(session, std::static_pointer_cast<RecordStateItem>(target.state_item()),
                                             false);
    case TT_QUERY:
    case TT_QUERY_FOLDER:
    case TT_REPORT:
        checked_cast<QueryItemStateItem>(item);
        return make_workspace_props(session, target, type);
    case TT_ATTACHMENT:
        return std::make_unique<AttachmentProps>(session, checked_cast<AttachmentStateItem>(item)->attachment());
    default:
        break;
    }
    raise_unknown_type();
}

std::unique_ptr<PropsResource> from_target(LoginSession *session, TargetResourceArg &target, int type) {
    switch (type) {
    case TT_DBSET:
        return std::make_unique<DbSetProps>(session, target.db_set(session->admin_session_ptr()));
    case TT_USERDB:
        return std::make_unique<UserDbProps>(session, target.user_db(session->user_session()));
    case TT_REPLICA:
        return std::make_unique<ReplicaProps>(session, target.replica(session));
    case TT_CURRENT_USER:
        return std::make_unique<CurrentUserProps>(session, *target.current_user(session->session()));
    case TT_USER:
        return std::make_unique<UserProps>(session, target.user(session));
    case TT_GROUP:
        return std::make_unique<GroupProps>(session, target.group(session));
    case TT_RECTYPE:
        return std::make_unique<RecordTypeProps>(session, target.record_type(session->session()));
    case TT_RECORD: {
        auto record = std::make_unique<RecordProps>(session, target.record(session->session()));
        record->set_family_name(target.family_name());
        return record;
    }
    case TT_FIELDDEF:
        return std::make_unique<FieldDefinitionProps>(session, target.field_def(session->session()));
    case TT_ACTION:
        return std::make_unique<ActionProps>(session, target.action_def(session->session()));
    case TT_FORM:
        return std::make_unique<FormProps>(session, target.form_def(session->session()));
    case TT_HOOK: {
        AdHookDef *hook = target.hook_def(session->session());
        return std::make_unique<HookProps>(session, target.entity_def(session->session()), hook);
    }
    case TT_DYNAMIC_LIST:
        return std::make_unique<DynamicListProps>(session, target.dynamic_choice_list(session->session()));
    case TT_ATTACHMENT:
        return std::make_unique<AttachmentProps>(session, target.attachment(session->session()));
    case TT_ATTACHMENT_FOLDER:
        return std::make_unique<AttachmentFolderProps>(session, target.attachment_folder(session->session()));
    case TT_QUERY:
    case TT_QUERY_FOLDER:
    case TT_REPORT:
    case TT_REPORT_FORMAT:
        return make_workspace_props(session, target, type);
    case TT_GLOBAL_HOOK:
        raise_reason(Reason::not_supported, kx_message(MSG_GLOBAL_HOOK_REPORT));
    default:
        raise_unknown_type();
    }
}

} // namespace

// ---- the factory

std::unique_ptr<PropsResource> PropsResource::getResource(LoginSession *session, DynamicPropMap const &dynamic_props,
                                                          TargetResourceArg &target, int type) {
    if (session == nullptr) throw_internal_error(Nul::UString(L"Invalid Pointer"));
    trace_lazy(2, [&] {
        return text_format("KxRpc::PropsResource::getResource s (obj:%s :: obj_type:%d)", target.trace_line(), type);
    });
    std::unique_ptr<PropsResource> made;
    converting_product_failures([&] {
        made =
            target.is_state_item_target() ? from_state_item(session, target, type) : from_target(session, target, type);
    });
    made->set_dynamic_props(dynamic_props);
    trace_lazy(2, [&] {
        return text_format("KxRpc::PropsResource::getResource e (obj:%s :: obj_type:%d)", target.trace_line(), type);
    });
    return made;
}

// ---- PropsResource

PropsResource::PropsResource(LoginSession *session) : session_(session) {}
PropsResource::~PropsResource() = default;

void PropsResource::fetch_generic_prop(FetchPropResponses &out, int prop_id) {
    switch (prop_id) {
    case XmlTag::TEAM_all_public_property_names:
        out.start_list_property_values(PV_PROPERTY_NAME);
        for (int id : supported_properties())
            if (!is_private(id)) out.record_property_name(id);
        out.end_list_property_values();
        return;
    case XmlTag::TEAMPVT_supported_live_property_set: {
        out.start_list_property_values(PV_PROPERTY_NAME);
        for (int id : supported_properties()) out.record_property_name(id);
        if (std::unique_ptr<std::vector<Nul::UString>> names = dynamic_prop_names())
            for (Nul::UString const &name : *names) out.record_property_name(name);
        out.end_list_property_values();
        return;
    }
    default:
        out.unsupported_property();
    }
}

void PropsResource::fetch_prop(FetchPropResponses &out, int prop_id) {
    if (prop_id == XmlTag::CTG_parent_list)
        out.record_empty(XmlTag::MPT_resource_list);
    else
        fetch_generic_prop(out, prop_id);
}

void PropsResource::put_prop(BasePropValue &value) {
    raise_reason(is_supported_prop(value.prop_id()) ? Reason::read_only : Reason::unknown_property);
}

void PropsResource::complete_put_props(PropValues const &) {}

void PropsResource::set_dynamic_props(DynamicPropMap const &props) { dynamic_props_ = props; }

Nul::UString PropsResource::dynamic_prop_name(int prop_id) { return dynamic_prop(prop_id).second; }

int PropsResource::dynamic_prop_ns(int prop_id) { return dynamic_prop(prop_id).first; }

DynamicPropName PropsResource::dynamic_prop(int prop_id) {
    auto found = dynamic_props_.find(prop_id);
    return found == dynamic_props_.end() ? DynamicPropName(no_namespace, Nul::UString()) : found->second;
}

std::unique_ptr<std::vector<Nul::UString>> PropsResource::dynamic_prop_names() { return nullptr; }

bool PropsResource::is_supported_prop(int prop_id) { return supported_properties().count(prop_id) != 0; }

void PropsResource::fetch_meta(FetchPropResponses &out, int prop_id, int meta_id) {
    if (meta_id == XmlTag::MPN_value)
        fetch_prop(out, prop_id);
    else
        out.unsupported_property();
}

void PropsResource::start_field_change_tracking() {}
void PropsResource::stop_field_change_tracking() {}

void PropsResource::read_changed_fields() {}

bool_t PropsResource::xdr_changed_fields(XDR *xdrs) {
    bool_t none = FALSE;
    int count = 0;
    return xdr_bool(xdrs, &none) && xdr_int(xdrs, &count);
}

AdEntityPtr PropsResource::entity() { return AdEntityPtr(); }

Nul::UString PropsResource::describe() { return Nul::UString(); }

std::set<int> const &PropsResource::base_properties() {
    static std::set<int> const base{XmlTag::TEAMPVT_repo_uri, XmlTag::TEAMPVT_supported_live_property_set,
                                    XmlTag::CTG_parent_list};
    return base;
}

std::set<int> const &PropsResource::supported_properties() { return base_properties(); }

std::set<int> PropsResource::with_base_properties(std::initializer_list<int> own) {
    std::set<int> ids(own);
    ids.insert(base_properties().begin(), base_properties().end());
    return ids;
}

} // namespace KxRpc
