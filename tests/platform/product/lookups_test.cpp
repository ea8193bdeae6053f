// Folder children by type, query definitions by dbid, record kinds, existence with status, and the
// key of a stateless record while it is edited.
#include "kxproduct/kxproduct.h"
#include "test_support.h"

namespace {

KXSmartPtr<KXSession> logon(const wchar_t* user) {
  auto s = KXSession::Build();
  s->WebUserLogon(user, user, L"server", L"", L"ISSUE", L"KXDEMO");
  return s;
}

std::vector<CString> names_of(const AdSessionPtr& s, const std::vector<int64_t>& ids) {
  std::vector<CString> out;
  for (int64_t id : ids) out.push_back(GetWorkspaceMgr(s)->GetBucket(id)->GetName());
  return out;
}

}  // namespace

using LookupsTest = ProductTest;

TEST_F(LookupsTest, FolderChildrenByTypeMaskInDbidOrder) {
  auto s = logon(L"alice");
  AdSessionPtr real = s->GetReal();
  AdFolderPtr defects = AdFolder::LookupFolderFromBucket(GetWorkspaceMgr(real)->LookupBucketByPathName(0, L"Public Queries/Defects"));
  ASSERT_TRUE(defects);
  EXPECT_EQ(names_of(real, defects->GetChildBucketIds(AD_BUCKET_QUERY)), (std::vector<CString>{L"Open Defects"}));
  EXPECT_EQ(names_of(real, defects->GetChildBucketIds(AD_BUCKET_CHART | AD_BUCKET_REPORT)),
            (std::vector<CString>{L"Defects by Severity", L"Defect Summary"}));
  std::vector<int64_t> all = defects->GetChildBucketIds(AD_BUCKET_QUERY | AD_BUCKET_CHART | AD_BUCKET_FOLDER |
                                                        AD_BUCKET_REPORT | AD_BUCKET_REPORT_FORMAT);
  EXPECT_EQ(all.size(), 3u);
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_TRUE(defects->GetChildBucketIds(AD_BUCKET_FOLDER).empty());
  EXPECT_EQ(defects->GetBucket()->GetSession().get(), real.get());
}

TEST_F(LookupsTest, QueryOrChartByDbIdRefusesOtherItems) {
  auto s = logon(L"alice");
  AdSessionPtr real = s->GetReal();
  auto mgr = GetWorkspaceMgr(real);
  AdQueryDefPtr q = GetQueryOrChartByDbId(real, mgr->LookupBucketByPathName(0, L"Public Queries/Defects/Open Defects")->GetDbId(), 1);
  ASSERT_TRUE(q);
  EXPECT_EQ(q->GetPrimaryEntity()->GetName(), L"Defect");
  EXPECT_NE(q->GetDefinition().Find(L"State=Opened"), -1);
  EXPECT_TRUE(GetQueryOrChartByDbId(real, mgr->LookupBucketByPathName(0, L"Public Queries/Defects/Defects by Severity")->GetDbId(), 1));
  int64_t report = mgr->LookupBucketByPathName(0, L"Public Queries/Defects/Defect Summary")->GetDbId();
  EXPECT_EQ(expect_pamsg([&] { GetQueryOrChartByDbId(real, report, 1); }).first, KX_MSG_NOT_FOUND);
  EXPECT_EQ(expect_pamsg([&] { GetQueryOrChartByDbId(real, 987654321, 1); }).first, KX_MSG_NOT_FOUND);
}

TEST_F(LookupsTest, ExistenceGivesStatusAndRecord) {
  auto s = logon(L"alice");
  AdSessionPtr real = s->GetReal();
  AdEntityDef* project = LookupEntityDef(real, L"Project");
  auto mgr = AdEntityMgr::Get(real);
  AdEntityPtr found;
  ASSERT_EQ(mgr->EntityExists(project, L"Apollo", found), AD_LOOKUP_FOUND);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->GetDisplayName(), L"Apollo");
  EXPECT_EQ(found->GetType(), AD_STATELESS);
  EXPECT_EQ(mgr->EntityExists(project, L"No such project", found), AD_LOOKUP_NOT_FOUND);
  EXPECT_FALSE(found);

  KXFault status;
  status.kind = KXFaultKind::LookupStatus;
  status.status = 7;
  KXFaultInjector::Arm("AdEntityMgr::EntityExists", status);
  EXPECT_EQ(mgr->EntityExists(project, L"Apollo", found), 7);
  EXPECT_FALSE(found);
}

TEST_F(LookupsTest, StatelessRecordBeingEditedIsNamedByItsKeyAndRefusesATakenOne) {
  auto s = logon(L"alice");
  AdSessionPtr real = s->GetReal();
  AdEntityDef* project = LookupEntityDef(real, L"Project");
  AdEntityPtr fresh = BuildEntity(real, project);
  EXPECT_EQ(fresh->GetDisplayName(), L"");
  ASSERT_EQ(fresh->SetFieldValue(L"Name", L"Apollo"), L"");
  EXPECT_EQ(fresh->GetDisplayName(), L"Apollo");
  // Every field is valid, but the key is taken: refused as a whole, no field named.
  EXPECT_TRUE(fresh->GetInvalidFieldValues().empty());
  EXPECT_EQ(fresh->Validate(), L"A record 'Apollo' exists already.");
  ASSERT_EQ(fresh->SetFieldValue(L"Name", L"A new project"), L"");
  EXPECT_EQ(fresh->Validate(), L"");

  // A stored record keeps its own key without refusing itself.
  AdEntityPtr stored;
  CString error;
  ASSERT_EQ(AdEntityMgr::Get(real)->LookupEntityWithStatus(project, L"Apollo", stored, error, 1), AD_LOOKUP_FOUND);
  EditEntity(stored, project->LookupActionDef(static_cast<int>(AD_ACTION_MODIFY)));
  EXPECT_EQ(stored->Validate(), L"");
  stored->Revert();

  AdEntityDef* defect = LookupEntityDef(real, L"Defect");
  EXPECT_EQ(BuildEntity(real, defect)->GetType(), AD_STATEFUL);
}
