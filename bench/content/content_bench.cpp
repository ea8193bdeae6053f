// Content through the real program beside a plain TCP copy of the same bytes over loopback, in one
// run: 50 MB and 500 MB attachments uploaded with make_attachment (procedure 14) in 1 MB chunks and
// downloaded through their handle with get_attachment (13). Each case reports MB/s
// ("bytes_per_second") and the server's peak resident set above its resident set before the
// transfer ("server_peak_above_idle_mb"). After the benchmarks, a table gives each ratio beside its
// target and the machine's load.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "props_client.h"
#include "server_process.h"

namespace {

using e2e::xdr_handle;
using e2e::xdr_utf8;

constexpr int chunk_bytes = 1 << 20;
constexpr std::int64_t MB = 1 << 20;

// One chunk of content, sent repeatedly.
std::string const &pattern() {
    static std::string const bytes = [] {
        std::string b(chunk_bytes, '\0');
        for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(i * 131 % 251);
        return b;
    }();
    return bytes;
}

double status_mb(pid_t pid, char const *field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string const key = std::string(field) + ":";
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0) return std::strtod(line.c_str() + key.size(), nullptr) / 1024.0;
    return 0;
}

// The peak of the server's resident set from now on, above its resident set when it was idle.
struct PeakAboveIdle {
    pid_t pid;
    double idle;
    PeakAboveIdle(pid_t p, double idle_mb) : pid(p), idle(idle_mb) {
        std::ofstream("/proc/" + std::to_string(p) + "/clear_refs") << "5"; // resets the peak
    }
    double now() const { return std::max(0.0, status_mb(pid, "VmHWM") - idle); }
};

double load_average() {
    double one = 0;
    std::ifstream("/proc/loadavg") >> one;
    return one;
}

bool_t xdr_header(XDR *xdrs, e2e::Handle *session) { return e2e::xdr_session_header(xdrs, session, 3); }

struct Upload {
    e2e::Handle session{}, attachment{};
    std::int64_t bytes = 0;
    bool_t failed = TRUE;
};

bool_t xdr_upload_args(XDR *xdrs, Upload *u) {
    int type = 45, by_name = 1, chunk = chunk_bytes;
    std::string names[] = {"Defect", "ISSUE00000001", "Attachments"}, file = "big.bin", comment = "bench";
    if (!xdr_header(xdrs, &u->session) || !xdr_int(xdrs, &type) || !xdr_int(xdrs, &by_name)) return FALSE;
    for (std::string &n : names)
        if (!xdr_utf8(xdrs, &n)) return FALSE;
    if (!xdr_utf8(xdrs, &file) || !xdr_utf8(xdrs, &comment) || !xdr_int(xdrs, &chunk)) return FALSE;
    for (std::int64_t sent = 0; sent < u->bytes; sent += chunk_bytes) {
        u_int n = chunk_bytes;
        if (!xdr_u_int(xdrs, &n) || !xdr_opaque(xdrs, const_cast<char *>(pattern().data()), n)) return FALSE;
    }
    u_int end = 0;
    return xdr_u_int(xdrs, &end);
}

bool_t xdr_upload_result(XDR *xdrs, Upload *u) {
    return e2e::xdr_made_attachment(xdrs, &u->failed, &u->attachment, nullptr) && !u->failed;
}

struct Download {
    e2e::Handle session{}, attachment{};
    std::int64_t received = 0;
};

bool_t xdr_download_args(XDR *xdrs, Download *d) {
    return e2e::xdr_get_by_handle(xdrs, &d->session, &d->attachment, chunk_bytes);
}

bool_t xdr_download_result(XDR *xdrs, Download *d) {
    return e2e::xdr_chunk_stream(xdrs, chunk_bytes, [d](char const *, u_int n) { d->received += n; });
}

// A libtirpc client whose record buffers hold a chunk, as a client that moves content would
// choose, so that the figures are the server's and not those of 64 KiB client reads.
struct ContentClient {
    CLIENT *clnt = nullptr;
    explicit ContentClient(int port) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int sock = RPC_ANYSOCK;
        clnt = clnttcp_create(&addr, e2e::program, e2e::version, &sock, chunk_bytes, chunk_bytes);
    }
    ~ContentClient() {
        if (clnt) clnt_destroy(clnt);
    }
    bool ok() const { return clnt != nullptr; }
    clnt_stat call(rpcproc_t proc, xdrproc_t in, void *in_arg, xdrproc_t out, void *out_arg) {
        timeval tv{600, 0};
        return clnt_call(clnt, proc, in, static_cast<char *>(in_arg), out, static_cast<char *>(out_arg), tv);
    }
};

// One server for the whole run, logged in once.
struct Served {
    e2e::TempDir dir;
    std::unique_ptr<e2e::ServerProcess> server;
    std::unique_ptr<ContentClient> client;
    e2e::Login login;
    std::string error;
    double idle_mb = 0; // logged in, before any transfer

    Served() {
        std::string const tmp = dir.file("tmp");
        ::mkdir(tmp.c_str(), 0700);
        server = std::make_unique<e2e::ServerProcess>(
            std::vector<std::string>{"-worker_threads", "2"}, dir.path(),
            std::vector<std::string>{"KX_PRODUCT_DATA=" + dir.file("data"), "TMP=" + tmp});
        if (!server->start()) {
            error = "the server did not start";
            return;
        }
        e2e::Client login_client(server->port(), false, 60);
        if (!login_client.ok() || e2e::call_login(login_client, login) != RPC_SUCCESS || login.failed)
            error = "no login";
        client = std::make_unique<ContentClient>(server->port());
        if (!client->ok()) error = "no client";
        idle_mb = status_mb(server->pid(), "VmRSS");
    }
    ~Served() {
        client.reset();
        if (server) {
            server->signal(SIGTERM);
            server->wait(60000);
        }
    }

    bool upload(std::int64_t bytes, e2e::Handle &attachment) {
        Upload u;
        u.session = login.handle;
        u.bytes = bytes;
        if (client->call(14, e2e::as_proc(xdr_upload_args), &u, e2e::as_proc(xdr_upload_result), &u) != RPC_SUCCESS)
            return false;
        attachment = u.attachment;
        return true;
    }
};

std::unique_ptr<Served> served;

// The same bytes over one loopback TCP connection, written in the same 1 MB pieces.
struct TcpCopy {
    int listener = -1, sender = -1, receiver = -1;
    std::vector<char> buffer = std::vector<char>(chunk_bytes);
    TcpCopy() {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(listener, 1) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            return;
        sender = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(sender, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
            receiver = ::accept(listener, nullptr, nullptr);
    }
    ~TcpCopy() {
        for (int fd : {receiver, sender, listener})
            if (fd >= 0) ::close(fd);
    }
    bool ok() const { return receiver >= 0; }
    double seconds(std::int64_t total) {
        auto start = std::chrono::steady_clock::now();
        std::thread writer([&] {
            for (std::int64_t sent = 0; sent < total;) {
                ssize_t n = ::write(sender, pattern().data() + sent % chunk_bytes,
                                    std::min<std::int64_t>(chunk_bytes - sent % chunk_bytes, total - sent));
                if (n <= 0) return;
                sent += n;
            }
        });
        for (std::int64_t got = 0; got < total;) {
            ssize_t n = ::read(receiver, buffer.data(), buffer.size());
            if (n <= 0) break;
            got += n;
        }
        writer.join();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

struct Figure {
    double mb_per_s = 0, tcp_mb_per_s = 0, ratio = 0;
    double peak_above_idle_mb = 0;
};
std::map<std::string, Figure> figures;

std::string key(char const *what, std::int64_t mb) { return std::string(what) + " " + std::to_string(mb) + " MB"; }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Rounds interleave a plain TCP copy of the same size with the transfer, so that both see the same
// load; the figures are medians of the rounds.
void Transfer(benchmark::State &state, char const *what, std::function<bool(double &)> const &transfer) {
    if (!served->error.empty()) return state.SkipWithError(served->error.c_str());
    TcpCopy tcp;
    if (!tcp.ok()) return state.SkipWithError("no loopback connection");
    double const mb = static_cast<double>(state.range(0));
    std::vector<double> rates, tcp_rates, ratios;
    double peak = 0;
    for (auto _ : state) {
        double const copy = tcp.seconds(state.range(0) * MB);
        PeakAboveIdle rss(served->server->pid(), served->idle_mb);
        double seconds = 0;
        if (!transfer(seconds)) return state.SkipWithError((std::string(what) + " failed").c_str());
        state.SetIterationTime(seconds);
        peak = std::max(peak, rss.now());
        rates.push_back(mb / seconds);
        tcp_rates.push_back(mb / copy);
        ratios.push_back(copy / seconds);
    }
    Figure &f = figures[key(what, state.range(0))];
    f = Figure{median(rates), median(tcp_rates), median(ratios), peak};
    state.SetBytesProcessed(state.range(0) * MB * state.iterations());
    state.counters["tcp_copy_MB_per_s"] = f.tcp_mb_per_s;
    state.counters["ratio_to_tcp_copy"] = f.ratio;
    state.counters["server_peak_above_idle_mb"] = peak;
}

bool timed(std::function<bool()> const &call, double &seconds) {
    auto start = std::chrono::steady_clock::now();
    bool const ok = call();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return ok;
}

void UploadThroughTheServer(benchmark::State &state) {
    Transfer(state, "upload", [&](double &seconds) {
        e2e::Handle attachment{};
        return timed([&] { return served->upload(state.range(0) * MB, attachment); }, seconds);
    });
}

void DownloadThroughTheServer(benchmark::State &state) {
    Download d;
    d.session = served->login.handle;
    if (served->error.empty() && !served->upload(state.range(0) * MB, d.attachment))
        return state.SkipWithError("make_attachment failed");
    Transfer(state, "download", [&](double &seconds) {
        d.received = 0;
        return timed(
            [&] {
                return served->client->call(13, e2e::as_proc(xdr_download_args), &d, e2e::as_proc(xdr_download_result),
                                            &d) == RPC_SUCCESS &&
                       d.received == state.range(0) * MB;
            },
            seconds);
    });
}

std::string verdict(bool met) { return met ? "met" : "missed"; }

void print_targets(double load_before, double load_after, double idle_mb) {
    std::printf("\ncontent transfer against its targets: medians of rounds interleaved with a plain TCP copy\n"
                "(1-minute load %.1f before, %.1f after; server idle %.1f MB)\n",
                load_before, load_after, idle_mb);
    std::printf("%-16s %8s %10s %6s %-15s %9s %s\n", "case", "MB/s", "TCP MB/s", "ratio", "target", "RSS+ MB",
                "target");
    for (char const *what : {"upload", "download"}) {
        for (std::int64_t mb : {50, 500}) {
            auto f = figures.find(key(what, mb));
            if (f == figures.end()) continue;
            Figure const &g = f->second;
            // Memory: a few chunks above idle during a 50 MB transfer; under 64 MiB for a 500 MB upload.
            std::string rss = "-";
            if (mb == 50) rss = "<= 16 (a few chunks): " + verdict(g.peak_above_idle_mb <= 16);
            if (mb == 500 && std::string(what) == "upload") rss = "< 64: " + verdict(g.peak_above_idle_mb < 64);
            std::printf("%-16s %8.0f %10.0f %6.2f %-15s %9.1f %s\n", key(what, mb).c_str(), g.mb_per_s, g.tcp_mb_per_s,
                        g.ratio, (">= 0.5: " + verdict(g.ratio >= 0.5)).c_str(), g.peak_above_idle_mb, rss.c_str());
        }
    }
}

} // namespace

BENCHMARK(UploadThroughTheServer)->Arg(50)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(7);
BENCHMARK(DownloadThroughTheServer)->Arg(50)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(7);
BENCHMARK(UploadThroughTheServer)->Arg(500)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(DownloadThroughTheServer)->Arg(500)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char **argv) {
    ::setenv("KXRPC_BIN", KXRPC_BIN, 0);
    std::signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    double const load_before = load_average();
    served = std::make_unique<Served>();
    benchmark::RunSpecifiedBenchmarks();
    double const idle_mb = served->idle_mb;
    served.reset();
    print_targets(load_before, load_average(), idle_mb);
    benchmark::Shutdown();
    return 0;
}
