#include <string>

#include "tesutil/stpexception.h"
#include "wexxml/wexxml_catalog.h"
#include "wexxml_internal.h"

namespace Nul::wexxml {

namespace {
UString operation_text(int index) { return UMessage::sprintf(wexxml_catalog, index); }
// Names come from the document, so their text is cut like any other echo.
UString tag_text(XmlTag::Id id) { return UMessage::echo(XmlTag::lookup(id).to_string()); }
UString limit_text(char const *what, long bound) { return UMessage::sprintf(what, bound); }
std::string where(char const *owner, char const *method) { return std::string(owner) + "::" + method + "()"; }
} // namespace

void raise_nil_element(char const *owner, char const *method) {
    StateException::raise(UMessage(wexxml_catalog, WEXXML_NIL_ELEMENT, where(owner, method)));
}

void raise_nil_attribute(char const *owner, char const *method) {
    StateException::raise(UMessage(wexxml_catalog, WEXXML_NIL_ATTRIBUTE, where(owner, method)));
}

void raise_tag_mismatch(int operation, XmlTag::Id expected, XmlTag::Id actual) {
    StateException::raise(
        UMessage(wexxml_catalog, WEXXML_TAG_MISMATCH, operation_text(operation), tag_text(expected), tag_text(actual)));
}

void raise_is_empty_mismatch(XmlTag::Id tag, bool expected, bool actual) {
    StateException::raise(UMessage(wexxml_catalog, WEXXML_IS_EMPTY_MISMATCH, operation_text(WEXXML_OP_CHECK_IS_EMPTY),
                                   tag_text(tag), expected ? 1 : 0, actual ? 1 : 0));
}

void raise_missing_child(XmlTag::Id wanted, XmlTag::Id parent) {
    StateException::raise(UMessage(wexxml_catalog, WEXXML_MISSING_CHILD, operation_text(WEXXML_OP_CHILD),
                                   tag_text(wanted), tag_text(parent)));
}

void raise_no_children(XmlTag::Id parent) {
    StateException::raise(
        UMessage(wexxml_catalog, WEXXML_NO_CHILDREN, operation_text(WEXXML_OP_CHILD), tag_text(parent)));
}

UString too_large_text() {
    return limit_text("the document is longer than %ld bytes", static_cast<long>(XmlLimits::max_document_bytes));
}

UString too_deep_text() { return limit_text("elements are nested deeper than %ld levels", XmlLimits::max_depth); }

UString too_many_attributes_text() {
    return limit_text("an element has more than %ld attributes", XmlLimits::max_attributes);
}

UString doctype_text() { return UString(L"a DOCTYPE declaration is not accepted"); }

} // namespace Nul::wexxml
