// One commit's latency with readers always present: through the product store, whose commits run
// no checkpoint, and on a plain SQLite connection that runs its own auto-checkpoint (1000 pages)
// in the committing call, as the store did before. Each case commits one 4 KiB row per iteration
// and reports "p50_ms" and "p99_ms"; the reference is measured in the same run.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core.h"
#include "kxproduct/store.h"
#include "sqlite_db.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kReaders = 4;
constexpr int kRowBytes = 4096;
constexpr const char *kWrite = "INSERT OR REPLACE INTO meta(key, value) VALUES(?, printf('%.*c', ?, 'x'))";
constexpr const char *kRead = "SELECT count(*), total(length(value)) FROM meta";

std::string make_dir() {
    char tmpl[] = "/tmp/kxbench-commit-XXXXXX";
    return ::mkdtemp(tmpl);
}

// Readers that each run short read transactions until stopped.
class Readers {
public:
    explicit Readers(std::function<void()> read) {
        for (int i = 0; i < kReaders; ++i)
            threads_.emplace_back([this, read] {
                while (!stop_) read();
            });
    }
    ~Readers() {
        stop_ = true;
        for (auto &t : threads_) t.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

void report(benchmark::State &state, std::vector<double> &ms) {
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
}

void BM_CommitProductStore(benchmark::State &state) {
    std::string const dir = make_dir();
    ::setenv("KX_PRODUCT_DATA", (dir + "/data").c_str(), 1);
    kxp::SetStore store = kxp::open_set(L"KXDEMO");
    std::vector<double> ms;
    {
        Readers readers([&] {
            kxp::Db &db = store.conn();
            db.exec("BEGIN");
            db.scalar_int(kRead);
            db.exec("COMMIT");
        });
        int i = 0;
        for (auto _ : state) {
            kxp::Db &db = store.conn();
            auto t0 = Clock::now();
            kxp::Txn txn(db);
            kxp::Stmt(db.handle(), kWrite).bind(1, "bench-" + std::to_string(i++ % 64)).bind(2, kRowBytes).step();
            txn.commit();
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
    }
    report(state, ms);
    KXProductStore::CloseConnections();
    std::filesystem::remove_all(dir);
}

sqlite3 *open_plain(std::string const &path) {
    sqlite3 *db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_busy_timeout(db, 10000);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    return db;
}

void BM_CommitAutoCheckpoint(benchmark::State &state) {
    std::string const dir = make_dir();
    std::string const path = dir + "/plain.db";
    sqlite3 *writer = open_plain(path);
    sqlite3_exec(writer, "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL)", nullptr, nullptr, nullptr);
    std::vector<double> ms;
    {
        Readers readers([&] {
            // One connection per reader thread, closed when the thread ends.
            struct Own {
                sqlite3 *db;
                ~Own() { sqlite3_close(db); }
            };
            thread_local Own own{open_plain(path)};
            sqlite3 *db = own.db;
            sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
            sqlite3_exec(db, kRead, nullptr, nullptr, nullptr);
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        });
        sqlite3_stmt *write = nullptr;
        sqlite3_prepare_v2(writer, kWrite, -1, &write, nullptr);
        int i = 0;
        for (auto _ : state) {
            std::string const key = "bench-" + std::to_string(i++ % 64);
            auto t0 = Clock::now();
            sqlite3_exec(writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
            sqlite3_bind_text(write, 1, key.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(write, 2, kRowBytes);
            sqlite3_step(write);
            sqlite3_reset(write);
            sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr);
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
        sqlite3_finalize(write);
    }
    report(state, ms);
    sqlite3_close(writer);
    std::filesystem::remove_all(dir);
}

} // namespace

BENCHMARK(BM_CommitAutoCheckpoint)->Iterations(20000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CommitProductStore)->Iterations(20000)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    ::setenv("KX_PASSWORD_HASH_COST", "min", 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
