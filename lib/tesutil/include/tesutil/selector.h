// Nul::Selector: the text name of one resource (provider domain, namespace, object name, repository).
#pragma once

#include <cstdint>
#include <vector>

#include "tesutil/ustring.h"
#include "tesutil/xmltag.h"

namespace Nul {

// Text form: [domain "."] [namespace ["." resource type] ":"] object name ["@" repository], for
// example kx.record:name@db, kx.repo.kx-record:id@db, kx.dbset:db. Names are kept escaped: "%" escapes
// "%", ":", "@", "/" and "\" inside a segment; "/" separates segments.
class Selector {
public:
    enum namespace_t : std::int32_t {
        NS_ACTION = 0,
        NS_ACTIVITY,
        NS_ATTYPE,
        NS_BASELINE,
        NS_BRTYPE,
        NS_COMPONENT,
        NS_DBID,
        NS_DBSET,
        NS_DEFAULT,
        NS_DOMAINSERVER,
        NS_CHOICELIST,
        NS_ELTYPE,
        NS_FAST,
        NS_FIELD,
        NS_FILE,
        NS_FOLDER,
        NS_FORM,
        NS_GROUP,
        NS_HLINK,
        NS_HLTYPE,
        NS_HOOK,
        NS_HTTP,
        NS_HTTPS,
        NS_INVALID,
        NS_LBTYPE,
        NS_LEGACYSERVER,
        NS_NONE,
        NS_OID,
        NS_PNAME,
        NS_IMPLICIT,
        NS_POOL,
        NS_PROJECT,
        NS_PROJCONFIG,
        NS_QUERY,
        NS_RECORD,
        NS_REGISTRYREGION,
        NS_REPLICA,
        NS_REPLICAUUID,
        NS_REPO,
        NS_RPTYPE,
        NS_STREAM,
        NS_TRTYPE,
        NS_USER,
        NS_USERDB,
        NS_VIEWTAG,
        NS_VIEWUUID,
        NS_VOB,
        NS_VOBTAG,
        NS_VOBTAGASDIRECTORY,
        NS_WORKSPACE,
        NS_BRANCH,
        NS_VOBUUID,
        NS_TASK,
        NUM_NAMESPACES
    };

    enum provider_domain_t : std::int32_t {
        DOMAIN_VT = 0,
        DOMAIN_KX = 1,
        DOMAIN_INVALID = 2,
        DOMAIN_NONE = 3,
        DOMAIN_CMI = 4,
        NUM_DOMAINS
    };

    static constexpr wchar_t NAMESPACE_SEP = L':';
    static constexpr wchar_t REPOSITORY_SEP = L'@';
    static constexpr wchar_t SEGMENT_SEP = L'/';
    static constexpr wchar_t OTHER_SEGMENT_SEP = L'\\';
    static constexpr wchar_t DOMAIN_SEP = L'.';
    static constexpr wchar_t ESCAPE = L'%';

    Selector();
    Selector(namespace_t ns, UString const &object_name, provider_domain_t domain, UString const &repository);
    // An object-identifier selector (namespace repo) of the given resource type.
    Selector(XmlTag::Id type, UString const &object_name, provider_domain_t domain, UString const &repository);
    // Parses the text; StateException (TLQSV0671E with the reason) when it is not a selector.
    explicit Selector(UString const &text);
    Selector(Selector const &other) = default;
    Selector &operator=(Selector const &other) = default;
    ~Selector() = default;

    namespace_t nmspace() const { return ns_; }
    provider_domain_t provider_domain() const { return domain_; }
    XmlTag::Id resource_type() const { return type_; }
    UString const &object_name() const { return object_name_; }
    UString const &repository_name() const { return repository_; }
    std::vector<UString> object_name_segments() const;
    std::vector<UString> repository_name_segments() const;

    bool is_nil() const;
    bool is_object_id_selector() const { return ns_ == NS_REPO; }
    bool is_object_name_selector() const { return ns_ != NS_FILE && ns_ != NS_HTTP && ns_ != NS_REPO; }
    bool is_repository_nmspace() const { return ns_ == NS_DBSET || ns_ == NS_USERDB || ns_ == NS_VOB; }
    bool is_repository_type() const;

    // The names of the tables; empty for a value outside them.
    static UString namespace_string(namespace_t ns);
    static UString provider_domain_string(provider_domain_t domain);
    static UString encode_segment(UString const &segment);
    static UString decode_string(UString const &text);
    static UString canonical_segment_sep() { return UString(L"/"); }

    // The form the server prints; computed once and kept.
    UString const &to_string_with_domain() const;
    // The older form: [namespace ["/" type] ":"] object name "@" [domain "."] repository.
    UString selector() const;

    Selector recompose_with_name(UString const &name) const;
    // One level up: the object name loses its last segment, then the repository name; then the
    // resource type, the namespace and the domain are dropped in that order.
    Selector parent() const;
    // The object name extended by the segments of `name`; the namespace becomes `ns` unless NONE.
    Selector child(UString const &name, namespace_t ns) const;

private:
    namespace_t ns_ = NS_NONE;
    provider_domain_t domain_ = DOMAIN_NONE;
    XmlTag::Id type_ = XmlTag::NIL_TAG;
    UString object_name_;
    UString repository_;
    mutable UString text_; // cache of to_string_with_domain
};

} // namespace Nul
