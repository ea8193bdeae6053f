// Fetches on several sessions at once, in a fresh process per test, so that the supported sets
// are first built by threads racing for them.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "demo_session.h"
#include "props/replies.h"
#include "xdr_buffer.h"

using namespace KxRpc;

namespace {

using Concurrent = kxtest::DemoSession;

std::shared_ptr<LoginSession> logon() {
    KXSmartPtr<KXSession> s = KXSession::Build();
    s->WebUserLogon(CString(L"bob"), CString(L"bob"), CString(), CString(), CString(L"ISSUE"), CString(L"KXDEMO"));
    return std::make_shared<LoginSession>(s, Nul::UString(L"KXDEMO/ISSUE"), Nul::UString());
}

kxtest::Bytes fetch_once(LoginSession *session, TargetResourceArg target, int type,
                         std::vector<PropRequest> const &requested, DynamicPropMap const &declared = {}) {
    FetchPropsIter reply(PropsResource::getResource(session, declared, target, type), requested);
    bool ok = false;
    kxtest::Bytes bytes = kxtest::encode([&](XDR *x) { return reply.xdr(x); }, &ok);
    EXPECT_TRUE(ok);
    return bytes;
}

// Four sessions start together and each fetches `rounds` times, alternating between two
// targets; every answer must equal the one fetched alone afterwards.
template <class Fetch>
void expect_same_answers_in_a_race(LoginSession *alone, Fetch fetch) {
    constexpr int threads = 4, rounds = 24;
    std::vector<std::shared_ptr<LoginSession>> sessions;
    for (int t = 0; t < threads; ++t) sessions.push_back(logon());
    std::vector<std::vector<kxtest::Bytes>> results(threads);
    std::atomic<int> ready{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            ++ready;
            while (ready.load() < threads) {
            }
            for (int i = 0; i < rounds; ++i) results[t].push_back(fetch(sessions[t].get(), i % 2));
        });
    for (auto &w : workers) w.join();
    // Nothing else ran first: the reference answers come after the race.
    kxtest::Bytes const even = fetch(alone, 0), odd = fetch(alone, 1);
    EXPECT_NE(even, odd);
    for (int t = 0; t < threads; ++t)
        for (int i = 0; i < rounds; ++i) EXPECT_EQ(results[t][i], i % 2 ? odd : even) << t << " " << i;
}

} // namespace

TEST_F(Concurrent, FourSessionsFetchTheSameAnswers) {
    std::vector<PropRequest> requested;
    for (int id : {1103, 1032, 1061, 297, 637, 515, 516, 549}) requested.push_back(PropRequest{id, {}});
    expect_same_answers_in_a_race(session_.get(), [&](LoginSession *session, bool family) {
        TargetResourceArg target(TT_RECTYPE, Nul::UString(family ? L"AllIssues" : L"Defect"));
        return fetch_once(session, target, TT_RECTYPE, requested);
    });
}

TEST_F(Concurrent, FourSessionsFetchTheSameRecordAnswers) {
    DynamicPropMap const fields{{dynamic_prop_id_base, {8, Nul::UString(L"Headline")}}};
    std::vector<PropRequest> const requested = {{1103, {}}, {1032, {}}, {dynamic_prop_id_base, {942, 934}}};
    expect_same_answers_in_a_race(session_.get(), [&](LoginSession *session, bool second) {
        TargetResourceArg target(TT_RECORD, Nul::UString(L"Defect"),
                                 Nul::UString(second ? L"ISSUE00000002" : L"ISSUE00000001"));
        return fetch_once(session, target, TT_RECORD, requested, fields);
    });
}
