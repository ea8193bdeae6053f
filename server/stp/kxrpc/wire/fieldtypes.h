// The product's field value types and the value-type tags that the wire uses for them.
#pragma once

namespace KxRpc {

// Product field value type (1 to 14) to its value-type tag; any other type raises an internal
// error "Unknown field value type".
int field_value_tag(int field_type);

// Field types after which a field path goes on in the record type the field refers to: reference
// (5), reference list (6), attachment list (7) and journal (10).
constexpr bool is_path_reference_type(int field_type) {
    return field_type == 5 || field_type == 6 || field_type == 7 || field_type == 10;
}

} // namespace KxRpc
