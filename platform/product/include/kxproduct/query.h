// Query definitions and their execution: display fields and a filter tree over one record type,
// compiled to SQL with bound parameters and read through a result set paged by key. Also the
// report definitions and workspace manager of a user session.
#pragma once
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "kxproduct/entity.h"
#include "kxproduct/workspace.h"

namespace kxp {
struct CompiledQuery;
struct ResultRow;
} // namespace kxp

class AdQueryDef;
typedef KXSmartPtr<AdQueryDef> AdQueryDefPtr;
class AdFilterNode;
class AdFieldFilter;
class AdQueryFieldDef;
class AdResultSet;
class KXChartMgr;
typedef KXSmartPtr<AdResultSet> AdResultSetPtr;

// Boolean operators of filter nodes.
enum AdBoolOp : int { AD_BOOL_OP_AND = 1, AD_BOOL_OP_OR = 2 };
// Comparison operators of field filters.
enum AdCompOp : int {
    AD_COMP_OP_UNSPECIFIED = 0,
    AD_COMP_OP_EQ = 1,
    AD_COMP_OP_NEQ = 2,
    AD_COMP_OP_LT = 3,
    AD_COMP_OP_LTE = 4,
    AD_COMP_OP_GT = 5,
    AD_COMP_OP_GTE = 6,
    AD_COMP_OP_LIKE = 7,
    AD_COMP_OP_NOT_LIKE = 8,
    AD_COMP_OP_BETWEEN = 9,
    AD_COMP_OP_NOT_BETWEEN = 10,
    AD_COMP_OP_IS_NULL = 11,
    AD_COMP_OP_IS_NOT_NULL = 12,
    AD_COMP_OP_IN = 13,
    AD_COMP_OP_NOT_IN = 14,
};
// Query variables a field filter may hold in place of a value.
enum AdQueryVar : int {
    AD_QUERY_VAR_USER = 1,
    AD_QUERY_VAR_TODAY = 2,
    AD_QUERY_VAR_TOMORROW = 3,
    AD_QUERY_VAR_YESTERDAY = 4
};
// Display field attributes.
enum AdSortType : int { AD_SORT_NONE = 0, AD_SORT_ASCENDING = 1, AD_SORT_DESCENDING = 2 };
enum AdAggregate : int {
    AD_AGG_NONE = 0,
    AD_AGG_COUNT = 1,
    AD_AGG_SUM = 2,
    AD_AGG_AVERAGE = 3,
    AD_AGG_MINIMUM = 4,
    AD_AGG_MAXIMUM = 5
};
enum AdColumnFunction : int {
    AD_FUNC_NONE = 0,
    AD_FUNC_DAY = 1,
    AD_FUNC_WEEK = 2,
    AD_FUNC_MONTH = 3,
    AD_FUNC_YEAR = 4
};
// Answers of the moves of AdResultSet, and its result status after Execute.
enum AdFetchStatus : int { AD_SUCCESS = 1, AD_NO_DATA_FOUND = 2 };
enum AdResultStatus : int { AD_RESULT_NOT_EXECUTED = 0, AD_RESULT_HAS_ROWS = 1, AD_RESULT_EMPTY = 2 };
// Column types of a result set (AdResultSet::GetColumnType).
enum AdColumnType : int {
    AD_COLUMN_STRING = 1,
    AD_COLUMN_MULTILINE = 2,
    AD_COLUMN_BINARY = 3,
    AD_COLUMN_INT = 4,
    AD_COLUMN_DATE_TIME = 5,
    AD_COLUMN_FLOAT = 6,
};
// Query limits of a user database (AdResultSet::GetQueryLimit).
enum AdQueryLimitKind : int { AD_QUERY_LIMIT_HARD = 1, AD_QUERY_LIMIT_SOFT = 2 };
// Filter nodes nest at most this deep (the top node is level 1).
constexpr int kAdMaxFilterDepth = 64;

// A display column of a query: a field path from the primary record type, through reference
// fields ("Project.Lead"), with its presentation.
class AdQueryFieldDef : public KXObject {
public:
    AdQueryFieldDef(const CString &path, int field_type) : path_(path), label_(path), field_type_(field_type) {}
    CString GetFieldPath() const { return path_; }
    // The type of the field the path ends in.
    int GetFieldType() const { return field_type_; }
    CString GetLabel() const { return label_; }
    void SetLabel(const CString &label) { label_ = label; }
    BOOL GetIsShown() const { return shown_; }
    void SetIsShown(BOOL shown) { shown_ = shown != 0; }
    // AdSortType; PaMsgException KX_MSG_BAD_VALUE outside 0..2.
    int GetSortType() const { return sort_type_; }
    void SetSortType(int sort_type);
    // 0 none, else the sort priority (1 first); PaMsgException KX_MSG_BAD_VALUE below 0.
    int GetSortOrder() const { return sort_order_; }
    void SetSortOrder(int sort_order);
    BOOL IsGroupBy() const { return group_by_; }
    void SetGroupBy(BOOL group_by) { group_by_ = group_by != 0; }
    // AdAggregate. Count takes any field; sum and average numbers; minimum and maximum numbers,
    // dates and short texts.
    int GetAggregate() const { return aggregate_; }
    BOOL IsLegalAggregate(int aggregate) const;
    // PaMsgException KX_MSG_BAD_VALUE for an aggregate the field does not take or beside a column
    // function.
    void SetAggregate(int aggregate);
    // AdColumnFunction, for date-time fields only; PaMsgException KX_MSG_BAD_VALUE for another
    // field, an unknown function, or beside an aggregate.
    int GetFunction() const { return function_; }
    void SetFunction(int function);

private:
    CString path_, label_;
    int field_type_;
    bool shown_ = true, group_by_ = false;
    int sort_type_ = 0, sort_order_ = 0, aggregate_ = 0, function_ = 0;
};

// A node of a filter tree: a boolean operator over child nodes and field filters.
class AdFilterNode : public KXObject {
public:
    explicit AdFilterNode(int bool_op) : bool_op_(bool_op) {}
    int GetBoolOp() const { return bool_op_; }
    // KXException KX_MSG_BAD_VALUE for an operator other than and/or.
    void SetBoolOp(int bool_op);
    int NumChildren() const { return static_cast<int>(children_.size()); }
    // Child nodes and field filters in the order they were built; null outside 0..NumChildren-1.
    AdFilterNode *GetChild(int index) const;
    // 1 for the top node.
    int GetDepth() const { return depth_; }
    // Null for a boolean node.
    virtual AdFieldFilter *AsFieldFilter() { return nullptr; }

private:
    friend class AdQueryDef;
    friend struct kxp::CompiledQuery;
    int bool_op_;
    int depth_ = 1;
    std::vector<KXSmartPtr<AdFilterNode>> children_;
};

// A leaf of a filter tree: a field path, an operator and its operands (values and variables, in
// the order they were added), with an optional prompt that makes it a parameter of the query.
class AdFieldFilter : public AdFilterNode {
public:
    AdFieldFilter(const CString &path, int comp_op, int field_type)
        : AdFilterNode(0), path_(path), comp_op_(comp_op), field_type_(field_type) {}
    AdFieldFilter *AsFieldFilter() override { return this; }
    CString GetFieldPath() const { return path_; }
    int GetFieldType() const { return field_type_; }
    int GetCompOp() const { return comp_op_; }
    // PaMsgException KX_MSG_BAD_VALUE outside 0..14.
    void SetCompOp(int comp_op);
    // Operands. A variable is kept as itself and resolved when the query runs.
    void AddValue(const CString &value) { operands_.push_back({false, 0, value}); }
    // PaMsgException KX_MSG_BAD_VALUE for a variable the field does not take (IsLegalQueryVar).
    void AddVariable(int variable);
    int GetNumberOfValues() const { return static_cast<int>(operands_.size()); }
    // 1-based; KXException KX_MSG_BAD_VALUE outside 1..GetNumberOfValues.
    BOOL IsVariable(int index) const;
    CString GetValue(int index) const; // empty for a variable
    int GetVariable(int index) const;  // 0 for a value
    // The texts of the values (variables left out).
    std::vector<CString> GetValues() const;
    // Replace operand `index`, or add one at GetNumberOfValues()+1; KXException KX_MSG_BAD_VALUE
    // for another index, PaMsgException KX_MSG_BAD_VALUE for a variable the field does not take.
    void SetValue(int index, const CString &value);
    void SetVariable(int index, int variable);
    void ClearValues() { operands_.clear(); }
    // Whether the text is a value of the field's type: a whole number for int and dbid fields, a
    // number for float fields, "YYYY-MM-DD[ HH:MM:SS]" for date-time fields; any text otherwise.
    BOOL IsStringValidForDataType(const CString &text) const;
    // The current user for text fields; today, tomorrow and yesterday for date-time fields.
    BOOL IsLegalQueryVar(int variable) const;
    CString GetPrompt() const { return prompt_; }
    void SetPrompt(const CString &prompt) { prompt_ = prompt; }
    // A reference-list filter: the records that `record_dbid`'s reference-list field `field` names.
    BOOL IsReferenceListFilter() const { return reflist_record_ != 0; }
    int64_t GetReferenceListRecordDbId() const { return reflist_record_; }
    CString GetReferenceListFieldName() const { return reflist_field_; }

private:
    friend class AdQueryDef;
    friend struct kxp::CompiledQuery;
    struct Operand {
        bool variable;
        int var;
        CString text;
    };
    const Operand &operand(int index) const;
    CString path_;
    int comp_op_;
    int field_type_;
    std::vector<Operand> operands_;
    CString prompt_;
    int64_t reflist_record_ = 0;
    CString reflist_field_;
};

class AdQueryDef : public KXObject {
public:
    AdQueryDef(const AdSessionPtr &session, AdEntityDef *primary) : session_(session), primary_(primary) {}
    // The record type or family whose records the query reads.
    AdEntityDef *GetPrimaryEntity() const { return primary_; }
    AdSessionPtr GetSession() const { return session_; }
    // The stored text of the definition (the workspace item's data), in the store's own format.
    CString GetDefinition() const;
    // Reads a stored text into this definition; KXException KX_MSG_BAD_VALUE for text that is no
    // definition (the definition is left as it was).
    void SetDefinition(const CString &text);

    // ---- display fields ----
    // Adds a display column. KXException KX_MSG_NOT_FOUND for a path naming no field,
    // KX_MSG_BAD_VALUE for one that passes through a field that is no reference or ends in an
    // attachment list.
    AdQueryFieldDef *BuildField(const CString &field_path);
    int GetNumberOfFields() const { return static_cast<int>(fields_.size()); }
    // 1-based; null outside 1..GetNumberOfFields.
    AdQueryFieldDef *GetQueryFieldDef(int position) const;
    // 1-based position of a field of this definition; 0 when it is none of them.
    int GetFieldPosition(const AdQueryFieldDef *field) const;
    // Moves a field to a position (1..GetNumberOfFields); KXException KX_MSG_BAD_VALUE otherwise.
    void SetFieldPosition(AdQueryFieldDef *field, int position);
    // Removes the field at a position; KXException KX_MSG_BAD_VALUE outside 1..GetNumberOfFields.
    void DeleteField(int position);
    // The result column that shows a field (0 for none): every field has a column of its own.
    int GetResultPositionByField(const AdQueryFieldDef *field) const { return GetFieldPosition(field); }
    // The path of the field that names a record: "id" for record types with states and families,
    // the unique-key field of a stateless record type (empty when it has none).
    CString GetUniqueKeyFieldPath() const;
    BOOL IsUniqueKeyField(const AdQueryFieldDef *field) const;
    // Adds the unique-key field as a display column (KXException KX_MSG_NOT_FOUND without one).
    AdQueryFieldDef *BuildUniqueKeyField();
    BOOL IsFieldPathLegalForQuery(const CString &field_path) const;
    BOOL IsFieldPathLegalForFilter(const CString &field_path) const;
    // The type of the field a legal path ends in; 0 for a path that is not legal.
    int GetFieldPathType(const CString &field_path) const;
    // The choices of a display field added with BuildField: its dynamic list's values, or the
    // state names for the state field; empty for others. KXException KX_MSG_NOT_FOUND for a path
    // that is no display field.
    std::vector<CString> GetChoiceList(const CString &field_path) const;

    // ---- filter ----
    // A boolean node under `parent`, or the top node when `is_top` is nonzero (replacing any
    // filter). KXException KX_MSG_BAD_VALUE for an operator other than and/or, no parent below the
    // top, or nesting deeper than kAdMaxFilterDepth.
    AdFilterNode *BuildFilter(AdFilterNode *parent, int bool_op, int is_top);
    // A field filter under `parent`, or the whole filter when `is_top` is nonzero. PaMsgException
    // (KX_MSG_BAD_VALUE) for a field path that cannot be filtered on, an unknown operator, values
    // the operator cannot take (two for between, none for null tests, one for an ordering), no
    // boolean parent below the top, or nesting deeper than kAdMaxFilterDepth.
    AdFieldFilter *BuildFilter(AdFilterNode *parent, const CString &field_path, int comp_op,
                               const std::vector<CString> &values, int is_top);
    // A field filter on the unique-key field path (as BuildFilter).
    AdFieldFilter *BuildUniqueKeyFilter(AdFilterNode *parent, int comp_op, const std::vector<CString> &values,
                                        int is_top);
    // A filter matching the records that `record`'s reference-list field `field_name` names, as
    // BuildFilter places it. PaMsgException KX_MSG_NOT_FOUND without a record, KX_MSG_BAD_VALUE
    // for a field that is no reference list to the primary record type (or a member of it).
    AdFieldFilter *BuildReferenceListFilter(AdFilterNode *parent, const AdEntityPtr &record, const CString &field_name,
                                            int is_top);
    // Null when the query has no filter.
    AdFilterNode *GetTopFilterNode() const { return top_.get(); }
    void UnbuildFilter();
    // Field filters with a prompt, depth first in child order: the parameters of the query.
    std::vector<AdFieldFilter *> GetPromptedFilters() const;

    // ---- SQL and flags ----
    // A declared SQL query replaces fields and filter when the query runs: one read-only SELECT
    // over record data (the store's own tables of users, sessions and the workspace are refused).
    // Giving it new SQL needs a raw-SQL writer or super user (PaMsgException KX_MSG_NOT_PRIVILEGED);
    // clearing it, or running or copying a stored definition that has SQL, does not.
    CString GetDeclaredSQL() const { return sql_; }
    void SetDeclaredSQL(const CString &sql);
    // A privileged query is cut only at the hard query limit, not at the soft one. Setting the flag
    // needs a super user or security administrator (PaMsgException KX_MSG_NOT_PRIVILEGED).
    BOOL IsPrivileged() const { return privileged_; }
    void SetPrivileged(BOOL privileged);
    // Whether changing the fields or filter of a privileged definition, by a user who may not set
    // the flag, clears the flag (nonzero, the default) or is refused (0: PaMsgException
    // KX_MSG_NOT_PRIVILEGED, nothing changed).
    void SetAllowImplicitPrivilegeLoss(int allow) { allow_privilege_loss_ = allow != 0; }
    int GetAllowImplicitPrivilegeLoss() const { return allow_privilege_loss_ ? 1 : 0; }
    // Some field is grouped or aggregated: the rows are groups, not records.
    BOOL IsAggregated() const;
    // The primary record type is a family: rows come from several record types.
    BOOL IsMultiType() const;
    // Bytes of memory the definition holds: its display fields, filter nodes and their values,
    // and its SQL. An estimate that errs high.
    size_t GetHeldBytes() const;

private:
    friend AdQueryDefPtr CopyQueryDef(const AdSessionPtr &, const AdQueryDefPtr &);
    friend struct kxp::CompiledQuery;
    void changing();
    static KXSmartPtr<AdFilterNode> clone(const AdFilterNode *node);
    void place(AdFilterNode *parent, const KXSmartPtr<AdFilterNode> &node, int is_top);
    AdSessionPtr session_;
    AdEntityDef *primary_;
    std::vector<KXSmartPtr<AdQueryFieldDef>> fields_;
    KXSmartPtr<AdFilterNode> top_;
    CString sql_;
    bool privileged_ = false, allow_privilege_loss_ = true;
};

// The rows of a query. BuildResultSet takes its own copy of the definition, so parameters set
// here never change the definition it came from. Execute compiles the copy to one SQL statement
// with every value bound; rows are read in pages, each page its own statement, so no read
// transaction stays open between calls. Rows are numbered from 1.
class AdResultSet : public KXObject {
public:
    ~AdResultSet() override;
    // The result set's own copy of the definition.
    AdQueryDefPtr GetQueryDef() const { return query_; }
    AdSessionPtr GetSession() const { return session_; }

    // ---- parameters (the prompted field filters), numbered from 1 ----
    int GetNumberOfParams() const;
    // KXException KX_MSG_BAD_VALUE outside 1..GetNumberOfParams (for every call below).
    AdFieldFilter *GetParamFilter(int param) const;
    CString GetParamFieldPath(int param) const;
    void SetParamComparisonOperator(int param, int comp_op);
    // Sets operand `index` (from 1) of the parameter. The first operand set on a parameter drops
    // the values the definition held for it. KXException KX_MSG_BAD_VALUE for an index beyond one
    // past the last operand; PaMsgException KX_MSG_BAD_VALUE for a text or variable the field does
    // not take.
    void SetParamValue(int param, int index, const CString &value);
    void SetParamVariable(int param, int index, int variable);

    // ---- options, set before Execute ----
    // Multiline texts longer than this are cut to it (0, the default: not cut).
    void SetMaxMultiLineTextLength(int length) { max_multiline_ = length < 0 ? 0 : length; }
    int GetMaxMultiLineTextLength() const { return max_multiline_; }
    // At most this many rows (0: no limit beyond the query limits).
    void SetMaxRows(int64_t rows) { max_rows_ = rows < 0 ? 0 : rows; }
    int64_t GetMaxRows() const { return max_rows_; }
    // Makes Execute count the rows (GetRecordCount counts on first use otherwise).
    void EnableRecordCount() { count_enabled_ = true; }
    // The user database's limits (AdQueryLimitKind); 0 for none.
    int GetQueryLimit(int kind) const;

    // ---- running ----
    // KXException KX_MSG_QUERY_FAILED for a definition that cannot run (no display fields, a
    // field or operator the engine cannot compile, operands that do not fit the operator, SQL
    // that is not one read-only SELECT over record data).
    void Execute();
    // AdResultStatus.
    int GetResultStatus() const { return status_; }
    // The number of rows the result delivers (after limits).
    int64_t GetRecordCount();
    // Nonzero when a query limit or SetMaxRows cut the result.
    BOOL ResultIsLimited() const;
    // Moves answer AD_SUCCESS with a row current or AD_NO_DATA_FOUND. MoveNext before any move
    // goes to the first row. A move enters the fault injector when it reads a page of rows.
    int MoveFirst();
    int MoveAbsolute(int64_t row);
    int MoveNext();
    // The current row's number (0 before the first move).
    int64_t GetCurrentRow() const { return has_row_ ? row_ : 0; }

    // ---- columns (1-based; KXException KX_MSG_BAD_VALUE outside 1..GetNumberOfColumns) ----
    int GetNumberOfColumns() const;
    CString GetColumnLabel(int column) const;
    // The field path of a display column; the column's own name for declared SQL.
    CString GetColumnName(int column) const;
    // AdColumnType.
    int GetColumnType(int column) const;
    BOOL GetColumnIsShown(int column) const;
    BOOL GetColumnIsGroupBy(int column) const;
    // The display column showing a field path (0 for none).
    int GetColumnPositionByField(const CString &field_path) const;

    // ---- values of the current row (KXException KX_MSG_QUERY_FAILED without one) ----
    // The value as text (dates in the server's local time); FALSE when it has none.
    BOOL GetColumnValue(int column, CString &value) const;
    // The same value as UTF-8, without the wide copy; the view holds until the next move.
    BOOL GetColumnValueUtf8(int column, std::string_view &value) const;
    // The value as a whole number; FALSE when it has none or is no number.
    BOOL GetColumnValueAsInt(int column, int64_t &value) const;
    // The record type of the current row's record (the primary record type's name for groups and
    // declared SQL).
    CString GetRowEntityDefName() const;

    // Bytes of memory the result set holds between calls: its copy of the definition, the compiled
    // statement, the sort keys and the page of rows it stands on. An estimate that errs high.
    size_t GetHeldBytes() const;

private:
    friend AdResultSetPtr BuildResultSet(const AdSessionPtr &, const AdQueryDefPtr &);
    AdResultSet(const AdSessionPtr &session, const AdQueryDefPtr &query);
    int move_to(int64_t row, const char *op);
    const kxp::ResultRow &current() const;
    void need_executed(const char *op) const;
    AdSessionPtr session_;
    AdQueryDefPtr query_;
    std::unique_ptr<kxp::CompiledQuery> compiled_;
    std::vector<kxp::ResultRow> page_;
    int64_t page_first_ = 0; // row number of page_[0]
    int64_t row_ = 0;
    int64_t max_rows_ = 0;
    int max_multiline_ = 0;
    int status_ = AD_RESULT_NOT_EXECUTED;
    bool count_enabled_ = false, has_row_ = false;
    std::vector<bool> param_overridden_;
};

// A new, empty query definition over a record type or family. `reserved` must be 0.
AdQueryDefPtr BuildQueryDef(const AdSessionPtr &session, AdEntityDef *primary, int reserved);
// A new, independent copy of a definition (its fields, filter, SQL and flags) in the given session.
AdQueryDefPtr CopyQueryDef(const AdSessionPtr &session, const AdQueryDefPtr &source);
// The definition stored in a query or chart item; PaMsgException (KX_MSG_NOT_FOUND) for other items.
AdQueryDefPtr GetQueryDef(const AdSessionPtr &session, const AdBucketPtr &bucket);
// The definition of the query or chart item with that dbid; PaMsgException (KX_MSG_NOT_FOUND)
// when the dbid names no query or chart. `reserved` is ignored.
AdQueryDefPtr GetQueryOrChartByDbId(const AdSessionPtr &session, int64_t dbid, int reserved);
// A result set over a copy of the definition, not yet executed.
AdResultSetPtr BuildResultSet(const AdSessionPtr &session, const AdQueryDefPtr &query);

class KXReportDef : public KXObject {
public:
    CString GetName() const { return name_; }
    void SetName(const CString &name) { name_ = name; }
    // Dbid of the stored report; 0 for a new one.
    int64_t GetDbId() const { return dbid_; }
    int64_t GetReportFormatId() const { return format_id_; }
    int64_t GetQueryDefId() const { return query_id_; }
    void SetReportFormatId(int64_t dbid, int reserved) {
        (void)reserved;
        format_id_ = dbid;
    }
    void SetQueryDefId(int64_t dbid, int reserved) {
        (void)reserved;
        query_id_ = dbid;
    }

private:
    friend class KXWorkSpaceMgr;
    CString name_;
    int64_t dbid_ = 0, format_id_ = 0, query_id_ = 0;
};

class KXWorkSpaceMgr : public KXObject {
public:
    explicit KXWorkSpaceMgr(const AdSessionPtr &session) : session_(session) {}
    KXSmartPtr<KXReportDef> BuildReportDef();
    // A new chart manager with the default settings.
    KXSmartPtr<KXChartMgr> GetChartMgr();
    // The report stored under that dbid: its name, and the query and report format it names
    // ("query=<path>;format=<path>" in its data). Null when the dbid is not a report.
    KXSmartPtr<KXReportDef> GetReportDefByDbId(int64_t dbid);
    // Renames a workspace item; returns 1. KXException KX_MSG_BAD_WORKSPACE_NAME for an empty name,
    // one holding "/", a sibling's name, or a top folder; KX_MSG_NOT_PRIVILEGED when the parent
    // folder is not writable; PaMsgException KX_MSG_NOT_FOUND for an unknown dbid.
    int RenameWorkspaceItemByDbId(int64_t dbid, const CString &name);
    // Stores a new report `name` in the folder `parent_dbid`, naming the report's query and report
    // format, in one transaction; with `replaces` (the dbid of an item of that name in the folder)
    // that item goes in the same transaction. Answers the new dbid. Refusals as
    // AdWorkspaceMgr::BuildBucket; PaMsgException KX_MSG_NOT_FOUND for a folder, query or report
    // format that does not exist.
    int64_t InsertNewReportDef(const CString &name, int64_t parent_dbid, const KXSmartPtr<KXReportDef> &report,
                               int64_t replaces = 0);
    // Points the stored report `dbid` at the report's query and report format.
    void UpdateReportDef(int64_t dbid, const KXSmartPtr<KXReportDef> &report);

private:
    AdSessionPtr session_;
};
