// Helpers shared by the XML library's tests.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "tesutil/stpexception.h"
#include "tesutil/xmltag.h"
#include "wexxml/wexxml_catalog.h"

namespace xmltest {

inline Nul::XmlTag::Id tag(int ns, wchar_t const *name) {
    return Nul::XmlTag::lookup(Nul::XmlTag::NsId(ns), Nul::UString(name)).id();
}

// KX: is namespace 5, CTG: 6, TEAM: 18.
inline Nul::XmlTag::Id kx(wchar_t const *name) { return tag(5, name); }
inline Nul::XmlTag::Id ctg(wchar_t const *name) { return tag(6, name); }

inline std::string utf8(Nul::UString const &s) { return s.utf8_str(); }

inline std::string const kKx = "http://korvax.example/TEAM/KX";
inline std::string const kCtg = "http://korvax.example/TEAM/CTG";
inline std::string const kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

// A document whose root KX:record declares k: for KX and c: for CTG.
inline std::string doc(std::string const &body) {
    return kDecl + "<k:record xmlns:k=\"" + kKx + "\" xmlns:c=\"" + kCtg + "\">" + body + "</k:record>";
}

inline std::string rendered(Nul::STPException const &e) { return e.msg().utf8_str(); }

// `depth` nested elements r, the innermost empty.
inline std::string nested(int depth) {
    std::string text;
    for (int i = 1; i < depth; ++i) text += "<r>";
    text += "<r/>";
    for (int i = 1; i < depth; ++i) text += "</r>";
    return text;
}

// An element r with `count` attributes.
inline std::string with_attributes(int count) {
    std::string text = "<r";
    for (int i = 0; i < count; ++i) text += " a" + std::to_string(i) + "=\"v\"";
    return text + "/>";
}

// A document of exactly `bytes` bytes: an element r padded with blanks.
inline std::string padded(std::size_t bytes) { return "<r>" + std::string(bytes - 7, ' ') + "</r>"; }

} // namespace xmltest

// Runs `stmt`, expects exception class `cls`, and binds its rendered message to `text`.
#define EXPECT_RAISES(stmt, cls, expected)                                                                             \
    do {                                                                                                               \
        bool raised_ = false;                                                                                          \
        try {                                                                                                          \
            stmt;                                                                                                      \
        } catch (cls const &e_) {                                                                                      \
            raised_ = true;                                                                                            \
            EXPECT_EQ(xmltest::rendered(e_), std::string(expected));                                                   \
        }                                                                                                              \
        EXPECT_TRUE(raised_) << "expected " #cls " from " #stmt;                                                       \
    } while (0)
