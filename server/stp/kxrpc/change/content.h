// Content transfer of attachments: downloads (get_attachment, get_attachment_direct) and the
// handlers of uploads (make_attachment, make_attachment_direct).
#pragma once

#include <memory>
#include <rpc/xdr.h>

#include "change/attachment_requests.h"
#include "files/file_marshaller.h"
#include "kxproduct/workspace.h"
#include "wire/xdrobject.h"

namespace KxRpc {

// The content of a report format in a file of its own; the file outlives the object.
class ReportFormat {
public:
    explicit ReportFormat(AdBucketPtr const &bucket) : bucket_(bucket) {}
    Nul::UString file_path() { return file_.file_path(); }
    void set_file_path(Nul::UString const &path) { file_.set_path(path); }
    bool_t marshall(XDR *xdrs, int chunk_size) { return file_.marshall(xdrs, chunk_size); }
    void remove_file() { file_.remove_file(); }
    // Writes the content into the file; any failure is an internal error with message 125 and
    // leaves no file behind.
    void load();

private:
    AdBucketPtr bucket_;
    FileMarshaller file_;
};

// The content inline as a chunk stream; the reply writes its own leading FALSE or error arm.
class GetResp : public XdrObject {
public:
    explicit GetResp(GetArgs *args) : args_(args) {}
    bool_t xdr(XDR *xdrs) override;

private:
    bool_t marshall_attachment(XDR *xdrs);
    bool_t marshall_report_format(XDR *xdrs);
    bool_t marshall_record_content(XDR *xdrs);
    GetArgs *args_;
};

// The content in a file on the server's disk; the reply is its path.
class GetDirectResp : public XdrObject {
public:
    explicit GetDirectResp(GetArgs *args) : args_(args) {}
    bool_t xdr(XDR *xdrs) override;

private:
    bool_t marshall_attachment_direct(XDR *xdrs);
    bool_t marshall_report_format_direct(XDR *xdrs);
    bool_t marshall_record_content_direct(XDR *xdrs);
    GetArgs *args_;
    Nul::UString path_;
};

std::unique_ptr<XdrObject> kxrpc_get(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_get_direct(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_make_attachment(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_make_attachment_direct(XdrObject *request);

} // namespace KxRpc
