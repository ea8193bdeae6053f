// Error records on the wire, and the encoders that write the resource an error is about.
#pragma once

#include <rpc/xdr.h>

#include "tesutil/stpexception.h"
#include "tesutil/ustring.h"

namespace KxRpc {

class ResourceEncoder {
public:
    virtual ~ResourceEncoder();
    // Writes the resource's wire type code and body. Writes nothing and answers false for a
    // resource it cannot encode.
    virtual bool encode(XDR *xdrs, Nul::Resource const *resource) = 0;
};

// A key that is already registered keeps its first encoder. The encoders live as long as the
// process.
void register_resource_encoder(int key, ResourceEncoder *encoder);
ResourceEncoder *find_resource_encoder(int key);

// Encode: one complete record. A part that cannot be produced (a message or resource that fails to
// render, an extension that cannot be written) is written as absent, never half. Decode fails,
// free succeeds.
bool_t xdr_exception(XDR *xdrs, Nul::STPException const *e) noexcept;
// TRUE, then the record.
bool_t xdr_error_reply(XDR *xdrs, Nul::STPException const &e) noexcept;
// The diagnostic line of the failure, then the error arm.
bool_t report_error_reply(Nul::UString const &method, XDR *xdrs, Nul::STPException const &e) noexcept;

} // namespace KxRpc
