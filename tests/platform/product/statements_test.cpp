// Statements a store connection keeps prepared: reused by text, given back reset and without
// values, a fresh one while the kept one is in use, and a connection with only idle kept
// statements counted as unused (so it can be lent to another thread).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sqlite_db.h"
#include "test_support.h"

namespace {

class StatementsTest : public ProductTest {
protected:
    void SetUp() override {
        ProductTest::SetUp();
        db_ = std::make_unique<kxp::Db>(dir_ + "/statements.db", true);
        db_->exec("CREATE TABLE t(k INTEGER PRIMARY KEY, v TEXT)");
        db_->exec("INSERT INTO t VALUES(1,'one'),(2,'two'),(3,'three')");
    }
    void TearDown() override {
        db_.reset();
        ProductTest::TearDown();
    }
    std::vector<std::string> values(const char *sql, int64_t key) {
        kxp::Stmt s(db_->handle(), sql);
        s.bind(1, key);
        std::vector<std::string> out;
        while (s.step()) out.push_back(s.is_null(0) ? "NULL" : s.text(0));
        return out;
    }
    std::unique_ptr<kxp::Db> db_;
};

constexpr const char *kAbove = "SELECT v FROM t WHERE k>? ORDER BY k";

TEST_F(StatementsTest, OneTextIsPreparedOnceAndReadsWhatItsBindingsSay) {
    struct Case {
        int64_t key;
        std::vector<std::string> want;
    };
    for (const Case &c : {Case{0, {"one", "two", "three"}}, Case{2, {"three"}}, Case{3, {}}, Case{1, {"two", "three"}}})
        EXPECT_EQ(values(kAbove, c.key), c.want) << c.key;
    EXPECT_EQ(db_->kept_statements(), 1u);
    EXPECT_TRUE(db_->unused());
}

TEST_F(StatementsTest, AKeptStatementComesBackWithoutTheValuesOfItsLastUse) {
    EXPECT_EQ(values(kAbove, 2), std::vector<std::string>{"three"});
    // Nothing bound: NULL compares as nothing, so no row (a left-over 2 would give "three").
    kxp::Stmt s(db_->handle(), kAbove);
    EXPECT_FALSE(s.step());
}

TEST_F(StatementsTest, AStatementLeftMidwayHoldsNoReadOnceGivenBack) {
    {
        kxp::Stmt s(db_->handle(), kAbove);
        s.bind(1, 0);
        ASSERT_TRUE(s.step());
        EXPECT_FALSE(db_->unused());
    }
    EXPECT_TRUE(db_->unused());
    // A writer on another connection is not held back by a reader that was left midway.
    kxp::Db other(dir_ + "/statements.db", false);
    other.exec("BEGIN IMMEDIATE; DELETE FROM t WHERE k=1; COMMIT");
    EXPECT_EQ(values(kAbove, 0), (std::vector<std::string>{"two", "three"}));
}

TEST_F(StatementsTest, TheSameTextInUseFurtherUpGetsAFreshStatement) {
    kxp::Stmt outer(db_->handle(), kAbove);
    outer.bind(1, 0);
    std::vector<std::string> seen;
    while (outer.step()) {
        seen.push_back(outer.text(0));
        // Re-entrant use of the same text must not reset the outer walk.
        EXPECT_EQ(values(kAbove, 2), std::vector<std::string>{"three"});
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(db_->kept_statements(), 1u);
}

TEST_F(StatementsTest, AConnectionWithAStatementOfItsOwnOpenIsInUse) {
    kxp::Stmt own(db_->raw(), "SELECT 1");
    EXPECT_FALSE(db_->unused());
    EXPECT_EQ(db_->kept_statements(), 0u);
}

TEST_F(StatementsTest, ATransactionMakesTheConnectionInUse) {
    kxp::Txn txn(*db_);
    EXPECT_FALSE(db_->unused());
}

TEST_F(StatementsTest, TheCacheIsBoundedAndDropsTheLeastRecentlyUsed) {
    for (int i = 0; i < 300; ++i) EXPECT_TRUE(db_->scalar_int("SELECT " + std::to_string(i)).has_value());
    EXPECT_LE(db_->kept_statements(), 128u);
    EXPECT_TRUE(db_->unused());
    EXPECT_EQ(values(kAbove, 2), std::vector<std::string>{"three"});
}

TEST_F(StatementsTest, AFailedPrepareKeepsNothing) {
    EXPECT_THROW(kxp::Stmt(db_->handle(), "SELECT nope FROM nowhere"), kxp::StoreError);
    EXPECT_EQ(db_->kept_statements(), 0u);
    EXPECT_TRUE(db_->unused());
}

} // namespace
