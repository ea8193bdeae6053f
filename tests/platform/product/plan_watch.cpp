#include "plan_watch.h"

#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <unordered_map>

#include "sqlite_db.h"

namespace plans {

namespace {

// Tables whose rows grow with the data: every lookup in them must be a seek.
const std::set<std::string, std::less<>> kGrowing = {"records",     "field_values", "history", "attachments",
                                                     "record_text", "oplog",        "dbid_seq"};

// Tables that may be read whole, and why.
const std::set<std::string, std::less<>> kSmall = {
    // The definition of the set: fixed when it is made, read whole into the metadata cache.
    "entity_defs", "family_members", "field_defs", "states", "action_defs", "action_sources", "field_behaviors",
    "hook_defs", "form_defs", "list_defs", "list_values", "package_revs",
    // A few rows of settings, and the user databases and replicas: they grow with the
    // administration of the set, never with its records.
    "meta", "databases", "replicas", "master_properties",
    // People, their groups and subscriptions, their preferences and saved queries: they grow with
    // the users of a tracker, not with what those users record.
    "users", "groups", "group_members", "subscriptions", "session_prefs", "buckets", "bucket_permissions",
    // SQLite's own.
    "sqlite_master", "sqlite_schema", "sqlite_sequence", "sqlite_temp_master"};

std::mutex g_mu;
std::set<std::string> g_seen;
std::vector<std::string> g_found;

// The tables the statement names, by the names it reads them under.
std::unordered_map<std::string, std::string> aliases(std::string_view sql) {
    static const std::regex named(R"((?:FROM|JOIN|UPDATE|INTO)\s+(?:main\.)?(\w+)(?:\s+(?:AS\s+)?(\w+))?)",
                                  std::regex::icase);
    static const std::set<std::string> keywords = {"WHERE", "JOIN",  "LEFT", "INNER",   "CROSS",  "ON",    "ORDER",
                                                   "GROUP", "LIMIT", "SET",  "VALUES",  "USING",  "UNION", "WHEN",
                                                   "AND",   "OR",    "AS",   "DEFAULT", "SELECT", "HAVING"};
    std::unordered_map<std::string, std::string> out;
    const std::string text(sql);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), named); it != std::sregex_iterator(); ++it) {
        const std::string table = (*it)[1], alias = (*it)[2];
        out.emplace(table, table);
        std::string upper = alias;
        for (char &ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        if (!alias.empty() && !keywords.count(upper)) out[alias] = table;
    }
    return out;
}

void observe(sqlite3 *db, std::string_view sql) {
    std::vector<std::string> bad = faults(db, sql);
    std::lock_guard<std::mutex> lock(g_mu);
    g_seen.emplace(sql);
    for (std::string &line : bad) g_found.push_back(std::move(line));
}

class Watch : public ::testing::Environment {
public:
    void SetUp() override { kxp::observe_prepares(observe); }
    void TearDown() override {
        kxp::observe_prepares(nullptr);
        for (const std::string &line : found()) ADD_FAILURE() << line;
    }
};

[[maybe_unused]] ::testing::Environment *const g_watch = ::testing::AddGlobalTestEnvironment(new Watch);

} // namespace

std::vector<std::string> faults(sqlite3 *db, std::string_view sql) {
    std::vector<std::string> out;
    const std::string explain = "EXPLAIN QUERY PLAN " + std::string(sql);
    sqlite3_stmt *plan = nullptr;
    if (sqlite3_prepare_v2(db, explain.c_str(), -1, &plan, nullptr) != SQLITE_OK) {
        out.push_back(std::string(sql) + ": no plan: " + sqlite3_errmsg(db));
        sqlite3_finalize(plan);
        return out;
    }
    const auto names = aliases(sql);
    std::set<std::string> tables;
    sqlite3_stmt *list = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT name FROM sqlite_master WHERE type='table' UNION SELECT name FROM sqlite_temp_master"
                       " WHERE type='table' UNION VALUES('sqlite_master'), ('sqlite_sequence')",
                       -1, &list, nullptr);
    while (list && sqlite3_step(list) == SQLITE_ROW)
        tables.emplace(reinterpret_cast<const char *>(sqlite3_column_text(list, 0)));
    sqlite3_finalize(list);
    static const std::regex step(R"(^(SCAN|SEARCH) (\S+)(?: (.*))?$)");
    while (plan && sqlite3_step(plan) == SQLITE_ROW) {
        const char *detail = reinterpret_cast<const char *>(sqlite3_column_text(plan, 3));
        std::cmatch m;
        if (!detail || !std::regex_match(detail, m, step)) continue;
        const std::string how = m[1], name = m[2], rest = m[3];
        auto table = names.find(name);
        // Not a table the statement names: a constant row, a subquery or a common table expression.
        if (table == names.end() || !tables.count(table->second)) continue;
        const bool listed_small = kSmall.count(table->second) != 0;
        if (!listed_small && !kGrowing.count(table->second)) {
            out.push_back(std::string(sql) + ": " + detail + " (a table neither growing nor small: list it)");
            continue;
        }
        if (listed_small) continue;
        // A seek, or a full-text match; a scan of the whole table or index, or an index the
        // statement builds for itself, reads every row.
        const bool whole = how == "SCAN" && (rest.empty() || rest.rfind("USING", 0) == 0 ||
                                             std::regex_search(rest, std::regex(R"(VIRTUAL TABLE INDEX \d+:$)")));
        const bool automatic = rest.find("AUTOMATIC") != std::string::npos;
        if (whole || automatic) out.push_back(std::string(sql) + ": " + detail);
    }
    sqlite3_finalize(plan);
    return out;
}

std::set<std::string> seen() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_seen;
}

std::vector<std::string> found() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_found;
}

} // namespace plans
