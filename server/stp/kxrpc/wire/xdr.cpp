#include "wire/xdr.h"

#include <cstring>
#include <string>

#include "wire/decode_budget.h"
#include "wire/product_failure.h"
#include "wire/xdrobject.h"

namespace KxRpc {

XdrObject::~XdrObject() = default;
XdrVoid::~XdrVoid() = default;

// Nothing to read or write: the arguments of shutdown and the empty replies.
bool_t XdrVoid::xdr(XDR *) { return TRUE; }

XdrBlockWriter::XdrBlockWriter(XDR *out) : out_(out), bytes_(new char[block_size]) {
    xdrmem_create(&block_, bytes_.get(), block_size, XDR_ENCODE);
}

XdrBlockWriter::~XdrBlockWriter() { xdr_destroy(&block_); }

bool_t XdrBlockWriter::flush(u_int length) {
    xdr_setpos(&block_, 0);
    // Whole words: xdr_opaque adds no padding.
    return length == 0 || xdr_opaque(out_, bytes_.get(), length);
}

bool_t xdr_flag(XDR *xdrs, bool &value) noexcept {
    switch (xdrs->x_op) {
    case XDR_ENCODE: {
        bool_t b = value ? TRUE : FALSE;
        return xdr_bool(xdrs, &b);
    }
    case XDR_DECODE: {
        // Not xdr_bool: that would take any nonzero value as true.
        int v = 0;
        if (!xdr_int(xdrs, &v)) return FALSE;
        value = v == 1;
        return TRUE;
    }
    case XDR_FREE:
        return TRUE;
    }
    return FALSE;
}

bool_t xdr_int64(XDR *xdrs, std::int64_t &value) noexcept {
    switch (xdrs->x_op) {
    case XDR_ENCODE: {
        auto u = static_cast<std::uint64_t>(value);
        u_int hi = static_cast<u_int>(u >> 32), lo = static_cast<u_int>(u & 0xFFFFFFFFu);
        return xdr_u_int(xdrs, &hi) && xdr_u_int(xdrs, &lo);
    }
    case XDR_DECODE: {
        u_int hi = 0, lo = 0;
        if (!xdr_u_int(xdrs, &hi) || !xdr_u_int(xdrs, &lo)) return FALSE;
        value = static_cast<std::int64_t>((static_cast<std::uint64_t>(hi) << 32) | lo);
        return TRUE;
    }
    case XDR_FREE:
        return TRUE;
    }
    return FALSE;
}

namespace {

// Reads `length` opaque bytes (with the padding of the whole) into `out`. The buffer grows only
// as the bytes arrive, so a length that the stream cannot back never reserves that much memory.
bool_t read_opaque_chunked(XDR *xdrs, u_int length, std::string &out) {
    constexpr u_int chunk = 64u << 10; // a multiple of 4: no padding between chunks
    out.clear();
    u_int done = 0;
    while (done < length) {
        u_int n = length - done < chunk ? length - done : chunk;
        out.resize(done + n);
        if (!xdr_opaque(xdrs, out.data() + done, n)) return FALSE;
        done += n;
    }
    return TRUE;
}

} // namespace

bool_t xdr_utf8(XDR *xdrs, std::string const &bytes) noexcept {
    if (xdrs->x_op != XDR_ENCODE || bytes.size() > max_wire_string) return FALSE;
    u_int length = static_cast<u_int>(bytes.size());
    if (!xdr_u_int(xdrs, &length)) return FALSE;
    return xdr_opaque(xdrs, const_cast<char *>(bytes.data()), length);
}

bool_t xdr_ustring(XDR *xdrs, Nul::UString &value, u_int max_length) noexcept {
    try {
        switch (xdrs->x_op) {
        case XDR_ENCODE:
            return xdr_utf8(xdrs, value.utf8_str());
        case XDR_DECODE: {
            u_int length = 0;
            if (!xdr_u_int(xdrs, &length)) return FALSE;
            if (length > max_length || length > max_wire_string) return FALSE;
            if (!charge_decoded(string_cost(length))) return FALSE;
            if (length <= stack_string_length) {
                char buffer[stack_string_length];
                if (!xdr_opaque(xdrs, buffer, length)) return FALSE;
                if (std::memchr(buffer, '\0', length)) return FALSE;
                value.utf8_assign(Nul::Utf8String(std::string(buffer, length)));
            } else {
                Nul::Utf8String heap;
                if (!read_opaque_chunked(xdrs, length, heap)) return FALSE;
                if (std::memchr(heap.data(), '\0', length)) return FALSE;
                value.utf8_assign(heap);
            }
            return TRUE;
        }
        case XDR_FREE:
            return TRUE;
        }
    } catch (...) {
        return hold_failure(xdrs, L"xdr_ustring");
    }
    return FALSE;
}

bool_t xdr_list_count(XDR *xdrs, int &count) noexcept {
    if (!xdr_int(xdrs, &count)) return FALSE;
    if (xdrs->x_op == XDR_DECODE && (count < 0 || count > max_wire_list_count)) return FALSE;
    return TRUE;
}

bool_t xdr_int_list(XDR *xdrs, std::vector<int> &values) noexcept {
    int count = 0;
    if (xdrs->x_op != XDR_DECODE || !xdr_list_count(xdrs, count)) return FALSE;
    try {
        values.reserve(list_reserve(count));
        for (int i = 0; i < count; ++i) {
            int value = 0;
            if (!xdr_int(xdrs, &value) || !keep_decoded(values, std::move(value))) return FALSE;
        }
        return TRUE;
    } catch (...) {
        return hold_failure(xdrs, L"xdr_int_list");
    }
}

} // namespace KxRpc
