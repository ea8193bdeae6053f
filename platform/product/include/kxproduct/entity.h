// Records: lookup, field values, actions, requiredness, validation, commit and revert.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kxproduct/metadata.h"

class AdEntity;
typedef KXSmartPtr<AdEntity> AdEntityPtr;
namespace kxp {
struct PendingAttachments;

// The values of one field as a record keeps them: UTF-8, a quarter of the wide text's bytes for
// most text, and shared by the record's copies (stored, current, start of the update group) until
// one of them is set anew.
class FieldValues {
public:
    FieldValues() = default;
    FieldValues(const std::vector<CString> &values); // NOLINT: the record's maps take wide lists
    FieldValues(std::initializer_list<CString> values) : FieldValues(std::vector<CString>(values)) {}
    operator std::vector<CString>() const { return wide(); } // NOLINT
    std::vector<CString> wide() const;
    const std::vector<std::string> &utf8() const;
    bool empty() const { return !values_ || values_->empty(); }
    CString front() const;
    bool contains(const CString &value) const;
    // Copies the list first while another copy shares it.
    void push_back(const CString &value);
    bool operator==(const FieldValues &other) const;
    // The shared list (null when there is none), so that what copies share is counted once.
    const void *identity() const { return values_.get(); }
    size_t held_bytes() const;

private:
    std::shared_ptr<const std::vector<std::string>> values_;
};
} // namespace kxp

enum AdValueStatus : int { AD_HAS_NO_VALUE = 1, AD_HAS_VALUE = 2 };
enum AdValidity : int { AD_VALID = 1, AD_INVALID = 2 };
// Answers of the lookups with status.
enum AdLookupStatus : int {
    AD_LOOKUP_FOUND = 0,
    AD_LOOKUP_NOT_FOUND = 1,
    AD_LOOKUP_WRONG_TYPE = 3, // the record exists but is of another record type; the error text says which
};

// A field of a record as of one moment.
class AdFieldInfo {
public:
    AdFieldInfo() = default;
    CString GetName() const { return name_; }
    int GetType() const { return type_; }
    int GetValueStatus() const { return values_.empty() ? AD_HAS_NO_VALUE : AD_HAS_VALUE; }
    // The value as text; a list joins its values with new lines.
    CString GetValue() const;
    const std::vector<CString> &GetValueAsList() const { return values_; }
    int GetValidity() const { return message_.IsEmpty() ? AD_VALID : AD_INVALID; }
    CString GetMessageText() const { return message_; }
    int GetRequiredness() const { return requiredness_; }
    BOOL ValueChangedThisSetValue() const { return changed_set_; }
    BOOL ValidityChangedThisSetValue() const { return validity_changed_set_; }
    BOOL ValueChangedThisAction() const { return changed_action_; }
    // Since the last BeginNewFieldUpdateGroup (or the start of the action).
    BOOL ValueChangedThisGroup() const { return changed_group_; }
    BOOL ValidityChangedThisAction() const { return validity_changed_action_; }
    BOOL ValidityChangedThisGroup() const { return validity_changed_group_; }

private:
    friend class AdEntity;
    CString name_;
    int type_ = 0;
    std::vector<CString> values_;
    CString message_;
    int requiredness_ = AD_OPTIONAL;
    bool changed_set_ = false, validity_changed_set_ = false, changed_action_ = false;
    bool changed_group_ = false, validity_changed_action_ = false, validity_changed_group_ = false;
};

// A duplicate of a record: the record it duplicates and the duplicate itself.
struct AdDuplicateLink {
    int64_t parent_dbid = 0;
    int64_t child_entity_def_dbid = 0;
    int64_t child_dbid = 0;
    CString child_display_name;
};

// Called after a field of the record was set.
typedef void (*AdFieldUpdateCallback)(AdEntity *entity, const AdFieldInfo &info, void *context);

class AdEntity : public AdDataObject {
public:
    AdEntityDef *GetEntityDef() const { return def_; }
    // The kind of the record's record type (AdEntityType).
    int GetType() const;
    // While a record of a stateless record type is being edited, the value of its key field (the
    // name it will be stored under); otherwise the stored name.
    CString GetDisplayName() const;
    AdSessionPtr GetSession() const { return session_; }
    // Empty for a record of a type without states, or a new record before its first commit.
    CString GetStateName() const { return state_; }
    int64_t GetVersion() const { return version_; }
    BOOL IsNew() const { return is_new_; }

    // Throws KXException (KX_MSG_NOT_FOUND) for a field the record type does not have.
    AdFieldInfo GetFieldValue(const CString &name) const;
    // Empty text on success; otherwise why the value was not set (record not being edited, field
    // read-only or kept by the product). A value that is set but not valid is reported by the field's
    // validity and by Validate.
    CString SetFieldValue(const CString &name, const CString &value);
    // Sets a list field (reference list) to all of `values`.
    CString SetFieldValueList(const CString &name, const std::vector<CString> &values);
    int GetFieldRequiredness(const CString &name, int reserved = 0) const;
    void SetFieldUpdateCallback(const CString &name, AdFieldUpdateCallback callback, void *context, int reserved = 0);
    void ClearAllFieldUpdateCallbacks();

    // An action is in progress (after BuildEntity or EditEntity, until Commit or Revert).
    BOOL IsEditable() const { return action_ != nullptr; }
    AdActionDef *GetActionDef() const { return action_; }
    // Type of the action in progress; 0 when none.
    int GetActionType() const { return action_ ? action_->GetActionType() : 0; }
    std::vector<CString> GetFieldValuesUpdatedThisAction() const;
    // Empty when the record may be committed: every field is valid and, for a stateless record
    // type, no other record has its key. Otherwise one line per invalid field, or the refusal.
    CString Validate();
    std::vector<AdFieldInfo> GetInvalidFieldValues() const;
    // Writes the action in one transaction and answers an information text (usually empty). A
    // commit that fails writes nothing, leaves the record editable with its values and throws
    // PaMsgException: KX_MSG_RECORD_CHANGED when another session changed the record since it was
    // read, KX_MSG_COMMIT_FAILED for any other refusal (invalid values, a taken key, the store).
    CString Commit();
    // Abandons the action in progress and restores the stored values.
    void Revert();

    int64_t GetDuplicateOf() const { return duplicate_of_; }
    BOOL IsDuplicate() const { return duplicate_of_ != 0; }
    // The record this one duplicates; PaMsgException (KX_MSG_NOT_FOUND) when it is not a duplicate
    // or the original is gone.
    AdEntityPtr GetOriginal() const;
    // Display name of the original; empty when the record is not a duplicate.
    CString GetOriginalId() const;
    // Stored records marked as duplicates of this one (direct), or of it and of its duplicates
    // in turn (all levels, each record once, breadth first).
    std::vector<AdDuplicateLink> GetDuplicates() const;
    std::vector<AdDuplicateLink> GetAllDuplicates() const;
    BOOL HasDuplicates() const;
    // Has duplicates and is not itself a duplicate.
    BOOL IsOriginal() const;

    // Name of the action a client would normally run next: the first modify action that may start
    // in the record's state; for a record being edited, the action in progress. Empty when none.
    CString GetDefaultActionName() const;
    // Names of the record type's fields, in field order.
    std::vector<CString> GetFieldNames() const;

    // Field changes of the action in progress, beside GetFieldValuesUpdatedThisAction (fields whose
    // value differs from the stored one): every field a set-value changed during the action, even if
    // set back (entire action); fields whose value differs from the start of the current update
    // group; the field the last set-value changed. Empty when not editable.
    std::vector<CString> GetFieldValuesUpdatedThisEntireAction() const;
    std::vector<CString> GetFieldValuesUpdatedThisGroup() const;
    std::vector<CString> GetFieldValuesUpdatedThisSetValue() const;
    // Starts a new group of field updates; KXException KX_MSG_NOT_EDITABLE when not being edited.
    void BeginNewFieldUpdateGroup();
    // The field as stored before the action in progress; KXException KX_MSG_NOT_FOUND for no field.
    AdFieldInfo GetFieldOriginalValue(const CString &name) const;
    // Adds one value to (deletes one value from) a reference-list field; error text as SetFieldValue.
    CString AddFieldValue(const CString &name, const CString &value);
    CString DeleteFieldValue(const CString &name, const CString &value);
    // Dbids of the records a reference or reference-list field names, in value order; a name that
    // finds no record is left out. KXException KX_MSG_NOT_FOUND for no field, KX_MSG_BAD_VALUE for
    // a field of another type.
    std::vector<int64_t> GetFieldReferencedDbIds(const CString &name) const;

    // The form and tab a client shows the record with; empty until set.
    CString GetViewFormName() const;
    CString GetViewTabName() const;
    // Writes the stored content of the record's attachment `dbid` into the file at `path` (UTF-8),
    // in slices, replacing the file. KXException KX_MSG_NOT_FOUND when the record has no such
    // stored attachment; KX_MSG_BAD_VALUE when the file cannot be written (a partial file is removed).
    void ExtractAttachment(int64_t dbid, const CString &path) const;
    // Attachments of a record being edited: pending until Commit writes
    // them in its transaction, dropped by Revert. Each answers an empty text on success, otherwise
    // why nothing changed. `entry` is an entry text of the field's value as GetFieldValue gives it.
    // A delete on a stored record that is not being edited is written at once.
    CString AddAttachmentFieldValue(const CString &field, const CString &path, const CString &description);
    CString SetAttachmentFieldDescription(const CString &field, const CString &entry, const CString &description);
    CString DeleteAttachmentFieldValue(const CString &field, const CString &entry);

    // KXException KX_MSG_NOT_FOUND for a form the record type does not have.
    void SetViewFormAndTab(const CString &form, const CString &tab);
    // Forms, tabs ("form" gives the form) and fields hidden from the session's user on this record.
    std::vector<CString> GetHiddenFormNames() const;
    std::vector<CString> GetHiddenTabNames(const CString &form) const;
    std::vector<CString> GetHiddenFieldNames(const CString &form) const;
    // For hooks: hide or show a form, a tab of a form, a field on a form.
    void SetFormHidden(const CString &form, BOOL hidden);
    void SetTabHidden(const CString &form, const CString &tab, BOOL hidden);
    void SetFieldHidden(const CString &form, const CString &field, BOOL hidden);

    // Runs the hook `name` of the record's record type, or else the global hook of that name, with
    // `param` (a Lua script in a sandbox, see README); answers the script's result text. Fields the
    // script sets go through SetFieldValue, so field-update callbacks see them. PaMsgException
    // KX_MSG_NOT_FOUND for no such hook, KX_MSG_HOOK_FAILED when the script fails, is stopped, or is
    // in a language the product does not run.
    CString FireNamedHook(const CString &name, const CString &param);

    // The local site masters the record: its field "ostw_mastership" is empty or names the
    // session's master replica, or the set has no replicas.
    BOOL SiteHasMastership() const;

    // Bytes of memory the record holds: its values, the stored values they are compared with, the
    // tracking of the action in progress and its pending attachment changes. An estimate that errs
    // high, never below what is held.
    size_t GetHeldBytes() const;
    // What a record holds for `value` once it is set in a field (before the field's old value goes).
    static size_t HeldBytesOfValue(const CString &value);

    ~AdEntity() override;

private:
    friend struct EntityOps;
    friend struct AttachmentOps;
    friend AdEntityPtr BuildEntity(const AdSessionPtr &, AdEntityDef *, const CString &);
    friend void EditEntity(const AdEntityPtr &, AdActionDef *);
    friend void MarkEntityAsDuplicate(const AdEntityPtr &, const AdEntityPtr &, const CString &);
    friend void UnmarkEntityAsDuplicate(const AdEntityPtr &, const CString &);
    CString first_value(const CString &name) const;
    AdEntity(const AdSessionPtr &session, AdEntityDef *def, int64_t dbid);
    AdFieldInfo info(const AdFieldDef *f) const;
    CString check(const AdFieldDef *f, const std::vector<CString> &values) const;
    CString set_values(const CString &name, const std::vector<CString> &values, const char *op);
    std::vector<CString> group_start(const CString &name) const;
    void reset_tracking();

    AdSessionPtr session_;
    AdEntityDef *def_;
    int64_t database_ = 0;
    CString display_name_, state_;
    int64_t version_ = 0;
    bool is_new_ = false;
    int64_t duplicate_of_ = 0, stored_duplicate_of_ = 0;
    AdActionDef *action_ = nullptr;
    std::map<CString, kxp::FieldValues> values_, stored_;
    std::map<CString, std::pair<AdFieldUpdateCallback, void *>> callbacks_;
    // Field changes of the action in progress: fields set this action, values and validity at the
    // start of the current update group, fields changed by the last set-value.
    std::set<CString> set_this_action_;
    std::map<CString, kxp::FieldValues> group_start_;
    bool group_begun_ = false; // until then a group starts with the action
    std::vector<CString> last_set_;
    CString view_form_, view_tab_;
    std::set<CString> hidden_forms_;
    std::map<CString, std::set<CString>> hidden_tabs_, hidden_fields_;
    std::shared_ptr<kxp::PendingAttachments> pending_attachments_;
};

// Actions that may start on the record now (the record type's actions whose source states admit
// the record's state and that start on a stored record); none while it is being edited.
std::vector<AdActionDef *> GetLegalActionDefs(const AdSessionPtr &session, const AdEntityPtr &entity);
// Names of the legal actions the session's user may run (system-only actions left out).
std::vector<CString> GetLegalAccessibleActionDefNames(const AdSessionPtr &session, const AdEntityPtr &entity);

// Runs the record-script hook that the record-script-alias action `action` names (the hook of
// type record-script whose action is `action`) on `record`. A script that fails or is stopped
// leaves its text in `error` and `result` empty; otherwise `result` is its result text.
// PaMsgException KX_MSG_BAD_VALUE for an action that is no script alias of the record's type,
// KX_MSG_NOT_FOUND when no hook belongs to it, KX_MSG_HOOK_FAILED for a hook in another language.
void FireRecordHookAlias(const AdSessionPtr &session, const AdEntityPtr &record, AdActionDef *action, CString &result,
                         CString &error);
// The global hook of that name; null when the set has none.
AdHookDef *LookupGlobalHookDef(const AdSessionPtr &session, const CString &name);

// A new record of a record type with its submit action in progress. `form` may be empty.
AdEntityPtr BuildEntity(const AdSessionPtr &session, AdEntityDef *def, const CString &form = CString());
// Starts an action on a stored record; reloads the record first. PaMsgException
// (KX_MSG_ACTION_NOT_ALLOWED) when the action does not belong to the record type, cannot start in
// the record's state, or another action is in progress.
void EditEntity(const AdEntityPtr &entity, const CString &action_name);
void EditEntity(const AdEntityPtr &entity, AdActionDef *action);
// Starts the duplicate (unduplicate) action, by name or the record type's first one of that type,
// and marks (clears) the record as a duplicate of `original`.
void MarkEntityAsDuplicate(const AdEntityPtr &entity, const AdEntityPtr &original,
                           const CString &action_name = CString());
void UnmarkEntityAsDuplicate(const AdEntityPtr &entity, const CString &action_name = CString());

// Deletes a stored record with `action`, a delete action of its record type, in one
// transaction. The record must not be in an action already. PaMsgException
// KX_MSG_ACTION_NOT_ALLOWED for another kind of action or a record being edited; failures of
// the commit as AdEntity::Commit, after which the record is as before.
void DeleteEntity(const AdSessionPtr &session, const AdEntityPtr &entity, AdActionDef *action);

class AdEntityMgr : public KXObject {
public:
    static KXSmartPtr<AdEntityMgr> Get(const AdSessionPtr &session);
    // For a family, each member record type in turn. `flag` is reserved.
    int LookupEntityByDbIdWithStatus(AdEntityDef *def, int64_t dbid, AdEntityPtr &out, CString &error, int flag);
    int LookupEntityWithStatus(AdEntityDef *def, const CString &display_name, AdEntityPtr &out, CString &error,
                               int flag);
    BOOL EntityExists(AdEntityDef *def, const CString &display_name);
    // AD_LOOKUP_FOUND with the record in `found`, or AD_LOOKUP_NOT_FOUND and null.
    int EntityExists(AdEntityDef *def, const CString &display_name, AdEntityPtr &found);

private:
    explicit AdEntityMgr(const AdSessionPtr &s) : session_(s) {}
    AdSessionPtr session_;
};

// The record type, among `names` (families stand for their members; none: every record type) and
// of `kind` (an AdEntityType, or 3 for either), that holds the record with that dbid or display
// name in the session's user database; null when none does.
AdEntityDef *GetEntityDefOfDbId(const AdSessionPtr &session, int64_t dbid, const std::vector<CString> &names, int kind);
AdEntityDef *GetEntityDefOfName(const AdSessionPtr &session, const CString &name, const std::vector<CString> &names,
                                int kind);
