// The write-ahead log of each set, checkpointed by one thread of the product's own instead of by
// the commits of callers, and cut back to its bound.
#pragma once
#include <string>

#include "sqlite_db.h"

namespace kxp {

// The bound on a set's log in bytes ($KX_WAL_MAX_BYTES, default 256 MiB, at least 1 MiB).
long long wal_max_bytes();

// Sets up a connection lent to callers: its commits run no checkpoint, they wake the checkpointer
// once the log has grown by a step; a log that restarts is cut back to half the bound.
void hand_checkpoints_off(Db &db);

// Ends the checkpointer (after the checkpoint it is running) and closes its connections. A later
// commit starts it again.
void stop_checkpointer();

// Checkpoints the checkpointer has run since the process started: all of them, and those that
// waited for readers and truncated the log. For tests.
struct CheckpointCounts {
    long long runs = 0;
    long long truncations = 0;
};
CheckpointCounts checkpoint_counts();

} // namespace kxp
