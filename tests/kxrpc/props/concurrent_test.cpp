// Fetches on several sessions at once, in a fresh process, so that the record type's supported
// sets are first built by threads racing for them.
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

kxtest::Bytes fetch_once(LoginSession *session, wchar_t const *rectype, std::vector<PropRequest> const &requested) {
    TargetResourceArg target(TT_RECTYPE, Nul::UString(rectype));
    FetchPropsIter reply(PropsResource::getResource(session, {}, target, TT_RECTYPE), requested);
    bool ok = false;
    kxtest::Bytes bytes = kxtest::encode([&](XDR *x) { return reply.xdr(x); }, &ok);
    EXPECT_TRUE(ok);
    return bytes;
}

} // namespace

TEST_F(Concurrent, FourSessionsFetchTheSameAnswers) {
    std::vector<PropRequest> requested;
    for (int id : {1103, 1032, 1061, 297, 637, 515, 516, 549}) requested.push_back(PropRequest{id, {}});
    constexpr int threads = 4;
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
            for (int i = 0; i < 25; ++i)
                results[t].push_back(fetch_once(sessions[t].get(), i % 2 ? L"AllIssues" : L"Defect", requested));
        });
    for (auto &w : workers) w.join();
    // Nothing else ran first: the reference answers come after the race.
    kxtest::Bytes defect = fetch_once(session_.get(), L"Defect", requested);
    kxtest::Bytes family = fetch_once(session_.get(), L"AllIssues", requested);
    EXPECT_NE(defect, family);
    for (int t = 0; t < threads; ++t)
        for (int i = 0; i < 25; ++i) EXPECT_EQ(results[t][i], i % 2 ? family : defect) << t << " " << i;
    sessions.clear();
}
