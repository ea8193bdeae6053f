// Query definitions and their execution: display fields and a filter tree over one record type,
// compiled to SQL with bound parameters and read through a result set paged by key. Also the
// report definitions and workspace manager of a user session.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "kxproduct/workspace.h"

namespace kxp {
struct CompiledQuery;
}

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
// Comparison operators of field filters; the engine runs AD_COMP_OP_EQ (any of the values).
enum AdCompOp : int {
  AD_COMP_OP_UNSPECIFIED = 0, AD_COMP_OP_EQ = 1, AD_COMP_OP_NEQ = 2, AD_COMP_OP_LT = 3, AD_COMP_OP_LTE = 4,
  AD_COMP_OP_GT = 5, AD_COMP_OP_GTE = 6, AD_COMP_OP_LIKE = 7, AD_COMP_OP_NOT_LIKE = 8, AD_COMP_OP_BETWEEN = 9,
  AD_COMP_OP_NOT_BETWEEN = 10, AD_COMP_OP_IS_NULL = 11, AD_COMP_OP_IS_NOT_NULL = 12, AD_COMP_OP_IN = 13,
  AD_COMP_OP_NOT_IN = 14,
};
// Answers of AdResultSet::MoveNext.
enum AdFetchStatus : int { AD_SUCCESS = 1, AD_NO_DATA_FOUND = 2 };

// A display column of a query: a field of the primary record type.
class AdQueryFieldDef : public KXObject {
 public:
  AdQueryFieldDef(const CString& path, int field_type) : path_(path), label_(path), field_type_(field_type) {}
  CString GetFieldPath() const { return path_; }
  CString GetLabel() const { return label_; }
  void SetLabel(const CString& label) { label_ = label; }
  BOOL GetIsShown() const { return shown_; }
  void SetIsShown(BOOL shown) { shown_ = shown != 0; }
  int GetFieldType() const { return field_type_; }

 private:
  CString path_, label_;
  int field_type_;
  bool shown_ = true;
};

// A node of a filter tree: a boolean operator over child nodes and field filters.
class AdFilterNode : public KXObject {
 public:
  explicit AdFilterNode(int bool_op) : bool_op_(bool_op) {}
  int GetBoolOp() const { return bool_op_; }
  void SetBoolOp(int bool_op) { bool_op_ = bool_op; }
  int NumChildren() const { return static_cast<int>(children_.size()); }
  // Child nodes and field filters in the order they were built; null outside 0..NumChildren-1.
  AdFilterNode* GetChild(int index) const;
  // Null for a boolean node.
  virtual AdFieldFilter* AsFieldFilter() { return nullptr; }

 private:
  friend class AdQueryDef;
  friend struct kxp::CompiledQuery;
  int bool_op_;
  std::vector<KXSmartPtr<AdFilterNode>> children_;
};

// A leaf of a filter tree: a field of the primary record type, an operator and its values.
class AdFieldFilter : public AdFilterNode {
 public:
  AdFieldFilter(const CString& path, int comp_op, int field_type)
      : AdFilterNode(0), path_(path), comp_op_(comp_op), field_type_(field_type) {}
  AdFieldFilter* AsFieldFilter() override { return this; }
  CString GetFieldPath() const { return path_; }
  int GetCompOp() const { return comp_op_; }
  int GetFieldType() const { return field_type_; }
  void AddValue(const CString& value) { values_.push_back(value); }
  const std::vector<CString>& GetValues() const { return values_; }
  CString GetPrompt() const { return prompt_; }
  void SetPrompt(const CString& prompt) { prompt_ = prompt; }

 private:
  CString path_;
  int comp_op_;
  int field_type_;
  std::vector<CString> values_;
  CString prompt_;
};

class AdQueryDef : public KXObject {
 public:
  AdQueryDef(const AdSessionPtr& session, AdEntityDef* primary) : session_(session), primary_(primary) {}
  AdEntityDef* GetPrimaryEntity() const { return primary_; }
  AdSessionPtr GetSession() const { return session_; }
  // The stored text of the definition (the workspace item's data).
  CString GetDefinition() const { return definition_; }
  void SetDefinition(const CString& text) { definition_ = text; }

  // Adds a display column; KXException KX_MSG_NOT_FOUND for a field the primary record type
  // lacks, KX_MSG_BAD_VALUE for a path the engine cannot follow (dotted paths).
  AdQueryFieldDef* BuildField(const CString& field_path);
  int GetNumberOfFields() const { return static_cast<int>(fields_.size()); }
  // 1-based; null outside 1..GetNumberOfFields.
  AdQueryFieldDef* GetQueryFieldDef(int position) const;
  BOOL IsFieldPathLegalForQuery(const CString& field_path) const;
  BOOL IsFieldPathLegalForFilter(const CString& field_path) const;
  // The choices of a display field added with BuildField: its dynamic list's values, or the
  // state names for the state field; empty for others. KXException KX_MSG_NOT_FOUND for a path
  // that is no display field.
  std::vector<CString> GetChoiceList(const CString& field_path) const;

  // A boolean node under `parent`, or the top node when `is_top` is nonzero (replacing any
  // filter). KXException KX_MSG_BAD_VALUE for an operator other than and/or, or no parent
  // below the top.
  AdFilterNode* BuildFilter(AdFilterNode* parent, int bool_op, int is_top);
  // A field filter under `parent`, or the whole filter when `is_top` is nonzero. PaMsgException
  // (KX_MSG_BAD_VALUE) for a field path that cannot be filtered on or an unknown operator.
  AdFieldFilter* BuildFilter(AdFilterNode* parent, const CString& field_path, int comp_op,
                             const std::vector<CString>& values, int is_top);
  // Null when the query has no filter.
  AdFilterNode* GetTopFilterNode() const { return top_.get(); }
  void UnbuildFilter() { top_ = nullptr; }

 private:
  friend AdQueryDefPtr CopyQueryDef(const AdSessionPtr&, const AdQueryDefPtr&);
  friend struct kxp::CompiledQuery;
  AdSessionPtr session_;
  AdEntityDef* primary_;
  CString definition_;
  std::vector<KXSmartPtr<AdQueryFieldDef>> fields_;
  KXSmartPtr<AdFilterNode> top_;
};

// The rows of a query. Execute compiles the definition; MoveNext reads rows in pages ordered by
// record dbid and holds no read transaction between calls.
class AdResultSet : public KXObject {
 public:
  ~AdResultSet() override;
  AdQueryDefPtr GetQueryDef() const { return query_; }
  // KXException KX_MSG_QUERY_FAILED for a definition without display fields or a filter the
  // engine cannot run.
  void Execute();
  // AD_SUCCESS with the next row current, or AD_NO_DATA_FOUND after the last.
  int MoveNext();
  int GetNumberOfColumns() const;
  // 1-based columns; KXException KX_MSG_BAD_VALUE outside 1..GetNumberOfColumns.
  CString GetColumnLabel(int column) const;
  int GetColumnType(int column) const;
  // The current row's value as text (dates in the server's local time); FALSE when it has none.
  BOOL GetColumnValue(int column, CString& value) const;

 private:
  friend AdResultSetPtr BuildResultSet(const AdSessionPtr&, const AdQueryDefPtr&);
  AdResultSet(const AdSessionPtr& session, const AdQueryDefPtr& query);
  AdSessionPtr session_;
  AdQueryDefPtr query_;
  std::unique_ptr<kxp::CompiledQuery> compiled_;
  std::vector<std::vector<std::pair<bool, CString>>> page_;
  size_t row_ = 0;
  int64_t last_key_ = 0;
  bool executed_ = false, at_end_ = false, has_row_ = false;
};

// A new, empty query definition over a record type or family. `reserved` must be 0.
AdQueryDefPtr BuildQueryDef(const AdSessionPtr& session, AdEntityDef* primary, int reserved);
// A new, independent copy of a definition (its fields and filter too) in the given session.
AdQueryDefPtr CopyQueryDef(const AdSessionPtr& session, const AdQueryDefPtr& source);
// The definition stored in a query or chart item; PaMsgException (KX_MSG_NOT_FOUND) for other items.
AdQueryDefPtr GetQueryDef(const AdSessionPtr& session, const AdBucketPtr& bucket);
// The definition of the query or chart item with that dbid; PaMsgException (KX_MSG_NOT_FOUND)
// when the dbid names no query or chart. `reserved` is ignored.
AdQueryDefPtr GetQueryOrChartByDbId(const AdSessionPtr& session, int64_t dbid, int reserved);
// A result set over the definition, not yet executed.
AdResultSetPtr BuildResultSet(const AdSessionPtr& session, const AdQueryDefPtr& query);

class KXReportDef : public KXObject {
 public:
  CString GetName() const { return name_; }
  void SetName(const CString& name) { name_ = name; }
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
  explicit KXWorkSpaceMgr(const AdSessionPtr& session) : session_(session) {}
  KXSmartPtr<KXReportDef> BuildReportDef();
  // A new chart manager with the default settings.
  KXSmartPtr<KXChartMgr> GetChartMgr();
  // The report stored under that dbid: its name, and the query and report format it names
  // ("query=<path>;format=<path>" in its data). Null when the dbid is not a report.
  KXSmartPtr<KXReportDef> GetReportDefByDbId(int64_t dbid);
  // Renames a workspace item; returns 1. KXException KX_MSG_BAD_WORKSPACE_NAME for an empty name,
  // one holding "/", a sibling's name, or a top folder; KX_MSG_NOT_PRIVILEGED when the parent
  // folder is not writable; PaMsgException KX_MSG_NOT_FOUND for an unknown dbid.
  int RenameWorkspaceItemByDbId(int64_t dbid, const CString& name);
  // Stores a new report `name` in the folder `parent_dbid`, naming the report's query and report
  // format, in one transaction; with `replaces` (the dbid of an item of that name in the folder)
  // that item goes in the same transaction. Answers the new dbid. Refusals as
  // AdWorkspaceMgr::BuildBucket; PaMsgException KX_MSG_NOT_FOUND for a folder, query or report
  // format that does not exist.
  int64_t InsertNewReportDef(const CString& name, int64_t parent_dbid, const KXSmartPtr<KXReportDef>& report,
                             int64_t replaces = 0);
  // Points the stored report `dbid` at the report's query and report format.
  void UpdateReportDef(int64_t dbid, const KXSmartPtr<KXReportDef>& report);

 private:
  AdSessionPtr session_;
};
