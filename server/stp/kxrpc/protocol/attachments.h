// The attachment field of a record, one attachment of it, and the session user as a target
// resolves them. Content transfer and the folder's searches belong to the attachment code.
#pragma once

#include <cstdint>
#include <memory>

#include "kxproduct/entity.h"
#include "protocol/stateitem.h"
#include "tesutil/ustring.h"

namespace KxRpc {

class Attachment;

class AttachmentFolder {
public:
    AttachmentFolder(AdEntityPtr const &entity, Nul::UString const &field_name, std::int64_t field_dbid)
        : entity(entity), field_name(field_name), field_dbid(field_dbid) {}
    AttachmentFolder(AttachmentFolder const &other) = default;
    AttachmentFolder &operator=(AttachmentFolder const &other) = default;
    ~AttachmentFolder() = default;

    AdEntityPtr entity;
    Nul::UString field_name;
    std::int64_t field_dbid;
};

class Attachment {
public:
    Attachment(AttachmentFolder const &folder, Nul::UString const &file_name, std::int64_t dbid)
        : folder(folder), file_name(file_name), dbid(dbid) {}
    Attachment(Attachment const &other) = default;
    Attachment &operator=(Attachment const &other) = default;
    ~Attachment() = default;

    void set_size(int size) { this->size = size; }

    AttachmentFolder folder;
    Nul::UString file_name;
    std::int64_t dbid;  // 0 while not yet stored
    Nul::UString file_path;
    int size = 0;
};

// The session user: login name and dbid.
class CurrentUserInfo {
public:
    CurrentUserInfo(Nul::UString const &login_name, std::int64_t dbid) : login_name(login_name), dbid(dbid) {}
    Nul::UString login_name;
    std::int64_t dbid;
};

// An attachment being created or read between calls.
class AttachmentStateItem : public StateItem {
public:
    explicit AttachmentStateItem(std::unique_ptr<Attachment> attachment) : attachment_(std::move(attachment)) {}
    ~AttachmentStateItem() override;
    Attachment *attachment() const { return attachment_.get(); }

private:
    std::unique_ptr<Attachment> attachment_;
};

} // namespace KxRpc
