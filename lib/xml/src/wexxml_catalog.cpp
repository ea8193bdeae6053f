#include "wexxml/wexxml_catalog.h"

namespace Nul {

char const *const wexxml_catalog[] = {
    "wexxml 33",
    "TLQSV0672E Unable to initialize Xerces-c.",
    "TLQSV0673E Xerces XMLException: code: %d, line: %d, msg: %d.",
    "TLQSV0674E Xerces DOMException: code: %d, msg: %s.",
    "TLQSV0675E Xerces SAXParseException: line: %ld, column: %ld, msg: %s.",
    "TLQSV0676E Unrecognized exception from Xerces while parsing XML.",
    "TLQSV0677E Internal Error: %s: Element '%s' is-empty mismatch; expected %d, got %d.",
    "TLQSV0678E Internal Error: %s: Missing required child '%s' under '%s'.",
    "TLQSV0679E Internal Error: %s: Tag Mismatch, expected '%s' got '%s'.",
    "TLQSV0680E Internal Error: %s: nil element.",
    "TLQSV0681E Internal Error: %s: Element '%s' has no children.",
    "TLQSV0682E Elem::check_is_empty()",
    "TLQSV0683E Elem::check_is_nil()",
    "TLQSV0684E Elem::child()",
    "TLQSV0685E Elem::match()",
    "TLQSV0686E Attribute::match()",
    "TLQSV0687E Internal Error: %s: nil attribute.",
    "TLQSV0688E Document had already been closed.",
    "TLQSV0689E Document is in unrecognized state.",
    "TLQSV0690E There are one or more active pushed elements.",
    "TLQSV0691E Document is not in DOC_CLOSE_PENDING state.",
    "TLQSV0692E Document must have open element(s) to add an attribute.",
    "TLQSV0693E CDATA text contains termination string, '%s' for arg: '%s' with value: '%s'",
    "TLQSV0694E Document must have open element(s) to add an element text body.",
    "TLQSV0695E Popped element doesn't match active element.",
    "TLQSV0696E Document state disallows adding a start tag.",
    "TLQSV0697E XmlDoc::close() hasn't been called.",
    "TLQSV0698E Namespace cannot be added after partial output.",
    "TLQSV0699E Document must be started in order to get output.",
    "TLQSV0700E Bad read on XML input stream",
    "TLQSV0701E Not valid XML stream",
    "TLQSV0702E SaxParser::Elem::opt_child() illegally called after call to next_child",
    "TLQSV0703E SaxParser::Elem::child() illegally called after call to next_child",
    "TLQSV0704E %s",
};

static_assert(sizeof(wexxml_catalog) / sizeof(wexxml_catalog[0]) == 34, "entry 0 and 33 messages");
static_assert(WEXXML_SCAN_ERROR == 33, "indexes follow the table");

} // namespace Nul
