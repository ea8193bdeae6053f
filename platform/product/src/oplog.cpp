// The oplog of a user database and the database sets of the data directory, as a user session reads them.
#include <string_view>
#include <unordered_map>

#include "core.h"
#include "kxproduct/faults.h"
#include "kxproduct/session.h"
#include "kxproduct/store.h"
#include "kxwin/utf.h"
#include "markup.h"

using namespace kxp;

std::vector<CString> KXSession::GetInstalledDbSets() const {
    KXFaultInjector::Enter("KXSession::GetInstalledDbSets");
    return KXProductStore::InstalledDbSets();
}

void KXSession::GetOplogSerialNumberRange(CString &first, CString &last) const {
    const char *op = "KXSession::GetOplogSerialNumberRange";
    KXFaultInjector::Enter(op);
    if (!real_) throw_kx(KX_MSG_SESSION_ENDED, L"The session is not logged on.", op);
    SessionCore &c = live(real_, op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    guarded(op, [&] {
        Stmt s(c.db->handle(), "SELECT min(seq), max(seq) FROM oplog WHERE database_dbid=?");
        s.bind(1, c.database_dbid);
        bool any = s.step() && !s.is_null(0);
        first = w(any ? std::to_string(s.int64(0)) : "1");
        last = w(any ? std::to_string(s.int64(1)) : "0");
    });
}

std::vector<CString> KXSession::GetOplogs(unsigned start, unsigned count, int format) const {
    std::vector<CString> out;
    std::vector<std::string> lines = GetOplogsUtf8(start, count, format);
    out.reserve(lines.size());
    for (const std::string &line : lines) out.push_back(CString::FromUtf8(line));
    return out;
}

std::vector<std::string> KXSession::GetOplogsUtf8(unsigned start, unsigned count, int format) const {
    const char *op = "KXSession::GetOplogs";
    KXFaultInjector::Enter(op);
    if (!real_) throw_kx(KX_MSG_SESSION_ENDED, L"The session is not logged on.", op);
    if (format != 1 && format != 2) throw_kx(KX_MSG_BAD_VALUE, L"Unknown oplog format.", op);
    SessionCore &c = live(real_, op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded(op, [&] {
        std::vector<std::string> out;
        // Users and record types are few: each name is read once, not joined into every entry.
        std::unordered_map<int64_t, std::string> users, types;
        auto name_of = [&](std::unordered_map<int64_t, std::string> &names, const char *sql, const Stmt &row, int col) {
            if (row.is_null(col)) return std::string_view();
            int64_t dbid = row.int64(col);
            auto it = names.find(dbid);
            if (it == names.end()) {
                Stmt n(c.db->handle(), sql);
                n.bind(1, dbid);
                it = names.emplace(dbid, n.step() ? n.text(0) : std::string()).first;
            }
            return std::string_view(it->second);
        };
        Stmt s(c.db->handle(),
               "SELECT o.seq, o.at, o.user_dbid, o.entity_def_dbid, o.record_dbid, o.detail, o.operation FROM oplog o"
               " WHERE o.database_dbid=? AND o.seq>=? ORDER BY o.seq LIMIT ?");
        // The list grows by the rows that exist, never by the caller's count.
        s.bind(1, c.database_dbid)
            .bind(2, static_cast<int64_t>(start))
            .bind(3, static_cast<int64_t>(std::min(count, kMaxOplogEntries)));
        out.reserve(std::min(count, kMaxOplogEntries));
        std::string line; // one buffer for every entry
        while (s.step()) {
            const std::string seq = std::to_string(s.int64(0));
            const std::string record = s.is_null(4) ? std::string() : std::to_string(s.int64(4));
            const std::string_view user = name_of(users, "SELECT login_name FROM users WHERE dbid=?", s, 2);
            const std::string_view type = name_of(types, "SELECT name FROM entity_defs WHERE dbid=?", s, 3);
            line.clear();
            if (format == 1) {
                for (std::string_view part :
                     {std::string_view(seq), s.view(1), user, s.view(6), type, std::string_view(record)})
                    line.append(part).push_back('\t');
                line.append(s.view(5));
            } else {
                line.append("<oplog-entry serial=\"").append(seq).append("\" at=\"");
                append_xml_attr(line, s.view(1));
                line.append("\" user=\"");
                append_xml_attr(line, user);
                line.append("\" action=\"");
                append_xml_attr(line, s.view(6));
                line.append("\" record-type=\"");
                append_xml_attr(line, type);
                line.append("\" record-dbid=\"").append(record).append("\" record=\"");
                append_xml_attr(line, s.view(5));
                line.append("\"/>");
            }
            out.push_back(kxwin::well_formed_utf8(line));
        }
        return out;
    });
}
