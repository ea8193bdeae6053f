#include "tesutil/umessage.h"

namespace Nul {

char const *const wexutil_catalog[] = {
    "wexutil 21",
    "TLQSV0651E Can't generate a UUID (possible network/adapter configuration problem) - UuidCreate error %d",
    "TLQSV0652E The UUID generator can't get the IEEE 802 (ethernet) address for this computer",
    "TLQSV0653E Internal error: %s(), at line: %s in file: '%s'",
    "TLQSV0654E %s(): called with illegal value.",
    "TLQSV0655E XmlTag::lookup(): called with illegal id value.",
    "TLQSV0656E XmlTag::lookup(): called with illegal ns value.",
    "TLQSV0657E Invalid Oid/Uuid format for arg: '%s' with value: '%s'",
    "TLQSV0658E Invalid Identity length format for arg: '%s' with value: '%s'",
    "TLQSV0659E Invalid Identity length string for arg: '%s' with value: '%s'",
    "TLQSV0660E Invalid Identity - bad string size for arg: '%s' with value: '%s'",
    "TLQSV0661E Invalid Identity - hex conversion error for arg: '%s' with value: '%s'",
    "TLQSV0662E The URI '%s' is not valid: %s",
    "TLQSV0663E Invalid escape sequence in URI '%s'",
    "TLQSV0664E Cannot create temporary file system object: %s",
    "TLQSV0665E Unable to open file '%s': %s.",
    "TLQSV0666E Unable to read file '%s': %s.",
    "TLQSV0667E Unable to write file '%s': %s.",
    "TLQSV0668E Unable to close file '%s': %s.",
    "TLQSV0669E Error converting '%s' to default character set.",
    "TLQSV0670E Application Resource Measurement (ARM) error: %s.",
    "TLQSV0671E The selector '%s' is not valid: %s",
};

static_assert(sizeof(wexutil_catalog) / sizeof(wexutil_catalog[0]) == 22, "entry 0 and 21 messages");

} // namespace Nul
