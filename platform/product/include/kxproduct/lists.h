// Dynamic lists as their maintainers change them: a pending copy of the members, written as one
// transaction. Reading and writing through this interface needs the dynamic-list privilege.
#pragma once
#include <cstdint>
#include <vector>

#include "kxproduct/metadata.h"

class AdDynamicList : public KXObject {
public:
    const CString &GetName() const { return name_; }
    int64_t GetDbId() const { return dbid_; }
    // The members as they will be written: the stored ones with the changes made so far.
    const std::vector<CString> &GetMembers() const { return pending_; }
    // Each change works on the pending members only. PaMsgException KX_MSG_BAD_VALUE for an empty
    // or repeated value, KX_MSG_ALREADY_EXISTS to add a member that is there, KX_MSG_NOT_FOUND to
    // delete one that is not.
    void SetMembers(const std::vector<CString> &values);
    void AddMember(const CString &value);
    void DeleteMember(const CString &value);
    // Writes the pending members in one transaction, replacing the stored ones; an interruption
    // leaves the stored list as it was. PaMsgException KX_MSG_RECORD_CHANGED when another session
    // changed the list since it was read, KX_MSG_NO_LIST_PRIVILEGE when the user no longer holds
    // the privilege, KX_MSG_COMMIT_FAILED when the store fails.
    void Commit();

private:
    friend class AdListMgr;
    AdDynamicList(const AdSessionPtr &session, int64_t dbid, const CString &name, std::vector<CString> stored);
    AdSessionPtr session_;
    int64_t dbid_;
    CString name_;
    std::vector<CString> stored_, pending_;
};

class AdListMgr : public KXObject {
public:
    // PaMsgException KX_MSG_NO_LIST_PRIVILEGE for a user without the dynamic-list privilege.
    static KXSmartPtr<AdListMgr> Get(const AdSessionPtr &session);
    // The list with its stored members; null when the set has no list of that name.
    KXSmartPtr<AdDynamicList> LookupList(const CString &name);

private:
    explicit AdListMgr(const AdSessionPtr &session) : session_(session) {}
    AdSessionPtr session_;
};
