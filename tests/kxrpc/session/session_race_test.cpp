// One login session named by calls of two connections at once: what the session builds on first
// use is built once and seen whole by both, its item bound holds for both together, and a user
// made inactive ends it once. Built and run under ThreadSanitizer as well.
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "handler_env.h"
#include "kxproduct/exceptions.h"
#include "kxproduct/faults.h"
#include "kxproduct/workspace.h"
#include "target/requests.h"

using namespace KxRpc;
using kxtest::Bytes;

namespace {

// A call that carries the session header alone, decoded as the dispatcher decodes one: the
// session becomes the thread's call session until the call ends.
class HeaderOnly : public SessionArg {
public:
    bool_t decode(XDR *xdrs) override { return xdr_session_header(xdrs); }
};

struct Plain : StateItem {};

// The call decoded and admitted as the dispatcher does: "" when it names the session, "none" when
// the session is unknown, else its refusal as reason and message.
std::string admitted(HeaderOnly &call, Bytes const &bytes) {
    take_decode_failure();
    try {
        if (!kxtest::decode(bytes, [&](XDR *x) { return call.xdr(x); })) {
            if (std::exception_ptr failure = take_decode_failure()) std::rethrow_exception(failure);
            return "undecodable";
        }
        if (!call.session()) return "none";
        call.session()->check_access();
        return "";
    } catch (Nul::STPException const &e) {
        return std::to_string(e.stp_reason_code()) + " " + e.msg().utf8_str().std_str();
    }
}

// Runs work(0) and work(1) on two threads released together.
template <class F>
void on_two_connections(F work) {
    std::barrier start(2);
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            work(i);
        });
    for (auto &t : threads) t.join();
}

class SessionRace : public kxtest::HandlerTest {};

} // namespace

TEST_F(SessionRace, TheAdministratorSessionIsMadeOnceForTwoConnections) {
    for (int round = 0; round < 8; ++round) {
        auto session = login(L"admin");
        Bytes const bytes = header(session);
        long const logons = KXFaultInjector::CallCount("KXAdminSession::Logon");
        AdSession *seen[2] = {nullptr, nullptr};
        KXAdminSession *admins[2] = {nullptr, nullptr};
        std::string traces[2], descriptions[2];
        bool workspaces[2] = {false, false};
        on_two_connections([&](int i) {
            HeaderOnly call;
            ASSERT_EQ(admitted(call, bytes), "");
            // The product session's own first-use members: its database row and its workspace.
            AdSession *user = call.session()->session();
            descriptions[i] = user->GetSessionDatabase()->GetDescription().ToUtf8();
            workspaces[i] =
                static_cast<bool>(GetWorkspaceMgr(AdSessionPtr(user))
                                      ->LookupBucketByPathName(user->GetSessionUserId(), L"Public Queries"));
            seen[i] = call.session()->admin_api_session();
            admins[i] = call.session()->admin_session_ptr().get();
            traces[i] = kxtest::u8(call.session()->trace_text());
            EXPECT_TRUE(call.session()->has_admin_session());
        });
        EXPECT_EQ(KXFaultInjector::CallCount("KXAdminSession::Logon") - logons, 1) << round;
        EXPECT_NE(seen[0], nullptr);
        EXPECT_EQ(seen[0], seen[1]);
        EXPECT_EQ(admins[0], admins[1]);
        EXPECT_EQ(descriptions[0], descriptions[1]);
        EXPECT_TRUE(workspaces[0] && workspaces[1]);
        for (std::string const &trace : traces) EXPECT_THAT(trace, ::testing::HasSubstr(" KXAdminSession("));
    }
}

TEST_F(SessionRace, TheItemBoundHoldsForTwoConnectionsTogether) {
    set_session_items_max(8);
    auto session = login(L"alice");
    Bytes const bytes = header(session);
    std::vector<StateItemPtr> made[2];
    int refused[2] = {0, 0};
    on_two_connections([&](int i) {
        HeaderOnly call;
        ASSERT_EQ(admitted(call, bytes), "");
        for (int k = 0; k < 8; ++k) made[i].push_back(std::make_shared<Plain>());
        try {
            for (auto const &item : made[i]) add_pointer_entry(item);
        } catch (KxRpcException const &e) {
            refused[i] = e.stp_reason_code();
        }
    });
    // One call fills the session; the other is refused and takes back all it made.
    long held[2] = {0, 0};
    for (int i = 0; i < 2; ++i)
        for (auto const &item : made[i])
            if (!item->oid().is_nil() && lookup_pointer_entry(item->oid()) == item) ++held[i];
    EXPECT_EQ(session_item_count(*session), 8);
    EXPECT_EQ(held[0] + held[1], 8);
    EXPECT_EQ(refused[0] + refused[1], 47);
    EXPECT_EQ(held[refused[0] == 47 ? 0 : 1], 0);
    set_session_items_max(0);
}

TEST_F(SessionRace, AUserMadeInactiveEndsTheSessionOnceForTwoConnections) {
    auto root = KXAdminSession::Build();
    root->SetLoadAllUsersAtLogon(0);
    root->Logon(L"admin", L"admin", L"KXDEMO");
    long const before = KXObject::LiveCount();
    Bytes bytes;
    Nul::Oid oid;
    {
        auto session = login(L"dave");
        bytes = header(session);
        oid = session->oid();
        sessions_.clear(); // held by the registry alone from here
    }
    root->GetUser(L"dave")->SetActive(FALSE);
    std::string outcome[2];
    on_two_connections([&](int i) {
        HeaderOnly call;
        outcome[i] = admitted(call, bytes);
    });
    std::string const refusal = "47 TLQSV0775E This login is forbidden: Login failed for user 'dave'.";
    // A call that found the session is refused; one that came after it ended finds none.
    EXPECT_TRUE(outcome[0] == refusal || outcome[1] == refusal) << outcome[0] << " / " << outcome[1];
    for (std::string const &o : outcome) EXPECT_TRUE(o == refusal || o == "none") << o;
    EXPECT_EQ(lookup_pointer_entry(oid), nullptr);
    EXPECT_EQ(KXObject::LiveCount(), before);
    root->GetUser(L"dave")->SetActive(TRUE);
    root->Unbuild();
}

// bob's super-user right taken away while two connections use his administrator session: both
// calls are served, the session is dropped once, and a holder of the dropped one is refused by
// the product rather than left with a freed one.
TEST_F(SessionRace, ARightTakenAwayDropsTheAdministratorSessionOnceForTwoConnections) {
    auto root = KXAdminSession::Build();
    root->SetLoadAllUsersAtLogon(0);
    root->Logon(L"admin", L"admin", L"KXDEMO");
    root->GetUser(L"bob")->SetSuperUser(TRUE);
    auto session = login(L"bob");
    Bytes const bytes = header(session);
    AdSession *const held = session->admin_api_session();
    ASSERT_NE(held, nullptr);
    root->GetUser(L"bob")->SetSuperUser(FALSE);
    std::string outcome[2];
    on_two_connections([&](int i) {
        HeaderOnly call;
        outcome[i] = admitted(call, bytes);
    });
    EXPECT_EQ(outcome[0], "");
    EXPECT_EQ(outcome[1], "");
    EXPECT_FALSE(session->has_admin_session());
    kxtest::ExceptionCounts counts;
    try {
        held->GetSessionUserLoginName();
        ADD_FAILURE() << "a dropped administrator session still answers";
    } catch (KXException *e) {
        EXPECT_EQ(e->GetMsgId(), KX_MSG_SESSION_ENDED);
        e->Delete();
    }
    counts.expect_unchanged();
    root->Unbuild();
}
