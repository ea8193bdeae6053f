// Full-text search over 100,000 records (first page and a later one), a walk of 5,000 workspace
// items and a read of 10,000 oplog entries: through the product, and directly on SQLite; the
// oplog read through the real program too.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <csignal>

#include <filesystem>
#include <string>
#include <vector>

#include "kxproduct/kxproduct.h"
#include "raw_calls.h"
#include "server_process.h"

namespace {

constexpr int kRecords = 100000, kItems = 5000, kOplog = 10000;

struct Fixture {
    std::string dir;
    KXSmartPtr<KXSession> session;
    sqlite3 *db = nullptr;
    long long folder = 0;

    Fixture() {
        char tmpl[] = "/tmp/kxbench-ws-XXXXXX";
        dir = ::mkdtemp(tmpl);
        ::setenv("KX_PRODUCT_DATA", (dir + "/data").c_str(), 1);
        KXProductStore::EnsureDataDirectory();
        sqlite3_open(KXProductStore::SetPath(L"KXDEMO").c_str(), &db);
        exec("BEGIN");
        // Records of type Defect with a headline each; one in ten mentions "needle".
        exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(kRecords) +
             ")"
             " INSERT INTO records(dbid, entity_def_dbid, database_dbid, display_name, created, modified)"
             " SELECT 900000000 + i, e.dbid, d.dbid, 'BENCH' || i, '2026-01-01 00:00:00', '2026-01-01 00:00:00'"
             " FROM n, entity_defs e, databases d WHERE e.name='Defect' AND d.name='ISSUE'");
        exec("INSERT INTO record_text(body, record_dbid, database_dbid) SELECT display_name || ' headline ' ||"
             " CASE WHEN dbid % 10 = 0 THEN 'needle haystack' ELSE 'haystack' END, dbid, database_dbid FROM records"
             " WHERE dbid > 900000000");
        exec("INSERT INTO buckets(dbid, database_dbid, parent_dbid, name, item_type, folder_type)"
             " SELECT 800000000, database_dbid, dbid, 'Bench', 4, 1 FROM buckets WHERE parent_dbid IS NULL AND "
             "folder_type=1");
        exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(kItems) +
             ")"
             " INSERT INTO buckets(dbid, database_dbid, parent_dbid, name, item_type, folder_type)"
             " SELECT 800000000 + i, database_dbid, CASE WHEN i % 10 = 1 THEN 800000000 ELSE 800000000 + (i - 1) / 10 "
             "* 10 + 1 END, 'q' || i,"
             " CASE WHEN i % 10 = 1 THEN 4 ELSE 1 END, 1 FROM n, (SELECT database_dbid FROM buckets WHERE "
             "dbid=800000000)");
        exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(kOplog) +
             ")"
             " INSERT INTO oplog(database_dbid, at, operation, detail) SELECT d.dbid, '2026-01-01 00:00:00', 'Modify',"
             " 'BENCH' || i FROM n, databases d WHERE d.name='ISSUE'");
        exec("COMMIT");
        session = KXSession::Build();
        session->WebUserLogon(L"admin", L"admin", L"", L"", L"ISSUE", L"KXDEMO");
        folder = 800000000;
    }
    ~Fixture() {
        sqlite3_close(db);
        std::filesystem::remove_all(dir);
    }
    void exec(std::string const &sql) { sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr); }
    int count(char const *sql, char const *arg) {
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
        if (arg) sqlite3_bind_text(st, 1, arg, -1, SQLITE_STATIC);
        int n = 0;
        while (sqlite3_step(st) == SQLITE_ROW) ++n;
        sqlite3_finalize(st);
        return n;
    }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

void search_page(benchmark::State &state) {
    auto &f = fixture();
    for (auto _ : state) {
        auto def = f.session->BuildTextSearchDef(KX_TEXT_SEARCH_RECORDS);
        def->SetSearchString(L"needle");
        auto result = f.session->BuildTextSearchResult(def);
        result->SetPageSize(50);
        result->SetPage(static_cast<int>(state.range(0)));
        result->Execute();
        benchmark::DoNotOptimize(result->GetHits()->GetCount());
    }
}
BENCHMARK(search_page)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond);

void search_page_sqlite(benchmark::State &state) {
    auto &f = fixture();
    std::string sql = "SELECT r.dbid, bm25(record_text) FROM record_text t JOIN records r ON r.dbid=t.record_dbid"
                      " WHERE record_text MATCH ?1 ORDER BY bm25(record_text), r.dbid LIMIT 50 OFFSET " +
                      std::to_string((state.range(0) - 1) * 50);
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.count("SELECT count(*) FROM record_text WHERE record_text MATCH ?1", "needle"));
        benchmark::DoNotOptimize(f.count(sql.c_str(), "needle"));
    }
}
BENCHMARK(search_page_sqlite)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond);

void folder_walk(benchmark::State &state) {
    auto &f = fixture();
    AdSessionPtr real = f.session->GetReal();
    auto mgr = GetWorkspaceMgr(real);
    for (auto _ : state) {
        AdFolderPtr top = AdFolder::LookupFolderFromBucket(mgr->GetBucket(f.folder));
        top->Refresh(1);
        std::vector<AdFolderPtr> todo{top};
        int n = 0;
        while (!todo.empty()) {
            AdFolderPtr folder = todo.back();
            todo.pop_back();
            std::vector<int64_t> ids;
            folder->GetChildBucketIds(ids, 0x307);
            for (int64_t id : ids) {
                ++n;
                if (AdFolderPtr sub = AdFolder::LookupFolderFromBucket(mgr->GetBucket(id))) todo.push_back(sub);
            }
        }
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(folder_walk)->Unit(benchmark::kMillisecond);

void folder_walk_sqlite(benchmark::State &state) {
    auto &f = fixture();
    for (auto _ : state)
        benchmark::DoNotOptimize(
            f.count("WITH RECURSIVE sub(id) AS (SELECT 800000000 UNION ALL SELECT b.dbid FROM buckets b"
                    " JOIN sub ON b.parent_dbid=sub.id) SELECT b.dbid, b.item_type FROM sub JOIN buckets b"
                    " ON b.dbid=sub.id",
                    nullptr));
}
BENCHMARK(folder_walk_sqlite)->Unit(benchmark::kMillisecond);

unsigned first_serial(Fixture &f) {
    CString first, last;
    f.session->GetOplogSerialNumberRange(first, last);
    return static_cast<unsigned>(std::stoul(first.ToUtf8()));
}

void oplog_read(benchmark::State &state) {
    auto &f = fixture();
    unsigned start = first_serial(f);
    // The UTF-8 entries, as the server reads them.
    for (auto _ : state) benchmark::DoNotOptimize(f.session->GetOplogsUtf8(start, kOplog, 1).size());
}
BENCHMARK(oplog_read)->Unit(benchmark::kMillisecond);

// The same entries as wide text, for callers of the CString interface.
void oplog_read_wide(benchmark::State &state) {
    auto &f = fixture();
    unsigned start = first_serial(f);
    for (auto _ : state) benchmark::DoNotOptimize(f.session->GetOplogs(start, kOplog, 1).size());
}
BENCHMARK(oplog_read_wide)->Unit(benchmark::kMillisecond);

// Rows of another statement stepped through, no column read: a floor, not the same read.
void oplog_read_sqlite(benchmark::State &state) {
    auto &f = fixture();
    for (auto _ : state)
        benchmark::DoNotOptimize(
            f.count("SELECT seq, at, operation, detail FROM oplog ORDER BY seq LIMIT 10000", nullptr));
}
BENCHMARK(oplog_read_sqlite)->Unit(benchmark::kMillisecond);

// The product's own statement of an oplog read, every column of each entry read as text: what the
// entries are made from, without making them.
void oplog_read_sqlite_columns(benchmark::State &state) {
    auto &f = fixture();
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(
        f.db,
        "SELECT o.seq, o.at, o.user_dbid, o.entity_def_dbid, o.record_dbid, o.detail, o.operation FROM oplog o"
        " WHERE o.database_dbid=(SELECT dbid FROM databases WHERE name='ISSUE') AND o.seq>=?"
        " ORDER BY o.seq LIMIT ?",
        -1, &st, nullptr);
    for (auto _ : state) {
        sqlite3_bind_int64(st, 1, 0);
        sqlite3_bind_int64(st, 2, kOplog);
        size_t bytes = 0;
        while (sqlite3_step(st) == SQLITE_ROW)
            for (int c = 0; c < 7; ++c) {
                benchmark::DoNotOptimize(sqlite3_column_text(st, c));
                bytes += static_cast<size_t>(sqlite3_column_bytes(st, c));
            }
        sqlite3_reset(st);
        benchmark::DoNotOptimize(bytes);
    }
    sqlite3_finalize(st);
}
BENCHMARK(oplog_read_sqlite_columns)->Unit(benchmark::kMillisecond);

// The same entries through the real program over one libtirpc connection: get_oplog_entries of
// 10,000 from the first, every entry read back as a client would.
void oplog_server(benchmark::State &state) {
    auto &f = fixture();
    const unsigned start = first_serial(f);
    e2e::ServerProcess server({"-worker_threads", "2"}, f.dir, {"KX_PRODUCT_DATA=" + f.dir + "/data"});
    if (!server.start()) return state.SkipWithError("the server did not start");
    {
        e2e::Client client(server.port(), false, 120);
        const std::string handle = e2e::login(client, "admin");
        if (handle.size() != 16) state.SkipWithError("no login");
        if (handle.size() == 16)
            for (auto _ : state) {
                e2e::Reply r = e2e::call(client, 24, e2e::session(handle).u(start).u(kOplog).i(0));
                if (r.bytes.size() < 8 || r.u() != 0 || r.i() != kOplog) {
                    state.SkipWithError("the reply did not hold every entry");
                    break;
                }
                size_t bytes = 0;
                for (int k = 0; k < kOplog; ++k) bytes += r.s().size();
                benchmark::DoNotOptimize(bytes);
            }
    }
    server.signal(SIGTERM);
    server.wait();
}
BENCHMARK(oplog_server)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
