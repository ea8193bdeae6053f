// The root of every request, response, property value and delivery operation.
#pragma once

#include <rpc/xdr.h>

namespace KxRpc {

class XdrObject {
public:
    XdrObject() = default;
    XdrObject(XdrObject const &) = default;
    XdrObject &operator=(XdrObject const &) = default;
    virtual ~XdrObject();
    // Reads the stream's operation itself; nonzero on success. It may raise a server exception,
    // which the glue routines (wire/glue.h) hold for the dispatcher: nothing unwinds into the runtime.
    virtual bool_t xdr(XDR *xdrs) = 0;
};

// The empty request of shutdown, and the empty response: a framed reply is the single boolean
// FALSE of the framing.
class XdrVoid : public XdrObject {
public:
    ~XdrVoid() override;
    bool_t xdr(XDR *xdrs) override;
};

} // namespace KxRpc
