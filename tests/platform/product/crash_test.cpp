// A process killed while it commits leaves whole records only.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cwchar>
#include <thread>

#include "kxproduct/kxproduct.h"
#include "test_support.h"

using CrashTest = ProductTest;

TEST_F(CrashTest, KilledWhileCommittingLeavesNoHalfRecord) {
    constexpr int kCommitsBeforeKill = 20;
    KXProductStore::EnsureDataDirectory();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        // Child: change two fields of one record together, as fast as it can, until killed.
        try {
            auto s = demo_logon(L"alice");
            AdEntityPtr e = find_defect(s->GetReal(), L"ISSUE00000003");
            for (long n = 1;; ++n) {
                EditEntity(e, L"Modify");
                CString v;
                v.Format(L"%ld", n);
                e->SetFieldValue(L"Headline", L"round " + v);
                e->SetFieldValue(L"Estimate", v);
                if (!e->Commit().IsEmpty()) ::_exit(3);
                if (n <= kCommitsBeforeKill && ::write(ready[1], "x", 1) != 1) ::_exit(4);
            }
        } catch (...) {
            ::_exit(2);
        }
    }
    ::close(ready[1]);
    // Kill it after some commits, while it is busy with the next ones (or once it has ended).
    int seen = 0;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         seen < kCommitsBeforeKill && std::chrono::steady_clock::now() < deadline;) {
        pollfd p{ready[0], POLLIN, 0};
        char buf[64];
        ssize_t n = ::poll(&p, 1, 100) == 1 ? ::read(ready[0], buf, sizeof buf) : -1;
        if (n == 0) break; // the child ended
        if (n > 0) seen += static_cast<int>(n);
    }
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child ended early with " << WEXITSTATUS(status);
    auto s = demo_logon(L"bob");
    AdEntityPtr e = find_defect(s->GetReal(), L"ISSUE00000003");
    ASSERT_TRUE(e);
    CString headline = e->GetFieldValue(L"Headline").GetValue();
    CString estimate = e->GetFieldValue(L"Estimate").GetValue();
    ASSERT_EQ(headline.Left(6), L"round ") << headline.ToUtf8();
    EXPECT_EQ(headline.Mid(6), estimate); // both fields of the last commit, or of none
    EXPECT_EQ(e->GetVersion(), std::wcstol(estimate.GetString(), nullptr, 10) + 1);
    // The store is still usable for writing.
    EditEntity(e, L"Modify");
    EXPECT_EQ(e->SetFieldValue(L"Estimate", L"1"), L"");
    EXPECT_EQ(e->Commit(), L"");
}

TEST_F(CrashTest, OneSessionUsedFromSeveralThreads) {
    auto s = demo_logon(L"alice");
    AdSessionPtr real = s->GetReal();
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                AdEntityPtr e = find_defect(real, L"ISSUE00000004");
                if (e && e->GetFieldValue(L"Headline").GetValue() == L"Report totals off by one" &&
                    real->GetSessionDatabase()->GetDatabaseName() == L"ISSUE")
                    ++good;
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(good.load(), 40);
}
