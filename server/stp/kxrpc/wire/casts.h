// Checked down-casts of protocol objects: a mismatch is reported to the client, never a crash
// and never a silent null. Plain casts answer null where a mismatch is an expected case.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <typeinfo>

#include <cxxabi.h>

#include "tesutil/umessage.h"

namespace KxRpc {

// The class name a cast failure reports, without its namespace.
template <class T>
char const *type_name() {
    static std::string const name = [] {
        int status = 0;
        std::unique_ptr<char, void (*)(void *)> text(abi::__cxa_demangle(typeid(T).name(), nullptr, nullptr, &status),
                                                     std::free);
        std::string full = status == 0 && text ? text.get() : typeid(T).name();
        auto colon = full.rfind("::");
        return colon == std::string::npos ? full : full.substr(colon + 2);
    }();
    return name.c_str();
}

// Raises reason 40 with message 44 naming what was expected.
[[noreturn]] void raise_cast_failure(Nul::UMessage::Arg const &expected);

// `object` as a To (an XdrObject, StateItem or DeliverOperation class); null or another class
// raises the cast failure naming "non-null" or To.
template <class To, class From>
To *checked_cast(From *object) {
    if (object == nullptr) raise_cast_failure(Nul::UMessage::Arg(L"non-null"));
    if (To *to = dynamic_cast<To *>(object)) return to;
    raise_cast_failure(Nul::UMessage::Arg(type_name<To>()));
}

template <class To, class From>
To *plain_cast(From *object) noexcept {
    return dynamic_cast<To *>(object);
}

} // namespace KxRpc
