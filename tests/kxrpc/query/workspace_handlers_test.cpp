// The handlers of rename, move, oplog entries, record lookup and search in process: every product
// failure becomes the call's error with its reason and is deleted once; bounds of the oplog range.
#include <sqlite3.h>

#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "kxproduct/kxproduct.h"
#include "product_env.h"
#include "query/fulltext.h"
#include "query/lookups.h"
#include "query/paged.h"
#include "query/requests.h"
#include "query/workspace_ops.h"
#include "target/login_session.h"
#include "wire_builder.h"

using namespace KxRpc;
using kxtest::fault;

namespace {

class Handlers : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kxtest::make_product_data(dir_, "/tmp/kxrpc-wsh-XXXXXX"); }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }
    void SetUp() override {
        KXFaultInjector::Reset();
        KXSmartPtr<KXSession> s = KXSession::Build();
        s->WebUserLogon(L"alice", L"alice", CString(), CString(), L"ISSUE", L"KXDEMO");
        session_ = std::make_shared<LoginSession>(s, Nul::UString(L"KXDEMO/ISSUE"), Nul::UString());
        counts_ = kxtest::ExceptionCounts();
    }
    void TearDown() override {
        KXFaultInjector::Reset();
        counts_.expect_unchanged();
        if (!session_->oid().is_nil()) remove_pointer_entry(session_->oid());
    }
    // Correlator none, this test's session, locale, trace id.
    kxtest::Wire header() {
        StateItemPtr item = session_;
        kxtest::Wire w;
        w.i(0).op([item](XDR *x) mutable { return xdr_state_handle(x, item); }).s("en_US").i(1);
        return w;
    }
    // Runs the handler over the decoded request; the reason of its error, or -1 for success.
    template <class Args>
    int run(std::unique_ptr<XdrObject> (*handler)(XdrObject *), kxtest::Wire const &body) {
        Args args;
        EXPECT_TRUE(kxtest::decode_args(args, body.bytes()));
        try {
            handler(&args);
        } catch (Nul::STPException const &e) {
            last_message_ = std::string(e.msg().utf8_str());
            return e.stp_reason_code();
        }
        return -1;
    }
    static void sql(std::string const &statement) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(KXProductStore::SetPath(L"KXDEMO").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }

    static std::string dir_;
    std::shared_ptr<LoginSession> session_;
    kxtest::ExceptionCounts counts_;
    std::string last_message_;
};

std::string Handlers::dir_;

} // namespace

TEST_F(Handlers, RenameReasonFollowsTheProductsMessageId) {
    struct Case {
        KXFaultKind kind;
        int id;
        int reason;
    } cases[] = {{KXFaultKind::KXException, 13786, 4},
                 {KXFaultKind::KXException, 13203, 40},
                 {KXFaultKind::PaMsgException, 13786, 40},
                 {KXFaultKind::CException, 0, 40}};
    for (Case const &c : cases) {
        KXFaultInjector::Arm("KXWorkSpaceMgr::RenameWorkspaceItemByDbId", fault(c.kind, c.id, L"refused"));
        EXPECT_EQ(run<RenameWorkspaceItemArgs>(kxrpc_rename_workspace_item, header().i(1).s("x")), c.reason) << c.id;
        EXPECT_EQ(last_message_, "TLQSV1100E Failed to rename workspace item: refused");
    }
}

TEST_F(Handlers, MoveResolvesBeforeItMovesAndConvertsEveryFailure) {
    auto move = [&](int type, std::string from) {
        kxtest::Wire w;
        StateItemPtr item = session_;
        w.i(0).b(false).op([item](XDR *x) mutable { return xdr_state_handle(x, item); }).s("en_US").i(1);
        w.i(type).i(1).s(from); // by name
        w.s("Public Queries/Defects/Moved").b(false).i(0).i(0).b(false).b(false);
        return run<MoveQueryArgs>(kxrpc_move_query, w);
    };
    // The definition is read before the move: a failure there moves nothing.
    KXFaultInjector::Arm("GetQueryDef", fault(KXFaultKind::PaMsgException, 13224, L"gone"));
    EXPECT_EQ(move(36, "Public Queries/Defects/Open Defects"), 40);
    EXPECT_EQ(KXFaultInjector::CallCount("AdWorkspaceMgr::MoveBucket"), 0);
    EXPECT_EQ(last_message_, "TLQSV0763E Unexpected server error during move of query: gone");
    for (KXFaultKind kind : {KXFaultKind::KXException, KXFaultKind::CException}) {
        KXFaultInjector::Arm("AdWorkspaceMgr::MoveBucket", fault(kind, 13240, L"no"));
        EXPECT_EQ(move(36, "Public Queries/Defects/Open Defects"), 40);
    }
    EXPECT_EQ(move(37, "Public Queries/Defects/Open Defects"), 4); // claimed a folder, is a query
    EXPECT_EQ(move(36, "Public Queries/Defects/Open Defects"), -1);
}

TEST_F(Handlers, OplogRangeBoundsAndModes) {
    sql("DELETE FROM oplog; INSERT INTO oplog(seq, database_dbid, at, operation) SELECT 5, dbid, 'x', 'Modify' FROM "
        "databases "
        "WHERE name='ISSUE'; INSERT INTO oplog(seq, database_dbid, at, operation) SELECT 9, dbid, 'x', 'Modify' FROM "
        "databases WHERE name='ISSUE'");
    struct Case {
        unsigned start;
        int reason;
    } cases[] = {{4, 33}, {5, -1}, {9, -1}, {10, 33}, {0xffffffffu, 33}};
    for (Case const &c : cases)
        EXPECT_EQ(run<GetOplogEntriesArgs>(kxrpc_get_oplog_entries, header().u(c.start).u(0xffffffffu).b(true)),
                  c.reason)
            << c.start;
    KXFaultInjector::Arm("KXSession::GetOplogSerialNumberRange", fault(KXFaultKind::KXException, 13203, L"denied"));
    EXPECT_EQ(run<GetOplogEntriesArgs>(kxrpc_get_oplog_entries, header().u(5).u(1).b(false)), 80);
    KXFaultInjector::Arm("KXSession::GetOplogs", fault(KXFaultKind::PaMsgException, 1, L"broken"));
    EXPECT_EQ(run<GetOplogEntriesArgs>(kxrpc_get_oplog_entries, header().u(5).u(1).b(false)), 40);
    sql("UPDATE databases SET oplog_enabled=0");
    EXPECT_EQ(run<GetOplogEntriesArgs>(kxrpc_get_oplog_entries, header().u(5).u(1).b(false)), 4);
    EXPECT_EQ(last_message_, "TLQSV0859E oplog not enabled.");
    sql("UPDATE databases SET oplog_enabled=1");
}

TEST_F(Handlers, FindRecordModesAndFailures) {
    for (int mode : {0, 836, 840})
        EXPECT_EQ(run<FindRecordArgs>(kxrpc_find_record, header().b(false).s("Apollo").i(mode).i(0)), 4) << mode;
    KXFaultInjector::Arm("GetEntityDefOfName", fault(KXFaultKind::PaMsgException, 1, L"lost"));
    EXPECT_EQ(run<FindRecordArgs>(kxrpc_find_record, header().b(false).s("Apollo").i(837).i(0)), 40);
    EXPECT_EQ(last_message_, "TLQSV0985E Failed to find the record: lost");
    EXPECT_EQ(run<FindRecordArgs>(kxrpc_find_record, header().b(false).s("Apollo").i(837).i(0)), -1);
}

TEST_F(Handlers, SearchFailuresInInitAreTheCallsErrorAndLeaveNoState) {
    auto body = [&](std::string text) { return header().i(5).b(false).i(10).i(0).s(text).i(1).i(0); };
    struct Case {
        char const *op;
        KXFaultKind kind;
        int id;
        int reason;
    } cases[] = {{"KXSession::IsTextSearchEnabled", KXFaultKind::KXException, 1, 40},
                 {"KXTextSearchResult::Execute", KXFaultKind::PaMsgException, 13810, 4},
                 {"KXTextSearchResult::Execute", KXFaultKind::PaMsgException, 1, 40},
                 {"KXSession::BuildTextSearchResult", KXFaultKind::CException, 0, 40}};
    for (Case const &c : cases) {
        KXFaultInjector::Arm(c.op, fault(c.kind, c.id, L"failed"));
        EXPECT_EQ(run<ExecuteFullTextSearchArgs>(kxrpc_execute_fulltext_search, body("crash")), c.reason) << c.op;
    }
    // Search text past the product's bounds is the client's error, as text the index cannot parse is.
    std::string many = "crash";
    for (int i = 0; i < KXTextSearchDef::kMaxSearchTerms; ++i) many += " OR crash";
    EXPECT_EQ(run<ExecuteFullTextSearchArgs>(kxrpc_execute_fulltext_search, body(many)), 4);
    EXPECT_EQ(run<ExecuteFullTextSearchArgs>(kxrpc_execute_fulltext_search,
                                             body(std::string(KXTextSearchDef::kMaxSearchBytes + 1, 'c'))),
              4);
    // A failure while hits are collected ends the reply with an error record, not the call.
    KXFaultInjector::Arm("KXTextSearchHit::GetVersion", fault(KXFaultKind::KXException, 1, L"hit failed"));
    ExecuteFullTextSearchArgs args;
    ASSERT_TRUE(kxtest::decode_args(args, body("crash").bytes()));
    std::unique_ptr<XdrObject> result = kxrpc_execute_fulltext_search(&args);
    ASSERT_TRUE(result);
    std::unique_ptr<ExecuteFullTextSearchIter> iter(dynamic_cast<ExecuteFullTextSearchIter *>(result.release()));
    ASSERT_TRUE(iter);
    ASSERT_FALSE(iter->records().empty());
    EXPECT_EQ(iter->records().back().kind, 4);
    EXPECT_EQ(iter->continue_with(), nullptr);
}

TEST_F(Handlers, WalkSkipsItemsRemovedSinceTheSessionReadTheWorkspace) {
    auto walk = [&] {
        GetFolderDescendentsArgs args;
        EXPECT_TRUE(kxtest::decode_args(args, header().i(37).i(1).s("Public Queries/Defects").bytes()));
        std::unique_ptr<XdrObject> result = kxrpc_get_folder_descendents(&args);
        EXPECT_TRUE(result);
        std::unique_ptr<GetFolderDescendentsResp> resp(dynamic_cast<GetFolderDescendentsResp *>(result.release()));
        return resp ? resp->entries() : std::vector<GetFolderDescendentsResp::Entry>();
    };
    auto before = walk();
    ASSERT_EQ(before.size(), 3u);
    sql("DELETE FROM buckets WHERE dbid=" + std::to_string(before[0].second));
    auto after = walk();
    EXPECT_EQ(after, std::vector<GetFolderDescendentsResp::Entry>(before.begin() + 1, before.end()));
    KXFaultInjector::Arm("AdFolder::GetChildBucketIds", fault(KXFaultKind::PaMsgException, 1, L"broken"));
    EXPECT_EQ(
        run<GetFolderDescendentsArgs>(kxrpc_get_folder_descendents, header().i(37).i(1).s("Public Queries/Defects")),
        40);
}
