// Login against the product's demo set in a private data directory.
#include "session/delete_state.h"
#include "session/login.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "diag_capture.h"
#include "kxproduct/crypt.h"
#include "product_env.h"
#include "session/sso.h"
#include "wire/exceptions.h"
#include "wire/locale.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::fault;
using kxtest::words;
using ::testing::Contains;

namespace {

void put_string(Bytes &b, std::string const &s) {
    kxtest::put_word(b, static_cast<std::uint32_t>(s.size()));
    kxtest::put_bytes(b, s);
    while (b.size() % 4) b.push_back(0);
}

struct Request {
    Request(std::string r, std::string u, std::string p)
        : repository(std::move(r)), user(std::move(u)), password(std::move(p)) {}
    std::string repository, user, password, locale = "en_US", context, client_host;
    bool security = false;
    std::uint32_t wtid = 0x2a;
};

Bytes login_bytes(Request const &r) {
    Bytes b = words({0, r.wtid});
    put_string(b, r.repository);
    put_string(b, r.user);
    put_string(b, r.password);
    put_string(b, r.locale);
    put_string(b, r.context);
    kxtest::put_word(b, r.security ? 1 : 0);
    put_string(b, r.client_host);
    return b;
}

class Login : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        kxtest::make_product_data(dir_, "/tmp/kxrpc-login-XXXXXX");
        ASSERT_TRUE(init_client_locale_key());
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

    void SetUp() override {
        KXFaultInjector::Reset();
        set_sso_password(Nul::UString());
        counts_ = kxtest::ProductCounts();
    }
    void TearDown() override {
        KXFaultInjector::Reset();
        counts_.expect_unchanged();
    }

    static void decode_args(Request const &r, LoginArgs &args) {
        ASSERT_TRUE(kxtest::decode(login_bytes(r), [&](XDR *x) { return args.xdr(x); }));
    }

    struct Refusal {
        int reason = -1;
        std::string message, extra;
        bool login = false;
    };
    static Refusal refusal(Request const &r) {
        LoginArgs args;
        decode_args(r, args);
        Refusal out;
        try {
            LoginResp resp(args);
            ADD_FAILURE() << "logon succeeded";
        } catch (LoginException &e) {
            out = {e.stp_reason_code(), e.msg().utf8_str(), e.text().utf8_str(), true};
        } catch (Nul::STPException &e) {
            out = {e.stp_reason_code(), e.msg().utf8_str(), "", false};
        }
        return out;
    }

    static std::string dir_;
    kxtest::ProductCounts counts_;
};

std::string Login::dir_;

Request alice() { return Request("KXDEMO/ISSUE", "alice", "alice"); }

} // namespace

TEST_F(Login, DecodeOrderAndRepositorySplit) {
    struct Case {
        char const *repository, *dbset, *userdb;
    } cases[] = {{"KXDEMO/ISSUE", "KXDEMO", "ISSUE"},
                 {"KXDEMO", "KXDEMO", ""},
                 {"KXDEMO/", "KXDEMO", ""},
                 {"A/B/C", "A", "B/C"}};
    for (auto const &c : cases) {
        Request r(c.repository, "u", "secret");
        r.locale = "de_DE";
        r.context = "ctx";
        r.client_host = "client.example";
        r.security = true;
        LoginArgs args;
        decode_args(r, args);
        EXPECT_EQ(args.dbset().utf8_str(), c.dbset);
        EXPECT_EQ(args.userdb().utf8_str(), c.userdb);
        EXPECT_EQ(args.password().utf8_str(), "secret");
        EXPECT_EQ(args.client_host().utf8_str(), "client.example");
        EXPECT_EQ(args.context_text().utf8_str(), "ctx");
        EXPECT_TRUE(args.security());
        EXPECT_EQ(args.wtid(), 0x2a);
        EXPECT_EQ(std::string(stprpc_abstract_get_client_locale()), "de_DE");
        EXPECT_EQ(args.arm_user_name().utf8_str(), "u");
        EXPECT_EQ(args.arm_target_uri().utf8_str(), c.userdb);
    }
}

TEST_F(Login, TraceLineHidesPasswordAndHost) {
    Request r("KXDEMO/ISSUE", "alice", "pw-secret");
    r.client_host = "hidden-host";
    LoginArgs args;
    decode_args(r, args);
    EXPECT_EQ(args.trace_line().utf8_str(),
              "wtid:2a :: repository:KXDEMO/ISSUE :: dbset:KXDEMO :: userdb:ISSUE :: user:alice :: security:0");
}

TEST_F(Login, TruncatedRequestsFail) {
    Bytes full = login_bytes(alice());
    for (std::size_t cut = 0; cut < full.size(); cut += 4) {
        Bytes part = full;
        part.resize(cut);
        LoginArgs args;
        EXPECT_FALSE(kxtest::decode(part, [&](XDR *x) { return args.xdr(x); })) << cut;
    }
}

TEST_F(Login, UserLogonAnswersAHandle) {
    LoginArgs args;
    Request r = alice();
    r.context = "web";
    decode_args(r, args);
    LoginResp resp(args);
    std::shared_ptr<LoginSession> session = resp.session();
    ASSERT_NE(session, nullptr);
    ASSERT_NE(session->session(), nullptr);
    EXPECT_FALSE(session->has_admin_session());
    EXPECT_EQ(session->repository().utf8_str(), "KXDEMO/ISSUE");
    EXPECT_EQ(session->context_text().utf8_str(), "web");
    EXPECT_EQ(session->session()->GetNameValue(L"_KX_WEB_SESSION").ToUtf8(), "TRUE");
    EXPECT_EQ(session->session()->GetNameValue(L"_KX_WEBJAVA_SESSION").ToUtf8(), "TRUE");
    EXPECT_EQ(session->feature_level(), session->user_session()->GetSessionFeatureLevel() >= 6);
    EXPECT_EQ(session->arm_user_name(1).utf8_str(), "alice");
    EXPECT_EQ(session->arm_user_name(3).utf8_str(), "Alice Archer");
    EXPECT_TRUE(session->arm_user_name(4).empty());
    EXPECT_THAT(session->trace_text().utf8_str(), ::testing::StartsWith("repository(KXDEMO/ISSUE) KXSession("));

    bool ok = false;
    Bytes reply = kxtest::encode([&](XDR *x) { return resp.xdr(x); }, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(reply.size(), 20u);
    EXPECT_EQ(kxtest::word_at(reply, 0), 16u);
    EXPECT_EQ(lookup_pointer_entry(session->oid()), session);
    EXPECT_TRUE(remove_pointer_entry(session->oid()));
}

TEST_F(Login, AdministratorLogonHasNoUserSession) {
    LoginArgs args;
    decode_args(Request("KXDEMO", "admin", "admin"), args);
    LoginResp resp(args);
    auto session = resp.session();
    ASSERT_NE(session, nullptr);
    EXPECT_TRUE(session->has_admin_session());
    EXPECT_EQ(session->session(), nullptr);
    EXPECT_NE(session->admin_api_session(), nullptr);
    EXPECT_TRUE(session->arm_user_name(1).empty());
    EXPECT_THAT(session->trace_text().utf8_str(), ::testing::HasSubstr(" KXAdminSession("));
    EXPECT_TRUE(remove_pointer_entry(resp.session()->oid()));
}

TEST_F(Login, AdministratorSessionOnDemand) {
    LoginArgs args;
    decode_args(Request("KXDEMO/ISSUE", "admin", "admin"), args);
    LoginResp resp(args);
    auto session = resp.session();
    EXPECT_FALSE(session->has_admin_session());
    EXPECT_NE(session->admin_api_session(), nullptr);
    EXPECT_TRUE(session->has_admin_session());
    EXPECT_TRUE(session->admin_session_ptr());
    EXPECT_TRUE(remove_pointer_entry(resp.session()->oid()));
}

TEST_F(Login, AdministratorSessionOnDemandRefused) {
    LoginArgs args;
    decode_args(alice(), args);
    LoginResp resp(args);
    auto session = resp.session();
    try {
        session->admin_api_session();
        FAIL();
    } catch (LoginException &e) {
        EXPECT_EQ(e.stp_reason_code(), 47);
        EXPECT_THAT(e.msg().utf8_str(), ::testing::StartsWith("TLQSV0775E This login is forbidden: "));
        EXPECT_EQ(e.text().utf8_str(), "KXDEMO");
    }
    EXPECT_FALSE(session->has_admin_session());
    KXFaultInjector::Arm("KXAdminSession::Logon", fault(KXFaultKind::CException, 0, L"mfc says no"));
    LoginArgs admin_args;
    decode_args(Request("KXDEMO/ISSUE", "admin", "admin"), admin_args);
    LoginResp admin_resp(admin_args);
    try {
        admin_resp.session()->admin_api_session();
        FAIL();
    } catch (LoginException &e) {
        EXPECT_EQ(e.stp_reason_code(), 47);
        EXPECT_EQ(e.msg().utf8_str(), "TLQSV0775E This login is forbidden: mfc says no");
    }
    // The next use tries again.
    EXPECT_NE(admin_resp.session()->admin_api_session(), nullptr);
    EXPECT_TRUE(remove_pointer_entry(admin_resp.session()->oid()));
    EXPECT_TRUE(remove_pointer_entry(resp.session()->oid()));
}

TEST_F(Login, AdministratorSessionOnDemandTakesEveryProductFailure) {
    kxtest::ExceptionCounts counts;
    LoginArgs args;
    decode_args(Request("KXDEMO/ISSUE", "admin", "admin"), args);
    LoginResp resp(args);
    struct Case {
        KXFaultKind kind;
        char const *message;
    } const cases[] = {
        {KXFaultKind::KXException, "TLQSV0775E This login is forbidden: product text"},
        {KXFaultKind::CException, "TLQSV0775E This login is forbidden: product text"},
        // A message exception carries no error string of its own.
        {KXFaultKind::PaMsgException, "TLQSV0775E This login is forbidden: Unknown error."},
    };
    for (auto const &c : cases) {
        KXFaultInjector::Arm("KXAdminSession::Logon", fault(c.kind, 13201, L"product text"));
        try {
            resp.session()->admin_api_session();
            ADD_FAILURE() << c.message;
        } catch (LoginException &e) {
            EXPECT_EQ(e.stp_reason_code(), 47);
            EXPECT_EQ(e.msg().utf8_str(), c.message);
        }
        EXPECT_FALSE(resp.session()->has_admin_session());
    }
    counts.expect_unchanged();
    EXPECT_TRUE(remove_pointer_entry(resp.session()->oid()));
}

TEST_F(Login, RealRefusals) {
    Refusal wrong = refusal(Request("KXDEMO/ISSUE", "alice", "wrong"));
    EXPECT_EQ(wrong.reason, 47);
    EXPECT_THAT(wrong.message, ::testing::StartsWith("TLQSV0775E This login is forbidden: "));
    EXPECT_EQ(wrong.extra, "KXDEMO");
    Refusal no_set = refusal(Request("NOSUCHSET/ISSUE", "alice", "alice"));
    EXPECT_EQ(no_set.reason, 18);
    EXPECT_EQ(no_set.extra, "NOSUCHSET");
    Refusal no_db = refusal(Request("KXDEMO/NOSUCHDB", "alice", "alice"));
    EXPECT_FALSE(no_db.login);
    EXPECT_EQ(no_db.reason, 53);
    EXPECT_THAT(no_db.message, ::testing::StartsWith("TLQSV1094E Not-found error: "));
    Refusal not_admin = refusal(Request("KXDEMO", "alice", "alice"));
    EXPECT_EQ(not_admin.reason, 47);
}

TEST_F(Login, InjectedConnectFailuresRefuseWith18AndOtherFailuresWith47) {
    kxtest::DiagCapture diag;
    AdDiagnostic::SetFlag(66, 1);
    struct Case {
        KXFaultKind kind;
        int id;
        int reason;
        bool connect_trace;
    } cases[] = {
        {KXFaultKind::KXException, 13285, 18, true},    {KXFaultKind::KXException, 13201, 47, false},
        {KXFaultKind::PaMsgException, 13285, 18, true}, {KXFaultKind::PaMsgException, 13240, 47, false},
        {KXFaultKind::CException, 0, 18, true},
    };
    for (auto const &c : cases) {
        diag.clear();
        KXFaultInjector::Arm("KXSession::WebUserLogon", fault(c.kind, c.id, L"product text"));
        Refusal r = refusal(alice());
        EXPECT_TRUE(r.login);
        EXPECT_EQ(r.reason, c.reason) << c.id;
        EXPECT_EQ(r.message, "TLQSV0775E This login is forbidden: product text");
        EXPECT_EQ(r.extra, "KXDEMO");
        if (c.connect_trace)
            EXPECT_THAT(diag.lines(), Contains("KXRPC|Exception: LoginResp(Failed to connect)"));
        else
            EXPECT_TRUE(diag.lines().empty());
    }
    KXFaultInjector::Arm("KXAdminSession::Logon", fault(KXFaultKind::PaMsgException, 13224, L"no such thing"));
    Refusal nf = refusal(Request("KXDEMO", "admin", "admin"));
    EXPECT_FALSE(nf.login);
    EXPECT_EQ(nf.reason, 53);
    EXPECT_EQ(nf.message, "TLQSV1094E Not-found error: no such thing");
}

TEST_F(Login, FailureAfterTheSessionWasBuiltReleasesIt) {
    long before = KXObject::LiveCount();
    for (char const *op : {"KXSession::SetNameValue", "KXSession::GetSessionFeatureLevel", "KXSession::GetReal"}) {
        KXFaultInjector::Arm(op, fault(KXFaultKind::KXException, 13204, L"late"));
        Refusal r = refusal(alice());
        EXPECT_EQ(r.reason, 47) << op;
        EXPECT_EQ(KXObject::LiveCount(), before) << op;
    }
    long unbuilds = KXFaultInjector::CallCount("KXSession::Unbuild");
    KXFaultInjector::Arm("KXSession::WebUserLogon", fault(KXFaultKind::KXException, 13201, L"no"));
    refusal(alice());
    EXPECT_EQ(KXFaultInjector::CallCount("KXSession::Unbuild"), unbuilds + 1);
}

TEST_F(Login, SingleSignOnRefusals) {
    Request r("KXDEMO/ISSUE", "alice", "anything");
    r.security = true;
    Refusal none = refusal(r);
    EXPECT_EQ(none.reason, 47);
    EXPECT_EQ(none.message, "TLQSV1055E This Vexhub Server instance does not support Single Sign On.");
    EXPECT_EQ(none.extra, "KXDEMO");
    set_sso_password(L"stored-token");
    Refusal wrong = refusal(r);
    EXPECT_EQ(wrong.reason, 47);
    EXPECT_EQ(wrong.message, "TLQSV1056E Unknown Single Sign On client password.");
}

TEST_F(Login, SingleSignOnSkipsThePassword) {
    CString secret(L"kxdemo-single-sign-on-shared-secret");
    CString stored = AdEncryptStringMaybeUTF8(AdEncryptStringMaybeUTF8(secret));
    set_sso_password(Nul::UString(stored.GetString()));
    Request r("KXDEMO/ISSUE", "alice", stored.ToUtf8());
    r.security = true;
    LoginArgs args;
    decode_args(r, args);
    LoginResp resp(args);
    EXPECT_NE(resp.session()->session(), nullptr);
    EXPECT_TRUE(remove_pointer_entry(resp.session()->oid()));
}

TEST_F(Login, SingleSignOnNeedsExactlyOneSession) {
    kxtest::DiagCapture diag;
    AdDiagnostic::SetFlag(66, 1);
    LoginArgs args;
    decode_args(alice(), args);
    LoginResp resp(args);
    EXPECT_FALSE(resp.enableSSOLogon(L"x", L"KXDEMO", nullptr, nullptr));
    EXPECT_THAT(diag.lines(),
                Contains("KXRPC|Exception: LoginResp::enableSSOLogon(Only one session type must be passed)"));
    EXPECT_TRUE(remove_pointer_entry(resp.session()->oid()));
}

TEST_F(Login, DeleteStateReleasesTheProductSession) {
    long before = KXObject::LiveCount();
    Bytes handle;
    {
        LoginArgs args;
        decode_args(alice(), args);
        LoginResp resp(args);
        handle = kxtest::encode([&](XDR *x) { return resp.xdr(x); });
    }
    EXPECT_GT(KXObject::LiveCount(), before);
    Bytes request = words({0, 1});
    request.insert(request.end(), handle.begin(), handle.end());
    {
        DeleteStateArgs del;
        ASSERT_TRUE(kxtest::decode(request, [&](XDR *x) { return del.xdr(x); }));
        DeleteStateResp reply(del);
        EXPECT_EQ(kxtest::encode([&](XDR *x) { return reply.xdr(x); }), words({0}));
    }
    EXPECT_EQ(KXObject::LiveCount(), before);
}

namespace {
class NoBodyArgs : public SessionArg {
public:
    bool_t decode(XDR *xdrs) override { return xdr_session_header(xdrs); }
};

Bytes session_header(Bytes const &handle) {
    Bytes b = words({0});
    b.insert(b.end(), handle.begin(), handle.end());
    put_string(b, "en_US");
    kxtest::put_word(b, 9);
    return b;
}
} // namespace

TEST_F(Login, SessionHeaderResolvesTheLoginSession) {
    LoginArgs args;
    decode_args(alice(), args);
    LoginResp resp(args);
    Bytes handle = kxtest::encode([&](XDR *x) { return resp.xdr(x); });
    NoBodyArgs request;
    ASSERT_TRUE(kxtest::decode(session_header(handle), [&](XDR *x) { return request.xdr(x); }));
    EXPECT_EQ(request.session_or_fail(), resp.session().get());
    EXPECT_EQ(request.api_session_or_fail(), resp.session()->session());
    EXPECT_THAT(request.trace_line().utf8_str(),
                ::testing::StartsWith("wtid:9 :: session:(repository(KXDEMO/ISSUE) KXSession("));
    remove_pointer_entry(resp.session()->oid());
}

TEST_F(Login, AdministratorSessionIsNoUserSessionForRequests) {
    LoginArgs args;
    decode_args(Request("KXDEMO", "admin", "admin"), args);
    LoginResp resp(args);
    Bytes handle = kxtest::encode([&](XDR *x) { return resp.xdr(x); });
    NoBodyArgs request;
    ASSERT_TRUE(kxtest::decode(session_header(handle), [&](XDR *x) { return request.xdr(x); }));
    EXPECT_EQ(request.session_or_fail(), resp.session().get());
    try {
        request.api_session_or_fail();
        FAIL();
    } catch (KXInternalErrorException &e) {
        EXPECT_EQ(e.msg().utf8_str(), "TLQSV0769E Internal Error: Invalid Pointer");
    }
    EXPECT_TRUE(request.arm_user_name().empty());
    remove_pointer_entry(resp.session()->oid());
}

// One user's sessions and the process's are bounded: past a bound the login is refused, the
// session it made ends at once, and an ended session makes room again.
TEST_F(Login, SessionsPastTheirBoundsAreRefused) {
    set_session_bounds(2, 3);
    long const before = login_sessions();
    auto login = [&](char const *repository, char const *user) {
        LoginArgs args;
        decode_args(Request(repository, user, user), args);
        return std::make_unique<LoginResp>(args);
    };
    std::vector<std::unique_ptr<LoginResp>> made;
    made.push_back(login("KXDEMO/ISSUE", "admin"));
    made.push_back(login("KXDEMO", "admin")); // an administrator login is the same user's
    long const objects = KXObject::LiveCount();
    Refusal third = refusal(Request("KXDEMO/ISSUE", "admin", "admin"));
    EXPECT_EQ(third.reason, 47);
    EXPECT_EQ(third.message,
              "TLQSV0775E This login is forbidden: Too many sessions of this user; end one and try again.");
    EXPECT_EQ(third.extra, "KXDEMO");
    EXPECT_EQ(KXObject::LiveCount(), objects); // the refused session ended
    made.push_back(login("KXDEMO/ISSUE", "alice"));
    EXPECT_EQ(login_sessions(), before + 3);
    Refusal over = refusal(Request("KXDEMO/ISSUE", "carol", "carol"));
    EXPECT_EQ(over.message, "TLQSV0775E This login is forbidden: Too many sessions on this server; try again later.");
    // admin ends one of his: he may log on again.
    EXPECT_TRUE(remove_pointer_entry(made[0]->session()->oid()));
    made.push_back(login("KXDEMO/ISSUE", "admin"));
    EXPECT_NE(made.back()->session(), nullptr);
    for (std::size_t i = 1; i < made.size(); ++i) EXPECT_TRUE(remove_pointer_entry(made[i]->session()->oid()));
    EXPECT_EQ(login_sessions(), before);
    set_session_bounds(0, 0);
    EXPECT_EQ(sessions_per_user(), 64);
    EXPECT_EQ(sessions_max(), 4096);
}

namespace {

// The session header of `handle` decoded and admitted as the dispatcher does: "" when the call
// would be served, else its refusal as reason, message and login text.
std::string header_outcome(Bytes const &handle) {
    NoBodyArgs request;
    take_decode_failure();
    try {
        if (!kxtest::decode(session_header(handle), [&](XDR *x) { return request.xdr(x); })) {
            if (std::exception_ptr failure = take_decode_failure()) std::rethrow_exception(failure);
            return "undecodable";
        }
        if (!request.session()) return "no session";
        request.session()->check_access();
        return "";
    } catch (LoginException &e) {
        return std::to_string(e.stp_reason_code()) + " " + e.msg().utf8_str().std_str() + " [" +
               e.text().utf8_str().std_str() + "]";
    } catch (Nul::STPException &e) {
        return std::to_string(e.stp_reason_code()) + " " + e.msg().utf8_str().std_str();
    }
}

} // namespace

// A user made inactive is refused at the next call of a session he already has, with the error his
// login gets, and the session ends with its product sessions; a user login and an administrator
// login alike.
TEST_F(Login, ASessionOfAUserMadeInactiveEndsAtItsNextCall) {
    auto root = KXAdminSession::Build();
    root->SetLoadAllUsersAtLogon(0);
    root->Logon(L"admin", L"admin", L"KXDEMO");
    struct Case {
        Request login;
        wchar_t const *user;
        std::string refusal;
    };
    std::vector<Case> const cases{
        {alice(), L"alice", "47 TLQSV0775E This login is forbidden: Login failed for user 'alice'. [KXDEMO]"},
        {Request("KXDEMO", "admin", "admin"), L"admin",
         "47 TLQSV0775E This login is forbidden: Login failed for user 'admin'. [KXDEMO]"},
    };
    for (Case const &c : cases) {
        long const before = KXObject::LiveCount();
        Bytes handle;
        Nul::Oid oid;
        {
            LoginArgs args;
            decode_args(c.login, args);
            LoginResp resp(args);
            handle = kxtest::encode([&](XDR *x) { return resp.xdr(x); });
            oid = resp.session()->oid();
        }
        EXPECT_EQ(header_outcome(handle), "");
        root->GetUser(c.user)->SetActive(FALSE);
        Refusal const login = refusal(c.login);
        EXPECT_EQ(std::to_string(login.reason) + " " + login.message + " [" + login.extra + "]", c.refusal);
        EXPECT_EQ(header_outcome(handle), c.refusal);
        EXPECT_EQ(lookup_pointer_entry(oid), nullptr);
        EXPECT_EQ(KXObject::LiveCount(), before);
        // Active again, he logs on anew; the ended session stays unknown.
        root->GetUser(c.user)->SetActive(TRUE);
        EXPECT_EQ(header_outcome(handle), "no session");
    }
    root->Unbuild();
}

// bob's super-user right taken away: his user login's administrator session is dropped at the
// next call, which goes on; the next use logs on anew and is refused until the right is back. An
// administrator login of a user who lost his administrator rights is refused each call; it stays.
TEST_F(Login, ARightTakenAwayIsGoneFromTheNextCall) {
    auto root = KXAdminSession::Build();
    root->SetLoadAllUsersAtLogon(0);
    root->Logon(L"admin", L"admin", L"KXDEMO");
    auto grant = [&](BOOL on) { root->GetUser(L"bob")->SetSuperUser(on); };
    grant(TRUE);
    auto login = [](char const *repository) {
        LoginArgs args;
        decode_args(Request(repository, "bob", "bob"), args);
        auto resp = std::make_unique<LoginResp>(args);
        Bytes handle = kxtest::encode([&](XDR *x) { return resp->xdr(x); });
        return std::make_pair(std::move(resp), handle);
    };
    auto const [user, user_handle] = login("KXDEMO/ISSUE");
    auto const [admin, admin_handle] = login("KXDEMO");
    ASSERT_NE(user->session()->admin_api_session(), nullptr);

    grant(FALSE);
    EXPECT_EQ(header_outcome(user_handle), "");
    EXPECT_FALSE(user->session()->has_admin_session());
    EXPECT_THROW(user->session()->admin_api_session(), LoginException);
    std::string const refused =
        "80 TLQSV0796E Insufficient privilege: User 'bob' no longer has administrator rights on "
        "'KXDEMO'.";
    EXPECT_EQ(header_outcome(admin_handle), refused);
    EXPECT_EQ(header_outcome(admin_handle), refused);

    grant(TRUE);
    EXPECT_EQ(header_outcome(admin_handle), "");
    EXPECT_NE(user->session()->admin_api_session(), nullptr);
    EXPECT_TRUE(remove_pointer_entry(user->session()->oid()));
    EXPECT_TRUE(remove_pointer_entry(admin->session()->oid()));
    grant(FALSE);
    root->Unbuild();
}

// The check itself failing refuses that call as the failure it is; the session stays.
TEST_F(Login, AFailedActivityCheckRefusesOnlyTheCall) {
    LoginArgs args;
    decode_args(alice(), args);
    LoginResp resp(args);
    Bytes const handle = kxtest::encode([&](XDR *x) { return resp.xdr(x); });
    KXFaultInjector::Arm("AdSession::CheckSessionUserActive", fault(KXFaultKind::CException, 0, L"disk says no"));
    EXPECT_EQ(header_outcome(handle), "40 TLQSV0751E Server error: Unexpected exception: disk says no");
    EXPECT_EQ(lookup_pointer_entry(resp.session()->oid()), resp.session());
    EXPECT_EQ(header_outcome(handle), "");
    EXPECT_TRUE(remove_pointer_entry(resp.session()->oid()));
}
