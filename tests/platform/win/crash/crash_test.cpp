#include "kxwin/crash.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>

using namespace KxWin;

namespace {

char *volatile null_text = nullptr;

__attribute__((no_sanitize("address", "undefined"), noinline)) void read_null(void *) {
    char c = *static_cast<char volatile *>(null_text);
    (void)c;
}

struct FilterLog {
    int calls = 0;
    std::uint32_t code = 0;
    int signal = 0;
    std::uintptr_t fault_address = 0;
    bool had_context = false;
    long verdict = EXCEPTION_EXECUTE_HANDLER;
};

long logging_filter(EXCEPTION_POINTERS *p, void *ctx) {
    auto *log = static_cast<FilterLog *>(ctx);
    ++log->calls;
    log->code = p->ExceptionRecord->ExceptionCode;
    log->signal = p->Signal;
    log->fault_address = p->ExceptionRecord->NumberParameters >= 2 ? p->ExceptionRecord->ExceptionInformation[1] : 1;
    log->had_context = p->ContextRecord != nullptr;
    return log->verdict;
}

std::string read_fd(int fd) {
    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    return out;
}

} // namespace

TEST(SafeFormat, MatchesPrintfForTheSupportedDirectives) {
    char ours[128], theirs[128];
    safe_format(ours, sizeof ours, "a%db%uc%xd%se%%f%c%ld%lld", -42, 4000000000u, 0xbeefu, "txt", 'Z', -7L, 1LL << 40);
    std::snprintf(theirs, sizeof theirs, "a%db%uc%xd%se%%f%c%ld%lld", -42, 4000000000u, 0xbeefu, "txt", 'Z', -7L,
                  1LL << 40);
    EXPECT_STREQ(theirs, ours);
    safe_format(ours, sizeof ours, "%d|%d", 0, -2147483647 - 1);
    EXPECT_STREQ("0|-2147483648", ours);
}

TEST(SafeFormat, CutsToTheBufferAndTerminates) {
    char buf[6];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(5u, safe_format(buf, sizeof buf, "%s", "0123456789"));
    EXPECT_STREQ("01234", buf);
    char none[1] = {'x'};
    EXPECT_EQ(0u, safe_format(none, 1, "abc"));
    EXPECT_EQ('\0', none[0]);
}

TEST(ErrorMode, KeepsTheSettingsAndReturnsThePrevious) {
    std::uint32_t before = SetErrorMode(SEM_FAILCRITICALERRORS);
    EXPECT_EQ(SEM_FAILCRITICALERRORS, SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
    EXPECT_EQ(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, GetErrorMode());
    SetErrorMode(before);
    int old = _set_error_mode(_OUT_TO_STDERR);
    EXPECT_EQ(_OUT_TO_STDERR, _set_error_mode(old));
    EXPECT_EQ(old, _set_error_mode(7)); // invalid: unchanged
    unsigned flags = _set_abort_behavior(0, _CALL_REPORTFAULT);
    EXPECT_EQ(_CALL_REPORTFAULT, flags & _CALL_REPORTFAULT);
    EXPECT_EQ(0u, _set_abort_behavior(0, 0) & _CALL_REPORTFAULT);
    EXPECT_EQ(flags & _WRITE_ABORT_MSG, _set_abort_behavior(flags, ~0u) & _WRITE_ABORT_MSG);
}

TEST(Guard, ReturnsTrueWhenTheBodyReturns) {
    FilterLog log;
    int touched = 0;
    EXPECT_TRUE(seh_try([](void *p) { *static_cast<int *>(p) = 1; }, &touched, logging_filter, &log));
    EXPECT_EQ(1, touched);
    EXPECT_EQ(0, log.calls);
}

TEST(Guard, HandlesAnAccessViolationAndTheThreadGoesOn) {
    for (int round = 0; round < 3; ++round) {
        FilterLog log;
        EXCEPTION_RECORD caught{};
        EXPECT_FALSE(seh_try(read_null, nullptr, logging_filter, &log, &caught));
        EXPECT_EQ(1, log.calls);
        EXPECT_EQ(EXCEPTION_ACCESS_VIOLATION, log.code);
        EXPECT_EQ(SIGSEGV, log.signal);
        EXPECT_EQ(0u, log.fault_address);
        EXPECT_TRUE(log.had_context);
        EXPECT_EQ(EXCEPTION_ACCESS_VIOLATION, caught.ExceptionCode);
        EXPECT_NE(nullptr, caught.ExceptionAddress);
    }
}

TEST(Guard, TwoFaultsInARowOnAFreshThreadAreBothCaughtAndTheMaskIsKept) {
    std::thread([] {
        sigset_t mine, before, after;
        sigemptyset(&mine);
        sigaddset(&mine, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &mine, &before);
        pthread_sigmask(SIG_SETMASK, nullptr, &before);
        for (int fault = 0; fault < 2; ++fault) {
            FilterLog log;
            EXPECT_FALSE(seh_try(read_null, nullptr, logging_filter, &log));
            EXPECT_EQ(1, log.calls) << "fault " << fault;
            pthread_sigmask(SIG_SETMASK, nullptr, &after);
            EXPECT_EQ(0, sigismember(&after, SIGSEGV)) << "fault " << fault;
            EXPECT_EQ(1, sigismember(&after, SIGUSR2)) << "fault " << fault;
        }
        stack_t alt{};
        ASSERT_EQ(0, sigaltstack(nullptr, &alt));
        EXPECT_FALSE(alt.ss_flags & SS_DISABLE);
    }).join();
}

TEST(Guard, InnerGuardPassesOnAndOuterHandles) {
    FilterLog inner, outer;
    inner.verdict = EXCEPTION_CONTINUE_SEARCH;
    struct Ctx {
        FilterLog *inner;
        bool inner_result = true;
    } ctx{&inner};
    EXPECT_FALSE(seh_try(
        [](void *p) {
            auto *c = static_cast<Ctx *>(p);
            c->inner_result = seh_try(read_null, nullptr, logging_filter, c->inner);
        },
        &ctx, logging_filter, &outer));
    EXPECT_EQ(1, inner.calls);
    EXPECT_EQ(1, outer.calls);
    // After the outer guard took over, a fresh guard still works on this thread.
    FilterLog again;
    EXPECT_FALSE(seh_try(read_null, nullptr, logging_filter, &again));
    EXPECT_EQ(1, again.calls);
}

TEST(Guard, CppExceptionIsSeenAsTheProgramExceptionCode) {
    FilterLog log;
    EXPECT_FALSE(seh_try([](void *) { throw std::runtime_error("x"); }, nullptr, logging_filter, &log));
    EXPECT_EQ(EXCEPTION_CPP, log.code);
    EXPECT_EQ(0, log.signal);
    FilterLog pass;
    pass.verdict = EXCEPTION_CONTINUE_SEARCH;
    EXPECT_THROW(seh_try([](void *) { throw std::runtime_error("x"); }, nullptr, logging_filter, &pass),
                 std::runtime_error);
    EXPECT_EQ(1, pass.calls);
}

TEST(Guard, RaisedExceptionsCarryCodeAndContinuability) {
    FilterLog log;
    EXCEPTION_RECORD caught{};
    EXPECT_FALSE(seh_try([](void *) { RaiseException(0x0924FF9C, EXCEPTION_NONCONTINUABLE, 0, nullptr); }, nullptr,
                         logging_filter, &log, &caught));
    EXPECT_EQ(0x0924FF9Cu, caught.ExceptionCode);
    EXPECT_EQ(EXCEPTION_NONCONTINUABLE, caught.ExceptionFlags);
    EXPECT_FALSE(seh_try([](void *) { RaiseException(EXCEPTION_CPP, EXCEPTION_NONCONTINUABLE, 10, nullptr); }, nullptr,
                         logging_filter, &log, &caught));
    EXPECT_EQ(10u, caught.NumberParameters);

    FilterLog cont;
    cont.verdict = EXCEPTION_CONTINUE_EXECUTION;
    int after = 0;
    EXPECT_TRUE(seh_try(
        [](void *p) {
            RaiseException(1, 0, 0, nullptr);
            *static_cast<int *>(p) = 1;
        },
        &after, logging_filter, &cont));
    EXPECT_EQ(1, after);
    EXPECT_EQ(1, cont.calls);
}

static long dying_filter(EXCEPTION_POINTERS *p) {
    safe_write(2, "unhandled 0x%x signal %d\n", p->ExceptionRecord->ExceptionCode, p->Signal);
    return EXCEPTION_EXECUTE_HANDLER;
}

TEST(UnhandledFilterDeathTest, RunsTheFilterThenDiesOfTheFault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            SetUnhandledExceptionFilter(dying_filter);
            read_null(nullptr);
        },
        testing::KilledBySignal(SIGSEGV), "unhandled 0xc0000005 signal 11");
    EXPECT_EXIT(
        {
            SetUnhandledExceptionFilter(dying_filter);
            FilterLog pass;
            pass.verdict = EXCEPTION_CONTINUE_SEARCH;
            seh_try(read_null, nullptr, logging_filter, &pass);
        },
        testing::KilledBySignal(SIGSEGV), "unhandled 0xc0000005");
    EXPECT_EXIT(
        {
            SetUnhandledExceptionFilter(dying_filter);
            std::terminate();
        },
        testing::KilledBySignal(SIGABRT), "unhandled 0xe06d7363 signal 0");
}

TEST(MiniDump, WritesExceptionRegistersAndBacktrace) {
    char path[] = "/tmp/kxwin_dump_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record.NumberParameters = 2;
    record.ExceptionInformation[1] = 0x10;
    EXCEPTION_POINTERS pointers{&record, nullptr, SIGSEGV};
    ASSERT_TRUE(MiniDumpWriteDump(fd, MiniDumpNormal, &pointers));
    std::string text = read_fd(fd);
    EXPECT_NE(std::string::npos, text.find("type: 0x0\n"));
    EXPECT_NE(std::string::npos, text.find("exception: 0xc0000005\n"));
    EXPECT_NE(std::string::npos, text.find("signal: 11\n"));
    EXPECT_NE(std::string::npos, text.find("fault address: 0x10\n"));
    EXPECT_NE(std::string::npos, text.find("backtrace:\n"));
    EXPECT_EQ(std::string::npos, text.find("memory map:"));
    close(fd);

    std::strcpy(path, "/tmp/kxwin_dump_XXXXXX");
    fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    ASSERT_TRUE(MiniDumpWriteDump(fd, 0x127, nullptr));
    text = read_fd(fd);
    EXPECT_NE(std::string::npos, text.find("type: 0x127\n"));
    EXPECT_NE(std::string::npos, text.find("exception: none\n"));
    EXPECT_NE(std::string::npos, text.find("memory map:\n"));
    EXPECT_NE(std::string::npos, text.find("[stack]"));
    close(fd);
}

TEST(MiniDump, ReportsAFailedWrite) {
    int fd = open("/dev/full", O_WRONLY);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    errno = 0;
    EXPECT_FALSE(MiniDumpWriteDump(fd, MiniDumpNormal, nullptr));
    EXPECT_EQ(ENOSPC, errno);
    close(fd);
}

TEST(CountEntries, MatchesPrefixAndSuffix) {
    char dir[] = "/tmp/kxwin_count_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, chdir(dir));
    EXPECT_EQ(0, count_directory_entries("kxrpc_", ".dmp"));
    for (char const *name :
         {"kxrpc_1_2.dmp", "kxrpc_.dmp", "kxrpc_3.dmpx", "xkxrpc_1.dmp", "kxrpc.dmp", "kxrpc_9_9.dmp"})
        close(open(name, O_CREAT | O_WRONLY, 0600));
    EXPECT_EQ(3, count_directory_entries("kxrpc_", ".dmp"));
    for (char const *name :
         {"kxrpc_1_2.dmp", "kxrpc_.dmp", "kxrpc_3.dmpx", "xkxrpc_1.dmp", "kxrpc.dmp", "kxrpc_9_9.dmp"})
        unlink(name);
    ASSERT_EQ(0, chdir(cwd));
    rmdir(dir);
}
