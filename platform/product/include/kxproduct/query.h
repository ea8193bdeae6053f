// Query and report definitions as far as resource creation needs them: a query definition of a
// record type, and the report definition and workspace manager of a user session. The query's
// filters, fields and results come with the query engine.
#pragma once
#include <cstdint>

#include "kxproduct/workspace.h"

class AdQueryDef : public KXObject {
 public:
  AdQueryDef(const AdSessionPtr& session, AdEntityDef* primary) : session_(session), primary_(primary) {}
  AdEntityDef* GetPrimaryEntity() const { return primary_; }
  AdSessionPtr GetSession() const { return session_; }
  // The stored text of the definition (the workspace item's data).
  CString GetDefinition() const { return definition_; }
  void SetDefinition(const CString& text) { definition_ = text; }

 private:
  AdSessionPtr session_;
  AdEntityDef* primary_;
  CString definition_;
};
typedef KXSmartPtr<AdQueryDef> AdQueryDefPtr;

// A new, empty query definition over a record type or family. `reserved` must be 0.
AdQueryDefPtr BuildQueryDef(const AdSessionPtr& session, AdEntityDef* primary, int reserved);
// A new, independent copy of a definition in the given session.
AdQueryDefPtr CopyQueryDef(const AdSessionPtr& session, const AdQueryDefPtr& source);
// The definition stored in a query or chart item; PaMsgException (KX_MSG_NOT_FOUND) for other items.
AdQueryDefPtr GetQueryDef(const AdSessionPtr& session, const AdBucketPtr& bucket);

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
  // The report stored under that dbid: its name, and the query and report format it names
  // ("query=<path>;format=<path>" in its data). Null when the dbid is not a report.
  KXSmartPtr<KXReportDef> GetReportDefByDbId(int64_t dbid);
  // Renames a workspace item; returns 1. PaMsgException KX_MSG_BAD_WORKSPACE_NAME for an empty
  // name, one holding "/", a sibling's name, or a top folder; KXException KX_MSG_NOT_PRIVILEGED
  // when the parent folder is not writable; KX_MSG_NOT_FOUND for an unknown dbid.
  int RenameWorkspaceItemByDbId(int64_t dbid, const CString& name);

 private:
  AdSessionPtr session_;
};
