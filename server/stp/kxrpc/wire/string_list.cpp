#include "wire/string_list.h"

#include <utility>

#include "wire/xdr.h"

namespace KxRpc {

namespace {

bool_t xdr_strings(XDR *xdrs, std::vector<std::string> const &lines) {
    int count = static_cast<int>(lines.size());
    if (!xdr_int(xdrs, &count)) return FALSE;
    XdrBlockWriter out(xdrs);
    for (auto const &line : lines)
        if (!out.add([&line](XDR *x) { return xdr_utf8(x, line); })) return FALSE;
    return out.finish();
}

} // namespace

StringListResp::StringListResp(std::vector<Nul::UString> const &lines) {
    lines_.reserve(lines.size());
    for (Nul::UString const &line : lines) lines_.push_back(line.utf8_str());
}

StringListResp::StringListResp(std::vector<std::string> lines) : lines_(std::move(lines)) {}

StringListResp::~StringListResp() = default;

bool_t StringListResp::xdr(XDR *xdrs) { return encode_only(xdrs) && xdr_strings(xdrs, lines_); }

} // namespace KxRpc
