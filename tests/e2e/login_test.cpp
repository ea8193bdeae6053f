// login and delete_state against the real program and its demo database set.
#include "demo_server.h"
#include "props_client.h"
#include "server_process.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

using namespace e2e;

namespace {

struct LoginRequest {
    std::string repository, user, password, locale = "en_US", context, client_host;
    bool security = false;
    std::vector<char> correlator;
};

bool_t xdr_login_request(XDR *xdrs, LoginRequest *r) {
    u_int length = static_cast<u_int>(r->correlator.size());
    int wtid = 7;
    bool_t security = r->security;
    return xdr_u_int(xdrs, &length) && (length == 0 || xdr_opaque(xdrs, r->correlator.data(), length)) &&
           xdr_int(xdrs, &wtid) && xdr_utf8(xdrs, &r->repository) && xdr_utf8(xdrs, &r->user) &&
           xdr_utf8(xdrs, &r->password) && xdr_utf8(xdrs, &r->locale) && xdr_utf8(xdrs, &r->context) &&
           xdr_bool(xdrs, &security) && xdr_utf8(xdrs, &r->client_host);
}

// The reply: FALSE and a 16-byte handle, or TRUE and an error record.
struct LoginReply {
    bool_t failed = FALSE;
    std::array<char, 16> handle{};
    ErrorRecord error;
};

bool_t xdr_login_reply(XDR *xdrs, LoginReply *r) {
    if (!xdr_bool(xdrs, &r->failed)) return FALSE;
    if (r->failed) return xdr_error_record(xdrs, &r->error);
    u_int length = 0;
    return xdr_u_int(xdrs, &length) && length == 16 && xdr_opaque(xdrs, r->handle.data(), 16);
}

LoginRequest make_request(std::string repository, std::string user, std::string password, bool security = false) {
    LoginRequest r;
    r.repository = std::move(repository);
    r.user = std::move(user);
    r.password = std::move(password);
    r.security = security;
    return r;
}

clnt_stat login(Client &client, LoginRequest &request, LoginReply &reply) {
    return client.call(5, as_proc(xdr_login_request), &request, as_proc(xdr_login_reply), &reply);
}

using LoginE2E = DemoServerTest;

} // namespace

TEST_F(LoginE2E, DemoUserLogsInAndTheHandleIsReleasedOnce) {
    Client client(server_->port());
    ASSERT_TRUE(client.ok());
    LoginRequest request = make_request("KXDEMO/ISSUE", "alice", "alice");
    LoginReply reply;
    ASSERT_EQ(RPC_SUCCESS, login(client, request, reply));
    ASSERT_FALSE(reply.failed) << reply.error.message;
    EXPECT_NE((std::array<char, 16>{}), reply.handle);

    LoginReply second;
    ASSERT_EQ(RPC_SUCCESS, login(client, request, second));
    ASSERT_FALSE(second.failed);
    EXPECT_NE(reply.handle, second.handle);

    std::array<char, 16> unknown{};
    unknown[3] = 9;
    EXPECT_EQ((std::vector<int>{0, 1, 0}), delete_state(client, {reply.handle, unknown, second.handle}));
    EXPECT_EQ((std::vector<int>{1, 1}), delete_state(client, {reply.handle, second.handle}));
    EXPECT_EQ((std::vector<int>{}), delete_state(client, {}));
}

TEST_F(LoginE2E, AdministratorLogsInToTheDatabaseSet) {
    Client client(server_->port());
    LoginRequest request = make_request("KXDEMO", "admin", "admin");
    LoginReply reply;
    ASSERT_EQ(RPC_SUCCESS, login(client, request, reply));
    ASSERT_FALSE(reply.failed) << reply.error.message;
    EXPECT_EQ((std::vector<int>{0}), delete_state(client, {reply.handle}));
}

TEST_F(LoginE2E, WrongPasswordIsAnErrorRecord) {
    Client client(server_->port());
    LoginRequest request = make_request("KXDEMO/ISSUE", "alice", "not-her-password");
    LoginReply reply;
    ASSERT_EQ(RPC_SUCCESS, login(client, request, reply));
    ASSERT_TRUE(reply.failed);
    EXPECT_NE(0, reply.error.reason);
    EXPECT_FALSE(reply.error.message.empty());
    EXPECT_EQ("TLQSV", reply.error.message.substr(0, 5)) << reply.error.message;
    EXPECT_EQ(2, reply.error.extension);
    // The connection and the server go on.
    EXPECT_EQ(RPC_SUCCESS, client.ping());
    LoginRequest good = make_request("KXDEMO/ISSUE", "bob", "bob");
    LoginReply ok;
    ASSERT_EQ(RPC_SUCCESS, login(client, good, ok));
    EXPECT_FALSE(ok.failed);
}

TEST_F(LoginE2E, TruncatedArgumentsAreGarbageArgs) {
    Client client(server_->port());
    // Only the correlator length: the rest of the request is missing.
    auto truncated = [](XDR *xdrs, void *) -> bool_t {
        u_int none = 0;
        return xdr_u_int(xdrs, &none);
    };
    bool_t (*routine)(XDR *, void *) = truncated;
    EXPECT_EQ(RPC_CANTDECODEARGS, client.call(5, as_proc(routine), nullptr, xdr_none, nullptr));
    EXPECT_EQ(RPC_CANTDECODEARGS, client.call(2, as_proc(routine), nullptr, xdr_none, nullptr));
    EXPECT_EQ(RPC_SUCCESS, client.ping());
}

// Counted strings stay whole: a NUL inside is refused, never compared as the prefix before it;
// a name longer than its bound (but in a record that stays in memory) is refused before the
// server reads it.
TEST_F(LoginE2E, NulInsideAndOversizedStringsAreRefused) {
    Client client(server_->port());
    using std::string;
    std::vector<LoginRequest> hostile = {
        make_request("KXDEMO/ISSUE", "alice", string("alice\0garbage", 13)),
        make_request("KXDEMO/ISSUE", string("alice\0x", 7), "alice"),
        make_request(string("KXDEMO\0/ISSUE", 13), "alice", "alice"),
        make_request("KXDEMO/ISSUE", string(1u << 19, 'a'), "alice"),
    };
    for (auto &request : hostile) {
        LoginReply reply;
        EXPECT_EQ(RPC_CANTDECODEARGS, login(client, request, reply)) << request.user.size();
    }
    LoginRequest good = make_request("KXDEMO/ISSUE", "alice", "alice");
    LoginReply ok;
    ASSERT_EQ(RPC_SUCCESS, login(client, good, ok));
    EXPECT_FALSE(ok.failed) << ok.error.message;
}

// Every file of the data directory with its size and a hash of its bytes.
static std::map<std::string, std::pair<std::size_t, std::size_t>> snapshot(std::string const &directory) {
    std::map<std::string, std::pair<std::size_t, std::size_t>> files;
    for (auto const &entry : std::filesystem::directory_iterator(directory)) {
        // SQLite's journal of an open connection comes and goes with the connection.
        std::string name = entry.path().filename().string();
        if (name.ends_with("-wal") || name.ends_with("-shm")) continue;
        std::string bytes = read_file(entry.path().string());
        files[name] = {bytes.size(), std::hash<std::string>{}(bytes)};
    }
    return files;
}

// Messages have one language: every locale, any text, gets the English one.
TEST_F(LoginE2E, EveryLocaleGetsTheEnglishMessage) {
    Client client(server_->port());
    for (char const *locale : {"en_US", "fr_FR", "de_DE", "ja_JP", "", "no such locale"}) {
        LoginRequest request = make_request("KXDEMO/ISSUE", "alice", "wrong");
        request.locale = locale;
        LoginReply reply;
        ASSERT_EQ(RPC_SUCCESS, login(client, request, reply)) << locale;
        ASSERT_TRUE(reply.failed) << locale;
        EXPECT_EQ(47, reply.error.reason) << locale;
        EXPECT_EQ("TLQSV0775E This login is forbidden: Login failed for user 'alice'.", reply.error.message) << locale;
    }
}

// A refused login leaves the data directory as it was, an empty file under a set's name included,
// and its text names no file of the server.
TEST_F(LoginE2E, RefusedLoginsLeaveTheDataDirectoryAndNameNoPath) {
    std::string const data = dir_.file("data");
    Client client(server_->port());
    // The first login creates the demo set; then an empty file appears under another set's name.
    LoginRequest warm = make_request("KXDEMO/ISSUE", "alice", "alice");
    LoginReply warmed;
    ASSERT_EQ(RPC_SUCCESS, login(client, warm, warmed));
    ASSERT_FALSE(warmed.failed);
    EXPECT_EQ((std::vector<int>{0}), delete_state(client, {warmed.handle}));
    write_file(data + "/EMPTY.kxdb", "");
    auto const before = snapshot(data);
    for (auto request :
         {make_request("EMPTY/ISSUE", "alice", "alice"), make_request("EMPTY", "admin", "admin"),
          make_request("NOSUCH/ISSUE", "alice", "alice"), make_request("KXDEMO/ISSUE", "alice", "wrong")}) {
        LoginReply reply;
        ASSERT_EQ(RPC_SUCCESS, login(client, request, reply)) << request.repository;
        ASSERT_TRUE(reply.failed) << request.repository;
        EXPECT_EQ(std::string::npos, reply.error.message.find(data)) << reply.error.message;
        EXPECT_EQ(std::string::npos, reply.error.message.find(".kxdb")) << reply.error.message;
    }
    EXPECT_EQ(before, snapshot(data));
}

// A data directory that cannot hold sets (a file under its name, or a path beneath a file) makes
// every set unreachable: reason 18 with the set's name, and no path of the server in the text.
TEST(UnusableDataDirectory, LoginsAnswerASetThatCannotBeReached) {
    TempDir dir;
    write_file(dir.file("notadir"), "a file, not a folder");
    for (std::string const &data : {dir.file("notadir"), dir.file("notadir/data")}) {
        ServerProcess server({}, dir.path(), {"KX_PRODUCT_DATA=" + data});
        ASSERT_TRUE(server.start()) << data;
        Client client(server.port());
        ASSERT_TRUE(client.ok());
        for (auto request :
             {make_request("KXDEMO/ISSUE", "alice", "alice"), make_request("KXDEMO", "admin", "admin")}) {
            LoginReply reply;
            ASSERT_EQ(RPC_SUCCESS, login(client, request, reply)) << data;
            ASSERT_TRUE(reply.failed) << data;
            EXPECT_EQ(18, reply.error.reason) << data << " " << request.repository;
            EXPECT_EQ("TLQSV0775E This login is forbidden: Cannot connect to database set 'KXDEMO'.",
                      reply.error.message);
            EXPECT_EQ(2, reply.error.extension);
            EXPECT_EQ("KXDEMO", reply.error.extension_text);
            EXPECT_EQ(std::string::npos, reply.error.message.find(dir.path())) << reply.error.message;
        }
        EXPECT_EQ("a file, not a folder", read_file(dir.file("notadir")));
        server.signal(SIGTERM);
        EXPECT_EQ(0, server.wait().status) << data;
    }
}

TEST(SingleSignOn, PasswordToolFileEnablesTheLogonOnTheNextStart) {
    TempDir dir;
    std::string const secret = "kxdemo-single-sign-on-shared-secret";
    // The tool seals with the installation's key, kept beside the data the server serves.
    std::vector<std::string> env = {"KX_PRODUCT_DATA=" + dir.file("data")};
    Outcome tool = run_to_exit({"-sso_password", secret}, dir.path(), env);
    ASSERT_EQ(0, tool.status) << tool.err;
    EXPECT_EQ("", tool.err);
    std::string written = read_file(dir.file("sso.properties.temp"));
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
              std::filesystem::status(dir.file("sso.properties.temp")).permissions());
    EXPECT_EQ("Encrypted SSO client password: " + written, tool.out);
    EXPECT_EQ(std::string::npos, written.find(secret));
    EXPECT_EQ('\n', written.back());
    EXPECT_EQ(std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
              std::filesystem::status(dir.file("data/token.key")).permissions());

    // The client presents the encrypted password; the server matches it and decrypts it.
    std::string const token = written.substr(0, written.size() - 1);
    LoginRequest sso = make_request("KXDEMO/ISSUE", "carol", token, true);
    {
        // Without the file, single sign-on is off and the logon fails.
        ServerProcess server({}, dir.path(), env);
        ASSERT_TRUE(server.start());
        Client client(server.port());
        LoginReply reply;
        ASSERT_EQ(RPC_SUCCESS, login(client, sso, reply));
        EXPECT_TRUE(reply.failed);
        EXPECT_NE(std::string::npos, reply.error.message.find("TLQSV")) << reply.error.message;
        // A wrong token is refused even with the file in place (checked below).
        server.signal(SIGTERM);
        EXPECT_EQ(0, server.wait().status);
    }
    ASSERT_EQ(0, std::rename(dir.file("sso.properties.temp").c_str(), dir.file("sso.properties").c_str()));
    {
        ServerProcess server({}, dir.path(), env);
        ASSERT_TRUE(server.start());
        Client client(server.port());
        LoginReply reply;
        ASSERT_EQ(RPC_SUCCESS, login(client, sso, reply));
        EXPECT_FALSE(reply.failed) << reply.error.message;
        EXPECT_EQ((std::vector<int>{0}), delete_state(client, {reply.handle}));
        LoginRequest wrong = make_request("KXDEMO/ISSUE", "carol", token + "x", true);
        LoginReply refused;
        ASSERT_EQ(RPC_SUCCESS, login(client, wrong, refused));
        EXPECT_TRUE(refused.failed);
        EXPECT_NE(std::string::npos, refused.error.message.find("Unknown Single Sign On client password"))
            << refused.error.message;
        server.signal(SIGTERM);
        EXPECT_EQ(0, server.wait().status);
    }
}

// protocol.md's steps as an operator and a web tier follow them: the token made from the set's
// password in the server's working directory with the server's data directory, the file renamed,
// the server started there, and the printed token sent as alice's password.
TEST(SingleSignOn, TheDocumentedStepsLogAUserOnAndAnotherPasswordDoesNot) {
    TempDir dir;
    std::vector<std::string> const env = {"KX_PRODUCT_DATA=" + dir.file("data")};
    auto make_token = [&](std::string const &password) {
        Outcome tool = run_to_exit({"-sso_password", password}, dir.path(), env);
        EXPECT_EQ(0, tool.status) << tool.err;
        std::string const printed = "Encrypted SSO client password: ";
        EXPECT_EQ(0u, tool.out.rfind(printed, 0)) << tool.out;
        EXPECT_EQ(0, std::rename(dir.file("sso.properties.temp").c_str(), dir.file("sso.properties").c_str()));
        return tool.out.substr(printed.size(), tool.out.size() - printed.size() - 1);
    };
    auto log_on = [&](std::string const &token) {
        ServerProcess server({}, dir.path(), env);
        EXPECT_TRUE(server.start());
        Client client(server.port());
        LoginRequest request = make_request("KXDEMO/ISSUE", "alice", token, true);
        LoginReply reply;
        EXPECT_EQ(RPC_SUCCESS, login(client, request, reply));
        if (!reply.failed) {
            EXPECT_EQ((std::vector<int>{0}), delete_state(client, {reply.handle}));
        }
        server.signal(SIGTERM);
        EXPECT_EQ(0, server.wait().status);
        return reply;
    };
    LoginReply good = log_on(make_token("kxdemo-single-sign-on-shared-secret"));
    EXPECT_FALSE(good.failed) << good.error.message;
    // A password of the right length that is not the set's: the token matches, the product does
    // not vouch for the user, and the token fails as alice's own password.
    LoginReply other = log_on(make_token("an-operator-chosen-password-of-30+-bytes"));
    ASSERT_TRUE(other.failed);
    EXPECT_EQ(47, other.error.reason);
    EXPECT_EQ("TLQSV0775E This login is forbidden: Login failed for user 'alice'.", other.error.message);
}

TEST(SingleSignOn, ThirtyBytesAreEnough) {
    TempDir dir;
    Outcome tool = run_to_exit({"-sso_password", std::string(30, 'k')}, dir.path());
    EXPECT_EQ(0, tool.status);
    EXPECT_TRUE(file_exists(dir.file("sso.properties.temp")));
}

namespace {

// The value that deploy/kxrpc.service gives the environment variable `name` ("" for none).
std::string unit_setting(std::string const &name) {
    std::string const text = read_file(KX_DEPLOY_UNIT), key = "\nEnvironment=" + name + "=";
    std::size_t const at = text.find(key);
    if (at == std::string::npos) return "";
    std::size_t const start = at + key.size();
    return text.substr(start, text.find('\n', start) - start);
}

std::string const too_many_failures = "TLQSV0775E This login is forbidden: Too many failed logins; try again later.";

std::string login_message(Client &client, std::string const &user, std::string const &password) {
    LoginRequest request = make_request("KXDEMO/ISSUE", user, password);
    LoginReply reply;
    if (login(client, request, reply) != RPC_SUCCESS) return "no reply";
    return reply.failed ? reply.error.message : "";
}

} // namespace

// A web tier logs every user in from one address. With the deploy unit's per-peer setting, more
// failed logins than the default limit (100) leave the other users logging in, while a name that
// fails ten times is still refused on its own; at the default they refuse everyone.
TEST(WebTier, TheUnitsPerPeerSettingKeepsOneBusyPeerFromRefusingEveryone) {
    std::string const unit_value = unit_setting("KX_LOGIN_FAILURES_PER_PEER");
    ASSERT_FALSE(unit_value.empty()) << "deploy/kxrpc.service sets no KX_LOGIN_FAILURES_PER_PEER";
    struct Case {
        std::string setting; // "" for the default
        bool others_refused;
    };
    for (Case const &c : {Case{unit_value, false}, Case{"", true}}) {
        TempDir dir;
        std::vector<std::string> env = {"KX_PRODUCT_DATA=" + dir.file("data")};
        if (!c.setting.empty()) env.push_back("KX_LOGIN_FAILURES_PER_PEER=" + c.setting);
        ServerProcess server({}, dir.path(), env);
        ASSERT_TRUE(server.start());
        Client client(server.port());
        ASSERT_TRUE(client.ok());
        // Visitors mistyping names that do not exist: 101 failures, one past the default limit.
        for (int i = 0; i <= 100; ++i) {
            std::string const name = "visitor" + std::to_string(i);
            EXPECT_EQ(login_message(client, name, "x"),
                      i < 100 || !c.others_refused
                          ? "TLQSV0775E This login is forbidden: Login failed for user '" + name + "'."
                          : too_many_failures)
                << c.setting << " " << i;
        }
        EXPECT_EQ(login_message(client, "bob", "bob"), c.others_refused ? too_many_failures : "") << c.setting;
        if (!c.others_refused) {
            // The per-name limit still holds: ten failures of alice refuse alice, not carol.
            for (int i = 0; i < 10; ++i)
                EXPECT_EQ(login_message(client, "alice", "guess"),
                          "TLQSV0775E This login is forbidden: Login failed for user 'alice'.")
                    << i;
            EXPECT_EQ(login_message(client, "alice", "alice"), too_many_failures);
            EXPECT_EQ(login_message(client, "carol", "carol"), "");
        }
        server.signal(SIGTERM);
        EXPECT_EQ(0, server.wait().status) << c.setting;
    }
}
