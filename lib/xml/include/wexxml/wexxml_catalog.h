// The XML library's message catalogue and its version line.
#pragma once

#include "tesutil/umessage.h"

extern "C" {
// Prints "libwexxml" padded to 33 characters, the version and the build time on stdout;
// returns what printf returns.
int libwexxml_print_verid(void);
}

namespace Nul {

// "wexxml 33": entry 0 names the catalogue, entries 1 to 33 are its messages.
extern char const *const wexxml_catalog[];

// Indexes into wexxml_catalog.
enum WexxmlMsg {
    WEXXML_XERCES_INIT = 1,       // 0672E
    WEXXML_XML_EXCEPTION,         // 0673E
    WEXXML_DOM_EXCEPTION,         // 0674E
    WEXXML_SAX_PARSE_EXCEPTION,   // 0675E
    WEXXML_UNKNOWN_EXCEPTION,     // 0676E
    WEXXML_IS_EMPTY_MISMATCH,     // 0677E
    WEXXML_MISSING_CHILD,         // 0678E
    WEXXML_TAG_MISMATCH,          // 0679E
    WEXXML_NIL_ELEMENT,           // 0680E
    WEXXML_NO_CHILDREN,           // 0681E
    WEXXML_OP_CHECK_IS_EMPTY,     // 0682E
    WEXXML_OP_CHECK_IS_NIL,       // 0683E
    WEXXML_OP_CHILD,              // 0684E
    WEXXML_OP_MATCH,              // 0685E
    WEXXML_OP_ATTR_MATCH,         // 0686E
    WEXXML_NIL_ATTRIBUTE,         // 0687E
    WEXXML_DOC_CLOSED,            // 0688E
    WEXXML_DOC_BAD_STATE,         // 0689E
    WEXXML_DOC_PUSHED_ELEMENTS,   // 0690E
    WEXXML_DOC_NOT_CLOSE_PENDING, // 0691E
    WEXXML_DOC_NO_ATTR_ELEMENT,   // 0692E
    WEXXML_CDATA_TERMINATOR,      // 0693E
    WEXXML_DOC_NO_BODY_ELEMENT,   // 0694E
    WEXXML_DOC_POP_MISMATCH,      // 0695E
    WEXXML_DOC_NO_START_TAG,      // 0696E
    WEXXML_DOC_NOT_CLOSED,        // 0697E
    WEXXML_DOC_NS_TOO_LATE,       // 0698E
    WEXXML_DOC_NOT_STARTED,       // 0699E
    WEXXML_BAD_STREAM_READ,       // 0700E
    WEXXML_BAD_STREAM,            // 0701E
    WEXXML_OPT_CHILD_WALKED,      // 0702E
    WEXXML_CHILD_WALKED,          // 0703E
    WEXXML_SCAN_ERROR,            // 0704E
};

} // namespace Nul
