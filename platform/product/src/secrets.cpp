#include "secrets.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

#include "kxproduct/faults.h"
#include "kxproduct/store.h"
#include "sqlite_db.h"

namespace kxp {

namespace {

void ready() {
    static const int rc = sodium_init();
    if (rc < 0) throw std::runtime_error("libsodium cannot start");
}

// The old form: 1000 rounds of SHA-256 over salt and password, as hex.
std::string old_form_hash(const std::string &salt, const std::string &password) {
    std::string h = salt + ":" + password;
    unsigned char d[crypto_hash_sha256_BYTES];
    for (int i = 0; i < 1000; ++i) {
        std::string in = h + salt;
        crypto_hash_sha256(d, reinterpret_cast<const unsigned char *>(in.data()), in.size());
        h.assign(reinterpret_cast<const char *>(d), sizeof d);
    }
    return hex(d, sizeof d);
}

bool is_new_form(const std::string &stored) { return stored.compare(0, 8, "$argon2i") == 0; }

std::string read_key(int fd) {
    std::string key(crypto_secretbox_KEYBYTES + 1, '\0');
    ssize_t n = ::read(fd, key.data(), key.size());
    ::close(fd);
    if (n != static_cast<ssize_t>(crypto_secretbox_KEYBYTES)) throw std::runtime_error("the token key file is damaged");
    key.resize(crypto_secretbox_KEYBYTES);
    return key;
}

std::string load_or_make_key(const std::string &dir) {
    const std::string path = dir + "/token.key";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) return read_key(fd);
    if (errno != ENOENT) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) throw std::runtime_error("cannot create " + dir);
    // Written aside and linked into place, so that a process that loses the race reads the winner's.
    std::string tmp = path + ".XXXXXX";
    fd = ::mkstemp(tmp.data());
    if (fd < 0) throw std::runtime_error("cannot create " + tmp + ": " + std::strerror(errno));
    std::string key = random_bytes(crypto_secretbox_KEYBYTES);
    bool written = ::fchmod(fd, 0600) == 0 && ::write(fd, key.data(), key.size()) == static_cast<ssize_t>(key.size()) &&
                   ::fsync(fd) == 0;
    ::close(fd);
    bool linked = written && ::link(tmp.c_str(), path.c_str()) == 0;
    int link_errno = errno;
    ::unlink(tmp.c_str());
    if (linked) return key;
    if (written && link_errno == EEXIST) {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0) return read_key(fd);
    }
    throw std::runtime_error("cannot write " + path);
}

} // namespace

std::string hex(const uint8_t *data, size_t n) {
    std::string s(n * 2 + 1, '\0');
    sodium_bin2hex(s.data(), s.size(), data, n);
    s.pop_back();
    return s;
}

std::string random_bytes(size_t n) {
    ready();
    std::string s(n, '\0');
    randombytes_buf(s.data(), n);
    return s;
}

std::string password_hash(const std::string &password) {
    ready();
    const char *cost = std::getenv("KX_PASSWORD_HASH_COST");
    const bool least = cost && std::strcmp(cost, "min") == 0;
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(),
                          least ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          least ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw StoreError{0, "not enough memory to hash a password"};
    return out;
}

PasswordMatch match_password(const std::string &salt, const std::string &stored, const std::string &password) {
    ready();
    if (is_new_form(stored))
        return crypto_pwhash_str_verify(stored.c_str(), password.data(), password.size()) == 0 ? PasswordMatch::YES
                                                                                               : PasswordMatch::NO;
    if (salt.empty() || stored.empty()) return PasswordMatch::NO;
    std::string computed = old_form_hash(salt, password);
    bool same = computed.size() == stored.size() && sodium_memcmp(computed.data(), stored.data(), stored.size()) == 0;
    return same ? PasswordMatch::OLD_FORM : PasswordMatch::NO;
}

void verify_dummy_password(const std::string &password) {
    KXFaultInjector::Enter("AdSessionMgr::VerifyDummyPassword");
    static const std::string dummy = password_hash(random_bytes(32));
    ready();
    // Only the work is wanted: no password matches a hash of random bytes.
    if (crypto_pwhash_str_verify(dummy.c_str(), password.data(), password.size()) == 0) return;
}

bool user_password_matches(Db &db, int64_t user, const std::string &salt, const std::string &stored,
                           const std::string &password) {
    PasswordMatch m = match_password(salt, stored, password);
    if (m == PasswordMatch::OLD_FORM) {
        try {
            Stmt(db.handle(), "UPDATE users SET password_salt='', password_hash=? WHERE dbid=? AND password_hash=?")
                .bind(1, password_hash(password))
                .bind(2, user)
                .bind(3, stored)
                .step();
        } catch (const StoreError &) {
            // A set that cannot be written now (read-only, busy) is rewritten at a later logon.
        }
    }
    return m != PasswordMatch::NO;
}

std::string token_key() {
    ready();
    static std::mutex mu;
    static std::map<std::string, std::string> keys; // by data directory
    const std::string dir = KXProductStore::DataDirectory();
    std::lock_guard<std::mutex> lock(mu);
    auto it = keys.find(dir);
    if (it == keys.end()) it = keys.emplace(dir, load_or_make_key(dir)).first;
    return it->second;
}

} // namespace kxp
