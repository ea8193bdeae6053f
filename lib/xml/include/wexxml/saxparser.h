// Nul::SaxParser: reads an XML document from a stream only as far as its handles ask.
#pragma once

#include <istream>

#include "tesutil/ustring.h"
#include "tesutil/xmltag.h"
#include "wexxml/xml_limits.h"

namespace Nul {

// A DOCTYPE, and a document that breaks XmlLimits, stop the scan with 0704E.
class SaxParser {
public:
    class ParserImpl;
    class ElemImpl;
    class AttributeImpl;
    class StreamInputSource;

    // A handle on a scanned attribute; holds one reference on it.
    class Attribute {
    public:
        Attribute() = default;
        Attribute(Attribute const &other);
        Attribute &operator=(Attribute const &other);
        virtual ~Attribute();

        bool is_nil() const { return impl_ == nullptr; }
        XmlTag::Id tag() const;
        UString data() const;
        void match(XmlTag::Id expected) const;

    private:
        friend class SaxParser;
        explicit Attribute(AttributeImpl *adopted) : impl_(adopted) {}
        void check_is_nil(char const *method) const;

        AttributeImpl *impl_ = nullptr;
    };

    // A handle on an element; holds one reference on it. Questions scan on as far as needed.
    class Elem {
    public:
        Elem() = default;
        Elem(Elem const &other);
        Elem &operator=(Elem const &other);
        virtual ~Elem();

        bool is_nil() const { return impl_ == nullptr; }
        XmlTag::Id tag() const;
        bool is_empty() const;
        // The element's own character data, once its end tag has been scanned.
        UString data() const;
        void match(XmlTag::Id expected) const;
        void check_is_empty(bool expected) const;
        // Takes the last remaining attribute; attributes with run-time tags are skipped.
        Attribute next_attr();
        // Takes the next child; each child is returned once.
        Elem next_child();
        // Not after next_child: finds a child with that tag and leaves it in place.
        Elem opt_child(XmlTag::Id tag);
        Elem child(XmlTag::Id tag);
        Elem child();

    private:
        friend class SaxParser;
        // Adopts one reference.
        explicit Elem(ElemImpl *adopted) : impl_(adopted) {}
        void check_is_nil(char const *method) const;

        ElemImpl *impl_ = nullptr;
    };

    SaxParser();
    // The stream is not owned and must outlive the reader and its handles' scanning.
    explicit SaxParser(std::istream *in);
    explicit SaxParser(std::istream &in);
    SaxParser(SaxParser const &other);
    SaxParser &operator=(SaxParser const &other);
    virtual ~SaxParser();

    void clear();
    void set_xml_doc_text(std::istream *in);
    void set_xml_doc_text(std::istream &in);
    // The document element; nil without input.
    Elem root();

private:
    void initialize(std::istream *in);

    ParserImpl *parser_ = nullptr;
    ElemImpl *root_ = nullptr;
};

} // namespace Nul
