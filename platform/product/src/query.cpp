#include "kxproduct/query.h"

#include <cwchar>
#include <string>
#include <variant>

#include "core.h"
#include "kxproduct/faults.h"
#include "kxproduct/session.h"

using namespace kxp;

namespace {

// The field of a record type or, for a family, of the first member that has it; null when none.
// Dotted paths lead through references, which the engine does not follow yet.
const AdFieldDef* resolve_field(AdEntityDef* primary, const CString& path) {
  if (!primary || path.IsEmpty() || path.Find(L'.') >= 0) return nullptr;
  if (const AdFieldDef* f = primary->LookupFieldDef(path)) return f;
  auto members = primary->GetFamilyMembers();
  for (int i = 0; i < members.GetLength(); ++i)
    if (const AdFieldDef* f = members.GetItem(i)->LookupFieldDef(path)) return f;
  return nullptr;
}

bool legal_field(AdEntityDef* primary, const CString& path) {
  const AdFieldDef* f = resolve_field(primary, path);
  return f && f->GetFieldType() != AD_ATTACHMENT_LIST;
}

}  // namespace

namespace kxp {

// A query definition as SQL: the rows of the primary record type (or of the record history), the
// display columns and the filter, every value a bound parameter. Rows are keyed by dbid.
struct CompiledQuery {
  using Param = std::variant<int64_t, std::string>;
  struct Column {
    std::string sql;
    int field_type;
    CString label;
  };

  std::string from, where;  // "FROM ..." and the condition, both over the row alias r
  std::vector<Param> params;
  std::vector<Column> columns;

  static void attach(AdFilterNode* parent, const KXSmartPtr<AdFilterNode>& child) { parent->children_.push_back(child); }

  [[noreturn]] static void refuse(const CString& text) { throw_kx(KX_MSG_QUERY_FAILED, text, "AdResultSet::Execute"); }

  static std::string placeholders(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += i ? ",?" : "?";
    return s;
  }

  // History fields are columns of the history row and what it joins.
  static const char* history_column(const CString& name) {
    static const std::pair<const wchar_t*, const char*> kColumns[] = {
        {L"dbid", "r.dbid"},
        {kHistoryActionTimestamp, "r.at"},
        {kHistoryEntityDbId, "r.record_dbid"},
        {kHistoryEntityDefDbId, "rec.entity_def_dbid"},
        {kHistoryActionName, "a.name"},
        {kHistoryUserName, "u.login_name"},
    };
    for (const auto& [field, sql] : kColumns)
      if (name == field) return sql;
    return nullptr;
  }

  // Record fields the product keeps on the record row; the others live in field_values.
  static const char* record_column(const AdFieldDef* f) {
    if (!f->IsSystemOwned()) return nullptr;
    switch (f->GetFieldType()) {
      case AD_DBID: return "r.dbid";
      case AD_ID: return "r.display_name";
      case AD_STATE: return "(SELECT name FROM states WHERE dbid=r.state_dbid)";
      default: return nullptr;
    }
  }

  bool history = false;

  // SQL of a field's value; `field_param` receives the field name for stored fields.
  std::string value_sql(const AdFieldDef* f, std::vector<Param>& field_params) const {
    if (history) return history_column(f->GetName());
    if (const char* col = record_column(f)) return col;
    field_params.emplace_back(u8(f->GetName()));
    return "(SELECT group_concat(value, char(10)) FROM (SELECT value FROM field_values WHERE record_dbid=r.dbid"
           " AND field_dbid=(SELECT dbid FROM field_defs WHERE entity_def_dbid=r.entity_def_dbid AND name=?)"
           " ORDER BY position))";
  }

  std::string filter_sql(AdQueryDef& q, AdFilterNode* n) {
    if (AdFieldFilter* ff = n->AsFieldFilter()) {
      const AdFieldDef* f = resolve_field(q.GetPrimaryEntity(), ff->GetFieldPath());
      if (!f) refuse(L"The query cannot filter on '" + ff->GetFieldPath() + L"'.");
      if (ff->GetCompOp() != AD_COMP_OP_EQ) {
        CString t;
        t.Format(L"The query cannot run the comparison %d on '%s'.", ff->GetCompOp(), ff->GetFieldPath().GetString());
        refuse(t);
      }
      if (ff->GetValues().empty()) refuse(L"The filter on '" + ff->GetFieldPath() + L"' has no value.");
      std::string sql;
      if (!history && !record_column(f)) {
        // A list field matches when any of its values does.
        params.emplace_back(u8(f->GetName()));
        sql = "EXISTS(SELECT 1 FROM field_values WHERE record_dbid=r.dbid AND field_dbid=(SELECT dbid FROM field_defs"
              " WHERE entity_def_dbid=r.entity_def_dbid AND name=?) AND value IN (" +
              placeholders(ff->GetValues().size()) + "))";
      } else {
        sql = value_sql(f, params) + " IN (" + placeholders(ff->GetValues().size()) + ")";
      }
      for (const CString& v : ff->GetValues()) {
        CString stored = f->GetFieldType() == AD_DATE_TIME ? local_to_utc(v) : v;
        if (f->GetFieldType() == AD_DBID) {
          wchar_t* end = nullptr;
          long long n = std::wcstoll(stored.GetString(), &end, 10);
          if (stored.IsEmpty() || *end) refuse(L"'" + v + L"' is no dbid for '" + ff->GetFieldPath() + L"'.");
          params.emplace_back(static_cast<int64_t>(n));
        } else {
          params.emplace_back(u8(stored));
        }
      }
      return sql;
    }
    if (n->NumChildren() == 0) return "1";
    std::string sql = "(";
    for (int i = 0; i < n->NumChildren(); ++i) {
      if (i) sql += n->GetBoolOp() == AD_BOOL_OP_OR ? " OR " : " AND ";
      sql += filter_sql(q, n->GetChild(i));
    }
    return sql + ")";
  }

  CompiledQuery(SessionCore& c, AdQueryDef& q) {
    AdEntityDef* primary = q.GetPrimaryEntity();
    history = primary == c.schema->history.get();
    if (q.GetNumberOfFields() == 0) refuse(L"The query has no display fields.");
    for (int i = 1; i <= q.GetNumberOfFields(); ++i) {
      AdQueryFieldDef* qf = q.GetQueryFieldDef(i);
      const AdFieldDef* f = resolve_field(primary, qf->GetFieldPath());
      if (!f) refuse(L"The query cannot show '" + qf->GetFieldPath() + L"'.");
      columns.push_back(Column{value_sql(f, params), f->GetFieldType(), qf->GetLabel()});
    }
    if (history) {
      from = "FROM history r JOIN records rec ON rec.dbid=r.record_dbid LEFT JOIN action_defs a ON a.dbid=r.action_dbid"
             " LEFT JOIN users u ON u.dbid=r.user_dbid";
      where = "rec.database_dbid=?";
      params.emplace_back(c.database_dbid);
    } else {
      auto types = concrete_types(primary);
      from = "FROM records r";
      where = "r.database_dbid=? AND r.entity_def_dbid IN (" + placeholders(types.size()) + ")";
      params.emplace_back(c.database_dbid);
      for (int64_t t : types) params.emplace_back(t);
    }
    if (AdFilterNode* top = q.GetTopFilterNode()) where += " AND " + filter_sql(q, top);
  }

  std::string page_sql(size_t limit) const {
    std::string select = "SELECT r.dbid";
    for (const auto& col : columns) select += ", " + col.sql;
    return select + " " + from + " WHERE " + where + " AND r.dbid>? ORDER BY r.dbid LIMIT " + std::to_string(limit);
  }
};

}  // namespace kxp

namespace {
KXSmartPtr<AdFilterNode> clone(const AdFilterNode* n) {
  if (!n) return KXSmartPtr<AdFilterNode>();
  AdFilterNode* copy;
  if (auto* ff = const_cast<AdFilterNode*>(n)->AsFieldFilter()) {
    auto* f = new AdFieldFilter(ff->GetFieldPath(), ff->GetCompOp(), ff->GetFieldType());
    for (const auto& v : ff->GetValues()) f->AddValue(v);
    f->SetPrompt(ff->GetPrompt());
    copy = f;
  } else {
    copy = new AdFilterNode(n->GetBoolOp());
  }
  KXSmartPtr<AdFilterNode> out(copy);
  for (int i = 0; i < n->NumChildren(); ++i) {
    KXSmartPtr<AdFilterNode> c = clone(n->GetChild(i));
    kxp::CompiledQuery::attach(copy, c);
  }
  return out;
}

}  // namespace

AdQueryDefPtr BuildQueryDef(const AdSessionPtr& session, AdEntityDef* primary, int) {
  KXFaultInjector::Enter("BuildQueryDef");
  live(session, "BuildQueryDef");
  if (!primary) throw_kx(KX_MSG_BAD_VALUE, L"A query needs a record type.", "BuildQueryDef");
  return AdQueryDefPtr(new AdQueryDef(session, primary));
}

AdQueryDefPtr CopyQueryDef(const AdSessionPtr& session, const AdQueryDefPtr& source) {
  KXFaultInjector::Enter("CopyQueryDef");
  live(session, "CopyQueryDef");
  if (!source) throw_kx(KX_MSG_BAD_VALUE, L"No query definition to copy.", "CopyQueryDef");
  AdQueryDefPtr copy(new AdQueryDef(session, source->GetPrimaryEntity()));
  copy->SetDefinition(source->GetDefinition());
  for (const auto& f : source->fields_) {
    auto* field = new AdQueryFieldDef(f->GetFieldPath(), f->GetFieldType());
    field->SetLabel(f->GetLabel());
    field->SetIsShown(f->GetIsShown());
    copy->fields_.emplace_back(field);
  }
  copy->top_ = clone(source->top_.get());
  return copy;
}

AdQueryDefPtr GetQueryDef(const AdSessionPtr& session, const AdBucketPtr& bucket) {
  KXFaultInjector::Enter("GetQueryDef");
  live(session, "GetQueryDef");
  if (!bucket || !(bucket->GetType() & (AD_BUCKET_QUERY | AD_BUCKET_CHART)))
    throw new PaMsgException(KX_MSG_NOT_FOUND, L"The workspace item holds no query definition.");
  AdEntityDef* def = LookupEntityDefOrFamily(session, bucket->GetEntityDefName());
  if (!def) throw new PaMsgException(KX_MSG_NOT_FOUND, L"The query's record type '" + bucket->GetEntityDefName() + L"' is gone.");
  AdQueryDefPtr q(new AdQueryDef(session, def));
  q->SetDefinition(bucket->GetData());
  return q;
}

AdQueryDefPtr GetQueryOrChartByDbId(const AdSessionPtr& session, int64_t dbid, int) {
  KXFaultInjector::Enter("GetQueryOrChartByDbId");
  live(session, "GetQueryOrChartByDbId");
  AdBucketPtr bucket = GetWorkspaceMgr(session)->GetBucket(dbid);
  if (!bucket || !(bucket->GetType() & (AD_BUCKET_QUERY | AD_BUCKET_CHART)))
    throw new PaMsgException(KX_MSG_NOT_FOUND, L"No query or chart has the dbid " + CString(std::to_wstring(dbid).c_str()) + L".");
  return GetQueryDef(session, bucket);
}

// ---- the query definition model ----

AdFilterNode* AdFilterNode::GetChild(int index) const {
  return index >= 0 && index < NumChildren() ? children_[static_cast<size_t>(index)].get() : nullptr;
}

AdQueryFieldDef* AdQueryDef::BuildField(const CString& field_path) {
  KXFaultInjector::Enter("AdQueryDef::BuildField");
  if (field_path.Find(L'.') >= 0)
    throw_kx(KX_MSG_BAD_VALUE, L"The query cannot follow the field path '" + field_path + L"'.", "AdQueryDef::BuildField");
  const AdFieldDef* f = resolve_field(primary_, field_path);
  if (!f) throw_kx(KX_MSG_NOT_FOUND, L"Record type '" + primary_->GetName() + L"' has no field '" + field_path + L"'.", "AdQueryDef::BuildField");
  if (f->GetFieldType() == AD_ATTACHMENT_LIST)
    throw_kx(KX_MSG_BAD_VALUE, L"Field '" + field_path + L"' cannot be shown by a query.", "AdQueryDef::BuildField");
  fields_.emplace_back(new AdQueryFieldDef(field_path, f->GetFieldType()));
  return fields_.back().get();
}

AdQueryFieldDef* AdQueryDef::GetQueryFieldDef(int position) const {
  return position >= 1 && position <= GetNumberOfFields() ? fields_[static_cast<size_t>(position - 1)].get() : nullptr;
}

BOOL AdQueryDef::IsFieldPathLegalForQuery(const CString& field_path) const {
  KXFaultInjector::Enter("AdQueryDef::IsFieldPathLegalForQuery");
  return legal_field(primary_, field_path);
}

BOOL AdQueryDef::IsFieldPathLegalForFilter(const CString& field_path) const {
  KXFaultInjector::Enter("AdQueryDef::IsFieldPathLegalForFilter");
  return legal_field(primary_, field_path);
}

std::vector<CString> AdQueryDef::GetChoiceList(const CString& field_path) const {
  KXFaultInjector::Enter("AdQueryDef::GetChoiceList");
  bool shown = false;
  for (const auto& f : fields_) shown = shown || f->GetFieldPath() == field_path;
  const AdFieldDef* f = shown ? resolve_field(primary_, field_path) : nullptr;
  if (!f) throw_kx(KX_MSG_NOT_FOUND, L"The query shows no field '" + field_path + L"'.", "AdQueryDef::GetChoiceList");
  if (f->GetFieldType() == AD_STATE) return primary_->GetStateNames();
  if (f->GetChoiceListName().IsEmpty()) return {};
  AdListDef* list = LookupListDef(session_, f->GetChoiceListName());
  return list ? list->GetValues() : std::vector<CString>();
}

AdFilterNode* AdQueryDef::BuildFilter(AdFilterNode* parent, int bool_op, int is_top) {
  KXFaultInjector::Enter("AdQueryDef::BuildFilter");
  if (bool_op != AD_BOOL_OP_AND && bool_op != AD_BOOL_OP_OR)
    throw_kx(KX_MSG_BAD_VALUE, L"A filter node joins by and (1) or or (2).", "AdQueryDef::BuildFilter");
  if (!is_top && (!parent || parent->AsFieldFilter()))
    throw_kx(KX_MSG_BAD_VALUE, L"A filter node belongs under a boolean node.", "AdQueryDef::BuildFilter");
  KXSmartPtr<AdFilterNode> node(new AdFilterNode(bool_op));
  if (is_top) top_ = node;
  else kxp::CompiledQuery::attach(parent, node);
  return node.get();
}

AdFieldFilter* AdQueryDef::BuildFilter(AdFilterNode* parent, const CString& field_path, int comp_op,
                                       const std::vector<CString>& values, int is_top) {
  KXFaultInjector::Enter("AdQueryDef::BuildFilter");
  const AdFieldDef* f = resolve_field(primary_, field_path);
  if (!f || f->GetFieldType() == AD_ATTACHMENT_LIST)
    throw new PaMsgException(KX_MSG_BAD_VALUE, L"The query cannot filter on '" + field_path + L"'.");
  if (comp_op < AD_COMP_OP_UNSPECIFIED || comp_op > AD_COMP_OP_NOT_IN) {
    CString t;
    t.Format(L"%d is no comparison operator.", comp_op);
    throw new PaMsgException(KX_MSG_BAD_VALUE, t);
  }
  if (!is_top && (!parent || parent->AsFieldFilter()))
    throw new PaMsgException(KX_MSG_BAD_VALUE, L"A field filter belongs under a boolean node.");
  KXSmartPtr<AdFilterNode> node(new AdFieldFilter(field_path, comp_op, f->GetFieldType()));
  for (const CString& v : values) node->AsFieldFilter()->AddValue(v);
  if (is_top) top_ = node;
  else kxp::CompiledQuery::attach(parent, node);
  return node->AsFieldFilter();
}

// ---- result sets ----

namespace {
constexpr size_t kPageRows = 256;
}

AdResultSet::AdResultSet(const AdSessionPtr& session, const AdQueryDefPtr& query) : session_(session), query_(query) {}
AdResultSet::~AdResultSet() = default;

AdResultSetPtr BuildResultSet(const AdSessionPtr& session, const AdQueryDefPtr& query) {
  KXFaultInjector::Enter("BuildResultSet");
  live(session, "BuildResultSet");
  if (!query) throw_kx(KX_MSG_BAD_VALUE, L"No query definition.", "BuildResultSet");
  return AdResultSetPtr(new AdResultSet(session, query));
}

void AdResultSet::Execute() {
  KXFaultInjector::Enter("AdResultSet::Execute");
  SessionCore& c = live(session_, "AdResultSet::Execute");
  std::lock_guard<std::recursive_mutex> lock(c.mu);
  compiled_ = std::make_unique<CompiledQuery>(c, *query_);
  page_.clear();
  row_ = 0;
  last_key_ = 0;
  executed_ = true;
  at_end_ = has_row_ = false;
}

int AdResultSet::MoveNext() {
  KXFaultInjector::Enter("AdResultSet::MoveNext");
  SessionCore& c = live(session_, "AdResultSet::MoveNext");
  std::lock_guard<std::recursive_mutex> lock(c.mu);
  if (!executed_) throw_kx(KX_MSG_QUERY_FAILED, L"The result set has not been executed.", "AdResultSet::MoveNext");
  if (has_row_) ++row_;
  if (row_ >= page_.size() && !at_end_) {
    // Each page is its own statement, so no read transaction stays open between calls.
    page_ = guarded("AdResultSet::MoveNext", [&] {
      std::vector<std::vector<std::pair<bool, CString>>> rows;
      Stmt s(c.db->handle(), compiled_->page_sql(kPageRows));
      int i = 1;
      for (const auto& p : compiled_->params) {
        if (std::holds_alternative<int64_t>(p)) s.bind(i++, std::get<int64_t>(p));
        else s.bind(i++, std::get<std::string>(p));
      }
      s.bind(i, last_key_);
      while (s.step()) {
        last_key_ = s.int64(0);
        std::vector<std::pair<bool, CString>> row;
        for (size_t col = 0; col < compiled_->columns.size(); ++col) {
          int at = static_cast<int>(col) + 1;
          if (s.is_null(at)) {
            row.emplace_back(false, CString());
            continue;
          }
          CString v = w(s.text(at));
          row.emplace_back(true, compiled_->columns[col].field_type == AD_DATE_TIME ? utc_to_local(v) : v);
        }
        rows.push_back(std::move(row));
      }
      return rows;
    });
    row_ = 0;
    at_end_ = page_.size() < kPageRows;
  }
  has_row_ = row_ < page_.size();
  return has_row_ ? AD_SUCCESS : AD_NO_DATA_FOUND;
}

namespace {
void need_column(int column, int count) {
  if (column < 1 || column > count) {
    CString t;
    t.Format(L"Column %d is outside 1 to %d.", column, count);
    throw_kx(KX_MSG_BAD_VALUE, t, "AdResultSet");
  }
}
}  // namespace

int AdResultSet::GetNumberOfColumns() const {
  KXFaultInjector::Enter("AdResultSet::GetNumberOfColumns");
  return compiled_ ? static_cast<int>(compiled_->columns.size()) : query_->GetNumberOfFields();
}

CString AdResultSet::GetColumnLabel(int column) const {
  KXFaultInjector::Enter("AdResultSet::GetColumnLabel");
  need_column(column, query_->GetNumberOfFields());
  return query_->GetQueryFieldDef(column)->GetLabel();
}

int AdResultSet::GetColumnType(int column) const {
  KXFaultInjector::Enter("AdResultSet::GetColumnType");
  need_column(column, query_->GetNumberOfFields());
  return query_->GetQueryFieldDef(column)->GetFieldType();
}

BOOL AdResultSet::GetColumnValue(int column, CString& value) const {
  KXFaultInjector::Enter("AdResultSet::GetColumnValue");
  value.Empty();
  if (!has_row_) throw_kx(KX_MSG_QUERY_FAILED, L"The result set has no current row.", "AdResultSet::GetColumnValue");
  const auto& row = page_[row_];
  need_column(column, static_cast<int>(row.size()));
  value = row[static_cast<size_t>(column - 1)].second;
  return row[static_cast<size_t>(column - 1)].first ? TRUE : FALSE;
}

KXSmartPtr<KXWorkSpaceMgr> KXSession::GetWorkSpace() const {
  KXFaultInjector::Enter("KXSession::GetWorkSpace");
  if (!real_) throw_kx(KX_MSG_SESSION_ENDED, L"The session is not logged on.", "KXSession::GetWorkSpace");
  live(real_, "KXSession::GetWorkSpace");
  return KXSmartPtr<KXWorkSpaceMgr>(new KXWorkSpaceMgr(real_));
}

KXSmartPtr<KXReportDef> KXWorkSpaceMgr::BuildReportDef() {
  KXFaultInjector::Enter("KXWorkSpaceMgr::BuildReportDef");
  live(session_, "KXWorkSpaceMgr::BuildReportDef");
  return KXSmartPtr<KXReportDef>(new KXReportDef());
}

KXSmartPtr<KXReportDef> KXWorkSpaceMgr::GetReportDefByDbId(int64_t dbid) {
  KXFaultInjector::Enter("KXWorkSpaceMgr::GetReportDefByDbId");
  auto mgr = GetWorkspaceMgr(session_);
  AdBucketPtr b = mgr->GetBucket(dbid);
  if (!b || b->GetType() != AD_BUCKET_REPORT) return KXSmartPtr<KXReportDef>();
  KXSmartPtr<KXReportDef> r(new KXReportDef());
  r->name_ = b->GetName();
  r->dbid_ = dbid;
  // "query=<path>;format=<path>": each path names a workspace item of the same tree.
  CString data = b->GetData();
  int pos = 0;
  while (pos <= data.GetLength()) {
    int end = data.Find(L';', pos);
    if (end < 0) end = data.GetLength();
    CString part = data.Mid(pos, end - pos);
    int eq = part.Find(L'=');
    if (eq > 0) {
      CString key = part.Left(eq), value = part.Mid(eq + 1);
      AdBucketPtr target = mgr->LookupBucketByPathName(b->GetUserId(), value);
      if (target && key == L"query") r->query_id_ = target->GetDbId();
      if (target && key == L"format") r->format_id_ = target->GetDbId();
    }
    pos = end + 1;
  }
  return r;
}
