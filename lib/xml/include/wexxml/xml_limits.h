// What the readers accept: documents come from clients, so each bound keeps one document's cost small.
#pragma once

#include <cstddef>

namespace Nul {

struct XmlLimits {
    // Bytes of one document; a longer one is refused before it is parsed.
    static constexpr std::size_t max_document_bytes = std::size_t(1) << 20;
    // Nesting of elements; the root is at depth 1.
    static constexpr int max_depth = 256;
    // Attributes of one element, namespace declarations included.
    static constexpr int max_attributes = 256;
    // A DOCTYPE declaration is always refused: no DTD, so no entity of the document's own.
};

} // namespace Nul
