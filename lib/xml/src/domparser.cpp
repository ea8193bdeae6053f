#include "wexxml/domparser.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/XMLErrorCodes.hpp>
#include <xercesc/framework/XMLPScanToken.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLException.hpp>

#include "tesutil/stpexception.h"
#include "wexxml/wexxml_catalog.h"
#include "wexxml/xmldoc.h"
#include "wexxml_internal.h"
#include "xerces_text.h"

namespace Nul {

using xercesc::DOMElement;
using xercesc::DOMNode;

namespace {

XmlTag::Id resolve(DOMNode const *node) {
    return XmlTag::lookup(wexxml::to_ustring(node->getNamespaceURI()), wexxml::to_ustring(node->getLocalName())).id();
}

// Entity expansion is bounded as well, should a DTD ever be let through.
xercesc::SecurityManager &security_manager() {
    static xercesc::SecurityManager manager;
    return manager;
}

// The DOM parser with the limits of XmlLimits. A DOCTYPE is refused by the scanner itself; depth and
// attributes are checked as each start tag arrives, and a document that breaks them stops there
// (the parse runs step by step, so nothing is thrown through the scanner).
class BoundedDomParser : public xercesc::XercesDOMParser {
public:
    BoundedDomParser() { getScanner()->setDisallowDTD(true); }

    // Why the document was refused; empty while it keeps to the limits.
    UString const &refusal() const { return refusal_; }
    long refusal_line() const { return line_; }
    long refusal_column() const { return column_; }
    // Whether the scanner stopped at structure it does not accept before the root began, which
    // with DTDs disallowed is where a DOCTYPE ends up.
    bool structure_refused_in_prolog() const { return structure_in_prolog_; }

    void startElement(xercesc::XMLElementDecl const &decl, unsigned int uri_id, XMLCh const *prefix,
                      xercesc::RefVectorOf<xercesc::XMLAttr> const &attrs, XMLSize_t count, bool empty,
                      bool root) override {
        if (!refusal_.empty()) return;
        root_seen_ = true;
        if (count > static_cast<XMLSize_t>(XmlLimits::max_attributes))
            return refuse(wexxml::too_many_attributes_text());
        if (open_ + 1 > XmlLimits::max_depth) return refuse(wexxml::too_deep_text());
        if (!empty) ++open_;
        // The base class ends an empty element itself, through endElement.
        ending_empty_ = empty;
        xercesc::XercesDOMParser::startElement(decl, uri_id, prefix, attrs, count, empty, root);
        ending_empty_ = false;
    }

    void endElement(xercesc::XMLElementDecl const &decl, unsigned int uri_id, bool root, XMLCh const *prefix) override {
        if (!refusal_.empty()) return;
        if (!ending_empty_) --open_;
        xercesc::XercesDOMParser::endElement(decl, uri_id, root, prefix);
    }

    void error(unsigned int code, XMLCh const *domain, xercesc::XMLErrorReporter::ErrTypes type, XMLCh const *text,
               XMLCh const *system_id, XMLCh const *public_id, XMLFileLoc line, XMLFileLoc column) override {
        if (!root_seen_ && code == xercesc::XMLErrs::InvalidDocumentStructure) structure_in_prolog_ = true;
        xercesc::XercesDOMParser::error(code, domain, type, text, system_id, public_id, line, column);
    }

private:
    void refuse(UString const &why) {
        refusal_ = why;
        if (xercesc::Locator const *where = getScanner()->getLocator()) {
            line_ = static_cast<long>(where->getLineNumber());
            column_ = static_cast<long>(where->getColumnNumber());
        }
    }

    UString refusal_;
    long line_ = 0;
    long column_ = 0;
    int open_ = 0;
    bool ending_empty_ = false;
    bool root_seen_ = false;
    bool structure_in_prolog_ = false;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// DomParser

DomParser::DomParser() {
    if (!wexxml::dom_ready()) RuntimeException::raise(UMessage(wexxml_catalog, WEXXML_XERCES_INIT));
    renew_parser();
}

DomParser::DomParser(std::string const &text) : DomParser() { text_ = text; }

DomParser::DomParser(XmlDoc const &doc) : DomParser() { text_ = doc.str().utf8_str(); }

DomParser::DomParser(DomParser const &other) : DomParser(other.text_) {}

DomParser &DomParser::operator=(DomParser const &other) {
    if (this != &other) {
        clear();
        text_ = other.text_;
    }
    return *this;
}

DomParser::~DomParser() {
    delete parser_;
    delete error_handler_;
}

void DomParser::renew_parser() {
    delete parser_;
    parser_ = nullptr;
    delete error_handler_;
    error_handler_ = nullptr;
    parser_ = new BoundedDomParser;
}

void DomParser::set_xml_doc_text(std::string const &text) {
    clear();
    text_ = text;
}

void DomParser::clear() {
    if (!text_.empty() && parser_->getDocument() != nullptr) renew_parser();
}

DomParser::Elem DomParser::root() {
    if (parser_->getDocument() == nullptr) parse();
    xercesc::DOMDocument *doc = parser_->getDocument();
    return Elem(doc ? doc->getDocumentElement() : nullptr, XmlTag::Id(0));
}

void DomParser::parse() {
    if (text_.size() > XmlLimits::max_document_bytes)
        RuntimeException::raise(UMessage(wexxml_catalog, WEXXML_SAX_PARSE_EXCEPTION, 0L, 0L, wexxml::too_large_text()));
    auto *parser = static_cast<BoundedDomParser *>(parser_);
    xercesc::MemBufInputSource source(reinterpret_cast<XMLByte const *>(text_.data()), text_.size(),
                                      "some-fake-system-id???", false);
    parser->setDoNamespaces(true);
    parser->setValidationScheme(xercesc::XercesDOMParser::Val_Never);
    // Documents come from clients: nothing outside the text itself is ever read.
    parser->setLoadExternalDTD(false);
    parser->setDisableDefaultEntityResolution(true);
    parser->setCreateEntityReferenceNodes(false);
    parser->setSecurityManager(&security_manager());
    delete error_handler_;
    error_handler_ = new xercesc::HandlerBase;
    parser->setErrorHandler(error_handler_);

    UMessage failure;
    try {
        xercesc::XMLPScanToken token;
        bool more = parser->parseFirst(source, token);
        while (more && parser->refusal().empty()) more = parser->parseNext(token);
        if (!parser->refusal().empty()) {
            parser->parseReset(token);
            failure = UMessage(wexxml_catalog, WEXXML_SAX_PARSE_EXCEPTION, parser->refusal_line(),
                               parser->refusal_column(), parser->refusal());
        } else if (parser->getDocument() && parser->getDocument()->getDocumentElement()) {
            return;
        } else {
            failure = UMessage(wexxml_catalog, WEXXML_UNKNOWN_EXCEPTION);
        }
    } catch (xercesc::OutOfMemoryException const &) {
        renew_parser();
        throw std::bad_alloc();
    } catch (xercesc::XMLException const &e) {
        failure = UMessage(wexxml_catalog, WEXXML_XML_EXCEPTION, static_cast<int>(e.getCode()),
                           static_cast<long>(e.getSrcLine()), UMessage::echo(wexxml::to_ustring(e.getMessage())));
    } catch (xercesc::DOMException const &e) {
        failure = UMessage(wexxml_catalog, WEXXML_DOM_EXCEPTION, static_cast<int>(e.code),
                           UMessage::echo(wexxml::to_ustring(e.getMessage())));
    } catch (xercesc::SAXParseException const &e) {
        bool doctype = parser->structure_refused_in_prolog() && text_.find("<!DOCTYPE") != std::string::npos;
        failure = UMessage(wexxml_catalog, WEXXML_SAX_PARSE_EXCEPTION, static_cast<long>(e.getLineNumber()),
                           static_cast<long>(e.getColumnNumber()),
                           doctype ? wexxml::doctype_text() : UMessage::echo(wexxml::to_ustring(e.getMessage())));
    } catch (...) {
        failure = UMessage(wexxml_catalog, WEXXML_UNKNOWN_EXCEPTION);
    }
    // Whatever the parser built before it stopped is dropped, so the next root parses again.
    renew_parser();
    RuntimeException::raise(failure);
}

// ---------------------------------------------------------------------------------------------
// DomParser::Elem

void DomParser::Elem::check_is_nil(char const *method) const {
    if (node_ == nullptr) wexxml::raise_nil_element("DomParser::Elem", method);
}

XmlTag::Id DomParser::Elem::tag() const {
    check_is_nil("tag");
    if (tag_ == XmlTag::Id(0)) tag_ = resolve(node_);
    return tag_;
}

UString DomParser::Elem::data() const {
    check_is_nil("data");
    UString text;
    for (DOMNode *n = node_->getFirstChild(); n; n = n->getNextSibling()) {
        switch (n->getNodeType()) {
        case DOMNode::TEXT_NODE:
        case DOMNode::CDATA_SECTION_NODE:
            text.append(wexxml::to_ustring(n->getNodeValue()));
            break;
        case DOMNode::ELEMENT_NODE:
            text.append(UString(L"<"));
            text.append(wexxml::to_ustring(n->getNodeName()));
            text.append(UString(L">"));
            break;
        default:
            break;
        }
    }
    return text;
}

bool DomParser::Elem::is_empty() const {
    check_is_nil("is_empty");
    for (DOMNode *n = node_->getFirstChild(); n; n = n->getNextSibling()) {
        auto type = n->getNodeType();
        if (type == DOMNode::ELEMENT_NODE || type == DOMNode::TEXT_NODE || type == DOMNode::CDATA_SECTION_NODE)
            return false;
    }
    return true;
}

namespace {
DOMElement *next_element(DOMNode *n) {
    while (n && n->getNodeType() != DOMNode::ELEMENT_NODE) n = n->getNextSibling();
    return static_cast<DOMElement *>(n);
}
} // namespace

DomParser::Elem DomParser::Elem::next_child() {
    check_is_nil("next_child");
    DOMElement *next = next_element(child_cursor_ ? child_cursor_->getNextSibling() : node_->getFirstChild());
    child_cursor_ = next;
    return Elem(next, XmlTag::Id(0));
}

DomParser::Attribute DomParser::Elem::next_attr() {
    check_is_nil("next_attr");
    if (!node_->hasAttributes()) return Attribute();
    if (attr_map_ == nullptr) {
        attr_map_ = node_->getAttributes();
        attr_cursor_ = static_cast<int>(attr_map_->getLength()) - 1;
    }
    while (attr_cursor_ >= 0) {
        DOMNode *a = attr_map_->item(static_cast<XMLSize_t>(attr_cursor_--));
        if (wexxml::to_ustring(a->getNamespaceURI()) != XMLNS_NAMESPACE) return Attribute(a);
    }
    return Attribute();
}

DomParser::Elem DomParser::Elem::opt_child(XmlTag::Id tag) const {
    check_is_nil("opt_child");
    XmlTag const &wanted = XmlTag::lookup(tag);
    for (DOMElement *e = next_element(node_->getFirstChild()); e; e = next_element(e->getNextSibling())) {
        if (wexxml::to_ustring(e->getLocalName()) == wanted.simple_name() &&
            wexxml::to_ustring(e->getNamespaceURI()) == wanted.ns())
            return Elem(e, tag);
    }
    return Elem();
}

DomParser::Elem DomParser::Elem::child() const {
    check_is_nil("child");
    DOMElement *first = next_element(node_->getFirstChild());
    if (first == nullptr) wexxml::raise_no_children(tag());
    return Elem(first, XmlTag::Id(0));
}

DomParser::Elem DomParser::Elem::child(XmlTag::Id tag) const {
    check_is_nil("child");
    Elem found = opt_child(tag);
    if (found.is_nil()) wexxml::raise_missing_child(tag, this->tag());
    return found;
}

void DomParser::Elem::match(XmlTag::Id expected) const {
    XmlTag::Id actual = tag();
    if (actual != expected) wexxml::raise_tag_mismatch(WEXXML_OP_MATCH, expected, actual);
}

void DomParser::Elem::check_is_empty(bool expected) const {
    check_is_nil("check_is_empty");
    bool actual = is_empty();
    if (actual != expected) wexxml::raise_is_empty_mismatch(tag(), expected, actual);
}

// ---------------------------------------------------------------------------------------------
// DomParser::Attribute

void DomParser::Attribute::check_is_nil(char const *method) const {
    if (node_ == nullptr) wexxml::raise_nil_attribute("DomParser::Attribute", method);
}

XmlTag::Id DomParser::Attribute::tag() const {
    check_is_nil("tag");
    if (tag_ == XmlTag::Id(0)) tag_ = resolve(node_);
    return tag_;
}

UString DomParser::Attribute::data() const {
    check_is_nil("data");
    return wexxml::to_ustring(node_->getNodeValue());
}

void DomParser::Attribute::match(XmlTag::Id expected) const {
    XmlTag::Id actual = tag();
    if (actual != expected) wexxml::raise_tag_mismatch(WEXXML_OP_ATTR_MATCH, expected, actual);
}

// ---------------------------------------------------------------------------------------------
// The writer's tree from a parsed element.

XmlDoc::Elem::Elem(DomParser::Elem const &parsed) : Elem(parsed.tag()) {
    DomParser::Elem walker(parsed);
    for (DomParser::Attribute a = walker.next_attr(); !a.is_nil(); a = walker.next_attr()) add_attr(a.tag(), a.data());
    DomParser::Elem c = walker.next_child();
    if (!c.is_nil()) {
        for (; !c.is_nil(); c = walker.next_child()) add_elem(Elem(c));
    } else if (!walker.is_empty()) {
        add_body(walker.data(), true);
    }
}

} // namespace Nul
