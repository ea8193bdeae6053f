// Facts of a user database, user preferences and mail settings, user setters, and the logon
// ticket that replaces a kept password.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/mman.h>

#include <atomic>
#include <optional>

#include "kxproduct/session.h"
#include "kxproduct/store.h"
#include "kxproduct/userdb.h"
#include "test_support.h"

namespace {

const char kSet[] = R"(<kxdefinition name="FACTS">
  <setting name="fulltext-record-types" value="Task Gone"/>
  <setting name="vendor" value="4"/>
  <setting name="everyone-group" value="All-Staff"/>
  <setting name="features" value="3 26"/>
  <database name="MAIN"/>
  <database name="SCRATCH"/>
  <setting name="test-databases" value="SCRATCH"/>
  <group name="Release-Managers"/><group name="All-Staff"><subscribe database="*"/></group>
  <group name="Old" active="0"/>
  <replica name="here" local="1"/>
  <user login="root" password="root" privileges="super-user"><member group="All-Staff"/></user>
  <user login="keeper" password="keeper" privileges="user-admin"><member group="All-Staff"/></user>
  <user login="ann" password="ann" email="ann@x"><member group="All-Staff"/><member group="Release-Managers"/></user>
  <user login="dir" password="dir" auth="ldap"><member group="All-Staff"/></user>
  <record-type name="Task"><field name="Title" type="short-string" unique-key="1"/></record-type>
  <package name="Ambrel" revision="1.0"><member record-type="Task"/></package>
</kxdefinition>)";

class UserDbTest : public ProductTest {
protected:
    void SetUp() override {
        ProductTest::SetUp();
        std::filesystem::create_directories(data_);
        try {
            KXProductStore::CreateFromDefinition(kSet, data_);
        } catch (KXException *e) {
            ADD_FAILURE() << e->GetErrorString().ToUtf8();
            e->Delete();
        }
    }
    KXSmartPtr<KXSession> logon(const wchar_t *user) {
        auto s = KXSession::Build();
        s->WebUserLogon(user, user, L"h", L"", L"MAIN", L"FACTS");
        return s;
    }
    KXSmartPtr<KXAdminSession> admin(const wchar_t *user) {
        auto a = KXAdminSession::Build();
        a->Logon(user, user, L"FACTS");
        return a;
    }
};

TEST_F(UserDbTest, SettingsAndGroupsOfTheSet) {
    AdSessionPtr s = logon(L"ann")->GetReal();
    std::vector<int64_t> ids;
    std::vector<CString> names;
    KXUserDb::GetAllKnownGroups(s, ids, names, TRUE);
    EXPECT_EQ(names, (std::vector<CString>{L"All-Staff", L"Release-Managers"}));
    ids.clear(), names.clear();
    KXUserDb::GetAllKnownGroups(s, ids, names, FALSE);
    EXPECT_EQ(names.size(), 3u);
    EXPECT_EQ(KXUserDb::GetEveryoneGroupName(s), L"All-Staff");
    // Names are given as the setting holds them, resolvable or not.
    EXPECT_EQ(KXUserDb::GetIndexedEntityDefNames(s), (std::vector<CString>{L"Task", L"Gone"}));
    EXPECT_EQ(KXUserDb::GetVendor(s), KX_VENDOR_ORACLE);
    EXPECT_TRUE(KXUserDb::IsFeatureEnabled(s, KX_FEATURE_PRIVILEGED_QUERY));
    EXPECT_FALSE(KXUserDb::IsFeatureEnabled(s, 2));
    EXPECT_TRUE(KXUserDb::IsTestDatabase(s, L"SCRATCH"));
    EXPECT_FALSE(KXUserDb::IsTestDatabase(s, L"MAIN"));
    // Defaults of settings the set does not name.
    EXPECT_FALSE(KXUserDb::IsFarlinkActivated(s));
    EXPECT_EQ(KXUserDb::GetLDAPMap(s), 1);
    EXPECT_EQ(KXUserDb::GetServerName(s), L"localhost");
    EXPECT_TRUE(KXUserDb::GetConnectOptions(s).IsEmpty());
    EXPECT_EQ(KXUserDb::GetMetadataSchemaRev(s), 2);
    ASSERT_NE(KXUserDb::GetDefaultEntityDef(s), nullptr);
    EXPECT_EQ(KXUserDb::GetDefaultEntityDef(s)->GetName(), L"Task");
    auto revs = KXUserDb::GetEnabledPackageRevs(s);
    ASSERT_EQ(revs.size(), 1u);
    EXPECT_EQ(revs[0].package, L"Ambrel");
    // Faults come through the injector under the call's name.
    KXFaultInjector::Arm("KXUserDb::GetVendor", {KXFaultKind::KXException, 13300, L"boom"});
    EXPECT_EQ(expect_kx([&] { KXUserDb::GetVendor(s); }).first, 13300);
}

TEST_F(UserDbTest, PreferencesAndMailSettingsOutliveTheSession) {
    {
        AdSessionPtr s = logon(L"ann")->GetReal();
        EXPECT_TRUE(KXUserDb::GetUserPreference(s, 7).IsEmpty());
        KXUserDb::SetUserPreference(s, 7, L"seven");
        KXUserDb::SetUserPreference(s, 0, L"zero");
        EXPECT_EQ(KXUserDb::SetMailNotificationSettings(s, {L"on-assign=1", L"digest.hour=7"}), 1);
        // A malformed setting changes nothing.
        EXPECT_EQ(KXUserDb::SetMailNotificationSettings(s, {L"ok=1", L"=nameless"}), 0);
        EXPECT_EQ(KXUserDb::SetMailNotificationSettings(s, {L"no equals sign"}), 0);
        EXPECT_EQ(KXUserDb::SetRestrictedUser(s, TRUE), 1);
        EXPECT_TRUE(KXUserDb::IsRestrictedUser(s));
    }
    AdSessionPtr s = logon(L"ann")->GetReal();
    EXPECT_EQ(KXUserDb::GetUserPreference(s, 7), L"seven");
    EXPECT_EQ(KXUserDb::GetMailNotificationSettings(s), (std::vector<CString>{L"on-assign=1", L"digest.hour=7"}));
    EXPECT_FALSE(KXUserDb::IsRestrictedUser(s)); // restriction lasts one session
    EXPECT_TRUE(KXUserDb::DeleteUserPreference(s, 7));
    EXPECT_FALSE(KXUserDb::DeleteUserPreference(s, 7));
    EXPECT_EQ(KXUserDb::GetUserPreference(s, 0), L"zero");
    // Another user's preferences are their own.
    EXPECT_TRUE(KXUserDb::GetUserPreference(logon(L"root")->GetReal(), 0).IsEmpty());
}

TEST_F(UserDbTest, SettersPersistAndNeedAUserAdministrator) {
    auto keeper = admin(L"keeper");
    auto ann = keeper->GetUser(L"ann");
    ann->SetUserEmail(L"ann@new");
    ann->SetUserPhone(L"555");
    ann->SetAppBuilder(TRUE);
    ann->SetUserMaintainer(TRUE);
    // Granting super user takes a super user.
    EXPECT_EQ(expect_kx([&] { ann->SetSuperUser(TRUE); }).first, KX_MSG_NOT_PRIVILEGED);
    auto again = admin(L"root")->GetUser(L"ann");
    EXPECT_EQ(again->GetUserEmail(), L"ann@new");
    EXPECT_EQ(again->GetUserPhone(), L"555");
    EXPECT_TRUE(again->GetAppBuilder());
    EXPECT_TRUE(again->HasUserPrivilege(KX_PRIV_USER_MAINTAINER));
    EXPECT_FALSE(again->IsUserSuperUser());
    EXPECT_EQ(again->GetMasterReplicaName(), L"here");
    EXPECT_TRUE(again->HasPassword());
    // A directory user's password is not the product's to set.
    auto dir = keeper->GetUser(L"dir");
    EXPECT_EQ(expect_kx([&] { dir->SetPassword(L"x"); }).first, KX_MSG_BAD_VALUE);
}

TEST_F(UserDbTest, NewUserLogsOnOnceAPasswordIsSet) {
    auto keeper = admin(L"keeper");
    auto u = keeper->CreateUser(L"newbie");
    EXPECT_FALSE(u->HasPassword());
    EXPECT_EQ(expect_kx([&] { u->SetPassword(L""); }).first, KX_MSG_BAD_VALUE);
    u->SetPassword(L"pw");
    EXPECT_TRUE(u->HasPassword());
    // The password is taken (the user is subscribed to nothing yet), a wrong one is not.
    EXPECT_EQ(
        expect_kx([&] { KXSession::Build()->WebUserLogon(L"newbie", L"pw", L"h", L"", L"MAIN", L"FACTS"); }).first,
        KX_MSG_NOT_SUBSCRIBED);
    EXPECT_EQ(
        expect_kx([&] { KXSession::Build()->WebUserLogon(L"newbie", L"px", L"h", L"", L"MAIN", L"FACTS"); }).first,
        KX_MSG_LOGIN_FAILED);
}

TEST_F(UserDbTest, TicketOpensAnAdministratorSessionOnlyWhileItsSessionLives) {
    CString ticket;
    {
        auto s = logon(L"keeper");
        ticket = s->GetReal()->GetSessionUserPassword();
        EXPECT_NE(ticket, L"keeper");
        auto a = KXAdminSession::Build();
        a->Logon(L"keeper", ticket, L"FACTS");
        EXPECT_TRUE(a->GetReal());
        // Another user cannot present it.
        EXPECT_EQ(expect_kx([&] { KXAdminSession::Build()->Logon(L"root", ticket, L"FACTS"); }).first,
                  KX_MSG_LOGIN_FAILED);
        a->Unbuild();
    }
    EXPECT_EQ(expect_kx([&] { KXAdminSession::Build()->Logon(L"keeper", ticket, L"FACTS"); }).first,
              KX_MSG_LOGIN_FAILED);
}

} // namespace

TEST_F(UserDbTest, ASessionOfAUserMadeInactiveIsRefusedAsHisLogonIs) {
    auto ann = logon(L"ann");
    auto keeper_admin = admin(L"keeper");
    auto root = admin(L"root");
    AdSessionPtr const ann_real = ann->GetReal(), keeper_real = keeper_admin->GetReal();
    EXPECT_NO_THROW(ann_real->CheckSessionUserActive());
    EXPECT_NO_THROW(keeper_real->CheckSessionUserActive());

    root->GetUser(L"ann")->SetActive(FALSE);
    root->GetUser(L"keeper")->SetActive(FALSE);
    std::pair<int, std::wstring> const logon_refusal = expect_kx([&] { logon(L"ann"); });
    EXPECT_EQ(logon_refusal,
              std::make_pair(static_cast<int>(KX_MSG_LOGIN_FAILED), std::wstring(L"Login failed for user 'ann'.")));
    EXPECT_EQ(expect_kx([&] { ann_real->CheckSessionUserActive(); }), logon_refusal);
    // An administrator session of a user made inactive is refused the same way.
    EXPECT_EQ(expect_kx([&] { keeper_real->CheckSessionUserActive(); }),
              std::make_pair(static_cast<int>(KX_MSG_LOGIN_FAILED), std::wstring(L"Login failed for user 'keeper'.")));
    // Others go on.
    EXPECT_NO_THROW(root->GetReal()->CheckSessionUserActive());

    // Active again: the session that was refused is accepted again (its caller chose to end it).
    root->GetUser(L"ann")->SetActive(TRUE);
    EXPECT_NO_THROW(ann_real->CheckSessionUserActive());
    EXPECT_NO_THROW(logon(L"ann"));
}

namespace {

// Another process's change of a user, as it reaches the set: through a connection of its own and,
// for a change of access, counted on the set's access board (two counters beside the set: changes
// begun, changes done) around its commit, as the product's writers do.
void write_elsewhere(const std::string &sql, bool access) {
    std::atomic_ref<uint64_t> *begun = nullptr, *done = nullptr;
    void *mapped = MAP_FAILED;
    int fd = ::open((KXProductStore::SetPath(L"FACTS") + "-access").c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) mapped = ::mmap(nullptr, 16, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    std::optional<std::atomic_ref<uint64_t>> b, d;
    if (access && mapped != MAP_FAILED) {
        b.emplace(static_cast<uint64_t *>(mapped)[0]);
        d.emplace(static_cast<uint64_t *>(mapped)[1]);
        begun = &*b, done = &*d;
        begun->fetch_add(1);
    }
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(KXProductStore::SetPath(L"FACTS").c_str(), &db), SQLITE_OK);
    std::string const text =
        sql + (access ? "INSERT INTO meta(key, value) VALUES('access_generation', '1') ON CONFLICT(key) DO UPDATE "
                        "SET value = CAST(CAST(value AS INTEGER) + 1 AS TEXT);"
                      : "");
    char *error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
    if (done != nullptr) done->fetch_add(1);
    if (mapped != MAP_FAILED) ::munmap(mapped, 16);
    if (fd >= 0) ::close(fd);
}

// What the checks since it was made read: the set's access generation, and users' rows.
struct Reads {
    long generation = KXFaultInjector::CallCount("KXProductStore::ReadAccessGeneration");
    long user = KXFaultInjector::CallCount("AdSession::ReadSessionUser");
    std::pair<long, long> since() const {
        return {KXFaultInjector::CallCount("KXProductStore::ReadAccessGeneration") - generation,
                KXFaultInjector::CallCount("AdSession::ReadSessionUser") - user};
    }
};

} // namespace

// A change committed through another connection of the set (another process's) reaches a session
// at its next check; with nothing written the check reads nothing. With the access board beside
// the set, and without one (a place where it cannot be made), where the set's data version tells.
TEST_F(UserDbTest, AChangeOfAccessElsewhereIsSeenAtTheNextCheckAndNothingIsReadWithout) {
    for (bool const board : {true, false}) {
        SCOPED_TRACE(board ? "board" : "no board");
        if (!board) {
            TearDown();
            SetUp();
            std::filesystem::create_directory(KXProductStore::SetPath(L"FACTS") + "-access");
        }
        auto ann = logon(L"ann");
        auto root = admin(L"root");
        AdSessionPtr const ann_real = ann->GetReal(), root_real = root->GetReal();
        ann_real->CheckSessionUserActive();
        root_real->CheckSessionUserActive();
        Reads const quiet;
        for (int i = 0; i < 5; ++i) {
            ann_real->CheckSessionUserActive();
            root_real->CheckSessionUserActive();
        }
        EXPECT_EQ(quiet.since(), std::make_pair(0L, 0L));

        // A write that changes no access reads no user; without a board the generation once.
        Reads const other_write;
        write_elsewhere("UPDATE users SET phone='1' WHERE login_name='ann';", false);
        ann_real->CheckSessionUserActive();
        root_real->CheckSessionUserActive();
        EXPECT_EQ(other_write.since(), std::make_pair(board ? 0L : 1L, 0L));

        write_elsewhere("UPDATE users SET active=0 WHERE login_name='ann';", true);
        EXPECT_EQ(expect_kx([&] { ann_real->CheckSessionUserActive(); }),
                  std::make_pair(static_cast<int>(KX_MSG_LOGIN_FAILED), std::wstring(L"Login failed for user 'ann'.")));
        EXPECT_NO_THROW(root_real->CheckSessionUserActive());

        // root loses his super-user right elsewhere: his administrator session changes no user.
        write_elsewhere("UPDATE users SET privileges=0 WHERE login_name='root';", true);
        KXSmartPtr<KXUser> const keeper = root->GetUser(L"keeper");
        EXPECT_EQ(expect_kx([&] { root_real->CheckSessionUserActive(); }).first, KX_MSG_NOT_PRIVILEGED);
        EXPECT_EQ(expect_kx([&] { keeper->SetUserFullName(L"K"); }).first, KX_MSG_NOT_PRIVILEGED);
        // Asked again at each check until the right is back.
        EXPECT_EQ(expect_kx([&] { root_real->CheckSessionUserActive(); }).first, KX_MSG_NOT_PRIVILEGED);
        write_elsewhere("UPDATE users SET privileges=1 WHERE login_name='root';", true);
        EXPECT_NO_THROW(root_real->CheckSessionUserActive());
        EXPECT_NO_THROW(keeper->SetUserFullName(L"K"));
    }
}

// A change of access begun and never done (its process died before it ended) leaves every check
// reading the generation: slower, never wrong.
TEST_F(UserDbTest, AChangeOfAccessLeftUnfinishedMakesEveryCheckReadTheSet) {
    auto ann = logon(L"ann");
    AdSessionPtr const ann_real = ann->GetReal();
    ann_real->CheckSessionUserActive();
    int fd = ::open((KXProductStore::SetPath(L"FACTS") + "-access").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void *mapped = ::mmap(nullptr, 16, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(mapped, MAP_FAILED);
    std::atomic_ref<uint64_t>(static_cast<uint64_t *>(mapped)[0]).fetch_add(1);
    Reads const reads;
    ann_real->CheckSessionUserActive();
    ann_real->CheckSessionUserActive();
    EXPECT_EQ(reads.since(), std::make_pair(2L, 0L));
    ::munmap(mapped, 16);
}

// A right taken away through this process counts at the session's next check as well: a user
// maintainer's administrator session that lost the right changes no user.
TEST_F(UserDbTest, ARightTakenAwayEndsWhatTheAdministratorSessionMayDo) {
    auto keeper = admin(L"keeper");
    auto root = admin(L"root");
    AdSessionPtr const keeper_real = keeper->GetReal();
    KXSmartPtr<KXUser> const ann = keeper->GetUser(L"ann");
    EXPECT_NO_THROW(ann->SetUserPhone(L"2"));
    root->GetUser(L"keeper")->SetUserMaintainer(FALSE);
    Reads const before;
    EXPECT_EQ(expect_kx([&] { keeper_real->CheckSessionUserActive(); }).first, KX_MSG_NOT_PRIVILEGED);
    EXPECT_EQ(before.since().second, 1);
    EXPECT_EQ(expect_kx([&] { ann->SetUserPhone(L"3"); }).first, KX_MSG_NOT_PRIVILEGED);
}
