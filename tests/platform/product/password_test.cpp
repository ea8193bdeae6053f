// Password hashes: libsodium's argon2id string form, hashes of the old form accepted once and
// rewritten, the cost chosen by the environment.
#include <sqlite3.h>

#include <string>

#include "kxproduct/kxproduct.h"
#include "test_support.h"

namespace {

// 1000 rounds of SHA-256 over salt and password, as earlier builds stored them (computed apart).
const char kOldSalt[] = "0011223344556677";
const char kOldAliceHash[] = "c776af81cf94c27df014c3da98b6a479560a2dce75fe2bf3a7985fc3d80d4de0";
const char kOldSsoSalt[] = "8899aabbccddeeff";
const char kOldSsoHash[] = "3c1d1696f2ad5f35f5354d453824003c6f9f6e44e20dc0005842f51556e54551";
const wchar_t kSsoSecret[] = L"kxdemo-single-sign-on-shared-secret";

class PasswordTest : public ProductTest {
protected:
    void SetUp() override {
        ProductTest::SetUp();
        demo_logon(L"admin"); // the demo set exists
    }
    std::string one(const std::string &sql) {
        sqlite3 *db = nullptr;
        EXPECT_EQ(sqlite3_open(KXProductStore::SetPath(L"KXDEMO").c_str(), &db), SQLITE_OK);
        std::string out;
        sqlite3_exec(
            db, sql.c_str(),
            [](void *o, int, char **v, char **) {
                *static_cast<std::string *>(o) = v[0] ? v[0] : "";
                return 0;
            },
            &out, nullptr);
        sqlite3_close(db);
        return out;
    }
    bool logs_on(const wchar_t *user, const wchar_t *password) {
        auto s = KXSession::Build();
        try {
            s->WebUserLogon(user, password, L"h", L"", L"ISSUE", L"KXDEMO");
            return true;
        } catch (KXException *e) {
            e->Delete();
            return false;
        }
    }
};

} // namespace

TEST_F(PasswordTest, StoredHashesAreArgon2idStringsWithoutASaltOfTheirOwn) {
    EXPECT_EQ(one("SELECT password_hash FROM users WHERE login_name='alice'").rfind("$argon2id$", 0), 0u);
    EXPECT_EQ(one("SELECT password_salt FROM users WHERE login_name='alice'"), "");
    EXPECT_EQ(one("SELECT value FROM meta WHERE key='sso_hash'").rfind("$argon2id$", 0), 0u);
    // Two users with one password do not share a hash.
    EXPECT_NE(one("SELECT password_hash FROM users WHERE login_name='alice'"),
              one("SELECT password_hash FROM users WHERE login_name='bob'"));
    EXPECT_TRUE(logs_on(L"alice", L"alice"));
    EXPECT_FALSE(logs_on(L"alice", L"Alice"));
    EXPECT_FALSE(logs_on(L"alice", L""));
}

TEST_F(PasswordTest, AnOldFormHashIsAcceptedOnceAndRewrittenAtTheNextLogon) {
    one(std::string("UPDATE users SET password_salt='") + kOldSalt + "', password_hash='" + kOldAliceHash +
        "' WHERE login_name='alice'");
    // A wrong password leaves it as it is.
    EXPECT_FALSE(logs_on(L"alice", L"bob"));
    EXPECT_EQ(one("SELECT password_hash FROM users WHERE login_name='alice'"), kOldAliceHash);
    EXPECT_TRUE(logs_on(L"alice", L"alice"));
    const std::string now = one("SELECT password_hash FROM users WHERE login_name='alice'");
    EXPECT_EQ(now.rfind("$argon2id$", 0), 0u) << now;
    EXPECT_EQ(one("SELECT password_salt FROM users WHERE login_name='alice'"), "");
    EXPECT_TRUE(logs_on(L"alice", L"alice"));
    EXPECT_FALSE(logs_on(L"alice", L"bob"));
    // An old hash that no password produces (a damaged row) lets nobody on.
    one(std::string("UPDATE users SET password_salt='") + kOldSalt + "', password_hash='00' WHERE login_name='bob'");
    EXPECT_FALSE(logs_on(L"bob", L"bob"));
    EXPECT_FALSE(logs_on(L"bob", L""));
}

TEST_F(PasswordTest, AnOldFormSingleSignOnHashIsRewrittenToo) {
    one(std::string("UPDATE meta SET value='") + kOldSsoSalt + "' WHERE key='sso_salt'");
    one(std::string("UPDATE meta SET value='") + kOldSsoHash + "' WHERE key='sso_hash'");
    auto s = KXSession::Build();
    EXPECT_FALSE(s->EnableSSOLogon(L"guess", L"KXDEMO"));
    EXPECT_EQ(one("SELECT value FROM meta WHERE key='sso_hash'"), kOldSsoHash);
    EXPECT_TRUE(s->EnableSSOLogon(kSsoSecret, L"KXDEMO"));
    EXPECT_EQ(one("SELECT value FROM meta WHERE key='sso_hash'").rfind("$argon2id$", 0), 0u);
    EXPECT_EQ(one("SELECT value FROM meta WHERE key='sso_salt'"), "");
    auto again = KXSession::Build();
    EXPECT_TRUE(again->EnableSSOLogon(kSsoSecret, L"KXDEMO"));
}

TEST_F(PasswordTest, TheCostComesFromTheEnvironment) {
    auto admin = KXAdminSession::Build();
    admin->Logon(L"admin", L"admin", L"KXDEMO");
    const struct {
        const char *cost;
        const char *params;
    } cases[] = {{"min", "$m=8,t=1,"}, {"", "$m=65536,t=2,"}}; // unset: the interactive cost
    for (const auto &c : cases) {
        if (*c.cost)
            ::setenv("KX_PASSWORD_HASH_COST", c.cost, 1);
        else
            ::unsetenv("KX_PASSWORD_HASH_COST");
        admin->GetUser(L"dave")->SetPassword(L"new secret");
        const std::string hash = one("SELECT password_hash FROM users WHERE login_name='dave'");
        EXPECT_NE(hash.find(c.params), std::string::npos) << c.cost << ": " << hash;
        EXPECT_TRUE(logs_on(L"dave", L"new secret"));
        EXPECT_FALSE(logs_on(L"dave", L"dave"));
    }
    ::setenv("KX_PASSWORD_HASH_COST", "min", 1);
}
