#include "wexxml/domparser.h"

#include <gtest/gtest.h>

#include "wexxml/xmldoc.h"
#include "xml_test_util.h"

using Nul::DomParser;
using Nul::RuntimeException;
using Nul::StateException;
using Nul::UString;
using Nul::XmlDoc;
using Nul::XmlTag;
using xmltest::ctg;
using xmltest::doc;
using xmltest::kCtg;
using xmltest::kKx;
using xmltest::kx;
using xmltest::utf8;

TEST(DomParser, RootAndTags) {
    DomParser p(doc("<k:cursor/>"));
    DomParser::Elem root = p.root();
    ASSERT_FALSE(root.is_nil());
    EXPECT_EQ(root.tag(), kx(L"record"));
    EXPECT_EQ(root.tag(), 283);
    root.match(kx(L"record"));
    EXPECT_RAISES(root.match(kx(L"cursor")), StateException,
                  "TLQSV0679E Internal Error: TLQSV0685E Elem::match(): Tag Mismatch, expected '" + kKx +
                      "/cursor' got '" + kKx + "/record'.");
}

TEST(DomParser, DataOfMixedContent) {
    DomParser p(doc("x<c:record>inner</c:record>y<![CDATA[<z>]]><!-- no -->&amp;"));
    EXPECT_EQ(utf8(p.root().data()), "x<c:record>y<z>&");
}

TEST(DomParser, Emptiness) {
    DomParser p(doc("<k:cursor> </k:cursor><k:email><!-- c --><?pi?></k:email><k:dbset/>"));
    DomParser::Elem root = p.root();
    EXPECT_FALSE(root.is_empty());
    EXPECT_FALSE(root.child(kx(L"cursor")).is_empty());
    EXPECT_TRUE(root.child(kx(L"email")).is_empty());
    EXPECT_TRUE(root.child(kx(L"dbset")).is_empty());
    root.child(kx(L"dbset")).check_is_empty(true);
    EXPECT_RAISES(root.child(kx(L"cursor")).check_is_empty(true), StateException,
                  "TLQSV0677E Internal Error: TLQSV0682E Elem::check_is_empty(): Element '" + kKx +
                      "/cursor' is-empty mismatch; expected 1, got 0.");
}

TEST(DomParser, NextAttrWalksBackwardsSkippingDeclarations) {
    // The reader's attribute map is ordered by qualified name; the walk goes from its end.
    DomParser p("<k:record xmlns:k=\"" + kKx + "\" k:cursor=\"a1\" xmlns:z=\"urn:z\" k:email=\"a2\"/>");
    DomParser::Elem root = p.root();
    DomParser::Attribute a = root.next_attr();
    ASSERT_FALSE(a.is_nil());
    EXPECT_EQ(a.tag(), kx(L"email"));
    EXPECT_EQ(utf8(a.data()), "a2");
    a.match(kx(L"email"));
    EXPECT_RAISES(a.match(kx(L"cursor")), StateException,
                  "TLQSV0679E Internal Error: TLQSV0686E Attribute::match(): Tag Mismatch, expected '" + kKx +
                      "/cursor' got '" + kKx + "/email'.");
    a = root.next_attr();
    EXPECT_EQ(a.tag(), kx(L"cursor"));
    EXPECT_EQ(utf8(a.data()), "a1");
    EXPECT_TRUE(root.next_attr().is_nil());
    EXPECT_TRUE(root.next_attr().is_nil());
    // A copy of the handle starts its walk afresh.
    DomParser::Elem again(root);
    EXPECT_EQ(again.next_attr().tag(), kx(L"email"));
    DomParser::Elem none = DomParser("<k:record xmlns:k=\"" + kKx + "\"/>").root();
    (void)none;
}

TEST(DomParser, NextChildWrapsAround) {
    DomParser p(doc("<k:cursor/>t<k:email/><!-- c --><k:dbset/>"));
    DomParser::Elem root = p.root();
    EXPECT_EQ(root.next_child().tag(), kx(L"cursor"));
    EXPECT_EQ(root.next_child().tag(), kx(L"email"));
    // An assigned handle continues where its source stood; a copied one starts again.
    DomParser::Elem assigned;
    assigned = root;
    DomParser::Elem copied(root);
    EXPECT_EQ(root.next_child().tag(), kx(L"dbset"));
    EXPECT_TRUE(root.next_child().is_nil());
    EXPECT_EQ(root.next_child().tag(), kx(L"cursor"));
    EXPECT_EQ(assigned.next_child().tag(), kx(L"dbset"));
    EXPECT_EQ(copied.next_child().tag(), kx(L"cursor"));
}

TEST(DomParser, ChildLookups) {
    DomParser p(doc("<c:cursor/><k:cursor>k</k:cursor>"));
    DomParser::Elem root = p.root();
    // Same local name in another namespace does not match.
    EXPECT_TRUE(root.opt_child(kx(L"email")).is_nil());
    DomParser::Elem k = root.opt_child(kx(L"cursor"));
    ASSERT_FALSE(k.is_nil());
    EXPECT_EQ(utf8(k.data()), "k");
    EXPECT_EQ(root.child().tag(), ctg(L"cursor"));
    EXPECT_RAISES(root.child(kx(L"email")), StateException,
                  "TLQSV0678E Internal Error: TLQSV0684E Elem::child(): Missing required child '" + kKx +
                      "/email' under '" + kKx + "/record'.");
    EXPECT_RAISES(k.child(), StateException,
                  "TLQSV0681E Internal Error: TLQSV0684E Elem::child(): Element '" + kKx + "/cursor' has no children.");
}

TEST(DomParser, NilHandlesRaise) {
    DomParser::Elem nil;
    EXPECT_TRUE(nil.is_nil());
    EXPECT_RAISES(nil.tag(), StateException, "TLQSV0680E Internal Error: DomParser::Elem::tag(): nil element.");
    EXPECT_RAISES(nil.data(), StateException, "TLQSV0680E Internal Error: DomParser::Elem::data(): nil element.");
    EXPECT_RAISES(nil.next_child(), StateException,
                  "TLQSV0680E Internal Error: DomParser::Elem::next_child(): nil element.");
    EXPECT_RAISES(nil.next_attr(), StateException,
                  "TLQSV0680E Internal Error: DomParser::Elem::next_attr(): nil element.");
    EXPECT_RAISES(nil.opt_child(kx(L"record")), StateException,
                  "TLQSV0680E Internal Error: DomParser::Elem::opt_child(): nil element.");
    EXPECT_RAISES(nil.child(), StateException, "TLQSV0680E Internal Error: DomParser::Elem::child(): nil element.");
    EXPECT_RAISES(nil.is_empty(), StateException,
                  "TLQSV0680E Internal Error: DomParser::Elem::is_empty(): nil element.");
    EXPECT_RAISES(nil.check_is_empty(true), StateException,
                  "TLQSV0680E Internal Error: DomParser::Elem::check_is_empty(): nil element.");
    DomParser::Attribute a;
    EXPECT_RAISES(a.tag(), StateException, "TLQSV0687E Internal Error: DomParser::Attribute::tag(): nil attribute.");
    EXPECT_RAISES(a.data(), StateException, "TLQSV0687E Internal Error: DomParser::Attribute::data(): nil attribute.");
    DomParser p(doc(""));
    DomParser::Elem root = p.root();
    root.clear();
    EXPECT_TRUE(root.is_nil());
}

TEST(DomParser, MalformedInputGivesLineAndColumn) {
    DomParser p("<a>\n  <b>\n</a>");
    EXPECT_RAISES(p.root(), RuntimeException,
                  "TLQSV0675E Xerces SAXParseException: line: 3, column: 3, msg: expected end of tag 'b'.");
    // The failed parse left nothing behind: the next root parses again and fails again.
    EXPECT_RAISES(p.root(), RuntimeException,
                  "TLQSV0675E Xerces SAXParseException: line: 3, column: 3, msg: expected end of tag 'b'.");
    p.set_xml_doc_text(doc(""));
    EXPECT_EQ(p.root().tag(), kx(L"record"));
}

TEST(DomParser, PartialDocumentIsNotKept) {
    // The root element is complete before the error; it must not come back as a result.
    DomParser p(doc("") + "<junk");
    EXPECT_THROW(p.root(), RuntimeException);
    EXPECT_THROW(p.root(), RuntimeException);
    DomParser empty;
    EXPECT_THROW(empty.root(), RuntimeException);
}

TEST(DomParser, DoctypeIsRefused) {
    // Without a DTD there are no entities of the document's own: neither external nor expanding ones.
    std::string const documents[] = {
        "<!DOCTYPE r [<!ENTITY e SYSTEM \"file:///etc/hostname\">]><r>&e;</r>",
        "<!DOCTYPE r [<!ENTITY a \"x&amp;\"><!ENTITY b \"&a;&a;\">]><r>&b;</r>",
        "<?xml version=\"1.0\"?>\n<!-- c --><!DOCTYPE r><r/>",
    };
    for (std::string const &text : documents) {
        DomParser p(text);
        try {
            p.root();
            ADD_FAILURE() << text;
        } catch (RuntimeException const &e) {
            std::string const message = xmltest::rendered(e);
            EXPECT_EQ(message.rfind("TLQSV0675E", 0), 0u) << message;
            EXPECT_NE(message.find("msg: a DOCTYPE declaration is not accepted."), std::string::npos) << message;
        }
    }
    // Other structure the prolog cannot hold keeps the parser's own explanation.
    EXPECT_RAISES(DomParser("abc<r/>").root(), RuntimeException,
                  "TLQSV0675E Xerces SAXParseException: line: 1, column: 1, msg: invalid document structure.");
    // The predefined entities and character references need no DTD.
    DomParser plain("<r>&amp;&lt;&#65;</r>");
    EXPECT_EQ(utf8(plain.root().data()), "&<A");
}

TEST(DomParser, DepthBound) {
    int const max = Nul::XmlLimits::max_depth;
    DomParser at_bound(xmltest::nested(max));
    DomParser::Elem e = at_bound.root();
    int depth = 1;
    for (DomParser::Elem c = e.child(); !c.is_empty(); c = c.child()) ++depth;
    EXPECT_EQ(depth + 1, max);
    DomParser past(xmltest::nested(max + 1));
    EXPECT_RAISES(past.root(), RuntimeException,
                  "TLQSV0675E Xerces SAXParseException: line: 1, column: " + std::to_string(3 * max + 5) +
                      ", msg: elements are nested deeper than 256 levels.");
    // Refused once, refused again: nothing of the broken document is kept.
    EXPECT_THROW(past.root(), RuntimeException);
}

TEST(DomParser, AttributeBound) {
    int const max = Nul::XmlLimits::max_attributes;
    DomParser at_bound(xmltest::with_attributes(max));
    DomParser::Elem root = at_bound.root();
    int count = 0;
    while (!root.next_attr().is_nil()) ++count;
    EXPECT_EQ(count, max);
    std::string const past = xmltest::with_attributes(max + 1);
    try {
        DomParser(past).root();
        ADD_FAILURE() << "more attributes than the bound were accepted";
    } catch (RuntimeException const &e) {
        EXPECT_NE(xmltest::rendered(e).find("msg: an element has more than 256 attributes."), std::string::npos)
            << xmltest::rendered(e);
    }
}

TEST(DomParser, SizeBound) {
    std::size_t const max = Nul::XmlLimits::max_document_bytes;
    EXPECT_EQ(DomParser(xmltest::padded(max)).root().data().length(), max - 7);
    EXPECT_RAISES(DomParser(xmltest::padded(max + 1)).root(), RuntimeException,
                  "TLQSV0675E Xerces SAXParseException: line: 0, column: 0, msg: the document is longer than "
                  "1048576 bytes.");
}

TEST(DomParser, ErrorsEchoAFewKiBOfTheDocument) {
    // The parser's message names the element.
    std::string const name(100000, 'n');
    try {
        DomParser("<" + name + "></x>").root();
        ADD_FAILURE() << "a mismatched end tag was accepted";
    } catch (RuntimeException const &e) {
        std::string const message = xmltest::rendered(e);
        EXPECT_NE(message.find("expected end of tag 'nnnn"), std::string::npos) << message.substr(0, 200);
        EXPECT_LT(message.size(), Nul::UMessage::max_echo_units + 100);
    }
    // Navigation errors name the elements they met: a long name is cut.
    DomParser p("<" + name + "/>");
    try {
        p.root().match(kx(L"record"));
        ADD_FAILURE() << "a foreign root matched";
    } catch (StateException const &e) {
        std::string const message = xmltest::rendered(e);
        EXPECT_LT(message.size(), 2 * Nul::UMessage::max_echo_units);
        EXPECT_NE(message.find("/" + name.substr(0, 1000)), std::string::npos);
        EXPECT_EQ(message.substr(message.size() - 5), "...'.");
    }
}

TEST(DomParser, CopiesAndAssignment) {
    auto *a = new DomParser(doc("<k:cursor/>"));
    DomParser b(*a);
    EXPECT_EQ(a->root().tag(), kx(L"record"));
    delete a;
    EXPECT_EQ(b.root().next_child().tag(), kx(L"cursor"));
    DomParser c;
    c = b;
    EXPECT_EQ(c.root().child().tag(), kx(L"cursor"));
    c = c;
    EXPECT_EQ(c.root().tag(), kx(L"record"));
    c.clear();
    EXPECT_EQ(c.root().tag(), kx(L"record"));
}

TEST(DomParser, FromWriter) {
    XmlDoc open(kx(L"record"));
    EXPECT_RAISES(DomParser{open}, StateException, "TLQSV0697E XmlDoc::close() hasn't been called.");
    open.add_elem(kx(L"email"), UString(L"\u00e9&"), true);
    open.close();
    DomParser p(open);
    EXPECT_EQ(utf8(p.root().child(kx(L"email")).data()), "\xc3\xa9&");
}

TEST(DomParser, RunTimeTagsForUnknownNames) {
    DomParser p("<r xmlns=\"urn:other\" a=\"1\"><k:record xmlns:k=\"" + kKx + "\"/></r>");
    DomParser::Elem root = p.root();
    EXPECT_GE(root.tag(), 1167);
    EXPECT_EQ(utf8(XmlTag::lookup(root.tag()).ns()), "urn:other");
    DomParser::Attribute a = root.next_attr();
    ASSERT_FALSE(a.is_nil());
    EXPECT_EQ(utf8(XmlTag::lookup(a.tag()).simple_name()), "a");
    EXPECT_TRUE(root.next_attr().is_nil());
    EXPECT_EQ(root.child().tag(), 283);
}

TEST(DomParser, WriterElemFromParsedElement) {
    DomParser p(doc("<k:cursor k:email=\"e1\" k:dbset=\"d1\">a&amp;b</k:cursor>ignored<k:groups/>"));
    XmlDoc::Elem e(p.root());
    XmlDoc::Elem expected(kx(L"record"));
    XmlDoc::Elem &cursor = expected.add_elem(kx(L"cursor"), UString(L"a&b"), true);
    // Attributes come from the end of the reader's map, which is ordered by qualified name.
    cursor.add_attr(kx(L"email"), UString(L"e1"));
    cursor.add_attr(kx(L"dbset"), UString(L"d1"));
    expected.add_elem(XmlDoc::Elem(kx(L"groups")));
    EXPECT_TRUE(e == expected);
    EXPECT_EQ(utf8(e.str()),
              "<N1:record xmlns:N1=\"" + kKx +
                  "\"><N1:cursor N1:email=\"e1\" N1:dbset=\"d1\">a&amp;b</N1:cursor><N1:groups/></N1:record>");
}
