// The open connections, by host, and which of them gives way when all are open.
//
// A connection that has never completed a call (nothing sent yet, or its first record still
// arriving) is fresh. When the table is full, a fresh one gives way first, the one open longest
// first. Only when none is fresh does a connection between calls give way: the one idle longest of
// the host that holds the most connections. A new connection takes that room only once its first
// call has arrived whole (until then it is on trial, one past the limit, and the next new one
// takes its place), so a host's silent connections never cut another host's served ones.
//
// The table has one lock; choosing, listing and unlisting are O(1) or O(log hosts) and allocate
// nothing (a host's place in the ranking is kept as a node of its own). The table never closes a
// connection whose owner may be using it: it shuts it down, and the owner, woken by the end of
// its stream, closes it through remove().
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <sys/socket.h>

namespace ksrpc {

// A peer host as connections are counted: an IPv4 address (IPv4-mapped ones too), an IPv6
// address by its /64, and each loopback address as a host of its own (so that tests and local
// proxies can stand for many hosts).
struct HostKey {
    std::array<unsigned char, 17> bytes{}; // the family's tag, then the address as counted
    bool operator==(const HostKey &) const = default;
};
HostKey host_key(const sockaddr *addr, socklen_t len);

class ConnTable {
    struct Host;

public:
    using Clock = std::chrono::steady_clock;

    // What the table keeps of a connection; the connection derives from it.
    class Entry {
    public:
        int fd = -1;

    private:
        friend class ConnTable;
        Host *host = nullptr;
        Entry *fresh_prev = nullptr, *fresh_next = nullptr; // open longest first
        Entry *idle_prev = nullptr, *idle_next = nullptr;   // all between calls, idle longest first
        Entry *host_prev = nullptr, *host_next = nullptr;   // its host's served ones between calls
        Clock::time_point idle_since;
        bool fresh = false;
        bool on_host_list = false;
        bool giving_way = false;
        std::atomic<bool> listed{false}; // between calls; set under the lock, read without it first
    };

    enum class Admit {
        Take,   // accept the next connection
        Wait,   // a connection is giving way: accept once it has gone
        Later,  // the fresh ones' first calls wait to be read: accept a little later
        Refuse, // none can give way: accept and reset it
    };

    ConnTable();
    ~ConnTable();
    ConnTable(const ConnTable &) = delete;
    ConnTable &operator=(const ConnTable &) = delete;

    void set_limit(std::size_t max_connections); // before the first admit
    // By the accepting thread, before it accepts. On Wait, a fresh connection may have been made
    // to give way.
    Admit admit();
    // A connection accepted (its fd set): counted, fresh, under its peer's host.
    void add(Entry *e, const sockaddr *peer, socklen_t len);
    // Out of the table, its descriptor closed. True when it was the last one giving way: room.
    bool remove(Entry *e);
    // Its owner has its first call record whole: it is served from now on. A connection on trial
    // makes room now. False when it is to close instead: it gives way, or it is on trial and
    // none can give way.
    bool first_record(Entry *e);
    // By its owner: between calls (it may give way, or time out), or no longer.
    void set_idle(Entry *e);
    void set_busy(Entry *e);
    // Connections between calls since `cutoff` or earlier give way.
    void expire_idle(Clock::time_point cutoff);
    // When the connection idle longest went idle (Clock::time_point::max() when none is).
    Clock::time_point idle_longest_since();

    // As many are open as may be, not counting those giving way.
    bool full() const { return open_.load() - going_.load() >= limit_.load(); }
    std::size_t open() const { return open_.load(); }
    std::size_t going() const { return going_.load(); } // given way, not yet removed
    bool giving_way(const Entry *e);
    std::vector<Entry *> entries(); // all of them, for the end of a run

private:
    // A list threaded through its entries.
    template <Entry *Entry::*Prev, Entry *Entry::*Next>
    struct Chain {
        Entry *first = nullptr, *last = nullptr;
        void push_back(Entry *e);
        void erase(Entry *e);
    };
    using FreshChain = Chain<&Entry::fresh_prev, &Entry::fresh_next>;
    using IdleChain = Chain<&Entry::idle_prev, &Entry::idle_next>;
    using HostChain = Chain<&Entry::host_prev, &Entry::host_next>;

    struct HostHash {
        std::size_t operator()(const HostKey &k) const;
    };
    struct Rank {
        std::size_t count;
        Clock::time_point oldest;
        Host *host;
    };
    struct RankOrder {
        bool operator()(const Rank &a, const Rank &b) const;
    };
    using RankSet = std::set<Rank, RankOrder>;
    struct Host {
        HostKey key;
        std::size_t count = 0;
        HostChain idle;           // its served connections between calls, idle longest first
        RankSet::node_type spare; // its rank while unranked, so ranking allocates nothing
        RankSet::iterator at;
        bool ranked = false;
    };

    void rerank(Host *h);
    void unlist(Entry *e);
    void unfresh(Entry *e);
    void give_way(Entry *e);
    Entry *pick_fresh(bool anyway);
    Entry *pick_served();
    bool make_room();

    std::mutex mu_;
    std::atomic<std::size_t> limit_{SIZE_MAX};
    std::atomic<std::size_t> open_{0};
    std::atomic<std::size_t> going_{0};
    FreshChain fresh_;
    IdleChain idle_;
    std::unordered_map<HostKey, Host, HostHash> hosts_;
    RankSet ranked_; // hosts with a served connection between calls, the one holding most first
    std::unordered_set<Entry *> all_;
};

} // namespace ksrpc
