#include "kxproduct/kxproduct.h"
#include "test_support.h"

using QueryDefTest = ProductTest;

TEST_F(QueryDefTest, BuildCopyAndLoadQueryDefinitions) {
    auto s = KXSession::Build();
    s->WebUserLogon(L"alice", L"alice", L"h", L"", L"ISSUE", L"KXDEMO");
    AdSessionPtr real = s->GetReal();
    AdEntityDef *defect = LookupEntityDefOrFamily(real, L"Defect");
    AdQueryDefPtr q = BuildQueryDef(real, defect, 0);
    EXPECT_EQ(q->GetPrimaryEntity(), defect);
    EXPECT_EQ(q->GetNumberOfFields(), 0);
    EXPECT_EQ(expect_kx([&] { BuildQueryDef(real, nullptr, 0); }).first, KX_MSG_BAD_VALUE);
    AdBucketPtr open = GetWorkspaceMgr(real)->LookupBucketByPathName(0, L"Public Queries/Defects/Open Defects");
    AdQueryDefPtr stored = GetQueryDef(real, open);
    ASSERT_TRUE(stored->GetTopFilterNode() && stored->GetTopFilterNode()->AsFieldFilter());
    EXPECT_EQ(stored->GetTopFilterNode()->AsFieldFilter()->GetValues(), std::vector<CString>{L"Opened"});
    AdQueryDefPtr copy = CopyQueryDef(real, stored);
    EXPECT_NE(copy.get(), stored.get());
    copy->UnbuildFilter();
    EXPECT_TRUE(stored->GetTopFilterNode());
    AdBucketPtr folder = open->GetParent();
    EXPECT_EQ(expect_pamsg([&] { GetQueryDef(real, folder); }).first, KX_MSG_NOT_FOUND);
}

TEST_F(QueryDefTest, ReportDefinitions) {
    auto s = KXSession::Build();
    s->WebUserLogon(L"alice", L"alice", L"h", L"", L"ISSUE", L"KXDEMO");
    auto ws = s->GetWorkSpace();
    auto mgr = GetWorkspaceMgr(s->GetReal());
    AdBucketPtr report = mgr->LookupBucketByPathName(0, L"Public Queries/Defects/Defect Summary");
    auto stored = ws->GetReportDefByDbId(report->GetDbId());
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->GetName(), L"Defect Summary");
    EXPECT_EQ(stored->GetQueryDefId(), mgr->LookupBucketByPathName(0, L"Public Queries/All Defects")->GetDbId());
    EXPECT_EQ(stored->GetReportFormatId(),
              mgr->LookupBucketByPathName(0, L"Public Queries/Report Formats/Summary Format")->GetDbId());
    EXPECT_FALSE(ws->GetReportDefByDbId(report->GetParent()->GetDbId())); // a folder is no report
    auto fresh = ws->BuildReportDef();
    EXPECT_EQ(fresh->GetDbId(), 0);
    fresh->SetName(L"Copy");
    fresh->SetQueryDefId(stored->GetQueryDefId(), 1);
    fresh->SetReportFormatId(stored->GetReportFormatId(), 1);
    EXPECT_EQ(fresh->GetName(), L"Copy");
    EXPECT_EQ(fresh->GetQueryDefId(), stored->GetQueryDefId());
    s->Unbuild();
    EXPECT_EQ(expect_kx([&] { s->GetWorkSpace(); }).first, KX_MSG_SESSION_ENDED);
}
