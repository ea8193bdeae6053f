// Properties of user databases, database sets, users, groups and replicas.
#include "props/userprops.h"

#include <functional>
#include <map>
#include <vector>

#include "kxproduct/exceptions.h"
#include "kxproduct/metadata.h"
#include "kxproduct/textsearch.h"
#include "kxproduct/userdb.h"
#include "kxproduct/workspace.h"
#include "props/convert.h"
#include "props/value_tags.h"
#include "props/values.h"
#include "target/login_session.h"
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

using Nul::XmlTag;

// Reasons of put refusals.

// Namespaces of dynamic properties: user preferences and session name/value pairs.
constexpr int ns_name_value = 14;
constexpr int ns_preference = 15;

// By authentication mode 0, 1, 2 and by vendor 1 to 5.
constexpr int auth_mode_tags[] = {XmlTag::AUTHMODE_NULL, XmlTag::AUTHMODE_LDAP, XmlTag::AUTHMODE_KX};
constexpr int vendor_tags[] = {XmlTag::VENDOR_SQL_SERVER, XmlTag::VENDOR_MS_ACCESS, XmlTag::VENDOR_SQL_ANYWHERE,
                               XmlTag::VENDOR_ORACLE, XmlTag::VENDOR_ZD4};

// The login's user session, or its administrator session for an administrator login.
AdSessionPtr api_of(LoginSession *login) {
    AdSession *session = login ? login->session() : nullptr;
    if (session == nullptr && login && login->has_admin_session()) session = login->admin_api_session();
    if (session == nullptr) throw_internal_error(Nul::UString(L"Invalid Pointer"));
    return AdSessionPtr(session);
}

KXSession &user_session_of(LoginSession *login) {
    if (login == nullptr || !login->user_session()) throw_internal_error(Nul::UString(L"Invalid Pointer"));
    return *login->user_session();
}

// Names as a list of resources of `type`, or the empty resource list when there are none.
void names_as_resources(FetchPropResponses &out, int type, std::vector<CString> const &names) {
    if (names.empty()) return out.record_empty(XmlTag::MPT_resource_list);
    out.start_list_property_values(type);
    for (CString const &name : names) out.record_resource_as_cstring(type, name);
    out.end_list_property_values();
}

void record_types_as_resources(FetchPropResponses &out, std::vector<AdEntityDef *> const &defs, bool empty_is_list) {
    if (defs.empty() && !empty_is_list) return out.record_empty(XmlTag::MPT_resource_list);
    out.start_list_property_values(PV_REF_RECTYPE);
    for (AdEntityDef *def : defs)
        if (def) out.record_resource(PV_REF_RECTYPE, static_cast<int>(def->GetDbId()), 0, 0, 0);
    out.end_list_property_values();
}

// Runs a product call whose failures this property reports in its own words: the product's
// failure is taken (and deleted), then `fail` raises with its text.
template <class Work, class Fail>
void or_fail(Work &&work, Fail &&fail) {
    if (std::optional<ProductFailure> f = failure_of(work)) fail(*f);
}

[[noreturn]] void raise_api_error() { throw_internal_error(Nul::UString(L"Error calling KX API.")); }

// A product message exception raises the internal error `message` with its text; other failures
// go on as the fetch reply converts them.
template <class Work>
void with_message_failure(int message, Work &&work) {
    product_call(
        work,
        [message](ProductFailure const &f) { throw_internal_error(kx_message(message, Nul::UMessage::Arg(f.text))); },
        taking_only(ProductFailure::PA_MSG_EXCEPTION, true));
}

// The preference key of a dynamic name "S<digits>"; false for any other form.
bool preference_key(Nul::UString const &name, long &key) {
    if (name.length() < 2 || name[0] != u'S' || name.length() > 11) return false;
    long long value = 0;
    for (std::size_t i = 1; i < name.length(); ++i) {
        if (name[i] < u'0' || name[i] > u'9') return false;
        value = value * 10 + (name[i] - u'0');
    }
    if (value > 0x7fffffffLL) return false;
    key = static_cast<long>(value);
    return true;
}

template <class T>
T &value_as(BasePropValue &value) {
    return *checked_cast<T>(&value);
}

Nul::UString object_text(KXObject const *object) { return ustr(AdDiagnostic::To_Obj(object)); }

Nul::UString name_or_null(KXObject const *object, CString const &name) {
    return object ? ustr(name) : Nul::UString(L"NULL");
}

int workspace_wire_type(AdBucketPtr const &bucket) {
    switch (bucket->GetType()) {
    case AD_BUCKET_FOLDER:
        return 36;
    case AD_BUCKET_REPORT:
        return 37;
    case AD_BUCKET_REPORT_FORMAT:
        return 38;
    default:
        return 35;
    }
}

void fetch_vendor(FetchPropResponses &out, AdSessionPtr const &session) {
    int vendor = KXUserDb::GetVendor(session);
    if (vendor < 1 || vendor > 5)
        throw_internal_error(kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(L"Unknown database vendor.")));
    out.record_enum(vendor_tags[vendor - 1]);
}

void fetch_ldap_property(FetchPropResponses &out, AdSessionPtr const &session) {
    static int const tags[] = {XmlTag::KX_login_name, XmlTag::KX_full_name, XmlTag::KX_email, XmlTag::KX_phone,
                               XmlTag::KX_miscellaneous_information};
    int map = KXUserDb::GetLDAPMap(session);
    out.record_property_name(map >= 1 && map <= 5 ? tags[map - 1] : XmlTag::CTG_null_value);
}

void fetch_mail_settings(FetchPropResponses &out, AdSessionPtr const &session) {
    std::vector<CString> settings = KXUserDb::GetMailNotificationSettings(session);
    if (settings.empty()) return out.record_empty(XmlTag::MPT_resource_list);
    out.start_list_property_values(PV_STRING);
    for (CString const &s : settings) out.record_ustring(ustr(s));
    out.end_list_property_values();
}

void fetch_product_info(FetchPropResponses &out) {
    KXProductInfo info;
    if (!KXUserDb::GetProductInfo(info)) return out.record_empty(XmlTag::MPT_xml);
    using Id = Nul::XmlTag::Id;
    Nul::XmlDoc doc{Id(XmlTag::TEAM_product_info)};
    auto text = [&](int tag, CString const &value) { doc.add_elem(Id(tag), ustr(value), true); };
    text(1037, info.build_number);
    text(1045, info.company_email);
    text(1046, info.company_full_name);
    text(1047, info.company_name);
    text(1048, info.company_web);
    text(235, info.default_dbset);
    text(1067, info.full_version);
    doc.push_elem(Id(272));
    doc.add_attr(Id(273), static_cast<long>(info.object_model_major));
    doc.add_attr(Id(274), static_cast<long>(info.object_model_minor));
    doc.pop_elem(Id(272));
    text(1080, info.patch_version);
    text(1086, info.product_version);
    text(1097, info.stage_label);
    doc.close();
    out.record_xml(doc);
}

// The user databases a user may use, left out those `keep` refuses; the empty resource list when
// the user has none at all.
template <class Keep>
void fetch_database_names(FetchPropResponses &out, std::vector<CString> const &names, Keep &&keep) {
    if (names.empty()) return out.record_empty(XmlTag::MPT_resource_list);
    out.start_list_property_values(PV_REF_USERDB);
    for (CString const &name : names)
        if (keep(name)) out.record_resource_as_cstring(PV_REF_USERDB, name);
    out.end_list_property_values();
}

} // namespace

// ---- UserDbProps

UserDbProps::UserDbProps(LoginSession *session, KXSmartPtr<KXDatabaseDesc> const &userdb)
    : PropsResource(session), userdb_(userdb) {}

UserDbProps::~UserDbProps() = default;

AdSessionPtr UserDbProps::api_session() const { return api_of(login_session()); }

Nul::UString UserDbProps::describe() {
    return text_format("UserDbProps: (kxobj:%s :: name:%s)",
                       userdb_ ? object_text(userdb_.get()) : Nul::UString(L"NULL"),
                       name_or_null(userdb_.get(), userdb_ ? userdb_->GetDatabaseName() : CString()));
}

std::set<int> const &UserDbProps::supported_properties() {
    static std::set<int> const ids =
        with_base_properties({227, 238, 244, 251, 253, 256, 264, 265, 267, 269, 270,  275,  368, 380, 388, 416,
                              436, 602, 627, 631, 640, 655, 673, 678, 690, 724, 1085, 1044, 359, 401, 1153});
    return ids;
}

void UserDbProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    if (prop_id >= dynamic_prop_id_base) return fetch_dynamic(out, prop_id);
    AdSessionPtr session = api_session();
    switch (prop_id) {
    case XmlTag::KX_all_groups: {
        std::vector<int64_t> ids;
        std::vector<CString> names;
        KXUserDb::GetAllKnownGroups(session, ids, names, TRUE);
        return names_as_resources(out, PV_REF_GROUP, names);
    }
    case XmlTag::KX_everyone_group_name:
        return out.record_cstring(KXUserDb::GetEveryoneGroupName(session));
    case XmlTag::KX_indexed_record_types: {
        std::vector<CString> names = KXUserDb::GetIndexedEntityDefNames(session);
        if (names.empty()) return out.record_empty(XmlTag::MPT_resource_list);
        // Names that no longer resolve (a record type removed since) are left out.
        std::vector<AdEntityDef *> defs;
        for (CString const &name : names) defs.push_back(LookupEntityDefOrFamily(session, name));
        return record_types_as_resources(out, defs, true);
    }
    case XmlTag::KX_is_fulltext_search_enabled:
        return out.record_bool(user_session_of(login_session()).IsTextSearchEnabled() != FALSE);
    case XmlTag::CTG_is_farlink_activated:
        return out.record_bool(KXUserDb::IsFarlinkActivated(session) != FALSE);
    case XmlTag::KX_is_oplog_enabled:
        return out.record_bool(session->IsActionOplogEnabled() != FALSE);
    case XmlTag::CTG_is_amb_rel_enabled: {
        std::vector<KXPackageRev> revs;
        or_fail([&] { revs = KXUserDb::GetEnabledPackageRevs(session); },
                [](ProductFailure const &) { raise_api_error(); });
        bool found = false;
        for (KXPackageRev const &rev : revs) found = found || rev.package == L"Ambrel";
        return out.record_bool(found);
    }
    case XmlTag::KX_is_restricted_user:
        return out.record_bool(KXUserDb::IsRestrictedUser(session) != FALSE);
    case XmlTag::KX_ldap_property:
        return fetch_ldap_property(out, session);
    case XmlTag::KX_local_replica: {
        AdReplica *replica = nullptr;
        or_fail([&] { replica = session->GetSessionMasterReplica(); }, [](ProductFailure const &) {});
        if (replica == nullptr) return out.record_empty(XmlTag::MPT_resource);
        return out.record_resource_as_cstring(PV_REF_REPLICA, replica->GetName());
    }
    case XmlTag::CTG_mail_notification_settings:
        return fetch_mail_settings(out, session);
    case XmlTag::KX_max_compatible_feature_level:
        return out.record_int(KXUserDb::GetMaxCompatibleFeatureLevel(session));
    case XmlTag::KX_min_compatible_feature_level:
        return out.record_int(KXUserDb::GetMinCompatibleFeatureLevel(session));
    case XmlTag::KX_oplog_range:
        return fetch_oplog_range(out);
    case XmlTag::CTG_comment:
    case XmlTag::CTG_description:
    case XmlTag::TEAM_comment:
        if (!userdb_) throw_internal_error(Nul::UString(L"Invalid Pointer"));
        return out.record_cstring(userdb_->GetDescription());
    case XmlTag::CTG_connect_options: {
        CString options = KXUserDb::GetConnectOptions(session);
        if (options.IsEmpty()) return out.record_empty(XmlTag::MPT_string);
        return out.record_cstring(options);
    }
    case XmlTag::CTG_current_user:
        return out.record_resource_as_cstring(PV_REF_LOGIN, session->GetSessionUserLoginName());
    case XmlTag::CTG_default_record_type: {
        AdEntityDef *def = nullptr;
        or_fail([&] { def = KXUserDb::GetDefaultEntityDef(session); }, [](ProductFailure const &) {});
        if (def == nullptr) return out.record_empty(XmlTag::MPT_resource);
        return out.record_resource(PV_REF_RECTYPE, static_cast<int>(def->GetDbId()), 0, 0, 0);
    }
    case XmlTag::CTG_dynamic_choice_lists: {
        AdIterator<AdListDef> lists;
        with_message_failure(MSG_CANNOT_GET_LISTS, [&] { lists = GetListDefs(session); });
        if (lists.GetLength() == 0) return out.record_empty(XmlTag::MPT_resource_list);
        out.start_list_property_values(PV_REF_DYNAMIC_LIST);
        for (int i = 0; i < lists.GetLength(); ++i)
            if (AdListDef *list = lists.GetItem(i))
                out.record_resource(PV_REF_DYNAMIC_LIST, static_cast<int>(list->GetDbId()), 0, 0, 0);
        return out.end_list_property_values();
    }
    case XmlTag::CTG_database_feature_level:
        return out.record_int(user_session_of(login_session()).GetSessionFeatureLevel());
    case XmlTag::CTG_personal_folder:
    case XmlTag::CTG_public_folder: {
        bool const personal = prop_id == XmlTag::CTG_personal_folder;
        AdBucketPtr folder = GetTopWorkspaceFolder(session, personal ? AD_PERSONAL_FOLDER : AD_PUBLIC_FOLDER, 0);
        if (!folder) return out.record_empty(XmlTag::MPT_resource);
        return out.record_resource(PV_REF_FOLDER, static_cast<int>(folder->GetDbId()), 0, 0, 0);
    }
    case XmlTag::CTG_query_folder_items:
        return fetch_folder_items(out);
    case XmlTag::CTG_record_type_set: {
        AdIterator<AdEntityDef> defs;
        with_message_failure(MSG_CANNOT_GET_RECORD_TYPES, [&] { defs = GetEntityDefsAndFamilies(session); });
        std::vector<AdEntityDef *> list;
        for (int i = 0; i < defs.GetLength(); ++i) list.push_back(defs.GetItem(i));
        return record_types_as_resources(out, list, false);
    }
    case XmlTag::CTG_repo_queryfolder_member_set:
        return fetch_workspace_members(out);
    case XmlTag::CTG_schema_rev:
        return out.record_int(KXUserDb::GetMetadataSchemaRev(session));
    case XmlTag::CTG_server:
        return out.record_cstring(KXUserDb::GetServerName(session));
    case XmlTag::CTG_startup_queries:
        return fetch_startup_queries(out);
    case XmlTag::CTG_vendor:
        return fetch_vendor(out, session);
    case XmlTag::TEAM_product_info:
        return fetch_product_info(out);
    case XmlTag::KX_oslclinks_enabled_record_types: {
        std::vector<AdEntityDef *> defs;
        or_fail([&] { defs = session->GetEntityDefsEnabledForPackage(L"OSLCLinks", L""); },
                [](ProductFailure const &) { raise_api_error(); });
        return record_types_as_resources(out, defs, true);
    }
    case XmlTag::KX_is_privileged_query_enabled:
        return out.record_bool(KXUserDb::IsFeatureEnabled(session, KX_FEATURE_PRIVILEGED_QUERY) != FALSE);
    default:
        return PropsResource::fetch_prop(out, prop_id);
    }
}

void UserDbProps::fetch_dynamic(FetchPropResponses &out, int prop_id) {
    DynamicPropName const name = dynamic_prop(prop_id);
    CString text;
    if (name.first == ns_preference) {
        long key = 0;
        // A malformed key names no preference (it never falls back to preference 0).
        if (!preference_key(name.second, key)) return out.unsupported_property();
        text = KXUserDb::GetUserPreference(api_session(), key);
    } else if (name.first == ns_name_value) {
        text = user_session_of(login_session()).GetNameValue(cstr(name.second));
    } else {
        return out.unsupported_property();
    }
    if (text.IsEmpty()) return out.record_empty(XmlTag::MPT_string);
    out.record_cstring(text);
}

void UserDbProps::fetch_oplog_range(FetchPropResponses &out) {
    KXSession &user = user_session_of(login_session());
    if (!api_session()->IsActionOplogEnabled()) return out.record_empty(XmlTag::MPT_range);
    CString first, last;
    if (auto f = failure_of([&] { user.GetOplogSerialNumberRange(first, last); },
                            taking_only(ProductFailure::KX_EXCEPTION))) {
        KxRpcException error(Reason::insufficient_privilege,
                             kx_message(MSG_INSUFFICIENT_PRIVILEGE, Nul::UMessage::Arg(f->text)), nullptr, nullptr);
        out.property_error(error);
        return;
    }
    bool first_ok = false, last_ok = false;
    unsigned long from = parse_unsigned(ustr(first), first_ok);
    unsigned long to = parse_unsigned(ustr(last), last_ok);
    // A range the product cannot state as two numbers is no range.
    if (!first_ok || !last_ok)
        throw_internal_error(kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(L"Error converting string to dbid")));
    out.record_range(static_cast<unsigned>(from), static_cast<unsigned>(to));
}

void UserDbProps::fetch_folder_items(FetchPropResponses &out) {
    AdSessionPtr session = api_session();
    std::vector<int> dbids;
    {
        // The lock covers the workspace reads only; the answer is written after it is released.
        Nul::CriticalSection guard(workspace_lock());
        for (int type : {AD_PERSONAL_FOLDER, AD_PUBLIC_FOLDER}) {
            AdBucketPtr folder;
            or_fail([&] { folder = GetTopWorkspaceFolder(session, type, 0); }, [](ProductFailure const &) {});
            if (folder) dbids.push_back(static_cast<int>(folder->GetDbId()));
        }
    }
    if (dbids.empty()) return out.record_empty(XmlTag::MPT_resource_list);
    out.start_list_property_values(PV_WORKSPACE_ITEMS);
    for (int dbid : dbids) out.record_resource(PV_REF_FOLDER, dbid, 0, 0, 0);
    out.end_list_property_values();
}

void UserDbProps::fetch_workspace_members(FetchPropResponses &out) {
    AdSessionPtr session = api_session();
    std::vector<std::pair<int, int>> items; // wire type, dbid; depth first
    {
        Nul::CriticalSection guard(workspace_lock());
        AdWorkspaceMgrPtr manager = GetWorkspaceMgr(session);
        auto walk = [&](AdBucketPtr const &top) {
            std::vector<AdBucketPtr> stack{top};
            while (!stack.empty()) {
                AdBucketPtr bucket = stack.back();
                stack.pop_back();
                if (!bucket) continue;
                items.emplace_back(workspace_wire_type(bucket), static_cast<int>(bucket->GetDbId()));
                if (!QueryUtil::is_folder_bucket(bucket)) continue;
                AdFolderPtr folder = AdFolder::LookupFolderFromBucket(bucket);
                std::vector<int64_t> ids;
                if (folder) folder->GetChildBucketIds(ids, AD_BUCKET_QUERY | AD_BUCKET_FOLDER);
                // Children go on the stack last first, so the first child is reported next.
                for (auto it = ids.rbegin(); it != ids.rend(); ++it) stack.push_back(manager->GetBucket(*it));
            }
        };
        if (auto f = failure_of(
                [&] {
                    for (int type : {AD_PERSONAL_FOLDER, AD_PUBLIC_FOLDER})
                        walk(GetTopWorkspaceFolder(session, type, 1));
                },
                taking_only(ProductFailure::PA_MSG_EXCEPTION, true))) {
            if (f->msg_id != KX_MSG_PERM_DENIED_PUBLIC_FOLDER_ADMIN)
                throw_internal_error(kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(f->text)));
            trace_lazy(1, [&] {
                return text_format("Ignoring Exception: GetTopWorkspaceFolder PUBLIC_FOLDER "
                                   "PERM_DENIED_PUBLIC_FOLDER_ADMIN: %s",
                                   f->text);
            });
        }
    }
    out.start_list_property_values(PV_WORKSPACE_ITEMS);
    for (auto const &[type, dbid] : items) out.record_resource(type, dbid, 0, 0, 0);
    out.end_list_property_values();
}

void UserDbProps::fetch_startup_queries(FetchPropResponses &out) {
    std::vector<CString> texts = KXUserDb::GetStartUpQueryDbIdList(api_session());
    if (texts.empty()) return out.record_empty(XmlTag::MPT_resource_list);
    // The list opens first: only "0" texts make an empty list, and a text that is no dbid fails
    // inside the open list (the fetch reply closes it).
    out.start_list_property_values(PV_WORKSPACE_ITEMS);
    for (CString const &text : texts) {
        if (text == L"0") continue;
        bool ok = false;
        unsigned long dbid = parse_unsigned(ustr(text), ok);
        if (!ok)
            throw_internal_error(
                kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(L"Error converting string to dbid")));
        out.record_resource(PV_REF_QUERY, static_cast<int>(dbid), 0, 0, 0);
    }
    out.end_list_property_values();
}

void UserDbProps::put_prop(BasePropValue &value) {
    int const id = value.prop_id();
    if (value.is_type_100015()) raise_reason(is_supported_prop(id) ? Reason::not_applicable : Reason::unknown_property);
    if (id >= dynamic_prop_id_base) {
        DynamicPropName const name = dynamic_prop(id);
        if (name.first == ns_preference) {
            long key = 0;
            if (!preference_key(name.second, key)) raise_reason(Reason::unknown_property);
            return put_preference(value, key);
        }
        if (name.first == ns_name_value) return put_name_value(value, name.second);
        return; // other namespaces are accepted and ignored
    }
    if (id == XmlTag::KX_is_restricted_user) return put_restricted(value);
    if (id == XmlTag::CTG_mail_notification_settings) return put_mail_settings(value);
    PropsResource::put_prop(value);
}

void UserDbProps::put_restricted(BasePropValue &value) {
    bool const restricted = value_as<PropValue<bool>>(value).value;
    AdSessionPtr session = api_session();
    int result = 0;
    or_fail([&] { result = KXUserDb::SetRestrictedUser(session, restricted ? TRUE : FALSE); },
            [&](ProductFailure const &f) {
                throw_internal_error(kx_message(restricted ? MSG_RESTRICTED_TRUE_ERROR : MSG_RESTRICTED_FALSE_ERROR,
                                                Nul::UMessage::Arg(f.text)));
            });
    bool const done = restricted ? result != 0 : result == 0;
    if (!done)
        raise_reason(Reason::illegal_value, kx_message(MSG_RESTRICTED_FAILED, Nul::UMessage::Arg(restricted ? 1 : 0)));
}

void UserDbProps::put_mail_settings(BasePropValue &value) {
    std::vector<CString> settings;
    if (!value.is_empty_value())
        for (Nul::UString const &text : value_as<ListPropValue<Nul::UString>>(value).values)
            settings.push_back(cstr(text));
    int result = 0;
    converting_product_failures([&] { result = KXUserDb::SetMailNotificationSettings(api_session(), settings); });
    if (result == 0) raise_reason(Reason::illegal_value, kx_message(MSG_MAIL_NOT_CHANGED));
}

void UserDbProps::put_preference(BasePropValue &value, long key) {
    AdSessionPtr session = api_session();
    or_fail(
        [&] {
            CString present = KXUserDb::GetUserPreference(session, key);
            if (value.is_empty_value()) {
                if (!present.IsEmpty()) KXUserDb::DeleteUserPreference(session, key);
                return;
            }
            KXUserDb::SetUserPreference(session, key, cstr(value_as<PropValue<Nul::UString>>(value).value));
        },
        [](ProductFailure const &f) {
            throw_internal_error(kx_message(MSG_SET_PREFERENCE_FAILED, Nul::UMessage::Arg(f.text)));
        });
}

void UserDbProps::put_name_value(BasePropValue &value, Nul::UString const &name) {
    if (name.empty()) return;
    CString text = value.is_empty_value() ? CString() : cstr(value_as<PropValue<Nul::UString>>(value).value);
    KXSession &user = user_session_of(login_session());
    or_fail([&] { user.SetNameValue(cstr(name), text); },
            [](ProductFailure const &f) {
                throw_internal_error(kx_message(MSG_NAME_VALUE_ERROR, Nul::UMessage::Arg(f.text)));
            });
}

// ---- DbSetProps

DbSetProps::DbSetProps(LoginSession *session, KXSmartPtr<KXDatabase> const &dbset)
    : PropsResource(session), dbset_(dbset) {}

DbSetProps::~DbSetProps() = default;

Nul::UString DbSetProps::describe() {
    return text_format("DbSetProps: (kxobj:%s :: name:%s)", dbset_ ? object_text(dbset_.get()) : Nul::UString(L"NULL"),
                       name_or_null(dbset_.get(), dbset_ ? dbset_->GetDatabaseName() : CString()));
}

std::set<int> const &DbSetProps::supported_properties() {
    static std::set<int> const ids = with_base_properties({238, 264, 267, 368, 380, 678, 718, 724});
    return ids;
}

void DbSetProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    if (!supported_properties().count(prop_id) || prop_id == XmlTag::CTG_parent_list ||
        prop_id == XmlTag::TEAMPVT_repo_uri || prop_id == XmlTag::TEAMPVT_supported_live_property_set)
        return PropsResource::fetch_prop(out, prop_id);
    AdSessionPtr session = api_of(login_session());
    switch (prop_id) {
    case XmlTag::KX_everyone_group_name:
        return out.record_cstring(KXUserDb::GetEveryoneGroupName(session));
    case XmlTag::KX_ldap_property:
        return fetch_ldap_property(out, session);
    case XmlTag::CTG_mail_notification_settings:
        return fetch_mail_settings(out, session);
    case XmlTag::CTG_connect_options: {
        CString options = KXUserDb::GetConnectOptions(session);
        if (options.IsEmpty()) return out.record_empty(XmlTag::MPT_string);
        return out.record_cstring(options);
    }
    case XmlTag::CTG_current_user:
        return out.record_resource_as_cstring(PV_REF_CURRENT_USER, session->GetSessionUserLoginName());
    case XmlTag::CTG_server:
        return out.record_cstring(KXUserDb::GetServerName(session));
    case XmlTag::CTG_userdb_child_list: {
        KXSmartPtr<KXUser> user = KXUserDb::GetSessionUser(session);
        std::vector<CString> names;
        if (user)
            for (CString const &name : user->GetAllSubscribedDatabases())
                if (!KXUserDb::IsTestDatabase(session, name)) names.push_back(name);
        return names_as_resources(out, PV_REF_USERDB, names);
    }
    default:
        return fetch_vendor(out, session);
    }
}

// ---- users

UserPropsBase::UserPropsBase(LoginSession *session, KXSmartPtr<KXUser> const &user)
    : PropsResource(session), user_(user) {}

std::set<int> const &UserPropsBase::supported_properties() {
    static std::set<int> const ids = with_base_properties({1061, 385, 576, 578, 229, 231, 237, 242, 243, 246, 248, 249,
                                                           252,  254, 255, 258, 260, 262, 266, 268, 271, 281, 289});
    return ids;
}

bool UserPropsBase::fetch_user_prop(FetchPropResponses &out, int prop_id) {
    if (!supported_properties().count(prop_id) || prop_id == XmlTag::CTG_parent_list ||
        prop_id == XmlTag::TEAMPVT_repo_uri || prop_id == XmlTag::TEAMPVT_supported_live_property_set)
        return false;
    KXUser *u = user_.get();
    if (u == nullptr) {
        // The user is gone (removed since the session began): no master replica to name.
        if (prop_id == XmlTag::KX_kx_master_replica) {
            out.record_empty(XmlTag::MPT_resource);
            return true;
        }
        throw_internal_error(kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(L"The user no longer exists.")));
    }
    switch (prop_id) {
    case XmlTag::TEAMPVT_object_id:
        out.record_ustring(number_to_ustring(static_cast<long>(u->GetDbId())));
        break;
    case XmlTag::TEAMPVT_dbid:
        out.record_int(static_cast<int>(u->GetDbId()));
        break;
    case XmlTag::KX_login_name:
    case XmlTag::CTG_object_name:
    case XmlTag::TEAM_display_name:
        out.record_ustring(ustr(u->GetUserLoginName()));
        break;
    case XmlTag::CTG_authentication_mode: {
        int mode = u->GetUserAuthenticationMode();
        if (mode < 0 || mode > 2)
            throw_internal_error(kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(L"Unknown authentication mode.")));
        out.record_enum(auth_mode_tags[mode]);
        break;
    }
    case XmlTag::KX_authenticator:
        // Passwords never leave the product: the authenticator is always sent empty.
        out.record_cstring(CString());
        break;
    case XmlTag::KX_email:
        out.record_cstring(u->GetUserEmail());
        break;
    case XmlTag::KX_full_name:
        out.record_cstring(u->GetUserFullName());
        break;
    case XmlTag::KX_miscellaneous_information:
        out.record_cstring(u->GetUserMiscInfo());
        break;
    case XmlTag::KX_phone:
        out.record_cstring(u->GetUserPhone());
        break;
    case XmlTag::KX_groups:
        names_as_resources(out, PV_REF_GROUP, u->GetUserGroups());
        break;
    case XmlTag::KX_is_active:
        out.record_bool(u->GetActive() != FALSE);
        break;
    case XmlTag::KX_is_app_builder:
        out.record_bool(u->GetAppBuilder() != FALSE);
        break;
    case XmlTag::KX_is_dynamic_list_admin:
        out.record_bool(u->HasUserPrivilege(KX_PRIV_DYNAMIC_LIST_ADMIN) != FALSE);
        break;
    case XmlTag::KX_is_farlink_admin:
        out.record_bool(u->HasUserPrivilege(KX_PRIV_FAR_LINK_ADMIN) != FALSE);
        break;
    case XmlTag::KX_is_public_folder_admin:
        out.record_bool(u->HasUserPrivilege(KX_PRIV_PUBLIC_FOLDER_ADMIN) != FALSE);
        break;
    case XmlTag::KX_is_raw_sql_writer:
        out.record_bool(u->HasUserPrivilege(KX_PRIV_RAW_SQL_WRITER) != FALSE);
        break;
    case XmlTag::KX_is_security_admin:
        out.record_bool(u->HasUserPrivilege(KX_PRIV_SECURITY_ADMIN) != FALSE);
        break;
    case XmlTag::KX_is_super_user:
        out.record_bool(u->IsUserSuperUser() != FALSE);
        break;
    case XmlTag::KX_is_user_maintainer:
        out.record_bool(u->HasUserPrivilege(KX_PRIV_USER_MAINTAINER) != FALSE);
        break;
    case XmlTag::KX_kx_master_replica:
        out.record_resource_as_cstring(PV_REF_REPLICA, u->GetMasterReplicaName());
        break;
    default:
        fetch_databases(out);
        break;
    }
    return true;
}

UserProps::UserProps(LoginSession *session, KXSmartPtr<KXUser> const &user) : UserPropsBase(session, user) {}

UserProps::~UserProps() = default;

Nul::UString UserProps::describe() {
    return text_format("UserProps: (kxobj:%s :: name:%s)", user() ? object_text(user()) : Nul::UString(L"NULL"),
                       name_or_null(user(), user() ? user()->GetUserLoginName() : CString()));
}

void UserProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    if (!fetch_user_prop(out, prop_id)) PropsResource::fetch_prop(out, prop_id);
}

void UserProps::fetch_databases(FetchPropResponses &out) {
    AdSession *admin = login_session()->admin_api_session();
    if (admin == nullptr) throw_internal_error(Nul::UString(L"Invalid Pointer"));
    AdSessionPtr session(admin);
    fetch_database_names(out, user()->GetAllSubscribedDatabases(), [&](CString const &name) {
        return name != L"MASTR" && !KXUserDb::IsTestDatabase(session, name);
    });
}

void UserProps::put_prop(BasePropValue &value) {
    using TextSetter = void (KXUser::*)(CString const &);
    using FlagSetter = void (KXUser::*)(BOOL);
    static std::map<int, TextSetter> const texts = {{XmlTag::KX_authenticator, &KXUser::SetPassword},
                                                    {XmlTag::KX_email, &KXUser::SetUserEmail},
                                                    {XmlTag::KX_full_name, &KXUser::SetUserFullName},
                                                    {XmlTag::KX_miscellaneous_information, &KXUser::SetUserMiscInfo},
                                                    {XmlTag::KX_phone, &KXUser::SetUserPhone}};
    static std::map<int, FlagSetter> const flags = {{XmlTag::KX_is_active, &KXUser::SetActive},
                                                    {XmlTag::KX_is_app_builder, &KXUser::SetAppBuilder},
                                                    {XmlTag::KX_is_super_user, &KXUser::SetSuperUser},
                                                    {XmlTag::KX_is_user_maintainer, &KXUser::SetUserMaintainer}};
    KXUser *u = user();
    if (u == nullptr) throw_internal_error(Nul::UString(L"Invalid Pointer"));
    int const id = value.prop_id();
    auto text = texts.find(id);
    auto flag = flags.find(id);
    if (text == texts.end() && flag == flags.end()) return PropsResource::put_prop(value);
    // Only the product's own users have a password here: a directory user's put is refused rather
    // than reported as done.
    if (id == XmlTag::KX_authenticator && u->GetUserAuthenticationMode() != KX_AUTH_PRODUCT)
        raise_reason(Reason::read_only);
    std::function<void()> set;
    if (text != texts.end()) {
        CString v = cstr(value_as<PropValue<Nul::UString>>(value).value);
        set = [u, v, setter = text->second] { (u->*setter)(v); };
    } else {
        BOOL v = value_as<PropValue<bool>>(value).value ? TRUE : FALSE;
        set = [u, v, setter = flag->second] { (u->*setter)(v); };
    }
    or_fail(set, [](ProductFailure const &f) {
        throw_internal_error(kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, Nul::UMessage::Arg(f.text)));
    });
}

CurrentUserProps::CurrentUserProps(LoginSession *session, CurrentUserInfo const &info)
    : UserPropsBase(session, KXUserDb::GetSessionUser(api_of(session))), login_(info.login_name) {}

CurrentUserProps::~CurrentUserProps() = default;

Nul::UString CurrentUserProps::describe() { return text_format("CurrentUserProps: (name:%s)", login_); }

void CurrentUserProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    // The session's own user is active while the session lives.
    if (prop_id == XmlTag::KX_is_active) return out.record_bool(true);
    if (prop_id == XmlTag::KX_kx_master_replica) return fetch_master_replica(out);
    if (!fetch_user_prop(out, prop_id)) PropsResource::fetch_prop(out, prop_id);
}

// The master replica is the administrator session's user of the login name: a user whose
// administrator logon is refused gets that refusal as the property's error.
void CurrentUserProps::fetch_master_replica(FetchPropResponses &out) {
    KXSmartPtr<KXAdminSession> const &admin = login_session()->admin_session_ptr();
    KXSmartPtr<KXUser> user;
    or_fail([&] { user = admin->GetUser(cstr(login_)); }, [](ProductFailure const &) { raise_api_error(); });
    // The user is gone (removed since the session began): no master replica to name.
    if (!user) return out.record_empty(XmlTag::MPT_resource);
    out.record_resource_as_cstring(PV_REF_REPLICA, user->GetMasterReplicaName());
}

void CurrentUserProps::fetch_databases(FetchPropResponses &out) {
    AdSessionPtr session = api_of(login_session());
    KXSession &user = user_session_of(login_session());
    std::vector<CString> names;
    // The product lists the master database and the databases this user may log on to.
    for (KXSmartPtr<KXDatabase> const &db :
         user.GetAccessibleDatabases(L"MASTR", user.GetAuthenticationLoginName(), session->GetSessionDbSetName()))
        if (db && !db->GetIsMaster()) names.push_back(db->GetDatabaseName());
    if (names.empty()) return out.record_empty(XmlTag::MPT_resource_list);
    fetch_database_names(out, names, [](CString const &) { return true; });
}

// ---- groups and replicas

GroupProps::GroupProps(LoginSession *session, KXSmartPtr<KXGroup> const &group)
    : PropsResource(session), group_(group) {}

GroupProps::~GroupProps() = default;

Nul::UString GroupProps::describe() {
    return text_format("GroupProps: (kxobj:%s :: name:%s)", group_ ? object_text(group_.get()) : Nul::UString(L"NULL"),
                       name_or_null(group_.get(), group_ ? group_->GetName() : CString()));
}

std::set<int> const &GroupProps::supported_properties() {
    static std::set<int> const ids = with_base_properties({1061, 385, 576, 578, 246});
    return ids;
}

void GroupProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    if (!group_ ||
        (prop_id != XmlTag::TEAMPVT_object_id && prop_id != XmlTag::TEAMPVT_dbid &&
         prop_id != XmlTag::CTG_object_name && prop_id != XmlTag::TEAM_display_name && prop_id != XmlTag::KX_is_active))
        return PropsResource::fetch_prop(out, prop_id);
    switch (prop_id) {
    case XmlTag::TEAMPVT_object_id:
        return out.record_ustring(number_to_ustring(static_cast<long>(group_->GetDbId())));
    case XmlTag::TEAMPVT_dbid:
        return out.record_int(static_cast<int>(group_->GetDbId()));
    case XmlTag::KX_is_active:
        // An inactive group answers false, not nothing.
        return out.record_bool(group_->GetActive() != FALSE);
    default:
        return out.record_ustring(ustr(group_->GetName()));
    }
}

ReplicaProps::ReplicaProps(LoginSession *session, AdReplica *replica) : PropsResource(session), replica_(replica) {}

ReplicaProps::~ReplicaProps() = default;

Nul::UString ReplicaProps::describe() {
    return text_format("ReplicaProps: (name:%s)",
                       name_or_null(replica_.get(), replica_ ? replica_->GetName() : CString()));
}

std::set<int> const &ReplicaProps::supported_properties() {
    static std::set<int> const ids = with_base_properties({1061, 385, 576, 578});
    return ids;
}

void ReplicaProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    if (!replica_ || (prop_id != XmlTag::TEAMPVT_object_id && prop_id != XmlTag::TEAMPVT_dbid &&
                      prop_id != XmlTag::CTG_object_name && prop_id != XmlTag::TEAM_display_name))
        return PropsResource::fetch_prop(out, prop_id);
    if (prop_id == XmlTag::TEAMPVT_dbid) return out.record_int(static_cast<int>(replica_->GetDbId()));
    if (prop_id == XmlTag::TEAMPVT_object_id)
        return out.record_ustring(number_to_ustring(static_cast<long>(replica_->GetDbId())));
    out.record_cstring(replica_->GetName());
}

} // namespace KxRpc
