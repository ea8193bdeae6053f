// What a call refused: its reason and message text.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "tesutil/stpexception.h"
#include "wire/exceptions.h"

namespace kxtest {

// The refusal's reason and text, or -1 when nothing was refused.
inline std::pair<int, std::string> refusal_of(std::function<void()> const &call) {
    try {
        call();
    } catch (Nul::STPException const &e) {
        return {static_cast<int>(e.stp_reason_code()), KxRpc::exception_message_text(e).utf8_str().std_str()};
    }
    return {-1, std::string()};
}

} // namespace kxtest
