// Request classes the core itself defines, and the table entries of requests from the protocol.
#pragma once

#include "protocol/xdrobject.h"

namespace KxRpc {

// The request of shutdown: no arguments.
class EmptyArgs : public XdrObject {
public:
    ~EmptyArgs() override;
    bool_t xdr(XDR *xdrs) override { return xdrs->x_op == XDR_DECODE; }
};

} // namespace KxRpc

