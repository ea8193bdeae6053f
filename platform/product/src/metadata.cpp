#include <algorithm>

#include "core.h"
#include "kxproduct/faults.h"

using namespace kxp;

struct SchemaLoader {
    static std::shared_ptr<Schema> load(Db &db) {
        auto schema = std::make_shared<Schema>();
        DbHandle h = db.handle();
        {
            Stmt s(h, "SELECT dbid, name, is_family, entity_type, security_context FROM entity_defs ORDER BY "
                      "is_family, position");
            while (s.step()) {
                auto *d = new AdEntityDef(s.int64(0), w(s.text(1)), s.integer(2) != 0, s.integer(3));
                d->security_context_ = s.integer(4) != 0;
                schema->defs.emplace_back(d);
                schema->by_dbid[d->GetDbId()] = d;
            }
        }
        {
            Stmt s(h, "SELECT family_dbid, member_dbid FROM family_members ORDER BY family_dbid, position");
            while (s.step()) {
                AdEntityDef *family = schema->by_dbid[s.int64(0)];
                AdEntityDef *member = schema->by_dbid[s.int64(1)];
                family->members_.push_back(member);
                member->families_.push_back(family);
            }
        }
        std::map<int64_t, AdFieldDef *> fields;
        std::map<int64_t, AdActionDef *> actions;
        {
            Stmt s(h, "SELECT dbid, entity_def_dbid, name FROM states ORDER BY entity_def_dbid, position");
            while (s.step()) {
                schema->state_names[s.int64(0)] = w(s.text(2));
                schema->by_dbid[s.int64(1)]->states_.push_back(w(s.text(2)));
            }
        }
        {
            Stmt s(h, "SELECT dbid, entity_def_dbid, name, field_type, is_system, reference_entity_def, max_length,"
                      " default_behavior, choice_list, help_text, unique_key FROM field_defs ORDER BY entity_def_dbid, "
                      "position");
            while (s.step()) {
                AdEntityDef *owner = schema->by_dbid[s.int64(1)];
                auto *f = new AdFieldDef(s.int64(0), w(s.text(2)), s.integer(3), owner);
                f->system_ = s.integer(4) != 0;
                if (!s.is_null(5)) f->reference_ = schema->by_dbid[s.int64(5)];
                f->max_length_ = s.integer(6);
                f->default_behavior_ = s.integer(7);
                f->choice_list_ = w(s.text(8));
                f->help_ = w(s.text(9));
                f->unique_key_ = s.integer(10) != 0;
                owner->fields_.emplace_back(f);
                fields[f->GetDbId()] = f;
            }
        }
        {
            Stmt s(h, "SELECT dbid, entity_def_dbid, name, action_type, dest_state, system_only FROM action_defs"
                      " ORDER BY entity_def_dbid, position");
            while (s.step()) {
                AdEntityDef *owner = schema->by_dbid[s.int64(1)];
                auto *a = new AdActionDef(s.int64(0), w(s.text(2)), s.integer(3), owner);
                if (!s.is_null(4)) a->dest_state_ = schema->state_names[s.int64(4)];
                a->system_only_ = s.integer(5) != 0;
                owner->actions_.emplace_back(a);
                actions[a->GetDbId()] = a;
            }
        }
        {
            Stmt s(h, "SELECT action_dbid, state_dbid FROM action_sources");
            while (s.step()) actions[s.int64(0)]->sources_.push_back(schema->state_names[s.int64(1)]);
        }
        {
            Stmt s(h, "SELECT field_dbid, state_dbid, action_dbid, behavior FROM field_behaviors");
            while (s.step()) {
                AdFieldDef *f = fields[s.int64(0)];
                AdEntityDef::Behavior b{f->GetDbId(), s.is_null(1) ? 0 : s.int64(1), s.is_null(2) ? 0 : s.int64(2),
                                        s.is_null(1) ? CString() : schema->state_names[s.int64(1)], s.integer(3)};
                f->GetEntityDef()->behaviors_.push_back(b);
            }
        }
        {
            Stmt s(h, "SELECT dbid, entity_def_dbid, name, hook_type, field_dbid, action_dbid, language, script FROM "
                      "hook_defs"
                      " ORDER BY position");
            while (s.step()) {
                // Global hooks have no record type; the schema keeps them.
                AdEntityDef *owner = s.is_null(1) ? nullptr : schema->by_dbid[s.int64(1)];
                auto *k = new AdHookDef(s.int64(0), w(s.text(2)), s.integer(3), owner);
                if (!s.is_null(4)) k->field_ = fields[s.int64(4)]->GetName();
                if (!s.is_null(5)) k->action_ = actions[s.int64(5)]->GetName();
                k->language_ = w(s.text(6));
                k->script_ = w(s.text(7));
                if (owner)
                    owner->hooks_.emplace_back(k);
                else
                    schema->global_hooks.emplace_back(k);
            }
        }
        {
            Stmt s(h, "SELECT dbid, entity_def_dbid, name, form_type, definition FROM form_defs ORDER BY "
                      "entity_def_dbid, position");
            while (s.step()) {
                AdEntityDef *owner = schema->by_dbid[s.int64(1)];
                auto *f = new AdFormDef(s.int64(0), w(s.text(2)), s.integer(3), owner);
                f->definition_ = w(s.text(4));
                owner->forms_.emplace_back(f);
            }
        }
        {
            Stmt s(h, "SELECT dbid, name FROM list_defs ORDER BY position");
            while (s.step()) schema->lists.emplace_back(new AdListDef(s.int64(0), w(s.text(1))));
        }
        for (auto &l : schema->lists) refresh(db, l.get());
        schema->history = history();
        return schema;
    }

    // Dbids below the set's first one (dbid_seq starts at 33554432), so they never meet a stored object.
    static KXSmartPtr<AdEntityDef> history() {
        KXSmartPtr<AdEntityDef> d(new AdEntityDef(1, L"history", false, AD_STATELESS));
        const std::pair<const wchar_t *, int> fields[] = {
            {L"dbid", AD_DBID},
            {kHistoryActionTimestamp, AD_DATE_TIME},
            {kHistoryEntityDbId, AD_DBID},
            {kHistoryEntityDefDbId, AD_DBID},
            {kHistoryActionName, AD_SHORT_STRING},
            {kHistoryUserName, AD_SHORT_STRING},
        };
        int64_t dbid = 2;
        for (const auto &[name, type] : fields) {
            auto *f = new AdFieldDef(dbid++, name, type, d.get());
            f->system_ = true;
            f->default_behavior_ = AD_READONLY;
            d->fields_.emplace_back(f);
        }
        return d;
    }

    static void refresh(Db &db, AdListDef *list) {
        Stmt s(db.handle(), "SELECT value FROM list_values WHERE list_dbid=? ORDER BY position");
        s.bind(1, list->GetDbId());
        std::vector<CString> values;
        while (s.step()) values.push_back(w(s.text(0)));
        std::lock_guard<std::mutex> lock(list->mu_);
        list->values_ = std::move(values);
    }
};

namespace kxp {

AdEntityDef *Schema::find(const CString &name) const {
    for (const auto &d : defs)
        if (d->GetName() == name) return d.get();
    return nullptr;
}

std::shared_ptr<Schema> load_schema(Db &db) { return SchemaLoader::load(db); }
void refresh_list_values(Db &db, AdListDef *list) { SchemaLoader::refresh(db, list); }

} // namespace kxp

namespace {

template <class T>
AdIterator<T> items(const std::vector<KXSmartPtr<T>> &v) {
    std::vector<T *> out;
    out.reserve(v.size());
    for (const auto &p : v) out.push_back(p.get());
    return AdIterator<T>(std::move(out));
}

template <class T>
T *by_name(const std::vector<KXSmartPtr<T>> &v, const CString &name) {
    for (const auto &p : v)
        if (p->GetName() == name) return p.get();
    return nullptr;
}

} // namespace

CString AdFieldDef::GetDbName() const { return GetName(); }

BOOL AdFieldDef::CanBeSecurityContext() const {
    KXFaultInjector::Enter("AdFieldDef::CanBeSecurityContext");
    return type_ == AD_REFERENCE && reference_ && reference_->CanBeSecurityContext();
}

BOOL AdFieldDef::IsSecurityContext() const {
    KXFaultInjector::Enter("AdFieldDef::IsSecurityContext");
    return CanBeSecurityContext() && reference_->IsSecurityContext();
}

AdHookDef *AdFieldDef::GetChoiceListHook() const {
    KXFaultInjector::Enter("AdFieldDef::GetChoiceListHook");
    auto hooks = owner_->GetHookDefs();
    for (int i = 0; i < hooks.GetLength(); ++i) {
        AdHookDef *h = hooks.GetItem(i);
        if (h->GetHookType() == AD_HOOK_FIELD_CHOICE_LIST && h->GetFieldName() == GetName()) return h;
    }
    return nullptr;
}

int AdFieldDef::GetChoiceType() const {
    KXFaultInjector::Enter("AdFieldDef::GetChoiceType");
    return !choice_list_.IsEmpty() || GetChoiceListHook() ? 1 : 0;
}

int AdFieldDef::GetChoiceCalculationMode() const {
    KXFaultInjector::Enter("AdFieldDef::GetChoiceCalculationMode");
    return GetChoiceListHook() ? 2 : 1;
}

const wchar_t *const kHistoryActionTimestamp = L"action_timestamp";
const wchar_t *const kHistoryEntityDbId = L"entity_dbid";
const wchar_t *const kHistoryEntityDefDbId = L"entitydef_id";
const wchar_t *const kHistoryActionName = L"action_name";
const wchar_t *const kHistoryUserName = L"user_name";

CString AdActionDef::ActionTypeToName(int action_type) {
    KXFaultInjector::Enter("AdActionDef::ActionTypeToName");
    static const wchar_t *const kNames[] = {L"Submit", L"Modify", L"ChangeState", L"Duplicate",         L"Unduplicate",
                                            L"Import", L"Delete", L"Base",        L"RecordScriptAlias", L"Copy"};
    if (action_type < AD_ACTION_SUBMIT || action_type > AD_ACTION_COPY) {
        CString t;
        t.Format(L"%d is no action type.", action_type);
        throw_kx(KX_MSG_BAD_VALUE, t, "AdActionDef::ActionTypeToName");
    }
    return kNames[action_type - 1];
}

CString AdActionDef::GetActionTypeName() const {
    KXFaultInjector::Enter("AdActionDef::GetActionTypeName");
    return ActionTypeToName(type_);
}

AdFormDef *AdActionDef::GetFormDef() const {
    KXFaultInjector::Enter("AdActionDef::GetFormDef");
    if (type_ != AD_ACTION_SUBMIT && type_ != AD_ACTION_IMPORT) return nullptr;
    auto forms = owner_->GetFormDefs();
    for (int i = 0; i < forms.GetLength(); ++i)
        if (forms.GetItem(i)->GetFormType() == AD_FORM_SUBMIT) return forms.GetItem(i);
    return nullptr;
}

int AdHookDef::GetScriptLanguage() const {
    KXFaultInjector::Enter("AdHookDef::GetScriptLanguage");
    if (language_.CompareNoCase(L"kx") == 0) return AD_HOOK_LANGUAGE_KX;
    if (language_.CompareNoCase(L"lua") == 0) return AD_HOOK_LANGUAGE_LUA;
    return AD_HOOK_LANGUAGE_UNKNOWN;
}

AdIterator<AdEntityDef> AdEntityDef::GetParentFamilies() const {
    KXFaultInjector::Enter("AdEntityDef::GetParentFamilies");
    return AdIterator<AdEntityDef>(families_);
}

AdFormDef *AdEntityDef::GetDefaultFormDef() const {
    KXFaultInjector::Enter("AdEntityDef::GetDefaultFormDef");
    for (const auto &f : forms_)
        if (f->GetFormType() == AD_FORM_RECORD) return f.get();
    return nullptr;
}

BOOL AdEntityDef::CanBeSecurityContext() const {
    KXFaultInjector::Enter("AdEntityDef::CanBeSecurityContext");
    // Security contexts are looked up by key, which only records without states name stably.
    return !family_ && type_ == AD_STATELESS;
}

AdIterator<AdFieldDef> AdEntityDef::GetFieldDefs() const { return items(fields_); }
AdIterator<AdActionDef> AdEntityDef::GetActionDefs() const { return items(actions_); }
AdIterator<AdFormDef> AdEntityDef::GetFormDefs() const { return items(forms_); }
AdIterator<AdHookDef> AdEntityDef::GetHookDefs() const { return items(hooks_); }

AdIterator<AdFieldDef> AdEntityDef::GetUniqueKeyFieldDefs() const {
    std::vector<AdFieldDef *> out;
    for (const auto &f : fields_)
        if (f->IsUniqueKey() || (type_ == AD_STATEFUL && f->GetFieldType() == AD_ID)) out.push_back(f.get());
    return AdIterator<AdFieldDef>(std::move(out));
}

AdFieldDef *AdEntityDef::LookupFieldDef(const CString &name) const { return by_name(fields_, name); }
AdActionDef *AdEntityDef::LookupActionDef(const CString &name) const { return by_name(actions_, name); }
AdActionDef *AdEntityDef::LookupActionDef(int action_type) const {
    for (const auto &a : actions_)
        if (a->GetActionType() == action_type) return a.get();
    return nullptr;
}
AdFormDef *AdEntityDef::LookupFormDef(const CString &name) const { return by_name(forms_, name); }
AdHookDef *AdEntityDef::LookupHookDef(const CString &name) const { return by_name(hooks_, name); }

AdFieldDef *AdEntityDef::GetFieldDef(const CString &name) const {
    AdFieldDef *f = LookupFieldDef(name);
    if (!f)
        throw_kx(KX_MSG_NOT_FOUND, L"Field '" + name + L"' does not exist in record type '" + GetName() + L"'.",
                 "AdEntityDef::GetFieldDef");
    return f;
}

int AdEntityDef::GetBehavior(const AdFieldDef *field, const CString &state, const AdActionDef *action) const {
    if (!field) return AD_READONLY;
    // Specificity: state and action (3), action only (2), state only (1), neither (0).
    int best_rank = -1;
    int value = field->GetDefaultBehavior();
    for (const auto &b : behaviors_) {
        if (b.field != field->GetDbId()) continue;
        bool state_ok = b.state == 0 || (!state.IsEmpty() && b.state_name == state);
        bool action_ok = b.action == 0 || (action && action->GetDbId() == b.action);
        if (!state_ok || !action_ok) continue;
        int rank = (b.action ? 2 : 0) + (b.state ? 1 : 0);
        if (rank > best_rank) {
            best_rank = rank;
            value = b.value;
        }
    }
    return value;
}

KXSmartPtr<KXEntityDef> KXEntityDef::Build(AdEntityDef *def) {
    KXFaultInjector::Enter("KXEntityDef::Build");
    return KXSmartPtr<KXEntityDef>(new KXEntityDef(def));
}

AdEntityDef *LookupEntityDefOrFamily(const AdSessionPtr &session, const CString &name) {
    KXFaultInjector::Enter("LookupEntityDefOrFamily");
    return live(session, "LookupEntityDefOrFamily").schema->find(name);
}

AdEntityDef *LookupEntityDef(const AdSessionPtr &session, const CString &name) {
    KXFaultInjector::Enter("LookupEntityDef");
    AdEntityDef *d = live(session, "LookupEntityDef").schema->find(name);
    return d && !d->IsFamily() ? d : nullptr;
}

AdEntityDef *GetEntityDefOrFamilyById(const AdSessionPtr &session, int64_t dbid) {
    KXFaultInjector::Enter("GetEntityDefOrFamilyById");
    const auto &m = live(session, "GetEntityDefOrFamilyById").schema->by_dbid;
    auto it = m.find(dbid);
    return it == m.end() ? nullptr : it->second;
}

AdIterator<AdEntityDef> GetEntityDefsAndFamilies(const AdSessionPtr &session) {
    KXFaultInjector::Enter("GetEntityDefsAndFamilies");
    return items(live(session, "GetEntityDefsAndFamilies").schema->defs);
}

AdEntityDef *GetHistoryEntityDef(const AdSessionPtr &session) {
    KXFaultInjector::Enter("GetHistoryEntityDef");
    return live(session, "GetHistoryEntityDef").schema->history.get();
}

AdListDef *LookupListDef(const AdSessionPtr &session, const CString &name) {
    KXFaultInjector::Enter("LookupListDef");
    SessionCore &c = live(session, "LookupListDef");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    AdListDef *l = by_name(c.schema->lists, name);
    if (l) guarded("LookupListDef", [&] { refresh_list_values(*c.db, l); });
    return l;
}

AdIterator<AdListDef> GetListDefs(const AdSessionPtr &session) {
    KXFaultInjector::Enter("GetListDefs");
    SessionCore &c = live(session, "GetListDefs");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    guarded("GetListDefs", [&] {
        for (auto &l : c.schema->lists) refresh_list_values(*c.db, l.get());
    });
    return items(c.schema->lists);
}
