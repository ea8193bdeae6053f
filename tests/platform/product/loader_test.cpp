#include <sys/stat.h>

#include <thread>
#include <vector>

#include "kxproduct/metadata.h"
#include "kxproduct/session.h"
#include "kxproduct/store.h"
#include "test_support.h"

namespace {

const char *kSmall = R"(<?xml version="1.0"?>
<kxdefinition name="SMALL">
  <database name="DB1"/>
  <group name="G"><subscribe database="DB1"/></group>
  <list name="Colours"><value>red</value><value>green</value></list>
  <user login="u" password="pw" full-name="User U"><member group="G"/></user>
  <user login="lone" password="pw"/>
  <record-type name="Item">
    <field name="Title" type="short-string" behavior="mandatory"/>
    <field name="Colour" type="short-string" choice-list="Colours"/>
    <state name="New"/><state name="Done"/>
    <action name="Create" type="submit" to="New"/>
    <action name="Finish" type="change-state" from="New" to="Done"/>
    <behavior field="Title" state="Done" value="read-only"/>
  </record-type>
  <record type="Item" state="New"><value field="Title">first</value></record>
</kxdefinition>
)";

std::wstring load_error(const std::string &xml, const std::string &dir) {
    auto r = expect_kx([&] { KXProductStore::CreateFromDefinition(xml, dir); });
    EXPECT_EQ(r.first, KX_MSG_BAD_VALUE);
    return r.second;
}

std::string replace(std::string s, const std::string &from, const std::string &to) {
    size_t p = s.find(from);
    EXPECT_NE(p, std::string::npos) << from;
    return s.replace(p, from.size(), to);
}

} // namespace

using LoaderTest = ProductTest;

TEST_F(LoaderTest, DemoSetIsCreatedOnFirstStartWithPrivateModes) {
    KXProductStore::EnsureDataDirectory();
    auto sets = KXProductStore::InstalledDbSets();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0], L"KXDEMO");
    struct stat st {};
    ASSERT_EQ(::stat(data_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(KXProductStore::SetPath(L"KXDEMO").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // A second start finds the set and creates nothing.
    KXProductStore::EnsureDataDirectory();
    EXPECT_EQ(KXProductStore::InstalledDbSets().size(), 1u);
}

TEST_F(LoaderTest, DemoSetAnswersLookups) {
    auto s = KXSession::Build();
    s->WebUserLogon(L"alice", L"alice", L"host", L"", L"ISSUE", L"KXDEMO");
    AdSessionPtr real = s->GetReal();
    AdEntityDef *defect = LookupEntityDefOrFamily(real, L"Defect");
    ASSERT_NE(defect, nullptr);
    EXPECT_FALSE(defect->IsFamily());
    EXPECT_EQ(defect->GetType(), AD_STATEFUL);
    ASSERT_NE(defect->LookupFieldDef(L"Headline"), nullptr);
    EXPECT_EQ(defect->LookupFieldDef(L"Headline")->GetFieldType(), AD_SHORT_STRING);
    EXPECT_EQ(defect->LookupFieldDef(L"Project")->GetReferenceEntityDef(), LookupEntityDef(real, L"Project"));
    EXPECT_EQ(defect->LookupFieldDef(L"Attachments")->GetFieldType(), AD_ATTACHMENT_LIST);
    EXPECT_EQ(defect->LookupActionDef(AD_ACTION_SUBMIT)->GetName(), L"Submit");
    EXPECT_TRUE(defect->LookupActionDef(L"Import")->IsReservedForSystemUseOnly());
    EXPECT_EQ(defect->LookupActionDef(L"Assign")->GetDestStateName(), L"Assigned");
    EXPECT_EQ(defect->GetStateNames().size(), 6u);
    EXPECT_NE(defect->LookupFormDef(L"Defect_Base"), nullptr);
    EXPECT_NE(defect->LookupHookDef(L"Headline_Validation"), nullptr);
    EXPECT_EQ(defect->LookupHookDef(L"Headline_Validation")->GetFieldName(), L"Headline");
    AdEntityDef *family = LookupEntityDefOrFamily(real, L"AllIssues");
    ASSERT_NE(family, nullptr);
    EXPECT_TRUE(family->IsFamily());
    ASSERT_EQ(family->GetFamilyMembers().GetLength(), 2);
    EXPECT_EQ(family->GetFamilyMembers().GetItem(0), defect);
    EXPECT_EQ(LookupEntityDef(real, L"AllIssues"), nullptr);
    EXPECT_EQ(GetEntityDefOrFamilyById(real, defect->GetDbId()), defect);
    EXPECT_EQ(GetEntityDefOrFamilyById(real, 1), nullptr);
    EXPECT_EQ(LookupEntityDefOrFamily(real, L"Nope"), nullptr);
    AdListDef *sev = LookupListDef(real, L"Severity");
    ASSERT_NE(sev, nullptr);
    EXPECT_EQ(sev->GetValues().size(), 4u);
    EXPECT_EQ(GetListDefs(real).GetLength(), 3);
    // Requiredness follows state and action.
    AdFieldDef *owner = defect->LookupFieldDef(L"Owner");
    EXPECT_EQ(defect->GetBehavior(owner, L"Submitted", nullptr), AD_OPTIONAL);
    EXPECT_EQ(defect->GetBehavior(owner, L"Submitted", defect->LookupActionDef(L"Assign")), AD_MANDATORY);
    EXPECT_EQ(defect->GetBehavior(owner, L"Assigned", nullptr), AD_MANDATORY);
    EXPECT_EQ(defect->GetBehavior(defect->LookupFieldDef(L"Headline"), L"Closed", nullptr), AD_READONLY);
    EXPECT_EQ(defect->GetBehavior(defect->LookupFieldDef(L"id"), L"Opened", nullptr), AD_READONLY);
    s->Unbuild();
}

TEST_F(LoaderTest, SmallDefinitionAndReopen) {
    ASSERT_EQ(::mkdir(data_.c_str(), 0700), 0);
    EXPECT_EQ(KXProductStore::CreateFromDefinition(kSmall, data_), L"SMALL");
    for (int round = 0; round < 2; ++round) { // a second, fresh session reads the same file
        auto s = KXSession::Build();
        s->WebUserLogon(L"u", L"pw", L"h", L"", L"DB1", L"SMALL");
        AdEntityDef *item = LookupEntityDefOrFamily(s->GetReal(), L"Item");
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->GetBehavior(item->LookupFieldDef(L"Title"), L"Done", nullptr), AD_READONLY);
        EXPECT_EQ(item->GetBehavior(item->LookupFieldDef(L"Title"), L"New", nullptr), AD_MANDATORY);
        s->Unbuild();
    }
    // The existing set is never replaced.
    EXPECT_NE(load_error(kSmall, data_).find(L"exists already"), std::wstring::npos);
}

TEST_F(LoaderTest, BadDocumentsNameTheLine) {
    ASSERT_EQ(::mkdir(data_.c_str(), 0700), 0);
    struct Case {
        std::string from, to;
        std::wstring expect;
    };
    std::vector<Case> cases = {
        {"<field name=\"Colour\" type=\"short-string\"", "<field name=\"Colour\" type=\"colour\"",
         L"line 10: unknown field type 'colour'"},
        {"to=\"Done\"", "to=\"Later\"", L"line 13: unknown state 'Later'"},
        {"<user login=\"lone\" password=\"pw\"/>", "<user login=\"u\" password=\"pw\"/>",
         L"line 7: duplicate user 'u'"},
        {"<value field=\"Title\">first</value>", "<value field=\"Nope\">first</value>",
         L"line 16: unknown field 'Nope'"},
        {"<state name=\"New\"/>", "<state name=\"New\">", L"line 1"},
        {"<database name=\"DB1\"/>", "<databse name=\"DB1\"/>", L"line 3: unknown element <databse>"},
        {"<kxdefinition name=\"SMALL\">", "<kxdefinition name=\"../evil\">", L"line 2: the database set needs a name"},
        {"choice-list=\"Colours\"", "choice-list=\"Shades\"", L"line 10: unknown list 'Shades'"},
        {"behavior=\"mandatory\"", "behaviour=\"mandatory\"", L"line 9: unknown attribute 'behaviour' of <field>"},
        {"<value field=\"Title\">first</value>",
         "<value field=\"Title\">first</value><attachment field=\"Title\" name=\"a\"/>",
         L"line 16: field 'Title' holds no attachments"},
        {"<value field=\"Title\">first</value>",
         "<value field=\"Title\">first</value><attachment field=\"Gone\" name=\"a\"/>",
         L"line 16: unknown field 'Gone'"},
    };
    for (const auto &c : cases) {
        std::wstring text = load_error(replace(kSmall, c.from, c.to), data_);
        if (c.expect == L"line 1") {
            EXPECT_EQ(text.rfind(L"line ", 0), 0u) << CString(text).ToUtf8();
            EXPECT_EQ(text.find(L"line 0"), std::wstring::npos) << CString(text).ToUtf8();
        } else {
            EXPECT_EQ(text.rfind(c.expect, 0), 0u) << CString(text).ToUtf8();
        }
    }
    EXPECT_EQ(load_error("<notadefinition/>", data_), L"line 1: the document element must be <kxdefinition>");
    EXPECT_EQ(load_error("", data_).rfind(L"line ", 0), 0u);
    // Nothing was left behind by the failures, not even temporary files.
    EXPECT_TRUE(std::filesystem::is_empty(data_));
}

TEST_F(LoaderTest, ExternalEntitiesAreNotFetched) {
    ASSERT_EQ(::mkdir(data_.c_str(), 0700), 0);
    write_file(dir_ + "/secret.txt", "top secret");
    std::string xml =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE kxdefinition [<!ENTITY s SYSTEM \"file://" + dir_ +
        "/secret.txt\">]>\n<kxdefinition name=\"E\"><database name=\"D\"/><list name=\"L\"><value>&s;</value></list>"
        "<user login=\"u\" password=\"p\"><subscribe database=\"D\"/></user></kxdefinition>";
    try {
        KXProductStore::CreateFromDefinition(xml, data_);
    } catch (KXException *e) {
        e->Delete(); // refusing the document is fine
        return;
    }
    auto s = KXSession::Build();
    s->WebUserLogon(L"u", L"p", L"h", L"", L"D", L"E");
    AdListDef *l = LookupListDef(s->GetReal(), L"L");
    ASSERT_NE(l, nullptr);
    for (const auto &v : l->GetValues()) EXPECT_EQ(v.Find(L"secret"), -1);
}

TEST_F(LoaderTest, ConcurrentFirstStartsCreateOneSet) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([] { KXProductStore::EnsureDataDirectory(); });
    for (auto &t : threads) t.join();
    EXPECT_EQ(KXProductStore::InstalledDbSets().size(), 1u);
}
