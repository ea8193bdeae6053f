// Text escaped for XML markup written by the product (attribute values and element text).
#pragma once
#include <string>

namespace kxp {

inline std::string xml_attr(const std::string& s) {
  std::string out;
  for (char ch : s) {
    switch (ch) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\n': out += "&#10;"; break;
      default: out += ch;
    }
  }
  return out;
}

}  // namespace kxp
