#include "wexxml/saxparser.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <new>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/framework/XMLDocumentHandler.hpp>
#include <xercesc/framework/XMLElementDecl.hpp>
#include <xercesc/framework/XMLErrorCodes.hpp>
#include <xercesc/framework/XMLPScanToken.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/parsers/SAXParser.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/BinInputStream.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLException.hpp>

#include "tesutil/stpexception.h"
#include "wexxml/wexxml_catalog.h"
#include "wexxml/xmldoc.h"
#include "wexxml_internal.h"
#include "xerces_text.h"

namespace Nul {

namespace {
constexpr std::size_t kReadPiece = 1024;
} // namespace

// ---------------------------------------------------------------------------------------------
// Nodes. A parent holds one reference on each child in its list; a child holds none on its
// parent, so the tree has no cycles and a consumed child lives exactly as long as its handles.

class SaxParser::AttributeImpl {
public:
    AttributeImpl(XmlTag::Id tag, UString const &value) : tag_(tag), value_(value) {}
    void acquire() { ++refs_; }
    void release() {
        if (--refs_ == 0) delete this;
    }
    XmlTag::Id tag_;
    UString value_;

private:
    int refs_ = 1;
};

class SaxParser::ElemImpl {
public:
    ElemImpl(ParserImpl *parser, XmlTag::Id tag, bool open);
    ~ElemImpl();
    void acquire() { ++refs_; }
    void release() {
        if (--refs_ == 0) delete this;
    }

    // Scans one more item; raises 0701E when this node can no longer be scanned.
    void scan();

    ParserImpl *parser_;
    XmlTag::Id tag_;
    bool has_child_ = false;
    bool open_;
    bool walked_ = false;
    UString text_;
    std::deque<ElemImpl *> children_;
    std::vector<AttributeImpl *> attributes_;

private:
    int refs_ = 1;
};

// ---------------------------------------------------------------------------------------------
// Input: the caller's stream, read in pieces of at most 1024 bytes.

class SaxParser::StreamInputSource : public xercesc::InputSource {
public:
    class BinStream : public xercesc::BinInputStream {
    public:
        BinStream(std::istream *in, ParserImpl *parser) : in_(in), parser_(parser) {}
        XMLFilePos curPos() const override {
            auto pos =
                in_->rdbuf() ? in_->rdbuf()->pubseekoff(0, std::ios_base::cur, std::ios_base::in) : std::streampos(-1);
            return pos == std::streampos(-1) ? static_cast<XMLFilePos>(count_) : static_cast<XMLFilePos>(pos);
        }
        XMLSize_t readBytes(XMLByte *const to_fill, XMLSize_t const max_to_read) override;
        XMLCh const *getContentType() const override { return nullptr; }

    private:
        std::istream *in_;
        ParserImpl *parser_;
        std::size_t count_ = 0;
    };

    StreamInputSource(std::istream *in, ParserImpl *parser) : in_(in), parser_(parser) {}
    xercesc::BinInputStream *makeStream() const override { return new BinStream(in_, parser_); }

private:
    std::istream *in_;
    ParserImpl *parser_;
};

// ---------------------------------------------------------------------------------------------
// The scanner and the handlers that build the tree. Failures inside Xerces callbacks are kept
// and raised once control is back in our own frames.

class SaxParser::ParserImpl : public xercesc::SAXParser {
public:
    explicit ParserImpl(std::istream *in) : source_(in, this), handler_(this) {
        setDoNamespaces(true);
        setValidationScheme(Val_Never);
        setLoadExternalDTD(false);
        setDisableDefaultEntityResolution(true);
        setSecurityManager(&security_manager_);
        // Documents need no DTD: the scanner refuses a DOCTYPE (this version offers no setter for
        // it on the SAX parser, only on the scanner the parser owns).
        const_cast<xercesc::XMLScanner &>(getScanner()).setDisallowDTD(true);
        installAdvDocHandler(&handler_);
        setErrorHandler(&handler_);
    }

    ~ParserImpl() override {
        for (ElemImpl *e : open_) e->release();
        open_.clear();
        if (root_) root_->release();
        root_ = nullptr;
        // Handles that outlive the reader keep their nodes, but can no longer scan.
        for (ElemImpl *e : live_) e->parser_ = nullptr;
    }

    void acquire() { ++refs_; }
    void release() {
        if (--refs_ == 0) delete this;
    }

    ElemImpl *root() const { return root_; }

    // One scan step: the prolog first, then one item at a time.
    void step() {
        if (failed_) StateException::raise(UMessage(wexxml_catalog, WEXXML_BAD_STREAM));
        bool ok = false;
        try {
            if (!started_) {
                started_ = true;
                ok = parseFirst(source_, token_);
            } else {
                ok = parseNext(token_);
            }
        } catch (xercesc::OutOfMemoryException const &) {
            failed_ = true;
            throw std::bad_alloc();
        } catch (xercesc::XMLException const &e) {
            keep_raised(&StateException::raise, scan_error(UMessage::echo(wexxml::to_ustring(e.getMessage()))));
        }
        if (pending_) {
            failed_ = true;
            std::exception_ptr p = pending_;
            pending_ = nullptr;
            std::rethrow_exception(p);
        }
        if (!ok) {
            failed_ = true;
            StateException::raise(UMessage(wexxml_catalog, WEXXML_BAD_STREAM));
        }
    }

    static UMessage scan_error(UString const &text) { return UMessage(wexxml_catalog, WEXXML_SCAN_ERROR, text); }

    // With DTDs disallowed a DOCTYPE is structure the scanner refuses before the root begins.
    void error(unsigned int code, XMLCh const *domain, xercesc::XMLErrorReporter::ErrTypes type, XMLCh const *text,
               XMLCh const *system_id, XMLCh const *public_id, XMLFileLoc line, XMLFileLoc column) override {
        if (root_ == nullptr && code == xercesc::XMLErrs::InvalidDocumentStructure) structure_in_prolog_ = true;
        xercesc::SAXParser::error(code, domain, type, text, system_id, public_id, line, column);
    }
    bool doctype_refused() const { return structure_in_prolog_ && doctype_seen_; }
    // Bytes read before the root began: notes a DOCTYPE among them, for a clear refusal.
    void read_before_root(char const *bytes, std::size_t n) {
        if (root_ == nullptr && std::string_view(bytes, n).find("<!DOCTYPE") != std::string_view::npos)
            doctype_seen_ = true;
    }

    // Keeps the first failure met inside a callback.
    void keep(std::exception_ptr e) {
        if (!pending_) pending_ = e;
    }

    void track(ElemImpl *e) { live_.insert(e); }
    void untrack(ElemImpl *e) { live_.erase(e); }

    // Keeps what `raise` throws, to be thrown again once control is back in our own frames.
    void keep_raised(void (*raise)(UMessage const &), UMessage const &m) {
        try {
            raise(m);
        } catch (...) {
            keep(std::current_exception());
        }
    }

private:
    class Handler : public xercesc::XMLDocumentHandler, public xercesc::ErrorHandler {
    public:
        explicit Handler(ParserImpl *p) : p_(p) {}

        void startElement(xercesc::XMLElementDecl const &decl, unsigned int uri_id, XMLCh const *,
                          xercesc::RefVectorOf<xercesc::XMLAttr> const &attrs, XMLSize_t count, bool empty,
                          bool) override {
            try {
                p_->start_element(decl, uri_id, attrs, count, empty);
            } catch (...) {
                p_->keep(std::current_exception());
            }
        }
        void endElement(xercesc::XMLElementDecl const &, unsigned int, bool, XMLCh const *) override {
            p_->end_element();
        }
        void docCharacters(XMLCh const *chars, XMLSize_t length, bool) override {
            try {
                if (!p_->open_.empty()) p_->open_.back()->text_.append(wexxml::to_ustring(chars, length));
            } catch (...) {
                p_->keep(std::current_exception());
            }
        }
        void docComment(XMLCh const *) override {}
        void docPI(XMLCh const *, XMLCh const *) override {}
        void endDocument() override {}
        void endEntityReference(xercesc::XMLEntityDecl const &) override {}
        void ignorableWhitespace(XMLCh const *, XMLSize_t, bool) override {}
        void resetDocument() override {}
        void startDocument() override {}
        void startEntityReference(xercesc::XMLEntityDecl const &) override {}
        void XMLDecl(XMLCh const *, XMLCh const *, XMLCh const *, XMLCh const *) override {}

        void warning(xercesc::SAXParseException const &) override {}
        void error(xercesc::SAXParseException const &e) override { report(e); }
        void fatalError(xercesc::SAXParseException const &e) override { report(e); }
        void resetErrors() override {}

    private:
        void report(xercesc::SAXParseException const &e) {
            try {
                p_->keep_raised(&StateException::raise,
                                scan_error(p_->doctype_refused() ? wexxml::doctype_text()
                                                                 : UMessage::echo(wexxml::to_ustring(e.getMessage()))));
            } catch (...) {
                p_->keep(std::current_exception());
            }
        }
        ParserImpl *p_;
    };

    XmlTag::Id tag_of(unsigned int uri_id, XMLCh const *local) const {
        return XmlTag::lookup(wexxml::to_ustring(getURIText(uri_id)), wexxml::to_ustring(local)).id();
    }

    void start_element(xercesc::XMLElementDecl const &decl, unsigned int uri_id,
                       xercesc::RefVectorOf<xercesc::XMLAttr> const &attrs, XMLSize_t count, bool empty) {
        if (count > static_cast<XMLSize_t>(XmlLimits::max_attributes))
            return keep_raised(&StateException::raise, scan_error(wexxml::too_many_attributes_text()));
        if (open_.size() + 1 > static_cast<std::size_t>(XmlLimits::max_depth))
            return keep_raised(&StateException::raise, scan_error(wexxml::too_deep_text()));
        auto *e = new ElemImpl(this, tag_of(uri_id, decl.getBaseName()), !empty);
        if (!open_.empty()) {
            ElemImpl *parent = open_.back();
            parent->has_child_ = true;
            e->acquire();
            parent->children_.push_back(e);
        }
        if (root_ == nullptr) {
            e->acquire();
            root_ = e;
        }
        try {
            for (XMLSize_t i = 0; i < count; ++i) {
                xercesc::XMLAttr const *a = attrs.elementAt(i);
                if (wexxml::to_ustring(getURIText(a->getURIId())) == wexxml::sax_xmlns_namespace) continue;
                e->attributes_.push_back(
                    new AttributeImpl(tag_of(a->getURIId(), a->getName()), wexxml::to_ustring(a->getValue())));
            }
        } catch (...) {
            e->release();
            throw;
        }
        if (empty)
            e->release();
        else
            open_.push_back(e);
    }

    void end_element() {
        if (open_.empty()) return;
        ElemImpl *e = open_.back();
        open_.pop_back();
        e->open_ = false;
        e->release();
    }

    StreamInputSource source_;
    Handler handler_;
    xercesc::SecurityManager security_manager_;
    xercesc::XMLPScanToken token_;
    std::vector<ElemImpl *> open_; // the current node and its open ancestors, innermost last
    ElemImpl *root_ = nullptr;
    std::unordered_set<ElemImpl *> live_;
    std::exception_ptr pending_;
    bool started_ = false;
    bool failed_ = false;
    bool structure_in_prolog_ = false;
    bool doctype_seen_ = false;
    int refs_ = 1;

    friend class SaxParser::StreamInputSource::BinStream;
};

XMLSize_t SaxParser::StreamInputSource::BinStream::readBytes(XMLByte *const to_fill, XMLSize_t const max_to_read) {
    std::size_t want = std::min<std::size_t>(kReadPiece, max_to_read);
    try {
        in_->read(reinterpret_cast<char *>(to_fill), static_cast<std::streamsize>(want));
        if (!in_->bad()) {
            auto got = static_cast<std::size_t>(in_->gcount());
            count_ += got;
            parser_->read_before_root(reinterpret_cast<char const *>(to_fill), got);
            if (count_ <= XmlLimits::max_document_bytes) return got;
            parser_->keep_raised(&StateException::raise, ParserImpl::scan_error(wexxml::too_large_text()));
            return 0;
        }
    } catch (...) {
        // A stream that throws is a bad read as well.
    }
    parser_->keep_raised(&RuntimeException::raise, UMessage(wexxml_catalog, WEXXML_BAD_STREAM_READ));
    return 0;
}

SaxParser::ElemImpl::ElemImpl(ParserImpl *parser, XmlTag::Id tag, bool open) : parser_(parser), tag_(tag), open_(open) {
    parser_->track(this);
}

SaxParser::ElemImpl::~ElemImpl() {
    if (parser_) parser_->untrack(this);
    for (ElemImpl *c : children_) c->release();
    for (AttributeImpl *a : attributes_) a->release();
}

void SaxParser::ElemImpl::scan() {
    if (parser_ == nullptr) StateException::raise(UMessage(wexxml_catalog, WEXXML_BAD_STREAM));
    parser_->step();
}

// ---------------------------------------------------------------------------------------------
// SaxParser

SaxParser::SaxParser() {
    if (!wexxml::sax_ready()) RuntimeException::raise(UMessage(wexxml_catalog, WEXXML_XERCES_INIT));
}

SaxParser::SaxParser(std::istream *in) : SaxParser() { initialize(in); }

SaxParser::SaxParser(std::istream &in) : SaxParser() { initialize(&in); }

SaxParser::SaxParser(SaxParser const &other) : parser_(other.parser_), root_(other.root_) {
    if (parser_) parser_->acquire();
    if (root_) root_->acquire();
}

SaxParser &SaxParser::operator=(SaxParser const &other) {
    if (this != &other) {
        clear();
        parser_ = other.parser_;
        root_ = other.root_;
        if (parser_) parser_->acquire();
        if (root_) root_->acquire();
    }
    return *this;
}

SaxParser::~SaxParser() { clear(); }

void SaxParser::clear() {
    if (root_) root_->release();
    root_ = nullptr;
    if (parser_) parser_->release();
    parser_ = nullptr;
}

void SaxParser::set_xml_doc_text(std::istream *in) {
    clear();
    initialize(in);
}

void SaxParser::set_xml_doc_text(std::istream &in) { set_xml_doc_text(&in); }

void SaxParser::initialize(std::istream *in) {
    if (in == nullptr) return;
    parser_ = new ParserImpl(in);
    try {
        while (parser_->root() == nullptr) parser_->step();
    } catch (...) {
        parser_->release();
        parser_ = nullptr;
        throw;
    }
    root_ = parser_->root();
    root_->acquire();
}

SaxParser::Elem SaxParser::root() {
    if (root_) root_->acquire();
    return Elem(root_);
}

// ---------------------------------------------------------------------------------------------
// SaxParser::Elem

SaxParser::Elem::Elem(Elem const &other) : impl_(other.impl_) {
    if (impl_) impl_->acquire();
}

SaxParser::Elem &SaxParser::Elem::operator=(Elem const &other) {
    if (other.impl_) other.impl_->acquire();
    if (impl_) impl_->release();
    impl_ = other.impl_;
    return *this;
}

SaxParser::Elem::~Elem() {
    if (impl_) impl_->release();
}

void SaxParser::Elem::check_is_nil(char const *method) const {
    if (impl_ == nullptr) wexxml::raise_nil_element("SaxParser::Elem", method);
}

XmlTag::Id SaxParser::Elem::tag() const {
    check_is_nil("tag");
    return impl_->tag_;
}

bool SaxParser::Elem::is_empty() const {
    check_is_nil("is_empty");
    while (impl_->open_ && !impl_->has_child_ && impl_->text_.empty()) impl_->scan();
    return !impl_->has_child_ && impl_->text_.empty();
}

UString SaxParser::Elem::data() const {
    check_is_nil("data");
    while (impl_->open_) impl_->scan();
    return impl_->text_;
}

void SaxParser::Elem::match(XmlTag::Id expected) const {
    check_is_nil("tag");
    if (impl_->tag_ != expected) wexxml::raise_tag_mismatch(WEXXML_OP_MATCH, expected, impl_->tag_);
}

void SaxParser::Elem::check_is_empty(bool expected) const {
    check_is_nil("is_empty");
    bool actual = is_empty();
    if (actual != expected) wexxml::raise_is_empty_mismatch(impl_->tag_, expected, actual);
}

SaxParser::Attribute SaxParser::Elem::next_attr() {
    check_is_nil("next_attr");
    auto &list = impl_->attributes_;
    while (!list.empty()) {
        AttributeImpl *a = list.back();
        list.pop_back();
        if (XmlTag::lookup(a->tag_).is_predefined()) return Attribute(a);
        a->release();
    }
    return Attribute();
}

SaxParser::Elem SaxParser::Elem::next_child() {
    check_is_nil("next_child");
    impl_->walked_ = true;
    while (impl_->open_ && impl_->children_.empty()) impl_->scan();
    if (impl_->children_.empty()) return Elem();
    ElemImpl *c = impl_->children_.front();
    impl_->children_.pop_front();
    return Elem(c);
}

SaxParser::Elem SaxParser::Elem::opt_child(XmlTag::Id tag) {
    check_is_nil("opt_child");
    if (impl_->walked_) StateException::raise(UMessage(wexxml_catalog, WEXXML_OPT_CHILD_WALKED));
    std::size_t i = 0;
    for (;;) {
        for (; i < impl_->children_.size(); ++i) {
            ElemImpl *c = impl_->children_[i];
            if (c->tag_ == tag) {
                c->acquire();
                return Elem(c);
            }
        }
        if (!impl_->open_) return Elem();
        impl_->scan();
    }
}

SaxParser::Elem SaxParser::Elem::child(XmlTag::Id tag) {
    check_is_nil("child");
    Elem found = opt_child(tag);
    if (found.is_nil()) wexxml::raise_missing_child(tag, impl_->tag_);
    return found;
}

SaxParser::Elem SaxParser::Elem::child() {
    check_is_nil("child");
    if (impl_->walked_) StateException::raise(UMessage(wexxml_catalog, WEXXML_CHILD_WALKED));
    while (impl_->open_ && impl_->children_.empty()) impl_->scan();
    if (impl_->children_.empty()) return Elem();
    ElemImpl *c = impl_->children_.front();
    c->acquire();
    return Elem(c);
}

// ---------------------------------------------------------------------------------------------
// SaxParser::Attribute

SaxParser::Attribute::Attribute(Attribute const &other) : impl_(other.impl_) {
    if (impl_) impl_->acquire();
}

SaxParser::Attribute &SaxParser::Attribute::operator=(Attribute const &other) {
    if (other.impl_) other.impl_->acquire();
    if (impl_) impl_->release();
    impl_ = other.impl_;
    return *this;
}

SaxParser::Attribute::~Attribute() {
    if (impl_) impl_->release();
}

void SaxParser::Attribute::check_is_nil(char const *method) const {
    if (impl_ == nullptr) wexxml::raise_nil_attribute("SaxParser::Attribute", method);
}

XmlTag::Id SaxParser::Attribute::tag() const {
    check_is_nil("tag");
    return impl_->tag_;
}

UString SaxParser::Attribute::data() const {
    check_is_nil("data");
    return impl_->value_;
}

void SaxParser::Attribute::match(XmlTag::Id expected) const {
    check_is_nil("tag");
    if (impl_->tag_ != expected) wexxml::raise_tag_mismatch(WEXXML_OP_ATTR_MATCH, expected, impl_->tag_);
}

// ---------------------------------------------------------------------------------------------
// The writer's tree from a scanned element, driving the scan through the caller's handle.

XmlDoc::Elem::Elem(SaxParser::Elem &parsed) : Elem(parsed.tag()) {
    SaxParser::Elem first = parsed.child();
    for (SaxParser::Attribute a = parsed.next_attr(); !a.is_nil(); a = parsed.next_attr()) add_attr(a.tag(), a.data());
    if (!first.is_nil()) {
        for (SaxParser::Elem c = parsed.next_child(); !c.is_nil(); c = parsed.next_child()) add_elem(Elem(c));
    } else {
        add_body(parsed.data(), true);
    }
}

} // namespace Nul
