// What the workspace knows of reports and report formats beyond their definitions: whether a
// report can run, and the record types they are made for.
#pragma once

#include "kxproduct/query.h"

// Nonzero when the report names a query or chart and a report format that both exist.
BOOL GetReportIsValid(const AdSessionPtr &session, const KXSmartPtr<KXReportDef> &report);
// The record type of the report's query; null when the query is missing or names none.
AdEntityDef *GetReportEntityDef(const AdSessionPtr &session, const KXSmartPtr<KXReportDef> &report);
// The record type a workspace item is made for (a query's, a report format's); null when none.
AdEntityDef *GetBucketEntityDef(const AdBucketPtr &bucket);
