// The attachment field of a record, one attachment of it, and the session user as a target
// resolves them. Adding, changing, deleting and transferring content belong to the change batch
// and content transfer code.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "files/file_marshaller.h"
#include "kxproduct/entity.h"
#include "tesutil/ustring.h"
#include "wire/handles.h"
#include "wire/ledger.h"

namespace KxRpc {

class Attachment;

class AttachmentFolder {
public:
    AttachmentFolder(AdEntityPtr const &record, Nul::UString const &field_name, std::int64_t field_dbid);
    AttachmentFolder(AttachmentFolder const &other);
    AttachmentFolder &operator=(AttachmentFolder const &other);
    ~AttachmentFolder();

    AdEntityPtr const &entity() const { return entity_; }
    Nul::UString const &field_name() const { return field_name_; }
    std::int64_t field_dbid() const { return field_dbid_; }
    // "AttachmentFolder: (rec:%s :: name:%s :: dbid:%d)".
    Nul::UString to_string() const;

    // The field's value: one entry text per attachment, in the field's order.
    std::vector<Nul::UString> field_text() const;
    // Every entry parsed; a dbid or size that is not a number raises an internal error.
    std::vector<Attachment> attachments() const;
    std::vector<std::int64_t> attachment_dbids() const;
    // The entry whose first line is `dbid`; empty when there is none.
    Nul::UString attachment_text(std::int64_t dbid) const;
    // A new attachment, or null when the field holds none with that dbid or file name.
    std::unique_ptr<Attachment> find_by_dbid(std::int64_t dbid) const;
    std::unique_ptr<Attachment> find(Nul::UString const &file_name) const;

private:
    AdEntityPtr entity_;
    Nul::UString field_name_;
    std::int64_t field_dbid_;
};

class Attachment {
public:
    Attachment(AttachmentFolder const &folder, Nul::UString const &file_name, std::int64_t dbid);
    Attachment(Attachment const &other);
    Attachment &operator=(Attachment const &other);
    ~Attachment();

    AttachmentFolder const &folder() const { return folder_; }
    Nul::UString const &file_name() const { return file_name_; }
    std::int64_t dbid() const { return dbid_; } // 0 while not yet stored
    int size() const { return size_; }
    Nul::UString const &description() const { return description_; }
    Nul::UString const &kx_name_id() const { return kx_name_id_; }
    // The content file; a new empty temporary file when none is set yet.
    Nul::UString file_path() { return content_.file_path(); }
    // The content file as set, without making one.
    Nul::UString const &content_path() const { return content_.path(); }
    // A stored attachment's content into its content file, once until `remove_file`; a new
    // attachment's content is its uploaded file already. Failures raise message 66.
    void load();
    // The record's pending add of the content file (its name is the file's last component) with
    // the description; a pending description change of the entry `kx_name_id` names; a pending
    // delete of that entry. All three take effect when the record commits; a refusal raises
    // reason 40 (message 68 for add and delete, 138 for the description).
    void add_attachment();
    void modify_description();
    void do_delete();
    // Streams the content file (see FileMarshaller).
    bool_t marshall(XDR *xdrs, int chunk_size) { return content_.marshall(xdrs, chunk_size); }
    // A stored attachment's content file is deleted, so that the next `load` reads it afresh
    // (answers false); an uploaded file is left alone (answers true).
    bool remove_file();

    void set_size(int size) { size_ = size; }
    void set_description(Nul::UString const &text) { description_ = text; }
    void set_file_path(Nul::UString const &path) { content_.set_path(path); }
    void set_kx_name_id(Nul::UString const &text) { kx_name_id_ = text; }
    // "Attachment: (name:%s :: dbid:%d :: size:%d :: description:%s :: kx_name_id:%s)".
    Nul::UString to_string() const;

private:
    AttachmentFolder folder_;
    Nul::UString file_name_;
    std::int64_t dbid_;
    int size_ = 0;
    Nul::UString description_;
    FileMarshaller content_;
    bool loaded_ = false;
    Nul::UString kx_name_id_; // the field's entry text; empty for a new attachment
};

// One entry of an attachment field: its dbid, file name (the last component of the stored path),
// size (an empty line is 0) and description lines; the entry text itself becomes `kx_name_id`.
// A dbid or size that is not a number raises the internal error "Error converting string to ulong".
std::unique_ptr<Attachment> attachment_from_entry(AttachmentFolder const &folder, Nul::UString const &entry);

// Deletes an upload file the server made and its private directory; failures are ignored.
void remove_upload_file(Nul::UString const &path) noexcept;

// A content file of the server's own, deleted (with the private directory the server made for
// it, and no other) when the last item that reads it goes: an upload's item and the record item
// whose pending add reads it at commit may share it.
class ContentFile {
public:
    explicit ContentFile(Nul::UString const &path, Charge charge = Charge())
        : path_(path), charge_(std::move(charge)) {}
    ~ContentFile();
    ContentFile(ContentFile const &) = delete;
    ContentFile &operator=(ContentFile const &) = delete;
    Nul::UString const &path() const { return path_; }

private:
    Nul::UString path_;
    // Its bytes charged to the session; given back after the destructor has deleted the file.
    Charge charge_;
};
using ContentFilePtr = std::shared_ptr<ContentFile>;

// The session user: login name and dbid.
class CurrentUserInfo {
public:
    CurrentUserInfo(Nul::UString const &name, std::int64_t user_dbid) : login_name(name), dbid(user_dbid) {}
    Nul::UString login_name;
    std::int64_t dbid;
};

// An attachment being created or read between calls, with the path of its content file. The
// server's own upload file stays readable through the item until the item goes (delete_state, its
// session's end) or a change batch's make_attachment hands it to the record item.
class AttachmentStateItem : public StateItem {
public:
    // `server_file`: the content file is the server's own upload file, deleted once neither this
    // item nor a record item that shares it needs it; a client's file (or a stored attachment's)
    // is never deleted here. `charge`: the upload's bytes charged to the session, given back when
    // the file goes.
    explicit AttachmentStateItem(std::unique_ptr<Attachment> attachment, bool server_file = false,
                                 Charge charge = Charge());
    ~AttachmentStateItem() override;
    Attachment *attachment() const { return attachment_.get(); }
    Nul::UString const &file_path() const { return file_path_; }
    // The content file is the server's own upload file (never a client's file).
    bool server_file() const { return server_file_; }
    // The server's upload file, shared; null for a client's file or once handed over.
    ContentFilePtr const &upload() const { return upload_; }
    // Hands the server's upload file over and leaves the item without it; a client's file stays.
    ContentFilePtr take_upload();
    // The edited record that the attachment was added to, or null while it was added to none.
    AdEntityPtr const &added_to() const { return added_to_; }
    void set_added_to(AdEntityPtr const &record) { added_to_ = record; }

private:
    std::unique_ptr<Attachment> attachment_;
    AdEntityPtr added_to_;
    Nul::UString file_path_;
    bool server_file_;
    ContentFilePtr upload_;
};

} // namespace KxRpc
