#include "kxproduct/entity.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include "kxproduct/diag.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <set>

#include "attach_pending.h"
#include "core.h"
#include "kxproduct/datetime.h"
#include "kxproduct/faults.h"
#include "store_failures.h"

using namespace kxp;

namespace {

[[noreturn]] void not_allowed(const CString &text) { throw new PaMsgException(KX_MSG_ACTION_NOT_ALLOWED, text); }
// A commit that writes nothing; the record stays editable with its values.
[[noreturn]] void commit_failed(int msg_id, const CString &text) { throw new PaMsgException(msg_id, text); }
[[noreturn]] void changed_elsewhere(const CString &name) {
    commit_failed(KX_MSG_RECORD_CHANGED, L"Record '" + name + L"' was changed by another session.");
}

} // namespace

namespace kxp {

const wchar_t *const kDateForm = L"%Y-%m-%d %H:%M:%S";

CString utc_to_local(const CString &utc) {
    AdDateTime d;
    return d.ParseDateTimeGMT(utc) ? d.Format(kDateForm) : utc;
}
CString local_to_utc(const CString &local) {
    AdDateTime d;
    return d.ParseDateTime(local) ? d.FormatGMT(kDateForm) : local;
}

std::vector<int64_t> concrete_types(AdEntityDef *def) {
    std::vector<int64_t> out;
    if (def->IsFamily()) {
        auto members = def->GetFamilyMembers();
        for (int i = 0; i < members.GetLength(); ++i) out.push_back(members.GetItem(i)->GetDbId());
    } else {
        out.push_back(def->GetDbId());
    }
    return out;
}

} // namespace kxp

CString AdFieldInfo::GetValue() const {
    CString s;
    for (size_t i = 0; i < values_.size(); ++i) {
        if (i) s += L'\n';
        s += values_[i];
    }
    return s;
}

namespace kxp {

FieldValues::FieldValues(const std::vector<CString> &values) {
    if (values.empty()) return;
    auto texts = std::make_shared<std::vector<std::string>>();
    texts->reserve(values.size());
    for (const CString &v : values) texts->push_back(v.ToUtf8());
    values_ = std::move(texts);
}

std::vector<CString> FieldValues::wide() const {
    std::vector<CString> out;
    if (!values_) return out;
    out.reserve(values_->size());
    for (const std::string &v : *values_) out.push_back(CString::FromUtf8(v));
    return out;
}

const std::vector<std::string> &FieldValues::utf8() const {
    static const std::vector<std::string> kNone;
    return values_ ? *values_ : kNone;
}

CString FieldValues::front() const { return empty() ? CString() : CString::FromUtf8(values_->front()); }

bool FieldValues::contains(const CString &value) const {
    const std::vector<std::string> &texts = utf8();
    return std::find(texts.begin(), texts.end(), value.ToUtf8()) != texts.end();
}

void FieldValues::push_back(const CString &value) {
    auto texts =
        values_ ? std::make_shared<std::vector<std::string>>(*values_) : std::make_shared<std::vector<std::string>>();
    texts->push_back(value.ToUtf8());
    values_ = std::move(texts);
}

bool FieldValues::operator==(const FieldValues &other) const {
    return values_ == other.values_ || utf8() == other.utf8();
}

size_t FieldValues::held_bytes() const {
    if (!values_) return 0;
    return heap_bytes(sizeof(std::vector<std::string>) + 2 * sizeof(void *)) + kxp::held_bytes(*values_);
}

} // namespace kxp

struct EntityOps {
    static void load(AdEntity &e, SessionCore &c) {
        Stmt r(c.db->handle(),
               "SELECT database_dbid, display_name, state_dbid, version, duplicate_of FROM records WHERE dbid=?");
        r.bind(1, e.GetDbId());
        if (!r.step()) throw_kx(KX_MSG_NOT_FOUND, L"The record no longer exists.", "AdEntity::load");
        e.database_ = r.int64(0);
        e.display_name_ = w(r.text(1));
        e.state_.Empty();
        if (!r.is_null(2)) {
            auto st = c.schema->state_names.find(r.int64(2));
            if (st != c.schema->state_names.end()) e.state_ = st->second;
        }
        e.version_ = r.int64(3);
        e.duplicate_of_ = e.stored_duplicate_of_ = r.is_null(4) ? 0 : r.int64(4);
        std::map<int64_t, const AdFieldDef *> fields;
        auto defs = e.def_->GetFieldDefs();
        for (int i = 0; i < defs.GetLength(); ++i) fields[defs.GetItem(i)->GetDbId()] = defs.GetItem(i);
        e.stored_.clear();
        Stmt v(c.db->handle(),
               "SELECT field_dbid, value FROM field_values WHERE record_dbid=? ORDER BY field_dbid, position");
        v.bind(1, e.GetDbId());
        while (v.step()) {
            auto it = fields.find(v.int64(0));
            if (it == fields.end()) continue;
            CString value = w(v.text(1));
            if (it->second->GetFieldType() == AD_DATE_TIME) value = utc_to_local(value);
            e.stored_[it->second->GetName()].push_back(value);
        }
        if (!e.state_.IsEmpty()) e.stored_[L"State"] = {e.state_};
        AttachmentOps::read_entries(e, c, e.stored_);
        e.values_ = e.stored_;
        e.is_new_ = false;
    }

    // Adds or deletes one value of a reference-list field; an error text as SetFieldValue gives.
    static CString edit_list(AdEntity &e, const CString &name, const CString &value, bool add, const char *op) {
        SessionCore &c = live(e.session_, op);
        std::unique_lock<std::recursive_mutex> lock(c.mu);
        AdFieldDef *f = e.def_->LookupFieldDef(name);
        if (f && f->GetFieldType() != AD_REFERENCE_LIST) return L"Field '" + name + L"' takes one value.";
        auto it = e.values_.find(name);
        std::vector<CString> v = it == e.values_.end() ? std::vector<CString>() : it->second.wide();
        auto pos = std::find(v.begin(), v.end(), value);
        if (add) {
            if (value.IsEmpty() || pos != v.end()) return CString();
            v.push_back(value);
        } else {
            if (pos == v.end()) return L"Field '" + name + L"' has no value '" + value + L"'.";
            v.erase(pos);
        }
        // set_values runs the field's update callback, which must not run under the session lock.
        lock.unlock();
        return e.set_values(name, v, op);
    }

    static AdEntityPtr make(const AdSessionPtr &s, AdEntityDef *def, int64_t dbid) {
        return AdEntityPtr(new AdEntity(s, def, dbid));
    }

    static AdEntityDef *def_of(SessionCore &c, int64_t type_dbid) {
        auto it = c.schema->by_dbid.find(type_dbid);
        return it == c.schema->by_dbid.end() ? nullptr : it->second;
    }

    static void start(AdEntity &e, AdActionDef *action) {
        if (!action || action->GetEntityDef() != e.def_)
            not_allowed(L"The action does not belong to record type '" + e.def_->GetName() + L"'.");
        if (e.action_) not_allowed(L"Another action is in progress on '" + e.display_name_ + L"'.");
        int t = action->GetActionType();
        if (t == AD_ACTION_SUBMIT || t == AD_ACTION_IMPORT || t == AD_ACTION_BASE ||
            t == AD_ACTION_RECORD_SCRIPT_ALIAS || t == AD_ACTION_COPY)
            not_allowed(L"Action '" + action->GetName() + L"' cannot be started on a stored record.");
        const auto &from = action->GetSourceStateNames();
        if (!from.empty() && std::find(from.begin(), from.end(), e.state_) == from.end())
            not_allowed(L"Action '" + action->GetName() + L"' is not allowed in state '" + e.state_ + L"'.");
        e.action_ = action;
        e.reset_tracking();
    }
};

AdEntity::AdEntity(const AdSessionPtr &session, AdEntityDef *def, int64_t dbid)
    : AdDataObject(dbid, CString()), session_(session), def_(def) {}
AdEntity::~AdEntity() = default;

AdFieldInfo AdEntity::info(const AdFieldDef *f) const {
    AdFieldInfo i;
    i.name_ = f->GetName();
    i.type_ = f->GetFieldType();
    auto it = values_.find(f->GetName());
    if (it != values_.end()) i.values_ = it->second.wide();
    i.requiredness_ = f->IsSystemOwned() ? AD_READONLY : def_->GetBehavior(f, state_, action_);
    i.message_ = action_ ? check(f, i.values_) : CString();
    auto st = stored_.find(f->GetName());
    std::vector<CString> before = st == stored_.end() ? std::vector<CString>() : st->second.wide();
    i.changed_action_ = action_ && before != i.values_;
    // Validity can only have changed where the value did; that spares the checks of unchanged fields.
    if (i.changed_action_) i.validity_changed_action_ = check(f, before).IsEmpty() != i.message_.IsEmpty();
    const std::vector<CString> group = group_start(f->GetName());
    i.changed_group_ = action_ && group != i.values_;
    if (i.changed_group_) i.validity_changed_group_ = check(f, group).IsEmpty() != i.message_.IsEmpty();
    return i;
}

std::vector<CString> AdEntity::group_start(const CString &name) const {
    const auto &from = group_begun_ ? group_start_ : stored_;
    auto it = from.find(name);
    return it == from.end() ? std::vector<CString>() : it->second.wide();
}

void AdEntity::reset_tracking() {
    set_this_action_.clear();
    group_start_.clear();
    group_begun_ = false;
    last_set_.clear();
}

CString AdEntity::check(const AdFieldDef *f, const std::vector<CString> &values) const {
    if (f->IsSystemOwned()) return CString();
    int req = def_->GetBehavior(f, state_, action_);
    bool empty = values.empty() || (values.size() == 1 && values[0].IsEmpty());
    CString name = f->GetName();
    if (empty) return req == AD_MANDATORY ? L"Field '" + name + L"' is mandatory." : CString();
    SessionCore &c = session_->core();
    for (const CString &v : values) {
        switch (f->GetFieldType()) {
        case AD_INT: {
            wchar_t *end = nullptr;
            std::wcstoll(v.GetString(), &end, 10);
            if (v.IsEmpty() || *end) return L"Field '" + name + L"' needs a whole number: '" + v + L"'.";
            break;
        }
        case AD_FLOAT: {
            wchar_t *end = nullptr;
            std::wcstod(v.GetString(), &end);
            if (v.IsEmpty() || *end) return L"Field '" + name + L"' needs a number: '" + v + L"'.";
            break;
        }
        case AD_DATE_TIME: {
            AdDateTime d;
            if (!d.ParseDateTime(v)) return L"Field '" + name + L"' needs a date: '" + v + L"'.";
            break;
        }
        case AD_SHORT_STRING:
            if (f->GetMaxLength() > 0 && v.GetLength() > f->GetMaxLength()) {
                CString t;
                t.Format(L"Field '%s' holds at most %d characters.", name.GetString(), f->GetMaxLength());
                return t;
            }
            if (!f->GetChoiceListName().IsEmpty()) {
                for (auto &l : c.schema->lists) {
                    if (l->GetName() != f->GetChoiceListName()) continue;
                    guarded("AdEntity::check", [&] { refresh_list_values(*c.db, l.get()); });
                    const auto &allowed = l->GetValues();
                    if (std::find(allowed.begin(), allowed.end(), v) == allowed.end())
                        return L"'" + v + L"' is not a choice of field '" + name + L"'.";
                }
            }
            break;
        case AD_REFERENCE:
        case AD_REFERENCE_LIST: {
            AdEntityDef *ref = f->GetReferenceEntityDef();
            bool found = false;
            if (ref) {
                for (int64_t t : concrete_types(ref)) {
                    found = guarded("AdEntity::check", [&] {
                        Stmt s(c.db->handle(),
                               "SELECT 1 FROM records WHERE entity_def_dbid=? AND database_dbid=? AND display_name=?");
                        s.bind(1, t).bind(2, database_).bind(3, u8(v));
                        return s.step();
                    });
                    if (found) break;
                }
            }
            if (!found) return L"Field '" + name + L"' refers to no record '" + v + L"'.";
            break;
        }
        default:
            break;
        }
    }
    return CString();
}

int AdEntity::GetType() const {
    KXFaultInjector::Enter("AdEntity::GetType");
    return def_->GetType();
}

CString AdEntity::GetDisplayName() const {
    KXFaultInjector::Enter("AdEntity::GetDisplayName");
    if (!action_ || def_->GetType() != AD_STATELESS) return display_name_;
    SessionCore &c = session_->core();
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    auto keys = def_->GetUniqueKeyFieldDefs();
    CString key = keys.GetLength() ? first_value(keys.GetItem(0)->GetName()) : CString();
    return key.IsEmpty() ? display_name_ : key;
}

CString AdEntity::first_value(const CString &name) const {
    auto it = values_.find(name);
    return it == values_.end() ? CString() : it->second.front();
}

AdFieldInfo AdEntity::GetFieldValue(const CString &name) const {
    KXFaultInjector::Enter("AdEntity::GetFieldValue");
    SessionCore &c = live(session_, "AdEntity::GetFieldValue");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return info(def_->GetFieldDef(name));
}

CString AdEntity::SetFieldValue(const CString &name, const CString &value) {
    if (auto f = KXFaultInjector::Enter("AdEntity::SetFieldValue", KXFaultInjector::kText)) return f->text;
    return set_values(name, value.IsEmpty() ? std::vector<CString>() : std::vector<CString>{value},
                      "AdEntity::SetFieldValue");
}

CString AdEntity::SetFieldValueList(const CString &name, const std::vector<CString> &values) {
    if (auto f = KXFaultInjector::Enter("AdEntity::SetFieldValue", KXFaultInjector::kText)) return f->text;
    std::vector<CString> v;
    for (const auto &x : values)
        if (!x.IsEmpty()) v.push_back(x);
    return set_values(name, v, "AdEntity::SetFieldValue");
}

CString AdEntity::AddFieldValue(const CString &name, const CString &value) {
    if (auto f = KXFaultInjector::Enter("AdEntity::AddFieldValue", KXFaultInjector::kText)) return f->text;
    return EntityOps::edit_list(*this, name, value, true, "AdEntity::AddFieldValue");
}

CString AdEntity::DeleteFieldValue(const CString &name, const CString &value) {
    if (auto f = KXFaultInjector::Enter("AdEntity::DeleteFieldValue", KXFaultInjector::kText)) return f->text;
    return EntityOps::edit_list(*this, name, value, false, "AdEntity::DeleteFieldValue");
}

CString AdEntity::set_values(const CString &name, const std::vector<CString> &values, const char *op) {
    SessionCore &c = live(session_, op);
    std::unique_lock<std::recursive_mutex> lock(c.mu);
    AdFieldDef *f = def_->LookupFieldDef(name);
    if (!f) return L"Field '" + name + L"' does not exist in record type '" + def_->GetName() + L"'.";
    if (!action_) return L"Record '" + display_name_ + L"' is not being edited.";
    if (f->IsSystemOwned()) return L"Field '" + name + L"' is kept by the product.";
    if (f->GetFieldType() == AD_ATTACHMENT_LIST) return L"Field '" + name + L"' holds attachments.";
    if (values.size() > 1 && f->GetFieldType() != AD_REFERENCE_LIST) return L"Field '" + name + L"' takes one value.";
    if (def_->GetBehavior(f, state_, action_) == AD_READONLY) return L"Field '" + name + L"' is read-only.";
    AdFieldInfo before = info(f);
    values_[name] = values;
    if (values.empty()) values_.erase(name);
    AdFieldInfo after = info(f);
    after.changed_set_ = before.GetValueAsList() != after.GetValueAsList();
    after.validity_changed_set_ = before.GetValidity() != after.GetValidity();
    last_set_.clear();
    if (after.changed_set_) {
        set_this_action_.insert(name);
        last_set_.push_back(name);
    }
    auto cb = callbacks_.find(name);
    if (cb != callbacks_.end() && cb->second.first) {
        auto fn = cb->second.first;
        void *ctx = cb->second.second;
        lock.unlock();
        fn(this, after, ctx);
    }
    return CString();
}

size_t AdEntity::GetHeldBytes() const {
    KXFaultInjector::Enter("AdEntity::GetHeldBytes");
    SessionCore &c = session_->core();
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    size_t n = heap_bytes(sizeof(*this)) + held_bytes(display_name_) + held_bytes(state_) +
               held_bytes(set_this_action_) + held_bytes(last_set_) + held_bytes(view_form_) + held_bytes(view_tab_) +
               held_bytes(hidden_forms_) + held_bytes(hidden_tabs_) + held_bytes(hidden_fields_) +
               AttachmentOps::held_bytes(*this);
    // A list that the stored, current and group copies share is counted once.
    std::set<const void *> counted;
    for (const auto *copy : {&values_, &stored_, &group_start_})
        for (const auto &[name, values] : *copy) {
            n += heap_bytes(node_bytes<std::pair<const CString, FieldValues>>()) + held_bytes(name);
            if (counted.insert(values.identity()).second) n += values.held_bytes();
        }
    n += callbacks_.size() * heap_bytes(node_bytes<decltype(callbacks_)::value_type>());
    for (const auto &[name, callback] : callbacks_) n += held_bytes(name);
    return n;
}

size_t AdEntity::HeldBytesOfValue(const CString &value) {
    size_t utf8 = 0;
    for (wchar_t ch : value.str()) utf8 += ch < 0x80 ? 1 : ch < 0x800 ? 2 : ch < 0x10000 ? 3 : 4;
    // A list of one text of its own, in a tree node under the field's name.
    return heap_bytes(node_bytes<std::pair<const CString, FieldValues>>()) +
           heap_bytes(sizeof(std::vector<std::string>) + 2 * sizeof(void *)) + heap_bytes(sizeof(std::string)) +
           heap_bytes(utf8 + 1);
}

int AdEntity::GetFieldRequiredness(const CString &name, int) const {
    KXFaultInjector::Enter("AdEntity::GetFieldRequiredness");
    AdFieldDef *f = def_->GetFieldDef(name);
    return f->IsSystemOwned() ? AD_READONLY : def_->GetBehavior(f, state_, action_);
}

void AdEntity::SetFieldUpdateCallback(const CString &name, AdFieldUpdateCallback callback, void *context, int) {
    KXFaultInjector::Enter("AdEntity::SetFieldUpdateCallback");
    def_->GetFieldDef(name);
    SessionCore &c = live(session_, "AdEntity::SetFieldUpdateCallback");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    callbacks_[name] = {callback, context};
}

void AdEntity::ClearAllFieldUpdateCallbacks() {
    KXFaultInjector::Enter("AdEntity::ClearAllFieldUpdateCallbacks");
    SessionCore &c = session_->core();
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    callbacks_.clear();
}

std::vector<CString> AdEntity::GetFieldValuesUpdatedThisAction() const {
    KXFaultInjector::Enter("AdEntity::GetFieldValuesUpdatedThisAction");
    std::vector<CString> out;
    if (!action_) return out;
    auto defs = def_->GetFieldDefs();
    for (int i = 0; i < defs.GetLength(); ++i)
        if (info(defs.GetItem(i)).ValueChangedThisAction()) out.push_back(defs.GetItem(i)->GetName());
    return out;
}

std::vector<AdFieldInfo> AdEntity::GetInvalidFieldValues() const {
    KXFaultInjector::Enter("AdEntity::GetInvalidFieldValues");
    SessionCore &c = live(session_, "AdEntity::GetInvalidFieldValues");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    std::vector<AdFieldInfo> out;
    if (!action_ || action_->GetActionType() == AD_ACTION_DELETE) return out;
    auto defs = def_->GetFieldDefs();
    for (int i = 0; i < defs.GetLength(); ++i) {
        AdFieldInfo fi = info(defs.GetItem(i));
        if (fi.GetValidity() == AD_INVALID) out.push_back(fi);
    }
    return out;
}

CString AdEntity::Validate() {
    if (auto f = KXFaultInjector::Enter("AdEntity::Validate", KXFaultInjector::kText)) return f->text;
    CString text;
    for (const auto &fi : GetInvalidFieldValues()) {
        if (!text.IsEmpty()) text += L'\n';
        text += fi.GetMessageText();
    }
    if (!text.IsEmpty() || !action_ || action_->GetActionType() == AD_ACTION_DELETE || def_->GetType() != AD_STATELESS)
        return text;
    // The record would be stored under its key: refuse a key that another record has.
    CString name = GetDisplayName();
    if (name.IsEmpty()) return text;
    SessionCore &c = live(session_, "AdEntity::Validate");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    bool taken = guarded("AdEntity::Validate", [&] {
        Stmt s(c.db->handle(),
               "SELECT 1 FROM records WHERE entity_def_dbid=? AND database_dbid=? AND display_name=? AND dbid<>?");
        s.bind(1, def_->GetDbId()).bind(2, database_).bind(3, u8(name)).bind(4, GetDbId());
        return s.step();
    });
    return taken ? L"A record '" + name + L"' exists already." : text;
}

CString AdEntity::Commit() {
    // A test can give a successful commit an information text.
    auto injected = KXFaultInjector::Enter("AdEntity::Commit", KXFaultInjector::kText);
    SessionCore &c = live(session_, "AdEntity::Commit");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    if (!action_) commit_failed(KX_MSG_COMMIT_FAILED, L"Record '" + display_name_ + L"' is not being edited.");
    CString invalid = Validate();
    if (!invalid.IsEmpty()) commit_failed(KX_MSG_COMMIT_FAILED, invalid);
    const int type = action_->GetActionType();
    CString new_state = action_->GetDestStateName().IsEmpty() ? state_ : action_->GetDestStateName();
    std::string now = now_text();
    CString display = display_name_;
    try {
        Txn txn(*c.db);
        DbHandle h = c.db->handle();
        int64_t state_dbid = 0;
        if (!new_state.IsEmpty()) {
            Stmt s(h, "SELECT dbid FROM states WHERE entity_def_dbid=? AND name=?");
            s.bind(1, def_->GetDbId()).bind(2, u8(new_state));
            if (s.step()) state_dbid = s.int64(0);
        }
        if (is_new_) {
            if (def_->GetType() == AD_STATEFUL) {
                std::string key = "next_id:" + u8(c.database_name);
                int64_t next = c.db->scalar_int("SELECT CAST(value AS INTEGER) FROM meta WHERE key=?", key).value_or(1);
                wchar_t buf[96];
                std::swprintf(buf, 96, L"%ls%08lld", c.database_name.GetString(), static_cast<long long>(next));
                display = buf;
                Stmt(h, "INSERT OR REPLACE INTO meta VALUES(?, ?)")
                    .bind(1, key)
                    .bind(2, std::to_string(next + 1))
                    .step();
            } else {
                auto keys = def_->GetUniqueKeyFieldDefs();
                CString key = keys.GetLength() ? first_value(keys.GetItem(0)->GetName()) : CString();
                if (key.IsEmpty()) commit_failed(KX_MSG_COMMIT_FAILED, L"The record needs a value for its key field.");
                display = key;
            }
            Stmt dup(h, "SELECT 1 FROM records WHERE entity_def_dbid=? AND database_dbid=? AND display_name=?");
            dup.bind(1, def_->GetDbId()).bind(2, database_).bind(3, u8(display));
            if (dup.step()) commit_failed(KX_MSG_COMMIT_FAILED, L"A record '" + display + L"' exists already.");
            Stmt ins(h, "INSERT INTO records(dbid, entity_def_dbid, database_dbid, display_name, state_dbid, version, "
                        "duplicate_of,"
                        " created, modified) VALUES(?,?,?,?,?,1,NULL,?,?)");
            ins.bind(1, GetDbId()).bind(2, def_->GetDbId()).bind(3, database_).bind(4, u8(display));
            if (state_dbid)
                ins.bind(5, state_dbid);
            else
                ins.bind_null(5);
            ins.bind(6, now).bind(7, now).step();
        } else if (type == AD_ACTION_DELETE) {
            Stmt del(h, "DELETE FROM records WHERE dbid=? AND version=?");
            del.bind(1, GetDbId()).bind(2, version_).step();
            if (sqlite3_changes(h) != 1) changed_elsewhere(display_name_);
            remove_record_text(*c.db, GetDbId());
        } else {
            if (!def_->IsType(AD_STATEFUL)) {
                auto keys = def_->GetUniqueKeyFieldDefs();
                CString key = keys.GetLength() ? first_value(keys.GetItem(0)->GetName()) : display;
                if (!key.IsEmpty()) display = key;
            }
            Stmt up(h, "UPDATE records SET version=version+1, state_dbid=?, duplicate_of=?, modified=?, display_name=?"
                       " WHERE dbid=? AND version=?");
            if (state_dbid)
                up.bind(1, state_dbid);
            else
                up.bind_null(1);
            if (duplicate_of_)
                up.bind(2, duplicate_of_);
            else
                up.bind_null(2);
            up.bind(3, now).bind(4, u8(display)).bind(5, GetDbId()).bind(6, version_);
            try {
                up.step();
            } catch (const StoreError &) {
                commit_failed(KX_MSG_COMMIT_FAILED, L"A record '" + display + L"' exists already.");
            }
            if (sqlite3_changes(h) != 1) changed_elsewhere(display_name_);
        }
        // A test can make the store fail here, between the record row and its values: with an
        // exception, or (an error text) as SQLite refuses a write on a full disk.
        if (auto f = KXFaultInjector::Enter("AdEntity::Commit:store", KXFaultInjector::kText))
            throw StoreError{SQLITE_FULL, u8(f->text)};
        if (type != AD_ACTION_DELETE) {
            values_[L"dbid"] = {CString(std::to_wstring(GetDbId()))};
            if (def_->GetType() == AD_STATEFUL) values_[L"id"] = {display};
            auto defs = def_->GetFieldDefs();
            for (int i = 0; i < defs.GetLength(); ++i) {
                const AdFieldDef *f = defs.GetItem(i);
                if (f->GetFieldType() == AD_STATE || f->GetFieldType() == AD_ATTACHMENT_LIST) continue;
                auto now_v = values_.find(f->GetName());
                auto old_v = stored_.find(f->GetName());
                bool same = (now_v == values_.end()) == (old_v == stored_.end()) &&
                            (now_v == values_.end() || now_v->second == old_v->second);
                if (same && !is_new_) continue;
                Stmt d(h, "DELETE FROM field_values WHERE record_dbid=? AND field_dbid=?");
                d.bind(1, GetDbId()).bind(2, f->GetDbId()).step();
                if (now_v == values_.end()) continue;
                int pos = 0;
                for (const CString &v : now_v->second.wide()) {
                    CString stored = f->GetFieldType() == AD_DATE_TIME ? local_to_utc(v) : v;
                    Stmt in(h, "INSERT INTO field_values VALUES(?,?,?,?)");
                    in.bind(1, GetDbId()).bind(2, f->GetDbId()).bind(3, pos++).bind(4, u8(stored)).step();
                }
            }
            Stmt hist(h, "INSERT INTO history(dbid, record_dbid, action_dbid, user_dbid, at, old_state, new_state) "
                         "VALUES(?,?,?,?,?,?,?)");
            hist.bind(1, c.db->new_dbid())
                .bind(2, GetDbId())
                .bind(3, action_->GetDbId())
                .bind(4, c.user_dbid)
                .bind(5, now);
            Stmt old_s(h, "SELECT dbid FROM states WHERE entity_def_dbid=? AND name=?");
            old_s.bind(1, def_->GetDbId()).bind(2, u8(state_));
            if (!is_new_ && old_s.step())
                hist.bind(6, old_s.int64(0));
            else
                hist.bind_null(6);
            if (state_dbid)
                hist.bind(7, state_dbid);
            else
                hist.bind_null(7);
            hist.step();
            std::vector<std::pair<int, std::string>> typed;
            for (int i = 0; i < defs.GetLength(); ++i) {
                auto v = values_.find(defs.GetItem(i)->GetName());
                if (v == values_.end()) continue;
                for (const std::string &x : v->second.utf8()) typed.emplace_back(defs.GetItem(i)->GetFieldType(), x);
            }
            index_record_text(*c.db, GetDbId(), database_, u8(display), typed);
        }
        if (c.db->scalar_int("SELECT oplog_enabled FROM databases WHERE dbid=" + std::to_string(database_))
                .value_or(0)) {
            Stmt op(h, "INSERT INTO oplog(database_dbid, record_dbid, entity_def_dbid, action_dbid, user_dbid, at, "
                       "operation, detail)"
                       " VALUES(?,?,?,?,?,?,?,?)");
            op.bind(1, database_)
                .bind(2, GetDbId())
                .bind(3, def_->GetDbId())
                .bind(4, action_->GetDbId())
                .bind(5, c.user_dbid)
                .bind(6, now)
                .bind(7, u8(action_->GetName()))
                .bind(8, u8(display))
                .step();
        }
        AttachmentOps::write(*this, c);
        txn.commit();
    } catch (const StoreError &e) {
        // SQLite's words name tables and columns: they go to the diagnostics, not to the caller.
        report_store_failure("commit " + u8(display), e);
        commit_failed(KX_MSG_COMMIT_FAILED, L"The record '" + display + L"' could not be stored.");
    }
    display_name_ = display;
    state_ = new_state;
    if (!state_.IsEmpty()) values_[L"State"] = {state_};
    stored_ = values_;
    stored_duplicate_of_ = duplicate_of_;
    version_ = is_new_ ? 1 : version_ + 1;
    is_new_ = false;
    action_ = nullptr;
    reset_tracking();
    AttachmentOps::committed(*this);
    return injected ? injected->text : CString();
}

void AdEntity::Revert() {
    KXFaultInjector::Enter("AdEntity::Revert");
    SessionCore &c = live(session_, "AdEntity::Revert");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    values_ = stored_;
    duplicate_of_ = stored_duplicate_of_;
    action_ = nullptr;
    reset_tracking();
    AttachmentOps::drop(*this);
}

AdEntityPtr BuildEntity(const AdSessionPtr &session, AdEntityDef *def, const CString & /*form*/) {
    KXFaultInjector::Enter("BuildEntity");
    SessionCore &c = live(session, "BuildEntity");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    if (!def || def->IsFamily()) throw_kx(KX_MSG_BAD_VALUE, L"A record is built from a record type.", "BuildEntity");
    if (c.admin) throw_kx(KX_MSG_NOT_FOUND, L"An administrator session has no user database.", "BuildEntity");
    AdActionDef *submit = def->LookupActionDef(static_cast<int>(AD_ACTION_SUBMIT));
    if (!submit) not_allowed(L"Record type '" + def->GetName() + L"' has no submit action.");
    int64_t dbid = guarded("BuildEntity", [&] { return c.db->new_dbid(); });
    AdEntityPtr e = EntityOps::make(session, def, dbid);
    e->database_ = c.database_dbid;
    e->is_new_ = true;
    e->action_ = submit;
    e->reset_tracking();
    return e;
}

void EditEntity(const AdEntityPtr &entity, AdActionDef *action) {
    KXFaultInjector::Enter("EditEntity");
    if (!entity) throw_kx(KX_MSG_BAD_VALUE, L"No record.", "EditEntity");
    SessionCore &c = live(entity->session_, "EditEntity");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    if (entity->IsEditable()) not_allowed(L"Another action is in progress on '" + entity->GetDisplayName() + L"'.");
    if (!entity->IsNew()) guarded("EditEntity", [&] { EntityOps::load(*entity, c); });
    EntityOps::start(*entity, action);
}

void EditEntity(const AdEntityPtr &entity, const CString &action_name) {
    if (!entity) throw_kx(KX_MSG_BAD_VALUE, L"No record.", "EditEntity");
    AdActionDef *a = entity->GetEntityDef()->LookupActionDef(action_name);
    if (!a) {
        KXFaultInjector::Enter("EditEntity");
        not_allowed(L"Record type '" + entity->GetEntityDef()->GetName() + L"' has no action '" + action_name + L"'.");
    }
    EditEntity(entity, a);
}

void DeleteEntity(const AdSessionPtr &session, const AdEntityPtr &entity, AdActionDef *action) {
    KXFaultInjector::Enter("DeleteEntity");
    if (!entity || !action) throw_kx(KX_MSG_BAD_VALUE, L"No record or action.", "DeleteEntity");
    SessionCore &c = live(session, "DeleteEntity");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    if (&entity->GetSession()->core() != &c)
        throw_kx(KX_MSG_BAD_VALUE, L"The record belongs to another session.", "DeleteEntity");
    if (action->GetActionType() != AD_ACTION_DELETE)
        not_allowed(L"'" + action->GetName() + L"' is not a delete action.");
    if (entity->IsNew()) not_allowed(L"A record that was never stored cannot be deleted.");
    EditEntity(entity, action);
    try {
        entity->Commit();
    } catch (...) {
        entity->Revert();
        throw;
    }
}

void MarkEntityAsDuplicate(const AdEntityPtr &entity, const AdEntityPtr &original, const CString &action_name) {
    KXFaultInjector::Enter("MarkEntityAsDuplicate");
    if (!entity || !original) throw_kx(KX_MSG_BAD_VALUE, L"No record.", "MarkEntityAsDuplicate");
    if (original->IsNew() || original->GetDbId() == entity->GetDbId() ||
        original->GetDuplicateOf() == entity->GetDbId())
        not_allowed(L"'" + entity->GetDisplayName() + L"' cannot be a duplicate of '" + original->GetDisplayName() +
                    L"'.");
    if (!entity->IsEditable()) {
        AdEntityDef *d = entity->GetEntityDef();
        AdActionDef *a = action_name.IsEmpty() ? d->LookupActionDef(static_cast<int>(AD_ACTION_DUPLICATE))
                                               : d->LookupActionDef(action_name);
        if (!a || a->GetActionType() != AD_ACTION_DUPLICATE) not_allowed(L"No duplicate action.");
        EditEntity(entity, a);
    } else if (entity->GetActionType() != AD_ACTION_DUPLICATE) {
        not_allowed(L"The action in progress is not a duplicate action.");
    }
    entity->duplicate_of_ = original->GetDbId();
}

void UnmarkEntityAsDuplicate(const AdEntityPtr &entity, const CString &action_name) {
    KXFaultInjector::Enter("UnmarkEntityAsDuplicate");
    if (!entity) throw_kx(KX_MSG_BAD_VALUE, L"No record.", "UnmarkEntityAsDuplicate");
    if (!entity->IsEditable()) {
        AdEntityDef *d = entity->GetEntityDef();
        AdActionDef *a = action_name.IsEmpty() ? d->LookupActionDef(static_cast<int>(AD_ACTION_UNDUPLICATE))
                                               : d->LookupActionDef(action_name);
        if (!a || a->GetActionType() != AD_ACTION_UNDUPLICATE) not_allowed(L"No unduplicate action.");
        EditEntity(entity, a);
    } else if (entity->GetActionType() != AD_ACTION_UNDUPLICATE) {
        not_allowed(L"The action in progress is not an unduplicate action.");
    }
    if (!entity->IsDuplicate()) {
        entity->Revert();
        not_allowed(L"'" + entity->GetDisplayName() + L"' is not a duplicate.");
    }
    entity->duplicate_of_ = 0;
}

KXSmartPtr<AdEntityMgr> AdEntityMgr::Get(const AdSessionPtr &session) {
    KXFaultInjector::Enter("AdEntityMgr::Get");
    live(session, "AdEntityMgr::Get");
    return KXSmartPtr<AdEntityMgr>(new AdEntityMgr(session));
}

int AdEntityMgr::LookupEntityByDbIdWithStatus(AdEntityDef *def, int64_t dbid, AdEntityPtr &out, CString &error, int) {
    out = nullptr;
    error.Empty();
    if (auto f = KXFaultInjector::Enter("AdEntityMgr::LookupEntityByDbIdWithStatus", KXFaultInjector::kStatus)) {
        error = f->text;
        return f->status;
    }
    SessionCore &c = live(session_, "AdEntityMgr::LookupEntityByDbIdWithStatus");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    if (!def) throw_kx(KX_MSG_BAD_VALUE, L"No record type.", "AdEntityMgr::LookupEntityByDbIdWithStatus");
    return guarded("AdEntityMgr::LookupEntityByDbIdWithStatus", [&]() -> int {
        Stmt s(c.db->handle(), "SELECT entity_def_dbid, display_name FROM records WHERE dbid=? AND database_dbid=?");
        s.bind(1, dbid).bind(2, c.database_dbid);
        if (!s.step()) return AD_LOOKUP_NOT_FOUND;
        auto types = concrete_types(def);
        int64_t type = s.int64(0);
        if (std::find(types.begin(), types.end(), type) == types.end()) {
            AdEntityDef *actual = EntityOps::def_of(c, type);
            error = L"Record '" + w(s.text(1)) + L"' is of record type '" + (actual ? actual->GetName() : CString()) +
                    L"', not '" + def->GetName() + L"'.";
            return AD_LOOKUP_WRONG_TYPE;
        }
        AdEntityPtr e = EntityOps::make(session_, EntityOps::def_of(c, type), dbid);
        EntityOps::load(*e, c);
        out = e;
        return AD_LOOKUP_FOUND;
    });
}

int AdEntityMgr::LookupEntityWithStatus(AdEntityDef *def, const CString &display_name, AdEntityPtr &out, CString &error,
                                        int) {
    out = nullptr;
    error.Empty();
    if (auto f = KXFaultInjector::Enter("AdEntityMgr::LookupEntityWithStatus", KXFaultInjector::kStatus)) {
        error = f->text;
        return f->status;
    }
    SessionCore &c = live(session_, "AdEntityMgr::LookupEntityWithStatus");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    if (!def) throw_kx(KX_MSG_BAD_VALUE, L"No record type.", "AdEntityMgr::LookupEntityWithStatus");
    return guarded("AdEntityMgr::LookupEntityWithStatus", [&]() -> int {
        for (int64_t type : concrete_types(def)) {
            Stmt s(c.db->handle(),
                   "SELECT dbid FROM records WHERE entity_def_dbid=? AND database_dbid=? AND display_name=?");
            s.bind(1, type).bind(2, c.database_dbid).bind(3, u8(display_name));
            if (!s.step()) continue;
            AdEntityPtr e = EntityOps::make(session_, EntityOps::def_of(c, type), s.int64(0));
            EntityOps::load(*e, c);
            out = e;
            return AD_LOOKUP_FOUND;
        }
        return AD_LOOKUP_NOT_FOUND;
    });
}

int AdEntityMgr::EntityExists(AdEntityDef *def, const CString &display_name, AdEntityPtr &found) {
    found = nullptr;
    if (auto f = KXFaultInjector::Enter("AdEntityMgr::EntityExists", KXFaultInjector::kStatus)) return f->status;
    CString error;
    return LookupEntityWithStatus(def, display_name, found, error, 1) == AD_LOOKUP_FOUND ? AD_LOOKUP_FOUND
                                                                                         : AD_LOOKUP_NOT_FOUND;
}

BOOL AdEntityMgr::EntityExists(AdEntityDef *def, const CString &display_name) {
    KXFaultInjector::Enter("AdEntityMgr::EntityExists");
    SessionCore &c = live(session_, "AdEntityMgr::EntityExists");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    if (!def) return FALSE;
    return guarded("AdEntityMgr::EntityExists", [&] {
        for (int64_t type : concrete_types(def)) {
            Stmt s(c.db->handle(),
                   "SELECT 1 FROM records WHERE entity_def_dbid=? AND database_dbid=? AND display_name=?");
            s.bind(1, type).bind(2, c.database_dbid).bind(3, u8(display_name));
            if (s.step()) return TRUE;
        }
        return FALSE;
    });
}

// ---- duplicates, actions, field changes, views and mastership ----

namespace {

std::vector<AdDuplicateLink> duplicates_of(SessionCore &c, int64_t parent) {
    std::vector<AdDuplicateLink> out;
    Stmt s(c.db->handle(),
           "SELECT dbid, entity_def_dbid, display_name FROM records WHERE duplicate_of=? ORDER BY dbid");
    s.bind(1, parent);
    while (s.step()) out.push_back(AdDuplicateLink{parent, s.int64(1), s.int64(0), w(s.text(2))});
    return out;
}

// Action types that start on a stored record.
bool starts_on_stored(int type) {
    return type != AD_ACTION_SUBMIT && type != AD_ACTION_IMPORT && type != AD_ACTION_BASE &&
           type != AD_ACTION_RECORD_SCRIPT_ALIAS && type != AD_ACTION_COPY;
}

bool admits_state(const AdActionDef *a, const CString &state) {
    const auto &from = a->GetSourceStateNames();
    return from.empty() || std::find(from.begin(), from.end(), state) != from.end();
}

std::vector<CString> sorted(const std::set<CString> &s) { return std::vector<CString>(s.begin(), s.end()); }

} // namespace

std::vector<AdDuplicateLink> AdEntity::GetDuplicates() const {
    KXFaultInjector::Enter("AdEntity::GetDuplicates");
    SessionCore &c = live(session_, "AdEntity::GetDuplicates");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdEntity::GetDuplicates", [&] { return duplicates_of(c, GetDbId()); });
}

std::vector<AdDuplicateLink> AdEntity::GetAllDuplicates() const {
    KXFaultInjector::Enter("AdEntity::GetAllDuplicates");
    SessionCore &c = live(session_, "AdEntity::GetAllDuplicates");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdEntity::GetAllDuplicates", [&] {
        std::vector<AdDuplicateLink> out;
        std::set<int64_t> seen{GetDbId()}; // a damaged set with a cycle still ends
        std::vector<int64_t> parents{GetDbId()};
        for (size_t i = 0; i < parents.size(); ++i)
            for (auto &link : duplicates_of(c, parents[i]))
                if (seen.insert(link.child_dbid).second) {
                    parents.push_back(link.child_dbid);
                    out.push_back(link);
                }
        return out;
    });
}

BOOL AdEntity::HasDuplicates() const {
    KXFaultInjector::Enter("AdEntity::HasDuplicates");
    SessionCore &c = live(session_, "AdEntity::HasDuplicates");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdEntity::HasDuplicates", [&] {
        return c.db->scalar_int("SELECT EXISTS(SELECT 1 FROM records WHERE duplicate_of=?)", GetDbId()).value_or(0) > 0;
    });
}

BOOL AdEntity::IsOriginal() const {
    KXFaultInjector::Enter("AdEntity::IsOriginal");
    return !IsDuplicate() && HasDuplicates();
}

AdEntityPtr AdEntity::GetOriginal() const {
    KXFaultInjector::Enter("AdEntity::GetOriginal");
    SessionCore &c = live(session_, "AdEntity::GetOriginal");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    if (!duplicate_of_) throw new PaMsgException(KX_MSG_NOT_FOUND, L"'" + display_name_ + L"' is not a duplicate.");
    AdEntityPtr original = guarded("AdEntity::GetOriginal", [&]() -> AdEntityPtr {
        auto type = c.db->scalar_int("SELECT entity_def_dbid FROM records WHERE dbid=?", duplicate_of_);
        AdEntityDef *def = type ? EntityOps::def_of(c, *type) : nullptr;
        if (!def) return AdEntityPtr();
        AdEntityPtr e = EntityOps::make(session_, def, duplicate_of_);
        EntityOps::load(*e, c);
        return e;
    });
    if (!original)
        throw new PaMsgException(KX_MSG_NOT_FOUND, L"The original of '" + display_name_ + L"' no longer exists.");
    return original;
}

CString AdEntity::GetOriginalId() const {
    KXFaultInjector::Enter("AdEntity::GetOriginalId");
    SessionCore &c = live(session_, "AdEntity::GetOriginalId");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    if (!duplicate_of_) return CString();
    return guarded("AdEntity::GetOriginalId", [&] {
        Stmt s(c.db->handle(), "SELECT display_name FROM records WHERE dbid=?");
        s.bind(1, duplicate_of_);
        return s.step() ? w(s.text(0)) : CString();
    });
}

CString AdEntity::GetDefaultActionName() const {
    KXFaultInjector::Enter("AdEntity::GetDefaultActionName");
    if (action_) return action_->GetName();
    if (is_new_) return CString();
    auto actions = def_->GetActionDefs();
    for (int i = 0; i < actions.GetLength(); ++i) {
        const AdActionDef *a = actions.GetItem(i);
        if (a->GetActionType() == AD_ACTION_MODIFY && admits_state(a, state_)) return a->GetName();
    }
    return CString();
}

std::vector<CString> AdEntity::GetFieldNames() const {
    KXFaultInjector::Enter("AdEntity::GetFieldNames");
    std::vector<CString> out;
    auto defs = def_->GetFieldDefs();
    for (int i = 0; i < defs.GetLength(); ++i) out.push_back(defs.GetItem(i)->GetName());
    return out;
}

std::vector<CString> AdEntity::GetFieldValuesUpdatedThisEntireAction() const {
    KXFaultInjector::Enter("AdEntity::GetFieldValuesUpdatedThisEntireAction");
    return action_ ? sorted(set_this_action_) : std::vector<CString>();
}

std::vector<CString> AdEntity::GetFieldValuesUpdatedThisGroup() const {
    KXFaultInjector::Enter("AdEntity::GetFieldValuesUpdatedThisGroup");
    SessionCore &c = live(session_, "AdEntity::GetFieldValuesUpdatedThisGroup");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    std::vector<CString> out;
    if (!action_) return out;
    auto defs = def_->GetFieldDefs();
    for (int i = 0; i < defs.GetLength(); ++i) {
        CString name = defs.GetItem(i)->GetName();
        auto it = values_.find(name);
        if ((it == values_.end() ? std::vector<CString>() : it->second.wide()) != group_start(name))
            out.push_back(name);
    }
    return out;
}

std::vector<CString> AdEntity::GetFieldValuesUpdatedThisSetValue() const {
    KXFaultInjector::Enter("AdEntity::GetFieldValuesUpdatedThisSetValue");
    return action_ ? last_set_ : std::vector<CString>();
}

void AdEntity::BeginNewFieldUpdateGroup() {
    KXFaultInjector::Enter("AdEntity::BeginNewFieldUpdateGroup");
    SessionCore &c = live(session_, "AdEntity::BeginNewFieldUpdateGroup");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    if (!action_)
        throw_kx(KX_MSG_NOT_EDITABLE, L"Record '" + display_name_ + L"' is not being edited.",
                 "AdEntity::BeginNewFieldUpdateGroup");
    group_start_ = values_;
    group_begun_ = true;
}

AdFieldInfo AdEntity::GetFieldOriginalValue(const CString &name) const {
    KXFaultInjector::Enter("AdEntity::GetFieldOriginalValue");
    SessionCore &c = live(session_, "AdEntity::GetFieldOriginalValue");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    const AdFieldDef *f = def_->GetFieldDef(name);
    AdFieldInfo i;
    i.name_ = name;
    i.type_ = f->GetFieldType();
    auto it = stored_.find(name);
    if (it != stored_.end()) i.values_ = it->second.wide();
    i.requiredness_ = f->IsSystemOwned() ? AD_READONLY : def_->GetBehavior(f, state_, action_);
    return i;
}

std::vector<int64_t> AdEntity::GetFieldReferencedDbIds(const CString &name) const {
    KXFaultInjector::Enter("AdEntity::GetFieldReferencedDbIds");
    SessionCore &c = live(session_, "AdEntity::GetFieldReferencedDbIds");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    const AdFieldDef *f = def_->GetFieldDef(name);
    if (f->GetFieldType() != AD_REFERENCE && f->GetFieldType() != AD_REFERENCE_LIST)
        throw_kx(KX_MSG_BAD_VALUE, L"Field '" + name + L"' is no reference field.",
                 "AdEntity::GetFieldReferencedDbIds");
    std::vector<int64_t> out;
    auto it = values_.find(name);
    if (it == values_.end() || !f->GetReferenceEntityDef()) return out;
    return guarded("AdEntity::GetFieldReferencedDbIds", [&] {
        auto types = concrete_types(f->GetReferenceEntityDef());
        for (const std::string &v : it->second.utf8())
            for (int64_t t : types) {
                Stmt s(c.db->handle(),
                       "SELECT dbid FROM records WHERE entity_def_dbid=? AND database_dbid=? AND display_name=?");
                s.bind(1, t).bind(2, database_).bind(3, v);
                if (s.step()) {
                    out.push_back(s.int64(0));
                    break;
                }
            }
        return out;
    });
}

void AdEntity::ExtractAttachment(int64_t dbid, const CString &path) const {
    KXFaultInjector::Enter("AdEntity::ExtractAttachment");
    SessionCore &c = live(session_, "AdEntity::ExtractAttachment");
    std::unique_lock<std::recursive_mutex> lock(c.mu);
    int64_t rowid = 0;
    {
        Stmt s(c.db->handle(), "SELECT dbid FROM attachments WHERE dbid=? AND record_dbid=? AND content IS NOT NULL");
        s.bind(1, dbid).bind(2, GetDbId());
        if (!s.step())
            throw new KXException(KX_MSG_NOT_FOUND, L"The record has no stored attachment " +
                                                        CString(std::to_wstring(dbid).c_str()) + L".");
        rowid = s.int64(0);
    }
    sqlite3_blob *blob = nullptr;
    if (sqlite3_blob_open(c.db->handle(), "main", "attachments", "content", rowid, 0, &blob) != SQLITE_OK) {
        sqlite3_blob_close(blob);
        throw new KXException(KX_MSG_NOT_FOUND, L"The attachment's content cannot be read.");
    }
    std::string const file = u8(path);
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    int error = ok ? 0 : errno;
    // Streamed in slices: the content is never held whole in memory.
    char slice[64 * 1024];
    int const total = sqlite3_blob_bytes(blob);
    for (int at = 0; ok && at < total;) {
        int const n = std::min<int>(sizeof slice, total - at);
        ok = sqlite3_blob_read(blob, slice, n, at) == SQLITE_OK;
        for (int done = 0; ok && done < n;) {
            ssize_t const w = ::write(fd, slice + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            ok = w > 0;
            if (ok)
                done += static_cast<int>(w);
            else
                error = w < 0 ? errno : ENOSPC;
        }
        at += n;
    }
    sqlite3_blob_close(blob);
    if (fd >= 0 && ::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        if (fd >= 0) ::unlink(file.c_str());
        // The path is the server's own business: it goes to the diagnostics, the cause to the caller.
        std::string const cause = error ? std::strerror(error) : "the content cannot be read";
        AdDiagnostic::Report(L"Store", w("extract attachment to '" + file + "': " + cause).GetString());
        throw new KXException(KX_MSG_BAD_VALUE, w("The attachment's content cannot be written: " + cause + "."));
    }
}

CString AdEntity::GetViewFormName() const {
    KXFaultInjector::Enter("AdEntity::GetViewFormName");
    return view_form_;
}

CString AdEntity::GetViewTabName() const {
    KXFaultInjector::Enter("AdEntity::GetViewTabName");
    return view_tab_;
}

void AdEntity::SetViewFormAndTab(const CString &form, const CString &tab) {
    KXFaultInjector::Enter("AdEntity::SetViewFormAndTab");
    SessionCore &c = live(session_, "AdEntity::SetViewFormAndTab");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    if (!form.IsEmpty() && !def_->LookupFormDef(form))
        throw_kx(KX_MSG_NOT_FOUND, L"Record type '" + def_->GetName() + L"' has no form '" + form + L"'.",
                 "AdEntity::SetViewFormAndTab");
    view_form_ = form;
    view_tab_ = form.IsEmpty() ? CString() : tab;
}

namespace {

void need_form(const AdEntityDef *def, const CString &form, const char *op) {
    if (!def->LookupFormDef(form))
        throw_kx(KX_MSG_NOT_FOUND, L"Record type '" + def->GetName() + L"' has no form '" + form + L"'.", op);
}

std::vector<CString> hidden_on(const std::map<CString, std::set<CString>> &m, const CString &form) {
    auto it = m.find(form);
    return it == m.end() ? std::vector<CString>() : sorted(it->second);
}

void set_member(std::set<CString> &s, const CString &name, BOOL in) {
    if (in)
        s.insert(name);
    else
        s.erase(name);
}

} // namespace

std::vector<CString> AdEntity::GetHiddenFormNames() const {
    KXFaultInjector::Enter("AdEntity::GetHiddenFormNames");
    return sorted(hidden_forms_);
}

std::vector<CString> AdEntity::GetHiddenTabNames(const CString &form) const {
    KXFaultInjector::Enter("AdEntity::GetHiddenTabNames");
    return hidden_on(hidden_tabs_, form);
}

std::vector<CString> AdEntity::GetHiddenFieldNames(const CString &form) const {
    KXFaultInjector::Enter("AdEntity::GetHiddenFieldNames");
    return hidden_on(hidden_fields_, form);
}

void AdEntity::SetFormHidden(const CString &form, BOOL hidden) {
    KXFaultInjector::Enter("AdEntity::SetFormHidden");
    need_form(def_, form, "AdEntity::SetFormHidden");
    set_member(hidden_forms_, form, hidden);
}

void AdEntity::SetTabHidden(const CString &form, const CString &tab, BOOL hidden) {
    KXFaultInjector::Enter("AdEntity::SetTabHidden");
    need_form(def_, form, "AdEntity::SetTabHidden");
    set_member(hidden_tabs_[form], tab, hidden);
}

void AdEntity::SetFieldHidden(const CString &form, const CString &field, BOOL hidden) {
    KXFaultInjector::Enter("AdEntity::SetFieldHidden");
    need_form(def_, form, "AdEntity::SetFieldHidden");
    def_->GetFieldDef(field);
    set_member(hidden_fields_[form], field, hidden);
}

BOOL AdEntity::SiteHasMastership() const {
    KXFaultInjector::Enter("AdEntity::SiteHasMastership");
    SessionCore &c = live(session_, "AdEntity::SiteHasMastership");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    CString master = first_value(L"ostw_mastership");
    if (master.IsEmpty()) return TRUE;
    return guarded("AdEntity::SiteHasMastership", [&] {
        Stmt s(c.db->handle(), "SELECT name FROM replicas WHERE is_local=1 ORDER BY dbid LIMIT 1");
        return s.step() && w(s.text(0)) == master;
    });
}

std::vector<AdActionDef *> GetLegalActionDefs(const AdSessionPtr &session, const AdEntityPtr &entity) {
    KXFaultInjector::Enter("GetLegalActionDefs");
    live(session, "GetLegalActionDefs");
    if (!entity) throw_kx(KX_MSG_BAD_VALUE, L"No record.", "GetLegalActionDefs");
    std::vector<AdActionDef *> out;
    if (entity->IsEditable() || entity->IsNew()) return out;
    auto actions = entity->GetEntityDef()->GetActionDefs();
    for (int i = 0; i < actions.GetLength(); ++i) {
        AdActionDef *a = actions.GetItem(i);
        int type = a->GetActionType();
        if (!starts_on_stored(type) || !admits_state(a, entity->GetStateName())) continue;
        if ((type == AD_ACTION_DUPLICATE && entity->IsDuplicate()) ||
            (type == AD_ACTION_UNDUPLICATE && !entity->IsDuplicate()))
            continue;
        out.push_back(a);
    }
    return out;
}

std::vector<CString> GetLegalAccessibleActionDefNames(const AdSessionPtr &session, const AdEntityPtr &entity) {
    KXFaultInjector::Enter("GetLegalAccessibleActionDefNames");
    std::vector<CString> out;
    for (const AdActionDef *a : GetLegalActionDefs(session, entity))
        if (!a->IsReservedForSystemUseOnly()) out.push_back(a->GetName());
    return out;
}
