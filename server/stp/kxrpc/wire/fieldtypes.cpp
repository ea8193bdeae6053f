#include "wire/fieldtypes.h"

#include "wire/exceptions.h"

namespace KxRpc {

int field_value_tag(int field_type) {
    switch (field_type) {
    case 3:
    case 11:
        return TAG_MPT_INTEGER;
    case 4:
        return TAG_MPT_DATE_TIME;
    case 5:
    case 13:
        return TAG_MPT_RESOURCE;
    case 6:
    case 7:
        return TAG_MPT_RESOURCE_LIST;
    case 1:
    case 2:
    case 8:
    case 9:
    case 10:
    case 12:
    case 14:
        return TAG_MPT_STRING;
    default:
        throw_internal_error(L"Unknown field value type");
    }
}

} // namespace KxRpc
