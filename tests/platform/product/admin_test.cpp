// Administration calls of the product: user creation without a password, mastership properties.
#include "kxproduct/faults.h"
#include "kxproduct/session.h"
#include "kxproduct/store.h"
#include "test_support.h"

using AdminTest = ProductTest;

TEST_F(AdminTest, CreatedUserCannotLogOnBeforeItHasAPassword) {
    KXProductStore::EnsureDataDirectory();
    auto a = KXAdminSession::Build();
    a->Logon(L"admin", L"admin", L"KXDEMO");
    auto u = a->CreateUser(L"frank");
    EXPECT_EQ(u->GetUserAuthenticationMode(), KX_AUTH_PRODUCT);
    for (const wchar_t *password : {L"", L"frank"})
        EXPECT_EQ(expect_kx([&] {
                      KXSession::Build()->WebUserLogon(L"frank", password, L"h", L"", L"ISSUE", L"KXDEMO");
                  }).first,
                  KX_MSG_LOGIN_FAILED);
    // Not through single sign-on either, and a listing that checks the password refuses it too.
    auto s = KXSession::Build();
    ASSERT_TRUE(s->EnableSSOLogon(L"kxdemo-single-sign-on-shared-secret", L"KXDEMO"));
    EXPECT_EQ(expect_kx([&] { s->WebUserLogon(L"frank", L"", L"h", L"", L"ISSUE", L"KXDEMO"); }).first,
              KX_MSG_LOGIN_FAILED);
    CString empty;
    EXPECT_EQ(
        expect_kx([&] { AdSessionMgr::GetAccessibleDatabases(L"MASTR", L"frank", &empty, L"KXDEMO", L""); }).first,
        KX_MSG_LOGIN_FAILED);
    EXPECT_TRUE(u->UpgradeInfo().empty()); // subscribed to nothing
    EXPECT_EQ(expect_kx([&] { a->CreateUser(L"frank"); }).first, KX_MSG_ALREADY_EXISTS);
    for (const wchar_t *bad : {L"", L"tab\there"})
        EXPECT_EQ(expect_kx([&] { a->CreateUser(bad); }).first, KX_MSG_BAD_VALUE);
}

TEST_F(AdminTest, MasterPropertiesLiveInTheirOwnTable) {
    KXProductStore::EnsureDataDirectory();
    auto a = KXAdminSession::Build();
    a->Logon(L"admin", L"admin", L"KXDEMO");
    a->UnsetMasterProperty(L"owner", L"ISSUE", L"local"); // before the table exists: no error
    a->SetMasterProperty(L"owner", L"remote-east", L"ISSUE", L"local");
    a->SetMasterProperty(L"owner", L"set-wide", L"", L"");
    a->Unbuild();
    // A new session of another process would see the same: the values are stored.
    auto b = KXAdminSession::Build();
    b->Logon(L"admin", L"admin", L"KXDEMO");
    EXPECT_EQ(b->GetMasterProperty(L"owner", L"ISSUE", L"local"), L"remote-east");
    EXPECT_EQ(b->GetMasterProperty(L"owner", L"", L""), L"set-wide");
    EXPECT_EQ(b->GetMasterProperty(L"owner", L"TEST", L"local"), L"");
    EXPECT_EQ(expect_kx([&] { b->SetMasterProperty(L"", L"v", L"ISSUE", L""); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(expect_pamsg([&] { b->GetMasterProperty(L"p", L"ISSUE", L"west"); }).first, KX_MSG_NOT_FOUND);
}

// Every refused password costs a hash: one of a name that is unknown, inactive or without a
// password is checked against the fixed dummy hash, one of a real user against the user's own.
TEST_F(AdminTest, RefusedNamesAreCheckedAgainstTheDummyHash) {
    KXProductStore::EnsureDataDirectory();
    auto a = KXAdminSession::Build();
    a->Logon(L"admin", L"admin", L"KXDEMO");
    a->CreateUser(L"frank"); // no password
    const char dummy[] = "AdSessionMgr::VerifyDummyPassword";
    struct Case {
        const wchar_t *user, *password;
        long dummies; // dummy checks of one logon and of one listing that checks the password
    } const cases[] = {
        {L"nobody", L"x", 1}, {L"erin", L"erin", 1},   {L"frank", L"frank", 1},
        {L"alice", L"x", 0},  {L"alice", L"alice", 0}, {L"", L"", 1},
    };
    KXFaultInjector::Reset();
    for (const Case &c : cases) {
        long const before = KXFaultInjector::CallCount(dummy);
        try {
            KXSession::Build()->WebUserLogon(c.user, c.password, L"h", L"", L"ISSUE", L"KXDEMO");
        } catch (KXException *e) {
            e->Delete();
        }
        EXPECT_EQ(KXFaultInjector::CallCount(dummy) - before, c.dummies) << CString(c.user).ToUtf8();
        CString password(c.password);
        try {
            AdSessionMgr::GetAccessibleDatabases(L"MASTR", c.user, &password, L"KXDEMO", L"");
        } catch (KXException *e) {
            e->Delete();
        }
        EXPECT_EQ(KXFaultInjector::CallCount(dummy) - before, 2 * c.dummies) << CString(c.user).ToUtf8();
        // A listing without a password checks none.
        try {
            AdSessionMgr::GetAccessibleDatabases(L"MASTR", c.user, nullptr, L"KXDEMO", L"");
        } catch (KXException *e) {
            e->Delete();
        }
        EXPECT_EQ(KXFaultInjector::CallCount(dummy) - before, 2 * c.dummies) << CString(c.user).ToUtf8();
    }
    // The administrator logon refuses the same way.
    long const before = KXFaultInjector::CallCount(dummy);
    EXPECT_EQ(expect_kx([] { KXAdminSession::Build()->Logon(L"nobody", L"x", L"KXDEMO"); }).first, KX_MSG_LOGIN_FAILED);
    EXPECT_EQ(KXFaultInjector::CallCount(dummy) - before, 1);
}

TEST_F(AdminTest, LoginNamesOfASet) {
    KXProductStore::EnsureDataDirectory();
    KXAdminSession::Build()->Logon(L"admin", L"admin", L"KXDEMO"); // the demo set exists
    struct Case {
        const wchar_t *user, *dbset;
        BOOL is_login;
    } const cases[] = {
        {L"alice", L"KXDEMO", TRUE},  {L"erin", L"KXDEMO", TRUE},   {L"nobody", L"KXDEMO", FALSE},
        {L"ALICE", L"KXDEMO", FALSE}, {L"alice", L"NOSUCH", FALSE}, {L"alice", L"../KXDEMO", FALSE},
        {L"", L"KXDEMO", FALSE},
    };
    for (const Case &c : cases)
        EXPECT_EQ(AdSessionMgr::IsLoginName(c.user, c.dbset), c.is_login)
            << CString(c.user).ToUtf8() << "@" << CString(c.dbset).ToUtf8();
}
