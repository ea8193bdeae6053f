#include "kxproduct/lists.h"

#include <algorithm>

#include "core.h"
#include "kxproduct/diag.h"
#include "kxproduct/faults.h"
#include "kxproduct/session.h"
#include "store_failures.h"

using namespace kxp;

namespace {

[[noreturn]] void refuse(int msg_id, const CString &text) { throw new PaMsgException(msg_id, text); }

// The privilege as the store holds it now, not as it was at logon.
bool may_maintain_lists(Db &db, int64_t user) {
    Stmt s(db.handle(), "SELECT privileges FROM users WHERE dbid=?");
    s.bind(1, user);
    return s.step() && (s.int64(0) & (PRIV_SUPER_USER | PRIV_DYNAMIC_LIST_ADMIN)) != 0;
}

std::vector<CString> stored_members(Db &db, int64_t list) {
    Stmt s(db.handle(), "SELECT value FROM list_values WHERE list_dbid=? ORDER BY position");
    s.bind(1, list);
    std::vector<CString> out;
    while (s.step()) out.push_back(w(s.text(0)));
    return out;
}

void check_value(const CString &value) {
    if (value.IsEmpty()) refuse(KX_MSG_BAD_VALUE, L"A list member cannot be empty.");
}

} // namespace

KXSmartPtr<AdListMgr> AdListMgr::Get(const AdSessionPtr &session) {
    KXFaultInjector::Enter("AdListMgr::Get");
    SessionCore &c = live(session, "AdListMgr::Get");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    if (!guarded("AdListMgr::Get", [&] { return may_maintain_lists(*c.db, c.user_dbid); }))
        refuse(KX_MSG_NO_LIST_PRIVILEGE, L"User '" + c.login + L"' may not maintain dynamic lists.");
    return KXSmartPtr<AdListMgr>(new AdListMgr(session));
}

KXSmartPtr<AdDynamicList> AdListMgr::LookupList(const CString &name) {
    KXFaultInjector::Enter("AdListMgr::LookupList");
    SessionCore &c = live(session_, "AdListMgr::LookupList");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdListMgr::LookupList", [&]() -> KXSmartPtr<AdDynamicList> {
        Stmt s(c.db->handle(), "SELECT dbid FROM list_defs WHERE name=?");
        s.bind(1, u8(name));
        if (!s.step()) return KXSmartPtr<AdDynamicList>();
        int64_t dbid = s.int64(0);
        return KXSmartPtr<AdDynamicList>(new AdDynamicList(session_, dbid, name, stored_members(*c.db, dbid)));
    });
}

AdDynamicList::AdDynamicList(const AdSessionPtr &session, int64_t dbid, const CString &name,
                             std::vector<CString> stored)
    : session_(session), dbid_(dbid), name_(name), stored_(std::move(stored)), pending_(stored_) {}

void AdDynamicList::SetMembers(const std::vector<CString> &values) {
    KXFaultInjector::Enter("AdDynamicList::SetMembers");
    for (std::size_t i = 0; i < values.size(); ++i) {
        check_value(values[i]);
        if (std::find(values.begin(), values.begin() + i, values[i]) != values.begin() + i)
            refuse(KX_MSG_BAD_VALUE, L"'" + values[i] + L"' is given twice.");
    }
    pending_ = values;
}

void AdDynamicList::AddMember(const CString &value) {
    KXFaultInjector::Enter("AdDynamicList::AddMember");
    check_value(value);
    if (std::find(pending_.begin(), pending_.end(), value) != pending_.end())
        refuse(KX_MSG_ALREADY_EXISTS, L"List '" + name_ + L"' already holds '" + value + L"'.");
    pending_.push_back(value);
}

void AdDynamicList::DeleteMember(const CString &value) {
    KXFaultInjector::Enter("AdDynamicList::DeleteMember");
    auto it = std::find(pending_.begin(), pending_.end(), value);
    if (it == pending_.end()) refuse(KX_MSG_NOT_FOUND, L"List '" + name_ + L"' holds no '" + value + L"'.");
    pending_.erase(it);
}

void AdDynamicList::Commit() {
    KXFaultInjector::Enter("AdDynamicList::Commit");
    SessionCore &c = live(session_, "AdDynamicList::Commit");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    try {
        Txn txn(*c.db);
        if (!may_maintain_lists(*c.db, c.user_dbid))
            refuse(KX_MSG_NO_LIST_PRIVILEGE, L"User '" + c.login + L"' may not maintain dynamic lists.");
        if (stored_members(*c.db, dbid_) != stored_)
            refuse(KX_MSG_RECORD_CHANGED, L"List '" + name_ + L"' was changed by another session.");
        DbHandle h = c.db->handle();
        Stmt(h, "DELETE FROM list_values WHERE list_dbid=?").bind(1, dbid_).step();
        // A test can make the store fail here, with the old members gone and no new ones written.
        KXFaultInjector::Enter("AdDynamicList::Commit:store");
        int position = 0;
        for (const CString &v : pending_)
            Stmt(h, "INSERT INTO list_values(list_dbid, position, value) VALUES(?,?,?)")
                .bind(1, dbid_)
                .bind(2, position++)
                .bind(3, u8(v))
                .step();
        txn.commit();
    } catch (const StoreError &e) {
        report_store_failure("list " + u8(name_), e);
        refuse(KX_MSG_COMMIT_FAILED, L"List '" + name_ + L"' could not be stored.");
    }
    stored_ = pending_;
}
