// printf-style text for trace lines and request descriptions, typed by UMessage::Arg.
#pragma once

#include <vector>

#include "tesutil/umessage.h"
#include "tesutil/ustring.h"

namespace KxRpc {

template <class... Args>
Nul::UString text_format(char const *format, Args const &...args) {
    Nul::UMessage::Arg const typed[] = {Nul::UMessage::Arg(args)..., Nul::UMessage::Arg::nil};
    std::vector<Nul::UMessage::Arg const *> list;
    for (std::size_t i = 0; i < sizeof...(Args); ++i) list.push_back(&typed[i]);
    return Nul::UMessage::sprintf(format, list);
}

inline char const *tf(bool value) { return value ? "T" : "F"; }

} // namespace KxRpc
