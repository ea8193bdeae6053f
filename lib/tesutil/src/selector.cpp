#include "tesutil/selector.h"

#include <unicode/unistr.h>

#include "tesutil/stpexception.h"
#include "tesutil/umessage.h"
#include "xmltag_internal.h"

namespace Nul {

namespace {

// Plain constant data, readable before any constructor of the library has run.
constexpr char16_t const *namespace_names[Selector::NUM_NAMESPACES] = {
    u"action",         u"activity", u"attype",       u"baseline",   u"brtype",       u"component", u"dbid",
    u"dbset",          u"DEFAULT",  u"domainserver", u"choicelist", u"eltype",       u"fast",      u"field",
    u"file",           u"folder",   u"form",         u"group",      u"hlink",        u"hltype",    u"hook",
    u"http",           u"https",    u"INVALID",      u"lbtype",     u"legacyserver", u"NONE",      u"oid",
    u"pname",          u"implicit", u"pool",         u"project",    u"projconfig",   u"query",     u"record",
    u"registryregion", u"replica",  u"replicauuid",  u"repo",       u"rptype",       u"stream",    u"trtype",
    u"user",           u"userdb",   u"viewtag",      u"viewuuid",   u"vob",          u"vobtag",    u"vobtagasdirectory",
    u"workspace",      u"branch",   u"vobuuid",      u"task",
};

constexpr char16_t const *domain_names[Selector::NUM_DOMAINS] = {u"vt", u"kx", u"<invalid>", u"", u"cmi"};

// The delimiters that a segment escapes, in the order of escaping and unescaping.
constexpr char16_t escaped_delimiters[] = {u'%', u':', u'@', u'/', u'\\'};

bool printable_namespace(Selector::namespace_t ns) {
    return ns >= 0 && ns < Selector::NUM_NAMESPACES && ns != Selector::NS_DEFAULT && ns != Selector::NS_INVALID &&
           ns != Selector::NS_NONE;
}

bool printable_domain(Selector::provider_domain_t domain) {
    return domain >= 0 && domain < Selector::NUM_DOMAINS && domain != Selector::DOMAIN_NONE &&
           domain != Selector::DOMAIN_INVALID;
}

template <std::size_t N>
int index_of(char16_t const *const (&names)[N], UString const &name) {
    for (std::size_t i = 0; i < N; ++i)
        if (name.icu() == icu::UnicodeString(names[i])) return static_cast<int>(i);
    return -1;
}

// The first `sep` at or after `from` that "%" does not escape; -1 when there is none. A separator is
// escaped only when an odd run of "%" precedes it, since "%%" is an escaped "%" itself.
int32_t find_unescaped(icu::UnicodeString const &s, char16_t sep, int32_t from) {
    int32_t percents = 0;
    for (int32_t i = from; i < s.length(); ++i) {
        char16_t c = s.charAt(i);
        if (c == sep && percents % 2 == 0) return i;
        percents = c == u'%' ? percents + 1 : 0;
    }
    return -1;
}

// Splits at unescaped `sep`, dropping empty segments.
std::vector<UString> split(UString const &text, char16_t sep) {
    std::vector<UString> out;
    icu::UnicodeString const &s = text.icu();
    int32_t start = 0;
    for (int32_t i = find_unescaped(s, sep, 0); i >= 0; i = find_unescaped(s, sep, start)) {
        if (i > start) out.emplace_back(icu::UnicodeString(s, start, i - start));
        start = i + 1;
    }
    if (s.length() > start) out.emplace_back(icu::UnicodeString(s, start));
    return out;
}

UString join(std::vector<UString> const &segments, std::size_t count) {
    UString out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i) out.append(L'/');
        out.append(segments[i]);
    }
    return out;
}

// All but the last segment of a name; false when the name has no segment at all.
bool drop_last_segment(UString &name) {
    std::vector<UString> segments = split(name, u'/');
    if (segments.empty()) return false;
    name = join(segments, segments.size() - 1);
    return true;
}

[[noreturn]] void raise_invalid(UString const &text, UString const &reason) {
    StateException::raise(UMessage(wexutil_catalog, WEXUTIL_BAD_SELECTOR, text, reason));
}

UString with_segment(wchar_t const *reason, UString const &segment) { return UString(reason) + segment; }

} // namespace

Selector::Selector() = default;

Selector::Selector(namespace_t ns, UString const &object_name, provider_domain_t domain, UString const &repository)
    : ns_(ns), domain_(domain), object_name_(object_name), repository_(repository) {}

Selector::Selector(XmlTag::Id type, UString const &object_name, provider_domain_t domain, UString const &repository)
    : ns_(NS_REPO), domain_(domain), type_(type), object_name_(object_name), repository_(repository) {}

Selector::Selector(UString const &text) {
    icu::UnicodeString const &s = text.icu();
    int32_t colon = s.indexOf(u':');
    if (colon < 0) raise_invalid(text, UString(L"missing namespace seperator: \":\""));

    // A prefix without any segment (the text starts with ":") names no domain.
    std::vector<UString> prefix = split(UString(icu::UnicodeString(s, 0, colon)), u'.');
    if (!prefix.empty()) {
        int domain = index_of(domain_names, prefix[0]);
        if (domain < 0) raise_invalid(text, with_segment(L"unknown provider domain: ", prefix[0]));
        domain_ = provider_domain_t(domain);
    }
    std::size_t used = prefix.empty() ? 0 : 1;
    if (prefix.size() > 1) {
        int ns = index_of(namespace_names, prefix[1]);
        if (ns < 0) raise_invalid(text, with_segment(L"unknown namespace: ", prefix[1]));
        ns_ = namespace_t(ns);
        used = 2;
    }
    if (ns_ == NS_REPO && prefix.size() > 2) {
        // Only the fixed vocabulary: names sent from outside must not create tags.
        XmlTag const *type = find_predefined_tag(XmlTag::NS_RES, prefix[2]);
        if (!type) raise_invalid(text, with_segment(L"unknown resource type: ", prefix[2]));
        type_ = type->id();
        used = 3;
    }
    if (prefix.size() > used)
        raise_invalid(text, with_segment(L"extra segment before name and repository: ", prefix[used]));

    int32_t rest = colon + 1;
    if (rest >= s.length()) raise_invalid(text, UString(L"no name or repository segments"));
    if (is_repository_nmspace()) {
        repository_ = UString(icu::UnicodeString(s, rest));
        return;
    }
    // An escaped "@" belongs to the name: encode_segment writes one for every "@" of a name.
    int32_t at = find_unescaped(s, u'@', rest);
    if (at < 0) raise_invalid(text, UString(L"missing repository seperator: \"@\""));
    if (at == rest && !is_repository_type()) raise_invalid(text, UString(L"no name for non-repository resource type"));
    object_name_ = UString(icu::UnicodeString(s, rest, at - rest));
    if (at + 1 >= s.length()) raise_invalid(text, UString(L"no repository segment"));
    repository_ = UString(icu::UnicodeString(s, at + 1));
}

std::vector<UString> Selector::object_name_segments() const { return split(object_name_, u'/'); }

std::vector<UString> Selector::repository_name_segments() const { return split(repository_, u'/'); }

bool Selector::is_nil() const {
    return (ns_ == NS_NONE || ns_ == NS_DEFAULT) && domain_ == DOMAIN_NONE && type_ == 0 && object_name_.empty() &&
           repository_.empty();
}

bool Selector::is_repository_type() const {
    return type_ == XmlTag::RES_kx_dbset || type_ == XmlTag::RES_kx_userdb || type_ == XmlTag::RES_vob;
}

UString Selector::namespace_string(namespace_t ns) {
    return ns >= 0 && ns < NUM_NAMESPACES ? UString(namespace_names[ns]) : UString();
}

UString Selector::provider_domain_string(provider_domain_t domain) {
    return domain >= 0 && domain < NUM_DOMAINS ? UString(domain_names[domain]) : UString();
}

UString Selector::encode_segment(UString const &segment) {
    icu::UnicodeString s = segment.icu();
    for (char16_t d : escaped_delimiters) {
        icu::UnicodeString from(d), to(u'%');
        to.append(d);
        s.findAndReplace(from, to);
    }
    s.findAndReplace(icu::UnicodeString(u"%@%@"), icu::UnicodeString(u"@@"));
    return UString(s);
}

UString Selector::decode_string(UString const &text) {
    icu::UnicodeString s = text.icu();
    for (char16_t d : escaped_delimiters) {
        icu::UnicodeString from(u'%');
        from.append(d);
        s.findAndReplace(from, icu::UnicodeString(d));
    }
    return UString(s);
}

UString const &Selector::to_string_with_domain() const {
    if (!text_.empty()) return text_;
    UString text;
    bool with_ns = printable_namespace(ns_);
    if (printable_domain(domain_)) {
        text.append(provider_domain_string(domain_));
        text.append(with_ns ? L'.' : L':');
    }
    if (with_ns) {
        text.append(namespace_string(ns_));
        if (ns_ == NS_REPO && type_ != 0) text.append(L'.').append(XmlTag::lookup(type_).simple_name());
        text.append(L':');
    }
    text.append(object_name_);
    if (!repository_.empty()) {
        if (!object_name_.empty() || ns_ == NS_REPO) text.append(L'@');
        text.append(repository_);
    }
    text_ = text;
    return text_;
}

UString Selector::selector() const {
    UString text;
    if (printable_namespace(ns_)) {
        text.append(namespace_string(ns_));
        if (ns_ == NS_REPO && type_ != 0) text.append(L'/').append(XmlTag::lookup(type_).simple_name());
        text.append(L':');
    }
    text.append(object_name_).append(L'@');
    if (printable_domain(domain_)) text.append(provider_domain_string(domain_)).append(L'.');
    text.append(repository_);
    return text;
}

Selector Selector::recompose_with_name(UString const &name) const {
    Selector out(*this);
    out.text_.clear();
    out.object_name_ = name;
    return out;
}

Selector Selector::parent() const {
    Selector out(*this);
    out.text_.clear();
    if (drop_last_segment(out.object_name_) || drop_last_segment(out.repository_)) return out;
    if (out.type_ != 0)
        out.type_ = XmlTag::NIL_TAG;
    else if (out.ns_ != NS_NONE)
        out.ns_ = NS_NONE;
    else if (out.domain_ != DOMAIN_NONE)
        out.domain_ = DOMAIN_NONE;
    return out;
}

Selector Selector::child(UString const &name, namespace_t ns) const {
    Selector out(*this);
    out.text_.clear();
    std::vector<UString> segments = split(object_name_, u'/');
    for (UString &s : split(name, u'/')) segments.push_back(std::move(s));
    out.object_name_ = join(segments, segments.size());
    if (ns != NS_NONE) out.ns_ = ns;
    return out;
}

} // namespace Nul
