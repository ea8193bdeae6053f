// The service loop, the worker pool and the reply path.
//
// Ownership of a connection passes by hand: while it is armed in epoll (one-shot) nobody
// touches it; whoever takes its event owns it. A connection between calls is armed in the
// workers' epoll, where idle workers wait, so a call reaches a worker without the loop thread.
// The loop's epoll holds the listeners, connections whose replies it writes and connections in
// the middle of a record (it watches their deadline); it hands those to workers through the
// work queue. A worker serves a connection until it has nothing left to read and re-arms it.
// So a connection never needs a lock of its own and its calls run one after another.

#include "args_stream.h"
#include "byte_buffer.h"
#include "conn_table.h"
#include "ks_rpcsvc.h"
#include "record_reader.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

struct ks_svcxprt {
    enum class Kind { Listener, Call };
    explicit ks_svcxprt(Kind k) : kind(k) {}
    Kind kind;
};

namespace ksrpc {
namespace {

using Clock = std::chrono::steady_clock;

constexpr u_int kDefaultBufferSize = 8192;
constexpr int kCallsPerTurn = 16;                 // calls of one connection before others get a turn
constexpr std::size_t kCoalesceBytes = 64 * 1024; // replies held for one write before they leave anyway
constexpr int kAcceptsPerRound = 64;              // connections taken per listener event before closes
constexpr std::size_t kCrowd = 256;               // open connections whose going is worth a heap trim
constexpr int kLoopReads = 64;                    // reads of one record per loop event
constexpr std::size_t kLargeReplies = 64u << 20;  // bytes of large replies whose going is worth a heap trim
constexpr std::size_t kHeldWhileWaiting = KS_REPLY_BUFFER_SIZE / 4; // reply bytes a waiting worker leaves held

// The XDR_CONTROL request of a reply stream that sends the next bytes of a file (ReplyFromFd*).
constexpr int kReplyFromFdRequest = 0x4b530003;
struct ReplyFromFd {
    int fd;        // in: the file, read from its offset
    u_int len;     // in: how many bytes
    u_int written; // out: bytes sent or queued
    int error;     // out: why fewer than len were
};

// What an epoll event points at.
struct Pollable {
    bool listener;
};

struct Listener : ks_svcxprt, Pollable {
    Listener() : ks_svcxprt(Kind::Listener), Pollable{true} {}
    int fd = -1;
    u_int sendsz = kDefaultBufferSize;
    u_int recvsz = kDefaultBufferSize;
    bool paused = false;
    bool waiting_room = false; // paused until the connections giving way have gone
    Clock::time_point resume;
};

enum class ConnState { Reading, Flushing };

// The owner of one connection's record in its file, as the program's owners name it, and the
// bytes the file holds, counted against KS_MAX_SPOOL_BYTES. Used by whoever reads the record.
class SpoolCharge : public SpoolGate {
public:
    int admit(const char *head, std::size_t len) override;
    int hold(std::uint64_t bytes) override;
    void release() override;
    void *owner() const { return owner_; }
    // The record would have taken all records' files past their bound: its connection closes.
    bool over() const { return over_; }

private:
    const ks_spool_owners *owners_ = nullptr; // as they were when the record was admitted
    void *owner_ = nullptr;
    std::uint64_t held_ = 0;
    bool over_ = false;
};

RecordReader::Options gated(RecordReader::Options o, SpoolGate *gate) {
    o.gate = gate;
    return o;
}

// Its descriptor and its place among the open connections are the table's (ConnTable::Entry).
struct Conn : Pollable, ConnTable::Entry {
    explicit Conn(RecordReader::Options o) : Pollable{false}, reader(gated(std::move(o), &spool)) {}
    std::uint64_t id = 0; // ks_svc_connid: never reused while the process runs
    u_int sendsz = kDefaultBufferSize;
    SpoolCharge spool; // before the reader, which lets go of it when it goes
    RecordReader reader;
    std::uint64_t moved_mark = 0; // reader.moved_out() when record_deadline was last set
    ByteBuffer out;               // reply bytes not yet sent: [out_off, size)
    std::size_t out_off = 0;
    std::uint64_t out_base = 0; // stream offset of out[0]
    bool broken = false;        // the stream cannot go on: close after the current call
    ConnState state = ConnState::Reading;
    Clock::time_point flush_deadline;
    Clock::time_point record_deadline; // while a call record is incomplete
    bool timed = false;                // record_deadline is in Runtime::timed; under timer_mutex
    int ep = -1;                       // the epoll it is registered with; changed by its owner
    std::atomic<unsigned> arms{0};     // orders an owner's work before the next owner's
    std::size_t in_counted = 0;        // share of Runtime::call_bytes
    std::size_t out_counted = 0;       // share of Runtime::reply_bytes
    unsigned char finds = 3;           // 0..3: how often a read found the peer's next call at once
    bool first_call = true;            // no call record of it has arrived whole yet
    bool header_due = false;           // its first record has begun, its call header not yet whole
    std::uint64_t sent() const { return out_base + out_off; }
    std::uint64_t queued() const { return out_base + out.size(); }
    bool has_output() const { return out_off < out.size(); }
    std::size_t held() const { return out.size() - out_off; }
};

struct CallXprt : ks_svcxprt {
    CallXprt() : ks_svcxprt(Kind::Call) {}
    Conn *conn = nullptr;
    XDR *args = nullptr;
    std::uint32_t xid = 0;
    bool replied = false;
};

struct Callout {
    rpcprog_t prog;
    rpcvers_t vers;
    ks_dispatch_t dispatch;
};

// Fixed for one run of ks_svc_run.
struct Limits {
    long send_timeout_ms = KS_SEND_TIMEOUT_MS;
    long record_timeout_ms = KS_RECORD_TIMEOUT_MS;
    long first_record_timeout_ms = KS_FIRST_RECORD_TIMEOUT_MS;
    std::size_t max_call_bytes = KS_MAX_CALL_BYTES;
    std::size_t max_reply_queue = KS_MAX_REPLY_QUEUE;
    std::size_t max_reply_bytes = KS_MAX_REPLY_BYTES;
    std::size_t max_connections = KS_MAX_CONNECTIONS;
    std::uint64_t max_record = KS_MAX_RECORD_SIZE;
    std::uint64_t spool_room = UINT64_MAX; // KS_TEST_SPOOL_FULL_AT
    std::uint64_t max_spool_bytes = KS_MAX_SPOOL_BYTES;
    long idle_timeout_ms = KS_IDLE_TIMEOUT_MS;
};

struct Runtime {
    Limits limits;
    std::atomic<std::size_t> call_bytes{0};    // parts of call records held, all connections
    std::atomic<std::uint64_t> spool_bytes{0}; // bytes of call records in files, all connections
    std::atomic<const ks_spool_owners *> spool_owners{nullptr};
    std::atomic<std::size_t> reply_bytes{0};   // reply bytes queued, all connections
    std::atomic<std::size_t> large_replies{0}; // bytes of large replies made since the heap was last trimmed
    std::atomic<bool> trim_wanted{false};

    // Connections armed for reading in the middle of a record, by deadline. A worker enters one
    // before arming it; the loop takes it out before handing it on or closing it.
    std::mutex timer_mutex;
    std::set<std::pair<Clock::time_point, Conn *>> timed;

    std::mutex setup_mutex; // listeners, configuration, running flag
    std::vector<Listener *> listeners;
    std::atomic<bool> listeners_changed{true};
    int worker_threads = 0;
    std::string spool; // where large records go, chosen when ks_svc_run starts
    bool running = false;

    std::shared_mutex callout_mutex;
    std::vector<Callout> callouts;

    std::atomic<bool> exit_requested{false};
    std::atomic<int> wake_fd{-1};
    int epoll_fd = -1;      // the loop's
    int work_epoll_fd = -1; // the workers'
    int queue_fd = -1;      // always readable; armed in the workers' epoll while work is queued

    std::mutex queue_mutex; // work queue, stop flag, hand-back queue
    std::deque<Conn *> work;
    std::vector<Conn *> to_loop;
    bool queue_armed = false;
    bool stop_workers = false;
    std::atomic<bool> exiting{false};

    // The open connections: between calls (listed by their owners), fresh, by host.
    ConnTable table;
};

Runtime &rt() {
    static Runtime *r = new Runtime; // never destroyed: workers may outlast static destruction
    return *r;
}

void wake_loop() {
    int fd = rt().wake_fd.load();
    if (fd >= 0) {
        std::uint64_t one = 1;
        ssize_t n = write(fd, &one, sizeof one);
        (void)n; // a full counter already wakes the loop
    }
}

void recount(std::atomic<std::size_t> &total, std::size_t &share, std::size_t now) {
    if (now >= share)
        total.fetch_add(now - share);
    else
        total.fetch_sub(share - now);
    share = now;
}

// The call header's program, version and procedure, and where its arguments begin; false when
// the head holds no whole call header.
bool call_head(const char *p, std::size_t len, rpcprog_t &prog, rpcvers_t &vers, rpcproc_t &proc, std::size_t &args) {
    auto word = [&](std::size_t at) {
        std::uint32_t w;
        std::memcpy(&w, p + at, 4);
        return ntohl(w);
    };
    std::size_t at = 24; // xid, direction, RPC version, program, version, procedure
    if (len < at + 8) return false;
    prog = word(12);
    vers = word(16);
    proc = word(20);
    for (int auth = 0; auth < 2; ++auth) { // credentials, then verifier
        if (len < at + 8) return false;
        const std::uint32_t body = word(at + 4);
        if (body > MAX_AUTH_BYTES) return false;
        at += 8 + ((body + 3) & ~3u);
    }
    if (at > len) return false;
    args = at;
    return true;
}

int SpoolCharge::admit(const char *head, std::size_t len) {
    owners_ = rt().spool_owners.load();
    owner_ = nullptr;
    over_ = false;
    if (owners_ == nullptr) return 0;
    rpcprog_t prog = 0;
    rpcvers_t vers = 0;
    rpcproc_t proc = 0;
    std::size_t args = 0;
    if (call_head(head, len, prog, vers, proc, args))
        owner_ = owners_->admit(prog, vers, proc, head + args, len - args);
    return owner_ != nullptr ? 0 : EACCES;
}

int SpoolCharge::hold(std::uint64_t bytes) {
    Runtime &r = rt();
    if (bytes > held_) {
        const std::uint64_t more = bytes - held_;
        if (r.spool_bytes.fetch_add(more) + more > r.limits.max_spool_bytes) {
            r.spool_bytes.fetch_sub(more);
            over_ = true;
            return ENOSPC;
        }
    } else {
        r.spool_bytes.fetch_sub(held_ - bytes);
    }
    if (owner_ != nullptr) {
        if (const int why = owners_->charge(owner_, bytes); why != 0) {
            if (bytes > held_) r.spool_bytes.fetch_sub(bytes - held_);
            return why;
        }
    }
    held_ = bytes;
    return 0;
}

void SpoolCharge::release() {
    rt().spool_bytes.fetch_sub(held_);
    held_ = 0;
    if (owner_ != nullptr) owners_->release(owner_);
    owner_ = nullptr;
}

// False when the call bytes held across connections pass their limit.
bool count_in(Conn *c) {
    recount(rt().call_bytes, c->in_counted, c->reader.pending());
    return rt().call_bytes.load() <= rt().limits.max_call_bytes;
}

// Set while this thread runs a dispatch routine: the memory its reply was made from is not free yet.
thread_local bool dispatching = false;

// Large replies leave their makers' memory in the heap: once they have left and their makers
// have returned, the loop gives it back. A trim before the maker frees its memory would miss it.
void trim_when_due() {
    Runtime &r = rt();
    if (!dispatching && r.large_replies.load(std::memory_order_relaxed) >= kLargeReplies &&
        r.reply_bytes.load(std::memory_order_relaxed) <= ByteBuffer::kMapped && !r.trim_wanted.exchange(true))
        wake_loop();
}

void count_out(Conn *c) {
    recount(rt().reply_bytes, c->out_counted, c->held());
    trim_when_due();
}

// By c's owner, before arming it between calls: from now on it may give way, or time out.
void list_idle(Conn *c) { rt().table.set_idle(c); }

// By c's owner, who took it back: it no longer gives way.
void unlist_idle(Conn *c) { rt().table.set_busy(c); }

void close_conn(Conn *c) {
    recount(rt().call_bytes, c->in_counted, 0);
    recount(rt().reply_bytes, c->out_counted, 0);
    if (c->ep >= 0) epoll_ctl(c->ep, EPOLL_CTL_DEL, c->fd, nullptr);
    // The last of those giving way has gone: the loop may accept again.
    if (rt().table.remove(c)) wake_loop();
    delete c;
}

#if defined(__SANITIZE_THREAD__)
extern "C" void AnnotateIgnoreReadsBegin(const char *file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char *file, int line);
// ThreadSanitizer sees a re-arm as a read of the descriptor that is not ordered before the next
// owner's close of it (it orders only an epoll's adds before its events). The kernel orders it:
// the event that makes the next owner exists only once the re-arm is done.
struct IgnoreFdRead {
    IgnoreFdRead() { AnnotateIgnoreReadsBegin(__FILE__, __LINE__); }
    ~IgnoreFdRead() { AnnotateIgnoreReadsEnd(__FILE__, __LINE__); }
};
#else
struct IgnoreFdRead {};
#endif

// Arms c in the epoll ep (the loop's or the workers'). After a successful arm the connection
// belongs to whoever gets its event: hands off.
bool arm(Conn *c, int ep, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events | EPOLLONESHOT;
    ev.data.ptr = static_cast<Pollable *>(c);
    const int fd = c->fd;
    // The kernel orders an arm before the event it brings; the release says so to the memory
    // model (and to race detectors), whichever thread takes the event. It is the last touch of
    // c before the arm.
    if (c->ep == ep) {
        c->arms.fetch_add(1, std::memory_order_release);
        [[maybe_unused]] IgnoreFdRead quiet;
        return epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev) == 0;
    }
    if (c->ep >= 0) epoll_ctl(c->ep, EPOLL_CTL_DEL, fd, nullptr);
    c->ep = ep;
    c->arms.fetch_add(1, std::memory_order_release);
    if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) == 0) return true;
    c->ep = -1; // not armed: still ours
    return false;
}

// Arms a connection between calls in the workers' epoll, on the idle list.
bool arm_idle(Conn *c) {
    list_idle(c);
    if (arm(c, rt().work_epoll_fd, EPOLLIN)) return true;
    unlist_idle(c); // not armed: still ours
    return false;
}

// Arms for reading: between calls in the workers' epoll; a record begun and not finished with
// the loop, which watches its deadline.
bool arm_reading(Conn *c) {
    if (!c->reader.started()) return arm_idle(c);
    bool earliest;
    {
        std::lock_guard<std::mutex> g(rt().timer_mutex);
        auto key = std::make_pair(c->record_deadline, c);
        auto at = rt().timed.insert(key).first;
        earliest = at == rt().timed.begin();
        c->timed = true;
        if (!arm(c, rt().epoll_fd, EPOLLIN)) {
            rt().timed.erase(key);
            c->timed = false;
            return false;
        }
    }
    if (earliest) wake_loop(); // it may be waiting with no timer or a later one
    return true;
}

// The loop took an event of c: it is no longer the loop's to expire.
void untime(Conn *c) {
    std::lock_guard<std::mutex> g(rt().timer_mutex);
    if (c->timed) {
        rt().timed.erase(std::make_pair(c->record_deadline, c));
        c->timed = false;
    }
}

// The connection of an event, now the taker's.
Conn *taken(Pollable *p) {
    auto *c = static_cast<Conn *>(p);
    c->arms.load(std::memory_order_acquire);
    unlist_idle(c);
    return c;
}

void arm_queue() // under queue_mutex
{
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLONESHOT;
    ev.data.ptr = nullptr;
    rt().queue_armed = epoll_ctl(rt().work_epoll_fd, EPOLL_CTL_MOD, rt().queue_fd, &ev) == 0;
}

void queue_work(Conn *c) {
    Runtime &r = rt();
    std::lock_guard<std::mutex> g(r.queue_mutex);
    r.work.push_back(c);
    if (!r.queue_armed) arm_queue();
}

// Takes the queue's signal: one worker per event; more work wakes another.
void take_queue_signal() {
    Runtime &r = rt();
    std::lock_guard<std::mutex> g(r.queue_mutex);
    r.queue_armed = false;
    if (r.work.size() > 1 && !r.stop_workers) arm_queue();
}

// The next connection for a worker: queued work first, else the next event of the workers'
// epoll. After a connection gave way at the end of its turn (it is queued), a connection ready
// in the epoll comes first, or the one that gave way would be taken straight back. Null when
// the workers are to stop.
Conn *next_work(bool gave_way) {
    Runtime &r = rt();
    for (int tries = 0; gave_way && tries < 2; ++tries) {
        epoll_event ev{};
        if (epoll_wait(r.work_epoll_fd, &ev, 1, 0) <= 0) break;
        if (auto *p = static_cast<Pollable *>(ev.data.ptr)) return taken(p);
        take_queue_signal();
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> g(r.queue_mutex);
            if (r.stop_workers) return nullptr;
            if (!r.work.empty()) {
                Conn *c = r.work.front();
                r.work.pop_front();
                return c;
            }
        }
        epoll_event ev{};
        int n = epoll_wait(r.work_epoll_fd, &ev, 1, -1);
        if (n <= 0) continue;
        if (auto *p = static_cast<Pollable *>(ev.data.ptr)) return taken(p);
        take_queue_signal();
    }
}

// Work the loop queued for workers waits, or the workers are to stop.
bool work_queued() {
    std::lock_guard<std::mutex> g(rt().queue_mutex);
    return !rt().work.empty() || rt().stop_workers;
}

// Waits, without a timer, until the connection has data or other work is ready for workers.
// False when it is other work.
bool linger(Conn *c, bool &readable) {
    pollfd pfd[2] = {{c->fd, POLLIN, 0}, {rt().work_epoll_fd, POLLIN, 0}};
    while (poll(pfd, 2, -1) < 0 && errno == EINTR) {
    }
    readable = pfd[0].revents != 0;
    return readable;
}

void hand_to_loop(Conn *c) {
    {
        std::lock_guard<std::mutex> g(rt().queue_mutex);
        rt().to_loop.push_back(c);
    }
    wake_loop();
}

// Other connections wait for a worker: queued, or ready in the workers' epoll.
bool work_waiting() {
    if (work_queued()) return true;
    pollfd pfd{rt().work_epoll_fd, POLLIN, 0};
    return poll(&pfd, 1, 0) > 0;
}

// Sends what the socket takes now. False when the peer is gone. keep_room: a reply is being
// encoded into the buffer, which stays.
bool send_some(Conn *c, bool keep_room = false) {
    while (c->has_output()) {
        ssize_t n = send(c->fd, c->out.data() + c->out_off, c->out.size() - c->out_off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c->out_off += std::size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        return false;
    }
    if (c->out_off == c->out.size()) {
        c->out_base += c->out.size();
        c->out.resize_down(0);
        c->out_off = 0;
        // The room of a reply within the buffer's size stays for the next one (new pages cost more
        // than the bytes they hold); a larger reply's room goes back.
        if (!keep_room && c->out.capacity() > 2 * std::size_t(KS_REPLY_BUFFER_SIZE)) c->out.release();
    } else if (c->out_off >= 65536) {
        // Keep the buffer from growing with what is already gone.
        c->out.consume(c->out_off);
        c->out_base += c->out_off;
        c->out_off = 0;
    }
    count_out(c);
    return true;
}

// ---- reply encoding -------------------------------------------------------------------

enum class Drain { Done, Busy, Gone };

// Sends c's held reply bytes until at most `keep` are held, waiting for the peer to take them:
// one connection's worker waits for its own peer, so a large reply holds a few buffers, not
// itself. Busy as soon as other work waits for a worker (the bytes stay held and the loop writes
// them, so a slow reader stalls nobody); Gone when the peer is gone or took nothing for the send
// timeout.
Drain drain(Conn *c, std::size_t keep) {
    const auto patience = std::chrono::milliseconds(rt().limits.send_timeout_ms);
    auto deadline = Clock::now() + patience;
    for (;;) {
        const std::uint64_t before = c->sent();
        if (!send_some(c, true)) return Drain::Gone;
        if (c->held() <= keep) return Drain::Done;
        auto now = Clock::now();
        if (c->sent() > before) deadline = now + patience;
        if (rt().exiting.load()) return Drain::Busy;
        if (now >= deadline) return Drain::Gone;
        pollfd pfd[2] = {{c->fd, POLLOUT, 0}, {rt().work_epoll_fd, POLLIN, 0}};
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        if (poll(pfd, 2, int(std::min<long long>(ms, 60000))) < 0 && errno != EINTR) return Drain::Gone;
        if (pfd[1].revents != 0) return Drain::Busy;
    }
}

// An XDR stream that encodes a reply record straight into its connection's output, in fragments
// of up to sendsz bytes whose headers are filled in as each one closes. Past
// KS_REPLY_BUFFER_SIZE of held bytes, a fragment closes and the held bytes leave, the worker
// waiting for the peer while no other work waits (drain). File content goes from the file to the
// socket in fragments of its own (from_fd).
class ReplyStream {
public:
    explicit ReplyStream(Conn *c) : c_(c), start_(c->queued()), flush_at_(c->sent() + KS_REPLY_BUFFER_SIZE) {
        xdr_.x_op = XDR_ENCODE;
        xdr_.x_ops = ops();
        xdr_.x_private = reinterpret_cast<char *>(this);
        open_fragment();
    }
    XDR *xdr() { return &xdr_; }
    // Ends the record; false when the connection can take no more.
    bool finish() {
        if (failed_ || !close_fragment(true)) return false;
        std::uint64_t len = c_->queued() - start_;
        if (len >= ByteBuffer::kMapped) rt().large_replies.fetch_add(std::size_t(len), std::memory_order_relaxed);
        count_out(c_);
        return true;
    }

private:
    static ReplyStream *self(XDR *x) { return reinterpret_cast<ReplyStream *>(x->x_private); }

    std::size_t fragment_room() const {
        std::size_t used = c_->out.size() - frag_ - 4;
        return used < c_->sendsz ? c_->sendsz - used : 0;
    }

    void open_fragment() {
        frag_ = c_->out.size();
        c_->out.extend(4);
        c_->out.grow_by(4); // its header, filled in when it closes
    }

    bool close_fragment(bool last) {
        std::uint32_t len = std::uint32_t(c_->out.size() - frag_ - 4);
        std::uint32_t word = htonl(len | (last ? 0x80000000u : 0u));
        std::memcpy(c_->out.data() + frag_, &word, 4);
        count_out(c_);
        return true;
    }

    bool over_bounds() const {
        return c_->held() > rt().limits.max_reply_queue || rt().reply_bytes.load() > rt().limits.max_reply_bytes;
    }

    // Closes the fragment in hand and starts the next one, sending first when much is held.
    bool next_fragment() {
        close_fragment(false);
        Conn *c = c_;
        if (c->queued() > flush_at_) {
            if (!send_some(c, true) || (!over_bounds() && drain(c, kHeldWhileWaiting) == Drain::Gone)) {
                c->broken = true;
                return false;
            }
            flush_at_ = c->queued() + KS_REPLY_BUFFER_SIZE;
        }
        if (over_bounds()) {
            c->broken = true; // more than may wait for this peer: it goes
            return false;
        }
        open_fragment();
        return true;
    }

    bool put(const char *p, std::size_t n) {
        if (failed_ || c_->broken) return false;
        try {
            while (n > 0) {
                std::size_t room = fragment_room();
                if (room == 0 || c_->queued() > flush_at_) {
                    if (!next_fragment()) {
                        failed_ = true;
                        return false;
                    }
                    continue;
                }
                std::size_t k = std::min(n, room);
                c_->out.append(p, k);
                p += k;
                n -= k;
            }
        } catch (const std::bad_alloc &) {
            failed_ = true;
            return false;
        }
        return true;
    }

    static bool_t put_long(XDR *x, const long *lp) {
        std::uint32_t w = htonl(std::uint32_t(*lp));
        ReplyStream *s = self(x);
        // Most words fit the fragment and the buffer in hand: no flush, no growth.
        ByteBuffer &out = s->c_->out;
        if (!s->failed_ && !s->c_->broken && s->fragment_room() >= 4 && s->c_->queued() <= s->flush_at_ &&
            out.room() >= 4) {
            std::memcpy(out.data() + out.size(), &w, 4);
            out.grow_by(4);
            return TRUE;
        }
        return s->put(reinterpret_cast<const char *>(&w), 4) ? TRUE : FALSE;
    }
    static bool_t put_bytes(XDR *x, const char *p, u_int n) { return self(x)->put(p, n) ? TRUE : FALSE; }
    static u_int get_pos(XDR *x) { return u_int(self(x)->c_->out.size()); }
    static bool_t set_pos(XDR *, u_int) { return FALSE; }
    // Room in the output itself, where the caller writes the bytes in place.
    static int32_t *inline_at(XDR *x, u_int len) {
        ReplyStream *s = self(x);
        if (s->failed_ || s->c_->broken || len > s->c_->sendsz) return nullptr;
        try {
            if (len > s->fragment_room() || s->c_->queued() > s->flush_at_) {
                if (!s->next_fragment()) {
                    s->failed_ = true;
                    return nullptr;
                }
            }
            char *at = s->c_->out.extend(len);
            s->c_->out.grow_by(len);
            return reinterpret_cast<int32_t *>(at);
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
    }
    static bool_t no_get_long(XDR *, long *) { return FALSE; }
    static bool_t no_get_bytes(XDR *, char *, u_int) { return FALSE; }
    static void destroy(XDR *) {}
    static bool_t control(XDR *x, int request, void *info) {
        if (request != kReplyFromFdRequest || info == nullptr) return FALSE;
        try {
            return self(x)->from_fd(*static_cast<ReplyFromFd *>(info)) ? TRUE : FALSE;
        } catch (const std::bad_alloc &) {
            self(x)->failed_ = true;
            return FALSE;
        }
    }

    // The next a.len bytes of the file a.fd, from its offset, sent by the kernel in fragments of
    // their own once the held bytes have left. False, with nothing taken, when the worker is not
    // to wait for this peer now: the caller writes the bytes itself. Once some have gone, a
    // fragment is finished whatever comes: when other work turns up, the rest is read into the
    // output; when the file ends early or the peer goes, the record is cut (a.written < a.len).
    bool from_fd(ReplyFromFd &a) {
        Conn *c = c_;
        if (failed_ || c->broken) return false;
        // The open fragment ends here (or goes, when it holds nothing yet).
        if (c->out.size() == frag_ + 4)
            c->out.resize_down(frag_);
        else
            close_fragment(false);
        Drain d = drain(c, 0);
        if (d != Drain::Done) {
            if (d == Drain::Gone) {
                c->broken = true;
                failed_ = true;
                return false;
            }
            open_fragment();
            return false;
        }
        const auto patience = std::chrono::milliseconds(rt().limits.send_timeout_ms);
        while (a.written < a.len) {
            std::uint32_t piece = std::min<std::uint32_t>(a.len - a.written, c->sendsz);
            std::uint32_t word = htonl(piece);
            c->out.append(reinterpret_cast<const char *>(&word), 4);
            auto deadline = Clock::now() + patience;
            bool copying = false; // the rest of the piece goes through the output
            while (piece > 0) {
                if (c->has_output() && !send_some(c, true)) return cut(a, EPIPE);
                ssize_t n = 0;
                if (copying || !c->has_output()) {
                    n = copying ? read(a.fd, c->out.extend(piece), piece) : sendfile(c->fd, a.fd, nullptr, piece);
                    if (n > 0) {
                        if (copying)
                            c->out.grow_by(std::size_t(n));
                        else
                            c->out_base += std::uint64_t(n);
                        piece -= std::uint32_t(n);
                        a.written += std::uint32_t(n);
                        deadline = Clock::now() + patience;
                        continue;
                    }
                    if (n == 0) return cut(a, EIO); // the file ended early
                    if (errno == EINTR) continue;
                    if (copying || (errno != EAGAIN && errno != EWOULDBLOCK)) return cut(a, errno);
                }
                if (copying) continue;
                if (Clock::now() >= deadline) return cut(a, ETIMEDOUT);
                if (rt().exiting.load()) {
                    copying = true;
                    continue;
                }
                pollfd pfd[2] = {{c->fd, POLLOUT, 0}, {rt().work_epoll_fd, POLLIN, 0}};
                if (poll(pfd, 2, 1000) < 0 && errno != EINTR) return cut(a, errno);
                if (pfd[1].revents != 0) copying = true;
            }
            if (copying) {
                // Other work waits: what is left is held, as the loop writes it.
                count_out(c);
                open_fragment();
                flush_at_ = c->queued() + KS_REPLY_BUFFER_SIZE;
                return put_from_fd(a);
            }
        }
        count_out(c);
        open_fragment();
        flush_at_ = c->queued() + KS_REPLY_BUFFER_SIZE;
        return true;
    }

    // The rest of a.len bytes of a.fd through the output, as any other reply bytes.
    bool put_from_fd(ReplyFromFd &a) {
        char slice[64 * 1024];
        while (a.written < a.len) {
            ssize_t n = read(a.fd, slice, std::min<std::size_t>(sizeof slice, a.len - a.written));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return cut(a, n == 0 ? EIO : errno);
            if (!put(slice, std::size_t(n))) return cut(a, EPIPE);
            a.written += std::uint32_t(n);
        }
        return true;
    }

    bool cut(ReplyFromFd &a, int error) {
        a.error = error;
        c_->broken = true;
        failed_ = true;
        count_out(c_);
        return true;
    }

    static const XDR::xdr_ops *ops() {
        static const XDR::xdr_ops table = {no_get_long, put_long,  no_get_bytes, put_bytes, get_pos,
                                           set_pos,     inline_at, destroy,      control};
        return &table;
    }

    XDR xdr_{};
    Conn *c_;
    std::uint64_t start_;    // stream offset of the reply
    std::size_t frag_ = 0;   // offset in c_->out of the open fragment's header
    std::uint64_t flush_at_; // stream offset past which held bytes are sent
    bool failed_ = false;
};

// Writes one reply record. On failure nothing of it stays queued, unless part of it already
// left, in which case the stream is cut and the connection must close.
bool send_reply(CallXprt *cx, rpc_msg *msg) {
    Conn *c = cx->conn;
    if (cx->replied || c->broken) return false;
    std::uint64_t start = c->queued();
    bool ok = false;
    try {
        ReplyStream out(c);
        ok = xdr_replymsg(out.xdr(), msg) && out.finish();
    } catch (...) {
        // A reply routine that throws (out of memory) fails as a failed write: taken back below.
        ok = false;
    }
    if (!ok) {
        if (c->sent() > start)
            c->broken = true;
        else
            c->out.resize_down(std::size_t(start - c->out_base));
        count_out(c);
        return false;
    }
    cx->replied = true;
    return true; // it leaves with the replies to the other calls already buffered
}

void init_reply(rpc_msg &r, std::uint32_t xid) {
    std::memset(&r, 0, sizeof r);
    r.rm_xid = xid;
    r.rm_direction = REPLY;
}

bool send_accepted(CallXprt *cx, accept_stat stat, xdrproc_t proc = nullptr, void *where = nullptr, rpcvers_t low = 0,
                   rpcvers_t high = 0) {
    rpc_msg r;
    init_reply(r, cx->xid);
    r.rm_reply.rp_stat = MSG_ACCEPTED;
    r.acpted_rply.ar_verf = _null_auth;
    r.acpted_rply.ar_stat = stat;
    if (stat == SUCCESS) {
        r.acpted_rply.ar_results.where = static_cast<caddr_t>(where);
        r.acpted_rply.ar_results.proc = proc;
    } else if (stat == PROG_MISMATCH) {
        r.acpted_rply.ar_vers.low = low;
        r.acpted_rply.ar_vers.high = high;
    } else {
        r.acpted_rply.ar_results.where = nullptr;
        r.acpted_rply.ar_results.proc = nullptr; // not encoded for these
    }
    return send_reply(cx, &r);
}

void send_denied(CallXprt *cx, reject_stat stat, auth_stat why) {
    rpc_msg r;
    init_reply(r, cx->xid);
    r.rm_reply.rp_stat = MSG_DENIED;
    r.rjcted_rply.rj_stat = stat;
    if (stat == RPC_MISMATCH) {
        r.rjcted_rply.rj_vers.low = RPC_MSG_VERSION;
        r.rjcted_rply.rj_vers.high = RPC_MSG_VERSION;
    } else {
        r.rjcted_rply.rj_why = why;
    }
    send_reply(cx, &r);
}

// Counted across runs of ks_svc_run, so that no id comes back while the process lives.
std::atomic<std::uint64_t> next_connection_id{0};

CallXprt *as_call(KS_SVCXPRT *x) {
    return x != nullptr && x->kind == ks_svcxprt::Kind::Call ? static_cast<CallXprt *>(x) : nullptr;
}

// ---- serving a connection ---------------------------------------------------------------

std::uint32_t word_at(const char *p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return ntohl(w);
}

void serve_record(Conn *c) {
    const RecordReader &rd = c->reader;
    const int spool = rd.spool_fd();
    char first[12];
    const char *rec = rd.data();
    CallXprt cx;
    cx.conn = c;
    if (rd.size() < 12) return; // not even a call header: nothing to answer to
    if (spool >= 0) {
        if (pread(spool, first, sizeof first, 0) != ssize_t(sizeof first)) return;
        rec = first;
    }
    cx.xid = word_at(rec);
    if (word_at(rec + 4) != CALL) return;
    if (word_at(rec + 8) != RPC_MSG_VERSION) {
        send_denied(&cx, RPC_MISMATCH, AUTH_OK);
        return;
    }
    // A record refused before its file was made keeps its owner too: the refusal answers its call.
    std::optional<ArgsStream> stream;
    if (spool >= 0)
        stream.emplace(spool, rd.size(), rd.cut(), c->spool.owner());
    else
        stream.emplace(rd.data(), std::size_t(rd.size()), rd.cut(), c->spool.owner());
    XDR *in = stream->xdr();
    rpc_msg msg;
    std::memset(&msg, 0, sizeof msg);
    char auth_area[2 * MAX_AUTH_BYTES];
    msg.rm_call.cb_cred.oa_base = auth_area;
    msg.rm_call.cb_verf.oa_base = auth_area + MAX_AUTH_BYTES;
    if (!xdr_callmsg(in, &msg)) return; // no header to answer; the record is dropped and the stream goes on
    cx.args = in;
    call_body &call = msg.rm_call;
    if (call.cb_cred.oa_flavor != AUTH_NONE && call.cb_cred.oa_flavor != AUTH_SYS) {
        send_denied(&cx, AUTH_ERROR, AUTH_REJECTEDCRED);
        return;
    }
    ks_dispatch_t dispatch = nullptr;
    bool prog_known = false;
    rpcvers_t low = ~rpcvers_t(0), high = 0;
    {
        std::shared_lock<std::shared_mutex> g(rt().callout_mutex);
        for (const Callout &co : rt().callouts) {
            if (co.prog != call.cb_prog) continue;
            prog_known = true;
            low = std::min(low, co.vers);
            high = std::max(high, co.vers);
            if (co.vers == call.cb_vers) dispatch = co.dispatch;
        }
    }
    if (dispatch == nullptr) {
        if (prog_known)
            send_accepted(&cx, PROG_MISMATCH, nullptr, nullptr, low, high);
        else
            send_accepted(&cx, PROG_UNAVAIL);
        return;
    }
    ks_svc_req req{};
    req.rq_prog = call.cb_prog;
    req.rq_vers = call.cb_vers;
    req.rq_proc = call.cb_proc;
    req.rq_cred = call.cb_cred;
    req.rq_clntcred = nullptr;
    req.rq_xprt = &cx;
    dispatching = true;
    try {
        dispatch(&req, &cx);
    } catch (...) {
        if (!cx.replied) send_accepted(&cx, SYSTEM_ERR);
    }
    dispatching = false;
    trim_when_due();
}

enum class Feed { Ready, NeedMore, Broken };

// How much sooner than a record's deadline the first record's call header is due.
std::chrono::milliseconds header_grace() {
    return std::chrono::milliseconds(rt().limits.record_timeout_ms - rt().limits.first_record_timeout_ms);
}

// The record begun holds a whole call header: its fixed words, credentials and verifier. One
// that cannot be a call header, or that already went to a file, counts as whole: its own
// deadline is the record's.
bool call_header_whole(const RecordReader &rd) {
    if (rd.spool_fd() >= 0) return true;
    const char *p = rd.data();
    const std::uint64_t n = rd.size();
    constexpr std::uint64_t kFixed = 8 * 4; // xid .. credential length
    if (n < kFixed) return false;
    std::uint32_t cred = word_at(p + 28);
    if (cred > MAX_AUTH_BYTES) return true;
    const std::uint64_t verf_at = kFixed + ((cred + 3u) & ~3u);
    if (n < verf_at + 8) return false;
    std::uint32_t verf = word_at(p + verf_at + 4);
    return verf > MAX_AUTH_BYTES || n >= verf_at + 8 + ((verf + 3u) & ~3u);
}

Feed feed_buffered(Conn *c) {
    bool was_started = c->reader.started();
    auto st = c->reader.parse();
    if (!count_in(c) || c->spool.over()) return Feed::Broken;
    if (st == RecordReader::Status::Ready) {
        if (!c->first_call) return Feed::Ready;
        c->first_call = false;
        return rt().table.first_record(c) ? Feed::Ready : Feed::Broken;
    }
    // The deadline holds for what memory holds: a record spooled or dropped past the threshold
    // gets another period for each threshold of bytes.
    std::uint64_t moved = c->reader.moved_out();
    if (!was_started && c->reader.started()) {
        c->record_deadline = Clock::now() + std::chrono::milliseconds(rt().limits.record_timeout_ms);
        c->moved_mark = moved;
        // The first record's call header has less time: until it is whole the peer has shown
        // nothing of use, and may be holding a slot with a byte.
        c->header_due = c->first_call && header_grace().count() > 0;
        if (c->header_due) c->record_deadline -= header_grace();
    } else if (moved - c->moved_mark >= KS_SPOOL_THRESHOLD) {
        c->record_deadline = Clock::now() + std::chrono::milliseconds(rt().limits.record_timeout_ms);
        c->moved_mark = moved;
    }
    if (c->header_due && call_header_whole(c->reader)) {
        c->header_due = false; // from here it has the time of any record, from its first byte
        c->record_deadline += header_grace();
    }
    return Feed::NeedMore;
}

// Sends the replies held for c as far as the socket takes them. False when c is no longer this
// worker's: closed (the peer is gone) or handed to the loop to write the rest.
bool flush_replies(Conn *c) {
    if (!c->has_output()) return true;
    if (!send_some(c)) {
        close_conn(c);
        return false;
    }
    if (c->has_output()) {
        hand_to_loop(c);
        return false;
    }
    return true;
}

// True when c gave way to other connections at the end of its turn.
bool serve(Conn *c) {
    unsigned calls = 0;                                         // served in this turn; wraps harmlessly
    enum class Wait { None, Looked, Waited } wait = Wait::None; // for the peer's next call
    bool readable = true; // it came with a read event, or the last read filled the buffer
    for (;;) {
        if (rt().exiting.load()) {
            if (c->has_output()) hand_to_loop(c); // answered before the exit: let it leave
            return false;                         // otherwise left to the closing of all connections
        }
        Feed f = feed_buffered(c);
        if (f == Feed::Broken) {
            close_conn(c);
            return false;
        }
        if (f == Feed::Ready) {
            serve_record(c);
            const int spool = c->reader.next_keeping_file();
            count_in(c);
            wait = Wait::None;
            if (spool >= 0) {
                // What the socket takes of the answer leaves before the record's file goes (dropping
                // the pages of a large file takes a while), and the file goes before the connection
                // may pass to another thread: it never outlives the connection's next call.
                const bool gone = !c->broken && c->has_output() && !send_some(c);
                close(spool);
                if (gone) {
                    close_conn(c);
                    return false;
                }
                if (!c->broken && c->has_output()) {
                    hand_to_loop(c);
                    return false;
                }
            }
            if (c->broken) {
                close_conn(c);
                return false;
            }
            // Replies to calls that are already buffered leave together, in one write; held
            // replies stay well inside the queue's bound.
            if (c->held() >= std::min(kCoalesceBytes, rt().limits.max_reply_queue / 4) && !flush_replies(c))
                return false;
            if (++calls % kCallsPerTurn == 0 && work_waiting()) {
                if (!flush_replies(c)) return false;
                // Behind the others: in the epoll when its calls are all in the socket still,
                // else queued (and the worker takes a ready connection before the queue).
                if (c->reader.buffered()) {
                    queue_work(c);
                    return true;
                }
                if (!arm_reading(c)) close_conn(c);
                return false;
            }
            continue;
        }
        // No whole call is buffered: what has been answered leaves before anything waits.
        if (!flush_replies(c)) return false;
        if (!readable) {
            bool partial = c->reader.started();
            if (partial && Clock::now() >= c->record_deadline) {
                close_conn(c); // a record that trickles in past its deadline
                return false;
            }
            // A client that calls in a loop sends its next call at once; taking it here saves
            // two thread hand-overs, but only while no other work is queued. On a busy machine
            // it is mostly there already (the peer ran while the reply went out), so a read looks
            // before the wait while such reads keep finding it, and now and then otherwise.
            // The wait has no timer: arming one costs more than a short call. A record begun
            // is left to the loop, which watches its deadline.
            if (!partial && wait != Wait::Waited && !work_queued()) {
                if (wait == Wait::None && (c->finds >= 2 || calls % 8 == 0)) {
                    wait = Wait::Looked;
                    readable = true;
                    continue;
                }
                if (wait == Wait::Looked && c->finds > 0) --c->finds;
                wait = Wait::Waited;
                // Listed while it waits, so that it can give way or time out; the end of its
                // stream then wakes the wait.
                list_idle(c);
                if (linger(c, readable)) {
                    unlist_idle(c);
                    continue;
                }
                // Other work came first: it waits on in the epoll, idle since its wait began.
                if (!arm(c, rt().work_epoll_fd, EPOLLIN)) close_conn(c);
                return false;
            }
            // Re-arming reports data that is already there, so no read is needed first.
            if (!arm_reading(c)) close_conn(c);
            return false;
        }
        bool filled = false;
        ssize_t n = c->reader.read_from(c->fd, &filled);
        if (n > 0) {
            if (wait == Wait::Looked && c->finds < 3) ++c->finds;
            readable = filled;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            close_conn(c);
            return false;
        }
        readable = false;
    }
}

// A record begun and not finished: the loop reads on until it is whole, so that a large upload
// does not pass between threads for every read, and hands the connection to a worker then. It
// never waits: what the socket does not hold yet, the next event brings.
void read_rest(Conn *c) {
    try {
        // The bytes of the last read are parsed too: they may end the record, and nothing else
        // would wake the connection for them.
        for (int reads = 0;; ++reads) {
            Feed f = feed_buffered(c);
            if (f == Feed::Broken) {
                close_conn(c);
                return;
            }
            if (f == Feed::Ready) {
                queue_work(c);
                return;
            }
            if (reads == kLoopReads) break;
            bool filled = false;
            ssize_t n = c->reader.read_from(c->fd, &filled);
            if (n > 0) continue;
            if (n < 0 && errno == EINTR) continue;
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                close_conn(c); // gone in the middle of a call
                return;
            }
            break;
        }
    } catch (...) {
        close_conn(c); // out of memory for its buffer: this connection only
        return;
    }
    // Its deadline is the loop's to watch; other connections get their turn.
    if (!arm_reading(c)) close_conn(c);
}

void worker_main() {
    bool gave_way = false;
    while (Conn *c = next_work(gave_way)) {
        gave_way = false;
        try {
            gave_way = serve(c);
        } catch (...) {
            close_conn(c); // out of memory for its buffers: this connection only
        }
    }
}

// ---- the loop ---------------------------------------------------------------------------

// Accepting pauses: the listener's connections wait in its backlog.
void pause_accepting(Listener *l, bool for_room) {
    epoll_event ev{};
    ev.data.ptr = static_cast<Pollable *>(l);
    epoll_ctl(rt().epoll_fd, EPOLL_CTL_MOD, l->fd, &ev);
    l->paused = true;
    l->waiting_room = for_room;
    l->resume = Clock::now() + std::chrono::milliseconds(KS_ACCEPT_BACKOFF_MS);
}

// A connection waits in the listener's backlog.
bool connection_pending(const Listener *l) {
    pollfd pfd{l->fd, POLLIN, 0};
    return poll(&pfd, 1, 0) == 1;
}

// Takes at most kAcceptsPerRound connections: the listener stays ready, and the closes that came
// meanwhile are handled before the next ones are taken, so a storm of short connections does not
// pile up open descriptors.
void accept_some(Listener *l) {
    for (int taken = 0; taken < kAcceptsPerRound; ++taken) {
        // A full table: the next connection waits in the backlog while one gives way to it, so
        // nobody gives way before a connection is there.
        if (rt().table.full() && !connection_pending(l)) return;
        const ConnTable::Admit admit = rt().table.admit();
        if (admit == ConnTable::Admit::Wait || admit == ConnTable::Admit::Later) {
            pause_accepting(l, admit == ConnTable::Admit::Wait);
            return;
        }
        sockaddr_storage peer{};
        socklen_t peer_len = sizeof peer;
        int fd = accept4(l->fd, reinterpret_cast<sockaddr *>(&peer), &peer_len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The backlog keeps the connection; try again when descriptors may be free.
                pause_accepting(l, false);
            }
            return;
        }
        // None can give way: the new one is refused.
        if (admit == ConnTable::Admit::Refuse) {
            // Refused at once and plainly: a reset, rather than a connection never answered.
            struct linger lg {
                1, 0
            };
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        RecordReader::Options o;
        o.max_record = rt().limits.max_record;
        o.spool_threshold = KS_SPOOL_THRESHOLD;
        o.spool_dir = rt().spool;
        o.spool_room = rt().limits.spool_room;
        o.read_size = l->recvsz;
        auto *c = new Conn(std::move(o));
        c->fd = fd;
        c->id = next_connection_id.fetch_add(1) + 1;
        c->sendsz = l->sendsz;
        rt().table.add(c, reinterpret_cast<sockaddr *>(&peer), peer_len);
        if (!arm_idle(c)) close_conn(c);
    }
}

struct Loop {
    std::vector<Listener *> listeners;
    std::unordered_set<Conn *> flushing;

    void take_handed_back() {
        std::vector<Conn *> back;
        {
            std::lock_guard<std::mutex> g(rt().queue_mutex);
            back.swap(rt().to_loop);
        }
        for (Conn *c : back) {
            c->state = ConnState::Flushing;
            c->flush_deadline = Clock::now() + std::chrono::milliseconds(rt().limits.send_timeout_ms);
            flushing.insert(c);
            if (!arm(c, rt().epoll_fd, EPOLLOUT)) {
                flushing.erase(c);
                close_conn(c);
            }
        }
    }

    // One flushing connection became writable (or failed).
    void flush(Conn *c, bool exiting) {
        std::uint64_t before = c->sent();
        if (!send_some(c)) {
            flushing.erase(c);
            close_conn(c);
            return;
        }
        if (!c->has_output()) {
            flushing.erase(c);
            c->state = ConnState::Reading;
            if (!exiting) queue_work(c); // calls may already wait in its buffer
            return;
        }
        if (c->sent() > before)
            c->flush_deadline = Clock::now() + std::chrono::milliseconds(rt().limits.send_timeout_ms);
        if (!arm(c, rt().epoll_fd, EPOLLOUT)) {
            flushing.erase(c);
            close_conn(c);
        }
    }

    int timeout_ms(Clock::time_point limit) const {
        Clock::time_point next = limit;
        for (Conn *c : flushing) next = std::min(next, c->flush_deadline);
        {
            std::lock_guard<std::mutex> g(rt().timer_mutex);
            if (!rt().timed.empty()) next = std::min(next, rt().timed.begin()->first);
        }
        for (Listener *l : listeners)
            if (l->paused) next = std::min(next, l->resume);
        // A connection listed after this is due no earlier than the timeout from now.
        const Clock::time_point since = std::min(rt().table.idle_longest_since(), Clock::now());
        next = std::min(next, since + std::chrono::milliseconds(rt().limits.idle_timeout_ms));
        if (next == Clock::time_point::max()) return -1;
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        return int(std::clamp<long long>(ms + 1, 0, 60000));
    }

    void expire() {
        auto now = Clock::now();
        std::vector<Conn *> late;
        for (Conn *c : flushing)
            if (c->flush_deadline <= now) late.push_back(c);
        for (Conn *c : late) {
            flushing.erase(c);
            close_conn(c);
        }
        // Records not complete by their deadline. These connections are armed and the loop
        // alone takes their events, so nobody else holds them.
        late.clear();
        {
            std::lock_guard<std::mutex> g(rt().timer_mutex);
            auto &timed = rt().timed;
            while (!timed.empty() && timed.begin()->first <= now) {
                Conn *c = timed.begin()->second;
                c->timed = false;
                timed.erase(timed.begin());
                late.push_back(c);
            }
        }
        for (Conn *c : late) close_conn(c);
        // Connections idle past the timeout give way, the longest idle first.
        rt().table.expire_idle(now - std::chrono::milliseconds(rt().limits.idle_timeout_ms));
        const bool room = rt().table.going() == 0;
        for (Listener *l : listeners) {
            if (l->paused && (l->resume <= now || (l->waiting_room && room))) {
                l->paused = false;
                l->waiting_room = false;
                epoll_event ev{};
                ev.events = EPOLLIN;
                ev.data.ptr = static_cast<Pollable *>(l);
                epoll_ctl(rt().epoll_fd, EPOLL_CTL_MOD, l->fd, &ev);
            }
        }
    }

    void drain_wake(int wake) {
        std::uint64_t v;
        while (read(wake, &v, sizeof v) > 0) {
        }
    }

    // exiting: only flushing matters; limit bounds the wait.
    bool step(int wake, bool exiting, Clock::time_point limit) {
        epoll_event evs[256];
        int n = epoll_wait(rt().epoll_fd, evs, 256, timeout_ms(limit));
        if (n < 0 && errno != EINTR) return false;
        for (int i = 0; i < n; ++i) {
            auto *p = static_cast<Pollable *>(evs[i].data.ptr);
            if (p == nullptr) {
                drain_wake(wake);
                continue;
            }
            if (p->listener) {
                if (!exiting) accept_some(static_cast<Listener *>(p));
                continue;
            }
            Conn *c = taken(p);
            if (c->state == ConnState::Flushing) {
                flush(c, exiting);
            } else if (!exiting) {
                untime(c);
                // A peer that reset or hung up both ways has nothing left to answer.
                if (evs[i].events & (EPOLLERR | EPOLLHUP))
                    close_conn(c);
                else
                    read_rest(c);
            }
        }
        take_handed_back();
        expire();
        give_back_memory();
        return true;
    }

    // After a crowd of connections, or of large replies, has gone, their memory goes back to
    // the system.
    std::size_t crowd = 0;
    void give_back_memory() {
        std::size_t open = rt().table.open();
        crowd = std::max(crowd, open);
        bool trim = crowd >= kCrowd && open <= crowd / 4;
        if (rt().trim_wanted.exchange(false)) {
            trim = true;
            rt().large_replies.store(0);
        }
        if (trim) {
            malloc_trim(0);
            crowd = open;
        }
    }
};

// The temporary directory, as the programs that link the runtime choose theirs.
std::string spool_dir() {
    for (const char *var : {"TMP", "TMPDIR", "TEMP"}) {
        const char *v = std::getenv(var);
        if (v != nullptr && *v != '\0' && access(v, W_OK) == 0) return v;
    }
    return "/tmp";
}

std::size_t limit_from_env(const char *name, std::size_t fallback) {
    const char *v = std::getenv(name);
    if (v == nullptr || *v < '0' || *v > '9') return fallback;
    errno = 0;
    char *end = nullptr;
    unsigned long long n = std::strtoull(v, &end, 10);
    if (errno != 0 || *end != '\0' || n == 0 || n > (1ull << 40)) return fallback;
    return std::size_t(n);
}

Limits read_limits() {
    Limits l;
    l.send_timeout_ms = long(limit_from_env("KS_SEND_TIMEOUT_MS", KS_SEND_TIMEOUT_MS));
    l.record_timeout_ms = long(limit_from_env("KS_RECORD_TIMEOUT_MS", KS_RECORD_TIMEOUT_MS));
    l.first_record_timeout_ms = long(limit_from_env("KS_FIRST_RECORD_TIMEOUT_MS", KS_FIRST_RECORD_TIMEOUT_MS));
    l.max_call_bytes = limit_from_env("KS_MAX_CALL_BYTES", KS_MAX_CALL_BYTES);
    l.max_reply_queue = limit_from_env("KS_MAX_REPLY_QUEUE", KS_MAX_REPLY_QUEUE);
    l.max_reply_bytes = limit_from_env("KS_MAX_REPLY_BYTES", KS_MAX_REPLY_BYTES);
    l.max_connections = limit_from_env("KS_MAX_CONNECTIONS", KS_MAX_CONNECTIONS);
    l.idle_timeout_ms = long(limit_from_env("KS_IDLE_TIMEOUT_MS", KS_IDLE_TIMEOUT_MS));
    l.max_spool_bytes = limit_from_env("KS_MAX_SPOOL_BYTES", KS_MAX_SPOOL_BYTES);
    // Offsets within a record are 32-bit in XDR streams.
    l.max_record = std::min<std::uint64_t>(limit_from_env("KS_MAX_RECORD_SIZE", KS_MAX_RECORD_SIZE), 0xffffffffu);
    // Tests make the spool's file system full without filling one: 0 fails the first write.
    if (const char *v = std::getenv("KS_TEST_SPOOL_FULL_AT"); v != nullptr && *v >= '0' && *v <= '9') {
        char *end = nullptr;
        unsigned long long n = std::strtoull(v, &end, 10);
        if (*end == '\0') l.spool_room = n;
    }
    // Each connection takes a descriptor; half stay for everything else the process opens.
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        l.max_connections = std::max<std::size_t>(1, std::min<std::size_t>(l.max_connections, rl.rlim_cur / 2));
    return l;
}

int default_workers() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? int(std::min<long>(n, KS_MAX_WORKER_THREADS)) : 1;
}

bool valid_socket_for_listen(int sock) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&ss), &len) != 0) return false;
    if (ss.ss_family != AF_INET && ss.ss_family != AF_INET6) {
        errno = EAFNOSUPPORT;
        return false;
    }
    in_port_t port = ss.ss_family == AF_INET ? reinterpret_cast<sockaddr_in *>(&ss)->sin_port
                                             : reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port;
    if (port != 0) return true;
    // Not bound yet: any free port of its family.
    if (ss.ss_family == AF_INET6) {
        int one = 1;
        setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_any;
        return bind(sock, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    return bind(sock, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
}

void add_listener_to_epoll(Listener *l) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = static_cast<Pollable *>(l);
    epoll_ctl(rt().epoll_fd, EPOLL_CTL_ADD, l->fd, &ev);
}

} // namespace
} // namespace ksrpc

using namespace ksrpc;

extern "C" {

bool_t ks_rpc_control(int request, void *info) {
    if (info == nullptr && request != KS_RPC_SVC_SPOOL_OWNERS) return FALSE;
    switch (request) {
    case KS_RPC_SVC_MTMODE:
        *static_cast<int *>(info) = 1;
        return TRUE;
    case KS_RPC_SVC_THREADS_SET: {
        int n = *static_cast<int *>(info);
        if (n < 1 || n > KS_MAX_WORKER_THREADS) return FALSE;
        std::lock_guard<std::mutex> g(rt().setup_mutex);
        rt().worker_threads = n;
        return TRUE;
    }
    case KS_RPC_SVC_SPOOL_OWNERS: {
        const auto *owners = static_cast<const ks_spool_owners *>(info);
        if (owners != nullptr && (owners->admit == nullptr || owners->charge == nullptr || owners->release == nullptr))
            return FALSE;
        rt().spool_owners.store(owners);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

KS_SVCXPRT *ks_svctcp_create(int sock, u_int sendsz, u_int recvsz) {
    int type = 0;
    socklen_t tl = sizeof type;
    if (sock < 0 || getsockopt(sock, SOL_SOCKET, SO_TYPE, &type, &tl) != 0) return nullptr;
    if (type != SOCK_STREAM) {
        errno = EPROTOTYPE;
        return nullptr;
    }
    if (!valid_socket_for_listen(sock) || listen(sock, SOMAXCONN) != 0) return nullptr;
    int fd = fcntl(sock, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    int fl = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, fl | O_NONBLOCK);
    auto *l = new Listener;
    l->fd = fd;
    l->sendsz = sendsz == 0 ? KS_REPLY_BUFFER_SIZE : std::max<u_int>(sendsz, 512);
    l->recvsz = recvsz == 0 ? kDefaultBufferSize : std::max<u_int>(recvsz, 512);
    std::lock_guard<std::mutex> g(rt().setup_mutex);
    rt().listeners.push_back(l);
    rt().listeners_changed.store(true);
    if (rt().running && rt().epoll_fd >= 0) add_listener_to_epoll(l);
    return l;
}

bool_t ks_svc_destroy(KS_SVCXPRT *xprt) {
    std::lock_guard<std::mutex> g(rt().setup_mutex);
    // The loop may hold a pointer to a listener it serves: only idle transports are released.
    if (xprt == nullptr || rt().running) return FALSE;
    auto &ls = rt().listeners;
    auto it = std::find(ls.begin(), ls.end(), static_cast<Listener *>(xprt));
    if (it == ls.end()) return FALSE;
    Listener *l = *it;
    ls.erase(it);
    rt().listeners_changed.store(true);
    close(l->fd);
    delete l;
    return TRUE;
}

bool_t ks_svc_register(KS_SVCXPRT *xprt, rpcprog_t prog, rpcvers_t vers, ks_dispatch_t dispatch, int protocol) {
    if (xprt == nullptr || dispatch == nullptr || protocol != 0) return FALSE;
    std::unique_lock<std::shared_mutex> g(rt().callout_mutex);
    for (const Callout &co : rt().callouts) {
        if (co.prog == prog && co.vers == vers) return co.dispatch == dispatch ? TRUE : FALSE;
    }
    rt().callouts.push_back({prog, vers, dispatch});
    return TRUE;
}

void ks_svc_exit(void) {
    rt().exit_requested.store(true);
    wake_loop();
}

void ks_svc_run(void) {
    Runtime &r = rt();
    Loop loop;
    int workers = 0;
    {
        std::lock_guard<std::mutex> g(r.setup_mutex);
        if (r.running) return;
        r.running = true;
        r.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
        r.work_epoll_fd = epoll_create1(EPOLL_CLOEXEC);
        r.queue_fd = eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC); // readable for good
        if (r.queue_fd >= 0 && r.work_epoll_fd >= 0) {
            epoll_event ev{}; // no events until work is queued
            ev.data.ptr = nullptr;
            epoll_ctl(r.work_epoll_fd, EPOLL_CTL_ADD, r.queue_fd, &ev);
        }
        // The wake descriptor lives as long as the process: ks_svc_exit writes to it without a
        // lock (it may run in a signal handler), so closing it could let that write reach
        // whatever file reused the number.
        int wake = r.wake_fd.load();
        if (wake < 0) {
            wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            r.wake_fd.store(wake);
        }
        if (r.epoll_fd >= 0 && wake >= 0) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.ptr = nullptr;
            epoll_ctl(r.epoll_fd, EPOLL_CTL_ADD, wake, &ev);
        }
        for (Listener *l : r.listeners) add_listener_to_epoll(l);
        workers = r.worker_threads > 0 ? r.worker_threads : default_workers();
        r.limits = read_limits();
        r.table.set_limit(r.limits.max_connections);
        r.spool = spool_dir();
        // Large blocks get mappings of their own, which go back when freed. Left to itself, glibc
        // raises its threshold to the largest block freed, so the blocks that large replies are
        // made from land on the tops of the workers' arenas, which no trim returns.
        mallopt(M_MMAP_THRESHOLD, int(ByteBuffer::kMapped));
        mallopt(M_TRIM_THRESHOLD, int(ByteBuffer::kMapped));
        r.listeners_changed.store(true);
        r.stop_workers = false;
        r.queue_armed = false;
        r.exiting.store(false);
    }
    int wake = r.wake_fd.load();
    std::vector<std::thread> pool;
    if (r.epoll_fd >= 0 && r.work_epoll_fd >= 0 && r.queue_fd >= 0 && wake >= 0) {
        for (int i = 0; i < workers; ++i) {
            try {
                pool.emplace_back(worker_main);
            } catch (...) {
                break; // serve with the threads there are
            }
        }
    }
    if (!pool.empty()) {
        while (!r.exit_requested.load()) {
            if (r.listeners_changed.exchange(false)) {
                std::lock_guard<std::mutex> g(r.setup_mutex);
                loop.listeners = r.listeners;
            }
            if (!loop.step(wake, false, Clock::time_point::max())) break;
        }
    }

    // Stop taking calls, let the calls in flight finish, then let their replies leave.
    r.exiting.store(true);
    {
        std::lock_guard<std::mutex> g(r.setup_mutex);
        for (Listener *l : r.listeners) {
            close(l->fd);
            delete l;
        }
        r.listeners.clear();
        loop.listeners.clear();
    }
    {
        // The queue's signal, left level-triggered, wakes every worker, waiting or lingering.
        std::lock_guard<std::mutex> g(r.queue_mutex);
        r.stop_workers = true;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = nullptr;
        epoll_ctl(r.work_epoll_fd, EPOLL_CTL_MOD, r.queue_fd, &ev);
    }
    for (std::thread &t : pool) t.join();
    loop.take_handed_back();
    auto limit = Clock::now() + std::chrono::milliseconds(KS_EXIT_DRAIN_MS);
    while (!loop.flushing.empty() && Clock::now() < limit) {
        if (!loop.step(wake, true, limit)) break;
    }

    {
        std::lock_guard<std::mutex> g(r.timer_mutex);
        r.timed.clear();
    }
    for (ConnTable::Entry *e : r.table.entries()) close_conn(static_cast<Conn *>(e));
    {
        std::lock_guard<std::mutex> g(r.queue_mutex);
        r.work.clear();
        r.to_loop.clear();
    }
    {
        std::unique_lock<std::shared_mutex> g(r.callout_mutex);
        r.callouts.clear();
    }
    std::lock_guard<std::mutex> g(r.setup_mutex);
    if (r.epoll_fd >= 0) close(r.epoll_fd);
    r.epoll_fd = -1;
    if (r.work_epoll_fd >= 0) close(r.work_epoll_fd);
    r.work_epoll_fd = -1;
    if (r.queue_fd >= 0) close(r.queue_fd);
    r.queue_fd = -1;
    r.exit_requested.store(false);
    r.running = false;
}

bool_t ks_svc_getargs(KS_SVCXPRT *xprt, xdrproc_t xdr_args, void *args) {
    CallXprt *cx = as_call(xprt);
    if (cx == nullptr || cx->args == nullptr || xdr_args == nullptr) return FALSE;
    try {
        return xdr_args(cx->args, args) ? TRUE : FALSE;
    } catch (...) {
        // A C interface: the caller answers FALSE as undecodable arguments. Routines that keep
        // their own failure for the reply catch it themselves before it gets here.
        return FALSE;
    }
}

int ks_svc_args_cut(XDR *xdrs) {
    int cut = 0;
    // Other streams (libtirpc's own) answer FALSE to a request they do not know.
    if (xdrs == nullptr || xdrs->x_op != XDR_DECODE || xdrs->x_ops == nullptr || xdrs->x_ops->x_control == nullptr ||
        !xdrs->x_ops->x_control(xdrs, kArgsCutRequest, &cut))
        return 0;
    return cut;
}

void *ks_svc_args_owner(XDR *xdrs) {
    void *owner = nullptr;
    if (xdrs == nullptr || xdrs->x_op != XDR_DECODE || xdrs->x_ops == nullptr || xdrs->x_ops->x_control == nullptr ||
        !xdrs->x_ops->x_control(xdrs, kArgsOwnerRequest, &owner))
        return nullptr;
    return owner;
}

long ks_svc_args_to_fd(XDR *xdrs, int fd, u_int len) {
    ArgsToFd a{fd, len, 0, 0};
    if (xdrs == nullptr || xdrs->x_op != XDR_DECODE || xdrs->x_ops == nullptr || xdrs->x_ops->x_control == nullptr ||
        !xdrs->x_ops->x_control(xdrs, kArgsToFdRequest, &a))
        return -1;
    if (a.written < len) errno = a.error;
    return long(a.written);
}

long ks_svc_reply_from_fd(XDR *xdrs, int fd, u_int len) {
    ReplyFromFd a{fd, len, 0, 0};
    if (xdrs == nullptr || xdrs->x_op != XDR_ENCODE || xdrs->x_ops == nullptr || xdrs->x_ops->x_control == nullptr ||
        !xdrs->x_ops->x_control(xdrs, kReplyFromFdRequest, &a))
        return -1;
    if (a.written < len) errno = a.error;
    return long(a.written);
}

bool_t ks_svc_sendreply(KS_SVCXPRT *xprt, xdrproc_t xdr_results, void *results) {
    CallXprt *cx = as_call(xprt);
    if (cx == nullptr || xdr_results == nullptr) return FALSE;
    return send_accepted(cx, SUCCESS, xdr_results, results) ? TRUE : FALSE;
}

void ks_svcerr_noproc(KS_SVCXPRT *xprt) {
    if (CallXprt *cx = as_call(xprt)) send_accepted(cx, PROC_UNAVAIL);
}

void ks_svcerr_decode(KS_SVCXPRT *xprt) {
    if (CallXprt *cx = as_call(xprt)) send_accepted(cx, GARBAGE_ARGS);
}

void ks_svcerr_systemerr(KS_SVCXPRT *xprt) {
    if (CallXprt *cx = as_call(xprt)) send_accepted(cx, SYSTEM_ERR);
}

void ks_svcerr_weakauth(KS_SVCXPRT *xprt) {
    if (CallXprt *cx = as_call(xprt)) send_denied(cx, AUTH_ERROR, AUTH_TOOWEAK);
}

bool_t ks_svc_getcaller(KS_SVCXPRT *xprt, struct sockaddr *addr, socklen_t *len) {
    CallXprt *cx = as_call(xprt);
    if (cx == nullptr || cx->conn == nullptr || addr == nullptr || len == nullptr) return FALSE;
    return getpeername(cx->conn->fd, addr, len) == 0 ? TRUE : FALSE;
}

unsigned long long ks_svc_connid(KS_SVCXPRT *xprt) {
    CallXprt *cx = as_call(xprt);
    return cx == nullptr || cx->conn == nullptr ? 0 : cx->conn->id;
}

int ks_thr_keycreate(ks_thread_key_t *key, void (*destructor)(void *)) {
    if (key == nullptr) return EINVAL;
    return pthread_key_create(key, destructor);
}

int ks_thr_setspecific(ks_thread_key_t key, void *value) { return pthread_setspecific(key, value); }

int ks_thr_getspecific(ks_thread_key_t key, void **value) {
    if (value == nullptr) return EINVAL;
    *value = pthread_getspecific(key);
    return 0;
}

} // extern "C"
