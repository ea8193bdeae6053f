// A process killed while it commits leaves whole records only.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cwchar>
#include <thread>

#include "kxproduct/kxproduct.h"
#include "test_support.h"

namespace {

KXSmartPtr<KXSession> logon(const wchar_t* user) {
  auto s = KXSession::Build();
  s->WebUserLogon(user, user, L"h", L"", L"ISSUE", L"KXDEMO");
  return s;
}

AdEntityPtr find(const AdSessionPtr& s, const wchar_t* name) {
  AdEntityPtr e;
  CString error;
  AdEntityMgr::Get(s)->LookupEntityWithStatus(LookupEntityDefOrFamily(s, L"Defect"), name, e, error, 1);
  return e;
}

}  // namespace

using CrashTest = ProductTest;

TEST_F(CrashTest, KilledWhileCommittingLeavesNoHalfRecord) {
  KXProductStore::EnsureDataDirectory();
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    // Child: change two fields of one record together, as fast as it can, until killed.
    try {
      auto s = logon(L"alice");
      AdEntityPtr e = find(s->GetReal(), L"ISSUE00000003");
      for (long n = 1;; ++n) {
        EditEntity(e, L"Modify");
        CString v;
        v.Format(L"%ld", n);
        e->SetFieldValue(L"Headline", L"round " + v);
        e->SetFieldValue(L"Estimate", v);
        if (!e->Commit().IsEmpty()) ::_exit(3);
        if (n == 1 && (::write(ready[1], "x", 1) != 1 || ::close(ready[1]) != 0)) ::_exit(4);
      }
    } catch (...) {
      ::_exit(2);
    }
  }
  ::close(ready[1]);
  char c = 0;
  bool committed = ::read(ready[0], &c, 1) == 1;  // the first commit is done (or the child ended)
  ::close(ready[0]);
  if (committed) std::this_thread::sleep_for(std::chrono::milliseconds(150));
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "child ended early with " << WEXITSTATUS(status);
  auto s = logon(L"bob");
  AdEntityPtr e = find(s->GetReal(), L"ISSUE00000003");
  ASSERT_TRUE(e);
  CString headline = e->GetFieldValue(L"Headline").GetValue();
  CString estimate = e->GetFieldValue(L"Estimate").GetValue();
  ASSERT_EQ(headline.Left(6), L"round ") << headline.ToUtf8();
  EXPECT_EQ(headline.Mid(6), estimate);  // both fields of the last commit, or of none
  EXPECT_EQ(e->GetVersion(), std::wcstol(estimate.GetString(), nullptr, 10) + 1);
  // The store is still usable for writing.
  EditEntity(e, L"Modify");
  EXPECT_EQ(e->SetFieldValue(L"Estimate", L"1"), L"");
  EXPECT_EQ(e->Commit(), L"");
}

TEST_F(CrashTest, OneSessionUsedFromSeveralThreads) {
  auto s = logon(L"alice");
  AdSessionPtr real = s->GetReal();
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        AdEntityPtr e = find(real, L"ISSUE00000004");
        if (e && e->GetFieldValue(L"Headline").GetValue() == L"Report totals off by one" &&
            real->GetSessionDatabase()->GetDatabaseName() == L"ISSUE")
          ++good;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 40);
}
