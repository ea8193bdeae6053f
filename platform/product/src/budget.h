// Statement budgets applied where connections open and statements run.
#pragma once
#include <sqlite3.h>

#include <string>

namespace kxp {

// A positive decimal number from the environment, at most `most`; anything else: the fallback.
long long env_number(const char *name, long long fallback, long long most);

// Installs the progress handler (deadline, orderly stop) on a fresh connection and, once per
// process, SQLite's heap limit.
void budget_connection(sqlite3 *db);
// Tighter lengths for a connection that runs a client's own SQL.
void budget_client_connection(sqlite3 *db);

// Starts this thread's statement clock for its lifetime, unless an outer one runs: a statement that
// runs past the time limit, or was running when the orderly stop came, is interrupted.
class StatementClock {
public:
    StatementClock();
    ~StatementClock();
    StatementClock(const StatementClock &) = delete;
    StatementClock &operator=(const StatementClock &) = delete;

private:
    bool armed_;
};

// The text of a failed call on db: what was spent for a budget's failures, else SQLite's own.
std::string failure_text(sqlite3 *db, int rc);

} // namespace kxp
