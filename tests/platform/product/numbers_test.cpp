// The numbers the product answers in, for sets written now and for sets written by earlier builds
// (schema version 1, other numbers), which are migrated when opened.
#include <sqlite3.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "kxproduct/kxproduct.h"
#include "test_support.h"

namespace {

const char *kSet = R"(<?xml version="1.0"?>
<kxdefinition name="NUMS">
  <database name="DB"/>
  <group name="G"/><group name="H"/>
  <replica name="here" local="1"/>
  <user login="u" password="u" auth="ldap" privileges="far-link-admin raw-sql-writer"><subscribe database="DB"/><member group="G"/></user>
  <user login="p" password="p" privileges="super-user"/>
  <record-type name="Task">
    <field name="Title" type="short-string"/>
    <state name="Open"/><state name="Done"/>
    <action name="Submit" type="submit" to="Open"/>
    <action name="Finish" type="change-state" from="Open" to="Done"/>
    <hook name="D" type="field-default-value" field="Title">x</hook>
    <hook name="C" type="field-choice-list" field="Title" language="lua">x</hook>
    <hook name="V" type="field-value-changed" field="Title">x</hook>
    <hook name="L" type="field-validation" field="Title">x</hook>
    <hook name="I" type="action-initialization" action="Submit">x</hook>
    <hook name="R" type="record-script">x</hook>
  </record-type>
  <record-type name="Team" security-context="1">
    <field name="Name" type="short-string" unique-key="1"/>
    <action name="Submit" type="submit"/>
  </record-type>
  <family name="All"><member record-type="Task"/></family>
  <record type="Task" state="Open"><value field="Title">t</value></record>
  <package name="Zarminflow" revision="2.1"><member record-type="Task"/></package>
  <folder path="Public Queries/F" database="DB"><permission group="G" allow="read"/><permission group="H" allow="read write"/></folder>
  <query path="Public Queries/F/Q" database="DB" record-type="Task"><definition>q</definition></query>
  <query path="Public Queries/F/C" database="DB" record-type="Task" kind="chart"><definition>c</definition></query>
  <query path="Public Queries/F/R" database="DB" record-type="Task" kind="report"><definition>r</definition></query>
  <query path="Public Queries/F/RF" database="DB" record-type="Task" kind="report-format"><definition>f</definition></query>
</kxdefinition>
)";

// The same set as an earlier build wrote it: the numbers of schema version 1, and the group H's
// permission as the write-only bit, which meant read and write.
const char *kToVersion1 = R"SQL(
UPDATE entity_defs SET entity_type = 3 - entity_type;
ALTER TABLE entity_defs DROP COLUMN security_context;
UPDATE hook_defs SET hook_type = CASE hook_type WHEN 4 THEN 1 WHEN 5 THEN 2 WHEN 3 THEN 3 WHEN 2 THEN 4 ELSE hook_type - 1 END;
UPDATE buckets SET item_type = (item_type & ~768) | ((item_type & 768) >> 5);
UPDATE users SET auth_mode = 3 - auth_mode;
UPDATE bucket_permissions SET permission = CASE permission WHEN 2 THEN 1 ELSE 2 END;
DROP TABLE package_revs;
UPDATE history SET action_dbid = NULL;
DROP INDEX field_values_past_first;
DROP INDEX attachments_by_record;
DROP INDEX history_by_record;
DROP INDEX records_by_duplicate;
DROP INDEX oplog_by_database;
UPDATE meta SET value = '1' WHERE key = 'schema_version';
)SQL";

using Answers = std::vector<std::pair<std::string, long>>;

// Every number the interface gives about the set, named.
Answers answers() {
    Answers out;
    auto s = KXSession::Build();
    s->WebUserLogon(L"p", L"p", L"h", L"", L"DB", L"NUMS");
    AdSessionPtr real = s->GetReal();
    auto defs = GetEntityDefsAndFamilies(real);
    for (int i = 0; i < defs.GetLength(); ++i)
        out.emplace_back("kind " + defs.GetItem(i)->GetName().ToUtf8(), defs.GetItem(i)->GetType());
    auto hooks = LookupEntityDef(real, L"Task")->GetHookDefs();
    for (int i = 0; i < hooks.GetLength(); ++i) {
        out.emplace_back("hook " + hooks.GetItem(i)->GetName().ToUtf8(), hooks.GetItem(i)->GetHookType());
        out.emplace_back("language " + hooks.GetItem(i)->GetName().ToUtf8(), hooks.GetItem(i)->GetScriptLanguage());
    }
    auto mgr = GetWorkspaceMgr(real);
    for (const wchar_t *item : {L"F", L"F/Q", L"F/C", L"F/R", L"F/RF"})
        out.emplace_back("bucket " + CString(item).ToUtf8(),
                         mgr->LookupBucketByPathName(0, CString(L"Public Queries/") + item)->GetType());
    for (const auto &[group, kind] :
         AdFolder::LookupFolderFromBucket(mgr->LookupBucketByPathName(0, L"Public Queries/F"))
             ->GetAllGroupPermissions())
        out.emplace_back("permission " + group.ToUtf8(), kind);
    // Records loaded by an earlier build had no action in their history.
    AdQueryDefPtr q = BuildQueryDef(real, GetHistoryEntityDef(real), 0);
    q->BuildField(kHistoryEntityDbId);
    q->BuildFilter(nullptr, kHistoryActionName, AD_COMP_OP_EQ, {L"Submit"}, 1);
    AdResultSetPtr rows = BuildResultSet(real, q);
    rows->Execute();
    long submitted = 0;
    while (rows->MoveNext() == AD_SUCCESS) ++submitted;
    out.emplace_back("submitted", submitted);
    auto admin = KXAdminSession::Build();
    admin->Logon(L"p", L"p", L"NUMS");
    for (const wchar_t *login : {L"u", L"p"}) {
        auto user = admin->GetUser(login);
        out.emplace_back("auth " + CString(login).ToUtf8(), user->GetUserAuthenticationMode());
        for (int kind = 0; kind <= 10; ++kind)
            out.emplace_back("privilege " + CString(login).ToUtf8() + " " + std::to_string(kind),
                             user->HasUserPrivilege(kind));
    }
    admin->Unbuild();
    s->Unbuild();
    return out;
}

long answer(const Answers &a, const std::string &name) {
    for (const auto &[n, v] : a)
        if (n == name) return v;
    ADD_FAILURE() << "no answer " << name;
    return -1;
}

void exec_sql(const std::string &path, const char *sql) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char *err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
}

class NumbersTest : public ProductTest {
protected:
    void SetUp() override {
        ProductTest::SetUp();
        ASSERT_EQ(::mkdir(data_.c_str(), 0700), 0);
        try {
            KXProductStore::CreateFromDefinition(kSet, data_);
        } catch (KXException *e) {
            ADD_FAILURE() << e->GetErrorString().ToUtf8();
            e->Delete();
        }
        path_ = KXProductStore::SetPath(L"NUMS");
    }
    std::string path_;
};

} // namespace

TEST_F(NumbersTest, AnswersInTheServersNumbers) {
    Answers a = answers();
    const std::pair<const char *, long> expected[] = {
        {"kind Task", AD_STATEFUL},
        {"kind Team", AD_STATELESS},
        {"kind All", AD_STATEFUL},
        {"hook D", 2},
        {"hook C", 3},
        {"hook V", 4},
        {"hook L", 5},
        {"hook I", 6},
        {"hook R", 11},
        {"language D", 1},
        {"language C", 5},
        {"bucket F", 0x4},
        {"bucket F/Q", 0x1},
        {"bucket F/C", 0x2},
        {"bucket F/R", 0x100},
        {"bucket F/RF", 0x200},
        {"permission G", AD_PERM_READ_ONLY},
        {"permission H", AD_PERM_READ_WRITE},
        {"auth u", KX_AUTH_DIRECTORY},
        {"auth p", KX_AUTH_PRODUCT},
        {"privilege u 4", 1},
        {"privilege u 6", 1},
        {"privilege u 1", 0},
        {"privilege u 9", 0},
        {"privilege u 5", 0},
        {"submitted", 1},
        {"privilege p 1", 1},
        {"privilege p 2", 1},
        {"privilege p 3", 1},
        {"privilege p 9", 1},
        {"privilege p 0", 0},
    };
    for (const auto &[name, value] : expected) EXPECT_EQ(answer(a, name), value) << name;
    // The masks of the workspace select by these bits: 0x307 every kind, 0x107 all but report formats.
    for (const char *item : {"bucket F", "bucket F/Q", "bucket F/C", "bucket F/R", "bucket F/RF"}) {
        EXPECT_NE(answer(a, item) & 0x307, 0) << item;
        EXPECT_EQ((answer(a, item) & 0x107) == 0, std::string(item) == "bucket F/RF") << item;
    }
}

TEST_F(NumbersTest, SetOfAnEarlierBuildOpensAndMeansTheSame) {
    Answers now = answers();
    exec_sql(path_, kToVersion1);
    EXPECT_EQ(answers(), now);
    EXPECT_EQ(answers(), now); // migrated once: a second open changes nothing
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db, "SELECT value FROM meta WHERE key='schema_version'", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)), "2");
    sqlite3_finalize(st);
    // and it has the indexes of this build, as a set of this version made by an earlier build gets
    // them when it is opened
    auto indexed = [&] {
        sqlite3_prepare_v2(
            db,
            "SELECT COUNT(*) FROM sqlite_master WHERE type='index' AND name IN ('field_values_past_first',"
            " 'attachments_by_record', 'history_by_record', 'records_by_duplicate', 'oplog_by_database')",
            -1, &st, nullptr);
        EXPECT_EQ(sqlite3_step(st), SQLITE_ROW);
        const bool found = sqlite3_column_int(st, 0) == 5;
        sqlite3_finalize(st);
        return found;
    };
    EXPECT_TRUE(indexed());
    ASSERT_EQ(sqlite3_exec(db, "DROP INDEX field_values_past_first; DROP INDEX attachments_by_record", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    EXPECT_EQ(answers(), now);
    EXPECT_TRUE(indexed());
    sqlite3_close(db);
    exec_sql(path_, "UPDATE meta SET value='3' WHERE key='schema_version'"); // a later build's set is refused
    EXPECT_EQ(expect_kx([&] { KXSession::Build()->WebUserLogon(L"p", L"p", L"h", L"", L"DB", L"NUMS"); }).first,
              KX_MSG_CONNECTION_FAILED);
}

TEST_F(NumbersTest, PermissionKindsGrantAndAreChecked) {
    auto s = KXSession::Build();
    s->WebUserLogon(L"u", L"u", L"h", L"", L"DB", L"NUMS"); // in group G
    auto bucket = GetWorkspaceMgr(s->GetReal())->LookupBucketByPathName(0, L"Public Queries/F");
    const struct {
        int kind;
        bool read, write;
    } cases[] = {{AD_PERM_NO_ACCESS, false, false},
                 {AD_PERM_READ_ONLY, true, false},
                 {AD_PERM_READ_WRITE, true, true},
                 {AD_PERM_READ_LIMITED, true, false},
                 {AD_PERM_CHANGE, true, true}};
    for (const auto &c : cases) {
        AdFolderPtr folder = AdFolder::LookupFolderFromBucket(bucket);
        folder->SetPermissions(L"G", c.kind);
        EXPECT_EQ(folder->IsReadable() != 0, c.read) << c.kind;
        EXPECT_EQ(folder->IsWritable() != 0, c.write) << c.kind;
    }
    for (int bad : {-1, 6})
        EXPECT_EQ(expect_kx([&] { AdFolder::LookupFolderFromBucket(bucket)->SetPermissions(L"G", bad); }).first,
                  KX_MSG_BAD_VALUE);
}

// A set that cannot take an added index when it is opened still opens and reads the same.
TEST_F(NumbersTest, ASetThatCannotTakeAnAddedIndexStillOpens) {
    Answers now = answers();
    exec_sql(path_, "DROP INDEX field_values_past_first; CREATE TABLE field_values_past_first(x)");
    EXPECT_EQ(answers(), now);
}
