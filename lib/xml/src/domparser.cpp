#include "wexxml/domparser.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
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

// Entity expansion is bounded so that a nested entity definition cannot exhaust memory.
xercesc::SecurityManager &security_manager() {
    static xercesc::SecurityManager manager;
    return manager;
}

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
    parser_ = new xercesc::XercesDOMParser;
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
    xercesc::MemBufInputSource source(reinterpret_cast<XMLByte const *>(text_.data()), text_.size(),
                                      "some-fake-system-id???", false);
    parser_->setDoNamespaces(true);
    parser_->setValidationScheme(xercesc::XercesDOMParser::Val_Never);
    // Documents come from clients: nothing outside the text itself is ever read.
    parser_->setLoadExternalDTD(false);
    parser_->setDisableDefaultEntityResolution(true);
    parser_->setCreateEntityReferenceNodes(false);
    parser_->setSecurityManager(&security_manager());
    delete error_handler_;
    error_handler_ = new xercesc::HandlerBase;
    parser_->setErrorHandler(error_handler_);

    UMessage failure;
    try {
        parser_->parse(source);
        if (parser_->getDocument() && parser_->getDocument()->getDocumentElement()) return;
        failure = UMessage(wexxml_catalog, WEXXML_UNKNOWN_EXCEPTION);
    } catch (xercesc::OutOfMemoryException const &) {
        renew_parser();
        throw std::bad_alloc();
    } catch (xercesc::XMLException const &e) {
        failure = UMessage(wexxml_catalog, WEXXML_XML_EXCEPTION, static_cast<int>(e.getCode()),
                           static_cast<long>(e.getSrcLine()), wexxml::to_ustring(e.getMessage()));
    } catch (xercesc::DOMException const &e) {
        failure = UMessage(wexxml_catalog, WEXXML_DOM_EXCEPTION, static_cast<int>(e.code),
                           wexxml::to_ustring(e.getMessage()));
    } catch (xercesc::SAXParseException const &e) {
        failure = UMessage(wexxml_catalog, WEXXML_SAX_PARSE_EXCEPTION, static_cast<long>(e.getLineNumber()),
                           static_cast<long>(e.getColumnNumber()), wexxml::to_ustring(e.getMessage()));
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
        case DOMNode::CDATA_SECTION_NODE: text.append(wexxml::to_ustring(n->getNodeValue())); break;
        case DOMNode::ELEMENT_NODE:
            text.append(UString(L"<"));
            text.append(wexxml::to_ustring(n->getNodeName()));
            text.append(UString(L">"));
            break;
        default: break;
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
