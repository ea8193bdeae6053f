// Query execution: a definition compiled to SQL with every value bound, read through a result set
// in pages, each page its own statement, so no read transaction stays open between calls.
#include "kxproduct/query.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

#include "kxproduct/faults.h"
#include "kxproduct/session.h"
#include "kxwin/utf.h"
#include "query_internal.h"
#include "query_sql.h"

using namespace kxp;

namespace {

// Pages start small, so a first page or a jump costs little, and grow while rows are read in
// order, so a walk takes few statements.
constexpr int64_t kFirstPageRows = 128, kMaxPageRows = 1024;

// Runs f, turning store failures into KXException KX_MSG_QUERY_FAILED: a query that fails while
// it runs.
template <class F>
auto reading(const char *source, F &&f) -> decltype(f()) {
    try {
        return f();
    } catch (const StoreError &e) {
        throw_kx(KX_MSG_QUERY_FAILED, L"The query failed: " + w(e.text), source);
    }
}

CString num(long long n) {
    CString t;
    t.Format(L"%lld", n);
    return t;
}

std::string marks(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += i ? ",?" : "?";
    return s;
}

Sql ints(const std::vector<int64_t> &values) {
    Sql s("(" + (values.empty() ? std::string("NULL") : marks(values.size())) + ")");
    for (int64_t v : values) s.params.emplace_back(v);
    return s;
}

// Local midnight of today plus `days`, as the store's UTC text.
std::string day_start_utc(int days) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    tm.tm_mday += days;
    tm.tm_isdst = -1;
    std::time_t at = std::mktime(&tm);
    std::tm utc{};
    gmtime_r(&at, &utc);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &utc);
    return buf;
}

int day_offset(int variable) {
    return variable == AD_QUERY_VAR_TOMORROW ? 1 : variable == AD_QUERY_VAR_YESTERDAY ? -1 : 0;
}

int column_type_of(const AdQueryFieldDef *f) {
    if (f->GetFunction()) return AD_COLUMN_STRING;
    int t = f->GetFieldType();
    switch (f->GetAggregate()) {
    case AD_AGG_COUNT:
        return AD_COLUMN_INT;
    case AD_AGG_AVERAGE:
        return AD_COLUMN_FLOAT;
    case AD_AGG_SUM:
        return t == AD_INT ? AD_COLUMN_INT : AD_COLUMN_FLOAT;
    default:
        break;
    }
    switch (t) {
    case AD_INT:
    case AD_DBID:
        return AD_COLUMN_INT;
    case AD_DATE_TIME:
        return AD_COLUMN_DATE_TIME;
    case AD_FLOAT:
        return AD_COLUMN_FLOAT;
    case AD_MULTILINE_STRING:
    case AD_JOURNAL:
        return AD_COLUMN_MULTILINE;
    default:
        return AD_COLUMN_STRING;
    }
}

// Numbers are stored as text: they compare, sort and add up as numbers.
Sql typed(const Sql &e, int field_type) {
    if (field_type == AD_INT) return Sql("CAST(") + e + " AS INTEGER)";
    if (field_type == AD_FLOAT) return Sql("CAST(") + e + " AS REAL)";
    return e;
}

} // namespace

namespace kxp {

struct ResultRow {
    int64_t type_dbid = 0;
    std::vector<std::pair<bool, std::string>> values; // UTF-8
};

// A query definition as SQL over the row alias r, and the state of its reading.
struct CompiledQuery {
    enum Mode { KEYSET, SORTED, OFFSET } mode = KEYSET;
    struct Column {
        Sql sql;
        int type; // AdColumnType
        bool dates;
        CString label, name;
        bool shown, group_by;
    };
    SessionCore &c;
    AdQueryDef &q;
    bool history = false;
    std::vector<Column> columns;
    Sql from_where; // "FROM ... WHERE ..." of the record rows
    Sql order;      // sort keys of SORTED
    Sql inner;      // the whole statement of a grouped query
    std::unique_ptr<DeclaredSql> declared;
    // Reading state.
    int64_t cap = 0;                    // most rows delivered (0: all)
    std::vector<int64_t> keys;          // SORTED: the record dbids in order
    int64_t next_row = 0, next_key = 0; // KEYSET: the key before row next_row
    int64_t count = -1;
    bool limited = false;
    int64_t page_end = 0, page_rows = kFirstPageRows; // where the last page ended, its size

    [[noreturn]] static void refuse(const CString &text) {
        throw_kx(KX_MSG_QUERY_FAILED, text, "AdResultSet::Execute");
    }

    // ---- memory held between pages (estimates that err high) ----

    static size_t held(const Sql &sql) {
        size_t n = held_bytes(sql.text) + heap_bytes(sql.params.capacity() * sizeof(Param));
        for (const Param &p : sql.params)
            if (const auto *text = std::get_if<std::string>(&p)) n += heap_bytes(text->capacity() + 1);
        return n;
    }

    static size_t held(const AdFilterNode *node) {
        if (node == nullptr) return 0;
        size_t n = heap_bytes(sizeof(AdFieldFilter)) + heap_bytes(node->children_.capacity() * sizeof(void *));
        for (const auto &child : node->children_) n += held(child.get());
        if (const auto *f = dynamic_cast<const AdFieldFilter *>(node)) {
            n += held_bytes(f->path_) + held_bytes(f->prompt_) + held_bytes(f->reflist_field_);
            n += heap_bytes(f->operands_.capacity() * sizeof(AdFieldFilter::Operand));
            for (const auto &operand : f->operands_) n += held_bytes(operand.text);
        }
        return n;
    }

    static size_t held(const AdQueryDef &q) {
        size_t n = heap_bytes(sizeof(AdQueryDef)) + held_bytes(q.sql_) + held(q.top_.get()) +
                   heap_bytes(q.fields_.capacity() * sizeof(void *));
        for (const auto &field : q.fields_)
            n +=
                heap_bytes(sizeof(AdQueryFieldDef)) + held_bytes(field->GetFieldPath()) + held_bytes(field->GetLabel());
        return n;
    }

    size_t held() const {
        size_t n = heap_bytes(sizeof(*this)) + held(from_where) + held(order) + held(inner) +
                   heap_bytes(keys.capacity() * sizeof(int64_t)) + heap_bytes(columns.capacity() * sizeof(Column));
        for (const Column &column : columns) n += held(column.sql) + held_bytes(column.label) + held_bytes(column.name);
        if (declared) n += heap_bytes(sizeof(DeclaredSql)) + declared->columns().size() * heap_bytes(sizeof(CString));
        return n;
    }

    // Declared SQL's own connection is closed when a read of the result ends: a result set kept
    // between pages holds no descriptor.
    struct ReadScope {
        CompiledQuery &q;
        ~ReadScope() {
            if (q.declared) q.declared->close();
        }
    };

    // ---- field paths ----

    // The dbids of a field name in each record type a record type or family holds.
    Sql field_ids(AdEntityDef *def, const CString &name) const {
        std::vector<int64_t> ids;
        for (int64_t t : concrete_types(def)) {
            auto it = c.schema->by_dbid.find(t);
            if (it == c.schema->by_dbid.end()) continue;
            if (const AdFieldDef *f = it->second->LookupFieldDef(name)) ids.push_back(f->GetDbId());
        }
        return ints(ids);
    }

    // The records a path reaches at step k, as a condition on a column of record dbids.
    Sql reached(const FieldPath &p, size_t k, const std::string &column) const {
        if (k == 0) return Sql(column + "=r.dbid");
        const AdFieldDef *ref = p.fields[k - 1];
        AdEntityDef *owner = k == 1 ? q.GetPrimaryEntity() : p.fields[k - 2]->GetReferenceEntityDef();
        std::string t = "t" + std::to_string(k), fv = "fv" + std::to_string(k);
        return Sql(column + " IN (SELECT " + t + ".dbid FROM records " + t + " WHERE " + t +
                   ".database_dbid=r.database_dbid AND " + t + ".entity_def_dbid IN ") +
               ints(concrete_types(ref->GetReferenceEntityDef())) + " AND " + t + ".display_name IN (SELECT " + fv +
               ".value FROM field_values " + fv + " WHERE " + reached(p, k - 1, fv + ".record_dbid") + " AND " + fv +
               ".field_dbid IN " + field_ids(owner, ref->GetName()) + "))";
    }

    // The values of a path: an expression and the FROM/WHERE it is read from (empty when it is a
    // column of r itself), with the order its values are listed in.
    struct Values {
        std::string v;
        Sql from_where;
        std::string order;
        Sql field_dbids; // of a field of the row itself: the field's dbids
    };

    static const char *history_column(const CString &name) {
        static const std::pair<const wchar_t *, const char *> kColumns[] = {
            {L"dbid", "r.dbid"},
            {kHistoryActionTimestamp, "r.at"},
            {kHistoryEntityDbId, "r.record_dbid"},
            {kHistoryEntityDefDbId, "(SELECT entity_def_dbid FROM records WHERE dbid=r.record_dbid)"},
            {kHistoryActionName, "(SELECT name FROM action_defs WHERE dbid=r.action_dbid)"},
            {kHistoryUserName, "(SELECT login_name FROM users WHERE dbid=r.user_dbid)"},
        };
        for (const auto &[field, sql] : kColumns)
            if (name == field) return sql;
        return nullptr;
    }

    Values values(const FieldPath &p) const {
        const AdFieldDef *f = p.last();
        size_t k = p.fields.size() - 1;
        if (history) {
            const char *col = history_column(f->GetName());
            if (!col || k) refuse(L"The history has no field '" + f->GetName() + L"'.");
            return {col, Sql(), "", Sql()};
        }
        if (f->IsSystemOwned()) {
            const char *top = nullptr;
            const char *deep = nullptr;
            std::string join;
            switch (f->GetFieldType()) {
            case AD_DBID:
                top = "r.dbid", deep = "x.dbid";
                break;
            case AD_ID:
                top = "r.display_name", deep = "x.display_name";
                break;
            case AD_STATE:
                top = "(SELECT name FROM states WHERE dbid=r.state_dbid)", deep = "s.name",
                join = " JOIN states s ON s.dbid=x.state_dbid";
                break;
            default:
                break;
            }
            if (top && k == 0) return {top, Sql(), "", Sql()};
            if (top) return {deep, Sql("FROM records x" + join + " WHERE ") + reached(p, k, "x.dbid"), "x.dbid", Sql()};
        }
        AdEntityDef *owner = k == 0 ? q.GetPrimaryEntity() : p.fields[k - 1]->GetReferenceEntityDef();
        Sql ids = field_ids(owner, f->GetName());
        return {"fv.value",
                Sql("FROM field_values fv WHERE ") + reached(p, k, "fv.record_dbid") + " AND fv.field_dbid IN " + ids,
                "fv.record_dbid, fv.position", k == 0 ? ids : Sql()};
    }

    // One display value: the values of a path joined by line ends.
    Sql display(const FieldPath &p) const {
        Values vs = values(p);
        if (vs.from_where.text.empty()) return Sql(vs.v);
        if (p.fields.size() > 1)
            return Sql("(SELECT group_concat(v, char(10)) FROM (SELECT " + vs.v + " AS v ") + vs.from_where +
                   " ORDER BY " + vs.order + "))";
        // A field of the row itself is read along its key (record, field, position), in order
        // without a sort. Joining costs several times the read, so it is left to fields that hold
        // more than one value in some record: the statement asks once, in its own snapshot.
        Sql joined = Sql("(SELECT group_concat(" + vs.v + ", char(10)) ") + vs.from_where + ")";
        Sql one = Sql("(SELECT " + vs.v + " ") + vs.from_where + ")";
        return Sql("(CASE WHEN EXISTS(SELECT 1 FROM field_values WHERE position>0 AND field_dbid IN ") +
               vs.field_dbids + ") THEN " + joined + " ELSE " + one + " END)";
    }

    // ---- filters ----

    Sql operand(const AdFieldFilter *ff, int index) const {
        const CString path = ff->GetFieldPath();
        Sql s("?");
        if (ff->IsVariable(index)) {
            int var = ff->GetVariable(index);
            if (var == AD_QUERY_VAR_USER)
                s.params.emplace_back(u8(c.login));
            else if (var >= AD_QUERY_VAR_TODAY && var <= AD_QUERY_VAR_YESTERDAY)
                s.params.emplace_back(day_start_utc(day_offset(var)));
            else
                refuse(L"The filter on '" + path + L"' holds an unknown variable.");
            return s;
        }
        CString v = ff->GetValue(index);
        if (!ff->IsStringValidForDataType(v)) refuse(L"'" + v + L"' is no value for '" + path + L"'.");
        switch (ff->GetFieldType()) {
        case AD_INT:
        case AD_DBID:
            s.params.emplace_back(static_cast<int64_t>(std::wcstoll(v.GetString(), nullptr, 10)));
            break;
        case AD_FLOAT:
            s = Sql("CAST(? AS REAL)");
            s.params.emplace_back(u8(v));
            break;
        case AD_DATE_TIME:
            s.params.emplace_back(u8(local_to_utc(v.GetLength() == 10 ? v + L" 00:00:00" : v)));
            break;
        default:
            s.params.emplace_back(u8(v));
        }
        return s;
    }

    // What one value must meet for the positive form of the operator.
    Sql value_condition(const AdFieldFilter *ff, const Sql &tv) const {
        int op = ff->GetCompOp();
        switch (op) {
        case AD_COMP_OP_EQ:
        case AD_COMP_OP_NEQ:
        case AD_COMP_OP_IN:
        case AD_COMP_OP_NOT_IN: {
            Sql s("(");
            for (int i = 1; i <= ff->GetNumberOfValues(); ++i) {
                if (i > 1) s += " OR ";
                if (ff->IsVariable(i) && ff->GetVariable(i) >= AD_QUERY_VAR_TODAY) {
                    // A day matches its whole local day.
                    Sql end("?");
                    end.params.emplace_back(day_start_utc(day_offset(ff->GetVariable(i)) + 1));
                    s += Sql("(") + tv + ">=" + operand(ff, i) + " AND " + tv + "<" + end + ")";
                } else {
                    s += tv + "=" + operand(ff, i);
                }
            }
            return s + ")";
        }
        case AD_COMP_OP_LT:
            return tv + "<" + operand(ff, 1);
        case AD_COMP_OP_LTE:
            return tv + "<=" + operand(ff, 1);
        case AD_COMP_OP_GT:
            return tv + ">" + operand(ff, 1);
        case AD_COMP_OP_GTE:
            return tv + ">=" + operand(ff, 1);
        case AD_COMP_OP_LIKE:
        case AD_COMP_OP_NOT_LIKE: {
            // A substring, matched literally.
            std::string text =
                ff->IsVariable(1) ? std::get<std::string>(operand(ff, 1).params[0]) : u8(ff->GetValue(1));
            std::string pattern = "%";
            for (char ch : text) {
                if (ch == '%' || ch == '_' || ch == '\\') pattern += '\\';
                pattern += ch;
            }
            Sql s = tv + " LIKE ? ESCAPE '\\'";
            s.params.emplace_back(pattern + "%");
            return s;
        }
        case AD_COMP_OP_BETWEEN:
        case AD_COMP_OP_NOT_BETWEEN:
            return tv + " BETWEEN " + operand(ff, 1) + " AND " + operand(ff, 2);
        default:
            return tv + " IS NOT NULL AND " + tv + "<>''"; // the null tests
        }
    }

    Sql field_filter(AdFieldFilter *ff) {
        const CString path = ff->GetFieldPath();
        if (ff->IsReferenceListFilter()) {
            // The records of the list's record type whose names the record's list holds.
            Sql s("(r.entity_def_dbid=(SELECT f.reference_entity_def FROM field_defs f JOIN records x ON "
                  "x.entity_def_dbid=f.entity_def_dbid"
                  " WHERE x.dbid=? AND f.name=?) AND r.display_name IN (SELECT fv.value FROM field_values fv JOIN "
                  "records x ON"
                  " x.dbid=fv.record_dbid JOIN field_defs f ON f.dbid=fv.field_dbid AND "
                  "f.entity_def_dbid=x.entity_def_dbid"
                  " WHERE fv.record_dbid=? AND f.name=?))");
            const int64_t record = ff->GetReferenceListRecordDbId();
            const std::string field = u8(ff->GetReferenceListFieldName());
            s.params = {record, field, record, field};
            return s;
        }
        FieldPath p = resolve_path(q.GetPrimaryEntity(), path);
        if (!legal_path(p)) refuse(L"The query cannot filter on '" + path + L"'.");
        int op = ff->GetCompOp();
        if (op <= AD_COMP_OP_UNSPECIFIED || op > AD_COMP_OP_NOT_IN)
            refuse(L"The filter on '" + path + L"' has no comparison operator.");
        auto [least, most] = operand_range(op);
        int n = ff->GetNumberOfValues();
        if (n < least || (most >= 0 && n > most))
            refuse(L"The comparison " + comp_op_text(op) + L" on '" + path + L"' cannot take " + num(n) +
                   L" value(s).");
        bool negative = op == AD_COMP_OP_NEQ || op == AD_COMP_OP_NOT_IN || op == AD_COMP_OP_NOT_LIKE ||
                        op == AD_COMP_OP_NOT_BETWEEN || op == AD_COMP_OP_IS_NULL;
        // A path with several values (a list, or through one) meets a positive operator when any
        // value does, and a negative one when none meets its positive form.
        Values vs = values(p);
        Sql cond = value_condition(ff, typed(Sql(vs.v), p.last()->GetFieldType()));
        Sql any = vs.from_where.text.empty() ? Sql("(") + cond + ")"
                                             : Sql("EXISTS(SELECT 1 ") + vs.from_where + " AND " + cond + ")";
        if (!negative) return any;
        // A column of r with no value meets no comparison, so its negation holds.
        return vs.from_where.text.empty() && op != AD_COMP_OP_IS_NULL ? Sql("NOT coalesce(") + any + ", 0)"
                                                                      : Sql("NOT ") + any;
    }

    Sql filter(AdFilterNode *n) {
        if (AdFieldFilter *ff = n->AsFieldFilter()) return field_filter(ff);
        if (n->NumChildren() == 0) return Sql("1");
        Sql s("(");
        for (int i = 0; i < n->NumChildren(); ++i) {
            if (i) s += n->GetBoolOp() == AD_BOOL_OP_OR ? " OR " : " AND ";
            s += filter(n->GetChild(i));
        }
        return s + ")";
    }

    // ---- the statement ----

    static Sql function(int f, const Sql &e) {
        switch (f) {
        case AD_FUNC_DAY:
            return Sql("date(") + e + ", 'localtime')";
        case AD_FUNC_WEEK:
            return Sql("strftime('%Y-W%W', ") + e + ", 'localtime')";
        case AD_FUNC_MONTH:
            return Sql("strftime('%Y-%m', ") + e + ", 'localtime')";
        case AD_FUNC_YEAR:
            return Sql("strftime('%Y', ") + e + ", 'localtime')";
        default:
            return e;
        }
    }

    static Sql aggregate(int agg, int field_type, const Sql &e) {
        switch (agg) {
        case AD_AGG_COUNT:
            return Sql("COUNT(") + e + ")";
        case AD_AGG_SUM:
            return Sql("SUM(") + typed(e, field_type) + ")";
        case AD_AGG_AVERAGE:
            return Sql("AVG(") + typed(e, AD_FLOAT) + ")";
        case AD_AGG_MINIMUM:
            return Sql("MIN(") + typed(e, field_type) + ")";
        case AD_AGG_MAXIMUM:
            return Sql("MAX(") + typed(e, field_type) + ")";
        default:
            return e;
        }
    }

    CompiledQuery(SessionCore &core, AdQueryDef &def) : c(core), q(def) {
        AdEntityDef *primary = q.GetPrimaryEntity();
        history = primary == c.schema->history.get();
        if (!q.GetDeclaredSQL().IsEmpty()) {
            declared = std::make_unique<DeclaredSql>(c, q.GetDeclaredSQL());
            for (const auto &col : declared->columns())
                columns.push_back(Column{Sql(), col.type, false, col.name, col.name, true, false});
            mode = OFFSET;
            return;
        }
        if (q.GetNumberOfFields() == 0) refuse(L"The query has no display fields.");
        const bool grouped = q.IsAggregated();
        std::vector<std::pair<std::pair<int, int>, Sql>> sorts;
        for (int i = 1; i <= q.GetNumberOfFields(); ++i) {
            AdQueryFieldDef *qf = q.GetQueryFieldDef(i);
            FieldPath p = resolve_path(primary, qf->GetFieldPath());
            if (!legal_path(p)) refuse(L"The query cannot show '" + qf->GetFieldPath() + L"'.");
            Sql e = function(qf->GetFunction(), display(p));
            if (grouped) e = aggregate(qf->GetAggregate(), qf->GetFieldType(), e);
            int type = column_type_of(qf);
            columns.push_back(Column{e, type, type == AD_COLUMN_DATE_TIME, qf->GetLabel(), qf->GetFieldPath(),
                                     qf->GetIsShown() != 0, qf->IsGroupBy() != 0});
            if (qf->GetSortType()) {
                Sql key = grouped ? Sql(std::to_string(i)) : typed(e, qf->GetFunction() ? 0 : qf->GetFieldType());
                sorts.push_back({{qf->GetSortOrder() ? qf->GetSortOrder() : INT_MAX, i},
                                 key + (qf->GetSortType() == AD_SORT_DESCENDING ? " DESC" : "")});
            }
        }
        std::sort(sorts.begin(), sorts.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        if (history) {
            from_where = Sql("FROM history r WHERE r.record_dbid IN (SELECT dbid FROM records WHERE database_dbid=?)");
            from_where.params.emplace_back(c.database_dbid);
        } else {
            from_where = Sql("FROM records r WHERE r.database_dbid=? AND r.entity_def_dbid IN ");
            from_where.params.emplace_back(c.database_dbid);
            from_where += ints(concrete_types(primary));
        }
        if (AdFilterNode *top = q.GetTopFilterNode()) from_where += Sql(" AND ") + filter(top);
        for (size_t i = 0; i < sorts.size(); ++i) order += Sql(i ? ", " : "") + sorts[i].second;
        if (grouped) {
            // Rows are groups of every column that is not aggregated.
            mode = OFFSET;
            inner = Sql("SELECT ");
            std::string group;
            for (size_t i = 0; i < columns.size(); ++i) {
                inner += Sql(i ? ", " : "") + columns[i].sql;
                if (!q.GetQueryFieldDef(static_cast<int>(i) + 1)->GetAggregate())
                    group += (group.empty() ? "" : ",") + std::to_string(i + 1);
            }
            inner += Sql(" ") + from_where;
            if (!group.empty()) inner += " GROUP BY " + group;
            inner += Sql(" ORDER BY ") + (order.text.empty() ? Sql(group.empty() ? "1" : group) : order);
        } else if (!sorts.empty()) {
            mode = SORTED;
            order += Sql(", r.dbid");
        }
    }

    sqlite3 *handle() const { return declared ? declared->handle() : c.db->raw(); }
    // Rows of a statement whose text recurs (pages by key, counts): kept prepared on the session's
    // connection. Texts with values written in (key lists, offsets) are prepared each time.
    void kept_rows(const Sql &sql, const std::function<void(sqlite3_stmt *)> &row) const {
        if (declared)
            for_each_row(declared->handle(), sql, row);
        else
            for_each_row(c.db->handle(), sql, row);
    }

    // The statement of OFFSET mode wrapped by head and tail.
    Sql offset_sql(const std::string &head, const std::string &tail) const {
        if (declared) return declared->wrapped(head, tail);
        return Sql(head + "(") + inner + ")" + tail;
    }

    Sql select_columns() const {
        Sql s(history ? "SELECT r.dbid, 0" : "SELECT r.dbid, r.entity_def_dbid");
        for (const auto &col : columns) s += Sql(", ") + col.sql;
        return s;
    }

    // Whether the result has a row with that number, the cap aside.
    bool has_row(int64_t row) const {
        if (mode == SORTED) return row <= static_cast<int64_t>(keys.size());
        Sql sql = mode == KEYSET ? Sql("SELECT 1 ") + from_where + " ORDER BY r.dbid LIMIT 1 OFFSET ?"
                                 : offset_sql("SELECT 1 FROM ", " LIMIT 1 OFFSET ?");
        sql.params.emplace_back(row - 1);
        bool found = false;
        kept_rows(sql, [&](sqlite3_stmt *) { found = true; });
        return found;
    }

    int64_t count_rows() const {
        int64_t n = 0;
        Sql sql = mode == SORTED   ? Sql()
                  : mode == KEYSET ? Sql("SELECT COUNT(*) ") + from_where
                                   : offset_sql("SELECT COUNT(*) FROM ", "");
        if (mode == SORTED)
            n = static_cast<int64_t>(keys.size());
        else
            kept_rows(sql, [&](sqlite3_stmt *s) { n = sqlite3_column_int64(s, 0); });
        return cap && n > cap ? cap : n;
    }

    void execute() {
        if (mode == SORTED) {
            // The order is fixed once, as the record keys in order; a page reads its rows by key.
            Sql sql = Sql("SELECT r.dbid ") + from_where + " ORDER BY " + order;
            if (cap) sql += " LIMIT " + std::to_string(cap + 1);
            for_each_row(handle(), sql, [&](sqlite3_stmt *s) { keys.push_back(sqlite3_column_int64(s, 0)); });
            if (cap && static_cast<int64_t>(keys.size()) > cap) {
                keys.resize(static_cast<size_t>(cap));
                limited = true;
            }
            count = static_cast<int64_t>(keys.size());
        } else if (cap) {
            limited = has_row(cap + 1);
        }
        next_row = 1;
        next_key = 0;
    }

    // A value as well-formed UTF-8: what its CString holds, encoded.
    static std::string value_text(sqlite3_stmt *s, int at) {
        if (sqlite3_column_type(s, at) == SQLITE_BLOB) {
            static const char kHex[] = "0123456789abcdef";
            const auto *b = static_cast<const unsigned char *>(sqlite3_column_blob(s, at));
            std::string hex;
            for (int i = 0; i < sqlite3_column_bytes(s, at); ++i) (hex += kHex[b[i] >> 4]) += kHex[b[i] & 15];
            return hex;
        }
        const char *t = reinterpret_cast<const char *>(sqlite3_column_text(s, at));
        return kxwin::well_formed_utf8(std::string_view(t ? t : "", static_cast<size_t>(sqlite3_column_bytes(s, at))));
    }

    // The first `count` characters of well-formed UTF-8.
    static void cut_to_characters(std::string &v, int count) {
        size_t at = 0;
        for (int n = 0; at < v.size(); ++at)
            if ((static_cast<unsigned char>(v[at]) & 0xC0) != 0x80 && n++ == count) break;
        v.resize(at);
    }

    ResultRow read_row(sqlite3_stmt *s, int first, int max_multiline) const {
        ResultRow row;
        row.values.reserve(columns.size());
        if (first) row.type_dbid = sqlite3_column_int64(s, 1);
        for (size_t col = 0; col < columns.size(); ++col) {
            int at = static_cast<int>(col) + first;
            if (sqlite3_column_type(s, at) == SQLITE_NULL) {
                row.values.emplace_back(false, std::string());
                continue;
            }
            std::string v = value_text(s, at);
            if (columns[col].dates) {
                // Each value of a list on its own line, each in local time.
                const CString utc = CString::FromUtf8(v);
                CString out;
                int pos = 0;
                while (pos <= utc.GetLength()) {
                    int end = utc.Find(L'\n', pos);
                    if (end < 0) end = utc.GetLength();
                    if (pos) out += L'\n';
                    out += utc_to_local(utc.Mid(pos, end - pos));
                    pos = end + 1;
                }
                v = out.ToUtf8();
            }
            if (columns[col].type == AD_COLUMN_MULTILINE && max_multiline > 0) cut_to_characters(v, max_multiline);
            row.values.emplace_back(true, std::move(v));
        }
        return row;
    }

    // Rows first.. of one page (fewer at the end of the result).
    std::vector<ResultRow> page(int64_t first, int max_multiline) {
        std::vector<ResultRow> rows;
        page_rows = first == page_end ? std::min(page_rows * 2, kMaxPageRows) : kFirstPageRows;
        int64_t n = page_rows;
        page_end = first + n;
        if (cap) n = std::min(n, cap - first + 1);
        if (n <= 0) return rows;
        if (mode == SORTED) {
            if (first > static_cast<int64_t>(keys.size())) return rows;
            auto from = keys.begin() + (first - 1);
            std::vector<int64_t> wanted(from, from + std::min<int64_t>(n, static_cast<int64_t>(keys.end() - from)));
            std::map<int64_t, ResultRow> by_key;
            for_each_row(handle(), select_columns() + " FROM records r WHERE r.dbid IN " + ints(wanted),
                         [&](sqlite3_stmt *s) { by_key[sqlite3_column_int64(s, 0)] = read_row(s, 2, max_multiline); });
            // A record deleted since Execute keeps its place as a row without values.
            for (int64_t k : wanted) {
                auto it = by_key.find(k);
                if (it != by_key.end())
                    rows.push_back(std::move(it->second));
                else
                    rows.push_back(ResultRow{0, std::vector<std::pair<bool, std::string>>(columns.size())});
            }
            return rows;
        }
        if (mode == OFFSET) {
            for_each_row(
                handle(),
                offset_sql("SELECT * FROM ", " LIMIT " + std::to_string(n) + " OFFSET " + std::to_string(first - 1)),
                [&](sqlite3_stmt *s) { rows.push_back(read_row(s, 0, max_multiline)); });
            return rows;
        }
        // By key: the row before `first` gives the key to start after; reading on from the last
        // page needs no search.
        if (first != next_row) {
            next_key = 0;
            if (first > 1)
                for_each_row(handle(),
                             Sql("SELECT r.dbid ") + from_where + " ORDER BY r.dbid LIMIT 1 OFFSET " +
                                 std::to_string(first - 2),
                             [&](sqlite3_stmt *s) { next_key = sqlite3_column_int64(s, 0); });
            if (first > 1 && next_key == 0) return rows;
        }
        Sql sql = select_columns() + " " + from_where + " AND r.dbid>? ORDER BY r.dbid LIMIT ?";
        sql.params.emplace_back(next_key);
        sql.params.emplace_back(n);
        kept_rows(sql, [&](sqlite3_stmt *s) {
            rows.push_back(read_row(s, 2, max_multiline));
            next_key = sqlite3_column_int64(s, 0);
        });
        next_row = first + static_cast<int64_t>(rows.size());
        return rows;
    }
};

} // namespace kxp

// ---- result sets ----

AdResultSet::AdResultSet(const AdSessionPtr &session, const AdQueryDefPtr &query) : session_(session), query_(query) {}
AdResultSet::~AdResultSet() = default;

AdResultSetPtr BuildResultSet(const AdSessionPtr &session, const AdQueryDefPtr &query) {
    KXFaultInjector::Enter("BuildResultSet");
    live(session, "BuildResultSet");
    if (!query) throw_kx(KX_MSG_BAD_VALUE, L"No query definition.", "BuildResultSet");
    AdResultSetPtr rs(new AdResultSet(session, CopyQueryDef(session, query)));
    rs->param_overridden_.assign(rs->query_->GetPromptedFilters().size(), false);
    return rs;
}

size_t AdQueryDef::GetHeldBytes() const {
    KXFaultInjector::Enter("AdQueryDef::GetHeldBytes");
    return CompiledQuery::held(*this);
}

size_t AdResultSet::GetHeldBytes() const {
    KXFaultInjector::Enter("AdResultSet::GetHeldBytes");
    size_t n = heap_bytes(sizeof(*this)) + (query_ ? CompiledQuery::held(*query_) : 0) +
               (compiled_ ? compiled_->held() : 0) + heap_bytes(page_.capacity() * sizeof(ResultRow)) +
               heap_bytes(param_overridden_.capacity() / 8 + 1);
    for (const ResultRow &row : page_) {
        n += heap_bytes(row.values.capacity() * sizeof(row.values[0]));
        for (const auto &value : row.values) n += heap_bytes(value.second.capacity() + 1);
    }
    return n;
}

int AdResultSet::GetNumberOfParams() const {
    KXFaultInjector::Enter("AdResultSet::GetNumberOfParams");
    return static_cast<int>(param_overridden_.size());
}

AdFieldFilter *AdResultSet::GetParamFilter(int param) const {
    auto prompted = query_->GetPromptedFilters();
    if (param < 1 || param > static_cast<int>(prompted.size()))
        throw_kx(KX_MSG_BAD_VALUE,
                 L"Parameter " + num(param) + L" is outside 1 to " + num(static_cast<long long>(prompted.size())) +
                     L".",
                 "AdResultSet::GetParamFilter");
    return prompted[static_cast<size_t>(param - 1)];
}

CString AdResultSet::GetParamFieldPath(int param) const { return GetParamFilter(param)->GetFieldPath(); }

void AdResultSet::SetParamComparisonOperator(int param, int comp_op) {
    KXFaultInjector::Enter("AdResultSet::SetParamComparisonOperator");
    GetParamFilter(param)->SetCompOp(comp_op);
}

void AdResultSet::SetParamValue(int param, int index, const CString &value) {
    KXFaultInjector::Enter("AdResultSet::SetParamValue");
    AdFieldFilter *ff = GetParamFilter(param);
    if (!ff->IsStringValidForDataType(value))
        throw new PaMsgException(KX_MSG_BAD_VALUE, L"'" + value + L"' is no value for '" + ff->GetFieldPath() + L"'.");
    // The first operand given through the result set replaces the definition's own.
    if (!param_overridden_[static_cast<size_t>(param - 1)]) ff->ClearValues();
    ff->SetValue(index, value);
    param_overridden_[static_cast<size_t>(param - 1)] = true;
}

void AdResultSet::SetParamVariable(int param, int index, int variable) {
    KXFaultInjector::Enter("AdResultSet::SetParamVariable");
    AdFieldFilter *ff = GetParamFilter(param);
    if (!ff->IsLegalQueryVar(variable))
        throw new PaMsgException(KX_MSG_BAD_VALUE,
                                 L"Variable " + num(variable) + L" does not apply to '" + ff->GetFieldPath() + L"'.");
    if (!param_overridden_[static_cast<size_t>(param - 1)]) ff->ClearValues();
    ff->SetVariable(index, variable);
    param_overridden_[static_cast<size_t>(param - 1)] = true;
}

int AdResultSet::GetQueryLimit(int kind) const {
    KXFaultInjector::Enter("AdResultSet::GetQueryLimit");
    if (kind == AD_QUERY_LIMIT_HARD) return static_cast<int>(session_->GetSessionHardQueryLimit());
    if (kind == AD_QUERY_LIMIT_SOFT) return static_cast<int>(session_->GetSessionSoftQueryLimit());
    return 0;
}

void AdResultSet::Execute() {
    KXFaultInjector::Enter("AdResultSet::Execute");
    SessionCore &c = live(session_, "AdResultSet::Execute");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    // The cap: the hard limit, the soft one unless the query is privileged, and the caller's.
    int64_t cap = 0;
    auto tighten = [&](int64_t limit) {
        if (limit > 0 && (cap == 0 || limit < cap)) cap = limit;
    };
    tighten(GetQueryLimit(AD_QUERY_LIMIT_HARD));
    if (!query_->IsPrivileged()) tighten(GetQueryLimit(AD_QUERY_LIMIT_SOFT));
    tighten(max_rows_);
    compiled_.reset();
    page_.clear();
    page_first_ = row_ = 0;
    has_row_ = false;
    status_ = AD_RESULT_NOT_EXECUTED;
    auto compiled = std::make_unique<CompiledQuery>(c, *query_);
    compiled->cap = cap;
    CompiledQuery::ReadScope read_scope{*compiled};
    reading("AdResultSet::Execute", [&] {
        compiled->execute();
        status_ = compiled->has_row(1) ? AD_RESULT_HAS_ROWS : AD_RESULT_EMPTY;
        if (count_enabled_ && compiled->count < 0) compiled->count = compiled->count_rows();
        return 0;
    });
    compiled_ = std::move(compiled);
}

void AdResultSet::need_executed(const char *op) const {
    if (!compiled_) throw_kx(KX_MSG_QUERY_FAILED, L"The result set has not been executed.", op);
}

int64_t AdResultSet::GetRecordCount() {
    KXFaultInjector::Enter("AdResultSet::GetRecordCount");
    SessionCore &c = live(session_, "AdResultSet::GetRecordCount");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    need_executed("AdResultSet::GetRecordCount");
    CompiledQuery::ReadScope read_scope{*compiled_};
    if (compiled_->count < 0)
        compiled_->count = reading("AdResultSet::GetRecordCount", [&] { return compiled_->count_rows(); });
    return compiled_->count;
}

BOOL AdResultSet::ResultIsLimited() const {
    KXFaultInjector::Enter("AdResultSet::ResultIsLimited");
    return compiled_ && compiled_->limited ? TRUE : FALSE;
}

int AdResultSet::move_to(int64_t row, const char *op) {
    SessionCore &c = live(session_, op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    need_executed(op);
    has_row_ = false;
    if (row < 1 || (compiled_->cap && row > compiled_->cap)) return AD_NO_DATA_FOUND;
    if (row < page_first_ || row >= page_first_ + static_cast<int64_t>(page_.size())) {
        // The store is read here only, a page at a time: the fault point of every move.
        KXFaultInjector::Enter(op);
        CompiledQuery::ReadScope read_scope{*compiled_};
        page_ = reading(op, [&] { return compiled_->page(row, max_multiline_); });
        page_first_ = row;
    }
    row_ = row;
    has_row_ = row < page_first_ + static_cast<int64_t>(page_.size());
    return has_row_ ? AD_SUCCESS : AD_NO_DATA_FOUND;
}

int AdResultSet::MoveFirst() { return move_to(1, "AdResultSet::MoveFirst"); }

int AdResultSet::MoveAbsolute(int64_t row) { return move_to(row, "AdResultSet::MoveAbsolute"); }

// Rows are read many to a call: the getters of the current row stay off the fault injector,
// which moves enter when they read a page.
int AdResultSet::MoveNext() {

    // After the end the result stays at its end.
    if (!has_row_ && row_ > 0) return AD_NO_DATA_FOUND;
    return move_to(row_ + 1, "AdResultSet::MoveNext");
}

// ---- columns and values ----

namespace {
void need_column(int column, size_t count) {
    if (column < 1 || column > static_cast<int>(count)) {
        CString t;
        t.Format(L"Column %d is outside 1 to %d.", column, static_cast<int>(count));
        throw_kx(KX_MSG_BAD_VALUE, t, "AdResultSet");
    }
}
} // namespace

int AdResultSet::GetNumberOfColumns() const {

    return compiled_ ? static_cast<int>(compiled_->columns.size()) : query_->GetNumberOfFields();
}

#define KX_COLUMN(column)                                                                                              \
    (need_executed("AdResultSet"), need_column(column, compiled_->columns.size()),                                     \
     compiled_->columns[static_cast<size_t>(column - 1)])

CString AdResultSet::GetColumnLabel(int column) const {
    KXFaultInjector::Enter("AdResultSet::GetColumnLabel");
    return KX_COLUMN(column).label;
}

CString AdResultSet::GetColumnName(int column) const {
    KXFaultInjector::Enter("AdResultSet::GetColumnName");
    return KX_COLUMN(column).name;
}

int AdResultSet::GetColumnType(int column) const {
    KXFaultInjector::Enter("AdResultSet::GetColumnType");
    return KX_COLUMN(column).type;
}

BOOL AdResultSet::GetColumnIsShown(int column) const { return KX_COLUMN(column).shown; }
BOOL AdResultSet::GetColumnIsGroupBy(int column) const { return KX_COLUMN(column).group_by; }
#undef KX_COLUMN

int AdResultSet::GetColumnPositionByField(const CString &field_path) const {
    if (!query_->GetDeclaredSQL().IsEmpty()) return 0;
    for (int i = 1; i <= query_->GetNumberOfFields(); ++i)
        if (query_->GetQueryFieldDef(i)->GetFieldPath() == field_path) return i;
    return 0;
}

const ResultRow &AdResultSet::current() const {
    if (!has_row_) throw_kx(KX_MSG_QUERY_FAILED, L"The result set has no current row.", "AdResultSet::GetColumnValue");
    return page_[static_cast<size_t>(row_ - page_first_)];
}

BOOL AdResultSet::GetColumnValue(int column, CString &value) const {
    value.Empty();
    std::string_view utf8;
    const BOOL has = GetColumnValueUtf8(column, utf8);
    value = CString::FromUtf8(utf8);
    return has;
}

BOOL AdResultSet::GetColumnValueUtf8(int column, std::string_view &value) const {
    value = std::string_view();
    const ResultRow &row = current();
    need_column(column, row.values.size());
    const auto &v = row.values[static_cast<size_t>(column - 1)];
    value = v.second;
    return v.first ? TRUE : FALSE;
}

BOOL AdResultSet::GetColumnValueAsInt(int column, int64_t &value) const {
    value = 0;
    std::string_view utf8;
    if (!GetColumnValueUtf8(column, utf8) || utf8.empty()) return FALSE;
    // Up to the first NUL, as the wide text would be read.
    const std::string text(utf8.substr(0, utf8.find('\0')));
    char *end = nullptr;
    long long n = std::strtoll(text.c_str(), &end, 10);
    if (*end) return FALSE;
    value = n;
    return TRUE;
}

CString AdResultSet::GetRowEntityDefName() const {
    const ResultRow &row = current();
    SessionCore &c = live(session_, "AdResultSet::GetRowEntityDefName");
    auto it = c.schema->by_dbid.find(row.type_dbid);
    return it != c.schema->by_dbid.end() ? it->second->GetName() : query_->GetPrimaryEntity()->GetName();
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
    // Its data names a query and a report format by workspace path, each in the same tree:
    // "kxreport 1" then "query<TAB>path" and "format<TAB>path" lines, or "query=path;format=path"
    // from older builds.
    CString data = b->GetData();
    const bool lines = data.Left(11) == L"kxreport 1\n";
    const wchar_t sep = lines ? L'\n' : L';', assign = lines ? L'\t' : L'=';
    int pos = lines ? 11 : 0;
    while (pos <= data.GetLength()) {
        int end = data.Find(sep, pos);
        if (end < 0) end = data.GetLength();
        CString part = data.Mid(pos, end - pos);
        int eq = part.Find(assign);
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
