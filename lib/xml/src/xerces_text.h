// Xerces-C text (UTF-16 XMLCh) to and from the library's strings.
#pragma once

#include <xercesc/util/XMLString.hpp>

#include "tesutil/ustring.h"

namespace Nul::wexxml {

static_assert(sizeof(XMLCh) == sizeof(char16_t), "Xerces-C text is UTF-16");

inline UString to_ustring(XMLCh const *text) {
    if (text == nullptr) return UString();
    return UString(icu::UnicodeString(reinterpret_cast<char16_t const *>(text)));
}

inline UString to_ustring(XMLCh const *text, std::size_t length) {
    if (text == nullptr) return UString();
    return UString(icu::UnicodeString(reinterpret_cast<char16_t const *>(text), static_cast<int32_t>(length)));
}

} // namespace Nul::wexxml
