// The reply shape of a count and that many strings.
#pragma once

#include <rpc/xdr.h>
#include <string>
#include <vector>

#include "tesutil/ustring.h"
#include "wire/xdrobject.h"

namespace KxRpc {

// A count, then the strings.
class StringListResp : public XdrObject {
public:
    explicit StringListResp(std::vector<Nul::UString> const &lines);
    // Lines already in the UTF-8 they go out in.
    explicit StringListResp(std::vector<std::string> lines);
    ~StringListResp() override;
    bool_t xdr(XDR *xdrs) override;

private:
    std::vector<std::string> lines_; // UTF-8
};

} // namespace KxRpc
