// Nul::DomParser: reads one XML document held in memory and walks it through small handles.
#pragma once

#include <string>

#include <xercesc/util/XercesDefs.hpp>

#include "tesutil/ustring.h"
#include "tesutil/xmltag.h"
#include "wexxml/xml_limits.h"

XERCES_CPP_NAMESPACE_BEGIN
class XercesDOMParser;
class HandlerBase;
class DOMElement;
class DOMNode;
class DOMNamedNodeMap;
XERCES_CPP_NAMESPACE_END

namespace Nul {

class XmlDoc;

class DomParser {
public:
    // The namespace reserved for xmlns declarations; such attributes are never returned.
    static UString const XMLNS_NAMESPACE;

    // A handle on a parsed attribute; valid while its reader keeps its document.
    class Attribute {
    public:
        Attribute() = default;
        Attribute(Attribute const &) = default;
        Attribute &operator=(Attribute const &) = default;
        virtual ~Attribute() = default;

        bool is_nil() const { return node_ == nullptr; }
        XmlTag::Id tag() const;
        UString data() const;
        void match(XmlTag::Id expected) const;

    private:
        friend class DomParser;
        explicit Attribute(xercesc::DOMNode *node) : node_(node) {}
        void check_is_nil(char const *method) const;

        xercesc::DOMNode *node_ = nullptr;
        mutable XmlTag::Id tag_ = XmlTag::Id(0);
    };

    // A handle on a parsed element; valid while its reader keeps its document.
    class Elem {
    public:
        Elem() = default;
        // A copy names the same element and walks it from the start.
        Elem(Elem const &other) : node_(other.node_), tag_(other.tag_) {}
        // Assignment takes the other handle's cursors as well.
        Elem &operator=(Elem const &other) = default;
        virtual ~Elem() = default;

        void clear() { *this = Elem(); }
        bool is_nil() const { return node_ == nullptr; }
        XmlTag::Id tag() const;
        // Own text and CDATA in order, child elements as "<qname>".
        UString data() const;
        bool is_empty() const;
        // Child elements in document order, then nil, then the first again.
        Elem next_child();
        // Attributes from the last to the first, namespace declarations skipped, then nil.
        Attribute next_attr();
        Elem opt_child(XmlTag::Id tag) const;
        Elem child() const;
        Elem child(XmlTag::Id tag) const;
        void match(XmlTag::Id expected) const;
        void check_is_empty(bool expected) const;

    private:
        friend class DomParser;
        Elem(xercesc::DOMElement *node, XmlTag::Id tag) : node_(node), tag_(tag) {}
        void check_is_nil(char const *method) const;

        xercesc::DOMElement *node_ = nullptr;
        mutable XmlTag::Id tag_ = XmlTag::Id(0);
        xercesc::DOMNode *child_cursor_ = nullptr;
        int attr_cursor_ = 0;
        xercesc::DOMNamedNodeMap *attr_map_ = nullptr;
    };

    DomParser();
    explicit DomParser(std::string const &text);
    // The writer's finished text; the writer must be closed.
    explicit DomParser(XmlDoc const &doc);
    DomParser(DomParser const &other);
    DomParser &operator=(DomParser const &other);
    virtual ~DomParser();

    void set_xml_doc_text(std::string const &text);
    // Drops the parsed document; every handle on it becomes invalid.
    void clear();
    // Parses on first use; raises 0673E to 0676E when the text cannot be parsed, has a DOCTYPE or
    // breaks another of XmlLimits (0675E).
    Elem root();

private:
    void parse();
    void renew_parser();

    std::string text_;
    xercesc::XercesDOMParser *parser_ = nullptr;
    xercesc::HandlerBase *error_handler_ = nullptr;
};

} // namespace Nul
