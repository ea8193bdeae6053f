// Text escaped for XML markup written by the product (attribute values and element text).
#pragma once
#include <string>
#include <string_view>

namespace kxp {

inline void append_xml_attr(std::string &out, std::string_view s) {
    for (char ch : s) {
        switch (ch) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\n':
            out += "&#10;";
            break;
        default:
            out += ch;
        }
    }
}

inline std::string xml_attr(const std::string &s) {
    std::string out;
    append_xml_attr(out, s);
    return out;
}

} // namespace kxp
