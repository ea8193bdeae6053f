// Building expected wire bytes: XDR strings and concatenation.
#pragma once

#include <string>

#include "xdr_buffer.h"

namespace kxtest {

inline void put_string(Bytes &b, std::string const &s) {
    put_word(b, static_cast<std::uint32_t>(s.size()));
    put_bytes(b, s);
    while (b.size() % 4) b.push_back(0);
}

inline Bytes cat(Bytes a, Bytes const &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes str(std::string const &s) {
    Bytes b;
    put_string(b, s);
    return b;
}

} // namespace kxtest
