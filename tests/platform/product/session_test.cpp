#include <dirent.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "kxproduct/crypt.h"
#include "kxproduct/metadata.h"
#include "kxproduct/session.h"
#include "kxproduct/store.h"
#include "test_support.h"

namespace {
const wchar_t *kSsoSecret = L"kxdemo-single-sign-on-shared-secret";

KXSmartPtr<KXSession> logon(const wchar_t *user, const wchar_t *pw, const wchar_t *db = L"ISSUE") {
    auto s = KXSession::Build();
    s->WebUserLogon(user, pw, L"server", L"client", db, L"KXDEMO");
    return s;
}
} // namespace

using SessionTest = ProductTest;

TEST_F(SessionTest, UserLogonAndSessionFacts) {
    auto s = logon(L"alice", L"alice");
    AdSessionPtr real = s->GetReal();
    ASSERT_TRUE(real);
    EXPECT_EQ(real->GetSessionUserLoginName(), L"alice");
    EXPECT_EQ(real->GetSessionUserFullName(), L"Alice Archer");
    // The session keeps a logon ticket, never the password; the ticket opens an administrator
    // session of the same user only while the session lives.
    CString ticket = real->GetSessionUserPassword();
    EXPECT_NE(ticket, L"alice");
    EXPECT_EQ(ticket.Left(4), L"KXT$");
    EXPECT_EQ(real->GetSessionDbSetName(), L"KXDEMO");
    EXPECT_GT(real->GetSessionUserId(), 0);
    EXPECT_EQ(s->GetAuthenticationLoginName(), L"alice");
    EXPECT_EQ(s->GetSessionFeatureLevel(), 7);
    auto db = s->GetSessionDatabase();
    EXPECT_EQ(db->GetDatabaseName(), L"ISSUE");
    EXPECT_EQ(db->GetDatabaseSetName(), L"KXDEMO");
    EXPECT_FALSE(db->IsMaster());
    // Later calls answer from the row read by the first, each with a descriptor of its own.
    auto again = s->GetSessionDatabase();
    EXPECT_NE(again.get(), db.get());
    EXPECT_EQ(again->GetDatabaseName(), L"ISSUE");
    EXPECT_EQ(again->GetDescription(), db->GetDescription());
    EXPECT_EQ(again->GetDbId(), db->GetDbId());
    EXPECT_FALSE(again->IsMaster());
    EXPECT_TRUE(real->IsSessionUserInGroup(L"Developers"));
    EXPECT_FALSE(real->IsSessionUserInGroup(L"QA"));
    EXPECT_EQ(real->GetSessionHardQueryLimit(), 0);
    s->SetNameValue(L"_KX_WEB_SESSION", L"TRUE");
    EXPECT_EQ(s->GetNameValue(L"_KX_WEB_SESSION"), L"TRUE");
    EXPECT_EQ(real->GetNameValue(L"_KX_WEB_SESSION"), L"TRUE");
    EXPECT_EQ(real->GetNameValue(L"unset"), L"");
    s->Unbuild();
    EXPECT_FALSE(s->GetReal());
    // A holder of the session after Unbuild is refused, not served.
    auto r = expect_kx([&] { real->GetSessionUserLoginName(); });
    EXPECT_EQ(r.first, KX_MSG_SESSION_ENDED);
}

TEST_F(SessionTest, RefusedLogons) {
    EXPECT_EQ(expect_kx([] { logon(L"alice", L"wrong"); }).first, KX_MSG_LOGIN_FAILED);
    EXPECT_EQ(expect_kx([] { logon(L"nobody", L"x"); }).first, KX_MSG_LOGIN_FAILED);
    EXPECT_EQ(expect_kx([] { logon(L"erin", L"erin"); }).first, KX_MSG_LOGIN_FAILED); // inactive
    auto r = expect_kx([] {
        auto s = KXSession::Build();
        s->WebUserLogon(L"alice", L"alice", L"h", L"", L"ISSUE", L"NOSUCHSET");
    });
    EXPECT_EQ(r.first, KX_MSG_CONNECTION_FAILED);
    EXPECT_EQ(expect_kx([] {
                  auto s = KXSession::Build();
                  s->WebUserLogon(L"alice", L"alice", L"h", L"", L"ISSUE", L"../../etc/passwd");
              }).first,
              KX_MSG_CONNECTION_FAILED);
    auto p = expect_pamsg([] { logon(L"alice", L"alice", L"NODB"); });
    EXPECT_EQ(p.first, KX_MSG_NOT_FOUND);
    EXPECT_EQ(expect_pamsg([] { logon(L"alice", L"alice", L"MASTR"); }).first, KX_MSG_NOT_FOUND);
}

TEST_F(SessionTest, SubscriptionIsChecked) {
    ASSERT_EQ(::mkdir(data_.c_str(), 0700), 0);
    KXProductStore::CreateFromDefinition(
        "<kxdefinition name=\"S\"><database name=\"A\"/><database name=\"B\"/>"
        "<user login=\"u\" password=\"p\"><subscribe database=\"A\"/></user>"
        "<user login=\"root\" password=\"p\" privileges=\"super-user\"/></kxdefinition>",
        data_);
    auto s = KXSession::Build();
    s->WebUserLogon(L"u", L"p", L"h", L"", L"A", L"S");
    EXPECT_EQ(expect_kx([&] { s->WebUserLogon(L"u", L"p", L"h", L"", L"B", L"S"); }).first, KX_MSG_NOT_SUBSCRIBED);
    s->WebUserLogon(L"root", L"p", L"h", L"", L"B", L"S"); // a super user may use any database
    EXPECT_EQ(s->GetSessionDatabase()->GetDatabaseName(), L"B");
}

TEST_F(SessionTest, SingleSignOnTrustsOnlyTheSetsSecret) {
    auto s = KXSession::Build();
    EXPECT_FALSE(s->EnableSSOLogon(L"guess", L"KXDEMO"));
    EXPECT_EQ(expect_kx([&] { s->WebUserLogon(L"bob", L"not-bobs", L"h", L"", L"ISSUE", L"KXDEMO"); }).first,
              KX_MSG_LOGIN_FAILED);
    // The server keeps the secret encrypted twice and decrypts it twice before the call.
    CString stored = AdEncryptStringMaybeUTF8(AdEncryptStringMaybeUTF8(kSsoSecret, 7), 7);
    EXPECT_TRUE(s->EnableSSOLogon(AdDecryptStringMaybeUTF8(AdDecryptStringMaybeUTF8(stored)), L"KXDEMO"));
    s->WebUserLogon(L"bob", L"", L"h", L"", L"ISSUE", L"KXDEMO");
    EXPECT_EQ(s->GetReal()->GetSessionUserLoginName(), L"bob");
    // Trust does not carry over to another set, and never to unknown or inactive users.
    EXPECT_EQ(expect_kx([&] { s->WebUserLogon(L"erin", L"", L"h", L"", L"ISSUE", L"KXDEMO"); }).first,
              KX_MSG_LOGIN_FAILED);
}

TEST_F(SessionTest, AdministratorSession) {
    auto a = KXAdminSession::Build();
    a->SetLoadAllUsersAtLogon(0);
    EXPECT_EQ(expect_kx([&] { a->Logon(L"alice", L"alice", L"KXDEMO"); }).first, KX_MSG_NOT_PRIVILEGED);
    EXPECT_EQ(expect_kx([&] { a->Logon(L"admin", L"bad", L"KXDEMO"); }).first, KX_MSG_LOGIN_FAILED);
    a->Logon(L"admin", L"admin", L"KXDEMO");
    AdSessionPtr real = a->GetReal();
    EXPECT_TRUE(real->IsAdminSession());
    EXPECT_EQ(real->GetSessionDbSetName(), L"KXDEMO");
    EXPECT_TRUE(real->GetSessionDatabase()->IsMaster());
    auto master = a->GetDatabase(L"MASTR");
    ASSERT_TRUE(master);
    EXPECT_EQ(master->GetDatabaseName(), L"KXDEMO");
    EXPECT_TRUE(master->GetIsMaster());
    EXPECT_EQ(a->GetDatabase(L"ISSUE")->GetDatabaseName(), L"ISSUE");
    EXPECT_FALSE(a->GetDatabase(L"NONE"));
    auto alice = a->GetUser(L"alice");
    ASSERT_TRUE(alice);
    EXPECT_EQ(alice->GetUserFullName(), L"Alice Archer");
    EXPECT_EQ(alice->GetUserEmail(), L"alice@korvax.example");
    EXPECT_EQ(alice->GetUserGroups().size(), 2u);
    EXPECT_EQ(alice->GetAllSubscribedDatabases().size(), 2u);
    EXPECT_FALSE(alice->IsUserSuperUser());
    EXPECT_TRUE(a->GetUser(L"admin")->IsUserSuperUser());
    EXPECT_FALSE(a->GetUser(L"ghost"));
    auto devs = a->GetGroup(L"Developers");
    ASSERT_TRUE(devs);
    EXPECT_EQ(devs->GetMembers().size(), 3u);
    EXPECT_FALSE(a->GetGroup(L"Inactive")->GetActive());
    auto mu = LookupMasterUser(real, alice->GetDbId());
    ASSERT_TRUE(mu);
    EXPECT_EQ(mu->GetLoginName(), L"alice");
    EXPECT_FALSE(LookupMasterUser(real, devs->GetDbId()));
    EXPECT_EQ(LookupMasterGroup(real, devs->GetDbId())->GetName(), L"Developers");
    AdReplica *local = real->LookupReplicaByName(L"local", 0, 0);
    ASSERT_NE(local, nullptr);
    EXPECT_TRUE(local->IsLocal());
    EXPECT_EQ(real->LookupReplicaByDbId(local->GetDbId(), 0, 0), local);
    EXPECT_EQ(real->LookupReplicaByName(L"none", 0, 0), nullptr);
    a->Unbuild();
}

TEST_F(SessionTest, DatabaseLockIsSeenByOtherSessions) {
    auto user = logon(L"bob", L"bob");
    AdSessionPtr real = user->GetReal();
    EXPECT_FALSE(AdConnectionMgr::IsUserDatabaseLocked(real->GetDatabaseConnection()));
    auto a = KXAdminSession::Build();
    a->Logon(L"admin", L"admin", L"KXDEMO");
    AdConnectionMgr::SetUserDatabaseLocked(a->GetReal(), L"ISSUE", TRUE);
    EXPECT_TRUE(AdConnectionMgr::IsUserDatabaseLocked(real->GetDatabaseConnection()));
    // Persisted: a session opened later sees it too.
    auto later = logon(L"carol", L"carol");
    EXPECT_TRUE(AdConnectionMgr::IsUserDatabaseLocked(later->GetReal()->GetDatabaseConnection()));
    EXPECT_EQ(expect_pamsg([&] { AdConnectionMgr::SetUserDatabaseLocked(a->GetReal(), L"NODB", TRUE); }).first,
              KX_MSG_NOT_FOUND);
    EXPECT_EQ(expect_kx([&] { AdConnectionMgr::SetUserDatabaseLocked(real, L"ISSUE", FALSE); }).first,
              KX_MSG_NOT_PRIVILEGED);
    AdConnectionMgr::SetUserDatabaseLocked(a->GetReal(), L"ISSUE", FALSE);
    EXPECT_FALSE(AdConnectionMgr::IsUserDatabaseLocked(real->GetDatabaseConnection()));
}

TEST_F(SessionTest, InjectedFaultsReachTheCaller) {
    KXFaultInjector::Arm("KXSession::WebUserLogon", KXFault{KXFaultKind::KXException, 13285, CString(L"link down"), 0});
    auto r = expect_kx([] { logon(L"alice", L"alice"); });
    EXPECT_EQ(r.first, 13285);
    EXPECT_EQ(r.second, L"link down");
    logon(L"alice", L"alice"); // fired once only
    EXPECT_EQ(KXFaultInjector::CallCount("KXSession::WebUserLogon"), 2);
    KXFaultInjector::Arm("KXSession::GetSessionFeatureLevel",
                         KXFault{KXFaultKind::PaMsgException, 13224, CString(L"gone"), 0}, 2);
    auto s = logon(L"alice", L"alice");
    EXPECT_EQ(s->GetSessionFeatureLevel(), 7);
    EXPECT_EQ(expect_pamsg([&] { s->GetSessionFeatureLevel(); }).first, 13224);
    EXPECT_EQ(KXFaultInjector::CallCount("KXSession::Build"), 3);
}

TEST_F(SessionTest, ConcurrentSessionsOnThreads) {
    KXProductStore::EnsureDataDirectory();
    std::atomic<int> ok{0}, bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            try {
                for (int i = 0; i < 3; ++i) {
                    auto s = logon(t % 2 ? L"alice" : L"bob", t % 2 ? L"alice" : L"bob");
                    AdSessionPtr real = s->GetReal();
                    if (LookupEntityDefOrFamily(real, L"Defect") &&
                        real->GetSessionDatabase()->GetDatabaseName() == L"ISSUE")
                        ++ok;
                    s->Unbuild();
                }
            } catch (KXException *e) {
                ++bad;
                e->Delete();
            } catch (PaMsgException *e) {
                ++bad;
                e->Delete();
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(ok.load(), 24);
}

TEST_F(SessionTest, ProductObjectsAreReleased) {
    KXProductStore::EnsureDataDirectory();
    long before = KXObject::LiveCount();
    {
        auto s = logon(L"alice", L"alice");
        auto a = KXAdminSession::Build();
        a->Logon(L"admin", L"admin", L"KXDEMO");
        auto u = a->GetUser(L"bob");
        auto d = s->GetSessionDatabase();
        auto e = KXEntityDef::Build(LookupEntityDefOrFamily(s->GetReal(), L"Defect"));
        s->Unbuild();
        a->Unbuild();
    }
    EXPECT_EQ(KXObject::LiveCount(), before);
}

namespace {
int open_descriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}
} // namespace

TEST_F(SessionTest, IdleSessionsHoldNoDescriptors) {
    logon(L"alice", L"alice"); // the demo set and this thread's connection to it exist
    const int before = open_descriptors();
    std::vector<KXSmartPtr<KXSession>> idle; // never unbuilt, like clients that left
    for (int i = 0; i < 600; ++i) idle.push_back(logon(i % 2 ? L"alice" : L"bob", i % 2 ? L"alice" : L"bob"));
    EXPECT_LE(open_descriptors(), before);
    // Threads that come and go give their connections back; sessions outlive the thread that made them.
    KXSmartPtr<KXSession> made_elsewhere;
    for (int i = 0; i < 20; ++i) std::thread([&] { made_elsewhere = logon(L"carol", L"carol"); }).join();
    EXPECT_EQ(made_elsewhere->GetSessionFeatureLevel(), 7);
    EXPECT_EQ(idle.front()->GetSessionDatabase()->GetDatabaseName(), L"ISSUE");
    std::thread([&] { EXPECT_EQ(idle.back()->GetSessionFeatureLevel(), 7); }).join();
    EXPECT_LE(open_descriptors(), before + 3); // at most the connection an ended thread left idle
}

TEST_F(SessionTest, SetReplacedUnderItsNameIsOpenedAfresh) {
    auto first = logon(L"alice", L"alice");
    auto a = KXAdminSession::Build();
    a->Logon(L"admin", L"admin", L"KXDEMO");
    AdConnectionMgr::SetUserDatabaseLocked(a->GetReal(), L"ISSUE", TRUE);
    const std::string path = KXProductStore::SetPath(L"KXDEMO");
    // A fresh demo set, whose ISSUE is not locked, takes the file's place.
    std::filesystem::create_directories(dir_ + "/other");
    KXProductStore::CreateFromDefinition(KXProductStore::DemoDefinition(), dir_ + "/other");
    std::filesystem::rename(dir_ + "/other/KXDEMO.kxdb", path);
    std::filesystem::remove(path + "-wal");
    std::filesystem::remove(path + "-shm");
    auto second = logon(L"alice", L"alice");
    EXPECT_FALSE(AdConnectionMgr::IsUserDatabaseLocked(second->GetReal()->GetDatabaseConnection()));
}
