// Properties of user databases, database sets, users, groups and replicas.
#include "props/userprops.h"

#include <functional>
#include <map>
#include <vector>

#include "kxproduct/metadata.h"
#include "kxproduct/textsearch.h"
#include "kxproduct/userdb.h"
#include "kxproduct/workspace.h"
#include "props/convert.h"
#include "props/values.h"
#include "tesutil/xmltag.h"
#include "wexxml/xmldoc.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "target/login_session.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "target/workspace.h"

namespace KxRpc {

namespace {

// Catalogue entries of these properties.
constexpr int msg_cannot_get_record_types = 1;
constexpr int msg_set_preference_failed = 116;
constexpr int msg_insufficient_privilege = 119;
constexpr int msg_mail_not_changed = 128;
constexpr int msg_restricted_failed = 131;
constexpr int msg_restricted_true_error = 132;
constexpr int msg_restricted_false_error = 133;
constexpr int msg_name_value_error = 135;

// Reasons of put refusals.
constexpr int reason_failed = 4;
constexpr int reason_read_only = 9;
constexpr int reason_valueless = 51;
constexpr int reason_unknown = 64;
constexpr int reason_privilege = 80;

// Namespaces of dynamic properties: user preferences and session name/value pairs.
constexpr int ns_name_value = 14;
constexpr int ns_preference = 15;

// Reference codes of replies.
constexpr int ref_replica = 27;
constexpr int ref_userdb = 30;
constexpr int ref_record_type = 31;
constexpr int ref_query = 35;
constexpr int ref_folder = 36;
constexpr int ref_dynamic_list = 42;
constexpr int ref_current_user = 49;
constexpr int ref_group = 50;
constexpr int ref_login = 51;
// Element type of workspace-item lists.
constexpr int workspace_item_list = 7;

// Property ids.
enum : int {
    P_ALL_GROUPS = 227,
    P_AUTH_MODE = 229,
    P_AUTHENTICATOR = 231,
    P_EMAIL = 237,
    P_EVERYONE_GROUP = 238,
    P_FULL_NAME = 242,
    P_GROUPS = 243,
    P_INDEXED_RECORD_TYPES = 244,
    P_IS_ACTIVE = 246,
    P_IS_APP_BUILDER = 248,
    P_IS_DYNAMIC_LIST_ADMIN = 249,
    P_FULLTEXT_ENABLED = 250,
    P_FARLINK_ACTIVATED = 251,
    P_FARLINK_ADMIN = 252,
    P_OPLOG_ENABLED = 253,
    P_PUBLIC_FOLDER_ADMIN = 254,
    P_RAW_SQL_WRITER = 255,
    P_AMBREL_ENABLED = 256,
    P_RESTRICTED_USER = 257,
    P_SECURITY_ADMIN = 258,
    P_SUPER_USER = 260,
    P_USER_MAINTAINER = 262,
    P_LDAP_PROPERTY = 264,
    P_LOCAL_REPLICA = 265,
    P_LOGIN_NAME = 266,
    P_MAIL_SETTINGS = 267,
    P_MASTER_REPLICA = 268,
    P_MAX_FEATURE_LEVEL = 269,
    P_MIN_FEATURE_LEVEL = 270,
    P_MISC_INFO = 271,
    P_OPLOG_RANGE = 275,
    P_PHONE = 281,
    P_SUBSCRIBED_DATABASES = 289,
    P_COMMENT = 359,
    P_CONNECT_OPTIONS = 368,
    P_CURRENT_USER = 380,
    P_DBID = 385,
    P_DEFAULT_RECORD_TYPE = 388,
    P_DESCRIPTION = 401,
    P_DYNAMIC_LISTS = 416,
    P_FEATURE_LEVEL = 436,
    P_NULL_VALUE = 571,
    P_OBJECT_ID = 576,
    P_OBJECT_NAME = 578,
    P_PERSONAL_FOLDER = 602,
    P_PUBLIC_FOLDER = 627,
    P_FOLDER_ITEMS = 631,
    P_RECORD_TYPE_SET = 640,
    P_MEMBER_SET = 655,
    P_SCHEMA_REV = 673,
    P_SERVER = 678,
    P_STARTUP_QUERIES = 690,
    P_USERDB_CHILDREN = 718,
    P_VENDOR = 724,
    P_TEAM_COMMENT = 1044,
    P_DISPLAY_NAME = 1061,
    P_PRODUCT_INFO = 1085,
    P_OSLC_RECORD_TYPES = 1153,
    P_PRIVILEGED_QUERY = 1166,
};

constexpr int auth_mode_tags[] = {31, 30, 29};                // AUTHMODE:NULL, LDAP, KX by mode 0, 1, 2
constexpr int vendor_tags[] = {1129, 1126, 1128, 1127, 1125}; // vendors 1 to 5

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
    if (names.empty()) return out.record_empty(MPT_RESOURCE_LIST);
    out.start_list_property_values(type);
    for (CString const &name : names) out.record_resource_as_cstring(type, name);
    out.end_list_property_values();
}

void record_types_as_resources(FetchPropResponses &out, std::vector<AdEntityDef *> const &defs, bool empty_is_list) {
    if (defs.empty() && !empty_is_list) return out.record_empty(MPT_RESOURCE_LIST);
    out.start_list_property_values(ref_record_type);
    for (AdEntityDef *def : defs)
        if (def) out.record_resource(ref_record_type, static_cast<int>(def->GetDbId()), 0, 0, 0);
    out.end_list_property_values();
}

// Runs a product call whose failures this property reports in its own words: the product's
// failure is taken (and deleted), then `fail` raises with its text.
template <class Work, class Fail>
void or_fail(Work &&work, Fail &&fail) {
    try {
        work();
    } catch (...) {
        ProductFailure f = take_product_failure();
        fail(f);
    }
}

[[noreturn]] void raise_api_error() { throw_internal_error(Nul::UString(L"Error calling KX API.")); }

// A product message exception raises the internal error `message` with its text; other failures
// go on as the fetch reply converts them.
template <class Work>
void with_message_failure(int message, Work &&work) {
    try {
        work();
    } catch (PaMsgException *e) {
        Nul::UString text;
        ignoring_failures([&] { text = product_message_text(e); });
        if (e) e->Delete();
        throw_internal_error(kx_message(message, Nul::UMessage::Arg(text)));
    }
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
    static int const tags[] = {P_LOGIN_NAME, P_FULL_NAME, P_EMAIL, P_PHONE, P_MISC_INFO};
    int map = KXUserDb::GetLDAPMap(session);
    out.record_property_name(map >= 1 && map <= 5 ? tags[map - 1] : P_NULL_VALUE);
}

void fetch_mail_settings(FetchPropResponses &out, AdSessionPtr const &session) {
    std::vector<CString> settings = KXUserDb::GetMailNotificationSettings(session);
    if (settings.empty()) return out.record_empty(MPT_RESOURCE_LIST);
    out.start_list_property_values(PV_STRING);
    for (CString const &s : settings) out.record_ustring(ustr(s));
    out.end_list_property_values();
}

void fetch_product_info(FetchPropResponses &out) {
    KXProductInfo info;
    if (!KXUserDb::GetProductInfo(info)) return out.record_empty(MPT_XML);
    using Id = Nul::XmlTag::Id;
    Nul::XmlDoc doc{Id(P_PRODUCT_INFO)};
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
    if (names.empty()) return out.record_empty(MPT_RESOURCE_LIST);
    out.start_list_property_values(ref_userdb);
    for (CString const &name : names)
        if (keep(name)) out.record_resource_as_cstring(ref_userdb, name);
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
    case P_ALL_GROUPS: {
        std::vector<int64_t> ids;
        std::vector<CString> names;
        KXUserDb::GetAllKnownGroups(session, ids, names, TRUE);
        return names_as_resources(out, ref_group, names);
    }
    case P_EVERYONE_GROUP:
        return out.record_cstring(KXUserDb::GetEveryoneGroupName(session));
    case P_INDEXED_RECORD_TYPES: {
        std::vector<CString> names = KXUserDb::GetIndexedEntityDefNames(session);
        if (names.empty()) return out.record_empty(MPT_RESOURCE_LIST);
        // Names that no longer resolve (a record type removed since) are left out.
        std::vector<AdEntityDef *> defs;
        for (CString const &name : names) defs.push_back(LookupEntityDefOrFamily(session, name));
        return record_types_as_resources(out, defs, true);
    }
    case P_FULLTEXT_ENABLED:
        return out.record_bool(user_session_of(login_session()).IsTextSearchEnabled() != FALSE);
    case P_FARLINK_ACTIVATED:
        return out.record_bool(KXUserDb::IsFarlinkActivated(session) != FALSE);
    case P_OPLOG_ENABLED:
        return out.record_bool(session->IsActionOplogEnabled() != FALSE);
    case P_AMBREL_ENABLED: {
        std::vector<KXPackageRev> revs;
        or_fail([&] { revs = KXUserDb::GetEnabledPackageRevs(session); },
                [](ProductFailure const &) { raise_api_error(); });
        bool found = false;
        for (KXPackageRev const &rev : revs) found = found || rev.package == L"Ambrel";
        return out.record_bool(found);
    }
    case P_RESTRICTED_USER:
        return out.record_bool(KXUserDb::IsRestrictedUser(session) != FALSE);
    case P_LDAP_PROPERTY:
        return fetch_ldap_property(out, session);
    case P_LOCAL_REPLICA: {
        AdReplica *replica = nullptr;
        or_fail([&] { replica = session->GetSessionMasterReplica(); }, [](ProductFailure const &) {});
        if (replica == nullptr) return out.record_empty(MPT_RESOURCE);
        return out.record_resource_as_cstring(ref_replica, replica->GetName());
    }
    case P_MAIL_SETTINGS:
        return fetch_mail_settings(out, session);
    case P_MAX_FEATURE_LEVEL:
        return out.record_int(KXUserDb::GetMaxCompatibleFeatureLevel(session));
    case P_MIN_FEATURE_LEVEL:
        return out.record_int(KXUserDb::GetMinCompatibleFeatureLevel(session));
    case P_OPLOG_RANGE:
        return fetch_oplog_range(out);
    case P_COMMENT:
    case P_DESCRIPTION:
    case P_TEAM_COMMENT:
        if (!userdb_) throw_internal_error(Nul::UString(L"Invalid Pointer"));
        return out.record_cstring(userdb_->GetDescription());
    case P_CONNECT_OPTIONS: {
        CString options = KXUserDb::GetConnectOptions(session);
        if (options.IsEmpty()) return out.record_empty(MPT_STRING);
        return out.record_cstring(options);
    }
    case P_CURRENT_USER:
        return out.record_resource_as_cstring(ref_login, session->GetSessionUserLoginName());
    case P_DEFAULT_RECORD_TYPE: {
        AdEntityDef *def = nullptr;
        or_fail([&] { def = KXUserDb::GetDefaultEntityDef(session); }, [](ProductFailure const &) {});
        if (def == nullptr) return out.record_empty(MPT_RESOURCE);
        return out.record_resource(ref_record_type, static_cast<int>(def->GetDbId()), 0, 0, 0);
    }
    case P_DYNAMIC_LISTS: {
        AdIterator<AdListDef> lists;
        with_message_failure(MSG_CANNOT_GET_LISTS, [&] { lists = GetListDefs(session); });
        if (lists.GetLength() == 0) return out.record_empty(MPT_RESOURCE_LIST);
        out.start_list_property_values(ref_dynamic_list);
        for (int i = 0; i < lists.GetLength(); ++i)
            if (AdListDef *list = lists.GetItem(i))
                out.record_resource(ref_dynamic_list, static_cast<int>(list->GetDbId()), 0, 0, 0);
        return out.end_list_property_values();
    }
    case P_FEATURE_LEVEL:
        return out.record_int(user_session_of(login_session()).GetSessionFeatureLevel());
    case P_PERSONAL_FOLDER:
    case P_PUBLIC_FOLDER: {
        AdBucketPtr folder =
            GetTopWorkspaceFolder(session, prop_id == P_PERSONAL_FOLDER ? AD_PERSONAL_FOLDER : AD_PUBLIC_FOLDER, 0);
        if (!folder) return out.record_empty(MPT_RESOURCE);
        return out.record_resource(ref_folder, static_cast<int>(folder->GetDbId()), 0, 0, 0);
    }
    case P_FOLDER_ITEMS:
        return fetch_folder_items(out);
    case P_RECORD_TYPE_SET: {
        AdIterator<AdEntityDef> defs;
        with_message_failure(msg_cannot_get_record_types, [&] { defs = GetEntityDefsAndFamilies(session); });
        std::vector<AdEntityDef *> list;
        for (int i = 0; i < defs.GetLength(); ++i) list.push_back(defs.GetItem(i));
        return record_types_as_resources(out, list, false);
    }
    case P_MEMBER_SET:
        return fetch_workspace_members(out);
    case P_SCHEMA_REV:
        return out.record_int(KXUserDb::GetMetadataSchemaRev(session));
    case P_SERVER:
        return out.record_cstring(KXUserDb::GetServerName(session));
    case P_STARTUP_QUERIES:
        return fetch_startup_queries(out);
    case P_VENDOR:
        return fetch_vendor(out, session);
    case P_PRODUCT_INFO:
        return fetch_product_info(out);
    case P_OSLC_RECORD_TYPES: {
        std::vector<AdEntityDef *> defs;
        or_fail([&] { defs = session->GetEntityDefsEnabledForPackage(L"OSLCLinks", L""); },
                [](ProductFailure const &) { raise_api_error(); });
        return record_types_as_resources(out, defs, true);
    }
    case P_PRIVILEGED_QUERY:
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
    if (text.IsEmpty()) return out.record_empty(MPT_STRING);
    out.record_cstring(text);
}

void UserDbProps::fetch_oplog_range(FetchPropResponses &out) {
    KXSession &user = user_session_of(login_session());
    if (!api_session()->IsActionOplogEnabled()) return out.record_empty(MPT_RANGE);
    CString first, last;
    try {
        user.GetOplogSerialNumberRange(first, last);
    } catch (KXException *e) {
        Nul::UString text;
        ignoring_failures([&] { text = ustr(e->GetErrorString()); });
        e->Delete();
        KxRpcException error(reason_privilege, kx_message(msg_insufficient_privilege, Nul::UMessage::Arg(text)),
                             nullptr, nullptr);
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
    if (dbids.empty()) return out.record_empty(MPT_RESOURCE_LIST);
    out.start_list_property_values(workspace_item_list);
    for (int dbid : dbids) out.record_resource(ref_folder, dbid, 0, 0, 0);
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
        try {
            for (int type : {AD_PERSONAL_FOLDER, AD_PUBLIC_FOLDER}) walk(GetTopWorkspaceFolder(session, type, 1));
        } catch (PaMsgException *e) {
            int id = 0;
            Nul::UString text;
            ignoring_failures([&] {
                id = e->GetCount() > 0 && e->First() ? e->First()->GetID() : 0;
                text = product_message_text(e);
            });
            e->Delete();
            if (id != KX_MSG_PERM_DENIED_PUBLIC_FOLDER_ADMIN)
                throw_internal_error(kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(text)));
            trace_lazy(1, [&] {
                return text_format("Ignoring Exception: GetTopWorkspaceFolder PUBLIC_FOLDER "
                                   "PERM_DENIED_PUBLIC_FOLDER_ADMIN: %s",
                                   text);
            });
        }
    }
    out.start_list_property_values(workspace_item_list);
    for (auto const &[type, dbid] : items) out.record_resource(type, dbid, 0, 0, 0);
    out.end_list_property_values();
}

void UserDbProps::fetch_startup_queries(FetchPropResponses &out) {
    std::vector<CString> texts = KXUserDb::GetStartUpQueryDbIdList(api_session());
    if (texts.empty()) return out.record_empty(MPT_RESOURCE_LIST);
    // The list opens first: only "0" texts make an empty list, and a text that is no dbid fails
    // inside the open list (the fetch reply closes it).
    out.start_list_property_values(workspace_item_list);
    for (CString const &text : texts) {
        if (text == L"0") continue;
        bool ok = false;
        unsigned long dbid = parse_unsigned(ustr(text), ok);
        if (!ok)
            throw_internal_error(
                kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(L"Error converting string to dbid")));
        out.record_resource(ref_query, static_cast<int>(dbid), 0, 0, 0);
    }
    out.end_list_property_values();
}

void UserDbProps::put_prop(BasePropValue &value) {
    int const id = value.prop_id();
    if (value.is_type_100015()) raise_reason(is_supported_prop(id) ? reason_valueless : reason_unknown);
    if (id >= dynamic_prop_id_base) {
        DynamicPropName const name = dynamic_prop(id);
        if (name.first == ns_preference) {
            long key = 0;
            if (!preference_key(name.second, key)) raise_reason(reason_unknown);
            return put_preference(value, key);
        }
        if (name.first == ns_name_value) return put_name_value(value, name.second);
        return; // other namespaces are accepted and ignored
    }
    if (id == P_RESTRICTED_USER) return put_restricted(value);
    if (id == P_MAIL_SETTINGS) return put_mail_settings(value);
    PropsResource::put_prop(value);
}

void UserDbProps::put_restricted(BasePropValue &value) {
    bool const restricted = value_as<PropValue<bool>>(value).value;
    AdSessionPtr session = api_session();
    int result = 0;
    or_fail([&] { result = KXUserDb::SetRestrictedUser(session, restricted ? TRUE : FALSE); },
            [&](ProductFailure const &f) {
                throw_internal_error(kx_message(restricted ? msg_restricted_true_error : msg_restricted_false_error,
                                                Nul::UMessage::Arg(f.text)));
            });
    bool const done = restricted ? result != 0 : result == 0;
    if (!done) raise_reason(reason_failed, kx_message(msg_restricted_failed, Nul::UMessage::Arg(restricted ? 1 : 0)));
}

void UserDbProps::put_mail_settings(BasePropValue &value) {
    std::vector<CString> settings;
    if (!value.is_empty_value())
        for (Nul::UString const &text : value_as<ListPropValue<Nul::UString>>(value).values)
            settings.push_back(cstr(text));
    int result = 0;
    converting_product_failures([&] { result = KXUserDb::SetMailNotificationSettings(api_session(), settings); });
    if (result == 0) raise_reason(reason_failed, kx_message(msg_mail_not_changed));
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
            throw_internal_error(kx_message(msg_set_preference_failed, Nul::UMessage::Arg(f.text)));
        });
}

void UserDbProps::put_name_value(BasePropValue &value, Nul::UString const &name) {
    if (name.empty()) return;
    CString text = value.is_empty_value() ? CString() : cstr(value_as<PropValue<Nul::UString>>(value).value);
    KXSession &user = user_session_of(login_session());
    or_fail([&] { user.SetNameValue(cstr(name), text); },
            [](ProductFailure const &f) {
                throw_internal_error(kx_message(msg_name_value_error, Nul::UMessage::Arg(f.text)));
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
    if (!supported_properties().count(prop_id) || prop_id == PROP_PARENT_LIST || prop_id == PROP_REPO_URI ||
        prop_id == PROP_SUPPORTED_LIVE_PROPERTY_SET)
        return PropsResource::fetch_prop(out, prop_id);
    AdSessionPtr session = api_of(login_session());
    switch (prop_id) {
    case P_EVERYONE_GROUP:
        return out.record_cstring(KXUserDb::GetEveryoneGroupName(session));
    case P_LDAP_PROPERTY:
        return fetch_ldap_property(out, session);
    case P_MAIL_SETTINGS:
        return fetch_mail_settings(out, session);
    case P_CONNECT_OPTIONS: {
        CString options = KXUserDb::GetConnectOptions(session);
        if (options.IsEmpty()) return out.record_empty(MPT_STRING);
        return out.record_cstring(options);
    }
    case P_CURRENT_USER:
        return out.record_resource_as_cstring(ref_current_user, session->GetSessionUserLoginName());
    case P_SERVER:
        return out.record_cstring(KXUserDb::GetServerName(session));
    case P_USERDB_CHILDREN: {
        KXSmartPtr<KXUser> user = KXUserDb::GetSessionUser(session);
        std::vector<CString> names;
        if (user)
            for (CString const &name : user->GetAllSubscribedDatabases())
                if (!KXUserDb::IsTestDatabase(session, name)) names.push_back(name);
        return names_as_resources(out, ref_userdb, names);
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
    if (!supported_properties().count(prop_id) || prop_id == PROP_PARENT_LIST || prop_id == PROP_REPO_URI ||
        prop_id == PROP_SUPPORTED_LIVE_PROPERTY_SET)
        return false;
    KXUser *u = user_.get();
    if (u == nullptr) {
        // The user is gone (removed since the session began): no master replica to name.
        if (prop_id == P_MASTER_REPLICA) {
            out.record_empty(MPT_RESOURCE);
            return true;
        }
        throw_internal_error(kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(L"The user no longer exists.")));
    }
    switch (prop_id) {
    case P_OBJECT_ID:
        out.record_ustring(number_to_ustring(static_cast<long>(u->GetDbId())));
        break;
    case P_DBID:
        out.record_int(static_cast<int>(u->GetDbId()));
        break;
    case P_LOGIN_NAME:
    case P_OBJECT_NAME:
    case P_DISPLAY_NAME:
        out.record_ustring(ustr(u->GetUserLoginName()));
        break;
    case P_AUTH_MODE: {
        int mode = u->GetUserAuthenticationMode();
        if (mode < 0 || mode > 2)
            throw_internal_error(kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(L"Unknown authentication mode.")));
        out.record_enum(auth_mode_tags[mode]);
        break;
    }
    case P_AUTHENTICATOR:
        // Passwords never leave the product: the authenticator is always sent empty.
        out.record_cstring(CString());
        break;
    case P_EMAIL:
        out.record_cstring(u->GetUserEmail());
        break;
    case P_FULL_NAME:
        out.record_cstring(u->GetUserFullName());
        break;
    case P_MISC_INFO:
        out.record_cstring(u->GetUserMiscInfo());
        break;
    case P_PHONE:
        out.record_cstring(u->GetUserPhone());
        break;
    case P_GROUPS:
        names_as_resources(out, ref_group, u->GetUserGroups());
        break;
    case P_IS_ACTIVE:
        out.record_bool(u->GetActive() != FALSE);
        break;
    case P_IS_APP_BUILDER:
        out.record_bool(u->GetAppBuilder() != FALSE);
        break;
    case P_IS_DYNAMIC_LIST_ADMIN:
        out.record_bool(u->HasUserPrivilege(KX_PRIV_DYNAMIC_LIST_ADMIN) != FALSE);
        break;
    case P_FARLINK_ADMIN:
        out.record_bool(u->HasUserPrivilege(KX_PRIV_FAR_LINK_ADMIN) != FALSE);
        break;
    case P_PUBLIC_FOLDER_ADMIN:
        out.record_bool(u->HasUserPrivilege(KX_PRIV_PUBLIC_FOLDER_ADMIN) != FALSE);
        break;
    case P_RAW_SQL_WRITER:
        out.record_bool(u->HasUserPrivilege(KX_PRIV_RAW_SQL_WRITER) != FALSE);
        break;
    case P_SECURITY_ADMIN:
        out.record_bool(u->HasUserPrivilege(KX_PRIV_SECURITY_ADMIN) != FALSE);
        break;
    case P_SUPER_USER:
        out.record_bool(u->IsUserSuperUser() != FALSE);
        break;
    case P_USER_MAINTAINER:
        out.record_bool(u->HasUserPrivilege(KX_PRIV_USER_MAINTAINER) != FALSE);
        break;
    case P_MASTER_REPLICA:
        out.record_resource_as_cstring(ref_replica, u->GetMasterReplicaName());
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
    static std::map<int, TextSetter> const texts = {{P_AUTHENTICATOR, &KXUser::SetPassword},
                                                    {P_EMAIL, &KXUser::SetUserEmail},
                                                    {P_FULL_NAME, &KXUser::SetUserFullName},
                                                    {P_MISC_INFO, &KXUser::SetUserMiscInfo},
                                                    {P_PHONE, &KXUser::SetUserPhone}};
    static std::map<int, FlagSetter> const flags = {{P_IS_ACTIVE, &KXUser::SetActive},
                                                    {P_IS_APP_BUILDER, &KXUser::SetAppBuilder},
                                                    {P_SUPER_USER, &KXUser::SetSuperUser},
                                                    {P_USER_MAINTAINER, &KXUser::SetUserMaintainer}};
    KXUser *u = user();
    if (u == nullptr) throw_internal_error(Nul::UString(L"Invalid Pointer"));
    int const id = value.prop_id();
    auto text = texts.find(id);
    auto flag = flags.find(id);
    if (text == texts.end() && flag == flags.end()) return PropsResource::put_prop(value);
    // Only the product's own users have a password here: a directory user's put is refused rather
    // than reported as done.
    if (id == P_AUTHENTICATOR && u->GetUserAuthenticationMode() != KX_AUTH_PRODUCT) raise_reason(reason_read_only);
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
    if (prop_id == P_IS_ACTIVE) return out.record_bool(true);
    if (prop_id == P_MASTER_REPLICA) return fetch_master_replica(out);
    if (!fetch_user_prop(out, prop_id)) PropsResource::fetch_prop(out, prop_id);
}

// The master replica is the administrator session's user of the login name: a user whose
// administrator logon is refused gets that refusal as the property's error.
void CurrentUserProps::fetch_master_replica(FetchPropResponses &out) {
    KXSmartPtr<KXAdminSession> const &admin = login_session()->admin_session_ptr();
    KXSmartPtr<KXUser> user;
    or_fail([&] { user = admin->GetUser(cstr(login_)); }, [](ProductFailure const &) { raise_api_error(); });
    // The user is gone (removed since the session began): no master replica to name.
    if (!user) return out.record_empty(MPT_RESOURCE);
    out.record_resource_as_cstring(ref_replica, user->GetMasterReplicaName());
}

void CurrentUserProps::fetch_databases(FetchPropResponses &out) {
    AdSessionPtr session = api_of(login_session());
    KXSession &user = user_session_of(login_session());
    std::vector<CString> names;
    // The product lists the master database and the databases this user may log on to.
    for (KXSmartPtr<KXDatabase> const &db :
         user.GetAccessibleDatabases(L"MASTR", user.GetAuthenticationLoginName(), session->GetSessionDbSetName()))
        if (db && !db->GetIsMaster()) names.push_back(db->GetDatabaseName());
    if (names.empty()) return out.record_empty(MPT_RESOURCE_LIST);
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
    if (!group_ || (prop_id != P_OBJECT_ID && prop_id != P_DBID && prop_id != P_OBJECT_NAME &&
                    prop_id != P_DISPLAY_NAME && prop_id != P_IS_ACTIVE))
        return PropsResource::fetch_prop(out, prop_id);
    switch (prop_id) {
    case P_OBJECT_ID:
        return out.record_ustring(number_to_ustring(static_cast<long>(group_->GetDbId())));
    case P_DBID:
        return out.record_int(static_cast<int>(group_->GetDbId()));
    case P_IS_ACTIVE:
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
    if (!replica_ ||
        (prop_id != P_OBJECT_ID && prop_id != P_DBID && prop_id != P_OBJECT_NAME && prop_id != P_DISPLAY_NAME))
        return PropsResource::fetch_prop(out, prop_id);
    if (prop_id == P_DBID) return out.record_int(static_cast<int>(replica_->GetDbId()));
    if (prop_id == P_OBJECT_ID) return out.record_ustring(number_to_ustring(static_cast<long>(replica_->GetDbId())));
    out.record_cstring(replica_->GetName());
}

} // namespace KxRpc
