#include "conn_table.h"

#include <algorithm>
#include <cstring>

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ksrpc {
namespace {

// Fresh connections looked at for one that is not receiving its first call right now.
constexpr int kFreshLooks = 8;

// Bytes of the peer's next call wait in the socket: it is no longer idle.
bool call_arriving(int fd) {
    int queued = 0;
    return ioctl(fd, FIONREAD, &queued) == 0 && queued > 0;
}

} // namespace

HostKey host_key(const sockaddr *addr, socklen_t len) {
    HostKey k;
    if (addr == nullptr) return k;
    if (addr->sa_family == AF_INET && len >= socklen_t(sizeof(sockaddr_in))) {
        k.bytes[0] = 4;
        std::memcpy(&k.bytes[1], &reinterpret_cast<const sockaddr_in *>(addr)->sin_addr, 4);
    } else if (addr->sa_family == AF_INET6 && len >= socklen_t(sizeof(sockaddr_in6))) {
        const in6_addr &a = reinterpret_cast<const sockaddr_in6 *>(addr)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a)) {
            k.bytes[0] = 4;
            std::memcpy(&k.bytes[1], &a.s6_addr[12], 4);
        } else {
            k.bytes[0] = 6;
            // One host holds a whole /64; the loopback address is a host of its own.
            std::memcpy(&k.bytes[1], a.s6_addr, IN6_IS_ADDR_LOOPBACK(&a) ? 16 : 8);
        }
    }
    return k;
}

std::size_t ConnTable::HostHash::operator()(const HostKey &k) const {
    std::size_t h = 1469598103934665603ull;
    for (unsigned char b : k.bytes) h = (h ^ b) * 1099511628211ull;
    return h;
}

bool ConnTable::RankOrder::operator()(const Rank &a, const Rank &b) const {
    if (a.count != b.count) return a.count > b.count;
    if (a.oldest != b.oldest) return a.oldest < b.oldest;
    return std::less<Host *>()(a.host, b.host);
}

template <ConnTable::Entry *ConnTable::Entry::*Prev, ConnTable::Entry *ConnTable::Entry::*Next>
void ConnTable::Chain<Prev, Next>::push_back(Entry *e) {
    e->*Prev = last;
    e->*Next = nullptr;
    (last != nullptr ? last->*Next : first) = e;
    last = e;
}

template <ConnTable::Entry *ConnTable::Entry::*Prev, ConnTable::Entry *ConnTable::Entry::*Next>
void ConnTable::Chain<Prev, Next>::erase(Entry *e) {
    (e->*Prev != nullptr ? (e->*Prev)->*Next : first) = e->*Next;
    (e->*Next != nullptr ? (e->*Next)->*Prev : last) = e->*Prev;
    e->*Prev = e->*Next = nullptr;
}

ConnTable::ConnTable() = default;
ConnTable::~ConnTable() = default;

void ConnTable::set_limit(std::size_t max_connections) {
    std::lock_guard<std::mutex> g(mu_);
    limit_ = std::max<std::size_t>(1, max_connections);
}

// After a host's count or its idle longest changed (under mu_).
void ConnTable::rerank(Host *h) {
    if (h->ranked) {
        h->spare = ranked_.extract(h->at);
        h->ranked = false;
    }
    if (h->idle.first == nullptr) return;
    h->spare.value() = Rank{h->count, h->idle.first->idle_since, h};
    h->at = ranked_.insert(std::move(h->spare)).position;
    h->ranked = true;
}

// No longer between calls (under mu_).
void ConnTable::unlist(Entry *e) {
    if (!e->listed.load(std::memory_order_relaxed)) return;
    idle_.erase(e);
    if (e->on_host_list) {
        Host *h = e->host;
        const bool was_first = h->idle.first == e;
        h->idle.erase(e);
        e->on_host_list = false;
        if (was_first) rerank(h);
    }
    e->listed.store(false, std::memory_order_release);
}

void ConnTable::unfresh(Entry *e) {
    if (!e->fresh) return;
    fresh_.erase(e);
    e->fresh = false;
}

// Its owner, woken by the end of its stream, closes it (under mu_, so the descriptor is open).
void ConnTable::give_way(Entry *e) {
    if (!e->giving_way) {
        e->giving_way = true;
        going_.fetch_add(1);
        shutdown(e->fd, SHUT_RDWR);
    }
    unlist(e);
    unfresh(e);
}

// The fresh connection open longest, passing over a few whose first call is arriving now (bytes
// the workers have not read yet). When those are all it looks at: the first of them if `anyway`.
ConnTable::Entry *ConnTable::pick_fresh(bool anyway) {
    Entry *e = fresh_.first;
    for (int looks = 0; e != nullptr && looks < kFreshLooks; ++looks, e = e->fresh_next)
        if (!call_arriving(e->fd)) return e;
    return anyway ? fresh_.first : nullptr;
}

// The connection idle longest of the host that holds the most, among those between calls.
ConnTable::Entry *ConnTable::pick_served() {
    while (!ranked_.empty()) {
        Entry *e = ranked_.begin()->host->idle.first;
        if (!call_arriving(e->fd)) return e;
        unlist(e); // its worker takes it
    }
    return nullptr;
}

bool ConnTable::make_room() {
    Entry *e = pick_fresh(true);
    if (e == nullptr) e = pick_served();
    if (e == nullptr) return false;
    give_way(e);
    return true;
}

ConnTable::Admit ConnTable::admit() {
    std::lock_guard<std::mutex> g(mu_);
    const std::size_t live = open_.load() - going_.load();
    if (live < limit_) return Admit::Take;
    if (going_.load() > 0) return Admit::Wait; // open connections pass the limit by one at most
    if (Entry *e = pick_fresh(false)) {
        give_way(e);
        return Admit::Wait;
    }
    if (fresh_.first != nullptr) return Admit::Later; // the workers are behind, not the peers
    // On trial: room is made once its first call has arrived.
    if (live == limit_ && pick_served() != nullptr) return Admit::Take;
    return Admit::Refuse;
}

void ConnTable::add(Entry *e, const sockaddr *peer, socklen_t len) {
    const HostKey key = host_key(peer, len);
    std::lock_guard<std::mutex> g(mu_);
    auto [it, made] = hosts_.try_emplace(key);
    Host *h = &it->second;
    if (made) {
        h->key = key;
        RankSet blank;
        blank.insert(Rank{0, Clock::time_point(), h});
        h->spare = blank.extract(blank.begin());
    }
    ++h->count;
    if (h->ranked) rerank(h);
    e->host = h;
    e->fresh = true;
    fresh_.push_back(e);
    all_.insert(e);
    open_.fetch_add(1);
}

bool ConnTable::remove(Entry *e) {
    std::lock_guard<std::mutex> g(mu_);
    unlist(e);
    unfresh(e);
    // Closed under the lock, so that no shutdown here reaches a number the system has handed out again.
    close(e->fd);
    all_.erase(e);
    Host *h = e->host;
    if (--h->count == 0) {
        if (h->ranked) ranked_.erase(h->at);
        hosts_.erase(h->key);
    } else if (h->ranked) {
        rerank(h);
    }
    e->host = nullptr;
    // Counted out only once its descriptor is gone, so the count never falls below what is open.
    open_.fetch_sub(1);
    return e->giving_way && going_.fetch_sub(1) == 1;
}

bool ConnTable::first_record(Entry *e) {
    std::lock_guard<std::mutex> g(mu_);
    if (e->giving_way) return false;
    unfresh(e);
    if (open_.load() - going_.load() <= limit_) return true;
    if (make_room()) return true;
    give_way(e); // on trial, and nobody is between calls: it is refused after all
    return false;
}

void ConnTable::set_idle(Entry *e) {
    std::lock_guard<std::mutex> g(mu_);
    if (e->giving_way) return; // its owner is about to see the end of its stream
    e->idle_since = Clock::now();
    idle_.push_back(e);
    if (!e->fresh) {
        Host *h = e->host;
        h->idle.push_back(e);
        e->on_host_list = true;
        if (h->idle.first == e) rerank(h);
    }
    e->listed.store(true, std::memory_order_relaxed);
}

void ConnTable::set_busy(Entry *e) {
    if (!e->listed.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> g(mu_);
    unlist(e);
}

void ConnTable::expire_idle(Clock::time_point cutoff) {
    std::lock_guard<std::mutex> g(mu_);
    while (idle_.first != nullptr && idle_.first->idle_since <= cutoff) {
        Entry *e = idle_.first;
        if (call_arriving(e->fd))
            unlist(e);
        else
            give_way(e);
    }
}

ConnTable::Clock::time_point ConnTable::idle_longest_since() {
    std::lock_guard<std::mutex> g(mu_);
    return idle_.first != nullptr ? idle_.first->idle_since : Clock::time_point::max();
}

bool ConnTable::giving_way(const Entry *e) {
    std::lock_guard<std::mutex> g(mu_);
    return e->giving_way;
}

std::vector<ConnTable::Entry *> ConnTable::entries() {
    std::lock_guard<std::mutex> g(mu_);
    return std::vector<Entry *>(all_.begin(), all_.end());
}

} // namespace ksrpc
