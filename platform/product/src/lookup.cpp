// Which record type holds a record, among a list of record types; the metadata manager.
#include <algorithm>

#include "core.h"
#include "kxproduct/entity.h"
#include "kxproduct/faults.h"

using namespace kxp;

namespace {

// The concrete record types named by `names` (families by their members) that are of `kind`.
std::vector<AdEntityDef *> candidates(SessionCore &c, const std::vector<CString> &names, int kind, const char *op) {
    if (kind < 1 || kind > 3) throw_kx(KX_MSG_BAD_VALUE, L"Unknown record-type kind.", op);
    std::vector<AdEntityDef *> named;
    if (names.empty()) {
        for (const auto &d : c.schema->defs)
            if (!d->IsFamily()) named.push_back(d.get());
    }
    for (const CString &name : names) {
        AdEntityDef *d = c.schema->find(name);
        if (!d) throw new PaMsgException(KX_MSG_NOT_FOUND, L"Record type '" + name + L"' does not exist.");
        if (!d->IsFamily()) named.push_back(d);
        AdIterator<AdEntityDef> members = d->GetFamilyMembers();
        for (int i = 0; d->IsFamily() && i < members.GetLength(); ++i) named.push_back(members.GetItem(i));
    }
    std::vector<AdEntityDef *> out;
    for (AdEntityDef *d : named)
        if ((kind == 3 || d->GetType() == kind) && std::find(out.begin(), out.end(), d) == out.end()) out.push_back(d);
    return out;
}

} // namespace

AdEntityDef *GetEntityDefOfDbId(const AdSessionPtr &session, int64_t dbid, const std::vector<CString> &names,
                                int kind) {
    const char *op = "GetEntityDefOfDbId";
    KXFaultInjector::Enter(op);
    SessionCore &c = live(session, op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    auto types = candidates(c, names, kind, op);
    auto type = guarded(op, [&] {
        Stmt s(c.db->handle(), "SELECT entity_def_dbid FROM records WHERE dbid=? AND database_dbid=?");
        s.bind(1, dbid).bind(2, c.database_dbid);
        return s.step() ? s.int64(0) : int64_t{0};
    });
    for (AdEntityDef *d : types)
        if (d->GetDbId() == type) return d;
    return nullptr;
}

AdEntityDef *GetEntityDefOfName(const AdSessionPtr &session, const CString &name, const std::vector<CString> &names,
                                int kind) {
    const char *op = "GetEntityDefOfName";
    KXFaultInjector::Enter(op);
    SessionCore &c = live(session, op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    for (AdEntityDef *d : candidates(c, names, kind, op)) {
        bool found = guarded(op, [&] {
            Stmt s(c.db->handle(),
                   "SELECT 1 FROM records WHERE entity_def_dbid=? AND database_dbid=? AND display_name=?");
            s.bind(1, d->GetDbId()).bind(2, c.database_dbid).bind(3, u8(name));
            return s.step();
        });
        if (found) return d;
    }
    return nullptr;
}

KXSmartPtr<AdMetadataMgr> AdMetadataMgr::Get(const AdSessionPtr &session) {
    KXFaultInjector::Enter("AdMetadataMgr::Get");
    live(session, "AdMetadataMgr::Get");
    return KXSmartPtr<AdMetadataMgr>(new AdMetadataMgr(session));
}

AdIterator<AdEntityDef> AdMetadataMgr::GetEntityDefsAndFamilies() const {
    KXFaultInjector::Enter("AdMetadataMgr::GetEntityDefsAndFamilies");
    return ::GetEntityDefsAndFamilies(session_);
}
