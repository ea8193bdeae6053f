// The access-control XML of workspace folders (the ACL: vocabulary): one ACL:acl-entry per group
// permission, written from the product's permissions and read back into a permission set.
#pragma once

#include "kxproduct/security.h"
#include "tesutil/ustring.h"
#include "wexxml/domparser.h"
#include "wexxml/xmldoc.h"

namespace KxRpc {
namespace AclXml {

// The XML tag of a permission kind (1 no access .. 5 change) and back; any other value raises
// an internal error "Unknown permission kind".
int kind_to_tag(int kind);
int tag_to_kind(int tag);

// "kx.group:<name>@<set>" of a group in the session's database set.
Nul::UString group_selector(AdSessionPtr const &session, Nul::UString const &group);

// Appends to `entry` the principal (the group), the privilege (the kind), then the folder the kind
// is inherited from and the controlled folder, each when given.
void write_permission_xml(AdSessionPtr const &session, AdBucketPtr const &inherited_from, AdBucketPtr const &controlled,
                          Nul::UString const &group, int kind, Nul::XmlDoc::Elem &entry);

// Every child of `root` is one entry naming a group of the set and a kind; the entries become the
// permissions of a new set in document order. An entry without a known group or without a kind
// raises an internal error "Incorrect XML for ACL List"; nothing is half read.
AdPermissionSetPtr read_acl_xml(AdSessionPtr const &session, Nul::DomParser::Elem root);

} // namespace AclXml
} // namespace KxRpc
