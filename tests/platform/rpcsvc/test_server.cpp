#include "test_server.h"
#include "support/host.h"
#include "support/tirpc_auth.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kstest {

bool_t xdr_sleep_args(XDR *x, SleepArgs *a) { return xdr_int(x, &a->tag) && xdr_int(x, &a->ms); }

bool_t xdr_add_args(XDR *x, int *ab) { return xdr_int(x, &ab[0]) && xdr_int(x, &ab[1]); }

bool_t xdr_text(XDR *x, char **s) { return xdr_string(x, s, 1 << 20); }

char pattern_byte(std::size_t i) { return char((i * 7 + 3) & 0xff); }

bool_t xdr_big(XDR *x, std::vector<char> *v) {
    u_int n = u_int(v->size());
    if (!xdr_u_int(x, &n)) return FALSE;
    if (x->x_op == XDR_DECODE) {
        if (n > (64u << 20)) return FALSE;
        v->resize(n);
    }
    return xdr_opaque(x, v->data(), n);
}

Observed &observed() {
    static Observed o;
    return o;
}

void Observed::reset() {
    in_flight.store(0);
    max_in_flight.store(0);
    order_faults.store(0);
    key_destructions.store(0);
    big_calls.store(0);
    sent_from_file.store(0);
    cut_owner.store(nullptr);
}

namespace {

int entries_of(const char *dir) {
    int n = 0;
    DIR *d = opendir(dir);
    if (d == nullptr) return -1;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

} // namespace

int thread_count() {
    // A sanitizer's helper thread starts with the process's first thread: have it there before
    // any count, so that counts taken before and after a server compare.
    // The joined thread itself leaves the task list a moment after its join returned.
    static bool const helper_started = [] {
        pid_t tid = 0;
        std::thread([&tid] { tid = gettid(); }).join();
        std::string const task = "/proc/self/task/" + std::to_string(tid);
        return wait_until([&task] { return access(task.c_str(), F_OK) != 0; });
    }();
    (void)helper_started;
    return entries_of("/proc/self/task");
}

int open_descriptors() {
    return entries_of("/proc/self/fd") - 1; // less the directory's own
}

bool wait_until(const std::function<bool()> &done, int timeout_ms, int step_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    }
    return true;
}

namespace {

std::mutex tag_mutex;
std::map<int, int> tag_busy; // tag -> calls of it running now

// One more call running now, and the most seen at once.
void enter_flight(Observed &o) {
    int now = o.in_flight.fetch_add(1) + 1;
    int seen = o.max_in_flight.load();
    while (now > seen && !o.max_in_flight.compare_exchange_weak(seen, now)) {
    }
}

bool_t xdr_refuse(XDR *x, void *) {
    int v = 7;
    xdr_int(x, &v); // part of a reply, then a failure
    return FALSE;
}

bool_t xdr_refuse_late(XDR *x, void *) {
    std::vector<char> chunk(1 << 20, 'L');
    for (u_int i = 0; i < KS_REPLY_BUFFER_SIZE / chunk.size() + 2; ++i)
        if (!xdr_opaque(x, chunk.data(), u_int(chunk.size()))) return FALSE;
    return FALSE;
}

ks_thread_key_t count_key;
std::once_flag count_key_once;

void count_destructor(void *p) {
    delete static_cast<int *>(p);
    observed().key_destructions.fetch_add(1);
}

void dispatch(ks_svc_req *rq, KS_SVCXPRT *x) {
    switch (rq->rq_proc) {
    case kNull:
        ks_svc_sendreply(x, xp(xdr_void), nullptr);
        return;
    case kEcho: {
        char *s = nullptr;
        if (!ks_svc_getargs(x, xp(xdr_text), &s))
            ks_svcerr_decode(x);
        else if (!ks_svc_sendreply(x, xp(xdr_text), &s))
            ks_svcerr_systemerr(x);
        xdr_free(xp(xdr_text), &s);
        return;
    }
    case kAdd: {
        int ab[2] = {0, 0};
        if (!ks_svc_getargs(x, xp(xdr_add_args), ab)) {
            ks_svcerr_decode(x);
            return;
        }
        int sum = ab[0] + ab[1];
        ks_svc_sendreply(x, xp(xdr_int), &sum);
        return;
    }
    case kSleep: {
        SleepArgs a{};
        if (!ks_svc_getargs(x, xp(xdr_sleep_args), &a)) {
            ks_svcerr_decode(x);
            return;
        }
        Observed &o = observed();
        {
            std::lock_guard<std::mutex> g(tag_mutex);
            if (a.tag != 0 && tag_busy[a.tag]++ != 0) o.order_faults.fetch_add(1);
        }
        enter_flight(o);
        if (a.ms >= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(a.ms));
        } else {
            // Held until -ms calls run at once (at most 20 s): overlap shown by state, not by time.
            auto const until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (o.max_in_flight.load() < -a.ms && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        o.in_flight.fetch_sub(1);
        {
            std::lock_guard<std::mutex> g(tag_mutex);
            if (a.tag != 0) --tag_busy[a.tag];
        }
        ks_svc_sendreply(x, xp(xdr_int), &a.ms);
        return;
    }
    case kExit: {
        ks_svc_exit();
        // In flight from the moment the exit is asked: calls held until N run at once see it.
        Observed &o = observed();
        enter_flight(o);
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the loop must wait for us
        o.in_flight.fetch_sub(1);
        ks_svc_sendreply(x, xp(xdr_void), nullptr);
        return;
    }
    case kBig: {
        observed().big_calls.fetch_add(1);
        u_int n = 0;
        if (!ks_svc_getargs(x, xp(xdr_u_int), &n) || n > (32u << 20)) {
            ks_svcerr_decode(x);
            return;
        }
        std::vector<char> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = pattern_byte(i);
        if (!ks_svc_sendreply(x, xp(xdr_big), &v)) ks_svcerr_systemerr(x);
        return;
    }
    case kFile: {
        observed().big_calls.fetch_add(1);
        struct File {
            u_int n = 0;
            int fd = -1;
        } f;
        if (!ks_svc_getargs(x, xp(xdr_u_int), &f.n) || f.n == 0 || f.n > (32u << 20)) {
            ks_svcerr_decode(x);
            return;
        }
        f.fd = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        std::vector<char> v(f.n);
        for (std::size_t i = 0; i < f.n; ++i) v[i] = pattern_byte(i);
        if (f.fd < 0 || write(f.fd, v.data(), v.size()) != ssize_t(v.size()) || lseek(f.fd, 1, SEEK_SET) != 1) {
            if (f.fd >= 0) close(f.fd);
            ks_svcerr_systemerr(x);
            return;
        }
        // The first byte through the stream, as a reader that looks ahead writes it; the rest
        // from the file when the runtime takes it, else through the stream as well.
        auto write_reply = [](XDR *out, File *r) -> bool_t {
            char first = pattern_byte(0), zeros[4] = {};
            if (!xdr_u_int(out, &r->n) || !XDR_PUTBYTES(out, &first, 1)) return FALSE;
            const u_int rest = r->n - 1, pad = (4 - r->n % 4) % 4;
            long sent = ks_svc_reply_from_fd(out, r->fd, rest);
            if (sent >= 0) {
                observed().sent_from_file.fetch_add(1);
                if (sent < long(rest)) return FALSE;
            } else {
                std::vector<char> bytes(rest);
                if (read(r->fd, bytes.data(), rest) != ssize_t(rest) || !XDR_PUTBYTES(out, bytes.data(), rest))
                    return FALSE;
            }
            return pad == 0 || XDR_PUTBYTES(out, zeros, pad);
        };
        if (!ks_svc_sendreply(x, xp(+write_reply), &f)) ks_svcerr_systemerr(x);
        close(f.fd);
        return;
    }
    case kThrow:
        throw std::runtime_error("thrown by a procedure");
    case kFailEncode:
        if (!ks_svc_sendreply(x, xp(xdr_refuse), nullptr)) ks_svcerr_systemerr(x);
        return;
    case kFailLate:
        if (!ks_svc_sendreply(x, xp(xdr_refuse_late), nullptr))
            ks_svcerr_systemerr(x); // too late: the connection is closed instead
        return;
    case kSum: {
        // Read in slices, as an upload is, however long the record.
        struct Sum {
            u_int n = 0, sum = 0;
            int cut = 0;
        } r;
        auto read = [](XDR *in, Sum *s) -> bool_t {
            u_int n = 0;
            if (!xdr_u_int(in, &n)) return FALSE;
            std::vector<char> slice(64 * 1024);
            for (u_int left = n; left > 0;) {
                u_int k = std::min<u_int>(left, u_int(slice.size()));
                if (!xdr_opaque(in, slice.data(), k)) {
                    s->cut = ks_svc_args_cut(in);
                    observed().cut_owner.store(ks_svc_args_owner(in));
                    return s->cut != 0;
                }
                for (u_int i = 0; i < k; ++i) s->sum += static_cast<unsigned char>(slice[i]);
                left -= k;
            }
            s->n = n;
            return TRUE;
        };
        if (!ks_svc_getargs(x, xp(+read), &r)) {
            ks_svcerr_decode(x);
            return;
        }
        if (r.cut != 0) r.n = r.sum = 0;
        auto write = [](XDR *out, Sum *s) -> bool_t {
            return xdr_u_int(out, &s->n) && xdr_u_int(out, &s->sum) && xdr_int(out, &s->cut);
        };
        ks_svc_sendreply(x, xp(+write), &r);
        return;
    }
    case kThreadCount: {
        std::call_once(count_key_once, [] { ks_thr_keycreate(&count_key, count_destructor); });
        void *p = nullptr;
        ks_thr_getspecific(count_key, &p);
        if (p == nullptr) {
            p = new int(0);
            ks_thr_setspecific(count_key, p);
        }
        int n = ++*static_cast<int *>(p);
        ks_svc_sendreply(x, xp(xdr_int), &n);
        return;
    }
    case kConnId: {
        u_quad_t id = ks_svc_connid(x);
        ks_svc_sendreply(x, xp(xdr_u_hyper), &id);
        return;
    }
    default:
        ks_svcerr_noproc(x);
    }
}

// Polls until the socket has something to read (true) or the deadline passes (false).
bool readable_before(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, int(left)) > 0) return true;
    }
}

} // namespace

int listen_socket(int family, unsigned short port) {
    int fd = socket(family, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int rc;
    if (family == AF_INET6) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port);
        rc = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        rc = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    }
    if (rc != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

unsigned short bound_port(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
    return ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port)
                                    : ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
}

Server::Server(int workers, bool ipv6, u_int sendsz) {
    observed().reset();
    if (workers > 0 && !ks_rpc_control(KS_RPC_SVC_THREADS_SET, &workers))
        throw std::runtime_error("worker count refused");
    int fd4 = listen_socket(AF_INET, 0);
    if (fd4 < 0) throw std::runtime_error("no IPv4 socket");
    port_ = bound_port(fd4);
    KS_SVCXPRT *t4 = ks_svctcp_create(fd4, sendsz, 8192);
    close(fd4); // the runtime keeps its own
    if (t4 == nullptr) throw std::runtime_error("ks_svctcp_create failed");
    for (rpcvers_t v = kVersLow; v <= kVersHigh; ++v)
        if (!ks_svc_register(t4, kProg, v, dispatch, 0)) throw std::runtime_error("ks_svc_register failed");
    if (ipv6) {
        int fd6 = listen_socket(AF_INET6, port_);
        if (fd6 >= 0) {
            KS_SVCXPRT *t6 = ks_svctcp_create(fd6, sendsz, 8192);
            close(fd6);
            v6_ok_ = t6 != nullptr && ks_svc_register(t6, kProg, kVersLow, dispatch, 0);
        }
    }
    loop_ = std::thread([] { ks_svc_run(); });
}

Server::~Server() { stop(); }

void Server::stop() {
    if (loop_.joinable()) {
        ks_svc_exit();
        loop_.join();
    }
}

void Server::wait() {
    if (loop_.joinable()) loop_.join();
}

// ---- raw connections ------------------------------------------------------------------

RawConn::RawConn(unsigned short port, int family, const char *from) {
    if (family == 6) {
        fd_ = socket(AF_INET6, SOCK_STREAM, 0);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) close_now();
    } else {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (fd_ >= 0 && from != nullptr &&
            (inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
             !kxtest::bind_client(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local)))
            close_now();
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) close_now();
    }
}

RawConn::~RawConn() { close_now(); }

void RawConn::close_now() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool RawConn::send_all(const void *p, std::size_t n) {
    const char *c = static_cast<const char *>(p);
    while (n > 0) {
        ssize_t k = send(fd_, c, n, MSG_NOSIGNAL);
        if (k <= 0) return false;
        c += k;
        n -= std::size_t(k);
    }
    return true;
}

bool RawConn::send_record(const std::vector<char> &body) {
    std::uint32_t h = htonl(0x80000000u | std::uint32_t(body.size()));
    std::vector<char> all(4 + body.size());
    std::memcpy(all.data(), &h, 4);
    if (!body.empty()) std::memcpy(all.data() + 4, body.data(), body.size());
    return send_all(all.data(), all.size());
}

bool RawConn::recv_exact(char *p, std::size_t n, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (n > 0) {
        if (!readable_before(fd_, deadline)) return false;
        ssize_t k = recv(fd_, p, n, 0);
        if (k <= 0) {
            closed_ = true;
            return false;
        }
        p += k;
        n -= std::size_t(k);
    }
    return true;
}

std::optional<std::vector<char>> RawConn::recv_record(int timeout_ms) {
    std::vector<char> rec;
    fragments_.clear();
    for (;;) {
        char h[4];
        if (!recv_exact(h, 4, timeout_ms)) return std::nullopt;
        std::uint32_t w;
        std::memcpy(&w, h, 4);
        w = ntohl(w);
        std::size_t len = w & 0x7fffffffu;
        fragments_.push_back(len);
        std::size_t at = rec.size();
        rec.resize(at + len);
        if (len > 0 && !recv_exact(rec.data() + at, len, timeout_ms)) return std::nullopt;
        if (w & 0x80000000u) return rec;
    }
}

bool RawConn::wait_closed(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    for (;;) {
        if (!readable_before(fd_, deadline)) return false;
        ssize_t k = recv(fd_, buf, sizeof buf, 0);
        if (k <= 0) return true; // end of stream or reset
    }
}

std::vector<char> words(std::initializer_list<std::uint32_t> ws) {
    std::vector<char> v;
    for (std::uint32_t w : ws) {
        std::uint32_t n = htonl(w);
        const char *p = reinterpret_cast<const char *>(&n);
        v.insert(v.end(), p, p + 4);
    }
    return v;
}

std::vector<char> make_call(std::uint32_t xid, rpcprog_t prog, rpcvers_t vers, rpcproc_t proc,
                            const std::vector<char> &args, std::uint32_t rpcvers, std::uint32_t flavor) {
    std::vector<char> v = words({xid, 0 /* CALL */, rpcvers, std::uint32_t(prog), std::uint32_t(vers),
                                 std::uint32_t(proc), flavor, 0, AUTH_NONE, 0});
    v.insert(v.end(), args.begin(), args.end());
    return v;
}

std::vector<char> xdr_encode_text(const std::string &s) {
    std::vector<char> v = words({std::uint32_t(s.size())});
    v.insert(v.end(), s.begin(), s.end());
    v.resize(v.size() + (4 - s.size() % 4) % 4, '\0');
    return v;
}

std::uint32_t word_at(const std::vector<char> &v, std::size_t off) {
    std::uint32_t w;
    std::memcpy(&w, v.data() + off, 4);
    return ntohl(w);
}

std::optional<Reply> parse_reply(const std::vector<char> &rec) {
    Reply r;
    std::size_t at = 0;
    auto next = [&](std::uint32_t &w) {
        if (at + 4 > rec.size()) return false;
        w = word_at(rec, at);
        at += 4;
        return true;
    };
    if (!next(r.xid) || !next(r.direction) || !next(r.reply_stat)) return std::nullopt;
    if (r.reply_stat == MSG_ACCEPTED) {
        std::uint32_t flavor, len;
        if (!next(flavor) || !next(len) || at + len > rec.size()) return std::nullopt;
        at += (len + 3) / 4 * 4;
        if (!next(r.accept_stat)) return std::nullopt;
        if (r.accept_stat == PROG_MISMATCH && (!next(r.low) || !next(r.high))) return std::nullopt;
        r.results.assign(rec.begin() + std::ptrdiff_t(at), rec.end());
    } else {
        if (!next(r.reject_stat)) return std::nullopt;
        if (r.reject_stat == RPC_MISMATCH) {
            if (!next(r.low) || !next(r.high)) return std::nullopt;
        } else if (!next(r.auth_why)) {
            return std::nullopt;
        }
        r.results.assign(rec.begin() + std::ptrdiff_t(at), rec.end());
    }
    return r;
}

CLIENT *tcp_client(unsigned short port, rpcvers_t vers) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    int sock = RPC_ANYSOCK;
    kxtest::share_auth_none();
    return clnttcp_create(&a, kProg, vers, &sock, 0, 0);
}

CLIENT *tcp6_client(unsigned short port, rpcvers_t vers) {
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(port);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        if (fd >= 0) close(fd);
        return nullptr;
    }
    netbuf nb{sizeof a, sizeof a, &a};
    kxtest::share_auth_none();
    CLIENT *c = clnt_vc_create(fd, &nb, kProg, vers, 0, 0);
    if (c == nullptr) {
        close(fd);
        return nullptr;
    }
    clnt_control(c, CLSET_FD_CLOSE, nullptr);
    return c;
}

std::string call_echo(CLIENT *c, const std::string &s, clnt_stat *st) {
    char *in = const_cast<char *>(s.c_str());
    char *out = nullptr;
    timeval tv{5, 0};
    clnt_stat r = clnt_call(c, kEcho, xp(xdr_text), reinterpret_cast<caddr_t>(&in), xp(xdr_text),
                            reinterpret_cast<caddr_t>(&out), tv);
    if (st != nullptr) *st = r;
    std::string res = (r == RPC_SUCCESS && out != nullptr) ? std::string(out) : std::string();
    if (out != nullptr) xdr_free(xp(xdr_text), &out);
    return res;
}

} // namespace kstest
