// Resolution of targets to the product objects they name. Each accessor checks the type, answers
// its cached object when it has one, and otherwise resolves once in the given session.
#include <string>

#include "target/held_items.h"
#include "target/login_session.h"
#include "target/records.h"
#include "target/target.h"
#include "target/workspace.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

constexpr int TARGET_NAME = 1;

// A failed product lookup: a product error string becomes not-found 161 with its text, anything
// else not-found "Unknown error." after the diagnostic line; either carries the target.
[[noreturn]] void raise_lookup_failure(TargetResourceArg const &target, wchar_t const *method,
                                       ProductFailure const &failure) {
    if (failure.has_error_string())
        throw KXNotFoundException(&target, kx_message(MSG_NOT_FOUND, Nul::UMessage::Arg(failure.text)));
    trace_exception(Nul::UString(method), Nul::UString(unknown_error_text));
    throw KXNotFoundException(&target, kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(unknown_error_text)));
}

// Runs a product lookup whose failures `taking` takes as a failed lookup of the target.
template <class Call>
auto looking_up(TargetResourceArg const &target, wchar_t const *method, Taking const &taking, Call &&call) {
    return product_call(
        call, [&](ProductFailure const &f) { raise_lookup_failure(target, method, f); }, taking);
}

template <class Def>
Def *find_by_dbid(AdIterator<Def> const &items, u_int dbid) {
    for (int i = 0; i < items.GetLength(); ++i) {
        Def *item = items.GetItem(i);
        if (item && static_cast<u_int>(item->GetDbId()) == dbid && item->GetDbId() >= 0) return item;
    }
    return nullptr;
}

void require_type(bool ok, wchar_t const *text) {
    if (!ok) throw_internal_error(Nul::UString(text));
}

// A dbid reaches what the item's path would and no more: by path a personal item is found only
// below the session user's own personal folder, so another user's personal items answer as if
// they did not exist.
bool reachable_by_path(AdBucketPtr const &bucket, AdSessionPtr const &session) {
    return bucket->GetFolderType() != AD_PERSONAL_FOLDER || bucket->GetUserId() == session->GetSessionUserId();
}

} // namespace

void TargetResourceArg::raise_not_found(int message) const { throw KXNotFoundException(this, kx_message(message)); }

void TargetResourceArg::raise_not_found_quoting(int message) const {
    throw KXNotFoundException(this, kx_message(message, Nul::UMessage::Arg(to_selector())));
}

void TargetResourceArg::refresh_repository_names(AdSession *session) {
    product_call(
        [&] {
            dbset_name_ = ustr(session->GetSessionDbSetName());
            KXSmartPtr<KXDatabaseDesc> db = session->GetSessionDatabase();
            db_name_ = db ? ustr(db->GetDatabaseName()) : Nul::UString();
        },
        unexpected_in(L"TargetResourceArg::refresh_repository_names"));
}

void TargetResourceArg::refresh_repository_names(LoginSession *login) {
    if (AdSession *session = login->session()) {
        refresh_repository_names(session);
        return;
    }
    product_call(
        [&] {
            AdSession *admin = login->admin_api_session();
            dbset_name_ = admin ? ustr(admin->GetSessionDbSetName()) : Nul::UString();
        },
        unexpected_in(L"TargetResourceArg::refresh_repository_names"));
    db_name_ = Nul::UString();
}

AdEntityDef *TargetResourceArg::lookup_rectype(AdSession *session) {
    if (marshall_type_ == NOT_MARSHALLED) throw_internal_error(L"need marshalling data to get AdEntityDef pointer");
    AdSessionPtr api(session);
    AdEntityDef *def = nullptr;
    if (marshall_type_ == BY_NAME) {
        def = LookupEntityDefOrFamily(api, cstr(first_name_segment()));
    } else if (marshall_type_ == BY_DBID) {
        def = looking_up(*this, L"TargetResourceArg::lookup_rectype", taking_everything,
                         [&] { return GetEntityDefOrFamilyById(api, dbids_[0]); });
    }
    if (def == nullptr) raise_not_found(MSG_RECTYPE_NOT_FOUND);
    rectype_ref_ = def;
    return def;
}

AdEntityDef *TargetResourceArg::entity_def(AdSession *session) {
    if (rectype_ref_) return rectype_ref_;
    if (session == nullptr) throw_internal_error(L"need AdSession pointer to get AdEntityDef pointer");
    return lookup_rectype(session);
}

Nul::UString TargetResourceArg::family_name() const {
    return rectype_ref_ && rectype_ref_->IsFamily() ? ustr(rectype_ref_->GetName()) : Nul::UString();
}

KXSmartPtr<KXDatabase> TargetResourceArg::db_set(KXSmartPtr<KXAdminSession> const &admin) {
    require_type(op_type_ == TT_DBSET, L"type not DBSET");
    if (owned_) return KXSmartPtr<KXDatabase>(static_cast<KXDatabase *>(owned_.get()));
    if (!admin) throw_internal_error(L"need AdSession pointer to get KXDatabase pointer");
    KXSmartPtr<KXDatabase> db = admin->GetDatabase(CString(L"MASTR"));
    if (!db) throw KXNotFoundException(this, kx_message(MSG_NOT_FOUND, Nul::UMessage::Arg(L"database set")));
    dbset_name_ = ustr(db->GetDatabaseName());
    db_name_ = Nul::UString();
    owned_ = KXSmartPtr<KXObject>(db);
    return db;
}

KXSmartPtr<KXDatabaseDesc> TargetResourceArg::user_db(KXSmartPtr<KXSession> const &session) {
    require_type(op_type_ == TT_USERDB, L"type not USERDB");
    if (owned_) return KXSmartPtr<KXDatabaseDesc>(static_cast<KXDatabaseDesc *>(owned_.get()));
    if (!session) throw_internal_error(L"need AdSession pointer to get KXDatabaseDesc pointer");
    KXSmartPtr<KXDatabaseDesc> db = session->GetSessionDatabase();
    if (!db) throw KXNotFoundException(this, kx_message(MSG_NOT_FOUND, Nul::UMessage::Arg(L"user database")));
    dbset_name_ = ustr(db->GetDatabaseSetName());
    db_name_ = ustr(db->GetDatabaseName());
    owned_ = KXSmartPtr<KXObject>(db);
    return db;
}

KXSmartPtr<KXEntityDef> TargetResourceArg::record_type(AdSession *session) {
    require_type(op_type_ == TT_RECTYPE, L"type not RECTYPE");
    if (owned_) return KXSmartPtr<KXEntityDef>(static_cast<KXEntityDef *>(owned_.get()));
    if (session == nullptr) throw_internal_error(L"need AdSession pointer to get AdEntityDef pointer");
    refresh_repository_names(session);
    KXSmartPtr<KXEntityDef> def = KXEntityDef::Build(lookup_rectype(session));
    owned_ = KXSmartPtr<KXObject>(def);
    return def;
}

AdEntityPtr TargetResourceArg::resolve_record(AdSession *session) {
    if (session == nullptr) throw_internal_error(L"need AdSession pointer to get AdEntity pointer");
    refresh_repository_names(session);
    if (marshall_type_ == BY_STATE_ITEM) {
        auto *item = checked_cast<RecordStateItem>(state_item_or_fail());
        return item->entity();
    }
    // A record is named by its state item, or by name or dbid; any other form names none.
    if (marshall_type_ != BY_NAME && marshall_type_ != BY_DBID) raise_not_found(MSG_RECORD_NOT_FOUND);
    AdEntityDef *def = lookup_rectype(session);
    AdSessionPtr api(session);
    auto lookup = [&](AdEntityDef *in) -> AdEntityPtr {
        return product_call(
            [&] {
                if (marshall_type_ == BY_NAME) return lookup_record_by_name(api, in, second_name_segment());
                return lookup_record_by_dbid(api, in, dbids_[TARGET_NAME]);
            },
            [&](ProductFailure const &f) {
                if (f.kind == ProductFailure::PA_MSG_EXCEPTION) raise_not_found(MSG_RECORD_NOT_FOUND);
                raise_lookup_failure(*this, L"TargetResourceArg::resolve_record", f);
            });
    };
    AdEntityPtr record;
    if (def->IsFamily()) {
        AdIterator<AdEntityDef> members = def->GetFamilyMembers();
        for (int i = 0; i < members.GetLength() && !record; ++i) record = lookup(members.GetItem(i));
    } else {
        record = lookup(def);
    }
    if (!record) raise_not_found(MSG_RECORD_NOT_FOUND);
    return record;
}

AdEntityPtr TargetResourceArg::record(AdSession *session) {
    require_type(op_type_ == TT_RECORD, L"type not RECORD");
    if (owned_) return AdEntityPtr(static_cast<AdEntity *>(owned_.get()));
    AdEntityPtr record = resolve_record(session);
    owned_ = KXSmartPtr<KXObject>(record);
    return record;
}

AdFieldDef *TargetResourceArg::field_def(AdSession *session) {
    require_type(op_type_ == TT_FIELDDEF, L"type not FIELDDEF");
    if (borrowed_) return static_cast<AdFieldDef *>(borrowed_);
    if (session == nullptr) throw_internal_error(L"need AdSession pointer to get AdFieldDef pointer");
    refresh_repository_names(session);
    AdEntityDef *def = lookup_rectype(session);
    AdFieldDef *field = marshall_type_ == BY_NAME ? def->LookupFieldDef(cstr(second_name_segment()))
                                                  : find_by_dbid(def->GetFieldDefs(), dbids_[TARGET_NAME]);
    if (field == nullptr) raise_not_found_quoting(MSG_FIELD_DEF_NOT_FOUND);
    borrowed_ = field;
    return field;
}

AdActionDef *TargetResourceArg::action_def(AdSession *session) {
    require_type(op_type_ == TT_ACTION, L"type not ACTION");
    if (borrowed_) return static_cast<AdActionDef *>(borrowed_);
    if (session == nullptr) throw_internal_error(L"need AdSession pointer to get AdActionDef pointer");
    refresh_repository_names(session);
    AdEntityDef *def = lookup_rectype(session);
    AdActionDef *action = marshall_type_ == BY_NAME ? def->LookupActionDef(cstr(second_name_segment()))
                                                    : find_by_dbid(def->GetActionDefs(), dbids_[TARGET_NAME]);
    if (action == nullptr) raise_not_found(MSG_ACTION_NOT_FOUND);
    borrowed_ = action;
    return action;
}

AdFormDef *TargetResourceArg::form_def(AdSession *session) {
    require_type(op_type_ == TT_FORM, L"type not FORM");
    if (borrowed_) return static_cast<AdFormDef *>(borrowed_);
    if (session == nullptr) throw_internal_error(L"need AdSession pointer to get AdFormDef pointer");
    refresh_repository_names(session);
    AdEntityDef *def = lookup_rectype(session);
    AdFormDef *form = marshall_type_ == BY_NAME ? def->LookupFormDef(cstr(second_name_segment()))
                                                : find_by_dbid(def->GetFormDefs(), dbids_[TARGET_NAME]);
    if (form == nullptr) raise_not_found(MSG_FORM_NOT_FOUND);
    borrowed_ = form;
    return form;
}

AdHookDef *TargetResourceArg::hook_def(AdSession *session) {
    require_type(op_type_ == TT_HOOK, L"type not HOOK");
    if (borrowed_) return static_cast<AdHookDef *>(borrowed_);
    if (session == nullptr) throw_internal_error(L"need AdSession pointer to get AdHookDef pointer");
    refresh_repository_names(session);
    AdEntityDef *def = lookup_rectype(session);
    AdHookDef *hook = marshall_type_ == BY_NAME ? def->LookupHookDef(cstr(second_name_segment()))
                                                : find_by_dbid(def->GetHookDefs(), dbids_[TARGET_NAME]);
    if (hook == nullptr) raise_not_found(MSG_HOOK_NOT_FOUND);
    borrowed_ = hook;
    return hook;
}

AdListDef *TargetResourceArg::dynamic_choice_list(AdSession *session) {
    require_type(op_type_ == TT_DYNAMIC_LIST, L"type not DYNAMIC_LIST");
    if (borrowed_) return static_cast<AdListDef *>(borrowed_);
    if (session == nullptr) throw_internal_error(L"need AdSession pointer to get AdListDefPtr pointer");
    refresh_repository_names(session);
    AdSessionPtr api(session);
    AdListDef *list = nullptr;
    product_call(
        [&] {
            if (marshall_type_ == BY_NAME)
                list = LookupListDef(api, cstr(second_name_segment()));
            else if (marshall_type_ == BY_DBID)
                list = find_by_dbid(GetListDefs(api), dbids_[TARGET_NAME]);
        },
        [](ProductFailure const &f) {
            Nul::UString const text = f.has_error_string() ? f.text : Nul::UString(unknown_error_text);
            trace_exception(Nul::UString(L"TargetResourceArg::dynamic_choice_list"), text);
            throw_internal_error(kx_message(MSG_CANNOT_GET_LISTS, Nul::UMessage::Arg(text)));
        },
        taking_everything);
    if (list == nullptr) raise_not_found(MSG_LIST_NOT_FOUND);
    borrowed_ = list;
    return list;
}

AdBucketPtr TargetResourceArg::bucket(AdSession *session) {
    require_type(op_type_ >= TT_QUERY && op_type_ <= TT_REPORT_FORMAT, L"type not QUERY");
    if (owned_) return AdBucketPtr(static_cast<AdBucket *>(owned_.get()));
    if (session == nullptr) throw_internal_error(L"need AdSession pointer to get AdBucket pointer");
    refresh_repository_names(session);
    AdSessionPtr api(session);
    AdBucketPtr found;
    if (marshall_type_ == BY_NAME) {
        QueryUtil::get_bucket_for_uri(api, second_name_segment(), found);
    } else if (marshall_type_ == BY_DBID) {
        u_int const dbid = dbids_[TARGET_NAME];
        auto matches = [dbid](AdBucketPtr const &b) { return b && static_cast<u_int>(b->GetDbId()) == dbid; };
        AdBucketPtr top = QueryUtil::top_folder(api, AD_PUBLIC_FOLDER, L"TargetResourceArg::bucket");
        if (!matches(top)) top = QueryUtil::top_folder(api, AD_PERSONAL_FOLDER, L"TargetResourceArg::bucket");
        if (matches(top)) {
            found = top;
        } else {
            looking_up(*this, L"TargetResourceArg::bucket", taking_everything, [&] {
                found = GetWorkspaceMgr(api)->GetBucket(dbid);
                if (found && found->GetType() == 1024) found = nullptr;
                if (found && !reachable_by_path(found, api)) found = nullptr;
            });
        }
    }
    if (!found) raise_not_found_quoting(MSG_QUERY_NOT_FOUND);
    owned_ = KXSmartPtr<KXObject>(found);
    return found;
}

std::unique_ptr<AttachmentFolder> TargetResourceArg::resolve_attachment_folder(AdSession *session) {
    AdEntityPtr record;
    int form = marshall_type_;
    if (marshall_type_ == BY_STATE_ITEM) {
        refresh_repository_names(session);
        record = checked_cast<RecordStateItem>(state_item_or_fail())->entity();
        form = aux_marshall_type_;
    } else {
        record = resolve_record(session);
    }
    AdEntityDef *def = record ? record->GetEntityDef() : nullptr;
    if (def == nullptr) raise_not_found(MSG_FOLDER_NOT_FOUND);
    AdFieldDef *field = nullptr;
    if (form == BY_NAME && names_[2]) {
        field = def->LookupFieldDef(cstr(*names_[2]));
    } else if (form == BY_DBID) {
        AdIterator<AdFieldDef> fields = def->GetFieldDefs();
        for (int i = 0; i < fields.GetLength() && !field; ++i) {
            AdFieldDef *f = fields.GetItem(i);
            if (f && static_cast<u_int>(f->GetDbId()) == dbids_[2] && f->GetFieldType() == AD_ATTACHMENT_LIST)
                field = f;
        }
    }
    if (field == nullptr || field->GetFieldType() != AD_ATTACHMENT_LIST) raise_not_found(MSG_FOLDER_NOT_FOUND);
    return std::make_unique<AttachmentFolder>(record, ustr(field->GetName()), field->GetDbId());
}

AttachmentFolder *TargetResourceArg::attachment_folder(AdSession *session) {
    require_type(op_type_ == TT_ATTACHMENT_FOLDER, L"type not ATTACHMENT_FOLDER");
    if (folder_) return folder_.get();
    if (session == nullptr) throw_internal_error(L"need AdSession pointer to get AttachmentFolder pointer");
    folder_ = resolve_attachment_folder(session);
    return folder_.get();
}

Attachment *TargetResourceArg::attachment(AdSession *session) {
    require_type(op_type_ == TT_ATTACHMENT, L"type not ATTACHMENT");
    if (attachment_) return attachment_.get();
    if (marshall_type_ == BY_STATE_ITEM) return checked_cast<AttachmentStateItem>(state_item_or_fail())->attachment();
    if (session == nullptr) throw_internal_error(L"need AdSession pointer to get Attachment pointer");
    std::unique_ptr<AttachmentFolder> folder = resolve_attachment_folder(session);
    std::unique_ptr<Attachment> found;
    if (marshall_type_ == BY_NAME)
        found = names_[3] ? folder->find(*names_[3]) : nullptr;
    else
        found = folder->find_by_dbid(dbids_[3]);
    if (!found) raise_not_found(MSG_ATTACHMENT_NOT_FOUND);
    attachment_ = std::move(found);
    return attachment_.get();
}

std::unique_ptr<CurrentUserInfo> TargetResourceArg::resolve_current_user(AdSession *session) {
    Nul::UString login = ustr(session->GetSessionUserLoginName());
    std::int64_t id = session->GetSessionUserId();
    if (marshall_type_ == BY_NAME && second_name_segment().compare(login) != 0)
        throw_internal_error(kx_message(MSG_NOT_CURRENT_USER));
    if (marshall_type_ == BY_DBID && static_cast<std::int64_t>(dbids_[TARGET_NAME]) != id)
        throw_internal_error(kx_message(MSG_NOT_CURRENT_USER));
    if (login.empty()) raise_not_found(MSG_CURRENT_USER_NOT_FOUND);
    return std::make_unique<CurrentUserInfo>(login, id);
}

CurrentUserInfo *TargetResourceArg::current_user(AdSession *session) {
    require_type(op_type_ == TT_CURRENT_USER, L"type not CURRENT_USER");
    if (current_user_) return current_user_.get();
    if (session == nullptr) throw_internal_error(L"need AdSession pointer to get user information");
    refresh_repository_names(session);
    current_user_ = resolve_current_user(session);
    return current_user_.get();
}

KXSmartPtr<KXUser> TargetResourceArg::resolve_user(LoginSession *login) {
    KXSmartPtr<KXAdminSession> admin = login->admin_session_ptr();
    if (marshall_type_ == NOT_MARSHALLED) throw_internal_error(L"need marshalling data to get KXUser pointer");
    KXSmartPtr<KXUser> user;
    looking_up(*this, L"TargetResourceArg::resolve_user", Taking{}, [&] {
        if (marshall_type_ == BY_NAME) {
            user = admin->GetUser(cstr(second_name_segment()));
        } else if (marshall_type_ == BY_DBID) {
            KXSmartPtr<AdMasterUser> master = LookupMasterUser(admin->GetReal(), dbids_[TARGET_NAME]);
            if (master) user = admin->GetUser(master->GetLoginName());
        }
    });
    if (!user) raise_not_found(MSG_USER_NOT_FOUND);
    return user;
}

KXSmartPtr<KXGroup> TargetResourceArg::resolve_group(LoginSession *login) {
    KXSmartPtr<KXAdminSession> admin = login->admin_session_ptr();
    if (marshall_type_ == NOT_MARSHALLED) throw_internal_error(L"need marshalling data to get KXGroup pointer");
    KXSmartPtr<KXGroup> group;
    looking_up(*this, L"TargetResourceArg::resolve_group", Taking{}, [&] {
        if (marshall_type_ == BY_NAME) {
            group = admin->GetGroup(cstr(second_name_segment()));
        } else if (marshall_type_ == BY_DBID) {
            KXSmartPtr<AdMasterGroup> master = LookupMasterGroup(admin->GetReal(), dbids_[TARGET_NAME]);
            if (master) group = admin->GetGroup(master->GetName());
        }
    });
    if (!group) raise_not_found(MSG_GROUP_NOT_FOUND);
    return group;
}

AdReplica *TargetResourceArg::resolve_replica(LoginSession *login) {
    AdSession *admin = login->admin_api_session();
    if (admin == nullptr) throw_internal_error(L"Invalid Pointer");
    if (marshall_type_ == NOT_MARSHALLED) throw_internal_error(L"need marshalling data to get AdReplica pointer");
    AdReplica *replica = nullptr;
    looking_up(*this, L"TargetResourceArg::resolve_replica", taking_everything, [&] {
        if (marshall_type_ == BY_NAME)
            replica = admin->LookupReplicaByName(cstr(second_name_segment()), 0, 0);
        else if (marshall_type_ == BY_DBID)
            replica = admin->LookupReplicaByDbId(dbids_[TARGET_NAME], 0, 0);
    });
    if (replica == nullptr) raise_not_found(MSG_REPLICA_NOT_FOUND);
    return replica;
}

AdReplica *TargetResourceArg::replica(LoginSession *login) {
    require_type(op_type_ == TT_REPLICA, L"type not a KX REPLICA");
    if (borrowed_) return static_cast<AdReplica *>(borrowed_);
    if (login == nullptr) throw_internal_error(L"Need a Login Session to get replica information");
    refresh_repository_names(login);
    AdReplica *replica = resolve_replica(login);
    borrowed_ = replica;
    return replica;
}

KXSmartPtr<KXUser> TargetResourceArg::user(LoginSession *login) {
    require_type(op_type_ == TT_USER, L"type not USER");
    if (owned_) return KXSmartPtr<KXUser>(static_cast<KXUser *>(owned_.get()));
    if (login == nullptr) throw_internal_error(L"Need a Login Session to get user information");
    refresh_repository_names(login);
    KXSmartPtr<KXUser> user = resolve_user(login);
    owned_ = KXSmartPtr<KXObject>(user);
    return user;
}

KXSmartPtr<KXGroup> TargetResourceArg::group(LoginSession *login) {
    require_type(op_type_ == TT_GROUP, L"type not GROUP");
    if (owned_) return KXSmartPtr<KXGroup>(static_cast<KXGroup *>(owned_.get()));
    if (login == nullptr) throw_internal_error(L"Need a Login Session to get group information");
    refresh_repository_names(login);
    KXSmartPtr<KXGroup> group = resolve_group(login);
    owned_ = KXSmartPtr<KXObject>(group);
    return group;
}

} // namespace KxRpc
