#include <string>

#include "tesutil/stpexception.h"
#include "wexxml/wexxml_catalog.h"
#include "wexxml_internal.h"

namespace Nul::wexxml {

namespace {
UString operation_text(int index) { return UMessage::sprintf(wexxml_catalog, index); }
UString tag_text(XmlTag::Id id) { return XmlTag::lookup(id).to_string(); }
std::string where(char const *owner, char const *method) { return std::string(owner) + "::" + method + "()"; }
} // namespace

void raise_nil_element(char const *owner, char const *method) {
    StateException::raise(UMessage(wexxml_catalog, WEXXML_NIL_ELEMENT, where(owner, method)));
}

void raise_nil_attribute(char const *owner, char const *method) {
    StateException::raise(UMessage(wexxml_catalog, WEXXML_NIL_ATTRIBUTE, where(owner, method)));
}

void raise_tag_mismatch(int operation, XmlTag::Id expected, XmlTag::Id actual) {
    StateException::raise(UMessage(wexxml_catalog, WEXXML_TAG_MISMATCH, operation_text(operation), tag_text(expected),
                                   tag_text(actual)));
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

} // namespace Nul::wexxml
