// Random bytes, password hashes and the token key, all by libsodium: no cryptography of our own.
#pragma once
#include <cstdint>
#include <string>

namespace kxp {

class Db;

std::string hex(const uint8_t *data, size_t n);
std::string random_bytes(size_t n);

// A password's hash in libsodium's argon2id string form, at the cost that $KX_PASSWORD_HASH_COST
// names: "interactive" (the default) or "min" (for tests only).
std::string password_hash(const std::string &password);

enum class PasswordMatch { NO, YES, OLD_FORM };
// Compares in constant time. A stored hash of the old form (salted, iterated SHA-256 of earlier
// builds, with a salt of its own) answers OLD_FORM when it matches, for the caller to rewrite it.
PasswordMatch match_password(const std::string &salt, const std::string &stored, const std::string &password);

// Checks the password against a fixed hash of no one's password, made once at the cost of a real
// one: a refusal of a name that is unknown, inactive or without a password then costs what a wrong
// password costs. Counted as the operation "AdSessionMgr::VerifyDummyPassword".
void verify_dummy_password(const std::string &password);

// Whether the password is the user's; a stored hash of the old form that matches is rewritten in
// the new one (when the set cannot be written, at a later logon).
bool user_password_matches(Db &db, int64_t user, const std::string &salt, const std::string &stored,
                           const std::string &password);

// The installation's key for sealed tokens: 32 random bytes in the data directory's "token.key"
// (0600), made on first use.
std::string token_key();

} // namespace kxp
