#include "wexxml/xmldoc.h"

#include <string>

#include "tesutil/stpexception.h"
#include "wexxml/wexxml_catalog.h"
#include "wexxml_internal.h"

namespace Nul {

namespace {

wexxml::Markup const &mk = wexxml::markup;

constexpr unsigned kReserveStep = 2048;
constexpr unsigned kMinFree = 100;
constexpr unsigned kCdataOverhead = 12; // "<![CDATA[" and "]]>"

[[noreturn]] void state_error(WexxmlMsg index) { StateException::raise(UMessage(wexxml_catalog, index)); }

unsigned count_of(UString const &text, UString const &what) {
    unsigned n = 0;
    for (unsigned at = text.find(what); at != UString::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

void replace_all(UString &text, UString const &what, UString const &with) {
    for (unsigned at = text.find(what); at != UString::npos; at = text.find(what, at + with.length())) {
        text.replace(at, what.length(), with);
    }
}

// Attribute values (and namespace names written as values) between double quotes: everything
// that would end the value or start markup is written as a reference, and so are the white-space
// characters that a reader would otherwise normalise to blanks.
UString escape_value(UString const &value) {
    if (value.find_first_of(L"&<\"\t\n\r") == UString::npos) return value;
    UString out;
    out.reserve(value.length() + 16);
    for (unsigned i = 0; i < value.length(); ++i) {
        unsigned short c = value[i];
        switch (c) {
        case '&':
            out.append(L"&amp;");
            break;
        case '<':
            out.append(L"&lt;");
            break;
        case '"':
            out.append(L"&quot;");
            break;
        case '\t':
            out.append(L"&#9;");
            break;
        case '\n':
            out.append(L"&#10;");
            break;
        case '\r':
            out.append(L"&#13;");
            break;
        default:
            out.append(value.substr(i, 1));
            break;
        }
    }
    return out;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// XmlDoc

XmlDoc::XmlDoc() = default;

XmlDoc::XmlDoc(XmlTag::Id root) { start_doc(root); }

XmlDoc::XmlDoc(Elem const &root) {
    add_elem(root, false);
    close();
}

XmlDoc::~XmlDoc() = default;

UString XmlDoc::escape(UString const &text) {
    static UString const amp(L"&"), amp_ref(L"&amp;"), lt_ref(L"&lt;"), cdata_end_ref(L"]]&gt;");
    UString const &lt = mk.lt;
    UString const &cdata_end = mk.cdata_close;
    unsigned amps = count_of(text, amp);
    unsigned lts = count_of(text, lt);
    unsigned ends = count_of(text, cdata_end);
    if (amps + lts + ends == 0) return text;
    unsigned escaped_length = text.length() + 4 * amps + 3 * lts + 3 * ends;
    if (ends == 0 && escaped_length >= text.length() + kCdataOverhead) {
        UString out;
        out.reserve(text.length() + kCdataOverhead);
        out.append(mk.cdata_open).append(text).append(mk.cdata_close);
        return out;
    }
    UString out(text);
    out.reserve(escaped_length);
    replace_all(out, amp, amp_ref);
    replace_all(out, lt, lt_ref);
    replace_all(out, cdata_end, cdata_end_ref);
    return out;
}

void XmlDoc::advance_state() {
    if (state_ == DOC_CLOSED) state_error(WEXXML_DOC_CLOSED);
    if (state_ < DOC_NEW || state_ > DOC_CLOSED) state_error(WEXXML_DOC_BAD_STATE);
    ++state_;
}

void XmlDoc::start_doc(XmlTag::Id root) {
    if (state_ == DOC_NEW) {
        output_.reserve(kReserveStep);
        advance_state();
        output_.append(mk.declaration);
        last_was_start_ = 1;
    }
    if (root != XmlTag::Id(0) && state_ == DOC_PROLOG) {
        advance_state();
        open_start_tag();
        UString prefix = add_tag(root, false);
        stack_.push_back({root, prefix});
        root_tag_ = root;
        decl_point_ = output_.length();
    }
}

void XmlDoc::end_pending_start_tag() {
    if (start_tag_open_) {
        output_.append(mk.gt);
        start_tag_open_ = false;
    }
}

void XmlDoc::indent() {
    if (!indented_ || state_ == DOC_PROLOG) return;
    output_.append(L'\n');
    for (std::size_t i = 0; i < stack_.size(); ++i) output_.append(L"  ");
}

void XmlDoc::open_start_tag() {
    if (state_ != DOC_PROLOG && state_ != DOC_ROOT_OPEN) state_error(WEXXML_DOC_NO_START_TAG);
    end_pending_start_tag();
    if (output_.capacity() - output_.length() < kMinFree) output_.reserve(output_.capacity() + kReserveStep);
    indent();
    output_.append(mk.lt);
    start_tag_open_ = true;
    last_was_start_ = 1;
}

void XmlDoc::add_ns(XmlTag::NsId ns, UString const &prefix) {
    ns_table_[XmlTag::ns_URI(ns)].insert(prefix);
    // Declarations stand in the root start tag; once that is out they cannot be added.
    if (root_tag_ != XmlTag::Id(0) && decl_point_ == 0) state_error(WEXXML_DOC_NS_TOO_LATE);
}

void XmlDoc::add_ns(XmlTag::NsId ns) {
    auto it = ns_table_.find(XmlTag::ns_URI(ns));
    if (it != ns_table_.end() && !it->second.empty()) return;
    add_ns(ns, UString(L"N") + UString(std::to_wstring(++prefix_counter_)));
}

UString XmlDoc::ns_prefix(XmlTag::Id tag, bool default_form) {
    XmlTag const &t = XmlTag::lookup(tag);
    auto it = ns_table_.find(t.ns());
    if (it != ns_table_.end() && !it->second.empty()) return *it->second.begin();
    if (default_form) return UString();
    UString prefix = UString(L"N") + UString(std::to_wstring(++prefix_counter_));
    add_ns(t.ns_id(), prefix);
    return prefix;
}

UString XmlDoc::add_tag(XmlTag::Id tag, bool default_form) {
    XmlTag const &t = XmlTag::lookup(tag);
    if (t.ns_id() == XmlTag::NsId(-1)) {
        output_.append(t.simple_name());
        return UString();
    }
    UString prefix = ns_prefix(tag, default_form);
    if (prefix.empty()) {
        output_.append(t.simple_name()).append(mk.xmlns).append(L"=\"").append(escape_value(t.ns())).append(L"\"");
    } else {
        output_.append(prefix).append(mk.colon).append(t.simple_name());
    }
    return prefix;
}

XmlTag::Id XmlDoc::push_elem(XmlTag::Id tag, bool default_form) {
    if (state_ == DOC_NEW || state_ == DOC_PROLOG) {
        start_doc(tag);
        return tag;
    }
    open_start_tag();
    UString prefix = add_tag(tag, default_form);
    stack_.push_back({tag, prefix});
    return tag;
}

void XmlDoc::pop_elem(XmlTag::Id tag) { do_pop_elem(tag); }

void XmlDoc::do_pop_elem(XmlTag::Id tag) {
    if (stack_.empty() || (tag != XmlTag::Id(0) && tag != stack_.back().tag)) state_error(WEXXML_DOC_POP_MISMATCH);
    Open top = stack_.back();
    stack_.pop_back();
    end_pending_start_tag();
    if (!last_was_start_) indent();
    output_.append(mk.end_open);
    // The end tag repeats the name exactly as the start tag was written.
    if (!top.prefix.empty()) output_.append(top.prefix).append(mk.colon);
    output_.append(XmlTag::lookup(top.tag).simple_name()).append(mk.gt);
    last_was_start_ = 0;
    if (stack_.empty()) {
        advance_state();
        if (indented_) output_.append(L'\n');
    }
}

void XmlDoc::add_attr(XmlTag::Id tag, UString const &value) {
    if (!start_tag_open_) state_error(WEXXML_DOC_NO_ATTR_ELEMENT);
    XmlTag const &t = XmlTag::lookup(tag);
    UString prefix = t.ns_id() == XmlTag::NsId(-1) ? UString() : ns_prefix(tag, false);
    output_.append(L' ');
    if (!prefix.empty()) output_.append(prefix).append(mk.colon);
    output_.append(t.simple_name()).append(L"=\"").append(escape_value(value)).append(L"\"");
}

void XmlDoc::add_attr(XmlTag::Id tag, long value) { add_attr(tag, UString(std::to_wstring(value))); }

void XmlDoc::add_elem(XmlTag::Id tag, bool default_form) {
    push_elem(tag, default_form);
    output_.append(mk.empty_end);
    start_tag_open_ = false;
    stack_.pop_back();
    last_was_start_ = 0;
    if (stack_.empty()) {
        advance_state();
        if (indented_) output_.append(L'\n');
    }
}

void XmlDoc::add_elem(XmlTag::Id tag, UString const &text, bool escape) {
    if (text.empty()) {
        add_elem(tag, false);
        return;
    }
    push_elem(tag, false);
    append_elem_body(text, escape);
    do_pop_elem(tag);
}

void XmlDoc::add_elem(XmlTag::Id tag, wchar_t const *text, bool escape) {
    add_elem(tag, UString(text ? text : L""), escape);
}

void XmlDoc::add_elem_CDATA(XmlTag::Id tag, UString const &text) {
    if (text.find(mk.cdata_close) != UString::npos)
        IllegalArgException::raise(UMessage(wexxml_catalog, WEXXML_CDATA_TERMINATOR, "]]>", text, text));
    push_elem(tag, false);
    UString body;
    body.reserve(text.length() + kCdataOverhead);
    body.append(mk.cdata_open).append(text).append(mk.cdata_close);
    append_elem_body(body, false);
    do_pop_elem(tag);
}

void XmlDoc::add_elem(Elem const &elem, bool default_form) {
    if (elem.attrs_.empty() && elem.body_.empty()) {
        add_elem(elem.tag_, default_form);
        return;
    }
    push_elem(elem.tag_, default_form);
    for (auto const &[tag, value] : elem.attrs_) add_attr(tag, value);
    for (Elem::ContentNode const *node : elem.body_) {
        if (node->kind == 1)
            add_elem(*node->elem, default_form);
        else
            append_elem_body(*node->text, false);
    }
    do_pop_elem(elem.tag_);
}

void XmlDoc::append_elem_body(UString const &text, bool escape) {
    if (stack_.empty()) state_error(WEXXML_DOC_NO_BODY_ELEMENT);
    end_pending_start_tag();
    output_.append(escape ? XmlDoc::escape(text) : text);
}

void XmlDoc::write_markup(wchar_t const *open, UString const &text, wchar_t const *close) {
    // Before the root, a comment or processing instruction starts the prolog without a declaration.
    if (state_ == DOC_NEW) advance_state();
    open_start_tag();
    output_.append(open).append(text).append(close).append(mk.gt);
    start_tag_open_ = false;
}

void XmlDoc::add_comment(UString const &text) { write_markup(L"!-- ", text, L" --"); }

void XmlDoc::add_processing_instruction(UString const &text) { write_markup(L"?", text, L"?"); }

void XmlDoc::insert_declarations() {
    if (root_tag_ == XmlTag::Id(0) || decl_point_ == 0) return;
    UString decls;
    for (auto const &[uri, prefixes] : ns_table_) {
        for (UString const &prefix : prefixes) {
            decls.append(mk.xmlns);
            if (!prefix.empty()) decls.append(mk.colon).append(prefix);
            decls.append(L"=\"").append(escape_value(uri)).append(L"\"");
        }
    }
    output_.insert(decl_point_, decls);
    decl_point_ = 0;
}

void XmlDoc::close() {
    if (state_ == DOC_NEW) {
        state_ = DOC_CLOSED;
        return;
    }
    if (state_ == DOC_ROOT_OPEN) {
        if (stack_.size() != 1 || stack_.back().tag != root_tag_) state_error(WEXXML_DOC_PUSHED_ELEMENTS);
        do_pop_elem(root_tag_);
    }
    if (state_ != DOC_CLOSE_PENDING) state_error(WEXXML_DOC_NOT_CLOSE_PENDING);
    insert_declarations();
    advance_state();
}

UString const &XmlDoc::str() const {
    if (state_ != DOC_CLOSED) state_error(WEXXML_DOC_NOT_CLOSED);
    return output_;
}

std::string XmlDoc::byte_array() const { return str().utf8_str(); }

UString XmlDoc::inc_str() {
    if (state_ == DOC_NEW) state_error(WEXXML_DOC_NOT_STARTED);
    end_pending_start_tag();
    insert_declarations();
    UString out = output_;
    output_.clear();
    return out;
}

UString XmlDoc::str(Elem const &elem) {
    if (state_ == DOC_NEW) start_doc(XmlTag::Id(0));
    // Everything the tree writes is taken back afterwards, whether it succeeds or not; a start
    // tag still open for attributes stays open and is not part of the returned text.
    unsigned const length = output_.length();
    int const state = state_;
    XmlTag::Id const root_tag = root_tag_;
    unsigned const decl_point = decl_point_;
    bool const start_tag_open = start_tag_open_;
    int const last_was_start = last_was_start_;
    std::deque<Open> const stack = stack_;
    auto restore = [&] {
        output_.erase(length);
        state_ = state;
        root_tag_ = root_tag;
        decl_point_ = decl_point;
        start_tag_open_ = start_tag_open;
        last_was_start_ = last_was_start;
        stack_ = stack;
    };
    start_tag_open_ = false;
    try {
        add_elem(elem, true);
    } catch (...) {
        restore();
        throw;
    }
    UString piece = output_.substr(length);
    restore();
    return piece;
}

// ---------------------------------------------------------------------------------------------
// XmlDoc::Elem

XmlDoc::Elem::Elem(XmlTag::Id tag, UString const &text, bool escape) : tag_(tag) { add_body(text, escape); }

XmlDoc::Elem::Elem(Elem const &other) : tag_(other.tag_), attrs_(other.attrs_), body_(other.body_) {
    for (ContentNode *n : body_) ++n->refs;
}

XmlDoc::Elem &XmlDoc::Elem::operator=(Elem const &other) {
    if (this == &other) return *this;
    // Take the new nodes before letting go of the old ones: `other` may live inside them.
    std::vector<ContentNode *> body = other.body_;
    for (ContentNode *n : body) ++n->refs;
    auto attrs = other.attrs_;
    XmlTag::Id tag = other.tag_;
    release_body();
    tag_ = tag;
    attrs_ = std::move(attrs);
    body_ = std::move(body);
    return *this;
}

XmlDoc::Elem::~Elem() { release_body(); }

void XmlDoc::Elem::release_body() {
    for (ContentNode *n : body_) {
        if (--n->refs == 0) {
            delete n->text;
            delete n->elem;
            delete n;
        }
    }
    body_.clear();
}

void XmlDoc::Elem::add_body(UString const &text, bool escape) {
    if (text.empty()) return;
    body_.push_back(new ContentNode{0, new UString(escape ? XmlDoc::escape(text) : text), nullptr, 1});
}

void XmlDoc::Elem::add_attr(XmlTag::Id tag, UString const &value) { attrs_.emplace_back(tag, value); }

void XmlDoc::Elem::add_attr(XmlTag::Id tag, long value) { attrs_.emplace_back(tag, UString(std::to_wstring(value))); }

XmlDoc::Elem &XmlDoc::Elem::add_elem(Elem const &child) {
    auto *copy = new Elem(child);
    body_.push_back(new ContentNode{1, nullptr, copy, 1});
    return *copy;
}

XmlDoc::Elem &XmlDoc::Elem::add_elem(XmlTag::Id tag, UString const &text, bool escape) {
    Elem &child = add_elem(Elem(tag));
    if (!text.empty()) child.add_body(text, escape);
    return child;
}

UString XmlDoc::Elem::str() const {
    XmlDoc doc{XmlTag::Id(0)};
    doc.inc_str();
    doc.add_elem(*this, false);
    doc.close();
    return doc.str();
}

UString XmlDoc::Elem::content() const {
    UString out;
    for (ContentNode const *n : body_) out.append(n->kind == 1 ? n->elem->str() : *n->text);
    return out;
}

bool XmlDoc::Elem::operator==(Elem const &other) const {
    if (tag_ != other.tag_ || attrs_ != other.attrs_ || body_.size() != other.body_.size()) return false;
    // Children that all carry one tag form a set: they match in any order, one to one, so that
    // the comparison gives the same answer from either side.
    auto all_children_tagged = [](std::vector<ContentNode *> const &body, XmlTag::Id tag) {
        for (ContentNode const *n : body)
            if (n->kind != 1 || n->elem->tag_ != tag) return false;
        return true;
    };
    if (!body_.empty() && body_[0]->kind == 1) {
        XmlTag::Id first = body_[0]->elem->tag_;
        if (all_children_tagged(body_, first) && all_children_tagged(other.body_, first)) {
            std::vector<bool> used(other.body_.size(), false);
            for (ContentNode const *mine : body_) {
                bool found = false;
                for (std::size_t j = 0; j < other.body_.size() && !found; ++j) {
                    if (!used[j] && *mine->elem == *other.body_[j]->elem) used[j] = found = true;
                }
                if (!found) return false;
            }
            return true;
        }
    }
    for (std::size_t i = 0; i < body_.size(); ++i) {
        ContentNode const *a = body_[i];
        ContentNode const *b = other.body_[i];
        if (a->kind != b->kind) return false;
        if (a->kind == 1 ? !(*a->elem == *b->elem) : !(*a->text == *b->text)) return false;
    }
    return true;
}

} // namespace Nul
