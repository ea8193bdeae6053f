#include "kxproduct/kxproduct.h"
#include "test_support.h"

namespace {
KXSmartPtr<KXSession> logon(const wchar_t *user, const wchar_t *db = L"ISSUE") {
    auto s = KXSession::Build();
    s->WebUserLogon(user, user, L"server", L"", db, L"KXDEMO");
    return s;
}
} // namespace

using WorkspaceTest = ProductTest;

TEST_F(WorkspaceTest, TopFoldersPathsAndParents) {
    auto s = logon(L"alice");
    AdSessionPtr real = s->GetReal();
    AdBucketPtr pub = GetTopWorkspaceFolder(real, AD_PUBLIC_FOLDER, 1);
    ASSERT_TRUE(pub);
    EXPECT_EQ(pub->GetPathName(), L"Public Queries");
    EXPECT_TRUE(pub->GetType() & AD_BUCKET_FOLDER);
    EXPECT_FALSE(pub->GetParent());
    auto mgr = GetWorkspaceMgr(real);
    AdBucketPtr open = mgr->LookupBucketByPathName(0, L"Public Queries/Defects/Open Defects");
    ASSERT_TRUE(open);
    EXPECT_EQ(open->GetType(), AD_BUCKET_QUERY);
    EXPECT_EQ(open->GetEntityDefName(), L"Defect");
    EXPECT_NE(open->GetData().Find(L"State\t\t=Opened"), -1);
    EXPECT_TRUE(AdBucketMgr::IsQueryStartUp(open));
    AdBucketPtr folder = open->GetParent();
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->GetPathName(), L"Public Queries/Defects");
    EXPECT_EQ(folder->GetChildBucketIds().size(), 3u);
    EXPECT_EQ(mgr->LookupBucketByPathName(0, L"Public Queries/Defects/Defects by Severity")->GetType(),
              AD_BUCKET_CHART);
    EXPECT_EQ(mgr->LookupBucketByPathName(0, L"Public Queries/Defects/Defect Summary")->GetType(), AD_BUCKET_REPORT);
    EXPECT_EQ(mgr->LookupBucketByPathName(0, L"Public Queries/Report Formats/Summary Format")->GetType(),
              AD_BUCKET_REPORT_FORMAT);
    EXPECT_FALSE(mgr->LookupBucketByPathName(0, L"Public Queries/Defects/Nothing"));
    EXPECT_FALSE(mgr->LookupBucketByPathName(0, L"Elsewhere/Defects"));
    EXPECT_EQ(mgr->GetBucket(open->GetDbId())->GetPathName(), open->GetPathName());
    EXPECT_FALSE(mgr->GetBucket(1));
    EXPECT_EQ(AdWorkspaceMgr::FolderTypeToTopName(AD_PERSONAL_FOLDER), L"Personal Queries");
}

TEST_F(WorkspaceTest, PersonalItemsBelongToTheirOwner) {
    auto a = logon(L"alice");
    AdSessionPtr real = a->GetReal();
    int64_t alice = real->GetSessionUserId();
    auto mgr = GetWorkspaceMgr(real);
    AdBucketPtr mine = mgr->LookupBucketByPathName(alice, L"Personal Queries/My Defects");
    ASSERT_TRUE(mine);
    EXPECT_EQ(mine->GetUserId(), alice);
    EXPECT_EQ(mine->GetFolderType(), AD_PERSONAL_FOLDER);
    auto b = logon(L"bob");
    int64_t bob = b->GetReal()->GetSessionUserId();
    EXPECT_FALSE(mgr->LookupBucketByPathName(bob, L"Personal Queries/My Defects"));
    EXPECT_TRUE(mgr->LookupBucketByPathName(bob, L"Personal Queries/Work/My Enhancements"));
    AdFolderPtr top = AdFolder::LookupFolderFromBucket(GetTopWorkspaceFolder(real, AD_PERSONAL_FOLDER, 0));
    ASSERT_TRUE(top);
    EXPECT_TRUE(top->IsWritable());
    AdFolderPtr bobs = AdFolder::LookupFolderFromBucket(GetTopWorkspaceFolder(b->GetReal(), AD_PERSONAL_FOLDER, 0));
    EXPECT_TRUE(bobs->IsWritable());
    // alice looking at bob's folder
    AdBucketPtr work = mgr->LookupBucketByPathName(bob, L"Personal Queries/Work");
    EXPECT_FALSE(AdFolder::LookupFolderFromBucket(work)->IsWritable());
    EXPECT_FALSE(AdFolder::LookupFolderFromBucket(mine)); // not a folder
}

TEST_F(WorkspaceTest, NewTopFolderSeenAfterRefresh) {
    auto a = logon(L"alice");
    auto mgr = GetWorkspaceMgr(a->GetReal());
    auto d = logon(L"dave");
    int64_t dave = d->GetReal()->GetSessionUserId();
    EXPECT_FALSE(mgr->LookupBucketByPathName(dave, L"Personal Queries"));
    EXPECT_FALSE(GetTopWorkspaceFolder(d->GetReal(), AD_PERSONAL_FOLDER, 0));
    AdBucketPtr made = GetTopWorkspaceFolder(d->GetReal(), AD_PERSONAL_FOLDER, 1);
    ASSERT_TRUE(made);
    EXPECT_EQ(made->GetUserId(), dave);
    EXPECT_EQ(GetTopWorkspaceFolder(d->GetReal(), AD_PERSONAL_FOLDER, 1)->GetDbId(), made->GetDbId());
    EXPECT_FALSE(mgr->LookupBucketByPathName(dave, L"Personal Queries")); // alice's picture is older
    mgr->RefreshEntireWorkspace(0);
    EXPECT_EQ(mgr->LookupBucketByPathName(dave, L"Personal Queries")->GetDbId(), made->GetDbId());
    // GetBucket reads again on its own for an item it has not seen.
    auto b = logon(L"bob");
    AdBucketPtr bobs_top = GetTopWorkspaceFolder(b->GetReal(), AD_PERSONAL_FOLDER, 0);
    auto c = logon(L"carol");
    auto cmgr = GetWorkspaceMgr(c->GetReal());
    cmgr->LookupBucketByPathName(0, L"Public Queries");
    AdBucketPtr carol_top = GetTopWorkspaceFolder(c->GetReal(), AD_PERSONAL_FOLDER, 1);
    EXPECT_EQ(GetWorkspaceMgr(a->GetReal())->GetBucket(carol_top->GetDbId())->GetUserId(),
              c->GetReal()->GetSessionUserId());
    // A database without public items gets its public folder on demand.
    auto t = logon(L"alice", L"TEST");
    EXPECT_FALSE(GetTopWorkspaceFolder(t->GetReal(), AD_PUBLIC_FOLDER, 0));
    EXPECT_TRUE(GetTopWorkspaceFolder(t->GetReal(), AD_PUBLIC_FOLDER, 1));
}

TEST_F(WorkspaceTest, AdministratorHasNoWorkspace) {
    auto a = KXAdminSession::Build();
    a->Logon(L"admin", L"admin", L"KXDEMO");
    auto r = expect_pamsg([&] { GetTopWorkspaceFolder(a->GetReal(), AD_PUBLIC_FOLDER, 1); });
    EXPECT_EQ(r.first, KX_MSG_PERM_DENIED_PUBLIC_FOLDER_ADMIN);
    EXPECT_FALSE(GetTopWorkspaceFolder(a->GetReal(), AD_PERSONAL_FOLDER, 1));
}

TEST_F(WorkspaceTest, PublicFolderPermissions) {
    auto alice = logon(L"alice"); // Developers
    auto carol = logon(L"carol"); // QA
    auto admin = logon(L"admin"); // super user
    auto folder_of = [](const AdSessionPtr &s, const wchar_t *path) {
        return AdFolder::LookupFolderFromBucket(GetWorkspaceMgr(s)->LookupBucketByPathName(0, path));
    };
    AdFolderPtr defects_a = folder_of(alice->GetReal(), L"Public Queries/Defects");
    AdFolderPtr defects_c = folder_of(carol->GetReal(), L"Public Queries/Defects");
    EXPECT_TRUE(defects_a->IsWritable());
    EXPECT_TRUE(defects_c->IsReadable());
    EXPECT_FALSE(defects_c->IsWritable());
    EXPECT_TRUE(folder_of(admin->GetReal(), L"Public Queries/Defects")->IsWritable());
    AdFolderPtr top_c = folder_of(carol->GetReal(), L"Public Queries");
    EXPECT_TRUE(top_c->IsReadable());
    EXPECT_FALSE(top_c->IsWritable());
    EXPECT_EQ(defects_a->GetAllGroupPermissions().size(), 2u);
    // Pending changes count for the folder's own answers and are dropped by RevertPermissions.
    AdFolderPtr own = folder_of(alice->GetReal(), L"Public Queries/Defects");
    own->SetPermissions(L"Developers", AD_PERM_READ_ONLY);
    EXPECT_FALSE(own->IsWritable());
    own->RevertPermissions();
    EXPECT_TRUE(own->IsWritable());
    EXPECT_FALSE(defects_c->IsWritable());
    EXPECT_EQ(expect_kx([&] {
                  defects_c->SetPermissions(L"QA", AD_PERM_READ_WRITE);
                  defects_c->CommitPermissions();
              }).first,
              KX_MSG_NOT_PRIVILEGED);
    defects_c->RevertPermissions();
    defects_a->SetPermissions(L"QA", AD_PERM_READ_WRITE);
    defects_a->CommitPermissions();
    EXPECT_TRUE(folder_of(carol->GetReal(), L"Public Queries/Defects")->IsWritable());
    defects_a->SetPermissions(L"NoGroup", AD_PERM_READ_ONLY);
    EXPECT_EQ(expect_pamsg([&] { defects_a->CommitPermissions(); }).first, KX_MSG_NOT_FOUND);
    EXPECT_EQ(defects_a->GetAllGroupPermissions().size(), 4u); // still pending after the refusal
    defects_a->RevertPermissions();
    EXPECT_EQ(defects_a->GetAllGroupPermissions().size(), 3u);
}
