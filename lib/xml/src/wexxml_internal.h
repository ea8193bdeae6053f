// Library-internal values and failure helpers shared by the readers and the start-up code.
#pragma once

#include "tesutil/ustring.h"
#include "tesutil/xmltag.h"
#include "wexxml/xml_limits.h"

namespace Nul::wexxml {

#define WEXXML_HIDDEN __attribute__((visibility("hidden")))

// The writer's markup pieces, built once at load.
struct Markup {
    UString lt{L"<"}, gt{L">"}, empty_end{L"/>"}, end_open{L"</"};
    UString cdata_open{L"<![CDATA["}, cdata_close{L"]]>"}, colon{L":"};
    UString encoding{L"UTF-8"}, xmlns{L" xmlns"};
    UString declaration{UString(L"<?xml version=\"1.0\" encoding=\"") + encoding + L"\"?>"};
};
extern Markup const markup;

// The incremental reader's own copy of the xmlns namespace name.
extern UString const sax_xmlns_namespace;

// Whether Xerces-C initialised at load for the DOM reader and for the incremental reader.
WEXXML_HIDDEN bool dom_ready();
WEXXML_HIDDEN bool sax_ready();
// The version line written into buf (at least 128 bytes) with sprintf; returns what sprintf returns.
WEXXML_HIDDEN int sprint_verid(char *buf);

// 0680E / 0687E for `<owner>::<method>()` on a nil handle.
[[noreturn]] void raise_nil_element(char const *owner, char const *method);
[[noreturn]] void raise_nil_attribute(char const *owner, char const *method);
// 0679E naming the operation (0685E for elements, 0686E for attributes).
[[noreturn]] void raise_tag_mismatch(int operation, XmlTag::Id expected, XmlTag::Id actual);
// 0677E, 0678E and 0681E.
[[noreturn]] void raise_is_empty_mismatch(XmlTag::Id tag, bool expected, bool actual);
[[noreturn]] void raise_missing_child(XmlTag::Id wanted, XmlTag::Id parent);
[[noreturn]] void raise_no_children(XmlTag::Id parent);

// The explanations the readers give when a document breaks one of XmlLimits.
UString too_large_text();
UString too_deep_text();
UString too_many_attributes_text();
UString doctype_text();

} // namespace Nul::wexxml
