// Reads the plan of every statement the product prepares, as it prepares it, on its own
// connection: a test program linked with this fails when one of them scans a table that grows
// with records, attachments, history or changes.
#pragma once
#include <sqlite3.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace plans {

// What is wrong with the plan of `sql` on `db`: one line per scan of a growing table (or of a
// table this list does not know yet), or why it could not be read. Empty when it is sound.
std::vector<std::string> faults(sqlite3 *db, std::string_view sql);

// Texts prepared since the program started, and the faults found in them.
std::set<std::string> seen();
std::vector<std::string> found();

} // namespace plans
