// Library-internal access to the tag registry.
#pragma once

#include "tesutil/xmltag.h"

namespace Nul {

// The predefined tag of that name in a well-known namespace, or null. Never creates a tag, so text
// from outside can be checked against the vocabulary without growing the registry.
XmlTag const *find_predefined_tag(XmlTag::NsId ns, UString const &simple_name);

} // namespace Nul
