// A small program of its own served by the runtime, and raw-socket helpers to talk to it.
#pragma once

#include "ks_rpcsvc.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <rpc/rpc.h>

namespace kstest {

constexpr rpcprog_t kProg = 0x20049001;
constexpr rpcvers_t kVersLow = 2;
constexpr rpcvers_t kVersHigh = 3;

enum Proc : rpcproc_t {
    kNull = 0,
    kEcho = 1,        // string -> same string
    kAdd = 2,         // two ints -> their sum
    kSleep = 3,       // {tag, ms} -> ms, after sleeping (ms < 0: until -ms calls run at once); records overlap
    kExit = 4,        // asks the loop to end, then runs as one call in flight for 50 ms and answers
    kBig = 5,         // u_int n -> n bytes of pattern
    kThrow = 6,       // throws out of the dispatch routine
    kFailEncode = 7,  // the results cannot be encoded: answered with a system error
    kThreadCount = 8, // calls served so far by the serving thread, kept under a thread key
    kFailLate = 9,    // the results fail after more than the reply buffer was written
    kSum = 10,        // u_int n, n opaque bytes -> {n, their byte sum, ks_svc_args_cut} or, past the
                      // arguments' end, {0, 0, ks_svc_args_cut}
    kFile = 11,       // u_int n -> kBig's reply, its bytes after the first sent from a file
    kConnId = 12,     // -> ks_svc_connid of the call (unsigned hyper)
};

// Any XDR routine as the runtime's routine type.
template <class F>
xdrproc_t xp(F f) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(f));
}

struct SleepArgs {
    int tag;
    int ms;
};
bool_t xdr_sleep_args(XDR *x, SleepArgs *a);
bool_t xdr_add_args(XDR *x, int *ab); // two ints
bool_t xdr_text(XDR *x, char **s);
bool_t xdr_big(XDR *x, std::vector<char> *v); // decode side for clients
char pattern_byte(std::size_t i);

// What the dispatch routine has seen.
struct Observed {
    std::atomic<int> in_flight{0};
    std::atomic<int> max_in_flight{0};
    std::atomic<int> order_faults{0}; // a tag's calls overlapped or ran out of order
    std::atomic<int> key_destructions{0};
    std::atomic<int> big_calls{0};          // kBig and kFile calls begun
    std::atomic<int> sent_from_file{0};     // kFile replies whose bytes the runtime took from the file
    std::atomic<void *> cut_owner{nullptr}; // ks_svc_args_owner of the last kSum call that was cut
    void reset();                           // every Server starts from nothing seen
};
Observed &observed();

int thread_count();     // threads of this process
int open_descriptors(); // descriptors of this process

// Polls `done` every `step_ms` until it holds or `timeout_ms` have passed; returns its last answer.
bool wait_until(const std::function<bool()> &done, int timeout_ms = 10000, int step_ms = 5);

class Server {
public:
    // Listens on 127.0.0.1 and, when asked, ::1 on the same port.
    // sendsz: the largest fragment of replies (0: the runtime's default).
    explicit Server(int workers = 0, bool ipv6 = true, u_int sendsz = 8192);
    ~Server();
    void stop(); // ks_svc_exit and wait for ks_svc_run to return
    void wait(); // wait for ks_svc_run to return by itself
    unsigned short port() const { return port_; }
    bool has_ipv6() const { return v6_ok_; }

private:
    std::thread loop_;
    unsigned short port_ = 0;
    bool v6_ok_ = false;
};

// A TCP connection that speaks raw record marking.
class RawConn {
public:
    // from: the local IPv4 address to connect from (127.0.0.x stands for another host).
    explicit RawConn(unsigned short port, int family = 4, const char *from = nullptr);
    ~RawConn();
    RawConn(const RawConn &) = delete;
    RawConn &operator=(const RawConn &) = delete;
    int fd() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    bool send_all(const void *p, std::size_t n);
    bool send_record(const std::vector<char> &body); // one last fragment
    // One whole reply record, or nothing on timeout or close (closed() tells which).
    std::optional<std::vector<char>> recv_record(int timeout_ms = 5000);
    // The fragment lengths of the record recv_record took last.
    const std::vector<std::size_t> &fragments() const { return fragments_; }
    bool closed() const { return closed_; }
    // True when the peer closed the connection within the time.
    bool wait_closed(int timeout_ms = 5000);
    void close_now();

private:
    bool recv_exact(char *p, std::size_t n, int timeout_ms);
    int fd_ = -1;
    bool closed_ = false;
    std::vector<std::size_t> fragments_;
};

// Body of a call message.
std::vector<char> make_call(std::uint32_t xid, rpcprog_t prog, rpcvers_t vers, rpcproc_t proc,
                            const std::vector<char> &args = {}, std::uint32_t rpcvers = 2,
                            std::uint32_t flavor = AUTH_NONE);
std::vector<char> words(std::initializer_list<std::uint32_t> w);
std::vector<char> xdr_encode_text(const std::string &s);

// A reply record taken apart word by word.
struct Reply {
    std::uint32_t xid = 0;
    std::uint32_t direction = 0;
    std::uint32_t reply_stat = 0;
    std::uint32_t accept_stat = 0; // accepted replies
    std::uint32_t reject_stat = 0; // denied replies
    std::uint32_t low = 0, high = 0;
    std::uint32_t auth_why = 0;
    std::vector<char> results; // bytes after the accept status
};
std::optional<Reply> parse_reply(const std::vector<char> &rec);
std::uint32_t word_at(const std::vector<char> &v, std::size_t off);

CLIENT *tcp_client(unsigned short port, rpcvers_t vers = kVersLow);
CLIENT *tcp6_client(unsigned short port, rpcvers_t vers = kVersLow);
std::string call_echo(CLIENT *c, const std::string &s, clnt_stat *st = nullptr);
// A loopback TCP socket bound to port (0: any), not yet listening; -1 on failure.
int listen_socket(int family, unsigned short port);
unsigned short bound_port(int fd);

} // namespace kstest
