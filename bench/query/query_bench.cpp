// The query engine over 100,000 Defect records, beside sqlite3 reading the same rows directly.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "kxproduct/kxproduct.h"
#include "raw_calls.h"
#include "server_process.h"

namespace {

constexpr int kRecords = 100000;

// The columns the product query shows, as sqlite3 reads them.
const char *const kDirect = "SELECT r.dbid, r.display_name, (SELECT name FROM states WHERE dbid=r.state_dbid),"
                            " (SELECT value FROM field_values WHERE record_dbid=r.dbid AND field_dbid=:headline),"
                            " (SELECT value FROM field_values WHERE record_dbid=r.dbid AND field_dbid=:owner)"
                            " FROM records r WHERE r.entity_def_dbid=:type ORDER BY r.dbid";

struct Fixture {
    std::string dir;
    KXSmartPtr<KXSession> session;
    AdSessionPtr s;
    sqlite3 *db = nullptr;
    long long type = 0, headline = 0, owner = 0;

    Fixture() {
        char tmpl[] = "/tmp/kxbench-query-XXXXXX";
        dir = ::mkdtemp(tmpl);
        std::string data = dir + "/data";
        std::filesystem::create_directory(data);
        ::setenv("KX_PRODUCT_DATA", data.c_str(), 1);
        // Made by the product's own loader: one record per <record>, as a client would have them.
        std::string xml =
            R"(<kxdefinition name="BENCH"><database name="DB"/><user login="admin" password="admin" privileges="super-user"/>
      <record-type name="Defect"><field name="Headline" type="short-string"/><field name="Owner" type="short-string"/>
      <field name="Estimate" type="int"/><state name="Submitted"/><state name="Opened"/>
      <action name="Submit" type="submit" to="Submitted"/><action name="Open" type="change-state" from="Submitted" to="Opened"/>
      </record-type>)";
        const char *owners[] = {"alice", "bob", "carol", "dave"};
        for (int i = 0; i < kRecords; ++i)
            xml += std::string("<record type=\"Defect\" state=\"") + (i % 3 ? "Opened" : "Submitted") +
                   "\"><value field=\"Headline\">Defect number " + std::to_string(i) +
                   "</value><value field=\"Owner\">" + owners[i % 4] + "</value><value field=\"Estimate\">" +
                   std::to_string(i % 13) + "</value></record>";
        KXProductStore::CreateFromDefinition(xml + "</kxdefinition>", data);
        session = KXSession::Build();
        session->WebUserLogon(L"admin", L"admin", L"", L"", L"DB", L"BENCH");
        s = session->GetReal();
        sqlite3_open_v2(KXProductStore::SetPath(L"BENCH").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        AdEntityDef *def = LookupEntityDef(s, L"Defect");
        type = def->GetDbId();
        headline = def->LookupFieldDef(L"Headline")->GetDbId();
        owner = def->LookupFieldDef(L"Owner")->GetDbId();
    }
    ~Fixture() {
        sqlite3_close(db);
        std::filesystem::remove_all(dir);
    }
    AdQueryDefPtr query(bool sorted = false) {
        AdQueryDefPtr q = BuildQueryDef(s, LookupEntityDef(s, L"Defect"), 0);
        for (const wchar_t *f : {L"dbid", L"id", L"State", L"Headline", L"Owner"}) q->BuildField(f);
        if (sorted) q->GetQueryFieldDef(5)->SetSortType(AD_SORT_DESCENDING);
        return q;
    }
    sqlite3_stmt *direct(const std::string &tail) {
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db, (kDirect + tail).c_str(), -1, &st, nullptr);
        sqlite3_bind_int64(st, 1, headline);
        sqlite3_bind_int64(st, 2, owner);
        sqlite3_bind_int64(st, 3, type);
        return st;
    }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

// Reads the current row's columns as the server does.
size_t read_row(const AdResultSetPtr &rs) {
    size_t bytes = 0;
    std::string_view v;
    for (int c = 1; c <= rs->GetNumberOfColumns(); ++c)
        if (rs->GetColumnValueUtf8(c, v)) bytes += v.size();
    return bytes;
}

size_t read_direct(sqlite3_stmt *st, int limit) {
    size_t bytes = 0;
    int n = 0;
    while ((limit == 0 || n < limit) && sqlite3_step(st) == SQLITE_ROW) {
        for (int c = 0; c < 5; ++c) bytes += static_cast<size_t>(sqlite3_column_bytes(st, c));
        ++n;
    }
    return bytes;
}

void first_page_with_count(benchmark::State &state) {
    auto &f = fixture();
    for (auto _ : state) {
        AdResultSetPtr rs = BuildResultSet(f.s, f.query(state.range(0) != 0));
        rs->EnableRecordCount();
        rs->Execute();
        benchmark::DoNotOptimize(rs->GetRecordCount());
        int rows = 0;
        for (int st = rs->MoveFirst(); st == AD_SUCCESS && rows < 100; st = rs->MoveNext(), ++rows)
            benchmark::DoNotOptimize(read_row(rs));
    }
}
BENCHMARK(first_page_with_count)->Arg(0)->Arg(1)->ArgNames({"sorted"})->Unit(benchmark::kMillisecond);

void first_page_with_count_sqlite(benchmark::State &state) {
    auto &f = fixture();
    for (auto _ : state) {
        sqlite3_stmt *count = nullptr;
        sqlite3_prepare_v2(f.db, "SELECT count(*) FROM records WHERE entity_def_dbid=?", -1, &count, nullptr);
        sqlite3_bind_int64(count, 1, f.type);
        sqlite3_step(count);
        benchmark::DoNotOptimize(sqlite3_column_int64(count, 0));
        sqlite3_finalize(count);
        sqlite3_stmt *st = f.direct(" LIMIT 100");
        benchmark::DoNotOptimize(read_direct(st, 100));
        sqlite3_finalize(st);
    }
}
BENCHMARK(first_page_with_count_sqlite)->Unit(benchmark::kMillisecond);

// A page of 100 from a random row of the open result set, as a returning call would after a jump.
void later_page(benchmark::State &state) {
    auto &f = fixture();
    AdResultSetPtr rs = BuildResultSet(f.s, f.query(state.range(0) != 0));
    rs->Execute();
    std::mt19937 rng(7);
    for (auto _ : state) {
        int64_t row = std::uniform_int_distribution<int64_t>(1, kRecords - 100)(rng);
        int rows = 0;
        for (int st = rs->MoveAbsolute(row); st == AD_SUCCESS && rows < 100; st = rs->MoveNext(), ++rows)
            benchmark::DoNotOptimize(read_row(rs));
    }
}
BENCHMARK(later_page)->Arg(0)->Arg(1)->ArgNames({"sorted"})->Unit(benchmark::kMillisecond);

void later_page_sqlite(benchmark::State &state) {
    auto &f = fixture();
    std::mt19937 rng(7);
    for (auto _ : state) {
        int64_t row = std::uniform_int_distribution<int64_t>(1, kRecords - 100)(rng);
        sqlite3_stmt *st = f.direct(" LIMIT 100 OFFSET " + std::to_string(row - 1));
        benchmark::DoNotOptimize(read_direct(st, 100));
        sqlite3_finalize(st);
    }
}
BENCHMARK(later_page_sqlite)->Unit(benchmark::kMillisecond);

// Every row, handed out 1,000 to a reply as the server pages them.
void walk(benchmark::State &state) {
    auto &f = fixture();
    int64_t rows = 0;
    for (auto _ : state) {
        AdResultSetPtr rs = BuildResultSet(f.s, f.query());
        rs->Execute();
        int in_page = 0;
        for (int st = rs->MoveFirst(); st == AD_SUCCESS; st = rs->MoveNext()) {
            benchmark::DoNotOptimize(read_row(rs));
            ++rows;
            if (++in_page == 1000) in_page = 0;
        }
    }
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}
BENCHMARK(walk)->Unit(benchmark::kMillisecond);

void walk_sqlite(benchmark::State &state) {
    auto &f = fixture();
    int64_t rows = 0;
    for (auto _ : state) {
        sqlite3_stmt *st = f.direct("");
        benchmark::DoNotOptimize(read_direct(st, 0));
        sqlite3_finalize(st);
        rows += kRecords;
    }
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}
BENCHMARK(walk_sqlite)->Unit(benchmark::kMillisecond);

// The number of rows of one execute_query reply and its continuation handle (empty: the last).
std::pair<int64_t, std::string> reply_rows(e2e::Reply r) {
    if (r.bytes.size() < 4 || r.u() != 0) return {-1, std::string()};
    if (r.u() != 0) r.i(); // count
    r.u(), r.i(), r.i(), r.u(), r.u();
    int n = r.i();
    for (int k = 0; k < n; ++k) r.u();
    r.i();
    for (int k = 0; k < n; ++k) r.s();
    r.u(); // rows follow
    int64_t rows = 0;
    while (r.u() == 1) {
        r.i();
        while (r.u() == 1) {
            unsigned kind = r.u();
            if (kind == 0)
                r.u(), r.s(), r.s();
            else if (kind != 2)
                r.u(), r.s();
        }
        if (r.u() == 1) {
            int form = r.i();
            if (form == 1)
                r.s(), r.s();
            else
                r.i(), r.i();
        }
        ++rows;
    }
    std::string h = r.handle();
    return {rows, h == std::string(4, '\0') ? std::string() : h};
}

// CPU seconds a process has used (user and system), from /proc.
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2)); // from the state, field 3
    std::string skip;
    for (int k = 3; k < 14; ++k) fields >> skip;
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The same walk through the real program over one libtirpc connection: execute_query of the
// same five columns, 1,000 rows to a reply, to the end. server_cpu_ms: the server's CPU time per
// walk, which the machine's load disturbs less than the elapsed time.
void walk_server(benchmark::State &state) {
    auto &f = fixture();
    e2e::ServerProcess server({"-worker_threads", "2"}, f.dir, {"KX_PRODUCT_DATA=" + f.dir + "/data"});
    if (!server.start()) return state.SkipWithError("the server did not start");
    int64_t rows = 0;
    {
        e2e::Client client(server.port(), false, 120);
        e2e::Body login;
        login.u(0).i(7).s("BENCH/DB").s("admin").s("admin").s("en_US").s("").i(0).s("");
        e2e::Reply r = e2e::call(client, 5, login);
        std::string handle = r.bytes.size() > 4 && r.u() == 0 ? r.handle() : std::string();
        if (handle.size() != 16) {
            state.SkipWithError("no login");
        } else {
            auto field = [](const char *name) {
                return std::string("<CTG:column><CTG:field-path><CTG:field><CTG:definition>kx.field:Defect/") + name +
                       "@BENCH/DB</CTG:definition></CTG:field></CTG:field-path></CTG:column>";
            };
            const std::string doc =
                "<CTG:execute-query xmlns:CTG=\"http://korvax.example/TEAM/CTG\" "
                "xmlns:TEAM=\"http://korvax.example/TEAM\">"
                "<CTG:definition><CTG:primary-record-type><TEAM:href>kx.record:Defect@BENCH/DB</TEAM:href>"
                "</CTG:primary-record-type><CTG:display-fields>" +
                field("dbid") + field("id") + field("State") + field("Headline") + field("Owner") +
                "</CTG:display-fields></CTG:definition></CTG:execute-query>";
            const double cpu_before = cpu_seconds(server.pid());
            for (auto _ : state) {
                e2e::Body first = e2e::session(handle);
                first.i(1000).u(0).u(0).s(doc);
                auto page = reply_rows(e2e::call(client, 7, first));
                int64_t walked = 0;
                while (page.first > 0) {
                    walked += page.first;
                    if (page.second.empty()) break;
                    e2e::Body more = e2e::session(handle);
                    more.i(1000).u(1).u(16).raw(page.second);
                    page = reply_rows(e2e::call(client, 7, more));
                }
                if (walked != kRecords) {
                    state.SkipWithError("the walk did not read every row");
                    break;
                }
                rows += walked;
            }
            if (state.iterations() > 0)
                state.counters["server_cpu_ms"] =
                    1000 * (cpu_seconds(server.pid()) - cpu_before) / static_cast<double>(state.iterations());
        }
    }
    server.signal(SIGTERM);
    server.wait();
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}
BENCHMARK(walk_server)->Unit(benchmark::kMillisecond)->UseRealTime();

long resident_kb() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// Memory of open paged queries, each executed and standing on its first page.
void open_query_memory(benchmark::State &state) {
    auto &f = fixture();
    constexpr int kOpen = 50;
    for (auto _ : state) {
        long before = resident_kb();
        std::vector<AdResultSetPtr> open;
        for (int i = 0; i < kOpen; ++i) {
            AdResultSetPtr rs = BuildResultSet(f.s, f.query(state.range(0) != 0));
            rs->Execute();
            rs->MoveFirst();
            open.push_back(rs);
        }
        state.counters["KB/query"] = static_cast<double>(resident_kb() - before) / kOpen;
    }
}
BENCHMARK(open_query_memory)->Arg(0)->Arg(1)->ArgNames({"sorted"})->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
