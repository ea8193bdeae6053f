#include "plan_watch.h"

#include <gtest/gtest.h>

#include <cctype>
#include <mutex>
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

bool word_char(char ch) { return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '.'; }

std::string upper(std::string text) {
    for (char &ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return text;
}

// The tables the statement names, by the names it reads them under: the word after FROM, JOIN,
// UPDATE or INTO, and the word after that (past AS) when only spaces come between.
std::unordered_map<std::string, std::string> aliases(std::string_view sql) {
    static const std::set<std::string, std::less<>> openers = {"FROM", "JOIN", "UPDATE", "INTO"};
    static const std::set<std::string, std::less<>> keywords = {
        "WHERE",  "JOIN",  "LEFT",  "INNER",   "CROSS",  "ON",     "ORDER", "GROUP", "LIMIT", "SET",
        "VALUES", "USING", "UNION", "DEFAULT", "SELECT", "HAVING", "AND",   "OR",    "WHEN",  "NATURAL"};
    size_t at = 0;
    auto word = [&] {
        const size_t from = at;
        while (at < sql.size() && word_char(sql[at])) ++at;
        return std::string(sql.substr(from, at - from));
    };
    auto spaces = [&] {
        const size_t from = at;
        while (at < sql.size() && std::isspace(static_cast<unsigned char>(sql[at]))) ++at;
        return at > from;
    };
    std::unordered_map<std::string, std::string> out;
    while (at < sql.size()) {
        if (!word_char(sql[at])) {
            ++at;
            continue;
        }
        if (!openers.count(upper(word())) || !spaces()) continue;
        std::string table = word();
        if (table.rfind("main.", 0) == 0) table.erase(0, 5);
        if (table.empty()) continue;
        out.emplace(table, table);
        const size_t back = at;
        if (!spaces()) continue;
        std::string alias = word();
        if (upper(alias) == "AS" && spaces()) alias = word();
        if (!alias.empty() && !keywords.count(upper(alias)))
            out[alias] = table;
        else
            at = back; // the next word may open another table
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
    while (plan && sqlite3_step(plan) == SQLITE_ROW) {
        const char *text = reinterpret_cast<const char *>(sqlite3_column_text(plan, 3));
        const std::string_view detail = text ? text : "";
        std::string_view how;
        for (std::string_view kind : {"SCAN ", "SEARCH "})
            if (detail.substr(0, kind.size()) == kind) how = kind.substr(0, kind.size() - 1);
        if (how.empty()) continue;
        const std::string_view after = detail.substr(how.size() + 1);
        const std::string name(after.substr(0, after.find(' ')));
        const std::string_view rest = name.size() < after.size() ? after.substr(name.size() + 1) : std::string_view();
        auto table = names.find(name);
        // Not a table the statement names: a constant row, a subquery or a common table expression.
        if (table == names.end() || !tables.count(table->second)) continue;
        const bool listed_small = kSmall.count(table->second) != 0;
        if (!listed_small && !kGrowing.count(table->second)) {
            out.push_back(std::string(sql) + ": " + std::string(detail) +
                          " (a table neither growing nor small: list it)");
            continue;
        }
        if (listed_small) continue;
        // A seek, or a full-text match; a scan of the whole table or index, or an index the
        // statement builds for itself, reads every row.
        const bool whole = how == "SCAN" && (rest.empty() || rest.substr(0, 5) == "USING" ||
                                             (rest.substr(0, 20) == "VIRTUAL TABLE INDEX " && rest.back() == ':'));
        const bool automatic = rest.find("AUTOMATIC") != std::string_view::npos;
        if (whole || automatic) out.push_back(std::string(sql) + ": " + std::string(detail));
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
