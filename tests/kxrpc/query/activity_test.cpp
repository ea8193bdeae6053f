// The activity list over a set of its own: the built-in query with the project and the stream,
// and a stored query whose prompts decide the order of the parameters.
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

#include "handler_env.h"
#include "kxproduct/metadata.h"
#include "kxproduct/store.h"
#include "query/execute.h"
#include "query/paged.h"

using namespace KxRpc;
using kxtest::cat;
using kxtest::str;
using kxtest::words;

namespace {

std::string record(std::string const &owner, std::string const &state, std::string const &project,
                   std::string const &stream, std::string const &headline) {
    std::string r = "<record type=\"All_ZRM_Activities\" state=\"Open\"><value field=\"Headline\">" + headline +
                    "</value><value field=\"Owner\">" + owner + "</value><value field=\"am_statetype\">" + state +
                    "</value><value field=\"ostw_mastership\">here</value>";
    if (!project.empty()) r += "<value field=\"zrm_project\">" + project + "</value>";
    if (!stream.empty()) r += "<value field=\"zrm_stream_object\">" + stream + "</value>";
    return r + "</record>";
}

class ActivityTest : public kxtest::HandlerTest {
protected:
    static void SetUpTestSuite() {
        HandlerTest::SetUpTestSuite();
        KXProductStore::EnsureDataDirectory();
        std::string xml =
            "<kxdefinition name=\"ZRM\"><database name=\"DB\"/>"
            "<group name=\"Everyone\"><subscribe database=\"*\"/></group>"
            "<user login=\"alice\" password=\"alice\"><member group=\"Everyone\"/></user>"
            "<record-type name=\"All_ZRM_Activities\">"
            "<field name=\"Headline\" type=\"short-string\"/><field name=\"Owner\" type=\"short-string\"/>"
            "<field name=\"am_statetype\" type=\"short-string\"/><field name=\"ostw_mastership\" "
            "type=\"short-string\"/>"
            "<field name=\"zrm_project\" type=\"short-string\"/><field name=\"zrm_stream_object\" "
            "type=\"short-string\"/>"
            "<state name=\"Open\"/><action name=\"Submit\" type=\"submit\" to=\"Open\"/></record-type>" +
            record("alice", "Active", "P1", "S1", "mine") + record("alice", "Ready", "", "", "open to all") +
            record("alice", "Closed", "P1", "S1", "closed") + record("alice", "Active", "P2", "S1", "other project") +
            record("alice", "Active", "P1", "S2", "other stream") + record("bob", "Active", "P1", "S1", "not mine") +
            "<folder path=\"Public Queries/ZRMSystemQueries\"/></kxdefinition>";
        KXProductStore::CreateFromDefinition(xml, KXProductStore::DataDirectory());
    }

    void SetUp() override {
        HandlerTest::SetUp();
        KXSmartPtr<KXSession> s = KXSession::Build();
        s->WebUserLogon(CString(L"alice"), CString(L"alice"), CString(), CString(), CString(L"DB"), CString(L"ZRM"));
        alice_ = std::make_shared<LoginSession>(s, Nul::UString(L"ZRM/DB"), Nul::UString());
        sessions_.push_back(alice_);
    }

    // The headlines of the activity list of project and stream, in one page.
    std::pair<std::string, std::vector<std::string>> list(std::string const &project, std::string const &stream) {
        kxtest::Outcome o = call<KxGetMyActivityListArgs>(
            kxrpc_get_my_activity_list, cat(cat(header(alice_), words({50, 0})), cat(str(project), str(stream))));
        std::vector<std::string> headlines;
        if (o.error) return {o.message(), headlines};
        auto *r = dynamic_cast<ExecuteQueryResp *>(o.result.get());
        if (r->error()) return {exception_message_text(*r->error()).utf8_str().std_str(), headlines};
        for (auto const &row : r->rows()) headlines.push_back(row.values[1].text);
        std::sort(headlines.begin(), headlines.end());
        return {"", headlines};
    }

    // Stores a query with prompted filters on the fields named, in that order.
    void store(std::vector<wchar_t const *> const &prompted) {
        AdSessionPtr session(alice_->session());
        AdQueryDefPtr def = BuildQueryDef(session, LookupEntityDef(session, CString(L"All_ZRM_Activities")), 0);
        def->BuildField(CString(L"id"));
        def->BuildField(CString(L"Headline"));
        AdFilterNode *top = def->BuildFilter(nullptr, AD_BOOL_OP_AND, 1);
        for (wchar_t const *field : prompted)
            def->BuildFilter(top, CString(field), AD_COMP_OP_EQ, {}, 0)->SetPrompt(CString(L"Which?"));
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(KXProductStore::SetPath(CString(L"ZRM")).c_str(), &db), SQLITE_OK);
        std::string const sql = "INSERT OR REPLACE INTO buckets(dbid, database_dbid, parent_dbid, name, item_type, "
                                "entity_def_dbid, definition) "
                                "SELECT 900001, database_dbid, dbid, 'ZRMCustomQuery1', 1, "
                                "(SELECT dbid FROM entity_defs WHERE name='All_ZRM_Activities'), ? FROM buckets WHERE "
                                "name='ZRMSystemQueries'";
        sqlite3_stmt *s = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK);
        std::string const text = def->GetDefinition().ToUtf8();
        sqlite3_bind_text(s, 1, text.c_str(), -1, SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(s), SQLITE_DONE);
        sqlite3_finalize(s);
        sqlite3_close(db);
        AdWorkspaceMgrPtr mgr = GetWorkspaceMgr(session);
        mgr->RefreshEntireWorkspace(0);
    }

    std::shared_ptr<LoginSession> alice_;
};

TEST_F(ActivityTest, BuiltInQueryAndThenTheStoredOne) {
    // Mine, active or ready, of the project or none, of the stream or none.
    EXPECT_EQ(list("P1", "S1"), std::make_pair(std::string(), std::vector<std::string>{"mine", "open to all"}));
    EXPECT_EQ(list("P2", "S2"), std::make_pair(std::string(), std::vector<std::string>{"open to all"}));

    // The stream prompt first: the stream goes in the first parameter.
    store({L"zrm_stream_object", L"zrm_project"});
    EXPECT_EQ(list("P2", "S1"), std::make_pair(std::string(), std::vector<std::string>{"other project"}));

    store({L"Owner"});
    std::string const refused = list("P1", "S1").first;
    EXPECT_EQ(refused.rfind("TLQSV0812E The query '", 0), 0u) << refused;
    EXPECT_NE(refused.find("ZRMSystemQueries/ZRMCustomQuery1"), std::string::npos);

    store({L"zrm_project", L"zrm_stream_object", L"Headline"});
    EXPECT_EQ(list("P1", "S1").first.rfind("TLQSV0812E", 0), 0u);
}

} // namespace
