// A 50 MB attachment through the real program: uploaded with make_attachment (procedure 14) in
// 1 MB chunks, then downloaded through its handle with get_attachment (13), beside a plain TCP copy
// of the same bytes over loopback in the same run. Reports MB/s ("bytes_per_second") and the
// server's peak resident set ("server_peak_rss_mb", VmHWM) after each transfer.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "props_client.h"
#include "server_process.h"

namespace {

using e2e::xdr_utf8;

constexpr std::size_t total_bytes = 50u << 20;
constexpr int chunk_bytes = 1 << 20;

// One chunk of content, sent repeatedly.
std::string const &pattern() {
    static std::string const bytes = [] {
        std::string b(chunk_bytes, '\0');
        for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(i * 131 % 251);
        return b;
    }();
    return bytes;
}

double peak_rss_mb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
    return 0;
}

using e2e::xdr_handle;

bool_t xdr_header(XDR *xdrs, e2e::Handle *session) { return e2e::xdr_session_header(xdrs, session, 3); }

struct Upload {
    e2e::Handle session{}, attachment{};
    bool_t failed = TRUE;
};

bool_t xdr_upload_args(XDR *xdrs, Upload *u) {
    int type = 45, by_name = 1, chunk = chunk_bytes;
    std::string names[] = {"Defect", "ISSUE00000001", "Attachments"}, file = "big.bin", comment = "bench";
    if (!xdr_header(xdrs, &u->session) || !xdr_int(xdrs, &type) || !xdr_int(xdrs, &by_name)) return FALSE;
    for (std::string &n : names)
        if (!xdr_utf8(xdrs, &n)) return FALSE;
    if (!xdr_utf8(xdrs, &file) || !xdr_utf8(xdrs, &comment) || !xdr_int(xdrs, &chunk)) return FALSE;
    for (std::size_t sent = 0; sent < total_bytes; sent += chunk_bytes) {
        u_int n = chunk_bytes;
        if (!xdr_u_int(xdrs, &n) || !xdr_opaque(xdrs, const_cast<char *>(pattern().data()), n)) return FALSE;
    }
    u_int end = 0;
    return xdr_u_int(xdrs, &end);
}

bool_t xdr_upload_result(XDR *xdrs, Upload *u) {
    if (!xdr_bool(xdrs, &u->failed) || u->failed || !xdr_handle(xdrs, &u->attachment)) return FALSE;
    for (int i = 0; i < 4; ++i) {
        std::string name;
        if (!xdr_utf8(xdrs, &name)) return FALSE;
    }
    return TRUE;
}

struct Download {
    e2e::Handle session{}, attachment{};
    std::size_t received = 0;
    bool_t failed = TRUE;
};

bool_t xdr_download_args(XDR *xdrs, Download *d) {
    int type = 44, by_handle = 3, chunk = chunk_bytes;
    return xdr_header(xdrs, &d->session) && xdr_int(xdrs, &type) && xdr_int(xdrs, &by_handle) &&
           xdr_handle(xdrs, &d->attachment) && xdr_int(xdrs, &chunk);
}

// The chunk stream, read into one reused buffer.
bool_t xdr_download_result(XDR *xdrs, Download *d) {
    static std::vector<char> buffer(chunk_bytes);
    if (!xdr_bool(xdrs, &d->failed) || d->failed) return FALSE;
    for (;;) {
        bool_t more_follows = FALSE;
        u_int n = 0;
        if (!xdr_bool(xdrs, &more_follows) || !xdr_u_int(xdrs, &n) || n > buffer.size() ||
            !xdr_opaque(xdrs, buffer.data(), n))
            return FALSE;
        d->received += n;
        if (n < static_cast<u_int>(chunk_bytes)) return TRUE;
    }
}

void ThroughTheServer(benchmark::State &state) {
    e2e::TempDir dir;
    e2e::ServerProcess server({"-worker_threads", "2"}, dir.path(), {"KX_PRODUCT_DATA=" + dir.file("data")});
    if (!server.start()) return state.SkipWithError("the server did not start");
    {
        e2e::Client client(server.port(), false, 120);
        e2e::Login login;
        if (!client.ok() || e2e::call_login(client, login) != RPC_SUCCESS || login.failed)
            return state.SkipWithError("no login");
        double before = peak_rss_mb(server.pid());
        bool const upload = state.range(0) == 0;
        for (auto _ : state) {
            Upload u;
            u.session = login.handle;
            clnt_stat const sent =
                client.call(14, e2e::as_proc(xdr_upload_args), &u, e2e::as_proc(xdr_upload_result), &u);
            if (sent != RPC_SUCCESS)
                return state.SkipWithError(("make_attachment: " + std::string(clnt_sperrno(sent))).c_str());
            if (upload) continue;
            Download d;
            d.session = login.handle;
            d.attachment = u.attachment;
            auto start = std::chrono::steady_clock::now();
            if (client.call(13, e2e::as_proc(xdr_download_args), &d, e2e::as_proc(xdr_download_result), &d) !=
                    RPC_SUCCESS ||
                d.received != total_bytes)
                return state.SkipWithError("get_attachment failed");
            state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        state.counters["server_rss_before_mb"] = before;
        state.counters["server_peak_rss_mb"] = peak_rss_mb(server.pid());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total_bytes));
    server.signal(SIGTERM);
    server.wait();
}

// The same bytes over one loopback TCP connection, written in the same 1 MB pieces.
void PlainTcpCopy(benchmark::State &state) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return state.SkipWithError("no listener");
    int sender = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(sender, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return state.SkipWithError("no connection");
    int receiver = ::accept(listener, nullptr, nullptr);
    std::vector<char> buffer(chunk_bytes);
    for (auto _ : state) {
        std::thread writer([&] {
            for (std::size_t sent = 0; sent < total_bytes;) {
                ssize_t n = ::write(sender, pattern().data() + sent % chunk_bytes,
                                    std::min<std::size_t>(chunk_bytes - sent % chunk_bytes, total_bytes - sent));
                if (n <= 0) return;
                sent += static_cast<std::size_t>(n);
            }
        });
        for (std::size_t got = 0; got < total_bytes;) {
            ssize_t n = ::read(receiver, buffer.data(), buffer.size());
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        writer.join();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total_bytes));
    ::close(receiver);
    ::close(sender);
    ::close(listener);
}

} // namespace

BENCHMARK(PlainTcpCopy)->UseRealTime()->Unit(benchmark::kMillisecond);
// 0: upload only (real time); 1: download only (manual time around the download).
BENCHMARK(ThroughTheServer)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(ThroughTheServer)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char **argv) {
    ::setenv("KXRPC_BIN", KXRPC_BIN, 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
