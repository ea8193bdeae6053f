// Properties of user databases, database sets, users, groups and replicas against the demo set:
// one table per class, product faults per property, puts that persist, and the refusals.
#include "props/userprops.h"

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "demo_session.h"
#include "kxproduct/metadata.h"
#include "kxproduct/userdb.h"
#include "kxproduct/workspace.h"
#include "recording_sink.h"
#include "target/workspace.h"

using namespace KxRpc;
using kxtest::fault;

namespace {

std::string n(std::int64_t v) { return std::to_string(v); }
std::string res(int code, std::int64_t dbid) { return "res" + std::to_string(code) + ":" + n(dbid) + ",0,0,0"; }

// Runs SQL on the demo set's file beside the sessions, as another program would.
void on_store(std::string const &sql) {
    std::string path = std::string(std::getenv("KX_PRODUCT_DATA")) + "/KXDEMO.kxdb";
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

class UserProperties : public kxtest::DemoSession {
protected:
    std::shared_ptr<LoginSession> logon(wchar_t const *user) {
        KXSmartPtr<KXSession> s = KXSession::Build();
        s->WebUserLogon(CString(user), CString(user), CString(), CString(), CString(L"ISSUE"), CString(L"KXDEMO"));
        return std::make_shared<LoginSession>(s, Nul::UString(L"KXDEMO/ISSUE"), Nul::UString());
    }
    std::unique_ptr<PropsResource> props(LoginSession *login, int type, Nul::UString const &name = Nul::UString(),
                                         DynamicPropMap const &declared = {}) {
        TargetResourceArg target(type, Nul::UString(L"KXDEMO"), name);
        return PropsResource::getResource(login, declared, target, type);
    }
    AdSessionPtr api() const { return AdSessionPtr(session_->session()); }
    std::int64_t rectype(wchar_t const *name) {
        return LookupEntityDefOrFamily(session_->session(), CString(name))->GetDbId();
    }

    kxtest::RecordingSink sink_;
};

// Every property of a user database, as alice sees ISSUE.
TEST_F(UserProperties, UserDatabaseTable) {
    auto db = props(session_.get(), TT_USERDB);
    AdBucketPtr personal = GetTopWorkspaceFolder(api(), AD_PERSONAL_FOLDER, 0);
    AdBucketPtr pub = GetTopWorkspaceFolder(api(), AD_PUBLIC_FOLDER, 0);
    ASSERT_TRUE(personal && pub);
    std::string types =
        res(31, rectype(L"Project")) + " " + res(31, rectype(L"Defect")) + " " + res(31, rectype(L"Enhancement"));
    AdBucketPtr startup =
        GetWorkspaceMgr(api())->LookupBucketByPathName(0, CString(L"Public Queries/Defects/Open Defects"));
    ASSERT_TRUE(startup);
    struct Row {
        int id;
        std::string expected;
    };
    Row const rows[] = {
        {227, "[50 res50:Developers res50:Everyone res50:QA ]"},
        {238, "str:Everyone"},
        {244, "[31 " + types + " ]"},
        {250, "bool:1"},
        {251, "bool:0"},
        {253, "bool:1"},
        {256, "bool:0"},
        {257, "bool:0"},
        {264, "name:266"},
        {265, "res27:local"},
        {267, "empty:967"},
        {269, "int:9"},
        {270, "int:5"},
        {359, "str:Issue tracking demo database"},
        {401, "str:Issue tracking demo database"},
        {1044, "str:Issue tracking demo database"},
        {368, "empty:970"},
        {380, "res51:alice"},
        {388, res(31, rectype(L"Project"))},
        {436, "int:7"},
        {602, res(36, personal->GetDbId())},
        {627, res(36, pub->GetDbId())},
        {631, "[7 " + res(36, personal->GetDbId()) + " " + res(36, pub->GetDbId()) + " ]"},
        {673, "int:2"},
        {678, "str:localhost"},
        {690, "[7 " + res(35, startup->GetDbId()) + " ]"},
        {724, "enum:1128"},
        {1153, "[31 ]"},
        {1166, "bool:0"},
        {4242, "unsupported"},
    };
    for (Row const &row : rows) EXPECT_EQ(sink_.fetch(*db, row.id), row.expected) << row.id;
    EXPECT_EQ(sink_.fetch(*db, 416).substr(0, 4), "[42 ");
    EXPECT_EQ(sink_.fetch(*db, 640).substr(0, 4 + types.size()), "[31 " + types);
    // The oplog range is two numbers.
    EXPECT_EQ(sink_.fetch(*db, 275).rfind("range:", 0), 0u);
    std::string info = sink_.fetch(*db, 1085);
    EXPECT_NE(info.find("build-number"), std::string::npos) << info;
    EXPECT_NE(info.find("obj-model-version-major=\"7\""), std::string::npos) << info;
    // The workspace members: both top folders, each before its contents.
    std::string members = sink_.fetch(*db, 655);
    EXPECT_EQ(members.rfind("[7 " + res(36, personal->GetDbId()), 0), 0u) << members;
    EXPECT_NE(members.find(res(36, pub->GetDbId())), std::string::npos);
    EXPECT_NE(members.find(res(35, startup->GetDbId())), std::string::npos);
    EXPECT_EQ(db->describe().utf8_str().std_str().rfind("UserDbProps: (kxobj:", 0), 0u);
}

// A fault in one property answers that property's error; the next fetch is whole again.
TEST_F(UserProperties, ProductFaultsStayWithTheirProperty) {
    auto db = props(session_.get(), TT_USERDB);
    struct Case {
        char const *operation;
        KXFaultKind kind;
        int id;
        std::string expected;
    };
    Case const cases[] = {
        {"KXUserDb::GetVendor", KXFaultKind::KXException, 724, "error:39"},
        {"KXSession::GetOplogSerialNumberRange", KXFaultKind::KXException, 275, "error:80"},
        {"KXUserDb::GetEnabledPackageRevs", KXFaultKind::KXException, 256, "error:40"},
        {"GetListDefs", KXFaultKind::PaMsgException, 416, "error:40"},
        {"GetEntityDefsAndFamilies", KXFaultKind::PaMsgException, 640, "error:40"},
        {"AdSession::GetSessionMasterReplica", KXFaultKind::CException, 265, "empty:966"},
        {"KXUserDb::GetDefaultEntityDef", KXFaultKind::KXException, 388, "empty:966"},
        {"KXUserDb::GetAllKnownGroups", KXFaultKind::PaMsgException, 227, "error:40"},
    };
    for (Case const &c : cases) {
        KXFaultInjector::Arm(c.operation, fault(c.kind, KX_MSG_BAD_VALUE, L"injected"));
        EXPECT_EQ(sink_.fetch(*db, c.id), c.expected) << c.operation;
        EXPECT_EQ(KXFaultInjector::CallCount(c.operation) > 0, true) << c.operation;
        EXPECT_EQ(sink_.fetch(*db, 238), "str:Everyone") << c.operation;
    }
    KXFaultInjector::Arm("GetListDefs", fault(KXFaultKind::PaMsgException, KX_MSG_BAD_VALUE, L"no lists"));
    sink_.fetch(*db, 416);
    EXPECT_EQ(sink_.last_error, "TLQSV0777E Cannot get dynamic list definitions: no lists");
    KXFaultInjector::Arm("KXUserDb::GetEnabledPackageRevs", fault(KXFaultKind::KXException, KX_MSG_BAD_VALUE, L"x"));
    sink_.fetch(*db, 256);
    EXPECT_EQ(sink_.last_error, "TLQSV0769E Internal Error: Error calling KX API.");
}

// Folders and names that are missing answer what exists, never a crash.
TEST_F(UserProperties, MissingFoldersAndUnresolvedNames) {
    auto dave = logon(L"dave");
    auto db = props(dave.get(), TT_USERDB);
    AdBucketPtr pub = GetTopWorkspaceFolder(AdSessionPtr(dave->session()), AD_PUBLIC_FOLDER, 0);
    ASSERT_TRUE(pub);
    ASSERT_FALSE(GetTopWorkspaceFolder(AdSessionPtr(dave->session()), AD_PERSONAL_FOLDER, 0));
    EXPECT_EQ(sink_.fetch(*db, 602), "empty:966");
    EXPECT_EQ(sink_.fetch(*db, 631), "[7 " + res(36, pub->GetDbId()) + " ]");
    // Neither folder: the empty resource list.
    KXFaultInjector::Arm("GetTopWorkspaceFolder", fault(KXFaultKind::PaMsgException, 13585, L"no public"), 2);
    EXPECT_EQ(sink_.fetch(*db, 631), "empty:967");
    // A user who may not see the public folder still gets the personal tree and a closed list.
    KXFaultInjector::Arm("GetTopWorkspaceFolder", fault(KXFaultKind::PaMsgException, 13585, L"no public"), 2);
    std::string members = sink_.fetch(*db, 655);
    EXPECT_EQ(members.substr(0, 3), "[7 ");
    EXPECT_EQ(members.substr(members.size() - 1), "]");
    EXPECT_EQ(members.find(res(36, pub->GetDbId())), std::string::npos);
    KXFaultInjector::Arm("GetTopWorkspaceFolder", fault(KXFaultKind::PaMsgException, 13585, L"none"), 1);
    EXPECT_EQ(sink_.fetch(*db, 655), "[7 ]");
    KXFaultInjector::Arm("GetTopWorkspaceFolder", fault(KXFaultKind::PaMsgException, KX_MSG_BAD_VALUE, L"bad"), 1);
    EXPECT_EQ(sink_.fetch(*db, 655), "error:40");
    // A record-type name that does not resolve is left out.
    on_store("INSERT OR REPLACE INTO meta VALUES('setting:fulltext-record-types', 'Ghost Defect')");
    EXPECT_EQ(sink_.fetch(*db, 244), "[31 " + res(31, rectype(L"Defect")) + " ]");
    on_store("INSERT OR REPLACE INTO meta VALUES('setting:vendor', '9')");
    EXPECT_EQ(sink_.fetch(*db, 724), "error:40");
    on_store("DELETE FROM meta WHERE key IN ('setting:fulltext-record-types', 'setting:vendor')");
}

// A sink that, at each reference written, asks another thread to take the workspace lock: a
// slow client must never hold up the workspace while its answer is written.
class LockProbe : public kxtest::RecordingSink {
public:
    int held = 0, probes = 0;
    void record_resource(int type, int seg1, int seg2, int fol, int att) override {
        ++probes;
        auto taker = std::async(std::launch::async, [] { Nul::CriticalSection guard(workspace_lock()); });
        // When the lock were held, the taker would finish only after the fetch.
        if (taker.wait_for(std::chrono::seconds(2)) != std::future_status::ready) ++held;
        pending.push_back(std::move(taker));
        RecordingSink::record_resource(type, seg1, seg2, fol, att);
    }
    std::vector<std::future<void>> pending;
};

TEST_F(UserProperties, WorkspaceAnswersAreWrittenWithoutTheLock) {
    auto db = props(session_.get(), TT_USERDB);
    LockProbe probe;
    for (int id : {631, 655}) probe.fetch(*db, id);
    for (auto &p : probe.pending) p.wait();
    EXPECT_GT(probe.probes, 3);
    EXPECT_EQ(probe.held, 0);
}

TEST_F(UserProperties, PreferencesNameValuesAndTheirKeys) {
    DynamicPropMap declared = {{1000000, {15, Nul::UString(L"S12")}},
                               {1000001, {15, Nul::UString(L"Sx1")}},
                               {1000002, {14, Nul::UString(L"colour")}},
                               {1000003, {99, Nul::UString(L"other")}},
                               {1000004, {15, Nul::UString(L"S")}}};
    auto db = props(session_.get(), TT_USERDB, Nul::UString(), declared);
    for (int id : {1000000, 1000002}) EXPECT_EQ(sink_.fetch(*db, id), "empty:970") << id;
    // Malformed keys name no preference at all, not preference 0.
    for (int id : {1000001, 1000003, 1000004}) EXPECT_EQ(sink_.fetch(*db, id), "unsupported") << id;
    PropValue<Nul::UString> pref(1000000, STPRPC_STRING_VALUE);
    pref.value = Nul::UString(L"twelve");
    db->put_prop(pref);
    PropValue<Nul::UString> colour(1000002, STPRPC_STRING_VALUE);
    colour.value = Nul::UString(L"blue");
    db->put_prop(colour);
    EXPECT_EQ(sink_.fetch(*db, 1000000), "str:twelve");
    EXPECT_EQ(sink_.fetch(*db, 1000002), "str:blue");
    PropValue<Nul::UString> bad(1000001, STPRPC_STRING_VALUE);
    bad.value = Nul::UString(L"x");
    try {
        db->put_prop(bad);
        ADD_FAILURE() << "malformed key accepted";
    } catch (Nul::STPException const &e) {
        EXPECT_EQ(static_cast<int>(e.stp_reason_code()), 64);
    }
    EXPECT_TRUE(KXUserDb::GetUserPreference(api(), 0).IsEmpty());
    PropValue<Nul::UString> ignored(1000003, STPRPC_STRING_VALUE);
    db->put_prop(ignored);
    // A new session of the same user reads the preference; an empty put deletes it.
    auto alice = logon(L"alice");
    auto again = props(alice.get(), TT_USERDB, Nul::UString(), declared);
    EXPECT_EQ(sink_.fetch(*again, 1000000), "str:twelve");
    BasePropValue empty(1000000, STPRPC_EMPTY_VALUE);
    again->put_prop(empty);
    again->put_prop(empty); // nothing there: nothing to do
    EXPECT_EQ(sink_.fetch(*db, 1000000), "empty:970");
    KXFaultInjector::Arm("KXUserDb::SetUserPreference", fault(KXFaultKind::KXException, KX_MSG_BAD_VALUE, L"full"));
    try {
        db->put_prop(pref);
        ADD_FAILURE() << "fault not raised";
    } catch (Nul::STPException const &e) {
        EXPECT_EQ(e.msg().utf8_str().std_str(), "TLQSV0853E Failed to set user preference, error: 'full'");
    }
}

TEST_F(UserProperties, RestrictedUserAndMailSettings) {
    auto db = props(session_.get(), TT_USERDB);
    auto put_error = [&](BasePropValue &v) -> std::string {
        try {
            db->put_prop(v);
        } catch (Nul::STPException const &e) {
            return std::to_string(static_cast<int>(e.stp_reason_code())) + ":" + e.msg().utf8_str().std_str();
        }
        return "ok";
    };
    PropValue<bool> on(257, STPRPC_BOOL_VALUE);
    on.value = true;
    EXPECT_EQ(put_error(on), "ok");
    EXPECT_EQ(sink_.fetch(*db, 257), "bool:1");
    PropValue<bool> off(257, STPRPC_BOOL_VALUE);
    EXPECT_EQ(put_error(off), "ok");
    EXPECT_EQ(sink_.fetch(*db, 257), "bool:0");
    KXFaultInjector::Arm("KXUserDb::SetRestrictedUser", fault(KXFaultKind::KXException, KX_MSG_BAD_VALUE, L"no"));
    EXPECT_EQ(put_error(on), "40:TLQSV0918E Error when setting restricted user to true: 'no'.");
    // Valueless: 51 for a property of the set, 64 for one outside it (257 is answered, not listed).
    BasePropValue valueless(267, STPRPC_VALUELESS);
    EXPECT_EQ(put_error(valueless).substr(0, 3), "51:");
    BasePropValue valueless_restricted(257, STPRPC_VALUELESS);
    EXPECT_EQ(put_error(valueless_restricted).substr(0, 3), "64:");
    ListPropValue<Nul::UString> mail(267, STPRPC_STRING_LIST);
    mail.values = {Nul::UString(L"on-assign=1"), Nul::UString(L"digest=daily")};
    EXPECT_EQ(put_error(mail), "ok");
    EXPECT_EQ(sink_.fetch(*db, 267), "[100001 str:on-assign=1 str:digest=daily ]");
    mail.values = {Nul::UString(L"no equals")};
    EXPECT_EQ(put_error(mail),
              "4:TLQSV0911E Email notification was not changed. The provided settings may not be valid.");
    BasePropValue clear(267, STPRPC_EMPTY_VALUE);
    EXPECT_EQ(put_error(clear), "ok");
    EXPECT_EQ(sink_.fetch(*db, 267), "empty:967");
    // Read-only and unknown properties.
    BasePropValue server(678, STPRPC_EMPTY_VALUE);
    EXPECT_EQ(put_error(server).substr(0, 2), "9:");
    BasePropValue unknown(4242, STPRPC_EMPTY_VALUE);
    EXPECT_EQ(put_error(unknown).substr(0, 3), "64:");
}

TEST_F(UserProperties, UsersGroupsReplicasAndTheSet) {
    auto admin = logon(L"admin");
    auto bob = props(admin.get(), TT_USER, Nul::UString(L"bob"));
    KXSmartPtr<KXUser> b = admin->admin_session_ptr()->GetUser(CString(L"bob"));
    struct Row {
        int id;
        std::string expected;
    };
    Row const rows[] = {
        {576, "str:" + n(b->GetDbId())},
        {385, "int:" + n(b->GetDbId())},
        {266, "str:bob"},
        {578, "str:bob"},
        {1061, "str:bob"},
        {229, "enum:29"},
        {231, "str:"},
        {237, "str:bob@korvax.example"},
        {242, "str:Bob Baker"},
        {243, "[50 res50:Developers res50:Everyone ]"},
        {246, "bool:1"},
        {248, "bool:0"},
        {249, "bool:0"},
        {252, "bool:0"},
        {254, "bool:0"},
        {255, "bool:0"},
        {258, "bool:0"},
        {260, "bool:0"},
        {262, "bool:0"},
        {268, "res27:local"},
        {271, "str:"},
        {281, "str:"},
        // TEST is a test database and is left out for a named user.
        {289, "[30 res30:ISSUE ]"},
        {595, "empty:967"},
    };
    for (Row const &row : rows) EXPECT_EQ(sink_.fetch(*bob, row.id), row.expected) << row.id;
    EXPECT_EQ(sink_.fetch(*props(admin.get(), TT_USER, Nul::UString(L"carol")), 249), "bool:1");

    auto me = props(session_.get(), TT_CURRENT_USER, Nul::UString(L"alice"));
    EXPECT_EQ(sink_.fetch(*me, 266), "str:alice");
    EXPECT_EQ(sink_.fetch(*me, 246), "bool:1");
    EXPECT_EQ(sink_.fetch(*me, 289), "[30 res30:ISSUE res30:TEST ]");
    EXPECT_EQ(sink_.fetch(*me, 231), "str:");
    // The master replica comes through the administrator session: alice's administrator logon is
    // refused, and that refusal is the property's error.
    EXPECT_EQ(sink_.fetch(*me, 268), "error:47");
    EXPECT_EQ(sink_.fetch(*props(admin.get(), TT_CURRENT_USER, Nul::UString(L"admin")), 268), "res27:local");

    auto inactive = props(admin.get(), TT_GROUP, Nul::UString(L"Inactive"));
    EXPECT_EQ(sink_.fetch(*inactive, 246), "bool:0");
    EXPECT_EQ(sink_.fetch(*inactive, 1061), "str:Inactive");
    auto replica = props(admin.get(), TT_REPLICA, Nul::UString(L"remote-east"));
    EXPECT_EQ(sink_.fetch(*replica, 578), "str:remote-east");
    EXPECT_EQ(sink_.fetch(*replica, 246), "unsupported");

    auto set = props(admin.get(), TT_DBSET);
    EXPECT_EQ(sink_.fetch(*set, 380), "res49:admin");
    EXPECT_EQ(sink_.fetch(*set, 718), "[30 res30:ISSUE ]");
    EXPECT_EQ(sink_.fetch(*set, 724), "enum:1128");
    EXPECT_EQ(sink_.fetch(*set, 264), "name:266");
    EXPECT_EQ(sink_.fetch(*set, 227), "unsupported");
}

TEST_F(UserProperties, CurrentUserThatIsGoneHasNoMasterReplica) {
    auto admin = logon(L"admin");
    ASSERT_TRUE(admin->admin_session_ptr()); // logged on while the login name still exists
    on_store("UPDATE users SET login_name='admin-gone' WHERE login_name='admin'");
    auto me = props(admin.get(), TT_CURRENT_USER, Nul::UString(L"admin"));
    EXPECT_EQ(sink_.fetch(*me, 268), "empty:966");
    on_store("UPDATE users SET login_name='admin' WHERE login_name='admin-gone'");
    EXPECT_EQ(sink_.fetch(*me, 237), "error:40");
    EXPECT_EQ(sink_.fetch(*me, 268), "res27:local");
}

TEST_F(UserProperties, UserPutsPersistAndPasswordsStayTheProducts) {
    auto admin = logon(L"admin");
    auto put = [&](PropsResource &r, BasePropValue &v) -> std::string {
        try {
            r.put_prop(v);
        } catch (Nul::STPException const &e) {
            return std::to_string(static_cast<int>(e.stp_reason_code())) + ":" + e.msg().utf8_str().std_str();
        }
        return "ok";
    };
    auto dave = props(admin.get(), TT_USER, Nul::UString(L"dave"));
    PropValue<Nul::UString> email(237, STPRPC_STRING_VALUE);
    email.value = Nul::UString(L"dave@new.example");
    EXPECT_EQ(put(*dave, email), "ok");
    PropValue<bool> builder(248, STPRPC_BOOL_VALUE);
    builder.value = true;
    EXPECT_EQ(put(*dave, builder), "ok");
    auto admin2 = logon(L"admin");
    auto fresh = props(admin2.get(), TT_USER, Nul::UString(L"dave"));
    EXPECT_EQ(sink_.fetch(*fresh, 237), "str:dave@new.example");
    EXPECT_EQ(sink_.fetch(*fresh, 248), "bool:1");
    // A password is set for the product's own users only; a directory user's is refused.
    PropValue<Nul::UString> password(231, STPRPC_STRING_VALUE);
    password.value = Nul::UString(L"n3w");
    EXPECT_EQ(put(*dave, password), "ok");
    EXPECT_EQ(sink_.fetch(*dave, 231), "str:");
    on_store("UPDATE users SET auth_mode=1 WHERE login_name='carol'");
    auto carol = props(admin.get(), TT_USER, Nul::UString(L"carol"));
    EXPECT_EQ(sink_.fetch(*carol, 229), "enum:30");
    EXPECT_EQ(put(*carol, password).substr(0, 2), "9:");
    on_store("UPDATE users SET auth_mode=3 WHERE login_name='carol'");
    EXPECT_EQ(sink_.fetch(*props(admin.get(), TT_USER, Nul::UString(L"carol")), 229), "error:40");
    on_store("UPDATE users SET auth_mode=2 WHERE login_name='carol'");
    KXFaultInjector::Arm("KXUser::SetUserPhone", fault(KXFaultKind::KXException, KX_MSG_BAD_VALUE, L"phone off"));
    PropValue<Nul::UString> phone(281, STPRPC_STRING_VALUE);
    EXPECT_EQ(put(*dave, phone), "40:TLQSV0751E Server error: Unexpected exception: phone off");
    // A user without administrator rights cannot change users (its administrator session fails).
    EXPECT_THROW(props(session_.get(), TT_USER, Nul::UString(L"bob")), Nul::STPException);
}

} // namespace
