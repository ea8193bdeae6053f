#include "wexxml/xmldoc.h"

#include <gtest/gtest.h>

#include "xml_test_util.h"

using Nul::IllegalArgException;
using Nul::StateException;
using Nul::UString;
using Nul::XmlDoc;
using Nul::XmlTag;
using xmltest::ctg;
using xmltest::kCtg;
using xmltest::kDecl;
using xmltest::kKx;
using xmltest::kx;
using xmltest::utf8;

namespace {
std::string esc(wchar_t const *s) { return utf8(XmlDoc::escape(UString(s))); }
} // namespace

TEST(XmlDocEscape, Rules) {
    EXPECT_EQ(esc(L"plain > 'text' \"q\""), "plain > 'text' \"q\"");
    EXPECT_EQ(esc(L"a&b"), "a&amp;b");
    EXPECT_EQ(esc(L"<"), "&lt;");
    // Growth 12 equals the CDATA overhead: the CDATA form is taken.
    EXPECT_EQ(esc(L"&&&"), "<![CDATA[&&&]]>");
    EXPECT_EQ(esc(L"<<<<"), "<![CDATA[<<<<]]>");
    EXPECT_EQ(esc(L"&&<"), "&amp;&amp;&lt;");
    // Text holding "]]>" never gets the CDATA form.
    EXPECT_EQ(esc(L"x]]>y"), "x]]&gt;y");
    EXPECT_EQ(esc(L"]]>&&&&<<"), "]]&gt;&amp;&amp;&amp;&amp;&lt;&lt;");
    EXPECT_EQ(esc(L"]]]>>"), "]]]&gt;>");
    EXPECT_EQ(esc(L""), "");
}

TEST(XmlDoc, RootStartedAndClosed) {
    XmlDoc d(kx(L"record"));
    EXPECT_EQ(d.state(), XmlDoc::DOC_ROOT_OPEN);
    d.close();
    EXPECT_EQ(utf8(d.str()), kDecl + "<N1:record xmlns:N1=\"" + kKx + "\"></N1:record>");
    EXPECT_EQ(d.byte_array(), utf8(d.str()));
}

TEST(XmlDoc, GeneratedPrefixesCountUp) {
    XmlDoc d(kx(L"record"));
    d.add_elem(ctg(L"record"), UString(L"t"), false);
    d.add_elem(kx(L"cursor"));
    d.close();
    EXPECT_EQ(utf8(d.str()), kDecl + "<N1:record xmlns:N2=\"" + kCtg + "\" xmlns:N1=\"" + kKx +
                                 "\"><N2:record>t</N2:record><N1:cursor/></N1:record>");
}

TEST(XmlDoc, RegisteredPrefixesAscending) {
    XmlDoc d;
    d.add_ns(XmlTag::NsId(5), UString(L"kx"));
    d.add_ns(XmlTag::NsId(5), UString(L"b"));
    d.add_ns(XmlTag::NsId(5)); // already has a prefix: nothing generated
    d(kx(L"record"));
    d.close();
    EXPECT_EQ(utf8(d.str()), kDecl + "<b:record xmlns:b=\"" + kKx + "\" xmlns:kx=\"" + kKx + "\"/>");
}

TEST(XmlDoc, DefaultNamespaceForm) {
    XmlDoc d(kx(L"record"));
    d.add_elem(ctg(L"record"), true);
    d.push_elem(ctg(L"record"), true);
    d.pop_elem(ctg(L"record"));
    d.close();
    EXPECT_EQ(utf8(d.str()), kDecl + "<N1:record xmlns:N1=\"" + kKx + "\"><record xmlns=\"" + kCtg +
                                 "\"/><record xmlns=\"" + kCtg + "\"></record></N1:record>");
}

TEST(XmlDoc, EndTagRepeatsTheStartTagName) {
    XmlDoc d(ctg(L"record"));
    d.push_elem(kx(L"cursor"), true);        // written without prefix
    d.add_attr(kx(L"email"), UString(L"e")); // now KX gets a prefix
    d.pop_elem(kx(L"cursor"));
    d.add_elem(kx(L"dbset"));
    d.close();
    EXPECT_EQ(utf8(d.str()), kDecl + "<N1:record xmlns:N1=\"" + kCtg + "\" xmlns:N2=\"" + kKx + "\"><cursor xmlns=\"" +
                                 kKx + "\" N2:email=\"e\"></cursor><N2:dbset/></N1:record>");
}

TEST(XmlDoc, TextElements) {
    XmlDoc d;
    d.set_indented_format();
    d.push_elem(kx(L"record"));
    d.add_elem(kx(L"cursor"), UString(L""), true);
    d.add_elem(kx(L"email"), UString(L"a<b"), true);
    d.add_elem(kx(L"dbset"), L"x&y", false);
    d.push_elem(kx(L"groups"));
    d(kx(L"email"));
    d.pop_elem(kx(L"groups"));
    d.push_elem(kx(L"groups"));
    d.pop_elem(kx(L"groups"));
    d.close();
    EXPECT_EQ(utf8(d.str()), kDecl + "\n<N1:record xmlns:N1=\"" + kKx +
                                 "\">"
                                 "\n  <N1:cursor/>"
                                 "\n  <N1:email>a&lt;b</N1:email>"
                                 "\n  <N1:dbset>x&y</N1:dbset>"
                                 "\n  <N1:groups>"
                                 "\n    <N1:email/>"
                                 "\n  </N1:groups>"
                                 "\n  <N1:groups></N1:groups>"
                                 "\n</N1:record>\n");
}

TEST(XmlDoc, AttributeValuesAreEscaped) {
    XmlDoc d(kx(L"record"));
    d.add_attr(kx(L"email"), UString(L"a&b<\"c\"'>\n"));
    d.add_attr(kx(L"cursor"), 42L);
    d.close();
    EXPECT_EQ(utf8(d.str()), kDecl + "<N1:record xmlns:N1=\"" + kKx +
                                 "\" N1:email=\"a&amp;b&lt;&quot;c&quot;'>&#10;\" N1:cursor=\"42\"></N1:record>");
}

TEST(XmlDoc, PopWithZeroClosesInnermost) {
    XmlDoc d(kx(L"record"));
    d.push_elem(kx(L"cursor"));
    d.pop_elem(XmlTag::Id(0));
    d.pop_elem(XmlTag::Id(0));
    EXPECT_EQ(d.state(), XmlDoc::DOC_CLOSE_PENDING);
    d.close();
    EXPECT_EQ(utf8(d.str()), kDecl + "<N1:record xmlns:N1=\"" + kKx + "\"><N1:cursor></N1:cursor></N1:record>");
}

TEST(XmlDoc, CloseNewAndCloseTwice) {
    XmlDoc d;
    d.close();
    EXPECT_EQ(utf8(d.str()), "");
    EXPECT_RAISES(d.close(), StateException, "TLQSV0691E Document is not in DOC_CLOSE_PENDING state.");
    XmlDoc prolog(XmlTag::Id(0));
    EXPECT_RAISES(prolog.close(), StateException, "TLQSV0691E Document is not in DOC_CLOSE_PENDING state.");
}

TEST(XmlDoc, IncrementalOutputAndLateNamespace) {
    XmlDoc d;
    d.add_ns(XmlTag::NsId(6), UString(L"c"));
    d.push_elem(kx(L"record"));
    d.add_attr(ctg(L"record"), UString(L"v"));
    EXPECT_EQ(utf8(d.inc_str()),
              kDecl + "<N1:record xmlns:c=\"" + kCtg + "\" xmlns:N1=\"" + kKx + "\" c:record=\"v\">");
    d.add_elem(kx(L"cursor"));
    // TEAM: still needs a prefix, but the root start tag is already out.
    EXPECT_RAISES(d.add_elem(xmltest::tag(18, L"access-rights")), StateException,
                  "TLQSV0698E Namespace cannot be added after partial output.");
    EXPECT_RAISES(d.add_ns(XmlTag::NsId(0), UString(L"a")), StateException,
                  "TLQSV0698E Namespace cannot be added after partial output.");
}

TEST(XmlDoc, CommentBeforeRootSuppressesDeclaration) {
    XmlDoc d;
    d.add_comment(UString(L"hello"));
    d.add_processing_instruction(UString(L"pi x"));
    d.push_elem(kx(L"record"));
    d.add_comment(UString(L"in"));
    d.pop_elem(kx(L"record"));
    d.close();
    EXPECT_EQ(utf8(d.str()), "<!-- hello --><?pi x?><N1:record xmlns:N1=\"" + kKx + "\"><!-- in --></N1:record>");
}

TEST(XmlDoc, CdataElements) {
    XmlDoc d(kx(L"record"));
    d.add_elem_CDATA(kx(L"email"), UString(L"<&>"));
    EXPECT_RAISES(d.add_elem_CDATA(kx(L"email"), UString(L"a]]>b")), IllegalArgException,
                  "TLQSV0693E CDATA text contains termination string, ']]>' for arg: 'a]]>b' with value: 'a]]>b'");
    d.close();
    EXPECT_EQ(utf8(d.str()),
              kDecl + "<N1:record xmlns:N1=\"" + kKx + "\"><N1:email><![CDATA[<&>]]></N1:email></N1:record>");
}

TEST(XmlDoc, MisuseRaises) {
    XmlDoc d(kx(L"record"));
    d.append_elem_body(UString(L"t"), false);
    EXPECT_RAISES(d.add_attr(kx(L"email"), UString(L"x")), StateException,
                  "TLQSV0692E Document must have open element(s) to add an attribute.");
    EXPECT_RAISES(d.pop_elem(kx(L"email")), StateException, "TLQSV0695E Popped element doesn't match active element.");
    EXPECT_RAISES(d.str(), StateException, "TLQSV0697E XmlDoc::close() hasn't been called.");
    EXPECT_RAISES(d.byte_array(), StateException, "TLQSV0697E XmlDoc::close() hasn't been called.");
    d.push_elem(kx(L"cursor"));
    EXPECT_RAISES(d.close(), StateException, "TLQSV0690E There are one or more active pushed elements.");
    d.pop_elem(kx(L"cursor"));
    d.pop_elem(kx(L"record"));
    EXPECT_RAISES(d.pop_elem(XmlTag::Id(0)), StateException, "TLQSV0695E Popped element doesn't match active element.");
    EXPECT_RAISES(d.append_elem_body(UString(L"x"), false), StateException,
                  "TLQSV0694E Document must have open element(s) to add an element text body.");
    EXPECT_RAISES(d.push_elem(kx(L"cursor")), StateException,
                  "TLQSV0696E Document state disallows adding a start tag.");
    EXPECT_RAISES(d.add_comment(UString(L"c")), StateException,
                  "TLQSV0696E Document state disallows adding a start tag.");
    d.close();
    EXPECT_EQ(utf8(d.str()), kDecl + "<N1:record xmlns:N1=\"" + kKx + "\">t<N1:cursor></N1:cursor></N1:record>");
    XmlDoc fresh;
    EXPECT_RAISES(fresh.inc_str(), StateException, "TLQSV0699E Document must be started in order to get output.");
}

TEST(XmlDoc, StrOfElemLeavesDocumentAndPendingStartTag) {
    XmlDoc d(kx(L"record"));
    d.push_elem(kx(L"cursor")); // start tag still open
    XmlDoc::Elem e(kx(L"email"), UString(L"v"), false);
    EXPECT_EQ(utf8(d.str(e)), "<N1:email>v</N1:email>");
    d.add_attr(kx(L"dbset"), UString(L"x")); // still possible: the start tag is open
    d.pop_elem(kx(L"cursor"));
    d.close();
    EXPECT_EQ(utf8(d.str()),
              kDecl + "<N1:record xmlns:N1=\"" + kKx + "\"><N1:cursor N1:dbset=\"x\"></N1:cursor></N1:record>");
}

TEST(XmlDoc, StrOfElemOnNewDocumentUsesDefaultForm) {
    XmlDoc d;
    XmlDoc::Elem e(kx(L"email"));
    e.add_elem(ctg(L"record"), UString(L"1"), false);
    EXPECT_EQ(utf8(d.str(e)), "<N1:email><record xmlns=\"" + kCtg + "\">1</record></N1:email>");
    EXPECT_EQ(d.state(), XmlDoc::DOC_PROLOG);
    d(kx(L"record"));
    d.close();
    EXPECT_EQ(utf8(d.str()), kDecl + "<N1:record xmlns:N1=\"" + kKx + "\"/>");
}

TEST(XmlDoc, StrOfElemRestoresAfterFailure) {
    XmlDoc d(kx(L"record"));
    d.inc_str();
    XmlDoc::Elem e(kx(L"email"));
    e.add_attr(xmltest::tag(18, L"access-rights"), UString(L"x")); // attributes always need a prefix
    EXPECT_RAISES(d.str(e), StateException, "TLQSV0698E Namespace cannot be added after partial output.");
    d.add_elem(kx(L"cursor"));
    d.close();
    EXPECT_EQ(utf8(d.str()), "<N1:cursor/></N1:record>");
}

TEST(XmlDocElem, WritingEmptyAndAttributeOnlyElements) {
    XmlDoc::Elem bare(kx(L"record"));
    EXPECT_TRUE(bare.empty());
    EXPECT_EQ(utf8(bare.str()), "<N1:record xmlns:N1=\"" + kKx + "\"/>");
    XmlDoc::Elem with_attr(kx(L"record"));
    with_attr.add_attr(kx(L"email"), UString(L"x"));
    EXPECT_TRUE(with_attr.empty());
    EXPECT_EQ(utf8(with_attr.str()), "<N1:record xmlns:N1=\"" + kKx + "\" N1:email=\"x\"></N1:record>");
    EXPECT_TRUE(XmlDoc::Elem().is_nil());
}

TEST(XmlDocElem, TreeStrContentAndDocument) {
    XmlDoc::Elem e(kx(L"record"));
    e.add_attr(kx(L"email"), 7L);
    e.add_body(UString(L"a&b"), true);
    e.add_body(UString(L""), true);
    e.add_elem(kx(L"cursor"), UString(L"<t>"), true);
    EXPECT_EQ(utf8(e.content()), "a&amp;b<N1:cursor xmlns:N1=\"" + kKx + "\">&lt;t></N1:cursor>");
    EXPECT_EQ(utf8(e.str()),
              "<N1:record xmlns:N1=\"" + kKx + "\" N1:email=\"7\">a&amp;b<N1:cursor>&lt;t></N1:cursor></N1:record>");
    XmlDoc d(e);
    EXPECT_EQ(utf8(d.str()), kDecl + utf8(e.str()));
}

TEST(XmlDocElem, CopiesShareChildren) {
    XmlDoc::Elem e(kx(L"record"));
    XmlDoc::Elem &child = e.add_elem(XmlDoc::Elem(kx(L"cursor")));
    XmlDoc::Elem copy(e);
    child.add_body(UString(L"later"), false);
    EXPECT_EQ(utf8(copy.content()), utf8(e.content()));
    EXPECT_NE(utf8(copy.content()).find("later"), std::string::npos);
    copy.add_attr(kx(L"email"), UString(L"only in copy"));
    EXPECT_FALSE(copy == e);
    // Assigning an element from one of its own children.
    XmlDoc::Elem &inner = e.add_elem(kx(L"dbset"), UString(L"x"), false);
    e = inner;
    EXPECT_EQ(utf8(e.str()), "<N1:dbset xmlns:N1=\"" + kKx + "\">x</N1:dbset>");
    e = e;
    EXPECT_EQ(e.tag(), kx(L"dbset"));
}

TEST(XmlDocElem, EqualityIgnoresOrderOfLikeChildrenAndIsSymmetric) {
    auto item = [](wchar_t const *text) { return XmlDoc::Elem(kx(L"cursor"), UString(text), false); };
    XmlDoc::Elem a(kx(L"record")), b(kx(L"record"));
    a.add_elem(item(L"1"));
    a.add_elem(item(L"2"));
    b.add_elem(item(L"2"));
    b.add_elem(item(L"1"));
    EXPECT_TRUE(a == b);
    EXPECT_TRUE(b == a);
    XmlDoc::Elem c(kx(L"record")), d(kx(L"record"));
    c.add_elem(item(L"1"));
    c.add_elem(item(L"1"));
    d.add_elem(item(L"1"));
    d.add_elem(item(L"2"));
    EXPECT_FALSE(c == d);
    EXPECT_FALSE(d == c);
    EXPECT_TRUE(c != d);
    // Mixed children keep their order.
    XmlDoc::Elem m1(kx(L"record")), m2(kx(L"record"));
    m1.add_elem(item(L"1"));
    m1.add_elem(kx(L"email"), UString(L""), false);
    m2.add_elem(kx(L"email"), UString(L""), false);
    m2.add_elem(item(L"1"));
    EXPECT_FALSE(m1 == m2);
    EXPECT_TRUE(m1 == XmlDoc::Elem(m1));
    EXPECT_TRUE(XmlDoc::Elem(kx(L"email")) < XmlDoc::Elem(kx(L"cursor")) ||
                XmlDoc::Elem(kx(L"cursor")) < XmlDoc::Elem(kx(L"email")));
}

TEST(XmlDoc, CopyCarriesEverything) {
    XmlDoc d(kx(L"record"));
    d.push_elem(kx(L"cursor"));
    XmlDoc copy(d);
    copy.add_attr(kx(L"email"), UString(L"c"));
    copy.pop_elem(kx(L"cursor"));
    copy.close();
    d.pop_elem(kx(L"cursor"));
    d.close();
    EXPECT_EQ(utf8(copy.str()),
              kDecl + "<N1:record xmlns:N1=\"" + kKx + "\"><N1:cursor N1:email=\"c\"></N1:cursor></N1:record>");
    EXPECT_EQ(utf8(d.str()), kDecl + "<N1:record xmlns:N1=\"" + kKx + "\"><N1:cursor></N1:cursor></N1:record>");
}

TEST(XmlDoc, NonAsciiTextIsUtf8InByteArray) {
    XmlDoc d(kx(L"record"));
    d.append_elem_body(UString(L"\u00e9\u4e2d\U0001F600"), true);
    d.close();
    std::string bytes = d.byte_array();
    EXPECT_NE(bytes.find("\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80"), std::string::npos);
}

TEST(XmlDoc, LargeDocumentGrowsBuffer) {
    XmlDoc d(kx(L"record"));
    for (int i = 0; i < 2000; ++i) d.add_elem(kx(L"cursor"), UString(std::to_wstring(i)), false);
    d.close();
    std::string s = utf8(d.str());
    EXPECT_NE(s.find("<N1:cursor>1999</N1:cursor></N1:record>"), std::string::npos);
    EXPECT_GT(s.size(), 40000u);
}

TEST(XmlDoc, TagsWithoutNamespaceAreWrittenPlain) {
    XmlTag::Id status = XmlTag::Id(1098);
    ASSERT_EQ(XmlTag::lookup(status).ns_id(), XmlTag::NsId(-1));
    XmlDoc d(kx(L"record"));
    d.push_elem(status);
    d.add_attr(status, UString(L"s"));
    d.pop_elem(status);
    d.close();
    EXPECT_EQ(utf8(d.str()), kDecl + "<N1:record xmlns:N1=\"" + kKx + "\"><status status=\"s\"></status></N1:record>");
}
