// Nul::XmlTag: one name of the system's XML vocabulary, and the process-wide registry of tags.
#pragma once

#include <cstdint>
#include <vector>

#include "tesutil/ustring.h"

namespace Nul {

// Every tag handed out by `lookup` is the registry's one object for its (namespace, simple name)
// pair and lives as long as the library; compare tags by id. Ids 0 to 1166 are fixed for the whole
// system (0 is the nil tag); ids from 1167 are created at run time and mean something only inside
// one process. All operations may be called from any thread, and from static initialisers.
class XmlTag {
public:
    // The predefined ids are named in tesutil/xmltag_ids.h.
    enum Id : std::int32_t;

    enum NsId : std::int32_t {
        NO_NS = -1,
        NS_ACL = 0,
        NS_ACT,
        NS_ATR,
        NS_AUTHMODE,
        NS_VT,
        NS_KX,
        NS_CTG,
        NS_EVT,
        NS_FLD,
        NS_FRM,
        NS_FVT,
        NS_GROUP_ACCESS,
        NS_MPN,
        NS_MPT,
        NS_NAMEDVAL,
        NS_PREF,
        NS_RES,
        NS_TEAMPVT,
        NS_TEAM,
        NS_USER_ACCESS,
        NS_VENDOR,
        NUM_WK_NAMESPACES // 21: the first run-time namespace
    };

    enum Format : std::int32_t { START_TAG = 0, END_TAG = 1, EMPTY_ELEMENT_TAG = 2 };

    struct Namespace;
    using NamespaceVector = std::vector<Namespace *>;

    // Every well-known namespace URI is this followed by its "/TEAM..." path.
    static constexpr char16_t BASE_URI[] = u"http://korvax.example";
    static constexpr std::int32_t FIRST_RUN_TIME_ID = 1167;
    static constexpr std::int32_t RUN_TIME_BLOCK_SIZE = 128;
    // Run-time tags and namespaces are kept for the life of the process, and names come from
    // outside (client documents), so their number and text are bounded: a lookup that would
    // create one more past these bounds raises IllegalArgException (TLQSV0654E, "XmlTag::lookup").
    static constexpr std::int32_t MAX_RUN_TIME_TAGS = 16384;
    static constexpr std::int32_t MAX_RUN_TIME_NAMESPACES = 1024;
    // UTF-16 units of run-time simple names and namespace URIs together (2 MiB).
    static constexpr std::int32_t MAX_RUN_TIME_TEXT_UNITS = 1 << 20;
    // The prefix argument of `format` that means "no prefix, declare the namespace inline".
    static UString const EMPTY_NS_PREFIX;

    XmlTag(XmlTag const &other) = default;
    XmlTag &operator=(XmlTag const &other) = default;
    ~XmlTag() = default;

    // Negative or not yet issued run-time id: IllegalArgException (TLQSV0655E); a fixed id that
    // carries no tag: StateException (TLQSV0653E).
    static XmlTag const &lookup(Id id);
    // Creates the tag when missing. Negative or not yet issued NsId: IllegalArgException (TLQSV0656E);
    // a new tag past the run-time bounds: IllegalArgException (TLQSV0654E).
    static XmlTag const &lookup(NsId ns, UString const &simple_name);
    // An unknown URI becomes a run-time namespace, an unknown name a run-time tag; fails only when
    // that would pass the run-time bounds (IllegalArgException, TLQSV0654E).
    static XmlTag const &lookup(UString const &ns_uri, UString const &simple_name);
    static UString format(Format f, Id id, UString const &prefix);
    // Negative or not yet issued NsId: IllegalArgException (TLQSV0654E).
    static UString const &ns_URI(NsId ns);
    // Only the well-known namespaces have one (colon included); others: IllegalArgException (TLQSV0654E).
    static UString const &ns_abbreviation(NsId ns);
    // Exact match, colon included; NO_NS when none matches.
    static NsId ns_lookup_abbreviation(UString const &abbreviation);
    static bool is_well_known_namespace(UString const &ns_uri);

    Id id() const { return id_; }
    NsId ns_id() const;
    // The namespace URI; empty without namespace.
    UString const &ns() const;
    UString const &simple_name() const { return name_; }
    bool is_nil() const { return id_ == 0; }
    bool is_predefined() const { return id_ < FIRST_RUN_TIME_ID; }
    bool is_well_known_namespace() const;
    // "<nil-tag>", or the namespace URI, "/" and the simple name (the simple name alone without namespace).
    UString to_string() const;
    // Markup for the tag; with an empty prefix a start or empty-element tag declares its namespace as
    // the default one (xmlns="" for a tag without namespace), otherwise the prefix qualifies the name.
    UString format(Format f, UString const &prefix) const;

    // Same object, or same namespace and equal simple names; ids are not compared.
    bool operator==(XmlTag const &other) const;
    bool operator!=(XmlTag const &other) const { return !(*this == other); }
    // By namespace (no namespace first, then by NsId), then by simple name.
    bool operator<(XmlTag const &other) const;

private:
    friend class XmlTagRegistry;
    XmlTag(Namespace *ns, UString const &simple_name, Id id) : ns_(ns), name_(simple_name), id_(id) {}

    Namespace *ns_;
    UString name_;
    Id id_;
};

} // namespace Nul

#include "tesutil/xmltag_ids.h"
