#include "attach_pending.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <string>
#include <utility>

#include "kxproduct/diag.h"
#include "kxproduct/faults.h"

namespace kxp {

// What an edit did to the record's attachments, written when the record commits.
struct PendingAttachments {
    struct Add {
        CString field, path, description;
    };
    // Field name and attachment dbid. The name is kept as std::wstring: a pair of CStrings would
    // compare by the pointers CString converts to.
    using Key = std::pair<std::wstring, int64_t>;
    std::vector<Add> adds;
    std::map<Key, CString> descriptions;
    std::set<Key> deletes;
    // The stored entries as the commit's transaction left them.
    AttachmentOps::Values entries;
    bool written = false;
};

} // namespace kxp

using namespace kxp;

namespace {

CString quoted(const CString &s) { return L"'" + s + L"'"; }

[[noreturn]] void cannot_write(const CString &text) { throw new PaMsgException(KX_MSG_COMMIT_FAILED, text); }

CString unreadable(const CString &path) {
    return L"The attachment's content file " + quoted(path) + L" cannot be read.";
}

int64_t content_limit(sqlite3 *h) { return sqlite3_limit(h, SQLITE_LIMIT_LENGTH, -1); }

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

struct Blob {
    sqlite3_blob *blob = nullptr;
    ~Blob() { sqlite3_blob_close(blob); }
};

[[noreturn]] void store_failed(sqlite3 *h) { throw StoreError{sqlite3_errcode(h), sqlite3_errmsg(h)}; }

// Inserts the attachment row and streams the file into its content in slices: the content is
// never held whole in memory.
void store_content(sqlite3 *h, Db &db, int64_t record, int64_t field, const PendingAttachments::Add &add) {
    // The path was checked when it was added: a link or a fifo put in its place since is not followed
    // or waited on, and fails the regular-file test.
    Fd in{::open(u8(add.path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)};
    struct stat st {};
    if (in.fd < 0 || ::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) cannot_write(unreadable(add.path));
    if (st.st_size > content_limit(h))
        cannot_write(L"The attachment " + quoted(add.path) + L" is larger than the store takes.");
    const int64_t size = st.st_size;
    const int64_t dbid = db.new_dbid();
    std::string path = u8(add.path);
    std::string name = path.substr(path.rfind('/') + 1);
    Stmt ins(h, "INSERT INTO attachments(dbid, record_dbid, field_dbid, file_name, description, size, content)"
                " VALUES(?,?,?,?,?,?,zeroblob(?))");
    ins.bind(1, dbid)
        .bind(2, record)
        .bind(3, field)
        .bind(4, name)
        .bind(5, u8(add.description))
        .bind(6, size)
        .bind(7, size);
    ins.step();
    if (size == 0) return;
    Blob blob;
    if (sqlite3_blob_open(h, "main", "attachments", "content", dbid, 1, &blob.blob) != SQLITE_OK) store_failed(h);
    char slice[64 * 1024];
    for (int64_t at = 0; at < size;) {
        ssize_t n = ::read(in.fd, slice, static_cast<size_t>(std::min<int64_t>(sizeof slice, size - at)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            cannot_write(L"The attachment's content file " + quoted(add.path) + L" changed while it was stored.");
        if (sqlite3_blob_write(blob.blob, slice, static_cast<int>(n), static_cast<int>(at)) != SQLITE_OK)
            store_failed(h);
        at += n;
    }
    // A file that grew meanwhile would lose its tail: refuse it rather than store part of it.
    char extra;
    ssize_t more;
    do more = ::read(in.fd, &extra, 1);
    while (more < 0 && errno == EINTR);
    if (more != 0)
        cannot_write(L"The attachment's content file " + quoted(add.path) + L" changed while it was stored.");
}

void require_changed_one(sqlite3 *h, const CString &field, int64_t dbid) {
    if (sqlite3_changes(h) != 1)
        throw new PaMsgException(KX_MSG_RECORD_CHANGED, L"Attachment " + CString(std::to_wstring(dbid).c_str()) +
                                                            L" of field " + quoted(field) +
                                                            L" was changed by another session.");
}

PendingAttachments &pending_of(std::shared_ptr<PendingAttachments> &p) {
    if (!p) p = std::make_shared<PendingAttachments>();
    return *p;
}

} // namespace

CString AttachmentOps::refusal(const AdEntity &e, const CString &field, bool editing) {
    if (editing && !e.action_) return L"Record " + quoted(e.display_name_) + L" is not being edited.";
    const AdFieldDef *f = e.def_->LookupFieldDef(field);
    if (!f) return L"Record type " + quoted(e.def_->GetName()) + L" has no field " + quoted(field) + L".";
    if (f->GetFieldType() != AD_ATTACHMENT_LIST) return L"Field " + quoted(field) + L" holds no attachments.";
    return CString();
}

size_t AttachmentOps::held_bytes(const AdEntity &e) {
    const PendingAttachments *p = e.pending_attachments_.get();
    if (p == nullptr) return 0;
    size_t n = heap_bytes(sizeof(*p)) + heap_bytes(p->adds.capacity() * sizeof(PendingAttachments::Add));
    for (const auto &add : p->adds)
        n += kxp::held_bytes(add.field) + kxp::held_bytes(add.path) + kxp::held_bytes(add.description);
    for (const auto &[key, description] : p->descriptions)
        n += heap_bytes(node_bytes<std::pair<const PendingAttachments::Key, CString>>()) +
             heap_bytes((key.first.capacity() + 1) * sizeof(wchar_t)) + kxp::held_bytes(description);
    for (const auto &key : p->deletes)
        n += heap_bytes(node_bytes<PendingAttachments::Key>()) +
             heap_bytes((key.first.capacity() + 1) * sizeof(wchar_t));
    return n + kxp::held_bytes(p->entries);
}

int64_t AttachmentOps::stored_dbid(const AdEntity &e, const CString &field, const CString &entry) {
    auto it = e.stored_.find(field);
    if (it == e.stored_.end() || !it->second.contains(entry)) return 0;
    std::string text = u8(entry);
    return std::stoll(text.substr(0, text.find('\n')));
}

CString AttachmentOps::no_entry(const CString &field, const CString &entry) {
    std::string text = u8(entry);
    return L"Field " + quoted(field) + L" has no attachment " + quoted(w(text.substr(0, text.find('\n')))) + L".";
}

CString AdEntity::AddAttachmentFieldValue(const CString &field, const CString &path, const CString &description) {
    if (auto f = KXFaultInjector::Enter("AdEntity::AddAttachmentFieldValue", KXFaultInjector::kText)) return f->text;
    SessionCore &c = live(session_, "AdEntity::AddAttachmentFieldValue");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    CString refused = AttachmentOps::refusal(*this, field, true);
    if (!refused.IsEmpty()) return refused;
    std::string file = u8(path);
    if (file.empty() || file.back() == '/') return unreadable(path);
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(file.c_str(), R_OK) != 0)
        return unreadable(path);
    if (st.st_size > content_limit(c.db->handle()))
        return L"The attachment " + quoted(path) + L" is larger than the store takes.";
    PendingAttachments &p = pending_of(pending_attachments_);
    // One file is added once: a repeated add of a pending file changes nothing.
    for (const auto &add : p.adds)
        if (add.path == path) return CString();
    p.adds.push_back({field, path, description});
    return CString();
}

CString AdEntity::SetAttachmentFieldDescription(const CString &field, const CString &entry,
                                                const CString &description) {
    if (auto f = KXFaultInjector::Enter("AdEntity::SetAttachmentFieldDescription", KXFaultInjector::kText))
        return f->text;
    SessionCore &c = live(session_, "AdEntity::SetAttachmentFieldDescription");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    CString refused = AttachmentOps::refusal(*this, field, true);
    if (!refused.IsEmpty()) return refused;
    int64_t dbid = AttachmentOps::stored_dbid(*this, field, entry);
    if (!dbid) return AttachmentOps::no_entry(field, entry);
    PendingAttachments &p = pending_of(pending_attachments_);
    if (p.deletes.count({field.str(), dbid})) return AttachmentOps::no_entry(field, entry);
    p.descriptions[{field.str(), dbid}] = description;
    return CString();
}

CString AdEntity::DeleteAttachmentFieldValue(const CString &field, const CString &entry) {
    if (auto f = KXFaultInjector::Enter("AdEntity::DeleteAttachmentFieldValue", KXFaultInjector::kText)) return f->text;
    SessionCore &c = live(session_, "AdEntity::DeleteAttachmentFieldValue");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    // A record that is not being edited loses the attachment at once, in a transaction of its own.
    CString refused = AttachmentOps::refusal(*this, field, action_ != nullptr);
    if (!refused.IsEmpty()) return refused;
    int64_t dbid = AttachmentOps::stored_dbid(*this, field, entry);
    if (!dbid) return AttachmentOps::no_entry(field, entry);
    if (!action_) return AttachmentOps::delete_now(*this, c, field, dbid);
    PendingAttachments &p = pending_of(pending_attachments_);
    p.descriptions.erase({field.str(), dbid});
    p.deletes.insert({field.str(), dbid});
    return CString();
}

CString AttachmentOps::delete_now(AdEntity &e, SessionCore &c, const CString &field, int64_t dbid) {
    sqlite3 *h = c.db->handle();
    try {
        Txn txn(*c.db);
        Stmt del(h, "DELETE FROM attachments WHERE dbid=? AND record_dbid=? AND field_dbid=?");
        del.bind(1, dbid).bind(2, e.GetDbId()).bind(3, e.def_->LookupFieldDef(field)->GetDbId()).step();
        if (sqlite3_changes(h) != 1)
            return L"Attachment " + CString(std::to_wstring(dbid).c_str()) + L" of field " + quoted(field) +
                   L" was changed by another session.";
        txn.commit();
    } catch (const StoreError &err) {
        AdDiagnostic::Report(L"Store", w("delete attachment: " + err.text).GetString());
        return L"The attachment could not be deleted.";
    }
    Values stored;
    read_entries(e, c, stored);
    auto it = stored.find(field);
    if (it == stored.end()) {
        e.stored_.erase(field);
        e.values_.erase(field);
    } else {
        e.stored_[field] = e.values_[field] = it->second;
    }
    return CString();
}

void AttachmentOps::read_entries(const AdEntity &e, SessionCore &c, Values &into) {
    std::map<int64_t, CString> fields;
    auto defs = e.def_->GetFieldDefs();
    for (int i = 0; i < defs.GetLength(); ++i) {
        const AdFieldDef *f = defs.GetItem(i);
        if (f->GetFieldType() != AD_ATTACHMENT_LIST) continue;
        fields[f->GetDbId()] = f->GetName();
        into.erase(f->GetName());
    }
    if (fields.empty()) return;
    Stmt a(c.db->handle(),
           "SELECT field_dbid, dbid, file_name, size, description FROM attachments WHERE record_dbid=? ORDER BY dbid");
    a.bind(1, e.GetDbId());
    while (a.step()) {
        auto it = fields.find(a.int64(0));
        if (it == fields.end()) continue;
        CString entry(std::to_wstring(a.int64(1)).c_str());
        entry += L'\n';
        entry += w(a.text(2));
        entry += L'\n';
        entry += CString(std::to_wstring(a.int64(3)).c_str());
        entry += L'\n';
        entry += w(a.text(4));
        into[it->second].push_back(entry);
    }
}

void AttachmentOps::write(AdEntity &e, SessionCore &c) {
    PendingAttachments *p = e.pending_attachments_.get();
    if (!p || e.action_->GetActionType() == AD_ACTION_DELETE) return;
    sqlite3 *h = c.db->handle();
    auto field_dbid = [&](const CString &name) { return e.def_->LookupFieldDef(name)->GetDbId(); };
    for (const auto &[key, text] : p->descriptions) {
        Stmt up(h, "UPDATE attachments SET description=? WHERE dbid=? AND record_dbid=? AND field_dbid=?");
        up.bind(1, u8(text)).bind(2, key.second).bind(3, e.GetDbId()).bind(4, field_dbid(key.first.c_str())).step();
        require_changed_one(h, key.first.c_str(), key.second);
    }
    for (const auto &key : p->deletes) {
        Stmt del(h, "DELETE FROM attachments WHERE dbid=? AND record_dbid=? AND field_dbid=?");
        del.bind(1, key.second).bind(2, e.GetDbId()).bind(3, field_dbid(key.first.c_str())).step();
        require_changed_one(h, key.first.c_str(), key.second);
    }
    for (const auto &add : p->adds) store_content(h, *c.db, e.GetDbId(), field_dbid(add.field), add);
    // A test can make the store fail here, with the attachments written but not committed.
    KXFaultInjector::Enter("AdEntity::Commit:attachments");
    read_entries(e, c, p->entries);
    p->written = true;
}

void AttachmentOps::committed(AdEntity &e) {
    std::shared_ptr<PendingAttachments> p = std::move(e.pending_attachments_);
    if (!p || !p->written) return;
    auto defs = e.def_->GetFieldDefs();
    for (int i = 0; i < defs.GetLength(); ++i) {
        const AdFieldDef *f = defs.GetItem(i);
        if (f->GetFieldType() != AD_ATTACHMENT_LIST) continue;
        auto it = p->entries.find(f->GetName());
        if (it == p->entries.end()) {
            e.values_.erase(f->GetName());
            e.stored_.erase(f->GetName());
        } else {
            e.values_[f->GetName()] = e.stored_[f->GetName()] = it->second;
        }
    }
}

void AttachmentOps::drop(AdEntity &e) { e.pending_attachments_.reset(); }
