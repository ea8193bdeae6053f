// Full-text search over the FTS5 index `record_text`, which every commit keeps current.
#include "kxproduct/textsearch.h"

#include <cctype>
#include <cmath>
#include <limits>

#include "core.h"
#include "kxproduct/faults.h"

using namespace kxp;

namespace {

SessionCore &logged_on(const AdSessionPtr &real, const char *op) {
    if (!real) throw_kx(KX_MSG_SESSION_ENDED, L"The session is not logged on.", op);
    return live(real, op);
}

void add_concrete(AdEntityDef *d, std::vector<int64_t> &out) {
    if (!d->IsFamily()) {
        out.push_back(d->GetDbId());
        return;
    }
    AdIterator<AdEntityDef> members = d->GetFamilyMembers();
    for (int i = 0; i < members.GetLength(); ++i) out.push_back(members.GetItem(i)->GetDbId());
}

// Record types the definition searches; empty: all.
std::vector<int64_t> searched_types(SessionCore &c, const KXTextSearchDef &def, const char *op) {
    std::vector<int64_t> out;
    if (def.GetKind() == KX_TEXT_SEARCH_CHOICE_LIST) {
        const AdEntityPtr &record = def.GetChoiceListRecord();
        AdFieldDef *field = record ? record->GetEntityDef()->LookupFieldDef(def.GetChoiceListField()) : nullptr;
        if (!field || !field->GetReferenceEntityDef())
            throw_kx(KX_MSG_BAD_VALUE, L"A choice-list search needs a reference field of its record.", op);
        add_concrete(field->GetReferenceEntityDef(), out);
        return out;
    }
    for (const CString &name : def.GetRecordTypes()) {
        AdEntityDef *d = c.schema->find(name);
        if (!d) throw new PaMsgException(KX_MSG_NOT_FOUND, L"Record type '" + name + L"' does not exist.");
        add_concrete(d, out);
    }
    return out;
}

// The text of a display field of a record: system fields from the record row, others from the
// stored values (a list's values joined by new lines).
CString field_text(SessionCore &c, AdFieldDef *f, int64_t record, const CString &display, int64_t state) {
    switch (f->GetFieldType()) {
    case AD_DBID:
        return w(std::to_string(record));
    case AD_ID:
        return display;
    case AD_STATE: {
        auto it = c.schema->state_names.find(state);
        return it == c.schema->state_names.end() ? CString() : it->second;
    }
    default:
        break;
    }
    Stmt s(c.db->handle(), "SELECT value FROM field_values WHERE record_dbid=? AND field_dbid=? ORDER BY position");
    s.bind(1, record).bind(2, f->GetDbId());
    std::string text;
    for (bool first = true; s.step(); first = false) text += (first ? "" : "\n") + s.text(0);
    return w(text);
}

// Refuses search text past the definition's bounds before the index parses it.
void bound_search_text(const std::string &text) {
    if (text.size() > static_cast<size_t>(KXTextSearchDef::kMaxSearchBytes))
        throw new PaMsgException(KX_MSG_BAD_SEARCH, L"The search string is longer than " +
                                                        w(std::to_string(KXTextSearchDef::kMaxSearchBytes)) +
                                                        L" bytes.");
    int terms = 0;
    bool in_term = false;
    for (unsigned char ch : text) {
        bool part = std::isalnum(ch) || ch == '_' || ch >= 0x80;
        if (part && !in_term) ++terms;
        in_term = part;
    }
    if (terms > KXTextSearchDef::kMaxSearchTerms)
        throw new PaMsgException(KX_MSG_BAD_SEARCH, L"The search string has more than " +
                                                        w(std::to_string(KXTextSearchDef::kMaxSearchTerms)) +
                                                        L" terms.");
}

int score_of(double bm25) {
    double v = std::round(-bm25 * 1000.0);
    if (!(v > std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
    if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    return static_cast<int>(v);
}

} // namespace

void KXTextSearchDef::SetChoiceListFilter(const AdEntityPtr &record, const CString &field_name) {
    KXFaultInjector::Enter("KXTextSearchDef::SetChoiceListFilter");
    record_ = record;
    field_ = field_name;
}

BOOL KXSession::IsTextSearchEnabled() const {
    const char *op = "KXSession::IsTextSearchEnabled";
    KXFaultInjector::Enter(op);
    SessionCore &c = logged_on(real_, op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    // A set may switch its search off with meta key "fulltext_enabled" = "0".
    return guarded(op, [&] {
        Stmt s(c.db->handle(), "SELECT value FROM meta WHERE key='fulltext_enabled'");
        return !s.step() || s.text(0) != "0";
    });
}

KXSmartPtr<KXTextSearchDef> KXSession::BuildTextSearchDef(int kind) const {
    const char *op = "KXSession::BuildTextSearchDef";
    KXFaultInjector::Enter(op);
    logged_on(real_, op);
    if (kind != KX_TEXT_SEARCH_RECORDS && kind != KX_TEXT_SEARCH_CHOICE_LIST)
        throw_kx(KX_MSG_BAD_VALUE, L"Unknown search kind.", op);
    return KXSmartPtr<KXTextSearchDef>(new KXTextSearchDef(kind));
}

KXSmartPtr<KXTextSearchResult> KXSession::BuildTextSearchResult(const KXSmartPtr<KXTextSearchDef> &def) const {
    const char *op = "KXSession::BuildTextSearchResult";
    KXFaultInjector::Enter(op);
    logged_on(real_, op);
    if (!def) throw_kx(KX_MSG_BAD_VALUE, L"No search definition.", op);
    return KXSmartPtr<KXTextSearchResult>(new KXTextSearchResult(real_, def));
}

KXSmartPtr<AdEntity> KXSession::GetEntityByDbId(const CString &entity_def_name, int64_t dbid) const {
    const char *op = "KXSession::GetEntityByDbId";
    KXFaultInjector::Enter(op);
    logged_on(real_, op);
    AdEntityDef *def = LookupEntityDefOrFamily(real_, entity_def_name);
    if (!def) throw new PaMsgException(KX_MSG_NOT_FOUND, L"Record type '" + entity_def_name + L"' does not exist.");
    AdEntityPtr record;
    CString error;
    int status = AdEntityMgr::Get(real_)->LookupEntityByDbIdWithStatus(def, dbid, record, error, 1);
    if (status != AD_LOOKUP_FOUND || !record)
        throw new PaMsgException(KX_MSG_NOT_FOUND, error.IsEmpty() ? CString(L"The record does not exist.") : error);
    return record;
}

AdEntityDef *KXSession::GetEntityDef(const CString &name) const {
    const char *op = "KXSession::GetEntityDef";
    KXFaultInjector::Enter(op);
    return LookupEntityDefOrFamily(real_, name);
}

int KXTextSearchHit::GetVersion() const {
    const char *op = "KXTextSearchHit::GetVersion";
    KXFaultInjector::Enter(op);
    SessionCore &c = live(session_, op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded(op, [&] {
        Stmt s(c.db->handle(), "SELECT version FROM records WHERE dbid=?");
        s.bind(1, d_.dbid);
        return s.step() ? s.integer(0) : 0;
    });
}

void KXTextSearchResult::SetPageSize(int n) { page_size_ = n < 1 ? 1 : n > kMaxPageSize ? kMaxPageSize : n; }

size_t KXTextSearchHit::GetHeldBytes() const {
    return heap_bytes(sizeof(*this)) + held_bytes(d_.entity_def_name) + held_bytes(d_.display_name) +
           held_bytes(d_.field_names) + held_bytes(d_.field_values);
}

size_t KXTextSearchHits::GetHeldBytes() const {
    size_t n = heap_bytes(sizeof(*this)) + heap_bytes(hits_.capacity() * sizeof(KXTextSearchHitPtr));
    for (const auto &hit : hits_)
        if (hit) n += hit->GetHeldBytes();
    return n;
}

size_t KXTextSearchResult::GetHeldBytes() const {
    KXFaultInjector::Enter("KXTextSearchResult::GetHeldBytes");
    size_t n =
        heap_bytes(sizeof(*this)) + held_bytes(display_) + held_bytes(expanded_) + (hits_ ? hits_->GetHeldBytes() : 0);
    if (def_)
        n += heap_bytes(sizeof(KXTextSearchDef)) + held_bytes(def_->GetSearchString()) +
             held_bytes(def_->GetRecordTypes()) + held_bytes(def_->GetChoiceListField());
    return n;
}

void KXTextSearchResult::Execute() {
    const char *op = "KXTextSearchResult::Execute";
    KXFaultInjector::Enter(op);
    SessionCore &c = live(session_, op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    std::vector<int64_t> types = searched_types(c, *def_, op);
    std::string where =
        " FROM record_text t JOIN records r ON r.dbid=t.record_dbid WHERE record_text MATCH ? AND r.database_dbid=?";
    if (!types.empty()) {
        where += " AND r.entity_def_dbid IN (";
        for (size_t i = 0; i < types.size(); ++i) where += i ? ",?" : "?";
        where += ")";
    }
    std::string text = u8(def_->GetSearchString());
    bound_search_text(text);
    auto bind_all = [&](Stmt &s) {
        s.bind(1, text).bind(2, c.database_dbid);
        for (size_t i = 0; i < types.size(); ++i) s.bind(static_cast<int>(i) + 3, types[i]);
    };
    std::vector<KXTextSearchHitPtr> hits;
    try {
        Stmt count(c.db->handle(), "SELECT count(*)" + where);
        bind_all(count);
        total_ = count.step() ? count.integer(0) : 0;
        Stmt page(c.db->handle(),
                  "SELECT r.dbid, r.entity_def_dbid, r.display_name, r.version, r.state_dbid, bm25(record_text)" +
                      where + " ORDER BY bm25(record_text), r.dbid LIMIT ? OFFSET ?");
        bind_all(page);
        int n = static_cast<int>(types.size()) + 3;
        page.bind(n, page_size_).bind(n + 1, static_cast<int64_t>(page_ - 1) * page_size_);
        while (page.step()) {
            KXTextSearchHit::Data d;
            d.dbid = page.int64(0);
            auto def = c.schema->by_dbid.find(page.int64(1));
            if (def == c.schema->by_dbid.end()) continue;
            d.entity_def_name = def->second->GetName();
            d.display_name = w(page.text(2));
            d.indexed_version = page.integer(3);
            d.score = score_of(std::strtod(page.text(5).c_str(), nullptr));
            for (const CString &name : display_) {
                AdFieldDef *f = def->second->LookupFieldDef(name);
                if (!f) continue;
                d.field_names.push_back(name);
                d.field_values.push_back(field_text(c, f, d.dbid, d.display_name, page.is_null(4) ? 0 : page.int64(4)));
            }
            hits.push_back(KXTextSearchHitPtr(new KXTextSearchHit(session_, std::move(d))));
        }
    } catch (const StoreError &e) {
        // FTS5 reports a query it cannot parse as a plain SQLITE_ERROR; busy or broken stores have codes of their own.
        if ((e.code & 0xff) == SQLITE_ERROR)
            throw new PaMsgException(KX_MSG_BAD_SEARCH, L"The search string cannot be used: " + w(e.text));
        throw_kx(KX_MSG_COMMIT_FAILED, w(e.text), op);
    }
    expanded_ = def_->GetSearchString();
    hits_ = KXSmartPtr<KXTextSearchHits>(new KXTextSearchHits(std::move(hits)));
}
