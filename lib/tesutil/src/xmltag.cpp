#include "tesutil/xmltag.h"

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>

#include "tesutil/critsec.h"
#include "tesutil/stpexception.h"
#include "tesutil/umessage.h"
#include "xmltag_internal.h"
#include "xmltag_table.h"

namespace Nul {

namespace xd = xmltag_data;

struct XmlTag::Namespace {
    UString const *uri; // the well-known table's URI, or own_uri
    XmlTag::NsId nsid;
    bool search_predefined;
    std::unordered_map<UString, XmlTag const *> run_time; // guarded by the registry lock
    std::vector<XmlTag const *> predefined;               // sorted by name once loaded; read-only then
    UString own_uri;
};

namespace {

bool name_less(XmlTag const *tag, UString const &name) { return tag->simple_name().compare(name) < 0; }
bool uri_less(XmlTag::Namespace const *ns, UString const &uri) { return ns->uri->compare(uri) < 0; }

[[noreturn]] void raise_internal_error(char const *operation, int line) {
    StateException::raise(
        UMessage(wexutil_catalog, WEXUTIL_INTERNAL_ERROR, operation, std::to_string(line), "xmltag.cpp"));
}

} // namespace

// The process-wide registry. It is built on first use (so a static initialiser of any library may
// already look tags up) and never destroyed, so tags stay valid during process exit as well.
class XmlTagRegistry {
public:
    static XmlTagRegistry &get() {
        static XmlTagRegistry *registry = new XmlTagRegistry;
        return *registry;
    }

    XmlTag const &by_id(XmlTag::Id id) {
        if (id < 0) IllegalArgException::raise(UMessage(wexutil_catalog, WEXUTIL_LOOKUP_ILLEGAL_ID));
        if (id < XmlTag::FIRST_RUN_TIME_ID) {
            XmlTag const *tag = predefined_[id];
            if (!tag) raise_internal_error("XmlTag::lookup", __LINE__);
            return *tag;
        }
        CriticalSection guard(lock_);
        if (id >= next_id_) IllegalArgException::raise(UMessage(wexutil_catalog, WEXUTIL_LOOKUP_ILLEGAL_ID));
        std::int32_t n = id - XmlTag::FIRST_RUN_TIME_ID;
        return *blocks_[n / XmlTag::RUN_TIME_BLOCK_SIZE][n % XmlTag::RUN_TIME_BLOCK_SIZE];
    }

    XmlTag::Namespace *by_nsid(XmlTag::NsId nsid) {
        if (nsid < 0) IllegalArgException::raise(UMessage(wexutil_catalog, WEXUTIL_LOOKUP_ILLEGAL_NS));
        if (nsid < XmlTag::NUM_WK_NAMESPACES) return wk_[nsid].ns;
        CriticalSection guard(lock_);
        if (static_cast<std::size_t>(nsid) >= sorted_.size())
            IllegalArgException::raise(UMessage(wexutil_catalog, WEXUTIL_LOOKUP_ILLEGAL_NS));
        return run_time_ns_[nsid - XmlTag::NUM_WK_NAMESPACES];
    }

    // Finds the namespace of a URI, creating a run-time one for a URI met for the first time.
    XmlTag::Namespace *by_uri(UString const &uri) {
        CriticalSection guard(lock_);
        auto at = std::lower_bound(sorted_.begin(), sorted_.end(), uri, uri_less);
        if (at != sorted_.end() && (*at)->uri->compare(uri) == 0) return *at;
        if (run_time_ns_.size() >= static_cast<std::size_t>(XmlTag::MAX_RUN_TIME_NAMESPACES)) raise_full();
        take_text(uri);
        auto *ns = new XmlTag::Namespace{nullptr, XmlTag::NsId(sorted_.size()), false, {}, {}, uri};
        ns->uri = &ns->own_uri;
        run_time_ns_.push_back(ns);
        sorted_.insert(at, ns);
        return ns;
    }

    XmlTag const &by_name(XmlTag::Namespace *ns, UString const &name) {
        if (ns->search_predefined) {
            auto at = std::lower_bound(ns->predefined.begin(), ns->predefined.end(), name, name_less);
            if (at != ns->predefined.end() && (*at)->simple_name().compare(name) == 0) return **at;
        }
        CriticalSection guard(lock_);
        auto found = ns->run_time.find(name);
        if (found != ns->run_time.end()) return *found->second;
        // Creation happens inside this one locked step, so racing threads get the same tag.
        std::int32_t n = next_id_ - XmlTag::FIRST_RUN_TIME_ID;
        if (n >= XmlTag::MAX_RUN_TIME_TAGS) raise_full();
        take_text(name);
        if (static_cast<std::size_t>(n / XmlTag::RUN_TIME_BLOCK_SIZE) == blocks_.size())
            blocks_.push_back(std::make_unique<XmlTag const *[]>(XmlTag::RUN_TIME_BLOCK_SIZE));
        auto *tag = new XmlTag(ns, name, XmlTag::Id(next_id_));
        blocks_[n / XmlTag::RUN_TIME_BLOCK_SIZE][n % XmlTag::RUN_TIME_BLOCK_SIZE] = tag;
        ++next_id_;
        ns->run_time.emplace(name, tag);
        return *tag;
    }

    // Predefined data only: no lock, and nothing is ever created.
    XmlTag const *find_predefined(XmlTag::NsId nsid, UString const &name) const {
        if (nsid < 0 || nsid >= XmlTag::NUM_WK_NAMESPACES) return nullptr;
        auto const &list = wk_[nsid].ns->predefined;
        auto at = std::lower_bound(list.begin(), list.end(), name, name_less);
        return at != list.end() && (*at)->simple_name().compare(name) == 0 ? *at : nullptr;
    }

    UString const &ns_uri(XmlTag::NsId nsid) {
        if (nsid < 0) raise_illegal_value("XmlTag::ns_URI");
        if (nsid < XmlTag::NUM_WK_NAMESPACES) return wk_[nsid].uri;
        CriticalSection guard(lock_);
        if (static_cast<std::size_t>(nsid) >= sorted_.size()) raise_illegal_value("XmlTag::ns_URI");
        return *run_time_ns_[nsid - XmlTag::NUM_WK_NAMESPACES]->uri;
    }

    UString const &ns_abbreviation(XmlTag::NsId nsid) const {
        if (nsid < 0 || nsid >= XmlTag::NUM_WK_NAMESPACES) raise_illegal_value("XmlTag::ns_abbreviation");
        return wk_[nsid].abbreviation;
    }

    XmlTag::NsId ns_lookup_abbreviation(UString const &abbreviation) const {
        for (int i = 0; i < XmlTag::NUM_WK_NAMESPACES; ++i)
            if (wk_[i].abbreviation.compare(abbreviation) == 0) return XmlTag::NsId(i);
        return XmlTag::NO_NS;
    }

    bool is_well_known(UString const &uri) {
        CriticalSection guard(lock_);
        auto at = std::lower_bound(sorted_.begin(), sorted_.end(), uri, uri_less);
        return at != sorted_.end() && (*at)->uri->compare(uri) == 0 && (*at)->nsid < XmlTag::NUM_WK_NAMESPACES;
    }

    UString const &empty() const { return empty_; }

private:
    struct WellKnown {
        UString uri;
        UString abbreviation;
        XmlTag::Namespace *ns = nullptr;
    };

    XmlTagRegistry() {
        for (int i = 0; i < XmlTag::NUM_WK_NAMESPACES; ++i) {
            xd::NamespaceRow const &row = xd::wk_namespace_rows[i];
            wk_[i].uri = UString(XmlTag::BASE_URI) + UString(row.path);
            wk_[i].abbreviation = UString(row.abbreviation);
        }
        for (int i = 0; i < XmlTag::NUM_WK_NAMESPACES; ++i) {
            bool searched = i != XmlTag::NS_ATR && i != XmlTag::NS_FLD;
            wk_[i].ns = new XmlTag::Namespace{&wk_[i].uri, XmlTag::NsId(i), searched, {}, {}, {}};
            sorted_.push_back(wk_[i].ns);
        }
        std::sort(sorted_.begin(), sorted_.end(),
                  [](XmlTag::Namespace const *a, XmlTag::Namespace const *b) { return a->uri->compare(*b->uri) < 0; });
        predefined_storage_.reserve(xd::num_predefined_tags); // never reallocated: tags must not move
        for (xd::TagRow const &row : xd::predefined_tag_rows) register_predefined_tag(row);
        for (int i = 0; i < XmlTag::NUM_WK_NAMESPACES; ++i) {
            XmlTag::Namespace *ns = wk_[i].ns;
            if (!ns->search_predefined) continue;
            std::sort(ns->predefined.begin(), ns->predefined.end(),
                      [](XmlTag const *a, XmlTag const *b) { return a->simple_name().compare(b->simple_name()) < 0; });
        }
    }

    void register_predefined_tag(xd::TagRow const &row) {
        UString name(row.name);
        XmlTag::NsId nsid = ns_lookup_abbreviation(UString(row.abbreviation));
        XmlTag::Namespace *ns = name.empty() || nsid == XmlTag::NO_NS ? nullptr : wk_[nsid].ns;
        if (row.id < 0 || row.id >= XmlTag::FIRST_RUN_TIME_ID || predefined_[row.id])
            raise_internal_error("XmlTag::XmlTag", __LINE__);
        predefined_storage_.push_back(XmlTag(ns, name, XmlTag::Id(row.id)));
        XmlTag const *tag = &predefined_storage_.back();
        predefined_[row.id] = tag;
        if (ns) ns->predefined.push_back(tag);
    }

    [[noreturn]] static void raise_illegal_value(char const *operation) {
        IllegalArgException::raise(UMessage(wexutil_catalog, WEXUTIL_ILLEGAL_VALUE, operation));
    }

    [[noreturn]] static void raise_full() { raise_illegal_value("XmlTag::lookup"); }

    // Counts the text a new run-time name or URI keeps; raises, changing nothing, past the bound.
    // Called under lock_ just before the creation, which cannot fail afterwards but for memory.
    void take_text(UString const &text) {
        if (text.length() > static_cast<unsigned>(XmlTag::MAX_RUN_TIME_TEXT_UNITS - text_units_)) raise_full();
        text_units_ += static_cast<std::int32_t>(text.length());
    }

    WellKnown wk_[XmlTag::NUM_WK_NAMESPACES];
    XmlTag const *predefined_[XmlTag::FIRST_RUN_TIME_ID] = {};
    std::vector<XmlTag> predefined_storage_;
    UString empty_;

    // Run-time state, guarded by lock_.
    CriticalSectionLock lock_;
    XmlTag::NamespaceVector sorted_;                        // every namespace, by URI; its size bounds the NsIds
    XmlTag::NamespaceVector run_time_ns_;                   // index NsId - 21
    std::vector<std::unique_ptr<XmlTag const *[]>> blocks_; // blocks never move once allocated
    std::int32_t next_id_ = XmlTag::FIRST_RUN_TIME_ID;
    std::int32_t text_units_ = 0; // run-time names and URIs, at most MAX_RUN_TIME_TEXT_UNITS
};

namespace {
// Loads the vocabulary while the library loads; anything that runs earlier builds it on demand.
[[maybe_unused]] XmlTagRegistry &g_loaded_registry = XmlTagRegistry::get();
} // namespace

UString const XmlTag::EMPTY_NS_PREFIX;

XmlTag const *find_predefined_tag(XmlTag::NsId ns, UString const &simple_name) {
    return XmlTagRegistry::get().find_predefined(ns, simple_name);
}

XmlTag const &XmlTag::lookup(Id id) { return XmlTagRegistry::get().by_id(id); }

XmlTag const &XmlTag::lookup(NsId ns, UString const &simple_name) {
    XmlTagRegistry &registry = XmlTagRegistry::get();
    return registry.by_name(registry.by_nsid(ns), simple_name);
}

XmlTag const &XmlTag::lookup(UString const &ns_uri, UString const &simple_name) {
    XmlTagRegistry &registry = XmlTagRegistry::get();
    return registry.by_name(registry.by_uri(ns_uri), simple_name);
}

UString XmlTag::format(Format f, Id id, UString const &prefix) { return lookup(id).format(f, prefix); }

UString const &XmlTag::ns_URI(NsId ns) { return XmlTagRegistry::get().ns_uri(ns); }

UString const &XmlTag::ns_abbreviation(NsId ns) { return XmlTagRegistry::get().ns_abbreviation(ns); }

XmlTag::NsId XmlTag::ns_lookup_abbreviation(UString const &abbreviation) {
    return XmlTagRegistry::get().ns_lookup_abbreviation(abbreviation);
}

bool XmlTag::is_well_known_namespace(UString const &ns_uri) { return XmlTagRegistry::get().is_well_known(ns_uri); }

XmlTag::NsId XmlTag::ns_id() const { return ns_ ? ns_->nsid : NO_NS; }

UString const &XmlTag::ns() const { return ns_ ? *ns_->uri : XmlTagRegistry::get().empty(); }

bool XmlTag::is_well_known_namespace() const { return ns_ && ns_->nsid < NUM_WK_NAMESPACES; }

UString XmlTag::to_string() const {
    if (id_ == 0) return UString(L"<nil-tag>");
    if (!ns_) return name_;
    UString text;
    text.reserve(ns_->uri->length() + 1 + name_.length());
    text.append(*ns_->uri).append(L'/').append(name_);
    return text;
}

UString XmlTag::format(Format f, UString const &prefix) const {
    UString const &uri = ns();
    UString text;
    text.reserve(2 + prefix.length() + 1 + name_.length() + 9 + uri.length() + 2);
    text.append(L'<');
    if (f == END_TAG) text.append(L'/');
    if (!prefix.empty()) text.append(prefix).append(L':');
    text.append(name_);
    if (prefix.empty() && f != END_TAG) text.append(L" xmlns=\"").append(uri).append(L'"');
    text.append(f == EMPTY_ELEMENT_TAG ? L"/>" : L">");
    return text;
}

bool XmlTag::operator==(XmlTag const &other) const {
    return this == &other || (ns_ == other.ns_ && name_.compare(other.name_) == 0);
}

bool XmlTag::operator<(XmlTag const &other) const {
    if (this == &other) return false;
    if (ns_ != other.ns_) return ns_id() < other.ns_id();
    return name_.compare(other.name_) < 0;
}

} // namespace Nul
