// The address of one resource in a request, and the product object it resolves to.
#pragma once

#include <memory>

#include <rpc/xdr.h>

#include "kxproduct/entity.h"
#include "kxproduct/metadata.h"
#include "kxproduct/session.h"
#include "kxproduct/workspace.h"
#include "target/attachments.h"
#include "tesutil/stpexception.h"
#include "tesutil/ustring.h"
#include "wire/errors.h"
#include "wire/handles.h"
#include "wire/xdrobject.h"

class AdSession;

namespace KxRpc {

class LoginSession;

// Resource type codes of targets (the value space of the property value-type codes).
enum TargetType : int {
    TT_NONE = 0,
    TT_UNUSED_27 = 27, // the first resource type code; it names no resource
    TT_DBSET = 29,
    TT_USERDB = 30,
    TT_RECTYPE = 31,
    TT_RECORD = 32,
    TT_UNUSED_33 = 33,
    TT_REPLICA = 34,
    TT_FIELDDEF = 35,
    TT_QUERY = 36,
    TT_QUERY_FOLDER = 37,
    TT_REPORT = 38,
    TT_REPORT_FORMAT = 39,
    TT_ACTION = 40,
    TT_FORM = 41,
    TT_HOOK = 42,
    TT_DYNAMIC_LIST = 43,
    TT_ATTACHMENT = 44,
    TT_ATTACHMENT_FOLDER = 45,
    TT_CURRENT_USER = 46,
    TT_USER = 47,
    TT_GROUP = 48,
    TT_UNUSED_49 = 49,
    TT_UNUSED_50 = 50,
    TT_GLOBAL_HOOK = 51,
};

// The server's resources: every one is a target and is encoded by the resource encoder of kind 1.
class KxRpcResource : public Nul::Resource {
public:
    int kind() const override { return 1; }
};

class TargetResourceArg : public XdrObject, public KxRpcResource {
public:
    enum MarshallType : int { NOT_MARSHALLED = 0, BY_NAME = 1, BY_DBID = 2, BY_STATE_ITEM = 3 };

    TargetResourceArg();
    explicit TargetResourceArg(int type);
    TargetResourceArg(int type, Nul::UString const &name);
    TargetResourceArg(int type, Nul::UString const &name1, Nul::UString const &name2);
    TargetResourceArg(int type, u_int dbid1, u_int dbid2);
    TargetResourceArg(int type, StateItemPtr const &item);
    // Targets made from an object already resolved; not marshalled.
    explicit TargetResourceArg(KXSmartPtr<KXDatabaseDesc> const &userdb);
    explicit TargetResourceArg(KXSmartPtr<KXEntityDef> const &rectype);
    explicit TargetResourceArg(AdEntityPtr const &record);
    explicit TargetResourceArg(AdFieldDef *field);
    explicit TargetResourceArg(AdActionDef *action);
    explicit TargetResourceArg(AdFormDef *form);
    TargetResourceArg(AdEntityDef *rectype, AdHookDef *hook);
    explicit TargetResourceArg(AdListDef *list);
    explicit TargetResourceArg(AdReplica *replica);
    // Any other code: the object is held with a counted reference for the owning codes and
    // borrowed for the others.
    TargetResourceArg(int type, KXObject *object);

    TargetResourceArg(TargetResourceArg const &other);
    TargetResourceArg &operator=(TargetResourceArg const &other);
    ~TargetResourceArg() override;

    // Releases segments and the cached object; not marshalled afterwards.
    void clear();

    int type() const { return op_type_; }
    void set_type(int type) { op_type_ = type; }
    int marshall_type() const { return marshall_type_; }
    int aux_marshall_type() const { return aux_marshall_type_; }
    bool is_marshalled_by_name() const { return marshall_type_ == BY_NAME; }
    bool is_marshalled_by_dbid() const { return marshall_type_ == BY_DBID; }
    bool is_state_item_target() const { return marshall_type_ == BY_STATE_ITEM && op_type_ != TT_ATTACHMENT_FOLDER; }
    // The named state item; an unknown handle raises "Invalid Pointer".
    StateItem *state_item_or_fail() const;
    StateItemPtr const &state_item() const { return state_item_; }

    Nul::UString first_name_segment() const;
    Nul::UString second_name_segment() const;
    Nul::UString first_dbid_text() const;
    Nul::UString second_dbid_text() const;
    // Segment i (0 to 3) as decoded by name: null when absent or not marshalled by name.
    Nul::UString const *name_segment(int i) const;
    u_int dbid_segment(int i) const { return dbids_[i]; }
    Nul::UString hook_name() const;

    Nul::UString const &dbset_name() const { return dbset_name_; }
    Nul::UString const &db_name() const { return db_name_; }
    // The repository the target lies in, as its text form names it.
    void set_repository_names(Nul::UString const &dbset, Nul::UString const &db) {
        dbset_name_ = dbset;
        db_name_ = db;
    }

    // XdrObject
    bool_t xdr(XDR *xdrs) override;
    virtual Nul::UString trace_line();

    // Resource
    Nul::UString to_selector() const override;
    Nul::Resource *copy() const override { return new TargetResourceArg(*this); }

    // Resolution to product objects; each resolves once and answers the cached object later.
    KXSmartPtr<KXDatabase> db_set(KXSmartPtr<KXAdminSession> const &admin);
    KXSmartPtr<KXDatabaseDesc> user_db(KXSmartPtr<KXSession> const &session);
    KXSmartPtr<KXEntityDef> record_type(AdSession *session);
    AdEntityPtr record(AdSession *session);
    AdFieldDef *field_def(AdSession *session);
    AdBucketPtr bucket(AdSession *session);
    AdActionDef *action_def(AdSession *session);
    AdFormDef *form_def(AdSession *session);
    AdHookDef *hook_def(AdSession *session);
    AdListDef *dynamic_choice_list(AdSession *session);
    AttachmentFolder *attachment_folder(AdSession *session);
    // A target by state handle answers its AttachmentStateItem's own attachment (not cached, so
    // changes reach the held object).
    Attachment *attachment(AdSession *session);
    AdReplica *replica(LoginSession *login);
    CurrentUserInfo *current_user(AdSession *session);
    KXSmartPtr<KXUser> user(LoginSession *login);
    KXSmartPtr<KXGroup> group(LoginSession *login);
    // The record type reference, looked up when still unset.
    AdEntityDef *entity_def(AdSession *session);
    AdEntityDef *record_type_ref() const { return rectype_ref_; }
    // The name of the record type when it is a family; empty otherwise.
    Nul::UString family_name() const;
    // The cached object of the owning codes (null when there is none).
    KXObject *cached_object() const { return owned_.get() ? owned_.get() : borrowed_; }
    AttachmentFolder const *cached_folder() const { return folder_.get(); }
    Attachment const *cached_attachment() const { return attachment_.get(); }

    // The ARM target text in the given user session.
    Nul::UString arm_target_uri(AdSession *session) const;

private:
    void copy_from(TargetResourceArg const &other);
    void release_segments();
    void release_cached();
    bool owns_code() const;
    // Turns a not-marshalled target with a cached object into a dbid target.
    void fill_dbids_from_cached();
    bool_t encode_or_decode(XDR *xdrs);

    // Resolution helpers.
    void refresh_repository_names(AdSession *session);
    void refresh_repository_names(LoginSession *login);
    AdEntityDef *lookup_rectype(AdSession *session);
    AdEntityPtr resolve_record(AdSession *session);
    std::unique_ptr<AttachmentFolder> resolve_attachment_folder(AdSession *session);
    std::unique_ptr<CurrentUserInfo> resolve_current_user(AdSession *session);
    KXSmartPtr<KXUser> resolve_user(LoginSession *login);
    KXSmartPtr<KXGroup> resolve_group(LoginSession *login);
    AdReplica *resolve_replica(LoginSession *login);
    [[noreturn]] void raise_not_found(int message) const;
    [[noreturn]] void raise_not_found_quoting(int message) const;

    int marshall_type_ = NOT_MARSHALLED;
    int op_type_ = TT_NONE;
    AdEntityDef *rectype_ref_ = nullptr;
    Nul::UString dbset_name_;
    Nul::UString db_name_;
    std::unique_ptr<Nul::UString> names_[4];
    u_int dbids_[4] = {0, 0, 0, 0};
    StateItemPtr state_item_;
    int aux_marshall_type_ = 0;
    // Cached object: a counted reference for the owning codes, borrowed otherwise.
    KXSmartPtr<KXObject> owned_;
    KXObject *borrowed_ = nullptr;
    std::unique_ptr<AttachmentFolder> folder_;
    std::unique_ptr<Attachment> attachment_;
    std::unique_ptr<CurrentUserInfo> current_user_;
};

// Encodes targets; every other resource is refused.
class KxRpcResourceEncoder : public ResourceEncoder {
public:
    ~KxRpcResourceEncoder() override;
    bool encode(XDR *xdrs, Nul::Resource const *resource) override;
    // The wire code of a target type code; false for a code that has none.
    static bool wire_code(int type, int &code);
};

} // namespace KxRpc
