// Requests that add, read or resolve an attachment of a record's attachment field, and the reply of
// an added one.
#pragma once

#include <memory>

#include <rpc/xdr.h>

#include "target/attachments.h"
#include "target/genericop.h"
#include "target/requests.h"
#include "tesutil/stpexception.h"
#include "tesutil/ustring.h"

namespace KxRpc {

// What make_attachment and make_attachment_direct share: the attachment field (the target), the
// attachment's name and comment, where its content lies, and a failure kept for the handler.
class AttachmentUploadArgs : public TargetOpArgs {
public:
    AttachmentUploadArgs();
    // A failed upload's file goes with its private directory; the client's own file never does.
    ~AttachmentUploadArgs() override;

    // The target's attachment field in the request's session.
    AttachmentFolder *attachment_folder() { return target_op_.attachment_folder(api_session_or_fail()); }
    Nul::UString const &name() const { return name_; }
    Nul::UString const &comment() const { return comment_; }
    int size() const { return size_; }
    Nul::UString const &filename() const { return filename_; }
    bool failed() const { return failed_; }
    // The bytes of the server's file of the content, charged to the request's session; the item
    // that keeps the file takes it over.
    Charge take_charge() { return std::move(charge_); }
    // Set whenever `failed` is, unless the content could not be decoded at all.
    Nul::STPException const *error() const { return error_.get(); }

protected:
    void fail(Nul::STPException const &error);
    // "%s :: %s :: name:%s :: comment:%s :: size:%d :: filename:%s".
    Nul::UString upload_line();

    Nul::UString name_;
    Nul::UString comment_;
    bool failed_ = false;
    std::unique_ptr<Nul::STPException> error_;
    int size_ = 0;
    Nul::UString filename_;
    Charge charge_;
};

// The content arrives in the request as chunks and is written to a temporary file named after
// the attachment while the request is decoded.
class MakeAttachmentArgs : public AttachmentUploadArgs {
public:
    ~MakeAttachmentArgs() override;
    Nul::UString describe() { return upload_line(); }
    // The upload is not kept: its file goes with the request.
    void discard_upload() { failed_ = true; }

protected:
    // Session header, target, name, comment, chunk size, then chunks until a length of 0. A
    // failure to store the content does not fail decoding: the rest of the chunks are read and
    // dropped. Each chunk is charged to the session by its length before it is written, so that
    // the chunk that would pass KX_SESSION_DISK_BYTES is never written and fails the upload.
    bool_t decode(XDR *xdrs) override;

private:
    // The file descriptor of the new content file, or -1 with the failure recorded.
    int open_content();
    void store(int fd, char const *bytes, u_int count);
    bool_t receive_chunks(XDR *xdrs, int chunk_size, int fd);
    bool_t content_cut(XDR *xdrs);
};

// The content already lies on the server's disk, at the path the client names.
class MakeAttachmentDirectArgs : public AttachmentUploadArgs {
public:
    ~MakeAttachmentDirectArgs() override;
    Nul::UString describe() { return upload_line(); }

protected:
    // Session header, target, name, comment, file path, size; nothing is opened.
    bool_t decode(XDR *xdrs) override;
};

// The new attachment's state handle, then the names of its record type, record and field, and its
// file name. The item stays registered after the reply.
class MakeAttachmentResp : public XdrObject {
public:
    // Reads the record's type and display name; a product failure is raised as the call's error.
    explicit MakeAttachmentResp(std::shared_ptr<AttachmentStateItem> item);
    ~MakeAttachmentResp() override;
    bool_t xdr(XDR *xdrs) override;

private:
    std::shared_ptr<AttachmentStateItem> item_;
    Nul::UString type_name_, record_name_;
};

// Session header, target.
class ResolveAttachmentArgs : public TargetOpArgs {
public:
    ~ResolveAttachmentArgs() override;
    Nul::UString describe() { return session_and_target(); }
    // The target attachment in the request's session.
    Attachment *attachment() { return target_op_.attachment(api_session_or_fail()); }
};

// The request of get_attachment and get_attachment_direct: the session header, the target, then
// the chunk size.
class GetArgs : public TargetOpArgs {
public:
    ~GetArgs() override;
    Nul::UString describe() { return session_and_target(); }
    int chunk_size() const { return chunk_size_; }
    int target_type() const { return resource_type(); }
    // The attachment of the target's state item, or the stored one found through the session.
    Attachment *attachment() { return target_op_.attachment(is_state_item_target() ? nullptr : api_session_or_fail()); }

protected:
    bool_t decode(XDR *xdrs) override;

private:
    int chunk_size_ = 0;
};

} // namespace KxRpc
