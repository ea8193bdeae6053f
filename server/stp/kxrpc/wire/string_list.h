// The reply shape of a count and that many strings.
#pragma once

#include <rpc/xdr.h>
#include <vector>

#include "tesutil/ustring.h"
#include "wire/xdrobject.h"

namespace KxRpc {

// A count, then the strings.
class StringListResp : public XdrObject {
public:
    explicit StringListResp(std::vector<Nul::UString> const &lines);
    ~StringListResp() override;
    bool_t xdr(XDR *xdrs) override;

private:
    std::vector<Nul::UString> lines_;
};

} // namespace KxRpc
