// The write-ahead log of a set under continuous reads and writes on many threads: callers' commits
// run no checkpoint, the product's checkpointer brings the log back under its bound (1 MiB here,
// from the test's environment), and closing the connections at a clean stop removes the log.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "checkpoint.h"
#include "core.h"
#include "kxproduct/store.h"
#include "test_support.h"

namespace {

constexpr long long kBound = 1 << 20; // KX_WAL_MAX_BYTES of this program

bool exists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

long long size_of(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

class WalTest : public ProductTest {
protected:
    void SetUp() override {
        ProductTest::SetUp();
        store_ = kxp::open_set(L"KXDEMO");
        set_ = KXProductStore::SetPath(L"KXDEMO");
    }
    void TearDown() override {
        KXProductStore::CloseConnections();
        ProductTest::TearDown();
    }
    // One transaction that replaces the row `key` with `bytes` bytes, on the calling thread's
    // connection.
    void write(const std::string &key, int bytes) {
        kxp::Db &db = store_.conn();
        kxp::Txn txn(db);
        kxp::Stmt(db.handle(), "INSERT OR REPLACE INTO meta(key, value) VALUES(?, printf('%.*c', ?, 'x'))")
            .bind(1, key)
            .bind(2, bytes)
            .step();
        txn.commit();
    }
    // A short read transaction over the rows the writers make.
    int64_t read() {
        kxp::Db &db = store_.conn();
        db.exec("BEGIN");
        int64_t n = db.scalar_int("SELECT total(length(value)) FROM meta WHERE key LIKE 'wal-%'").value_or(0);
        db.exec("COMMIT");
        return n;
    }
    kxp::SetStore store_;
    std::string set_;
};

TEST_F(WalTest, ConnectionsLentToCallersRunNoCheckpointOfTheirOwn) {
    std::vector<int64_t> seen;
    auto look = [&] {
        kxp::Db &db = store_.conn();
        seen.push_back(db.scalar_int("PRAGMA wal_autocheckpoint").value_or(-1));
        seen.push_back(db.scalar_int("PRAGMA journal_size_limit").value_or(-1));
    };
    look();
    std::thread(look).join(); // another thread's connection
    EXPECT_EQ(seen, (std::vector<int64_t>{0, kBound / 2, 0, kBound / 2}));
    EXPECT_EQ(kxp::wal_max_bytes(), kBound);
}

TEST_F(WalTest, TheLogComesBackUnderItsBoundAfterContinuousReadsAndWrites) {
    constexpr int kWriters = 4, kReaders = 4, kCommits = 150, kRowBytes = 32 << 10;
    const long long runs_before = kxp::checkpoint_counts().runs;
    std::atomic<bool> writing{true};
    std::atomic<int> failures{0};
    std::atomic<int> writers_done{0};
    std::vector<std::thread> readers, writers;
    for (int r = 0; r < kReaders; ++r)
        readers.emplace_back([&] {
            try {
                // Each sees whole rows only: a transaction's value is all there or not at all.
                while (writing)
                    if (read() % kRowBytes != 0) ++failures;
            } catch (const kxp::StoreError &e) {
                ADD_FAILURE() << e.text;
            }
        });
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            try {
                for (int i = 0; i < kCommits; ++i)
                    write("wal-" + std::to_string(w) + "-" + std::to_string(i % 4), kRowBytes);
            } catch (const kxp::StoreError &e) {
                ADD_FAILURE() << e.text;
            }
            ++writers_done;
        });
    // The log's size as the load goes, for the record only: how high it climbs depends on timing.
    long long most = 0;
    while (writers_done < kWriters) {
        most = std::max(most, size_of(set_ + "-wal"));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    RecordProperty("most_wal_bytes", std::to_string(most));
    for (auto &t : writers) t.join();
    writing = false;
    for (auto &t : readers) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(read(), int64_t{kWriters} * 4 * kRowBytes);

    // The checkpointer works on after the load; it is waited for, not timed.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (size_of(set_ + "-wal") > kBound && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_LE(size_of(set_ + "-wal"), kBound);
    // Far more was written than the bound: the log was checkpointed, and not by the commits.
    EXPECT_GT(kxp::checkpoint_counts().runs, runs_before);
}

TEST_F(WalTest, ClosingTheConnectionsAtAStopRemovesTheLogAndKeepsTheData) {
    // Two connections in use at once, on two threads, each with a commit of its own.
    std::latch both(2);
    auto work = [&](const char *key) {
        write(key, 1000);
        both.arrive_and_wait();
        write(key, 2000);
    };
    std::thread a(work, "wal-a"), b(work, "wal-b");
    a.join();
    b.join();
    write("wal-main", 3000);
    ASSERT_GE(KXProductStore::OpenConnections(), 2);
    ASSERT_TRUE(exists(set_ + "-wal"));

    KXProductStore::CloseConnections();
    EXPECT_EQ(KXProductStore::OpenConnections(), 0);
    EXPECT_FALSE(exists(set_ + "-wal"));
    EXPECT_FALSE(exists(set_ + "-shm"));

    // Everything committed is in the set itself, and it opens again.
    EXPECT_EQ(read(), 7000);
}

// A stop that cannot take the log back into the set (here another connection keeps it; a full
// disk does the same) says that the log stays and holds writes, for whoever backs the set up.
TEST_F(WalTest, AStopThatLeavesTheLogSaysSo) {
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open_v2(set_.c_str(), &other, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "SELECT count(*) FROM meta", nullptr, nullptr, nullptr), SQLITE_OK);
    write("wal-kept", 1000);
    std::vector<std::string> reported;
    AdDiagnostic::SetSink([&](const CString &, const CString &text) { reported.push_back(text.ToUtf8()); });
    KXProductStore::CloseConnections();
    EXPECT_TRUE(exists(set_ + "-wal"));
    EXPECT_EQ(reported, std::vector<std::string>{"stopped with " + set_ +
                                                 "-wal beside the set; it holds committed "
                                                 "writes: keep it and " +
                                                 set_ + "-shm with the set"});
    sqlite3_close(other);
    EXPECT_FALSE(exists(set_ + "-wal"));
    EXPECT_EQ(read(), 1000);
}

} // namespace
