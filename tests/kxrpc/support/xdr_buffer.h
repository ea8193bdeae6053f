// XDR memory streams for tests: encode into bytes, decode from bytes, big-endian words.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <rpc/xdr.h>

namespace kxtest {

using Bytes = std::vector<unsigned char>;

// Encodes with `fn` into a fresh buffer; `ok` receives its result; returns the bytes written.
template <class Fn>
Bytes encode(Fn fn, bool *ok = nullptr, std::size_t capacity = 1 << 16) {
    Bytes buf(capacity);
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char *>(buf.data()), static_cast<u_int>(buf.size()), XDR_ENCODE);
    bool r = fn(&x) != 0;
    if (ok) *ok = r;
    buf.resize(xdr_getpos(&x));
    xdr_destroy(&x);
    return buf;
}

// Decodes `bytes` with `fn`; returns its result. `consumed` gets the stream position afterwards.
template <class Fn>
bool decode(Bytes const &bytes, Fn fn, std::size_t *consumed = nullptr) {
    // One spare byte so that even an empty input has an address; the stream never sees it.
    Bytes buf(bytes.size() + 1);
    std::copy(bytes.begin(), bytes.end(), buf.begin());
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char *>(buf.data()), static_cast<u_int>(bytes.size()), XDR_DECODE);
    bool r = fn(&x) != 0;
    if (consumed) *consumed = xdr_getpos(&x);
    xdr_destroy(&x);
    return r;
}

inline void put_word(Bytes &b, std::uint32_t w) {
    b.push_back(static_cast<unsigned char>(w >> 24));
    b.push_back(static_cast<unsigned char>(w >> 16));
    b.push_back(static_cast<unsigned char>(w >> 8));
    b.push_back(static_cast<unsigned char>(w));
}

inline Bytes words(std::initializer_list<std::uint32_t> ws) {
    Bytes b;
    for (auto w : ws) put_word(b, w);
    return b;
}

inline void put_bytes(Bytes &b, std::string const &s) {
    for (char c : s) b.push_back(static_cast<unsigned char>(c));
}

inline std::uint32_t word_at(Bytes const &b, std::size_t i) {
    return (std::uint32_t(b[4 * i]) << 24) | (std::uint32_t(b[4 * i + 1]) << 16) | (std::uint32_t(b[4 * i + 2]) << 8) |
           std::uint32_t(b[4 * i + 3]);
}

} // namespace kxtest
