// Content transfer of attachments: downloads (get_attachment, get_attachment_direct) and the
// handlers of uploads (make_attachment, make_attachment_direct).
#pragma once

#include <rpc/xdr.h>

#include "change/attachment_requests.h"
#include "wire/xdrobject.h"

namespace KxRpc {

// The content inline as a chunk stream; the reply writes its own leading FALSE or error arm.
class GetResp : public XdrObject {
public:
    explicit GetResp(GetArgs *args) : args_(args) {}
    bool_t xdr(XDR *xdrs) override;

private:
    bool_t marshall_attachment(XDR *xdrs);
    GetArgs *args_;
};

// The content in a file on the server's disk; the reply is its path.
class GetDirectResp : public XdrObject {
public:
    explicit GetDirectResp(GetArgs *args) : args_(args) {}
    bool_t xdr(XDR *xdrs) override;

private:
    bool_t marshall_attachment_direct(XDR *xdrs);
    GetArgs *args_;
    Nul::UString path_;
};

// Whether the server may read the file a client names for make_attachment_direct: an absolute
// path of an existing regular file, outside the data directory and the registry store. Refusals
// raise reason 4 with message 68.
void check_client_file(Nul::UString const &path);

bool kxrpc_get(XdrObject *request, XdrObject **result);
bool kxrpc_get_direct(XdrObject *request, XdrObject **result);
bool kxrpc_make_attachment(XdrObject *request, XdrObject **result);
bool kxrpc_make_attachment_direct(XdrObject *request, XdrObject **result);

} // namespace KxRpc
