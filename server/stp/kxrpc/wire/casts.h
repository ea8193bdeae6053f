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

// A demangled name without namespace qualifiers, also inside template arguments:
// "KxRpc::PropValue<Nul::UString>" gives "PropValue<UString>".
inline std::string unqualified_name(std::string const &full) {
    static std::string const anonymous = "(anonymous namespace)::";
    std::string out;
    for (std::size_t i = 0; i < full.size(); ++i) {
        if (full.compare(i, anonymous.size(), anonymous) == 0) {
            i += anonymous.size() - 1;
        } else if (full.compare(i, 2, "::") == 0) {
            std::size_t start = out.find_last_of("<, ");
            out.erase(start == std::string::npos ? 0 : start + 1);
            ++i;
        } else {
            out += full[i];
        }
    }
    return out;
}

// The class name a cast failure reports, without its namespaces.
template <class T>
char const *type_name() {
    static std::string const name = [] {
        int status = 0;
        std::unique_ptr<char, void (*)(void *)> text(abi::__cxa_demangle(typeid(T).name(), nullptr, nullptr, &status),
                                                     std::free);
        return unqualified_name(status == 0 && text ? text.get() : typeid(T).name());
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
