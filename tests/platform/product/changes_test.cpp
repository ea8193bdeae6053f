// Record deletion and dynamic-list maintenance: privileges, one-transaction writes, conflicts.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kxproduct/kxproduct.h"
#include "test_support.h"

namespace {

std::vector<std::wstring> members(const AdSessionPtr &s, const wchar_t *list) {
    std::vector<std::wstring> out;
    for (const CString &v : LookupListDef(s, list)->GetValues()) out.push_back(v.str());
    return out;
}

using Changes = ProductTest;

} // namespace

TEST_F(Changes, ListMaintenanceNeedsThePrivilege) {
    auto alice = demo_logon(L"alice");
    EXPECT_EQ(expect_pamsg([&] { AdListMgr::Get(alice->GetReal()); }).first, KX_MSG_NO_LIST_PRIVILEGE);
    // admin holds every privilege as super user; carol holds the list privilege itself.
    EXPECT_TRUE(AdListMgr::Get(demo_logon(L"admin")->GetReal()));
    auto carol = demo_logon(L"carol");
    auto list = AdListMgr::Get(carol->GetReal())->LookupList(L"Platforms");
    ASSERT_TRUE(list);
    EXPECT_FALSE(AdListMgr::Get(carol->GetReal())->LookupList(L"Nothing"));
}

TEST_F(Changes, ListChangesArePendingUntilOneCommit) {
    auto carol = demo_logon(L"carol");
    AdSessionPtr s = carol->GetReal();
    auto list = AdListMgr::Get(s)->LookupList(L"Platforms");
    EXPECT_EQ(list->GetDbId(), LookupListDef(s, L"Platforms")->GetDbId());
    list->DeleteMember(L"Windows");
    list->AddMember(L"BSD");
    EXPECT_EQ(expect_pamsg([&] { list->DeleteMember(L"Windows"); }).first, KX_MSG_NOT_FOUND);
    EXPECT_EQ(expect_pamsg([&] { list->AddMember(L"Linux"); }).first, KX_MSG_ALREADY_EXISTS);
    EXPECT_EQ(expect_pamsg([&] { list->AddMember(L""); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(expect_pamsg([&] { list->SetMembers({L"a", L"a"}); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(members(s, L"Platforms"),
              (std::vector<std::wstring>{L"Linux", L"Windows", L"macOS"})); // nothing written yet
    list->Commit();
    EXPECT_EQ(members(s, L"Platforms"), (std::vector<std::wstring>{L"Linux", L"macOS", L"BSD"}));
}

TEST_F(Changes, RemoveAllThenAddNeverLeavesTheListEmpty) {
    auto carol = demo_logon(L"carol");
    AdSessionPtr s = carol->GetReal();
    auto list = AdListMgr::Get(s)->LookupList(L"Platforms");
    list->SetMembers({});
    list->AddMember(L"Plan9");
    // The store fails after the old members are gone: the transaction takes them back.
    KXFaultInjector::Arm("AdDynamicList::Commit:store",
                         KXFault{KXFaultKind::KXException, KX_MSG_COMMIT_FAILED, CString(L"disk gone"), 0});
    EXPECT_EQ(expect_kx([&] { list->Commit(); }).second, L"disk gone");
    auto other = demo_logon(L"bob");
    EXPECT_EQ(members(other->GetReal(), L"Platforms"), (std::vector<std::wstring>{L"Linux", L"Windows", L"macOS"}));
    list->Commit();
    EXPECT_EQ(members(other->GetReal(), L"Platforms"), (std::vector<std::wstring>{L"Plan9"}));
}

TEST_F(Changes, ListChangedElsewhereIsRefused) {
    auto a = demo_logon(L"carol");
    auto b = demo_logon(L"admin");
    auto la = AdListMgr::Get(a->GetReal())->LookupList(L"Platforms");
    auto lb = AdListMgr::Get(b->GetReal())->LookupList(L"Platforms");
    la->AddMember(L"Haiku");
    lb->AddMember(L"Solaris");
    la->Commit();
    EXPECT_EQ(expect_pamsg([&] { lb->Commit(); }).first, KX_MSG_RECORD_CHANGED);
    EXPECT_EQ(members(a->GetReal(), L"Platforms"),
              (std::vector<std::wstring>{L"Linux", L"Windows", L"macOS", L"Haiku"}));
}

TEST_F(Changes, DeleteEntityTakesOnlyADeleteAction) {
    auto alice = demo_logon(L"alice");
    AdSessionPtr s = alice->GetReal();
    AdEntityPtr e = find_defect(s, L"ISSUE00000004");
    ASSERT_TRUE(e);
    AdEntityDef *defect = e->GetEntityDef();
    EXPECT_EQ(expect_pamsg([&] { DeleteEntity(s, e, defect->LookupActionDef(L"Modify")); }).first,
              KX_MSG_ACTION_NOT_ALLOWED);
    EXPECT_FALSE(e->IsEditable());
    AdActionDef *del = defect->LookupActionDef(static_cast<int>(AD_ACTION_DELETE));
    ASSERT_NE(del, nullptr);
    // Bob edits the record while alice deletes it: his commit finds it changed.
    auto bob = demo_logon(L"bob");
    AdEntityPtr eb = find_defect(bob->GetReal(), L"ISSUE00000004");
    EditEntity(eb, L"Modify");
    eb->SetFieldValue(L"Headline", L"changed by bob");
    // A store failure inside the delete leaves the record as it was, not in an action.
    KXFaultInjector::Arm("AdEntity::Commit:store",
                         KXFault{KXFaultKind::PaMsgException, KX_MSG_COMMIT_FAILED, CString(L"boom"), 0});
    EXPECT_EQ(expect_pamsg([&] { DeleteEntity(s, e, del); }).second, L"boom");
    EXPECT_FALSE(e->IsEditable());
    ASSERT_TRUE(find_defect(bob->GetReal(), L"ISSUE00000004"));
    DeleteEntity(s, e, del);
    EXPECT_FALSE(find_defect(bob->GetReal(), L"ISSUE00000004"));
    EXPECT_EQ(expect_pamsg([&] { eb->Commit(); }).first, KX_MSG_RECORD_CHANGED);
    eb->Revert();
}

TEST_F(ProductTest, ListValuesStayWholeWhileAnotherThreadReadsThemAgain) {
    KXSmartPtr<KXSession> session = demo_logon(L"admin");
    AdSessionPtr s = session->GetReal();
    AdListDef *list = LookupListDef(s, L"Platforms");
    ASSERT_NE(list, nullptr);
    const size_t expected = list->GetValues().size();
    std::atomic<bool> stop{false};
    std::thread refresher([&] {
        for (int i = 0; i < 500; ++i) LookupListDef(s, L"Platforms");
        stop = true;
    });
    size_t reads = 0;
    while (!stop) {
        EXPECT_EQ(list->GetValues().size(), expected);
        ++reads;
    }
    refresher.join();
    EXPECT_GT(reads, 0u);
}
