// Administration calls of the product: user creation without a password, mastership properties.
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
