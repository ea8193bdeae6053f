// The query definition model: display fields with their presentation, the filter tree, declared
// SQL and the flags, and the checks that keep a definition one the engine can run.
#include <cwchar>
#include <string>

#include "kxproduct/faults.h"
#include "kxproduct/session.h"
#include "query_internal.h"

using namespace kxp;

namespace kxp {

namespace {
// A field of a record type or, for a family, of the first member that has it.
const AdFieldDef *field_of(AdEntityDef *def, const CString &name) {
    if (!def || name.IsEmpty()) return nullptr;
    if (const AdFieldDef *f = def->LookupFieldDef(name)) return f;
    auto members = def->GetFamilyMembers();
    for (int i = 0; i < members.GetLength(); ++i)
        if (const AdFieldDef *f = members.GetItem(i)->LookupFieldDef(name)) return f;
    return nullptr;
}

bool followable(const AdFieldDef *f) {
    return (f->GetFieldType() == AD_REFERENCE || f->GetFieldType() == AD_REFERENCE_LIST) && f->GetReferenceEntityDef();
}
} // namespace

FieldPath resolve_path(AdEntityDef *primary, const CString &path) {
    FieldPath out;
    AdEntityDef *def = primary;
    int pos = 0;
    while (true) {
        int dot = path.Find(L'.', pos);
        CString segment = dot < 0 ? path.Mid(pos) : path.Mid(pos, dot - pos);
        if (!def) {
            out.status = FieldPath::NOT_FOLLOWED;
            return out;
        }
        const AdFieldDef *f = field_of(def, segment);
        if (!f) {
            out.status = FieldPath::NOT_FOUND;
            return out;
        }
        out.fields.push_back(f);
        if (dot < 0) break;
        // Only references lead on; attachment lists and journals never do.
        def = followable(f) ? f->GetReferenceEntityDef() : nullptr;
        pos = dot + 1;
    }
    out.status = FieldPath::OK;
    return out;
}

bool legal_path(const FieldPath &p) {
    return p.status == FieldPath::OK && p.last()->GetFieldType() != AD_ATTACHMENT_LIST;
}

std::pair<int, int> operand_range(int comp_op) {
    switch (comp_op) {
    case AD_COMP_OP_EQ:
    case AD_COMP_OP_NEQ:
    case AD_COMP_OP_IN:
    case AD_COMP_OP_NOT_IN:
        return {1, -1};
    case AD_COMP_OP_BETWEEN:
    case AD_COMP_OP_NOT_BETWEEN:
        return {2, 2};
    case AD_COMP_OP_IS_NULL:
    case AD_COMP_OP_IS_NOT_NULL:
        return {0, 0};
    default:
        return {1, 1}; // orderings, substrings; unspecified takes one value
    }
}

CString comp_op_text(int comp_op) {
    static const wchar_t *const kNames[] = {L"unspecified",
                                            L"equal",
                                            L"not equal",
                                            L"less than",
                                            L"less than or equal",
                                            L"greater than",
                                            L"greater than or equal",
                                            L"substring",
                                            L"not substring",
                                            L"between",
                                            L"not between",
                                            L"null",
                                            L"not null",
                                            L"in set",
                                            L"not in set"};
    if (comp_op >= 0 && comp_op <= AD_COMP_OP_NOT_IN) return kNames[comp_op];
    CString t;
    t.Format(L"%d", comp_op);
    return t;
}

} // namespace kxp

namespace {

[[noreturn]] void refuse_pa(int msg_id, const CString &text) { throw new PaMsgException(msg_id, text); }

CString num(long long n) {
    CString t;
    t.Format(L"%lld", n);
    return t;
}

bool is_whole(const CString &text) {
    if (text.IsEmpty()) return false;
    wchar_t *end = nullptr;
    errno = 0;
    std::wcstoll(text.GetString(), &end, 10);
    return errno == 0 && *end == 0 && !std::iswspace(text[0]);
}

bool is_number(const CString &text) {
    if (text.IsEmpty() || std::iswspace(text[0])) return false;
    wchar_t *end = nullptr;
    std::wcstod(text.GetString(), &end);
    return *end == 0;
}

bool is_date(const CString &text) {
    int y, mo, d, h = 0, mi = 0, s = 0, n = 0;
    std::string t = text.ToUtf8();
    if (t.size() == 10) {
        if (std::sscanf(t.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &n) != 3 || n != 10) return false;
    } else if (t.size() == 19) {
        if (std::sscanf(t.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &n) != 6 || n != 19)
            return false;
    } else {
        return false;
    }
    return mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && h <= 23 && mi <= 59 && s <= 59;
}

bool numeric_type(int t) { return t == AD_INT || t == AD_FLOAT || t == AD_DBID; }

// The session's user may mark a definition privileged.
bool may_privilege(const AdSessionPtr &session, const char *op) {
    SessionCore &c = live(session, op);
    return (c.privileges & (PRIV_SUPER_USER | PRIV_SECURITY_ADMIN)) != 0;
}

// The session's user may give a definition SQL of its own (the raw-SQL-writer privilege).
bool may_write_sql(const AdSessionPtr &session, const char *op) {
    SessionCore &c = live(session, op);
    return (c.privileges & (PRIV_SUPER_USER | PRIV_RAW_SQL_WRITER)) != 0;
}

} // namespace

// ---- display fields ----

void AdQueryFieldDef::SetSortType(int sort_type) {
    if (sort_type < AD_SORT_NONE || sort_type > AD_SORT_DESCENDING)
        refuse_pa(KX_MSG_BAD_VALUE, L"Sort type " + num(sort_type) + L" is none of 0, 1, 2.");
    sort_type_ = sort_type;
}

void AdQueryFieldDef::SetSortOrder(int sort_order) {
    if (sort_order < 0) refuse_pa(KX_MSG_BAD_VALUE, L"Sort order " + num(sort_order) + L" is below 0.");
    sort_order_ = sort_order;
}

BOOL AdQueryFieldDef::IsLegalAggregate(int aggregate) const {
    switch (aggregate) {
    case AD_AGG_NONE:
    case AD_AGG_COUNT:
        return TRUE;
    case AD_AGG_SUM:
    case AD_AGG_AVERAGE:
        return field_type_ == AD_INT || field_type_ == AD_FLOAT;
    case AD_AGG_MINIMUM:
    case AD_AGG_MAXIMUM:
        return numeric_type(field_type_) || field_type_ == AD_DATE_TIME || field_type_ == AD_SHORT_STRING ||
               field_type_ == AD_ID;
    default:
        return FALSE;
    }
}

void AdQueryFieldDef::SetAggregate(int aggregate) {
    if (!IsLegalAggregate(aggregate))
        refuse_pa(KX_MSG_BAD_VALUE, L"Aggregate " + num(aggregate) + L" does not apply to '" + path_ + L"'.");
    if (aggregate && function_)
        refuse_pa(KX_MSG_BAD_VALUE, L"'" + path_ + L"' has a column function and cannot be aggregated.");
    aggregate_ = aggregate;
}

void AdQueryFieldDef::SetFunction(int function) {
    if (function < AD_FUNC_NONE || function > AD_FUNC_YEAR)
        refuse_pa(KX_MSG_BAD_VALUE, L"Column function " + num(function) + L" is unknown.");
    if (function && field_type_ != AD_DATE_TIME)
        refuse_pa(KX_MSG_BAD_VALUE, L"'" + path_ + L"' is no date-time field.");
    if (function && aggregate_)
        refuse_pa(KX_MSG_BAD_VALUE, L"'" + path_ + L"' is aggregated and cannot have a column function.");
    function_ = function;
}

// ---- filter nodes ----

AdFilterNode *AdFilterNode::GetChild(int index) const {
    return index >= 0 && index < NumChildren() ? children_[static_cast<size_t>(index)].get() : nullptr;
}

void AdFilterNode::SetBoolOp(int bool_op) {
    if (bool_op != AD_BOOL_OP_AND && bool_op != AD_BOOL_OP_OR)
        throw_kx(KX_MSG_BAD_VALUE, L"A filter node joins by and (1) or or (2).", "AdFilterNode::SetBoolOp");
    bool_op_ = bool_op;
}

void AdFieldFilter::SetCompOp(int comp_op) {
    if (comp_op < AD_COMP_OP_UNSPECIFIED || comp_op > AD_COMP_OP_NOT_IN)
        refuse_pa(KX_MSG_BAD_VALUE, num(comp_op) + L" is no comparison operator.");
    comp_op_ = comp_op;
}

void AdFieldFilter::AddVariable(int variable) {
    if (!IsLegalQueryVar(variable))
        refuse_pa(KX_MSG_BAD_VALUE, L"Variable " + num(variable) + L" does not apply to '" + path_ + L"'.");
    operands_.push_back({true, variable, CString()});
}

const AdFieldFilter::Operand &AdFieldFilter::operand(int index) const {
    if (index < 1 || index > GetNumberOfValues())
        throw_kx(KX_MSG_BAD_VALUE, L"Operand " + num(index) + L" is outside 1 to " + num(GetNumberOfValues()) + L".",
                 "AdFieldFilter");
    return operands_[static_cast<size_t>(index - 1)];
}

BOOL AdFieldFilter::IsVariable(int index) const { return operand(index).variable; }
CString AdFieldFilter::GetValue(int index) const { return operand(index).text; }
int AdFieldFilter::GetVariable(int index) const { return operand(index).var; }

std::vector<CString> AdFieldFilter::GetValues() const {
    std::vector<CString> out;
    for (const auto &o : operands_)
        if (!o.variable) out.push_back(o.text);
    return out;
}

BOOL AdFieldFilter::IsStringValidForDataType(const CString &text) const {
    switch (field_type_) {
    case AD_INT:
    case AD_DBID:
        return is_whole(text);
    case AD_FLOAT:
        return is_number(text);
    case AD_DATE_TIME:
        return is_date(text);
    default:
        return TRUE;
    }
}

BOOL AdFieldFilter::IsLegalQueryVar(int variable) const {
    switch (variable) {
    case AD_QUERY_VAR_USER:
        return field_type_ == AD_SHORT_STRING || field_type_ == AD_MULTILINE_STRING;
    case AD_QUERY_VAR_TODAY:
    case AD_QUERY_VAR_TOMORROW:
    case AD_QUERY_VAR_YESTERDAY:
        return field_type_ == AD_DATE_TIME;
    default:
        return FALSE;
    }
}

// ---- the definition ----

void AdQueryDef::changing() {
    if (!privileged_ || may_privilege(session_, "AdQueryDef")) return;
    if (!allow_privilege_loss_)
        refuse_pa(KX_MSG_NOT_PRIVILEGED, L"Only a super user or security administrator may change a privileged query.");
    privileged_ = false;
}

AdQueryFieldDef *AdQueryDef::BuildField(const CString &field_path) {
    KXFaultInjector::Enter("AdQueryDef::BuildField");
    FieldPath p = resolve_path(primary_, field_path);
    if (p.status == FieldPath::NOT_FOUND)
        throw_kx(KX_MSG_NOT_FOUND,
                 L"Record type '" + primary_->GetName() + L"' has no field path '" + field_path + L"'.",
                 "AdQueryDef::BuildField");
    if (!legal_path(p))
        throw_kx(KX_MSG_BAD_VALUE, L"The query cannot show the field path '" + field_path + L"'.",
                 "AdQueryDef::BuildField");
    changing();
    fields_.emplace_back(new AdQueryFieldDef(field_path, p.last()->GetFieldType()));
    return fields_.back().get();
}

AdQueryFieldDef *AdQueryDef::GetQueryFieldDef(int position) const {
    return position >= 1 && position <= GetNumberOfFields() ? fields_[static_cast<size_t>(position - 1)].get()
                                                            : nullptr;
}

int AdQueryDef::GetFieldPosition(const AdQueryFieldDef *field) const {
    for (size_t i = 0; i < fields_.size(); ++i)
        if (fields_[i].get() == field) return static_cast<int>(i) + 1;
    return 0;
}

void AdQueryDef::SetFieldPosition(AdQueryFieldDef *field, int position) {
    KXFaultInjector::Enter("AdQueryDef::SetFieldPosition");
    int from = GetFieldPosition(field);
    if (!from || position < 1 || position > GetNumberOfFields())
        throw_kx(KX_MSG_BAD_VALUE, L"No field of the query can move to position " + num(position) + L".",
                 "AdQueryDef::SetFieldPosition");
    changing();
    KXSmartPtr<AdQueryFieldDef> keep = fields_[static_cast<size_t>(from - 1)];
    fields_.erase(fields_.begin() + (from - 1));
    fields_.insert(fields_.begin() + (position - 1), keep);
}

void AdQueryDef::DeleteField(int position) {
    KXFaultInjector::Enter("AdQueryDef::DeleteField");
    if (position < 1 || position > GetNumberOfFields())
        throw_kx(KX_MSG_BAD_VALUE, L"The query has no field at position " + num(position) + L".",
                 "AdQueryDef::DeleteField");
    changing();
    fields_.erase(fields_.begin() + (position - 1));
}

CString AdQueryDef::GetUniqueKeyFieldPath() const {
    if (!primary_) return CString();
    if (primary_->IsFamily() || primary_->IsType(AD_STATEFUL)) return L"id";
    auto keys = primary_->GetUniqueKeyFieldDefs();
    return keys.GetLength() ? keys.GetItem(0)->GetName() : CString();
}

BOOL AdQueryDef::IsUniqueKeyField(const AdQueryFieldDef *field) const {
    CString key = GetUniqueKeyFieldPath();
    return field && !key.IsEmpty() && field->GetFieldPath() == key;
}

AdQueryFieldDef *AdQueryDef::BuildUniqueKeyField() {
    CString key = GetUniqueKeyFieldPath();
    if (key.IsEmpty())
        throw_kx(KX_MSG_NOT_FOUND, L"Record type '" + primary_->GetName() + L"' has no unique key.",
                 "AdQueryDef::BuildUniqueKeyField");
    return BuildField(key);
}

BOOL AdQueryDef::IsFieldPathLegalForQuery(const CString &field_path) const {
    KXFaultInjector::Enter("AdQueryDef::IsFieldPathLegalForQuery");
    return legal_path(resolve_path(primary_, field_path));
}

BOOL AdQueryDef::IsFieldPathLegalForFilter(const CString &field_path) const {
    KXFaultInjector::Enter("AdQueryDef::IsFieldPathLegalForFilter");
    return legal_path(resolve_path(primary_, field_path));
}

int AdQueryDef::GetFieldPathType(const CString &field_path) const {
    FieldPath p = resolve_path(primary_, field_path);
    return legal_path(p) ? p.last()->GetFieldType() : 0;
}

std::vector<CString> AdQueryDef::GetChoiceList(const CString &field_path) const {
    KXFaultInjector::Enter("AdQueryDef::GetChoiceList");
    bool shown = false;
    for (const auto &f : fields_) shown = shown || f->GetFieldPath() == field_path;
    FieldPath p = resolve_path(primary_, field_path);
    if (!shown || !legal_path(p))
        throw_kx(KX_MSG_NOT_FOUND, L"The query shows no field '" + field_path + L"'.", "AdQueryDef::GetChoiceList");
    const AdFieldDef *f = p.last();
    if (f->GetFieldType() == AD_STATE) return f->GetEntityDef()->GetStateNames();
    if (f->GetChoiceListName().IsEmpty()) return {};
    AdListDef *list = LookupListDef(session_, f->GetChoiceListName());
    return list ? list->GetValues() : std::vector<CString>();
}

void AdQueryDef::place(AdFilterNode *parent, const KXSmartPtr<AdFilterNode> &node, int is_top) {
    if (is_top) {
        node->depth_ = 1;
        top_ = node;
    } else {
        node->depth_ = parent->depth_ + 1;
        parent->children_.push_back(node);
    }
}

AdFilterNode *AdQueryDef::BuildFilter(AdFilterNode *parent, int bool_op, int is_top) {
    KXFaultInjector::Enter("AdQueryDef::BuildFilter");
    if (bool_op != AD_BOOL_OP_AND && bool_op != AD_BOOL_OP_OR)
        throw_kx(KX_MSG_BAD_VALUE, L"A filter node joins by and (1) or or (2).", "AdQueryDef::BuildFilter");
    if (!is_top && (!parent || parent->AsFieldFilter()))
        throw_kx(KX_MSG_BAD_VALUE, L"A filter node belongs under a boolean node.", "AdQueryDef::BuildFilter");
    if (!is_top && parent->depth_ >= kAdMaxFilterDepth)
        throw_kx(KX_MSG_BAD_VALUE, L"Filters nest at most " + num(kAdMaxFilterDepth) + L" deep.",
                 "AdQueryDef::BuildFilter");
    changing();
    KXSmartPtr<AdFilterNode> node(new AdFilterNode(bool_op));
    place(parent, node, is_top);
    return node.get();
}

AdFieldFilter *AdQueryDef::BuildFilter(AdFilterNode *parent, const CString &field_path, int comp_op,
                                       const std::vector<CString> &values, int is_top) {
    KXFaultInjector::Enter("AdQueryDef::BuildFilter");
    FieldPath p = resolve_path(primary_, field_path);
    if (!legal_path(p)) refuse_pa(KX_MSG_BAD_VALUE, L"The query cannot filter on '" + field_path + L"'.");
    if (comp_op < AD_COMP_OP_UNSPECIFIED || comp_op > AD_COMP_OP_NOT_IN)
        refuse_pa(KX_MSG_BAD_VALUE, num(comp_op) + L" is no comparison operator.");
    auto [least, most] = operand_range(comp_op);
    int n = static_cast<int>(values.size());
    // Values may follow later (AddValue); given ones must fit the operator.
    if (n && (n < least || (most >= 0 && n > most)))
        refuse_pa(KX_MSG_BAD_VALUE,
                  L"The comparison " + comp_op_text(comp_op) + L" cannot take " + num(n) + L" value(s).");
    if (!is_top && (!parent || parent->AsFieldFilter()))
        refuse_pa(KX_MSG_BAD_VALUE, L"A field filter belongs under a boolean node.");
    if (!is_top && parent->depth_ >= kAdMaxFilterDepth)
        refuse_pa(KX_MSG_BAD_VALUE, L"Filters nest at most " + num(kAdMaxFilterDepth) + L" deep.");
    KXSmartPtr<AdFilterNode> node(new AdFieldFilter(field_path, comp_op, p.last()->GetFieldType()));
    for (const CString &v : values) {
        if (!node->AsFieldFilter()->IsStringValidForDataType(v))
            refuse_pa(KX_MSG_BAD_VALUE, L"'" + v + L"' is no value for '" + field_path + L"'.");
        node->AsFieldFilter()->AddValue(v);
    }
    changing();
    place(parent, node, is_top);
    return node->AsFieldFilter();
}

AdFieldFilter *AdQueryDef::BuildUniqueKeyFilter(AdFilterNode *parent, int comp_op, const std::vector<CString> &values,
                                                int is_top) {
    CString key = GetUniqueKeyFieldPath();
    if (key.IsEmpty()) refuse_pa(KX_MSG_NOT_FOUND, L"Record type '" + primary_->GetName() + L"' has no unique key.");
    return BuildFilter(parent, key, comp_op, values, is_top);
}

AdFieldFilter *AdQueryDef::BuildReferenceListFilter(AdFilterNode *parent, const AdEntityPtr &record,
                                                    const CString &field_name, int is_top) {
    KXFaultInjector::Enter("AdQueryDef::BuildReferenceListFilter");
    if (!record) refuse_pa(KX_MSG_NOT_FOUND, L"The reference-list filter names no record.");
    const AdFieldDef *f = record->GetEntityDef()->LookupFieldDef(field_name);
    AdEntityDef *target = f && f->GetFieldType() == AD_REFERENCE_LIST ? f->GetReferenceEntityDef() : nullptr;
    bool fits = target == primary_;
    auto members = primary_->GetFamilyMembers();
    for (int i = 0; i < members.GetLength(); ++i) fits = fits || members.GetItem(i) == target;
    if (!fits)
        refuse_pa(KX_MSG_BAD_VALUE, L"'" + field_name + L"' of '" + record->GetEntityDef()->GetName() +
                                        L"' is no reference list to '" + primary_->GetName() + L"'.");
    AdFieldFilter *filter = BuildFilter(parent, L"dbid", AD_COMP_OP_IN, {}, is_top);
    filter->reflist_record_ = record->GetDbId();
    filter->reflist_field_ = field_name;
    return filter;
}

void AdQueryDef::UnbuildFilter() {
    KXFaultInjector::Enter("AdQueryDef::UnbuildFilter");
    changing();
    top_ = nullptr;
}

std::vector<AdFieldFilter *> AdQueryDef::GetPromptedFilters() const {
    std::vector<AdFieldFilter *> out;
    std::vector<AdFilterNode *> stack;
    if (top_) stack.push_back(top_.get());
    while (!stack.empty()) {
        AdFilterNode *n = stack.back();
        stack.pop_back();
        if (AdFieldFilter *ff = n->AsFieldFilter()) {
            if (!ff->GetPrompt().IsEmpty()) out.push_back(ff);
            continue;
        }
        for (int i = n->NumChildren() - 1; i >= 0; --i) stack.push_back(n->GetChild(i));
    }
    return out;
}

void AdQueryDef::SetDeclaredSQL(const CString &sql) {
    KXFaultInjector::Enter("AdQueryDef::SetDeclaredSQL");
    changing();
    // Clearing the SQL, or putting back the text the definition has, gives the user nothing new.
    if (!sql.IsEmpty() && sql != sql_ && !may_write_sql(session_, "AdQueryDef::SetDeclaredSQL"))
        refuse_pa(KX_MSG_NOT_PRIVILEGED, L"Only a raw-SQL writer may give a query SQL of its own.");
    sql_ = sql;
}

void AdQueryDef::SetPrivileged(BOOL privileged) {
    KXFaultInjector::Enter("AdQueryDef::SetPrivileged");
    if (!may_privilege(session_, "AdQueryDef::SetPrivileged"))
        refuse_pa(KX_MSG_NOT_PRIVILEGED, L"Only a super user or security administrator may mark a query privileged.");
    privileged_ = privileged != 0;
}

BOOL AdQueryDef::IsAggregated() const {
    for (const auto &f : fields_)
        if (f->IsGroupBy() || f->GetAggregate()) return TRUE;
    return FALSE;
}

BOOL AdQueryDef::IsMultiType() const { return primary_ && primary_->IsFamily(); }

// ---- building, copying, loading ----

KXSmartPtr<AdFilterNode> AdQueryDef::clone(const AdFilterNode *n) {
    if (!n) return KXSmartPtr<AdFilterNode>();
    KXSmartPtr<AdFilterNode> out;
    if (auto *ff = const_cast<AdFilterNode *>(n)->AsFieldFilter()) {
        auto *copy = new AdFieldFilter(ff->path_, ff->comp_op_, ff->field_type_);
        copy->operands_ = ff->operands_;
        copy->prompt_ = ff->prompt_;
        copy->reflist_record_ = ff->reflist_record_;
        copy->reflist_field_ = ff->reflist_field_;
        out = copy;
    } else {
        out = new AdFilterNode(n->bool_op_);
    }
    out->depth_ = n->depth_;
    for (const auto &c : n->children_) out->children_.push_back(clone(c.get()));
    return out;
}

AdQueryDefPtr BuildQueryDef(const AdSessionPtr &session, AdEntityDef *primary, int) {
    KXFaultInjector::Enter("BuildQueryDef");
    live(session, "BuildQueryDef");
    if (!primary) throw_kx(KX_MSG_BAD_VALUE, L"A query needs a record type.", "BuildQueryDef");
    return AdQueryDefPtr(new AdQueryDef(session, primary));
}

AdQueryDefPtr CopyQueryDef(const AdSessionPtr &session, const AdQueryDefPtr &source) {
    KXFaultInjector::Enter("CopyQueryDef");
    live(session, "CopyQueryDef");
    if (!source) throw_kx(KX_MSG_BAD_VALUE, L"No query definition to copy.", "CopyQueryDef");
    AdQueryDefPtr copy(new AdQueryDef(session, source->GetPrimaryEntity()));
    for (const auto &f : source->fields_) {
        auto *field = new AdQueryFieldDef(f->GetFieldPath(), f->GetFieldType());
        copy->fields_.emplace_back(field);
        field->SetLabel(f->GetLabel());
        field->SetIsShown(f->GetIsShown());
        field->SetSortType(f->GetSortType());
        field->SetSortOrder(f->GetSortOrder());
        field->SetGroupBy(f->IsGroupBy());
        field->SetAggregate(f->GetAggregate());
        field->SetFunction(f->GetFunction());
    }
    copy->top_ = AdQueryDef::clone(source->top_.get());
    copy->sql_ = source->sql_;
    copy->privileged_ = source->privileged_;
    copy->allow_privilege_loss_ = source->allow_privilege_loss_;
    return copy;
}

void AdFieldFilter::SetValue(int index, const CString &value) {
    if (index == GetNumberOfValues() + 1) return AddValue(value);
    operand(index);
    operands_[static_cast<size_t>(index - 1)] = {false, 0, value};
}

void AdFieldFilter::SetVariable(int index, int variable) {
    if (index == GetNumberOfValues() + 1) return AddVariable(variable);
    operand(index);
    if (!IsLegalQueryVar(variable))
        refuse_pa(KX_MSG_BAD_VALUE, L"Variable " + num(variable) + L" does not apply to '" + path_ + L"'.");
    operands_[static_cast<size_t>(index - 1)] = {true, variable, CString()};
}
