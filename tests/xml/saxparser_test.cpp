#include "wexxml/saxparser.h"

#include <algorithm>
#include <sstream>
#include <streambuf>

#include <gtest/gtest.h>

#include "wexxml/xmldoc.h"
#include "xml_test_util.h"

using Nul::RuntimeException;
using Nul::SaxParser;
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

namespace {

// Counts the bytes that the reader takes from the stream.
class CountingBuf : public std::stringbuf {
public:
    explicit CountingBuf(std::string const &s) : std::stringbuf(s, std::ios_base::in) {}
    std::size_t taken = 0;
    std::size_t largest = 0;

protected:
    std::streamsize xsgetn(char *s, std::streamsize n) override {
        std::streamsize got = std::stringbuf::xsgetn(s, n);
        taken += static_cast<std::size_t>(got);
        largest = std::max(largest, static_cast<std::size_t>(n));
        return got;
    }
};

// Serves a prefix of the text, then fails.
class FailingBuf : public std::streambuf {
public:
    explicit FailingBuf(std::string const &s) : text_(s) {
        setg(text_.data(), text_.data(), text_.data() + text_.size());
    }

protected:
    int_type underflow() override { throw std::runtime_error("device gone"); }

private:
    std::string text_;
};
} // namespace

TEST(SaxParser, EmptyRootIsEmptyWithoutReadingOn) {
    std::istringstream in("<k:record xmlns:k=\"" + kKx + "\"/>");
    SaxParser p(in);
    SaxParser::Elem root = p.root();
    EXPECT_EQ(root.tag(), kx(L"record"));
    EXPECT_TRUE(root.is_empty());
    root.check_is_empty(true);
    EXPECT_TRUE(root.child().is_nil());
    EXPECT_TRUE(root.next_child().is_nil());
    EXPECT_EQ(utf8(root.data()), "");
}

TEST(SaxParser, NextAttrTakesFromTheEnd) {
    std::istringstream in("<k:record xmlns:k=\"" + kKx + "\" k:email=\"a1\" k:cursor=\"a2\" plain=\"x\"/>");
    SaxParser p(in);
    SaxParser::Elem root = p.root();
    SaxParser::Attribute a = root.next_attr(); // "plain" has a run-time tag and is skipped
    ASSERT_FALSE(a.is_nil());
    EXPECT_EQ(a.tag(), kx(L"cursor"));
    EXPECT_EQ(utf8(a.data()), "a2");
    a.match(kx(L"cursor"));
    EXPECT_RAISES(a.match(kx(L"email")), StateException,
                  "TLQSV0679E Internal Error: TLQSV0686E Attribute::match(): Tag Mismatch, expected '" + kKx +
                      "/email' got '" + kKx + "/cursor'.");
    EXPECT_EQ(root.next_attr().tag(), kx(L"email"));
    EXPECT_TRUE(root.next_attr().is_nil());
    SaxParser::Elem copy(root);
    EXPECT_TRUE(copy.next_attr().is_nil());
    EXPECT_TRUE(p.root().next_attr().is_nil());
}

TEST(SaxParser, WalkedElementRefusesChildLookups) {
    std::istringstream in(doc("<k:cursor/><k:email/>"));
    SaxParser p(in);
    SaxParser::Elem root = p.root();
    EXPECT_EQ(root.next_child().tag(), kx(L"cursor"));
    EXPECT_RAISES(root.opt_child(kx(L"email")), StateException,
                  "TLQSV0702E SaxParser::Elem::opt_child() illegally called after call to next_child");
    EXPECT_RAISES(root.child(kx(L"email")), StateException,
                  "TLQSV0702E SaxParser::Elem::opt_child() illegally called after call to next_child");
    EXPECT_RAISES(root.child(), StateException,
                  "TLQSV0703E SaxParser::Elem::child() illegally called after call to next_child");
    EXPECT_EQ(root.next_child().tag(), kx(L"email"));
    EXPECT_TRUE(root.next_child().is_nil());
}

TEST(SaxParser, ChildLookupsScanOn) {
    std::istringstream in(doc("own<k:cursor>c<k:email>deep</k:email></k:cursor>text<c:cursor/>"));
    SaxParser p(in);
    SaxParser::Elem root = p.root();
    SaxParser::Elem first = root.child();
    EXPECT_EQ(first.tag(), kx(L"cursor"));
    EXPECT_EQ(root.child().tag(), kx(L"cursor")); // left in place
    EXPECT_EQ(root.opt_child(ctg(L"cursor")).tag(), ctg(L"cursor"));
    EXPECT_TRUE(root.opt_child(kx(L"email")).is_nil()); // only direct children
    EXPECT_RAISES(root.child(kx(L"dbset")), StateException,
                  "TLQSV0678E Internal Error: TLQSV0684E Elem::child(): Missing required child '" + kKx +
                      "/dbset' under '" + kKx + "/record'.");
    // Only the element's own text.
    EXPECT_EQ(utf8(first.data()), "c");
    EXPECT_EQ(utf8(root.data()), "owntext");
    EXPECT_FALSE(first.is_empty());
    EXPECT_RAISES(first.check_is_empty(true), StateException,
                  "TLQSV0677E Internal Error: TLQSV0682E Elem::check_is_empty(): Element '" + kKx +
                      "/cursor' is-empty mismatch; expected 1, got 0.");
    EXPECT_RAISES(first.match(kx(L"email")), StateException,
                  "TLQSV0679E Internal Error: TLQSV0685E Elem::match(): Tag Mismatch, expected '" + kKx +
                      "/email' got '" + kKx + "/cursor'.");
}

TEST(SaxParser, ChildOfElementWithoutChildrenIsNil) {
    std::istringstream in(doc("<k:cursor>only text</k:cursor>"));
    SaxParser p(in);
    SaxParser::Elem c = p.root().child();
    EXPECT_TRUE(c.child().is_nil());
    EXPECT_FALSE(c.is_empty());
    EXPECT_EQ(utf8(c.data()), "only text");
}

TEST(SaxParser, ReadsOnlyWhatIsAskedFor) {
    std::string body = "<k:cursor>first</k:cursor>";
    for (int i = 0; i < 4000; ++i) body += "<k:email>" + std::to_string(i) + "</k:email>";
    std::string text = doc(body);
    CountingBuf buf(text);
    std::istream in(&buf);
    SaxParser p(in);
    SaxParser::Elem root = p.root();
    SaxParser::Elem first = root.next_child();
    EXPECT_EQ(utf8(first.data()), "first");
    EXPECT_LE(buf.largest, 1024u);
    EXPECT_LE(buf.taken, 4096u) << "of " << text.size();
    int n = 0;
    for (SaxParser::Elem c = root.next_child(); !c.is_nil(); c = root.next_child()) {
        c.match(kx(L"email"));
        if (n == 10) {
            EXPECT_EQ(utf8(c.data()), "10");
            EXPECT_LT(buf.taken, text.size() / 2);
        }
        ++n;
    }
    EXPECT_EQ(n, 4000);
    EXPECT_EQ(buf.taken, text.size());
}

TEST(SaxParser, BadStreamRaises0700) {
    std::string text = doc("<k:cursor/>");
    std::string big = doc(std::string(5000, ' ') + "<k:cursor/>");
    FailingBuf buf(big.substr(0, 3000));
    std::istream in(&buf);
    SaxParser p(in);
    SaxParser::Elem root = p.root();
    EXPECT_RAISES(root.child(), RuntimeException, "TLQSV0700E Bad read on XML input stream");
    // The scan stays stopped.
    EXPECT_RAISES(root.child(), StateException, "TLQSV0701E Not valid XML stream");
    FailingBuf early("<k:rec");
    std::istream in2(&early);
    EXPECT_RAISES(SaxParser{in2}, RuntimeException, "TLQSV0700E Bad read on XML input stream");
}

TEST(SaxParser, MalformedInputRaises0704) {
    std::istringstream in(doc("<k:cursor></k:email>"));
    SaxParser p(in);
    SaxParser::Elem root = p.root();
    SaxParser::Elem c = root.child();
    EXPECT_RAISES(c.data(), StateException, "TLQSV0704E expected end of tag 'k:cursor'");
    std::istringstream empty("");
    EXPECT_THROW(SaxParser{empty}, StateException);
}

TEST(SaxParser, DoctypeIsRefused) {
    std::istringstream external("<!DOCTYPE r [<!ENTITY e SYSTEM \"file:///etc/hostname\">]><r>&e;</r>");
    EXPECT_RAISES(SaxParser{external}, StateException, "TLQSV0704E a DOCTYPE declaration is not accepted");
    std::istringstream bomb("<!DOCTYPE r [<!ENTITY a \"xxxxxxxx\"><!ENTITY b \"&a;&a;&a;&a;\">]><r>&b;&b;</r>");
    EXPECT_RAISES(SaxParser{bomb}, StateException, "TLQSV0704E a DOCTYPE declaration is not accepted");
    std::istringstream junk("abc<r/>");
    EXPECT_RAISES(SaxParser{junk}, StateException, "TLQSV0704E invalid document structure");
}

// Reads every element of the document through its handles; gives the depth below e.
static int walk(SaxParser::Elem e) {
    int deepest = 0;
    for (SaxParser::Elem c = e.next_child(); !c.is_nil(); c = e.next_child()) deepest = std::max(deepest, walk(c));
    return deepest + 1;
}

TEST(SaxParser, DepthBound) {
    int const max = Nul::XmlLimits::max_depth;
    std::istringstream at_bound(xmltest::nested(max));
    SaxParser p(at_bound);
    EXPECT_EQ(walk(p.root()), max);
    std::istringstream past(xmltest::nested(max + 1));
    SaxParser q(past);
    EXPECT_RAISES(walk(q.root()), StateException, "TLQSV0704E elements are nested deeper than 256 levels");
}

TEST(SaxParser, AttributeBound) {
    int const max = Nul::XmlLimits::max_attributes;
    std::istringstream at_bound(xmltest::with_attributes(max));
    SaxParser p(at_bound);
    EXPECT_EQ(p.root().tag(), XmlTag::lookup(UString(), UString(L"r")).id());
    std::istringstream past(xmltest::with_attributes(max + 1));
    EXPECT_RAISES(SaxParser{past}, StateException, "TLQSV0704E an element has more than 256 attributes");
}

TEST(SaxParser, SizeBound) {
    std::size_t const max = Nul::XmlLimits::max_document_bytes;
    std::istringstream at_bound(xmltest::padded(max));
    SaxParser p(at_bound);
    EXPECT_EQ(p.root().data().length(), max - 7);
    std::istringstream past(xmltest::padded(max + 1));
    SaxParser q(past);
    EXPECT_RAISES(q.root().data(), StateException, "TLQSV0704E the document is longer than 1048576 bytes");
}

TEST(SaxParser, NilHandlesRaise) {
    SaxParser::Elem nil;
    EXPECT_RAISES(nil.tag(), StateException, "TLQSV0680E Internal Error: SaxParser::Elem::tag(): nil element.");
    EXPECT_RAISES(nil.match(XmlTag::Id(1)), StateException,
                  "TLQSV0680E Internal Error: SaxParser::Elem::tag(): nil element.");
    EXPECT_RAISES(nil.is_empty(), StateException,
                  "TLQSV0680E Internal Error: SaxParser::Elem::is_empty(): nil element.");
    EXPECT_RAISES(nil.check_is_empty(false), StateException,
                  "TLQSV0680E Internal Error: SaxParser::Elem::is_empty(): nil element.");
    EXPECT_RAISES(nil.next_child(), StateException,
                  "TLQSV0680E Internal Error: SaxParser::Elem::next_child(): nil element.");
    EXPECT_RAISES(nil.data(), StateException, "TLQSV0680E Internal Error: SaxParser::Elem::data(): nil element.");
    SaxParser::Attribute a;
    EXPECT_RAISES(a.data(), StateException, "TLQSV0687E Internal Error: SaxParser::Attribute::data(): nil attribute.");
    SaxParser none;
    EXPECT_TRUE(none.root().is_nil());
}

TEST(SaxParser, HandlesOutliveTheReader) {
    std::istringstream in(doc("<k:cursor><k:email/></k:cursor><k:dbset/>"));
    SaxParser::Elem cursor;
    {
        SaxParser p(in);
        SaxParser copy(p);
        cursor = p.root().child();
    }
    EXPECT_EQ(cursor.tag(), kx(L"cursor"));
    // Nothing is left to scan with: the question fails instead of touching freed memory.
    EXPECT_RAISES(cursor.data(), StateException, "TLQSV0701E Not valid XML stream");
}

TEST(SaxParser, ReaderCopiesShareTheScan) {
    std::istringstream in(doc("<k:cursor/><k:email/>"));
    SaxParser p(in);
    SaxParser q;
    q = p;
    EXPECT_EQ(p.root().next_child().tag(), kx(L"cursor"));
    EXPECT_EQ(q.root().next_child().tag(), kx(L"email"));
    q = q;
    std::istringstream in2(doc(""));
    p.set_xml_doc_text(in2);
    EXPECT_TRUE(p.root().is_empty());
    EXPECT_TRUE(q.root().next_child().is_nil());
}

TEST(SaxParser, WriterElemFromScannedElement) {
    std::istringstream in(doc("<k:cursor k:email=\"e1\" k:dbset=\"d1\">a&amp;b</k:cursor>dropped<k:groups/>"));
    SaxParser p(in);
    SaxParser::Elem root = p.root();
    XmlDoc::Elem e(root);
    XmlDoc::Elem expected(kx(L"record"));
    XmlDoc::Elem &cursor = expected.add_elem(kx(L"cursor"), UString(L"a&b"), true);
    cursor.add_attr(kx(L"dbset"), UString(L"d1"));
    cursor.add_attr(kx(L"email"), UString(L"e1"));
    expected.add_elem(XmlDoc::Elem(kx(L"groups")));
    EXPECT_TRUE(e == expected);
    EXPECT_EQ(utf8(e.str()), utf8(expected.str()));
}
