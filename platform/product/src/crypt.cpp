// Token: "KX" <mode digit> "$" hex(nonce 8) hex(text XOR keystream) hex(check 4).
// The keystream is SHA-256 of key, nonce and block counter; the check is SHA-256 of key, nonce
// and the plain bytes, so a damaged or foreign token is refused instead of decoding to garbage.
#include "kxproduct/crypt.h"

#include <string>

#include "kxproduct/exceptions.h"
#include "kxproduct/faults.h"
#include "sha256.h"

namespace {

const std::string kKey = "korvax-product-secret-v1";

std::string keystream(const std::string& nonce, size_t n) {
  std::string out;
  for (uint32_t block = 0; out.size() < n; ++block) {
    auto d = kxp::sha256(kKey + nonce + std::to_string(block));
    out.append(reinterpret_cast<const char*>(d.data()), d.size());
  }
  out.resize(n);
  return out;
}

std::string check(const std::string& nonce, const std::string& plain) {
  auto d = kxp::sha256(kKey + "|check|" + nonce + plain);
  return std::string(reinterpret_cast<const char*>(d.data()), 4);
}

std::string hexs(const std::string& s) {
  return kxp::hex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

bool unhex(const std::string& h, std::string& out) {
  if (h.size() % 2) return false;
  out.clear();
  for (size_t i = 0; i < h.size(); i += 2) {
    int v = 0;
    for (size_t j = i; j < i + 2; ++j) {
      char c = h[j];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= c - '0';
      else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
      else return false;
    }
    out += static_cast<char>(v);
  }
  return true;
}

[[noreturn]] void bad() {
  throw new KXException(KX_MSG_BAD_ENCRYPTED_TEXT, CString(L"The text is not an encrypted product string."),
                        CString(L"AdDecryptStringMaybeUTF8"));
}

}  // namespace

CString AdEncryptStringMaybeUTF8(const CString& plain, int mode) {
  KXFaultInjector::Enter("AdEncryptStringMaybeUTF8");
  std::string text = plain.ToUtf8();
  std::string nonce = kxp::random_bytes(8);
  std::string ks = keystream(nonce, text.size());
  std::string cipher(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) cipher[i] = static_cast<char>(text[i] ^ ks[i]);
  int m = mode < 0 ? 0 : mode % 10;
  std::string token = "KX" + std::to_string(m) + "$" + hexs(nonce) + hexs(cipher) + hexs(check(nonce, text));
  return CString::FromUtf8(token);
}

CString AdDecryptStringMaybeUTF8(const CString& encrypted) {
  KXFaultInjector::Enter("AdDecryptStringMaybeUTF8");
  std::string token = encrypted.ToUtf8();
  if (token.size() < 4 + 16 + 8 || token.compare(0, 2, "KX") != 0 || token[2] < '0' || token[2] > '9' ||
      token[3] != '$')
    bad();
  std::string raw;
  if (!unhex(token.substr(4), raw) || raw.size() < 12) bad();
  std::string nonce = raw.substr(0, 8);
  std::string cipher = raw.substr(8, raw.size() - 12);
  std::string sum = raw.substr(raw.size() - 4);
  std::string ks = keystream(nonce, cipher.size());
  std::string text(cipher.size(), '\0');
  for (size_t i = 0; i < cipher.size(); ++i) text[i] = static_cast<char>(cipher[i] ^ ks[i]);
  if (check(nonce, text) != sum) bad();
  return CString::FromUtf8(text);
}
