#include "kxproduct/reports.h"

#include "core.h"
#include "kxproduct/faults.h"

using namespace kxp;

namespace {

AdBucketPtr item_of_type(const AdSessionPtr &session, int64_t dbid, int type_mask) {
    if (!dbid) return AdBucketPtr();
    AdBucketPtr b = GetWorkspaceMgr(session)->GetBucket(dbid);
    return b && (b->GetType() & type_mask) ? b : AdBucketPtr();
}

} // namespace

BOOL GetReportIsValid(const AdSessionPtr &session, const KXSmartPtr<KXReportDef> &report) {
    KXFaultInjector::Enter("GetReportIsValid");
    if (!report) return FALSE;
    return item_of_type(session, report->GetQueryDefId(), AD_BUCKET_QUERY | AD_BUCKET_CHART) &&
           item_of_type(session, report->GetReportFormatId(), AD_BUCKET_REPORT_FORMAT);
}

AdEntityDef *GetReportEntityDef(const AdSessionPtr &session, const KXSmartPtr<KXReportDef> &report) {
    KXFaultInjector::Enter("GetReportEntityDef");
    if (!report) return nullptr;
    return GetBucketEntityDef(item_of_type(session, report->GetQueryDefId(), AD_BUCKET_QUERY | AD_BUCKET_CHART));
}

AdEntityDef *GetBucketEntityDef(const AdBucketPtr &bucket) {
    KXFaultInjector::Enter("GetBucketEntityDef");
    if (!bucket) return nullptr;
    SessionCore &c = live(bucket->session(), "GetBucketEntityDef");
    CString name = bucket->GetEntityDefName();
    return name.IsEmpty() ? nullptr : c.schema->find(name);
}
