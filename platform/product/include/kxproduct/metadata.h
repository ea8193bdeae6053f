// Schema of a database set as a session sees it: record types and families, fields, actions,
// hooks, forms and dynamic lists. These objects belong to the session and live as long as it.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "kxproduct/object.h"
#include "kxproduct/session.h"

class AdEntityDef;
class AdHookDef;

class AdDataObject : public KXObject {
public:
    AdDataObject(int64_t dbid, const CString &name) : dbid_(dbid), name_(name) {}
    int64_t GetDbId() const { return dbid_; }
    CString GetName() const { return name_; }

private:
    int64_t dbid_;
    CString name_;
};

// Field types.
enum AdFieldType : int {
    AD_SHORT_STRING = 1,
    AD_MULTILINE_STRING = 2,
    AD_INT = 3,
    AD_DATE_TIME = 4,
    AD_REFERENCE = 5,
    AD_REFERENCE_LIST = 6,
    AD_ATTACHMENT_LIST = 7,
    AD_ID = 8,
    AD_STATE = 9,
    AD_JOURNAL = 10,
    AD_DBID = 11,
    AD_STATETYPE = 12,
    AD_RECORD_TYPE = 13,
    AD_FLOAT = 14,
};
// Action types.
enum AdActionType : int {
    AD_ACTION_SUBMIT = 1,
    AD_ACTION_MODIFY = 2,
    AD_ACTION_CHANGE_STATE = 3,
    AD_ACTION_DUPLICATE = 4,
    AD_ACTION_UNDUPLICATE = 5,
    AD_ACTION_IMPORT = 6,
    AD_ACTION_DELETE = 7,
    AD_ACTION_BASE = 8,
    AD_ACTION_RECORD_SCRIPT_ALIAS = 9,
    AD_ACTION_COPY = 10,
};
// Field requiredness.
enum AdBehavior : int { AD_MANDATORY = 1, AD_OPTIONAL = 2, AD_READONLY = 3 };
// Record type kinds (a family answers the kind of its members).
enum AdEntityType : int { AD_STATEFUL = 1, AD_STATELESS = 2 };
// Hook kinds. Field hooks take 2 to 5; action, record and global hooks follow.
enum AdHookType : int {
    AD_HOOK_FIELD_DEFAULT_VALUE = 2,
    AD_HOOK_FIELD_CHOICE_LIST = 3,
    AD_HOOK_FIELD_VALUE_CHANGED = 4,
    AD_HOOK_FIELD_VALIDATION = 5,
    AD_HOOK_ACTION_INITIALIZATION = 6,
    AD_HOOK_ACTION_ACCESS_CONTROL = 7,
    AD_HOOK_ACTION_VALIDATION = 8,
    AD_HOOK_ACTION_COMMIT = 9,
    AD_HOOK_ACTION_NOTIFICATION = 10,
    AD_HOOK_RECORD_SCRIPT = 11,
    AD_HOOK_GLOBAL_SCRIPT = 12,
};
// Script languages of hooks; 0 for a hook without a language the product knows.
enum AdHookLanguage : int { AD_HOOK_LANGUAGE_UNKNOWN = 0, AD_HOOK_LANGUAGE_KX = 1, AD_HOOK_LANGUAGE_LUA = 5 };
// Form kinds: the record form and the form of the submit (and import) action.
enum AdFormType : int { AD_FORM_RECORD = 1, AD_FORM_SUBMIT = 2 };

class AdFieldDef : public AdDataObject {
public:
    AdFieldDef(int64_t dbid, const CString &name, int type, AdEntityDef *owner)
        : AdDataObject(dbid, name), type_(type), owner_(owner) {}
    int GetFieldType() const { return type_; }
    AdEntityDef *GetEntityDef() const { return owner_; }
    // The record type a reference field points at; null for other fields.
    AdEntityDef *GetReferenceEntityDef() const { return reference_; }
    CString GetDbName() const;
    BOOL IsSystemOwned() const { return system_; }
    int GetMaxLength() const { return max_length_; }
    CString GetHelpText() const { return help_; }
    // Name of the dynamic list that gives the field's choices; empty when none.
    CString GetChoiceListName() const { return choice_list_; }
    BOOL IsUniqueKey() const { return unique_key_; }
    int GetDefaultBehavior() const { return default_behavior_; }
    // A reference to a record type that can be a security context may name the record's context;
    // it does when that record type is one.
    BOOL CanBeSecurityContext() const;
    BOOL IsSecurityContext() const;
    // 0 no choices, 1 a closed list (a dynamic list or a choice-list hook); lists are never open here.
    int GetChoiceType() const;
    // 1 choices computed once per edit, 2 at each access (those of a choice-list hook).
    int GetChoiceCalculationMode() const;
    // The field's choice-list hook; null when it has none.
    AdHookDef *GetChoiceListHook() const;

private:
    friend struct SchemaLoader;
    int type_;
    AdEntityDef *owner_;
    AdEntityDef *reference_ = nullptr;
    bool system_ = false;
    bool unique_key_ = false;
    int max_length_ = 0;
    int default_behavior_ = AD_OPTIONAL;
    CString help_, choice_list_;
};

class AdFormDef;
class AdHookDef;

class AdActionDef : public AdDataObject {
public:
    AdActionDef(int64_t dbid, const CString &name, int type, AdEntityDef *owner)
        : AdDataObject(dbid, name), type_(type), owner_(owner) {}
    int GetActionType() const { return type_; }
    // "Submit", "Modify", ... for the action's type.
    CString GetActionTypeName() const;
    // The name of an action type; KXException KX_MSG_BAD_VALUE for a number that is none.
    static CString ActionTypeToName(int action_type);
    // The form the action opens with: the submit form for submit and import; null when none.
    AdFormDef *GetFormDef() const;
    AdEntityDef *GetEntityDef() const { return owner_; }
    BOOL IsReservedForSystemUseOnly() const { return system_only_; }
    // Empty when the action keeps the record's state.
    CString GetDestStateName() const { return dest_state_; }
    // States the action may start from; empty means any state.
    const std::vector<CString> &GetSourceStateNames() const { return sources_; }

private:
    friend struct SchemaLoader;
    int type_;
    AdEntityDef *owner_;
    bool system_only_ = false;
    CString dest_state_;
    std::vector<CString> sources_;
};

class AdHookDef : public AdDataObject {
public:
    AdHookDef(int64_t dbid, const CString &name, int type, AdEntityDef *owner)
        : AdDataObject(dbid, name), type_(type), owner_(owner) {}
    int GetHookType() const { return type_; }
    AdEntityDef *GetEntityDef() const { return owner_; }
    CString GetFieldName() const { return field_; }
    CString GetActionName() const { return action_; }
    CString GetLanguage() const { return language_; }
    // The language as a number (AdHookLanguage).
    int GetScriptLanguage() const;
    CString GetScript() const { return script_; }

private:
    friend struct SchemaLoader;
    int type_;
    AdEntityDef *owner_;
    CString field_, action_, language_, script_;
};

class AdFormDef : public AdDataObject {
public:
    AdFormDef(int64_t dbid, const CString &name, int type, AdEntityDef *owner)
        : AdDataObject(dbid, name), type_(type), owner_(owner) {}
    int GetFormType() const { return type_; }
    AdEntityDef *GetEntityDef() const { return owner_; }
    // The form's layout as stored (XML text of the definition document).
    CString GetDefinition() const { return definition_; }

private:
    friend struct SchemaLoader;
    int type_;
    AdEntityDef *owner_;
    CString definition_;
};

class AdListDef : public AdDataObject {
public:
    AdListDef(int64_t dbid, const CString &name) : AdDataObject(dbid, name) {}
    // A copy: the values are read again while other threads may be reading them.
    std::vector<CString> GetValues() const {
        std::lock_guard<std::mutex> lock(mu_);
        return values_;
    }

private:
    friend struct SchemaLoader;
    mutable std::mutex mu_;
    std::vector<CString> values_;
};

class AdEntityDef : public AdDataObject {
public:
    AdEntityDef(int64_t dbid, const CString &name, bool family, int type)
        : AdDataObject(dbid, name), family_(family), type_(type) {}
    BOOL IsFamily() const { return family_; }
    int GetType() const { return type_; }
    BOOL IsType(int type) const { return type_ == type; }
    AdIterator<AdEntityDef> GetFamilyMembers() const { return AdIterator<AdEntityDef>(members_); }
    AdIterator<AdFieldDef> GetFieldDefs() const;
    AdIterator<AdFieldDef> GetUniqueKeyFieldDefs() const;
    AdIterator<AdActionDef> GetActionDefs() const;
    AdIterator<AdFormDef> GetFormDefs() const;
    AdIterator<AdHookDef> GetHookDefs() const;
    const std::vector<CString> &GetStateNames() const { return states_; }
    // Families that hold this record type.
    AdIterator<AdEntityDef> GetParentFamilies() const;
    // The record form; null when the record type has none.
    AdFormDef *GetDefaultFormDef() const;
    // Record-level security: whether the record type may serve as a security context, and does.
    BOOL CanBeSecurityContext() const;
    BOOL IsSecurityContext() const { return security_context_; }
    // Null when there is none.
    AdFieldDef *LookupFieldDef(const CString &name) const;
    AdActionDef *LookupActionDef(const CString &name) const;
    // The first action of that type.
    AdActionDef *LookupActionDef(int action_type) const;
    AdFormDef *LookupFormDef(const CString &name) const;
    AdHookDef *LookupHookDef(const CString &name) const;
    // Throws KXException (KX_MSG_NOT_FOUND) when there is no such field.
    AdFieldDef *GetFieldDef(const CString &name) const;
    // Requiredness of a field in a state (empty: none yet) during an action (null: none).
    int GetBehavior(const AdFieldDef *field, const CString &state, const AdActionDef *action) const;

private:
    friend struct SchemaLoader;
    struct Behavior {
        int64_t field, state, action; // 0 matches any state or action
        CString state_name;
        int value;
    };
    bool family_;
    int type_;
    bool security_context_ = false;
    std::vector<AdEntityDef *> members_, families_;
    std::vector<KXSmartPtr<AdFieldDef>> fields_;
    std::vector<KXSmartPtr<AdActionDef>> actions_;
    std::vector<KXSmartPtr<AdFormDef>> forms_;
    std::vector<KXSmartPtr<AdHookDef>> hooks_;
    std::vector<CString> states_;
    std::vector<Behavior> behaviors_;
};

// A counted handle on a record type, as the server holds record types.
class KXEntityDef : public KXObject {
public:
    static KXSmartPtr<KXEntityDef> Build(AdEntityDef *def);
    AdEntityDef *GetReal() const { return def_.get(); }
    CString GetName() const { return def_ ? def_->GetName() : CString(); }

private:
    explicit KXEntityDef(AdEntityDef *def) : def_(def) {}
    KXSmartPtr<AdEntityDef> def_;
};

// Record types and families by name or dbid; null when there is none.
AdEntityDef *LookupEntityDefOrFamily(const AdSessionPtr &session, const CString &name);
AdEntityDef *LookupEntityDef(const AdSessionPtr &session, const CString &name);
AdEntityDef *GetEntityDefOrFamilyById(const AdSessionPtr &session, int64_t dbid);
AdIterator<AdEntityDef> GetEntityDefsAndFamilies(const AdSessionPtr &session);
// The record history as a stateless record type of its own ("history"): one record per action
// committed on a record, readable through queries. Its fields are named by the constants below.
AdEntityDef *GetHistoryEntityDef(const AdSessionPtr &session);
extern const wchar_t *const kHistoryActionTimestamp; // date-time of the commit
extern const wchar_t *const kHistoryEntityDbId;      // dbid of the record
extern const wchar_t *const kHistoryEntityDefDbId;   // dbid of the record's record type
extern const wchar_t *const kHistoryActionName;      // name of the action committed
extern const wchar_t *const kHistoryUserName;        // login of the user who committed it
// Dynamic lists; values are read from the store at each call.
AdListDef *LookupListDef(const AdSessionPtr &session, const CString &name);
AdIterator<AdListDef> GetListDefs(const AdSessionPtr &session);

// The schema as one object of the session.
class AdMetadataMgr : public KXObject {
public:
    static KXSmartPtr<AdMetadataMgr> Get(const AdSessionPtr &session);
    // Record types first, then families, each in definition order.
    AdIterator<AdEntityDef> GetEntityDefsAndFamilies() const;

private:
    explicit AdMetadataMgr(const AdSessionPtr &session) : session_(session) {}
    AdSessionPtr session_;
};
