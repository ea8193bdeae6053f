// Checked down-casts of protocol objects: a mismatch is reported to the client, never a crash
// and never a silent null. Plain casts answer null where a mismatch is an expected case.
#pragma once

#include "tesutil/umessage.h"

namespace KxRpc {

// Raises reason 40 with message 44 naming what was expected.
[[noreturn]] void raise_cast_failure(Nul::UMessage::Arg const &expected);

template <class To, class From>
To *checked_cast(From *object, char const *type_name) {
    if (object == nullptr) raise_cast_failure(Nul::UMessage::Arg(L"non-null"));
    if (To *to = dynamic_cast<To *>(object)) return to;
    raise_cast_failure(Nul::UMessage::Arg(type_name));
}

template <class To, class From>
To *plain_cast(From *object) noexcept {
    return dynamic_cast<To *>(object);
}

} // namespace KxRpc
