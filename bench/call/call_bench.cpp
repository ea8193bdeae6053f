// What every call pays. Null calls over one libtirpc connection to the real program, beside the
// same calls to a loopback echo made in the same run (a thread that answers each call record with
// its reply at once: the limit of the loopback); the server's calls report their time as a
// multiple of the echo's ("x_echo"). Each session call asks the product first whether the user's
// access still holds; AccessCheck times that question when nothing has changed.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "kxproduct/session.h"
#include "server_process.h"

namespace {

double echo_seconds = 0; // per call, measured first

bool read_all(int fd, void *to, std::size_t n) {
    auto *p = static_cast<char *>(to);
    while (n > 0) {
        ssize_t r = ::read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

// Answers every call record on one accepted connection with an accepted, successful, empty reply.
class Echo {
public:
    Echo() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &length) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~Echo() {
        ::shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        ::close(listener_);
    }
    int port() const { return port_; }

private:
    void serve() {
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        char record[65536];
        for (;;) {
            std::uint32_t mark = 0;
            if (!read_all(fd, &mark, 4)) break;
            std::uint32_t const length = ntohl(mark) & 0x7fffffffu;
            if (length < 4 || length > sizeof record || !read_all(fd, record, length)) break;
            // The caller's xid, REPLY, MSG_ACCEPTED, a null verifier, SUCCESS.
            std::uint32_t reply[7] = {htonl(0x80000000u | 24), 0, htonl(1), 0, 0, 0, 0};
            std::memcpy(&reply[1], record, 4);
            if (::write(fd, reply, sizeof reply) != static_cast<ssize_t>(sizeof reply)) break;
        }
        ::close(fd);
    }
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

void null_calls(benchmark::State &state, int port, double *seconds, double const *reference) {
    e2e::Client client(port);
    if (!client.ok() || client.ping() != RPC_SUCCESS) {
        state.SkipWithError("no connection");
        return;
    }
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        if (client.ping() != RPC_SUCCESS) {
            state.SkipWithError("call failed");
            break;
        }
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double const per_call = state.iterations() > 0 ? elapsed / static_cast<double>(state.iterations()) : 0;
    if (seconds != nullptr) *seconds = per_call;
    if (reference != nullptr && *reference > 0) state.counters["x_echo"] = per_call / *reference;
}

void NullEcho(benchmark::State &state) {
    Echo echo;
    null_calls(state, echo.port(), &echo_seconds, nullptr);
}

void NullServer(benchmark::State &state) {
    e2e::TempDir dir;
    e2e::ServerProcess server({"-worker_threads", "2"}, dir.path(), {"KX_PRODUCT_DATA=" + dir.file("data")});
    if (!server.start()) {
        state.SkipWithError("the server did not start");
        return;
    }
    null_calls(state, server.port(), nullptr, &echo_seconds);
    server.signal(SIGTERM);
    server.wait();
}

// A user session of a fresh demo set, asked again and again.
void AccessCheck(benchmark::State &state) {
    e2e::TempDir dir;
    ::setenv("KX_PRODUCT_DATA", dir.file("data").c_str(), 1);
    KXSmartPtr<KXSession> session = KXSession::Build();
    session->WebUserLogon(CString(L"alice"), CString(L"alice"), CString(), CString(), CString(L"ISSUE"),
                          CString(L"KXDEMO"));
    AdSessionPtr api = session->GetReal();
    for (auto _ : state) api->CheckSessionUserActive();
    session->Unbuild();
}

} // namespace

BENCHMARK(NullEcho)->MinTime(1.0)->UseRealTime();
BENCHMARK(NullServer)->MinTime(1.0)->UseRealTime();
BENCHMARK(AccessCheck);

BENCHMARK_MAIN();
