// Token: "KX" <mode digit> "$" hex(nonce) hex(crypto_secretbox of the text) under the
// installation's key, so a damaged, foreign or other installation's token is refused instead of
// decoding to garbage.
#include "kxproduct/crypt.h"

#include <sodium.h>

#include <exception>
#include <string>

#include "kxproduct/diag.h"
#include "kxproduct/exceptions.h"
#include "kxproduct/faults.h"
#include "secrets.h"

namespace {

[[noreturn]] void bad() {
    throw new KXException(KX_MSG_BAD_ENCRYPTED_TEXT, CString(L"The text is not an encrypted product string."),
                          CString(L"AdDecryptStringMaybeUTF8"));
}

std::string key(const char *op) {
    try {
        return kxp::token_key();
    } catch (const std::exception &e) {
        AdDiagnostic::Report(L"Crypt", CString::FromUtf8(e.what()).GetString());
        throw new KXException(KX_MSG_BAD_ENCRYPTED_TEXT,
                              CString(L"The installation's token key cannot be read or made."), CString(op));
    }
}

} // namespace

CString AdEncryptStringMaybeUTF8(const CString &plain, int mode) {
    const char *op = "AdEncryptStringMaybeUTF8";
    KXFaultInjector::Enter(op);
    const std::string k = key(op);
    const std::string text = plain.ToUtf8();
    const std::string nonce = kxp::random_bytes(crypto_secretbox_NONCEBYTES);
    std::string sealed(text.size() + crypto_secretbox_MACBYTES, '\0');
    crypto_secretbox_easy(reinterpret_cast<unsigned char *>(sealed.data()),
                          reinterpret_cast<const unsigned char *>(text.data()), text.size(),
                          reinterpret_cast<const unsigned char *>(nonce.data()),
                          reinterpret_cast<const unsigned char *>(k.data()));
    int m = mode < 0 ? 0 : mode % 10;
    std::string token = "KX" + std::to_string(m) + "$" +
                        kxp::hex(reinterpret_cast<const uint8_t *>(nonce.data()), nonce.size()) +
                        kxp::hex(reinterpret_cast<const uint8_t *>(sealed.data()), sealed.size());
    return CString::FromUtf8(token);
}

CString AdDecryptStringMaybeUTF8(const CString &encrypted) {
    const char *op = "AdDecryptStringMaybeUTF8";
    KXFaultInjector::Enter(op);
    const std::string token = encrypted.ToUtf8();
    const size_t least = 4 + 2 * (crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES);
    if (token.size() < least || token.size() % 2 || token.compare(0, 2, "KX") != 0 || token[2] < '0' ||
        token[2] > '9' || token[3] != '$')
        bad();
    std::string raw(token.size() / 2, '\0');
    size_t n = 0;
    const char *end = nullptr;
    if (sodium_hex2bin(reinterpret_cast<unsigned char *>(raw.data()), raw.size(), token.data() + 4, token.size() - 4,
                       nullptr, &n, &end) != 0 ||
        end != token.data() + token.size())
        bad();
    raw.resize(n);
    const std::string k = key(op);
    const auto *nonce = reinterpret_cast<const unsigned char *>(raw.data());
    const auto *sealed = nonce + crypto_secretbox_NONCEBYTES;
    const size_t sealed_size = raw.size() - crypto_secretbox_NONCEBYTES;
    std::string text(sealed_size - crypto_secretbox_MACBYTES, '\0');
    if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char *>(text.data()), sealed, sealed_size, nonce,
                                   reinterpret_cast<const unsigned char *>(k.data())) != 0)
        bad();
    return CString::FromUtf8(text);
}
