// The server's XDR routines over the runtime's primitives. Every routine reads the stream's
// operation itself, returns nonzero on success and never lets an exception escape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <rpc/xdr.h>

#include "tesutil/ustring.h"

namespace KxRpc {

// No string is encoded or decoded longer than this, whatever a call record may hold (the runtime
// takes records up to KS_MAX_RECORD_SIZE); the bounds below are tighter by kind of field.
constexpr u_int max_wire_string = 64u << 20;
// Longest string decoded, in UTF-8 bytes, by kind of field: names (repositories, users, passwords,
// identifiers, workspace paths, locales, hosts) and texts (values, queries, comments, script
// parameters). A longer string is refused from its length alone, before anything is allocated.
// Content chunks have their own bound (the chunk size of the transfer).
constexpr u_int max_wire_name = 4u << 10;
constexpr u_int max_wire_text = 8u << 20;
// A list's count. What the items hold in memory is bounded by the call's decode budget
// (wire/decode_budget.h), which every string and kept list item is charged against.
constexpr int max_wire_list_count = static_cast<int>((64u << 20) / 4);
// Property ids (and dynamic property names) of one fetch or put: each costs the call a lookup.
constexpr int max_wire_prop_count = 4096;
// Strings up to this length decode without a heap allocation.
constexpr u_int stack_string_length = 1024;

// Encode writes 1 or 0; decode answers true only for exactly 1 (any other value is false).
bool_t xdr_flag(XDR *xdrs, bool &value) noexcept;
// XDR hyper: high word, then low word.
bool_t xdr_int64(XDR *xdrs, std::int64_t &value) noexcept;
// Unsigned byte length of the UTF-8 form, then the bytes padded to 4; no terminator. Decode refuses
// a string longer than `max_length` and one that holds a NUL byte: the text behind a NUL would be
// lost to every C-string consumer, so "alice\0x" must never pass for "alice".
bool_t xdr_ustring(XDR *xdrs, Nul::UString &value, u_int max_length = max_wire_name) noexcept;
// Encode only: text already in UTF-8 as xdr_ustring writes it (refused above max_wire_string).
bool_t xdr_utf8(XDR *xdrs, std::string const &bytes) noexcept;
// A list count: a signed int; decode refuses a negative or implausibly large count.
bool_t xdr_list_count(XDR *xdrs, int &count) noexcept;
// Decode only: a list count, then that many ints.
bool_t xdr_int_list(XDR *xdrs, std::vector<int> &values) noexcept;

// How much room to reserve for a decoded list: never trust the count for memory.
inline std::size_t list_reserve(int count) {
    return count < 0 ? 0 : (count < 256 ? static_cast<std::size_t>(count) : 256);
}

// Encodes a run of items into a memory block and writes each full block to the reply at once: the
// reply stream takes one write per block rather than one per word. The bytes are those of
// encoding every item straight into the reply; an item larger than a block goes there directly.
// `encode` must only write (it may run twice for an item that ends a block).
class XdrBlockWriter {
public:
    explicit XdrBlockWriter(XDR *out);
    ~XdrBlockWriter();
    XdrBlockWriter(XdrBlockWriter const &) = delete;
    XdrBlockWriter &operator=(XdrBlockWriter const &) = delete;

    template <class Encode>
    bool_t add(Encode &&encode) {
        u_int const before = xdr_getpos(&block_);
        if (encode(&block_)) return TRUE;
        if (!flush(before)) return FALSE;
        if (encode(&block_)) return TRUE;
        xdr_setpos(&block_, 0);
        return encode(out_);
    }
    // Writes what the block holds; the writer is then empty.
    bool_t finish() { return flush(xdr_getpos(&block_)); }

private:
    bool_t flush(u_int length);

    static constexpr u_int block_size = 64u << 10;
    XDR *out_;
    std::unique_ptr<char[]> bytes_;
    XDR block_{};
};

// Replies are only ever encoded: any other direction fails.
inline bool_t encode_only(XDR *xdrs) { return xdrs->x_op == XDR_ENCODE; }

} // namespace KxRpc
