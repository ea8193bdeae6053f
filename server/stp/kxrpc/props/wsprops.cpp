#include "props/wsprops.h"

#include <utility>
#include <vector>

#include "kxproduct/reports.h"
#include "kxproduct/security.h"
#include "kxproduct/session.h"
#include "kxproduct/userdb.h"
#include "props/acl_xml.h"
#include "props/convert.h"
#include "props/queryxml.h"
#include "props/value_tags.h"
#include "props/values.h"
#include "target/login_session.h"
#include "target/queryutil.h"
#include "target/target.h"
#include "target/workspace.h"
#include "tesutil/xmltag.h"
#include "wexxml/xmldoc.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

using Tag = Nul::XmlTag;

constexpr int NS_GROUP_PROPS = 11;
constexpr int NS_USER_PROPS = 19;
constexpr wchar_t const *not_editable_text = L"query is not editable";

[[noreturn]] void internal_error(Nul::UString const &text) {
    throw_internal_error(kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(text)));
}

// Runs product work of folder security: any product failure is an internal error (message 65)
// with the product's text.
template <class Work>
void security_call(Work &&work) {
    product_call(work, [](ProductFailure const &f) { internal_error(f.text); });
}

int id32(int64_t dbid) { return static_cast<int>(dbid); }

Tag::Id tag_id(int tag) { return static_cast<Tag::Id>(tag); }

// The held item of a handle: a query-item state item, or the checked-cast failure.
std::shared_ptr<QueryItemStateItem> query_item(StateItemPtr const &item) {
    checked_cast<QueryItemStateItem>(item.get());
    return std::static_pointer_cast<QueryItemStateItem>(item);
}

// One permission of a set as an ACL:acl-entry under `root`; `controlled` is the folder asked about.
void add_entry(AdSessionPtr const &session, AdBucketPtr const &controlled, Nul::UString const &group, int kind,
               int64_t inherited_from, Nul::XmlDoc::Elem &root) {
    AdBucketPtr from = inherited_from ? GetWorkspaceMgr(session)->GetBucket(inherited_from) : AdBucketPtr();
    Nul::XmlDoc::Elem entry(tag_id(Tag::ACL_acl_entry));
    AclXml::write_permission_xml(session, from, controlled, group, kind, entry);
    root.add_elem(entry);
}

// A set as a document under `root_tag`; record_empty (973) for a missing or empty set.
void record_permission_set(FetchPropResponses &out, AdSessionPtr const &session, AdBucketPtr const &controlled,
                           AdPermissionSetPtr const &set, int root_tag, bool empty_as_document = false) {
    if ((!set || set->GetCount() == 0) && !empty_as_document) return out.record_empty(Tag::MPT_xml);
    Nul::XmlDoc::Elem root(tag_id(root_tag));
    for (int i = 0; set && i < set->GetCount(); ++i) {
        AdFolderPermissionPtr p = set->GetItem(i);
        add_entry(session, controlled, ustr(p->GetGroupName()), p->GetKind(), p->GetInheritedFrom(), root);
    }
    Nul::XmlDoc doc(root);
    out.record_xml(doc);
}

// The checked integer reading of one kind token of the all-group permissions.
int parse_kind_token(Nul::UString const &token) {
    if (token.empty()) internal_error(Nul::UString(L"Null integer_spelling"));
    bool ok = false;
    unsigned long value = parse_unsigned(token, ok);
    if (!ok) internal_error(Nul::UString(L"Error converting integer_spelling"));
    if (value > 0x7fffffffUL)
        internal_error(Nul::UString(L"integer_spelling too large to be represented by an integer"));
    return static_cast<int>(value);
}

std::vector<Nul::UString> split_tabs(Nul::UString const &text) {
    std::vector<Nul::UString> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = text.find(L'\t', start);
        out.push_back(text.substr(start, tab == Nul::UString::npos ? Nul::UString::npos : tab - start));
        if (tab == Nul::UString::npos) return out;
        start = tab + 1;
    }
}

// A state item's held permissions (group name, kind) as the product's set.
AdPermissionSetPtr held_set(AdSessionPtr const &session, QueryItemStateItem::Permissions const &held) {
    AdAccessControlMgrPtr acl = GetAccessControlMgr(session);
    std::vector<AdFolderPermissionPtr> items;
    for (auto const &[group, kind] : held)
        items.emplace_back(new AdFolderPermission(acl->LookupGroupByName(cstr(group)), cstr(group), kind, 0));
    return acl->BuildPermissionSet(items);
}

} // namespace

// ---- QueryItemProps

QueryItemProps::QueryItemProps(LoginSession *session, AdBucketPtr const &bucket)
    : PropsResource(session), bucket_(bucket) {}

QueryItemProps::~QueryItemProps() = default;

std::set<int> QueryItemProps::merged(std::set<int> const &base, std::initializer_list<int> own) {
    std::set<int> ids(own);
    ids.insert(base.begin(), base.end());
    return ids;
}

AdSessionPtr QueryItemProps::product_session() const {
    AdSession *session = login_session() ? login_session()->session() : nullptr;
    if (session == nullptr) throw_internal_error(Nul::UString(L"Invalid Pointer"));
    return AdSessionPtr(session);
}

std::set<int> const &QueryItemProps::item_properties(bool with_bucket) {
    static std::set<int> const without =
        merged(base_properties(), {Tag::CTG_is_editable, Tag::CTG_being_created, Tag::TEAMPVT_dbid});
    static std::set<int> const with =
        merged(without, {Tag::TEAMPVT_object_id, Tag::CTG_object_name, Tag::CTG_parent_list,
                         Tag::CTG_parent_queryfolder, Tag::KX_kx_master_replica, Tag::TEAM_display_name});
    return with_bucket ? with : without;
}

std::set<int> const &QueryItemProps::supported_properties() { return item_properties(bucket_ != nullptr); }

Nul::UString QueryItemProps::describe_bucket(wchar_t const *class_name) {
    Nul::UString object = bucket_ ? trace_object_text(L"AdBucket", bucket_.get()) : Nul::UString(L"no bucket");
    return text_format("%s: (kxobj:%s)", Nul::UString(class_name), object);
}

void QueryItemProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    switch (prop_id) {
    case Tag::TEAMPVT_dbid:
        if (!bucket_) return out.record_empty(Tag::MPT_integer);
        return out.record_int(id32(bucket_->GetDbId()));
    case Tag::TEAMPVT_object_id:
        if (!bucket_) return out.record_empty(Tag::MPT_integer);
        return out.record_ustring(QueryUtil::bucket_dbid_string(bucket_));
    case Tag::CTG_parent_list:
    case Tag::CTG_parent_queryfolder:
    case Tag::TEAM_display_name:
    case Tag::CTG_object_name:
    case Tag::KX_kx_master_replica:
        break;
    default:
        return PropsResource::fetch_prop(out, prop_id);
    }
    if (!bucket_) return out.unsupported_property();
    switch (prop_id) {
    case Tag::CTG_parent_list:
    case Tag::CTG_parent_queryfolder: {
        AdBucketPtr parent = bucket_->GetParent();
        if (!parent) return out.unsupported_property();
        if (prop_id == Tag::CTG_parent_queryfolder)
            return out.record_resource(PV_REF_FOLDER, id32(parent->GetDbId()), 0, 0, 0);
        out.start_list_property_values(PV_WORKSPACE_ITEMS);
        out.record_resource(PV_REF_FOLDER, id32(parent->GetDbId()), 0, 0, 0);
        return out.end_list_property_values();
    }
    case Tag::TEAM_display_name:
        return out.record_cstring(bucket_->GetName());
    case Tag::CTG_object_name:
        return out.record_ustring(QueryUtil::bucket_uri(product_session(), bucket_));
    default: // Tag::KX_kx_master_replica
        return out.record_resource_as_cstring(PV_REF_REPLICA, GetBucketMasterReplicaName(bucket_));
    }
}

// ---- QueryFolderProps

QueryFolderProps::QueryFolderProps(LoginSession *session, AdBucketPtr const &bucket)
    : QueryItemProps(session, bucket) {}

QueryFolderProps::QueryFolderProps(LoginSession *session, StateItemPtr const &item)
    : QueryItemProps(session, AdBucketPtr()), item_(query_item(item)) {
    set_bucket(item_->bucket());
}

QueryFolderProps::~QueryFolderProps() = default;

std::set<int> const &QueryFolderProps::supported_properties() {
    return class_properties<QueryFolderProps>(
        bucket() != nullptr, {Tag::CTG_child_list, Tag::CTG_child_map, Tag::CTG_is_readable, Tag::CTG_is_writable,
                              Tag::CTG_query_folder_items, Tag::TEAM_access_rights,
                              Tag::TEAM_applied_access_control_entries, Tag::TEAM_can_change_access_rights,
                              Tag::TEAM_effective_access_control_entries, Tag::TEAM_possible_access_rights});
}

Nul::UString QueryFolderProps::describe() { return describe_bucket(L"QueryFolderProps"); }

bool QueryFolderProps::security_enabled() const {
    bool on = false;
    security_call([&] { on = IsWorkspaceFolderSecurityEnabled(product_session()) != 0; });
    return on;
}

AdFolderPtr QueryFolderProps::folder() const { return AdFolder::LookupFolderFromBucket(bucket()); }

void QueryFolderProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    switch (prop_id) {
    case Tag::CTG_child_list:
    case Tag::CTG_child_map:
    case Tag::CTG_query_folder_items:
        return fetch_children(out, prop_id);
    case Tag::CTG_is_readable:
    case Tag::CTG_is_writable: {
        if (!bucket()) return out.record_bool(true);
        AdFolderPtr f = folder();
        if (!f) return out.unsupported_property();
        return out.record_bool((prop_id == Tag::CTG_is_readable ? f->IsReadable() : f->IsWritable()) != 0);
    }
    case Tag::TEAM_access_rights:
    case Tag::TEAM_applied_access_control_entries:
    case Tag::TEAM_can_change_access_rights:
    case Tag::TEAM_effective_access_control_entries:
    case Tag::TEAM_possible_access_rights:
        return fetch_security(out, prop_id);
    default:
        break;
    }
    if (prop_id >= dynamic_prop_id_base) {
        int const ns = dynamic_prop_ns(prop_id);
        if (ns == NS_GROUP_PROPS || ns == NS_USER_PROPS) {
            if (!bucket()) return out.record_empty(Tag::MPT_xml);
            return lookup_principal(out, prop_id);
        }
    }
    QueryItemProps::fetch_prop(out, prop_id);
}

void QueryFolderProps::fetch_children(FetchPropResponses &out, int prop_id) {
    if (!bucket()) return out.record_empty(Tag::MPT_resource_list);
    struct Child {
        int type;
        int dbid;
        Nul::UString name;
    };
    std::vector<Child> children;
    bool any = false;
    {
        // Read under the lock; written after it, so a slow client holds nobody up.
        Nul::CriticalSection guard(workspace_lock());
        std::vector<std::int64_t> ids = QueryUtil::child_bucket_ids(bucket(), QueryUtil::all_items_mask);
        any = !ids.empty();
        AdWorkspaceMgrPtr mgr = GetWorkspaceMgr(product_session());
        for (std::int64_t id : ids) {
            AdBucketPtr child = mgr->GetBucket(id);
            if (!child) continue;
            children.push_back(Child{QueryUtil::bucket_wire_resource_type(child), id32(id), ustr(child->GetName())});
        }
    }
    if (!any) return out.record_empty(prop_id == Tag::CTG_child_map ? Tag::MPT_child_map : Tag::MPT_resource_list);
    out.start_list_property_values(prop_id == Tag::CTG_child_map ? PV_CHILD_BINDING : PV_WORKSPACE_ITEMS);
    for (Child const &c : children) {
        if (prop_id == Tag::CTG_child_map)
            out.record_query_obj_binding(PV_CHILD_BINDING, c.name, c.type, c.dbid);
        else
            out.record_resource(c.type, c.dbid, 0, 0, 0);
    }
    out.end_list_property_values();
}

void QueryFolderProps::fetch_security(FetchPropResponses &out, int prop_id) {
    if (!security_enabled())
        return out.record_empty(prop_id == Tag::TEAM_can_change_access_rights ? Tag::MPT_bool : Tag::MPT_xml);
    AdSessionPtr session = product_session();
    if (!bucket()) {
        if (prop_id == Tag::TEAM_can_change_access_rights) return out.record_bool(true);
        if (prop_id != Tag::TEAM_applied_access_control_entries || !item_) return out.record_empty(Tag::MPT_xml);
        AdPermissionSetPtr set;
        security_call([&] { set = held_set(session, item_->permissions()); });
        return record_permission_set(out, session, AdBucketPtr(), set, prop_id);
    }
    AdFolderPtr f = folder();
    if (!f) return out.unsupported_property();
    switch (prop_id) {
    case Tag::TEAM_can_change_access_rights: {
        bool can = false;
        security_call([&] { can = f->CanChangePermissions() != 0; });
        return out.record_bool(can);
    }
    case Tag::TEAM_access_rights: {
        AdFolderPermissionPtr own;
        security_call([&] { own = f->GetPermission(); });
        if (!own) return out.record_empty(Tag::MPT_xml);
        Nul::XmlDoc::Elem root(tag_id(Tag::TEAM_access_rights));
        AdBucketPtr from =
            own->GetInheritedFrom() ? GetWorkspaceMgr(session)->GetBucket(own->GetInheritedFrom()) : AdBucketPtr();
        AclXml::write_permission_xml(session, from, AdBucketPtr(), ustr(own->GetGroupName()), own->GetKind(), root);
        Nul::XmlDoc doc(root);
        return out.record_xml(doc);
    }
    case Tag::TEAM_applied_access_control_entries:
    case Tag::TEAM_possible_access_rights: {
        AdPermissionSetPtr set;
        security_call([&] {
            set = prop_id == Tag::TEAM_applied_access_control_entries ? f->GetAppliedPermissions()
                                                                      : f->GetPossiblePermissions();
        });
        return record_permission_set(out, session, bucket(), set, prop_id);
    }
    default: { // Tag::TEAM_effective_access_control_entries
        std::vector<CString> triples;
        security_call([&] { f->GetAllGroupPermissions(triples); });
        if (triples.empty()) return out.record_empty(Tag::MPT_xml);
        Nul::XmlDoc::Elem root(tag_id(Tag::TEAM_effective_access_control_entries));
        for (std::size_t i = 0; i + 2 < triples.size(); i += 3) {
            for (Nul::UString const &token : split_tabs(ustr(triples[i + 2]))) {
                Nul::XmlDoc::Elem entry(tag_id(Tag::ACL_acl_entry));
                AclXml::write_permission_xml(session, bucket(), bucket(), ustr(triples[i]), parse_kind_token(token),
                                             entry);
                root.add_elem(entry);
            }
        }
        Nul::XmlDoc doc(root);
        return out.record_xml(doc);
    }
    }
}

void QueryFolderProps::lookup_principal(FetchPropResponses &out, int prop_id) {
    // "[nested-]APPLIED-<name>" or "[nested-]EFFECTIVE-<name>": the name is the whole rest, so a
    // name holding "-" stays whole.
    Nul::UString rest = dynamic_prop_name(prop_id);
    auto take_segment = [&rest] {
        std::size_t dash = rest.find(L'-');
        Nul::UString segment = rest.substr(0, dash);
        rest = dash == Nul::UString::npos ? Nul::UString() : rest.substr(dash + 1);
        return segment;
    };
    Nul::UString mode = take_segment();
    bool const nested = mode == Nul::UString(L"nested");
    if (nested) mode = take_segment();
    bool const applied = mode == Nul::UString(L"APPLIED");
    Nul::UString const name = rest;
    bool const group = dynamic_prop_ns(prop_id) == NS_GROUP_PROPS;
    AdSessionPtr session = product_session();
    int64_t principal = 0;
    security_call([&] {
        AdAccessControlMgrPtr acl = GetAccessControlMgr(session);
        principal = group ? acl->LookupGroupByName(cstr(name)) : acl->LookupUserByName(cstr(name));
    });
    if (principal == 0)
        raise_reason(Reason::illegal_value, kx_message(MSG_UNKNOWN_PRINCIPAL, Nul::UMessage::Arg(name)));
    // discover_permissions
    AdFolderPtr f = folder();
    if (!f) return out.unsupported_property();
    AdPermissionSetPtr set;
    security_call([&] {
        if (applied)
            set = group ? f->GetAppliedPermissionsForGroup(principal, nested)
                        : f->GetAppliedPermissionsForUser(principal, nested);
        else
            set = group ? f->GetPermissionForGroup(principal, nested) : f->GetPermissionForUser(principal, nested);
    });
    record_permission_set(out, session, bucket(), set, Tag::TEAM_effective_access_control_entries, true);
}

void QueryFolderProps::put_prop(BasePropValue &value) {
    int const prop = value.prop_id();
    if (value.is_type_100015())
        raise_reason(is_supported_prop(prop) ? Reason::not_applicable : Reason::unknown_property);
    switch (prop) {
    case Tag::TEAM_applied_access_control_entries:
        return put_applied_permissions(value);
    case Tag::CTG_folder_needs_refresh: {
        // Nothing to refresh for a folder that is not made yet.
        if (!bucket()) return;
        AdFolderPtr f = folder();
        if (f) converting_product_failures([&] { f->Refresh(1); });
        return;
    }
    default:
        return PropsResource::put_prop(value);
    }
}

void QueryFolderProps::put_applied_permissions(BasePropValue &value) {
    if (!security_enabled()) return;
    AdSessionPtr session = product_session();
    AdPermissionSetPtr set;
    Nul::DomParser::Elem root;
    if (!value.is_empty_value()) {
        auto *xml = checked_cast<PropValue<XmlPropValue>>(&value);
        root = xml->value.dom()->root();
    }
    security_call([&] {
        if (root.is_nil() || root.is_empty())
            set = GetAccessControlMgr(session)->BuildPermissionSet({});
        else
            set = AclXml::read_acl_xml(session, root);
    });
    if (!bucket()) {
        // Applied when the folder is made.
        if (!item_) internal_error(Nul::UString(L"Invalid Pointer"));
        QueryItemStateItem::Permissions held;
        for (int i = 0; i < set->GetCount(); ++i)
            held.emplace_back(ustr(set->GetItem(i)->GetGroupName()), set->GetItem(i)->GetKind());
        item_->permissions() = std::move(held);
        return;
    }
    AdFolderPtr f = folder();
    if (!f) internal_error(Nul::UString(L"Expecting Query Folder"));
    security_call([&] {
        try {
            f->SetPermissions(set);
            f->CommitPermissions();
        } catch (...) {
            // A revert that fails too must not replace (and leak) the failure being answered.
            ignoring_failures([&] { f->RevertPermissions(); });
            throw;
        }
    });
}

// ---- QueryProps

QueryProps::QueryProps(LoginSession *session, AdBucketPtr const &bucket) : QueryItemProps(session, bucket) {}

QueryProps::QueryProps(LoginSession *session, StateItemPtr const &item)
    : QueryItemProps(session, AdBucketPtr()), item_(query_item(item)) {
    set_bucket(item_->bucket());
    query_def_ = item_->query_def();
}

QueryProps::~QueryProps() = default;

std::set<int> const &QueryProps::supported_properties() {
    return class_properties<QueryProps>(bucket() != nullptr,
                                        {Tag::CTG_chartdef, Tag::CTG_display_fields, Tag::CTG_dynamic_filters,
                                         Tag::CTG_filtering, Tag::CTG_is_aggregated, Tag::CTG_is_multitype,
                                         Tag::CTG_is_sql_generated, Tag::CTG_is_startup, Tag::CTG_primary_record_type,
                                         Tag::CTG_query_type, Tag::CTG_sql, Tag::CTG_is_privileged});
}

Nul::UString QueryProps::describe() { return describe_bucket(L"QueryProps"); }

AdQueryDefPtr const &QueryProps::query_def() {
    if (!query_def_ && bucket()) QueryUtil::query_def_for_bucket(bucket(), query_def_);
    if (!query_def_) internal_error(Nul::UString(L"Invalid Pointer"));
    return query_def_;
}

int QueryProps::item_type() const { return bucket() ? bucket()->GetType() : item_ ? item_->item_type() : 0; }

void QueryProps::require_held() const {
    if (!item_ || !item_->query_def()) internal_error(Nul::UString(not_editable_text));
}

void QueryProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    switch (prop_id) {
    case Tag::CTG_query_type: {
        int const type = item_type();
        if (type & AD_BUCKET_QUERY) return out.record_enum(Tag::CTG_query);
        if (type & AD_BUCKET_CHART) return out.record_enum(Tag::CTG_chart);
        return out.record_empty(Tag::MPT_enumerated_type);
    }
    case Tag::CTG_is_startup:
        if (item_) return out.record_bool(item_->is_startup());
        return out.record_bool(AdBucketMgr::IsQueryStartUp(bucket()) != 0);
    case Tag::CTG_primary_record_type: {
        AdEntityDef *def = bucket() ? GetBucketEntityDef(bucket()) : nullptr;
        if (!def) def = query_def()->GetPrimaryEntity();
        if (!def) return out.record_empty(Tag::MPT_resource);
        return out.record_resource(PV_REF_RECTYPE, id32(def->GetDbId()), 0, 0, 0);
    }
    case Tag::CTG_chartdef:
        return out.record_empty(Tag::MPT_string);
    case Tag::CTG_sql:
        return out.record_cstring(query_def()->GetDeclaredSQL());
    case Tag::CTG_is_sql_generated:
        return out.record_bool(query_def()->GetDeclaredSQL().IsEmpty());
    case Tag::CTG_is_privileged:
        return out.record_bool(query_def()->IsPrivileged() != 0);
    case Tag::CTG_is_aggregated:
        return out.record_bool(query_def()->IsAggregated() != 0);
    case Tag::CTG_is_multitype:
        return out.record_bool(query_def()->IsMultiType() != 0);
    case Tag::CTG_display_fields:
    case Tag::CTG_dynamic_filters:
    case Tag::CTG_filtering: {
        if (item_type() & (AD_BUCKET_REPORT | AD_BUCKET_REPORT_FORMAT)) return out.record_empty(Tag::MPT_xml);
        QueryContext const ctx = query_context(login_session());
        AdQueryDefPtr const &def = query_def();
        Nul::XmlDoc::Elem root = prop_id == Tag::CTG_display_fields    ? QueryUtil::display_fields_to_xml(ctx, def)
                                 : prop_id == Tag::CTG_dynamic_filters ? QueryUtil::dynamic_filters_to_xml(ctx, def)
                                                                       : QueryUtil::filtering_to_xml(ctx, def);
        if (root.is_nil() || root.empty()) return out.record_empty(Tag::MPT_xml);
        Nul::XmlDoc doc(root);
        return out.record_xml(doc);
    }
    default:
        return QueryItemProps::fetch_prop(out, prop_id);
    }
}

void QueryProps::put_prop(BasePropValue &value) {
    int const prop = value.prop_id();
    if (value.is_type_100015() && prop != Tag::CTG_filtering)
        raise_reason(is_supported_prop(prop) ? Reason::refused : Reason::unknown_property);
    switch (prop) {
    case Tag::CTG_sql:
    case Tag::CTG_is_privileged:
    case Tag::CTG_is_startup:
    case Tag::CTG_display_fields:
    case Tag::CTG_filtering:
        break;
    default:
        return PropsResource::put_prop(value);
    }
    // Checked before anything changes: a stored query is changed through a held copy only.
    require_held();
    AdQueryDefPtr const &def = item_->query_def();
    switch (prop) {
    case Tag::CTG_sql: {
        Nul::UString const text =
            value.is_empty_value() ? Nul::UString() : checked_cast<PropValue<Nul::UString>>(&value)->value;
        // The product keeps the text wide: twice its UTF-16 estimate.
        return item_->change_held(2 * held_text_bytes(text),
                                  [&] { converting_product_failures([&] { def->SetDeclaredSQL(cstr(text)); }); });
    }
    case Tag::CTG_is_privileged: {
        bool const on = checked_cast<PropValue<bool>>(&value)->value;
        return converting_product_failures([&] {
            if (KXUserDb::IsFeatureEnabled(product_session(), KX_FEATURE_PRIVILEGED_QUERY) &&
                (def->IsPrivileged() != 0) != on)
                def->SetPrivileged(on ? TRUE : FALSE);
        });
    }
    case Tag::CTG_is_startup:
        item_->set_is_startup(checked_cast<PropValue<bool>>(&value)->value);
        return;
    default:
        return put_definition_xml(value);
    }
}

void QueryProps::put_definition_xml(BasePropValue &value) {
    int const prop = value.prop_id();
    // Work on a copy; the held definition changes only when the whole value was applied.
    AdQueryDefPtr const &held = item_->query_def();
    AdQueryDefPtr copy;
    converting_product_failures([&] {
        copy = CopyQueryDef(held->GetSession(), held);
        if (prop == Tag::CTG_filtering) copy->UnbuildFilter();
    });
    // An empty or valueless filtering value only removes the filter.
    if (prop == Tag::CTG_display_fields || (!value.is_empty_value() && !value.is_type_100015()))
        apply_definition_xml(value, copy);
    item_->set_query_def(copy);
    query_def_ = copy;
}

void QueryProps::apply_definition_xml(BasePropValue &value, AdQueryDefPtr const &def) {
    QueryContext const ctx = query_context(login_session());
    if (value.prop_id() == Tag::CTG_display_fields) return QueryUtil::put_query_definition(ctx, value, def);
    auto *xml = prop_value_cast<XmlPropValue>(&value, "PropValue<XmlPropValue>");
    Nul::DomParser::Elem root = xml->value.dom()->root();
    // A filtering element without content leaves the query unfiltered.
    if (root.is_empty()) return;
    converting_product_failures([&] { QueryUtil::filtering_from_xml(ctx, root, def); });
}

// ---- ReportProps

ReportProps::ReportProps(LoginSession *session, AdBucketPtr const &bucket) : QueryItemProps(session, bucket) {}

ReportProps::ReportProps(LoginSession *session, StateItemPtr const &item)
    : QueryItemProps(session, AdBucketPtr()), item_(query_item(item)) {
    set_bucket(item_->bucket());
    report_def_ = item_->report_def();
}

ReportProps::~ReportProps() = default;

std::set<int> const &ReportProps::supported_properties() {
    return class_properties<ReportProps>(bucket() != nullptr, {Tag::KX_is_valid, Tag::KX_query, Tag::KX_report_format,
                                                               Tag::CTG_primary_record_type, Tag::CTG_query_type});
}

Nul::UString ReportProps::describe() { return describe_bucket(L"ReportProps"); }

KXSmartPtr<KXReportDef> const &ReportProps::report_def() {
    if (!report_def_ && bucket()) {
        KXSmartPtr<KXSession> user = login_session() ? login_session()->user_session() : KXSmartPtr<KXSession>();
        if (!user) throw_internal_error(Nul::UString(L"Invalid Pointer"));
        report_def_ = user->GetWorkSpace()->GetReportDefByDbId(bucket()->GetDbId());
    }
    return report_def_;
}

void ReportProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    switch (prop_id) {
    case Tag::KX_is_valid:
        return out.record_bool(GetReportIsValid(product_session(), report_def()) != 0);
    case Tag::KX_query:
    case Tag::KX_report_format: {
        KXSmartPtr<KXReportDef> const &report = report_def();
        int64_t const id = !report                    ? 0
                           : prop_id == Tag::KX_query ? report->GetQueryDefId()
                                                      : report->GetReportFormatId();
        if (!id) return out.record_empty(Tag::MPT_resource);
        return out.record_resource(prop_id == Tag::KX_query ? PV_REF_QUERY : PV_REF_REPORT_FORMAT, id32(id), 0, 0, 0);
    }
    case Tag::CTG_primary_record_type: {
        AdEntityDef *def = GetReportEntityDef(product_session(), report_def());
        if (!def) return out.record_empty(Tag::MPT_resource);
        return out.record_resource(PV_REF_RECTYPE, id32(def->GetDbId()), 0, 0, 0);
    }
    case Tag::CTG_query_type:
        return out.record_enum(Tag::CTG_report);
    default:
        return QueryItemProps::fetch_prop(out, prop_id);
    }
}

void ReportProps::put_prop(BasePropValue &value) {
    int const prop = value.prop_id();
    if (prop != Tag::KX_query && prop != Tag::KX_report_format) return PropsResource::put_prop(value);
    // Only a held report is changed; the stored one is changed through a working copy.
    if (!item_ || !item_->report_def()) internal_error(Nul::UString(not_editable_text));
    auto *target = checked_cast<PropValue<TargetResourceArg>>(&value);
    AdSession *session = product_session().get();
    AdBucketPtr named;
    converting_product_failures([&] { named = target->value.bucket(session); });
    int const type = named ? named->GetType() : 0;
    bool const fits =
        prop == Tag::KX_query ? (type & (AD_BUCKET_QUERY | AD_BUCKET_CHART)) != 0 : type == AD_BUCKET_REPORT_FORMAT;
    if (!fits)
        raise_reason(Reason::illegal_value,
                     kx_message(prop == Tag::KX_query ? MSG_NOT_A_QUERY : MSG_NOT_A_REPORT_FORMAT,
                                Nul::UMessage::Arg(target->value.to_selector())));
    if (prop == Tag::KX_query)
        item_->report_def()->SetQueryDefId(named->GetDbId(), 1);
    else
        item_->report_def()->SetReportFormatId(named->GetDbId(), 1);
}

// ---- ReportFormatProps

ReportFormatProps::ReportFormatProps(LoginSession *session, AdBucketPtr const &bucket)
    : QueryItemProps(session, bucket) {}

ReportFormatProps::ReportFormatProps(LoginSession *session, StateItemPtr const &item)
    : QueryItemProps(session, query_item(item)->bucket()) {}

ReportFormatProps::~ReportFormatProps() = default;

std::set<int> const &ReportFormatProps::supported_properties() {
    return class_properties<ReportFormatProps>(bucket() != nullptr, {Tag::CTG_query_type, Tag::CTG_parent_record_type});
}

Nul::UString ReportFormatProps::describe() { return describe_bucket(L"ReportFormatProps"); }

void ReportFormatProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    switch (prop_id) {
    case Tag::CTG_parent_record_type: {
        AdEntityDef *def = GetBucketEntityDef(bucket());
        if (!def) return out.record_empty(Tag::MPT_resource);
        return out.record_resource(PV_REF_RECTYPE, id32(def->GetDbId()), 0, 0, 0);
    }
    case Tag::CTG_query_type:
        return out.record_enum(Tag::CTG_report_format);
    default:
        return QueryItemProps::fetch_prop(out, prop_id);
    }
}

// ---- the factory's workspace part

std::unique_ptr<PropsResource> make_workspace_props(LoginSession *session, TargetResourceArg &target, int type) {
    if (target.is_state_item_target()) {
        StateItemPtr item = target.state_item();
        target.state_item_or_fail();
        switch (type) {
        case TT_QUERY:
            return std::make_unique<QueryProps>(session, item);
        case TT_QUERY_FOLDER:
            return std::make_unique<QueryFolderProps>(session, item);
        case TT_REPORT:
            return std::make_unique<ReportProps>(session, item);
        default:
            throw_implementation_error(Nul::UString(L"Unknown or unsupported KX core object type"));
        }
    }
    Nul::CriticalSection guard(workspace_lock());
    AdBucketPtr bucket = target.bucket(session->session());
    switch (type) {
    case TT_QUERY:
        return std::make_unique<QueryProps>(session, bucket);
    case TT_QUERY_FOLDER:
        return std::make_unique<QueryFolderProps>(session, bucket);
    case TT_REPORT:
        return std::make_unique<ReportProps>(session, bucket);
    default:
        return std::make_unique<ReportFormatProps>(session, bucket);
    }
}

} // namespace KxRpc
