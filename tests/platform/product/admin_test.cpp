// Administration calls: accessible databases, user creation and upgrade, mastership properties.
#include "kxproduct/session.h"
#include "kxproduct/store.h"
#include "test_support.h"

namespace {

KXSmartPtr<KXAdminSession> admin_logon(const wchar_t* user = L"admin") {
  auto a = KXAdminSession::Build();
  a->Logon(user, user, L"KXDEMO");
  return a;
}

bool can_log_on(const wchar_t* user, const wchar_t* password) {
  try {
    auto s = KXSession::Build();
    s->WebUserLogon(user, password, L"h", L"", L"ISSUE", L"KXDEMO");
    return true;
  } catch (KXException* e) {
    e->Delete();
    return false;
  }
}

// name:accessible per item of the set, in set order.
std::wstring listing(const KXSmartPtr<AdDatabaseDescSet>& set) {
  std::wstring out;
  for (int i = 0; i < set->GetLength(); ++i) {
    auto d = set->GetItem(i);
    out += d->GetDatabaseName().str() + (d->IsMaster() ? L"(master)" : L"") + (d->IsAccessible() ? L":1 " : L":0 ");
  }
  return out;
}

}  // namespace

using AdminTest = ProductTest;

TEST_F(AdminTest, AccessibleDatabasesWithAndWithoutPassword) {
  KXProductStore::EnsureDataDirectory();
  CString pw(L"alice");
  auto set = AdSessionMgr::GetAccessibleDatabases(L"MASTR", L"alice", &pw, L"KXDEMO", L"client");
  EXPECT_EQ(listing(set), L"MASTR(master):0 ISSUE:1 TEST:1 ");
  EXPECT_FALSE(set->GetItem(3));
  EXPECT_FALSE(set->GetItem(-1));
  EXPECT_EQ(set->GetItem(1)->GetDescription(), L"Issue tracking demo database");
  // No password: the caller vouches; a wrong one, an unknown or inactive user: one refusal.
  EXPECT_EQ(listing(AdSessionMgr::GetAccessibleDatabases(L"MASTR", L"dave", nullptr, L"KXDEMO", L"")),
            L"MASTR(master):0 ISSUE:1 TEST:1 ");
  CString wrong(L"x");
  for (const wchar_t* user : {L"alice", L"nobody"})
    EXPECT_EQ(expect_kx([&] { AdSessionMgr::GetAccessibleDatabases(L"MASTR", user, &wrong, L"KXDEMO", L""); }).first,
              KX_MSG_LOGIN_FAILED);
  EXPECT_EQ(expect_kx([&] { AdSessionMgr::GetAccessibleDatabases(L"MASTR", L"erin", nullptr, L"KXDEMO", L""); }).first,
            KX_MSG_LOGIN_FAILED);
  EXPECT_EQ(expect_kx([&] { AdSessionMgr::GetAccessibleDatabases(L"MASTR", L"alice", &pw, L"NOSET", L""); }).first,
            KX_MSG_CONNECTION_FAILED);
  EXPECT_EQ(expect_pamsg([&] { AdSessionMgr::GetAccessibleDatabases(L"MAST", L"alice", &pw, L"KXDEMO", L""); }).first,
            KX_MSG_NOT_FOUND);
}

TEST_F(AdminTest, SessionListsDatabasesWithoutLogon) {
  KXProductStore::EnsureDataDirectory();
  auto s = KXSession::Build();
  auto all = s->GetAccessibleDatabases(L"MASTR", L"", L"KXDEMO");
  ASSERT_EQ(all.size(), 3u);
  EXPECT_TRUE(all[0]->GetIsMaster());
  EXPECT_EQ(all[0]->GetDatabaseName(), L"KXDEMO");
  EXPECT_EQ(all[2]->GetDatabaseName(), L"TEST");
  EXPECT_EQ(all[2]->GetDescription(), L"Scratch database for trying things out");
  EXPECT_EQ(expect_kx([&] { s->GetAccessibleDatabases(L"MASTR", L"", L"../KXDEMO"); }).first, KX_MSG_CONNECTION_FAILED);
}

TEST_F(AdminTest, CreatedUserCannotLogOnBeforeItHasAPassword) {
  KXProductStore::EnsureDataDirectory();
  auto a = admin_logon();
  auto u = a->CreateUser(L"frank");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->GetUserLoginName(), L"frank");
  EXPECT_TRUE(u->GetActive());
  EXPECT_FALSE(can_log_on(L"frank", L""));
  EXPECT_FALSE(can_log_on(L"frank", L"frank"));
  // Not even a trusted logon or a password check of the listing accepts it.
  auto s = KXSession::Build();
  ASSERT_TRUE(s->EnableSSOLogon(L"kxdemo-single-sign-on-shared-secret", L"KXDEMO"));
  EXPECT_EQ(expect_kx([&] { s->WebUserLogon(L"frank", L"", L"h", L"", L"ISSUE", L"KXDEMO"); }).first, KX_MSG_LOGIN_FAILED);
  CString empty;
  EXPECT_EQ(expect_kx([&] { AdSessionMgr::GetAccessibleDatabases(L"MASTR", L"frank", &empty, L"KXDEMO", L""); }).first,
            KX_MSG_LOGIN_FAILED);
  // Without subscriptions it may use no database.
  EXPECT_EQ(listing(AdSessionMgr::GetAccessibleDatabases(L"MASTR", L"frank", nullptr, L"KXDEMO", L"")),
            L"MASTR(master):0 ISSUE:0 TEST:0 ");
  EXPECT_TRUE(u->UpgradeInfo().empty());

  EXPECT_EQ(expect_kx([&] { a->CreateUser(L"frank"); }).first, KX_MSG_ALREADY_EXISTS);
  for (const wchar_t* bad : {L"", L"tab\there"})
    EXPECT_EQ(expect_kx([&] { a->CreateUser(bad); }).first, KX_MSG_BAD_VALUE);
  EXPECT_EQ(expect_kx([&] { a->CreateUser(CString(std::wstring(255, L'x').c_str())); }).first, KX_MSG_BAD_VALUE);
}

TEST_F(AdminTest, FailedCreateLeavesNoUser) {
  KXProductStore::EnsureDataDirectory();
  auto a = admin_logon();
  KXFaultInjector::Arm("KXAdminSession::CreateUser", {KXFaultKind::KXException, 13243, L"refused"});
  EXPECT_EQ(expect_kx([&] { a->CreateUser(L"gina"); }).first, 13243);
  EXPECT_FALSE(a->GetUser(L"gina"));
  EXPECT_EQ(KXFaultInjector::CallCount("KXAdminSession::CreateUser"), 1);
}

TEST_F(AdminTest, UpgradeReportsEachDatabaseAndRefusesALockedOne) {
  KXProductStore::EnsureDataDirectory();
  auto a = admin_logon();
  auto alice = a->GetUser(L"alice");
  auto lines = alice->UpgradeInfo();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], L"User 'alice' is up to date in database 'ISSUE'.");
  EXPECT_EQ(lines[1], L"User 'alice' is up to date in database 'TEST'.");
  AdConnectionMgr::SetUserDatabaseLocked(a->GetReal(), L"TEST", TRUE);
  EXPECT_EQ(expect_kx([&] { alice->UpgradeInfo(); }).first, KX_MSG_DATABASE_LOCKED);
  a->Unbuild();
  EXPECT_EQ(expect_kx([&] { alice->UpgradeInfo(); }).first, KX_MSG_SESSION_ENDED);
}

TEST_F(AdminTest, MasterPropertiesLiveInTheirOwnTable) {
  KXProductStore::EnsureDataDirectory();
  auto a = admin_logon();
  EXPECT_EQ(a->GetMasterProperty(L"owner", L"ISSUE", L"local"), L"");
  a->UnsetMasterProperty(L"owner", L"ISSUE", L"local");  // nothing set: no error
  a->SetMasterProperty(L"owner", L"remote-east", L"ISSUE", L"local");
  a->SetMasterProperty(L"owner", L"local", L"ISSUE", L"local");
  a->SetMasterProperty(L"owner", L"set-wide", L"", L"");
  EXPECT_EQ(a->GetMasterProperty(L"owner", L"ISSUE", L"local"), L"local");
  EXPECT_EQ(a->GetMasterProperty(L"owner", L"", L""), L"set-wide");
  EXPECT_EQ(a->GetMasterProperty(L"owner", L"TEST", L"local"), L"");
  // A user session reads what the administrator wrote.
  auto s = KXSession::Build();
  s->WebUserLogon(L"alice", L"alice", L"h", L"", L"ISSUE", L"KXDEMO");
  EXPECT_EQ(s->GetMasterPropertyValueEx(L"owner", L"ISSUE", L"local"), L"local");
  a->UnsetMasterProperty(L"owner", L"ISSUE", L"local");
  EXPECT_EQ(s->GetMasterPropertyValueEx(L"owner", L"ISSUE", L"local"), L"");
  EXPECT_EQ(a->GetMasterProperty(L"owner", L"", L""), L"set-wide");

  EXPECT_EQ(expect_kx([&] { a->SetMasterProperty(L"", L"v", L"ISSUE", L""); }).first, KX_MSG_BAD_VALUE);
  EXPECT_EQ(expect_pamsg([&] { a->SetMasterProperty(L"p", L"v", L"NODB", L""); }).first, KX_MSG_NOT_FOUND);
  EXPECT_EQ(expect_pamsg([&] { a->GetMasterProperty(L"p", L"ISSUE", L"west"); }).first, KX_MSG_NOT_FOUND);
  EXPECT_EQ(expect_pamsg([&] { s->GetMasterPropertyValueEx(L"p", L"MASTR", L"nowhere"); }).first, KX_MSG_NOT_FOUND);
  EXPECT_EQ(s->GetMasterPropertyValueEx(L"p", L"MASTR", L""), L"");
  s->Unbuild();
  EXPECT_EQ(expect_kx([&] { s->GetMasterPropertyValueEx(L"p", L"", L""); }).first, KX_MSG_SESSION_ENDED);
}

TEST_F(AdminTest, UserMaintenanceNeedsTheRightToIt) {
  KXProductStore::EnsureDataDirectory();
  // carol administers dynamic lists only: she may not even log on as an administrator.
  EXPECT_EQ(expect_kx([] { admin_logon(L"carol"); }).first, KX_MSG_NOT_PRIVILEGED);
  auto a = KXAdminSession::Build();
  EXPECT_EQ(expect_kx([&] { a->CreateUser(L"x"); }).first, KX_MSG_SESSION_ENDED);
}
