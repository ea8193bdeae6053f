#include "props/acl_xml.h"

#include <vector>

#include "target/queryutil.h"
#include "tesutil/selector.h"
#include "tesutil/xmltag.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"

namespace KxRpc {
namespace AclXml {

namespace {

using Tag = Nul::XmlTag;

constexpr wchar_t const *bad_acl_text = L"Incorrect XML for ACL List";

[[noreturn]] void internal_error(wchar_t const *text) {
    throw_internal_error(kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(text)));
}

struct KindTag {
    int kind;
    int tag;
};
constexpr KindTag kind_tags[] = {
    {AD_PERM_NO_ACCESS, Tag::KX_permission_no_access},   {AD_PERM_READ_ONLY, Tag::KX_permission_read_only},
    {AD_PERM_READ_WRITE, Tag::KX_permission_read_write}, {AD_PERM_READ_LIMITED, Tag::KX_permission_read_limited},
    {AD_PERM_CHANGE, Tag::KX_permission_change},
};

Tag::Id id(int tag) { return static_cast<Tag::Id>(tag); }

// The group an entry's principal names: by name in an object-name selector, by dbid otherwise;
// 0 when the text is no selector or names no group of the set.
int64_t principal_group(AdAccessControlMgrPtr const &acl, Nul::DomParser::Elem principal) {
    Nul::DomParser::Elem name = principal.opt_child(id(Tag::ACL_acl_principal_name));
    if (name.is_nil()) return 0;
    Nul::Selector selector;
    try {
        selector = Nul::Selector(name.data());
    } catch (Nul::STPException const &) {
        return 0;
    }
    Nul::UString const object = Nul::Selector::decode_string(selector.object_name());
    if (object.empty()) return 0;
    if (selector.is_object_name_selector()) return acl->LookupGroupByName(cstr(object));
    bool ok = false;
    unsigned long dbid = parse_unsigned(object, ok);
    if (!ok || dbid == 0 || acl->LookupGroupByDbId(static_cast<int64_t>(dbid)).IsEmpty()) return 0;
    return static_cast<int64_t>(dbid);
}

} // namespace

int kind_to_tag(int kind) {
    for (KindTag const &k : kind_tags)
        if (k.kind == kind) return k.tag;
    internal_error(L"Unknown permission kind");
}

int tag_to_kind(int tag) {
    for (KindTag const &k : kind_tags)
        if (k.tag == tag) return k.kind;
    internal_error(L"Unknown permission kind");
}

Nul::UString group_selector(AdSessionPtr const &session, Nul::UString const &group) {
    Nul::Selector selector(Nul::Selector::NS_GROUP, Nul::Selector::encode_segment(group), Nul::Selector::DOMAIN_KX,
                           ustr(session->GetSessionDbSetName()));
    return selector.to_string_with_domain();
}

void write_permission_xml(AdSessionPtr const &session, AdBucketPtr const &inherited_from, AdBucketPtr const &controlled,
                          Nul::UString const &group, int kind, Nul::XmlDoc::Elem &entry) {
    int const kind_tag = kind_to_tag(kind);
    Nul::XmlDoc::Elem principal(id(Tag::ACL_acl_principal));
    principal.add_elem(id(Tag::ACL_acl_principal_name), group_selector(session, group), true);
    Nul::XmlDoc::Elem principal_kind(id(Tag::ACL_acl_principal_kind));
    principal_kind.add_elem(Nul::XmlDoc::Elem(id(Tag::ACL_acl_principal_kind_group)));
    principal.add_elem(principal_kind);
    entry.add_elem(principal);
    Nul::XmlDoc::Elem privilege(id(Tag::ACL_acl_privilege));
    privilege.add_elem(Nul::XmlDoc::Elem(id(kind_tag)));
    entry.add_elem(privilege);
    if (inherited_from)
        entry.add_elem(id(Tag::ACL_resource), QueryUtil::bucket_selector(session, inherited_from), true);
    if (controlled)
        entry.add_elem(id(Tag::ACL_controlled_resource), QueryUtil::bucket_selector(session, controlled), true);
}

AdPermissionSetPtr read_acl_xml(AdSessionPtr const &session, Nul::DomParser::Elem root) {
    AdAccessControlMgrPtr acl = GetAccessControlMgr(session);
    std::vector<AdFolderPermissionPtr> permissions;
    for (Nul::DomParser::Elem entry = root.next_child(); !entry.is_nil(); entry = root.next_child()) {
        int64_t group = 0;
        int kind = 0;
        for (Nul::DomParser::Elem part = entry.next_child(); !part.is_nil(); part = entry.next_child()) {
            if (part.tag() == Tag::ACL_acl_principal) {
                group = principal_group(acl, part);
            } else if (part.tag() == Tag::ACL_acl_privilege) {
                Nul::DomParser::Elem first = part.next_child();
                if (first.is_nil()) internal_error(bad_acl_text);
                kind = tag_to_kind(first.tag());
            }
        }
        // A group the set does not know is refused, never stored under dbid 0.
        if (group == 0 || kind == 0) internal_error(bad_acl_text);
        AdFolderPermissionPtr permission = acl->BuildPermission();
        permission->SetGroup(group);
        permission->SetKind(kind);
        permissions.push_back(permission);
    }
    return acl->BuildPermissionSet(permissions);
}

} // namespace AclXml
} // namespace KxRpc
