#include "kxproduct/query.h"

#include <string>

#include "core.h"
#include "kxproduct/faults.h"
#include "kxproduct/session.h"

using namespace kxp;

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
