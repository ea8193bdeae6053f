// Statement budgets: a runaway declared query, a huge value and an orderly stop each end the
// statement with a clear error, and the session keeps working. Runs with a 300 ms time limit.
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "kxproduct/kxproduct.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// Four cross joins of the records: far more rows than any budget lets through.
// A short time limit, set before the product reads it.
[[maybe_unused]] const int kTimeLimit = ::setenv("KX_STATEMENT_TIME_MS", "300", 1);

// The store's bit for the raw-SQL-writer privilege.
constexpr int kStoredRawSqlWriter = 64;

const wchar_t kRunaway[] = L"SELECT count(*) FROM records a, records b, records c, records d, records e";

class BudgetTest : public ProductTest {
protected:
    AdResultSetPtr declared(const wchar_t *sql) {
        AdSessionPtr s = session_->GetReal();
        AdQueryDefPtr q = BuildQueryDef(s, LookupEntityDef(s, L"Defect"), 0);
        q->SetDeclaredSQL(sql);
        return BuildResultSet(s, q);
    }
    void SetUp() override {
        ProductTest::SetUp();
        session_ = demo_logon(L"admin");
    }
    KXSmartPtr<KXSession> session_;
};

} // namespace

TEST_F(BudgetTest, TheLimitsComeFromTheEnvironmentAndTheHeapLimitHolds) {
    EXPECT_EQ(KXStatementBudget::TimeLimitMs(), 300);
    EXPECT_EQ(KXStatementBudget::HeapLimitBytes(), 512LL << 20); // the default
    EXPECT_EQ(sqlite3_hard_heap_limit64(-1), KXStatementBudget::HeapLimitBytes());
}

TEST_F(BudgetTest, ARunawayStatementIsStoppedAtItsTimeBudgetAndTheSessionGoesOn) {
    AdResultSetPtr rs = declared(kRunaway);
    const auto start = Clock::now();
    auto [id, text] = expect_kx([&] { rs->Execute(); });
    const auto took = Clock::now() - start;
    EXPECT_EQ(id, KX_MSG_QUERY_FAILED);
    EXPECT_NE(text.find(L"time budget of 300 ms"), std::wstring::npos) << CString(text.c_str()).ToUtf8();
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_LT(took, std::chrono::seconds(5));
    // The next statement has a budget of its own.
    AdResultSetPtr next = declared(L"SELECT count(*) FROM records");
    next->Execute();
    ASSERT_EQ(next->MoveFirst(), AD_SUCCESS);
    CString n;
    next->GetColumnValue(1, n);
    EXPECT_GT(std::stoi(n.ToUtf8()), 30);
}

TEST_F(BudgetTest, ValuesAndStatementsLongerThanTheLimitsAreRefused) {
    const struct {
        std::wstring sql;
    } cases[] = {
        {L"SELECT randomblob(900000000)"},
        {L"SELECT zeroblob(" + std::to_wstring(KXStatementBudget::kDeclaredValueBytes + 1) + L")"},
        {L"SELECT length(replace(hex(zeroblob(1048576)), '0', '0000000000000000000000000000000000'))"},
    };
    for (const auto &c : cases) {
        AdResultSetPtr rs = declared(c.sql.c_str());
        auto [id, text] = expect_kx([&] { rs->Execute(); });
        EXPECT_EQ(id, KX_MSG_QUERY_FAILED);
        EXPECT_NE(text.find(L"longer than the store's limit"), std::wstring::npos) << CString(text.c_str()).ToUtf8();
    }
    // Just below the value limit is fine.
    AdResultSetPtr fits = declared(
        (L"SELECT length(zeroblob(" + std::to_wstring(KXStatementBudget::kDeclaredValueBytes) + L"))").c_str());
    fits->Execute();
    ASSERT_EQ(fits->MoveFirst(), AD_SUCCESS);
    // SQL text past its limit is refused before it runs.
    std::wstring padded = L"SELECT 1 /*" + std::wstring(KXStatementBudget::kDeclaredSqlBytes, L'x') + L"*/";
    AdResultSetPtr big = declared(padded.c_str());
    auto [id, text] = expect_kx([&] { big->Execute(); });
    EXPECT_EQ(id, KX_MSG_QUERY_FAILED);
}

TEST_F(BudgetTest, TheOrderlyStopInterruptsRunningStatementsOnly) {
    std::atomic<bool> executing{false}, done{false};
    std::pair<int, std::wstring> got;
    AdResultSetPtr rs = declared(kRunaway);
    std::thread runner([&] {
        executing = true;
        got = expect_kx([&] { rs->Execute(); });
        done = true;
    });
    while (!executing) std::this_thread::yield();
    // Whatever statement of the run is going on when a stop comes ends; the stop says so, not the
    // time budget.
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        KXStatementBudget::InterruptRunning();
    }
    runner.join();
    EXPECT_EQ(got.first, KX_MSG_QUERY_FAILED);
    EXPECT_NE(got.second.find(L"the server is stopping"), std::wstring::npos) << CString(got.second.c_str()).ToUtf8();
    // Statements that start after the stop run as usual (for a short grace; this program's time
    // limit is shorter still).
    AdResultSetPtr after = declared(L"SELECT 1");
    after->Execute();
    EXPECT_EQ(after->MoveFirst(), AD_SUCCESS);
}

TEST_F(BudgetTest, OnlyARawSqlWriterGivesADefinitionSqlOfItsOwn) {
    AdSessionPtr admin = session_->GetReal();
    AdQueryDefPtr stored = BuildQueryDef(admin, LookupEntityDef(admin, L"Defect"), 0);
    stored->SetDeclaredSQL(L"SELECT count(*) AS n FROM records");
    const CString text = stored->GetDefinition();

    KXSmartPtr<KXSession> alice = demo_logon(L"alice");
    AdSessionPtr s = alice->GetReal();
    AdQueryDefPtr mine = BuildQueryDef(s, LookupEntityDef(s, L"Defect"), 0);
    auto [id, message] = expect_pamsg([&] { mine->SetDeclaredSQL(L"SELECT 1"); });
    EXPECT_EQ(id, KX_MSG_NOT_PRIVILEGED);
    EXPECT_TRUE(mine->GetDeclaredSQL().IsEmpty());
    mine->SetDeclaredSQL(L""); // clearing needs nothing

    // A definition stored with SQL runs for her, and putting back its own text changes nothing.
    AdQueryDefPtr loaded = BuildQueryDef(s, LookupEntityDef(s, L"Defect"), 0);
    loaded->SetDefinition(text);
    loaded->SetDeclaredSQL(loaded->GetDeclaredSQL());
    AdResultSetPtr rs = BuildResultSet(s, loaded);
    rs->Execute();
    EXPECT_EQ(rs->MoveFirst(), AD_SUCCESS);
    expect_pamsg([&] { loaded->SetDeclaredSQL(L"SELECT 2"); });
    EXPECT_EQ(loaded->GetDeclaredSQL(), L"SELECT count(*) AS n FROM records");

    // carol has a privilege, but not this one; dave, given it in the set, may.
    KXSmartPtr<KXSession> carol = demo_logon(L"carol");
    AdQueryDefPtr hers = BuildQueryDef(carol->GetReal(), LookupEntityDef(carol->GetReal(), L"Defect"), 0);
    expect_pamsg([&] { hers->SetDeclaredSQL(L"SELECT 1"); });
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(KXProductStore::SetPath(L"KXDEMO").c_str(), &db), SQLITE_OK);
    const std::string grant =
        "UPDATE users SET privileges=" + std::to_string(kStoredRawSqlWriter) + " WHERE login_name='dave'";
    EXPECT_EQ(sqlite3_exec(db, grant.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    KXSmartPtr<KXSession> dave = demo_logon(L"dave");
    AdQueryDefPtr his = BuildQueryDef(dave->GetReal(), LookupEntityDef(dave->GetReal(), L"Defect"), 0);
    his->SetDeclaredSQL(L"SELECT 1");
    EXPECT_EQ(his->GetDeclaredSQL(), L"SELECT 1");
}
