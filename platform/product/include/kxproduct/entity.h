// Records: lookup, field values, actions, requiredness, validation, commit and revert.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "kxproduct/metadata.h"

class AdEntity;
typedef KXSmartPtr<AdEntity> AdEntityPtr;

enum AdValueStatus : int { AD_HAS_NO_VALUE = 1, AD_HAS_VALUE = 2 };
enum AdValidity : int { AD_VALID = 1, AD_INVALID = 2 };
// Answers of the lookups with status.
enum AdLookupStatus : int {
  AD_LOOKUP_FOUND = 0,
  AD_LOOKUP_NOT_FOUND = 1,
  AD_LOOKUP_WRONG_TYPE = 3,  // the record exists but is of another record type; the error text says which
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
  const std::vector<CString>& GetValueAsList() const { return values_; }
  int GetValidity() const { return message_.IsEmpty() ? AD_VALID : AD_INVALID; }
  CString GetMessageText() const { return message_; }
  int GetRequiredness() const { return requiredness_; }
  BOOL ValueChangedThisSetValue() const { return changed_set_; }
  BOOL ValidityChangedThisSetValue() const { return validity_changed_set_; }
  BOOL ValueChangedThisAction() const { return changed_action_; }

 private:
  friend class AdEntity;
  CString name_;
  int type_ = 0;
  std::vector<CString> values_;
  CString message_;
  int requiredness_ = AD_OPTIONAL;
  bool changed_set_ = false, validity_changed_set_ = false, changed_action_ = false;
};

// Called after a field of the record was set.
typedef void (*AdFieldUpdateCallback)(AdEntity* entity, const AdFieldInfo& info, void* context);

class AdEntity : public AdDataObject {
 public:
  AdEntityDef* GetEntityDef() const { return def_; }
  CString GetDisplayName() const { return display_name_; }
  AdSessionPtr GetSession() const { return session_; }
  // Empty for a record of a type without states, or a new record before its first commit.
  CString GetStateName() const { return state_; }
  int64_t GetVersion() const { return version_; }
  BOOL IsNew() const { return is_new_; }

  // Throws KXException (KX_MSG_NOT_FOUND) for a field the record type does not have.
  AdFieldInfo GetFieldValue(const CString& name) const;
  // Empty text on success; otherwise why the value was not set (record not being edited, field
  // read-only or kept by the product). A value that is set but not valid is reported by the field's
  // validity and by Validate.
  CString SetFieldValue(const CString& name, const CString& value);
  // Sets a list field (reference list) to all of `values`.
  CString SetFieldValueList(const CString& name, const std::vector<CString>& values);
  int GetFieldRequiredness(const CString& name, int reserved = 0) const;
  void SetFieldUpdateCallback(const CString& name, AdFieldUpdateCallback callback, void* context, int reserved = 0);
  void ClearAllFieldUpdateCallbacks();

  // An action is in progress (after BuildEntity or EditEntity, until Commit or Revert).
  BOOL IsEditable() const { return action_ != nullptr; }
  AdActionDef* GetActionDef() const { return action_; }
  // Type of the action in progress; 0 when none.
  int GetActionType() const { return action_ ? action_->GetActionType() : 0; }
  std::vector<CString> GetFieldValuesUpdatedThisAction() const;
  // Empty when every field is valid; otherwise one line per invalid field.
  CString Validate();
  std::vector<AdFieldInfo> GetInvalidFieldValues() const;
  // Writes the action in one transaction. Empty text on success; otherwise the reason, and the
  // record stays editable with its values.
  CString Commit();
  // Abandons the action in progress and restores the stored values.
  void Revert();

  int64_t GetDuplicateOf() const { return duplicate_of_; }
  BOOL IsDuplicate() const { return duplicate_of_ != 0; }

  ~AdEntity() override;

 private:
  friend struct EntityOps;
  friend AdEntityPtr BuildEntity(const AdSessionPtr&, AdEntityDef*, const CString&);
  friend void EditEntity(const AdEntityPtr&, AdActionDef*);
  friend void MarkEntityAsDuplicate(const AdEntityPtr&, const AdEntityPtr&, const CString&);
  friend void UnmarkEntityAsDuplicate(const AdEntityPtr&, const CString&);
  CString first_value(const CString& name) const;
  AdEntity(const AdSessionPtr& session, AdEntityDef* def, int64_t dbid);
  AdFieldInfo info(const AdFieldDef* f) const;
  CString check(const AdFieldDef* f, const std::vector<CString>& values) const;
  CString set_values(const CString& name, const std::vector<CString>& values);

  AdSessionPtr session_;
  AdEntityDef* def_;
  int64_t database_ = 0;
  CString display_name_, state_;
  int64_t version_ = 0;
  bool is_new_ = false;
  int64_t duplicate_of_ = 0, stored_duplicate_of_ = 0;
  AdActionDef* action_ = nullptr;
  std::map<CString, std::vector<CString>> values_, stored_;
  std::map<CString, std::pair<AdFieldUpdateCallback, void*>> callbacks_;
};

// A new record of a record type with its submit action in progress. `form` may be empty.
AdEntityPtr BuildEntity(const AdSessionPtr& session, AdEntityDef* def, const CString& form = CString());
// Starts an action on a stored record; reloads the record first. PaMsgException
// (KX_MSG_ACTION_NOT_ALLOWED) when the action does not belong to the record type, cannot start in
// the record's state, or another action is in progress.
void EditEntity(const AdEntityPtr& entity, const CString& action_name);
void EditEntity(const AdEntityPtr& entity, AdActionDef* action);
// Starts the duplicate (unduplicate) action, by name or the record type's first one of that type,
// and marks (clears) the record as a duplicate of `original`.
void MarkEntityAsDuplicate(const AdEntityPtr& entity, const AdEntityPtr& original, const CString& action_name = CString());
void UnmarkEntityAsDuplicate(const AdEntityPtr& entity, const CString& action_name = CString());

class AdEntityMgr : public KXObject {
 public:
  static KXSmartPtr<AdEntityMgr> Get(const AdSessionPtr& session);
  // For a family, each member record type in turn. `flag` is reserved.
  int LookupEntityByDbIdWithStatus(AdEntityDef* def, int64_t dbid, AdEntityPtr& out, CString& error, int flag);
  int LookupEntityWithStatus(AdEntityDef* def, const CString& display_name, AdEntityPtr& out, CString& error, int flag);
  BOOL EntityExists(AdEntityDef* def, const CString& display_name);

 private:
  explicit AdEntityMgr(const AdSessionPtr& s) : session_(s) {}
  AdSessionPtr session_;
};

// The record type, among `names` (families stand for their members; none: every record type) and
// of `kind` (1 stateless, 2 stateful, 3 either), that holds the record with that dbid or display
// name in the session's user database; null when none does.
AdEntityDef* GetEntityDefOfDbId(const AdSessionPtr& session, int64_t dbid, const std::vector<CString>& names, int kind);
AdEntityDef* GetEntityDefOfName(const AdSessionPtr& session, const CString& name, const std::vector<CString>& names, int kind);
