#include "wire/string_list.h"

#include "wire/xdr.h"

namespace KxRpc {

namespace {

bool_t xdr_strings(XDR *xdrs, std::vector<Nul::UString> &lines) {
    int count = static_cast<int>(lines.size());
    if (!xdr_int(xdrs, &count)) return FALSE;
    for (auto &line : lines)
        if (!xdr_ustring(xdrs, line)) return FALSE;
    return TRUE;
}

} // namespace

StringListResp::StringListResp(std::vector<Nul::UString> const &lines) : lines_(lines) {}

StringListResp::~StringListResp() = default;

bool_t StringListResp::xdr(XDR *xdrs) { return encode_only(xdrs) && xdr_strings(xdrs, lines_); }

} // namespace KxRpc
