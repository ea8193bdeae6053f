// The rows of the fixed XML vocabulary, as plain constant data so that they exist before any code runs.
#pragma once

#include <cstdint>

namespace Nul::xmltag_data {

inline constexpr int num_wk_namespaces = 21;
inline constexpr int num_predefined_tags = 1152;
inline constexpr int num_predefined_ids = 1167;

struct NamespaceRow {
    std::int32_t nsid;
    char16_t const *path;         // appended to the base URI
    char16_t const *abbreviation; // ends with ":"
};

struct TagRow {
    std::int32_t id;
    char16_t const *abbreviation; // matched against the namespace rows; no match means no namespace
    char16_t const *name;
};

extern NamespaceRow const wk_namespace_rows[num_wk_namespaces];
extern TagRow const predefined_tag_rows[num_predefined_tags];

} // namespace Nul::xmltag_data
