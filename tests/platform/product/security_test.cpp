// Folder security of the demo workspace: applied, effective and possible permissions, who may
// change them, and the access-control manager's refusals.
#include "kxproduct/kxproduct.h"
#include "kxproduct/security.h"
#include "test_support.h"

namespace {

KXSmartPtr<KXSession> logon(const wchar_t *user) {
    auto s = KXSession::Build();
    s->WebUserLogon(user, user, L"server", L"", L"ISSUE", L"KXDEMO");
    return s;
}

AdFolderPtr folder(const KXSmartPtr<KXSession> &s, const wchar_t *path) {
    return AdFolder::LookupFolderFromBucket(GetWorkspaceMgr(s->GetReal())->LookupBucketByPathName(0, path));
}

// "group=kind" per permission, with "<from" when inherited.
std::wstring text(const AdPermissionSetPtr &set) {
    std::wstring out;
    for (int i = 0; i < set->GetCount(); ++i) {
        auto p = set->GetItem(i);
        out += (i ? L" " : L"") + p->GetGroupName().str() + L"=" + std::to_wstring(p->GetKind());
        if (p->GetInheritedFrom()) out += L"<";
    }
    return out;
}

} // namespace

using SecurityTest = ProductTest;

TEST_F(SecurityTest, AppliedEffectiveAndPossiblePermissions) {
    auto alice = logon(L"alice"), carol = logon(L"carol");
    EXPECT_TRUE(IsWorkspaceFolderSecurityEnabled(alice->GetReal()));
    AdFolderPtr defects = folder(alice, L"Public Queries/Defects"), top = folder(alice, L"Public Queries");
    EXPECT_EQ(text(defects->GetAppliedPermissions()), L"Developers=3 Everyone=2");
    // Nothing above Defects has entries: every active group would read.
    EXPECT_EQ(text(defects->GetPossiblePermissions()), L"Developers=2 Everyone=2 QA=2");
    EXPECT_FALSE(top->GetPermission());
    EXPECT_EQ(defects->GetPermission()->GetKind(), AD_PERM_READ_WRITE);
    EXPECT_EQ(folder(carol, L"Public Queries/Defects")->GetPermission()->GetGroupName(), CString(L"Everyone"));
    std::vector<CString> triples;
    defects->GetAllGroupPermissions(triples);
    EXPECT_EQ(triples, (std::vector<CString>{L"Developers", L"", L"3", L"Everyone", L"", L"2"}));
    auto acl = GetAccessControlMgr(alice->GetReal());
    int64_t qa = acl->LookupGroupByName(L"QA"), carol_id = acl->LookupUserByName(L"carol");
    EXPECT_EQ(text(defects->GetPermissionForUser(carol_id, FALSE)), L"Everyone=2");
    EXPECT_EQ(text(defects->GetPermissionForGroup(qa, TRUE)), L"");
    EXPECT_EQ(acl->LookupGroupByName(L"Nobody"), 0);
    EXPECT_TRUE(acl->LookupGroupByDbId(0).IsEmpty());
}

TEST_F(SecurityTest, OnlyChangersSetPermissionsAndSetsAreChecked) {
    auto alice = logon(L"alice"), admin = logon(L"admin"), carol = logon(L"carol");
    auto acl = GetAccessControlMgr(admin->GetReal());
    auto qa = acl->BuildPermission();
    qa->SetGroup(acl->LookupGroupByName(L"QA"));
    qa->SetKind(AD_PERM_CHANGE);
    auto set = acl->BuildPermissionSet({qa});
    EXPECT_FALSE(folder(alice, L"Public Queries/Defects")->CanChangePermissions());
    EXPECT_EQ(expect_kx([&] { folder(alice, L"Public Queries/Defects")->SetPermissions(set); }).first,
              KX_MSG_NOT_PRIVILEGED);
    AdFolderPtr by_admin = folder(admin, L"Public Queries/Defects");
    ASSERT_TRUE(by_admin->CanChangePermissions());
    by_admin->SetPermissions(set);
    by_admin->CommitPermissions();
    AdFolderPtr by_carol = folder(carol, L"Public Queries/Defects");
    EXPECT_TRUE(by_carol->CanChangePermissions());
    EXPECT_EQ(text(by_carol->GetAppliedPermissions()), L"QA=5");
    EXPECT_FALSE(folder(alice, L"Public Queries/Defects")->IsReadable()); // no entry names alice's groups now

    EXPECT_EQ(expect_kx([&] { acl->BuildPermissionSet({qa, qa}); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(expect_kx([&] { acl->BuildPermissionSet({acl->BuildPermission()}); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(expect_kx([&] { qa->SetKind(6); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(expect_kx([&] { qa->SetGroup(424242); }).first, KX_MSG_NOT_FOUND);
    // Personal folders carry no permissions.
    AdFolderPtr mine = AdFolder::LookupFolderFromBucket(GetTopWorkspaceFolder(alice->GetReal(), AD_PERSONAL_FOLDER, 1));
    EXPECT_FALSE(mine->CanChangePermissions());
    EXPECT_EQ(mine->GetAppliedPermissions()->GetCount(), 0);
}
