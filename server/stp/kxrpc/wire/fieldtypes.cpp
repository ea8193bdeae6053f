#include "wire/fieldtypes.h"

#include "tesutil/xmltag.h"
#include "wire/exceptions.h"

namespace KxRpc {

using Nul::XmlTag;

int field_value_tag(int field_type) {
    switch (field_type) {
    case 3:
    case 11:
        return XmlTag::MPT_integer;
    case 4:
        return XmlTag::MPT_date_time;
    case 5:
    case 13:
        return XmlTag::MPT_resource;
    case 6:
    case 7:
        return XmlTag::MPT_resource_list;
    case 1:
    case 2:
    case 8:
    case 9:
    case 10:
    case 12:
    case 14:
        return XmlTag::MPT_string;
    default:
        throw_internal_error(L"Unknown field value type");
    }
}

} // namespace KxRpc
