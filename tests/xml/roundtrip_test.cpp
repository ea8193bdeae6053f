// Random element trees written by XmlDoc and read back by xmllint, DomParser and SaxParser.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "wexxml/domparser.h"
#include "wexxml/saxparser.h"
#include "wexxml/xmldoc.h"
#include "xml_test_util.h"

using Nul::DomParser;
using Nul::SaxParser;
using Nul::UString;
using Nul::XmlDoc;
using Nul::XmlTag;
using xmltest::utf8;

namespace {

// Predefined tags that read back as themselves: a namespace whose names resolve to predefined
// tags (not ATR:, FLD: or none).
std::vector<XmlTag::Id> const &vocabulary() {
    static std::vector<XmlTag::Id> const tags = [] {
        std::vector<XmlTag::Id> v;
        for (int id = 1; id <= 1166; ++id) {
            try {
                XmlTag const &t = XmlTag::lookup(XmlTag::Id(id));
                int ns = t.ns_id();
                if (ns >= 0 && ns != 2 && ns != 8) v.push_back(t.id());
            } catch (Nul::STPException const &) {
            }
        }
        return v;
    }();
    return tags;
}

struct Node {
    XmlTag::Id tag;
    std::vector<std::pair<XmlTag::Id, std::wstring>> attrs;
    std::wstring text;
    std::vector<Node> children;
};

std::wstring random_text(std::mt19937 &rng) {
    static wchar_t const *const pieces[] = {L"a",     L"Zq", L"&", L"<",         L"\"",     L"]]>",
                                            L">",     L"'",  L" ", L"\u00e9",    L"\u4e2d", L"\U0001F600",
                                            L"&amp;", L"]]", L"]", L"<![CDATA[", L"0"};
    std::uniform_int_distribution<int> len(0, 8), pick(0, sizeof pieces / sizeof pieces[0] - 1);
    std::wstring s;
    for (int n = len(rng); n > 0; --n) s += pieces[pick(rng)];
    return s;
}

Node random_node(std::mt19937 &rng, int depth) {
    auto const &vocab = vocabulary();
    std::uniform_int_distribution<std::size_t> pick(0, vocab.size() - 1);
    std::uniform_int_distribution<int> few(0, 3);
    Node n{vocab[pick(rng)], {}, {}, {}};
    for (int a = few(rng); a > 0; --a) {
        XmlTag::Id t = vocab[pick(rng)];
        bool taken = false;
        for (auto const &p : n.attrs) taken |= p.first == t;
        if (!taken) n.attrs.emplace_back(t, random_text(rng));
    }
    if (depth < 4 && few(rng) > 1) {
        for (int c = few(rng) + 1; c > 0; --c) n.children.push_back(random_node(rng, depth + 1));
    } else {
        n.text = random_text(rng);
    }
    return n;
}

// The writer's tree; `reversed` gives the attributes in the order the readers hand them out.
XmlDoc::Elem to_elem(Node const &n, bool reversed) {
    XmlDoc::Elem e(n.tag);
    auto attrs = n.attrs;
    if (reversed) std::reverse(attrs.begin(), attrs.end());
    for (auto const &[t, v] : attrs) e.add_attr(t, UString(v.c_str()));
    for (Node const &c : n.children) e.add_elem(to_elem(c, reversed));
    e.add_body(UString(n.text.c_str()), true);
    return e;
}

// Compares a parsed element with the node, attributes as a set (canonical XML sorts them).
void expect_matches(DomParser::Elem e, Node const &n, std::string const &where) {
    ASSERT_EQ(e.tag(), n.tag) << where;
    std::map<XmlTag::Id, std::string> got, want;
    for (DomParser::Attribute a = e.next_attr(); !a.is_nil(); a = e.next_attr()) got[a.tag()] = utf8(a.data());
    for (auto const &[t, v] : n.attrs) want[t] = utf8(UString(v.c_str()));
    EXPECT_EQ(got, want) << where;
    if (n.children.empty()) {
        EXPECT_EQ(utf8(e.data()), utf8(UString(n.text.c_str()))) << where;
        EXPECT_TRUE(e.next_child().is_nil()) << where;
        return;
    }
    std::size_t i = 0;
    for (DomParser::Elem c = e.next_child(); !c.is_nil(); c = e.next_child(), ++i) {
        ASSERT_LT(i, n.children.size()) << where;
        expect_matches(c, n.children[i], where + "/" + std::to_string(i));
    }
    EXPECT_EQ(i, n.children.size()) << where;
}

std::string run(std::string const &command) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    int status = pclose(p);
    if (status != 0) out = "FAILED(" + std::to_string(status) + ")";
    return out;
}

} // namespace

TEST(XmlRoundTrip, RandomTreesReadBackEqual) {
    ASSERT_GT(vocabulary().size(), 1000u);
    char dir_template[] = "/tmp/kx_xml_rt_XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    std::string dir = dir_template;
    for (int round = 0; round < 40; ++round) {
        std::mt19937 rng(1000 + round);
        Node tree = random_node(rng, 0);
        std::string where = "seed " + std::to_string(1000 + round);

        XmlDoc::Elem written = to_elem(tree, false);
        XmlDoc doc(written);
        std::string bytes = doc.byte_array();

        // Our own readers.
        DomParser dom(bytes);
        expect_matches(dom.root(), tree, where);
        std::istringstream in(bytes);
        SaxParser sax(in);
        SaxParser::Elem sax_root = sax.root();
        EXPECT_TRUE(XmlDoc::Elem(sax_root) == to_elem(tree, true)) << where << "\n" << bytes;

        // xmllint reads it, and its canonical form reads back into the same tree.
        std::string file = dir + "/doc" + std::to_string(round) + ".xml";
        std::ofstream(file, std::ios::binary) << bytes;
        std::string canonical = run(std::string(XMLLINT) + " --nonet --c14n " + file + " 2>&1");
        ASSERT_EQ(canonical.rfind("FAILED", 0), std::string::npos) << where << "\n" << bytes;
        DomParser again(canonical);
        expect_matches(again.root(), tree, where + " (c14n)");
        std::remove(file.c_str());
    }
    rmdir(dir.c_str());
}

TEST(XmlRoundTrip, IndentedDocumentIsWellFormed) {
    std::mt19937 rng(7);
    Node tree = random_node(rng, 0);
    XmlDoc doc;
    doc.set_indented_format();
    doc.add_elem(to_elem(tree, false), false);
    doc.close();
    char path[] = "/tmp/kx_xml_ind_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string bytes = doc.byte_array();
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    EXPECT_EQ(run(std::string(XMLLINT) + " --nonet --noout " + path + " 2>&1"), "") << bytes;
    std::remove(path);
}
