#include "checkpoint.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "budget.h"
#include "core.h"
#include "kxproduct/diag.h"

namespace kxp {

namespace {

constexpr long long kDefaultWalBytes = 256ll << 20;
constexpr long long kLeastWalBytes = 1ll << 20;
// SQLite's own step between checkpoints; a small bound takes a smaller one.
constexpr int kMostWakePages = 1000;
// A log that readers kept from being cut is tried again after this pause.
constexpr std::chrono::milliseconds kRetryPause{50};

// The checkpointer's busy handler. A truncating checkpoint holds the writer lock while it waits
// for readers: it gives up soon (writers wait behind it) and is tried again after a pause.
constexpr int kBusyTries = 100;
constexpr std::chrono::milliseconds kBusyPause{2};
int wait_briefly(void *, int tries) {
    if (tries >= kBusyTries) return 0;
    std::this_thread::sleep_for(kBusyPause);
    return 1;
}

long long file_size(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// One set's log, as its connections' commits report it. Never freed: connections point at it.
struct Log {
    std::string path;        // the set's file
    long long cut_bytes = 0; // past this the log is truncated, waiting out readers
    std::atomic<int> wake_pages{kMostWakePages};
    std::atomic<bool> due{false}; // queued for the checkpointer
    WriterGate gate;              // closed while the log is cut
};

class Checkpointer {
public:
    Log &log_of(const std::string &path) {
        std::lock_guard<std::mutex> lock(mu_);
        std::unique_ptr<Log> &log = logs_[path];
        if (!log) {
            log = std::make_unique<Log>();
            log->path = path;
            log->cut_bytes = wal_max_bytes() / 2;
        }
        return *log;
    }

    void wake(Log &log) {
        if (log.due.exchange(true)) return;
        std::lock_guard<std::mutex> lock(mu_);
        queue_.push_back(&log);
        if (!thread_.joinable()) thread_ = std::thread([this, mine = epoch_] { run(mine); });
        cv_.notify_one();
    }

    void stop() {
        std::thread ending;
        {
            std::lock_guard<std::mutex> lock(mu_);
            ++epoch_; // the running thread's last round; a commit from now on starts another
            ending = std::move(thread_);
            for (Log *log : queue_) log->due = false;
            queue_.clear();
        }
        cv_.notify_all();
        if (ending.joinable()) ending.join();
    }

    CheckpointCounts counts() const { return CheckpointCounts{runs_.load(), truncations_.load()}; }

private:
    struct Conn {
        std::unique_ptr<Db> db;
        dev_t dev = 0;
        ino_t ino = 0;
    };

    // Runs until stop() ends its epoch.
    void run(uint64_t mine) {
        std::map<Log *, Conn> conns; // this thread's own, closed when it ends
        std::unique_lock<std::mutex> lock(mu_);
        auto stopped = [&] { return epoch_ != mine; };
        while (!stopped()) {
            if (queue_.empty()) {
                cv_.wait(lock, [&] { return stopped() || !queue_.empty(); });
                continue;
            }
            Log *log = queue_.front();
            queue_.pop_front();
            log->due = false; // a commit from now on queues it again
            lock.unlock();
            bool again = checkpoint(*log, conns[log]);
            lock.lock();
            if (again && !stopped()) {
                cv_.wait_for(lock, kRetryPause, stopped);
                if (!stopped() && !log->due.exchange(true)) queue_.push_back(log);
            }
        }
        lock.unlock();
        conns.clear();
    }

    // A passive checkpoint, then, while the log is past its cut, a truncating one that waits (in
    // the busy handler, briefly) for the writer and for readers of older snapshots, with this
    // process's writers held at the gate: readers hold a snapshot for one call at most. Answers
    // whether the log is still past its cut.
    bool checkpoint(Log &log, Conn &conn) {
        const std::string wal = log.path + "-wal";
        try {
            struct stat st {};
            if (::stat(log.path.c_str(), &st) != 0) {
                conn.db.reset(); // the set is gone
                return false;
            }
            if (!conn.db || conn.dev != st.st_dev || conn.ino != st.st_ino) {
                conn.db.reset();
                conn.db = std::make_unique<Db>(log.path, false);
                conn.dev = st.st_dev;
                conn.ino = st.st_ino;
                conn.db->exec("PRAGMA journal_size_limit=" + std::to_string(log.cut_bytes));
                sqlite3_busy_handler(conn.db->raw(), wait_briefly, nullptr);
            }
        } catch (const StoreError &e) {
            AdDiagnostic::Report(L"Store", w("checkpoint " + log.path + ": " + e.text).GetString());
            conn.db.reset();
            return false;
        }
        sqlite3 *db = conn.db->raw();
        sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        ++runs_;
        if (file_size(wal) <= log.cut_bytes) return false;
        log.gate.close();
        const int rc = sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        log.gate.open();
        ++runs_;
        if (rc == SQLITE_OK) ++truncations_;
        return file_size(wal) > log.cut_bytes;
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::map<std::string, std::unique_ptr<Log>> logs_;
    std::deque<Log *> queue_;
    std::thread thread_;
    uint64_t epoch_ = 0;
    std::atomic<long long> runs_{0}, truncations_{0};
};

// Never destroyed: commits on any thread may reach it until the process ends.
Checkpointer &checkpointer() {
    static auto *c = new Checkpointer;
    return *c;
}

int on_commit(void *arg, sqlite3 *, const char *, int pages) {
    Log &log = *static_cast<Log *>(arg);
    if (pages >= log.wake_pages.load(std::memory_order_relaxed)) checkpointer().wake(log);
    return SQLITE_OK;
}

} // namespace

long long wal_max_bytes() {
    static const long long bytes =
        std::max(kLeastWalBytes, env_number("KX_WAL_MAX_BYTES", kDefaultWalBytes, 1ll << 50));
    return bytes;
}

void hand_checkpoints_off(Db &db) {
    Log &log = checkpointer().log_of(db.path());
    db.exec("PRAGMA journal_size_limit=" + std::to_string(log.cut_bytes));
    // Woken a few times before the log reaches its cut.
    const long long page = std::max<long long>(512, db.scalar_int("PRAGMA page_size").value_or(4096));
    log.wake_pages = static_cast<int>(std::clamp<long long>(log.cut_bytes / 4 / page, 1, kMostWakePages));
    // After sqlite3_wal_autocheckpoint, which installs a hook of its own.
    sqlite3_wal_autocheckpoint(db.raw(), 0);
    sqlite3_wal_hook(db.raw(), on_commit, &log);
    db.set_writer_gate(&log.gate);
}

void stop_checkpointer() { checkpointer().stop(); }

CheckpointCounts checkpoint_counts() { return checkpointer().counts(); }

} // namespace kxp
