// Nul::XmlDoc: a streaming XML writer in the system's tag vocabulary, with its value tree Elem.
#pragma once

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tesutil/ustring.h"
#include "tesutil/xmltag.h"
#include "wexxml/domparser.h"
#include "wexxml/saxparser.h"

namespace Nul {

class XmlDoc {
public:
    enum State { DOC_NEW = 0, DOC_PROLOG = 1, DOC_ROOT_OPEN = 2, DOC_CLOSE_PENDING = 3, DOC_CLOSED = 4 };

    // A value tree of elements; copies share their body nodes by reference count.
    class Elem {
    public:
        Elem() = default;
        explicit Elem(XmlTag::Id tag) : tag_(tag) {}
        Elem(XmlTag::Id tag, UString const &text, bool escape);
        Elem(Elem const &other);
        Elem &operator=(Elem const &other);
        // Deep copies of parsed elements.
        explicit Elem(DomParser::Elem const &parsed);
        // Drives the scan through the caller's handle.
        explicit Elem(SaxParser::Elem &parsed);
        ~Elem();

        bool is_nil() const { return tag_ == XmlTag::Id(0); }
        XmlTag::Id tag() const { return tag_; }
        void set_tag(XmlTag::Id tag) { tag_ = tag; }
        // True without body; attributes are not counted.
        bool empty() const { return body_.empty(); }

        void add_body(UString const &text, bool escape);
        void add_attr(XmlTag::Id tag, UString const &value);
        void add_attr(XmlTag::Id tag, long value);
        // The stored child; it stays shared with every copy made of this element later.
        Elem &add_elem(Elem const &child);
        Elem &add_elem(XmlTag::Id tag, UString const &text, bool escape);

        // The element's markup without XML declaration, namespaces declared in its start tag.
        UString str() const;
        // Text bodies as stored and child elements as their markup, in order.
        UString content() const;

        bool operator<(Elem const &other) const { return tag_ < other.tag_; }
        bool operator==(Elem const &other) const;
        bool operator!=(Elem const &other) const { return !(*this == other); }

    private:
        friend class XmlDoc;
        struct ContentNode {
            int kind;      // 0 text, 1 child element
            UString *text; // kind 0
            Elem *elem;    // kind 1
            int refs;
        };
        void release_body();

        XmlTag::Id tag_ = XmlTag::Id(0);
        std::vector<std::pair<XmlTag::Id, UString>> attrs_;
        std::vector<ContentNode *> body_;
    };

    XmlDoc();
    // Starts the document: the XML declaration, then the root unless it is 0.
    explicit XmlDoc(XmlTag::Id root);
    // The whole tree as the document, closed.
    explicit XmlDoc(Elem const &root);
    XmlDoc(XmlDoc const &other) = default;
    XmlDoc &operator=(XmlDoc const &other) = default;
    virtual ~XmlDoc();

    void set_indented_format() { indented_ = true; }
    void close();
    UString const &str() const;
    std::string byte_array() const;
    // Everything written so far, declarations included; the output starts empty again.
    UString inc_str();
    // The markup this tree would get here, leaving the document's text and state as they were.
    UString str(Elem const &elem);
    static UString escape(UString const &text);

    void add_ns(XmlTag::NsId ns, UString const &prefix);
    void add_ns(XmlTag::NsId ns);

    XmlTag::Id push_elem(XmlTag::Id tag, bool default_form = false);
    void pop_elem(XmlTag::Id tag);
    void add_attr(XmlTag::Id tag, UString const &value);
    void add_attr(XmlTag::Id tag, long value);
    void add_elem(XmlTag::Id tag, bool default_form = false);
    void operator()(XmlTag::Id tag) { add_elem(tag, false); }
    void add_elem(XmlTag::Id tag, UString const &text, bool escape);
    void add_elem(XmlTag::Id tag, wchar_t const *text, bool escape);
    void add_elem_CDATA(XmlTag::Id tag, UString const &text);
    void add_elem(Elem const &elem, bool default_form);
    void append_elem_body(UString const &text, bool escape);
    void add_comment(UString const &text);
    void add_processing_instruction(UString const &text);

    int state() const { return state_; }

private:
    struct Open {
        XmlTag::Id tag;
        UString prefix; // the prefix the start tag was written with
    };

    void advance_state();
    void start_doc(XmlTag::Id root);
    void open_start_tag();
    void end_pending_start_tag();
    void indent();
    UString ns_prefix(XmlTag::Id tag, bool default_form);
    UString add_tag(XmlTag::Id tag, bool default_form);
    void do_pop_elem(XmlTag::Id tag);
    void write_markup(wchar_t const *open, UString const &text, wchar_t const *close);
    void insert_declarations();

    UString output_;
    unsigned decl_point_ = 0;
    bool start_tag_open_ = false;
    bool indented_ = false;
    int state_ = DOC_NEW;
    XmlTag::Id root_tag_ = XmlTag::Id(0);
    int prefix_counter_ = 0;
    int last_was_start_ = 1;
    std::deque<Open> stack_;
    std::map<UString, std::set<UString>> ns_table_;
};

} // namespace Nul
