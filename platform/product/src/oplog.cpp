// The oplog of a user database and the database sets of the data directory, as a user session reads them.
#include "core.h"
#include "kxproduct/faults.h"
#include "kxproduct/session.h"
#include "kxproduct/store.h"
#include "markup.h"

using namespace kxp;

std::vector<CString> KXSession::GetInstalledDbSets() const {
  KXFaultInjector::Enter("KXSession::GetInstalledDbSets");
  return KXProductStore::InstalledDbSets();
}

void KXSession::GetOplogSerialNumberRange(CString& first, CString& last) const {
  const char* op = "KXSession::GetOplogSerialNumberRange";
  KXFaultInjector::Enter(op);
  if (!real_) throw_kx(KX_MSG_SESSION_ENDED, L"The session is not logged on.", op);
  SessionCore& c = live(real_, op);
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
  const char* op = "KXSession::GetOplogs";
  KXFaultInjector::Enter(op);
  if (!real_) throw_kx(KX_MSG_SESSION_ENDED, L"The session is not logged on.", op);
  if (format != 1 && format != 2) throw_kx(KX_MSG_BAD_VALUE, L"Unknown oplog format.", op);
  SessionCore& c = live(real_, op);
  std::lock_guard<std::recursive_mutex> lock(c.mu);
  return guarded(op, [&] {
    std::vector<CString> out;
    Stmt s(c.db->handle(),
           "SELECT o.seq, o.at, coalesce(u.login_name, ''), coalesce(e.name, ''), o.record_dbid, o.detail, o.operation"
           " FROM oplog o LEFT JOIN users u ON u.dbid=o.user_dbid LEFT JOIN entity_defs e ON e.dbid=o.entity_def_dbid"
           " WHERE o.database_dbid=? AND o.seq>=? ORDER BY o.seq LIMIT ?");
    // The list grows by the rows that exist, never by the caller's count.
    s.bind(1, c.database_dbid).bind(2, static_cast<int64_t>(start)).bind(3, static_cast<int64_t>(std::min(count, kMaxOplogEntries)));
    out.reserve(std::min(count, kMaxOplogEntries));
    std::string line;  // one buffer for every entry
    while (s.step()) {
      const std::string seq = std::to_string(s.int64(0));
      const std::string record = s.is_null(4) ? std::string() : std::to_string(s.int64(4));
      line.clear();
      if (format == 1) {
        for (std::string_view part : {std::string_view(seq), s.view(1), s.view(2), s.view(6), s.view(3), std::string_view(record)})
          line.append(part).push_back('\t');
        line.append(s.view(5));
      } else {
        line.append("<oplog-entry serial=\"").append(seq).append("\" at=\"");
        append_xml_attr(line, s.view(1));
        line.append("\" user=\"");
        append_xml_attr(line, s.view(2));
        line.append("\" action=\"");
        append_xml_attr(line, s.view(6));
        line.append("\" record-type=\"");
        append_xml_attr(line, s.view(3));
        line.append("\" record-dbid=\"").append(record).append("\" record=\"");
        append_xml_attr(line, s.view(5));
        line.append("\"/>");
      }
      out.push_back(CString::FromUtf8(line));
    }
    return out;
  });
}
