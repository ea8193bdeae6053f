#include "wire/handles.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>

#include <malloc.h>

#include "tesutil/critsec.h"
#include "tesutil/ustring.h"
#include "wire/call_scope.h"
#include "wire/catalog.h"
#include "wire/environment.h"
#include "wire/exceptions.h"
#include "wire/ledger.h"
#include "wire/product_failure.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

using Clock = std::chrono::steady_clock;
using Key = Nul::Oid;

struct Entry {
    StateItemPtr item;
    Key owner; // the session it belongs to; nil: none
};

// What the registry keeps of a session: the items that end with it (itself among them once it
// is registered), when a call last named it, the connections it was used on (the runtime's ids)
// and, for a login session, whose it is.
struct Session {
    std::set<Key> items;
    Clock::time_point used;
    std::deque<std::uint64_t> connections; // the latest first
    bool login = false;
    std::string user; // a login's database set and name; "": counted only in the process's bound
};

constexpr std::size_t max_session_connections = 16;
constexpr int sweep_most = 32;                        // sessions one registry access ends at most
constexpr auto sweep_every = std::chrono::seconds(1); // unless the last sweep left some due
constexpr auto touch_every = std::chrono::seconds(1); // the idle clock's resolution
constexpr long default_idle_seconds = 4 * 60 * 60;
constexpr int trim_after = 256; // sessions ended before their memory is given back to the system
constexpr long default_sessions_per_user = 64;
constexpr long default_sessions_max = 4096;
constexpr long default_session_items = 1024;

struct Registry {
    Nul::CriticalSectionLock lock;
    std::map<Key, Entry> items;
    std::map<Key, Session> sessions;
    std::set<std::pair<Clock::time_point, Key>> by_use; // sessions, least recently named first
    Clock::time_point next_sweep;
    int ended_since_trim = 0;
    long logins = 0;                      // login sessions registered
    std::map<std::string, long> per_user; // of them, by user
};

// Never destroyed: no product call may run from a static destructor.
Registry &registry() {
    static Registry *r = new Registry;
    return *r;
}

std::atomic<long> &idle_seconds() {
    static std::atomic<long> seconds{positive_from_environment("KX_SESSION_IDLE_SECONDS", default_idle_seconds)};
    return seconds;
}

std::atomic<long> &sessions_per_user_bound() {
    static std::atomic<long> bound{positive_from_environment("KX_SESSIONS_PER_USER", default_sessions_per_user)};
    return bound;
}

std::atomic<long> &sessions_max_bound() {
    static std::atomic<long> bound{positive_from_environment("KX_SESSIONS_MAX", default_sessions_max)};
    return bound;
}

std::atomic<long> &session_items_bound() {
    static std::atomic<long> bound{positive_from_environment("KX_SESSION_ITEMS", default_session_items)};
    return bound;
}

using Words = std::array<std::uint32_t, 4>;

Words oid_words(Nul::Oid const &oid) {
    auto const &b = oid.bits();
    return {b.words[0], b.words[1], b.words[2], b.words[3]};
}

Nul::Oid oid_from_words(Words const &w) {
    struct Nul::Oid::bits b {};
    for (int i = 0; i < 4; ++i) b.words[i] = w[i];
    return Nul::Oid(b);
}

Nul::UString item_line(char const *what, Key const &key) {
    return Nul::UString(Nul::Utf8String(std::string(what) + ": (item:")) + key.dense_str() + Nul::UString(L")");
}

Session &session_entry(Registry &r, Key const &key, Clock::time_point now) {
    auto [it, made] = r.sessions.try_emplace(key);
    if (made) {
        it->second.used = now;
        r.by_use.emplace(now, key);
    }
    return it->second;
}

// Unregisters the session's items and then the session; they are destroyed by the caller, in
// that order, outside the lock.
void end_session(Registry &r, std::map<Key, Session>::iterator s, std::vector<StateItemPtr> &released) {
    StateItemPtr itself;
    for (Key const &key : s->second.items) {
        auto it = r.items.find(key);
        if (it == r.items.end()) continue;
        if (key == s->first) {
            itself = std::move(it->second.item); // traced by whoever ends it
        } else {
            trace_lazy(1, [&] { return item_line("remove_pointer_entry", key); });
            released.push_back(std::move(it->second.item));
        }
        r.items.erase(it);
    }
    if (itself) released.push_back(std::move(itself));
    if (s->second.login) {
        ledger_close(s->first);
        --r.logins;
        auto u = r.per_user.find(s->second.user);
        if (u != r.per_user.end() && --u->second == 0) r.per_user.erase(u);
    }
    r.by_use.erase({s->second.used, s->first});
    r.sessions.erase(s);
}

void unregister(Registry &r, std::map<Key, Entry>::iterator it, std::vector<StateItemPtr> &released) {
    Key const key = it->first, owner = it->second.owner;
    auto s = owner.is_nil() ? r.sessions.end() : r.sessions.find(owner);
    if (s != r.sessions.end() && owner == key) {
        end_session(r, s, released);
        return;
    }
    released.push_back(std::move(it->second.item));
    r.items.erase(it);
    if (s != r.sessions.end()) s->second.items.erase(key);
}

int sweep(Registry &r, Clock::time_point now, int most, std::vector<StateItemPtr> &released) {
    auto const limit = std::chrono::seconds(idle_seconds().load());
    int ended = 0;
    while (!r.by_use.empty() && ended < most && r.by_use.begin()->first + limit <= now) {
        Key const key = r.by_use.begin()->second;
        trace_lazy(1, [&] { return item_line("remove_pointer_entry", key); });
        end_session(r, r.sessions.find(key), released);
        ++ended;
    }
    return ended;
}

// A session's last use moves on at most once a second: most calls leave the index alone.
void touch(Registry &r, Key const &key, Clock::time_point now) {
    auto s = r.sessions.find(key);
    if (s == r.sessions.end() || now - s->second.used < touch_every) return;
    r.by_use.erase({s->second.used, key});
    s->second.used = now;
    r.by_use.emplace(now, key);
}

// The items go here, outside the lock: their destructors may call the product for a while.
void release(std::vector<StateItemPtr> &released) {
    for (auto &item : released) item.reset();
}

Key owner_for(CallState const &call, StateItem const &item, Key const &own) {
    if (item.is_login_session()) return own;
    if (call.session != nullptr) return call.session_key;
    // Made in a served call without a session: it answers nobody, and ends as an idle session.
    if (call.served) return own;
    return Key();
}

void add_connection(Session &s, std::uint64_t connection) {
    if (connection == 0 || (!s.connections.empty() && s.connections.front() == connection)) return;
    auto it = std::find(s.connections.begin(), s.connections.end(), connection);
    if (it != s.connections.end()) s.connections.erase(it);
    s.connections.push_front(connection);
    if (s.connections.size() > max_session_connections) s.connections.pop_back();
}

} // namespace

StateItem::~StateItem() = default;

Nul::Oid StateItem::oid() const {
    Nul::CriticalSection guard(registry().lock);
    return oid_;
}

void StateItem::set_oid(Nul::Oid const &oid) {
    Nul::CriticalSection guard(registry().lock);
    oid_ = oid;
}

void StateItem::hold_bytes(std::uint64_t bytes) {
    std::lock_guard<std::mutex> guard(held_mu_);
    if (held_.bytes() == 0)
        held_ = Charge(Holding::memory, this_call().session_key, bytes);
    else
        held_.resize(bytes);
}

std::uint64_t StateItem::held_bytes() const {
    std::lock_guard<std::mutex> guard(held_mu_);
    return held_.bytes();
}

void set_call_session(StateItem *session) {
    CallState &call = this_call();
    call.session = session;
    call.session_key = session ? session->oid() : Key();
    // The items a call registered for its session, so that a call refused at the session's item
    // bound takes back what it made before: none of them was handed out.
    call.made.clear();
}

void clear_call_session(StateItem const *session) {
    if (this_call().session == session) set_call_session(nullptr);
}

namespace {

// Registers the item; the caller holds the lock. `user` names a login session's user.
Nul::Oid register_item(Registry &r, StateItemPtr const &item, std::uint64_t connection, std::string const &user) {
    Nul::Oid oid = item->oid();
    if (!oid.is_nil()) return oid;
    oid = Nul::Oid::gen();
    item->set_oid(oid);
    Key const key = oid;
    CallState &call = this_call();
    Key const owner = owner_for(call, *item, key);
    r.items[key] = Entry{item, owner};
    if (call.session != nullptr && owner == call.session_key) call.made.push_back(key);
    if (!owner.is_nil()) {
        Session &s = session_entry(r, owner, Clock::now());
        s.items.insert(key);
        add_connection(s, connection);
        if (item->is_login_session() && !s.login) {
            s.login = true;
            s.user = user;
            ++r.logins;
            ++r.per_user[user];
            ledger_open(owner, user);
        }
    }
    trace_lazy(1, [&] { return item_line("add_pointer_entry", key); });
    return oid;
}

// Ends idle sessions, a bounded number per access; true when it is time to give memory back.
bool sweep_due(Registry &r, Clock::time_point now, std::vector<StateItemPtr> &released) {
    if (now < r.next_sweep) return false;
    // While sessions stay due, the next access goes on.
    int const ended = sweep(r, now, sweep_most, released);
    r.next_sweep = ended == sweep_most ? now : now + sweep_every;
    r.ended_since_trim += ended;
    // A crowd of forgotten logins has gone: the allocator keeps their memory otherwise.
    bool const trim = ended < sweep_most && r.ended_since_trim >= trim_after;
    if (trim) r.ended_since_trim = 0;
    return trim;
}

void release_and_trim(std::vector<StateItemPtr> &released, bool trim) {
    release(released);
    if (trim) malloc_trim(0);
}

// Whether the call's login session may hold `count` more items; the caller holds the lock.
bool session_has_room(Registry &r, std::size_t count) {
    CallState const &call = this_call();
    if (call.session == nullptr) return true;
    auto s = r.sessions.find(call.session_key);
    if (s == r.sessions.end() || !s->second.login) return true;
    std::size_t const held = s->second.items.size() - (s->second.items.count(s->first) != 0 ? 1 : 0);
    return held + count <= static_cast<std::size_t>(session_items_bound().load());
}

// Unregisters what this call made for its session; the caller holds the lock. None of it was
// handed out, so each is as never registered: sent later, it registers (and is counted) anew.
void take_back_call_items(Registry &r, std::vector<StateItemPtr> &released) {
    CallState &call = this_call();
    for (Key const &key : call.made) {
        auto it = r.items.find(key);
        if (it == r.items.end() || it->second.owner != call.session_key) continue;
        trace_lazy(1, [&] { return item_line("remove_pointer_entry", key); });
        it->second.item->set_oid(Nul::Oid());
        unregister(r, it, released);
    }
    call.made.clear();
}

[[noreturn]] void refuse_session_items(std::vector<StateItemPtr> &released) {
    release(released);
    raise_reason(Reason::login_refused, kx_message(MSG_SESSION_ITEMS_FULL,
                                                   Nul::UMessage::Arg(static_cast<int>(session_items_bound().load()))));
}

} // namespace

Nul::Oid add_pointer_entry(StateItemPtr const &item) {
    std::uint64_t const connection = item->is_login_session() ? call_connection() : 0;
    Registry &r = registry();
    std::vector<StateItemPtr> released;
    {
        Nul::CriticalSection guard(r.lock);
        if (item->is_login_session() || !item->oid().is_nil() || session_has_room(r, 1))
            return register_item(r, item, connection, std::string());
        take_back_call_items(r, released);
    }
    refuse_session_items(released);
}

void reserve_session_items(std::size_t count) {
    Registry &r = registry();
    std::vector<StateItemPtr> released;
    {
        Nul::CriticalSection guard(r.lock);
        if (session_has_room(r, count)) return;
        take_back_call_items(r, released);
    }
    refuse_session_items(released);
}

long session_items_max() { return session_items_bound().load(); }

void set_session_items_max(long most) { session_items_bound().store(most > 0 ? most : default_session_items); }

long session_item_count(StateItem const &session) {
    Registry &r = registry();
    Nul::CriticalSection guard(r.lock);
    auto s = r.sessions.find(session.oid());
    if (s == r.sessions.end()) return 0;
    return static_cast<long>(s->second.items.size() - s->second.items.count(s->first));
}

SessionAdmission add_login_session(StateItemPtr const &session, std::string const &user) {
    std::uint64_t const connection = call_connection();
    Registry &r = registry();
    std::vector<StateItemPtr> released;
    SessionAdmission admission = SessionAdmission::admitted;
    bool trim = false;
    {
        Nul::CriticalSection guard(r.lock);
        trim = sweep_due(r, Clock::now(), released);
        auto const u = r.per_user.find(user);
        if (u != r.per_user.end() && u->second >= sessions_per_user_bound().load())
            admission = SessionAdmission::user_full;
        else if (r.logins >= sessions_max_bound().load())
            admission = SessionAdmission::process_full;
        else
            register_item(r, session, connection, user);
    }
    release_and_trim(released, trim);
    return admission;
}

bool remove_pointer_entry(Nul::Oid const &oid) {
    Registry &r = registry();
    std::vector<StateItemPtr> released;
    {
        Nul::CriticalSection guard(r.lock);
        Key const key = oid;
        trace_lazy(1, [&] { return item_line("remove_pointer_entry", key); });
        auto it = r.items.find(key);
        if (it == r.items.end()) return false;
        unregister(r, it, released);
    }
    release(released);
    return true;
}

StateItemPtr lookup_pointer_entry(Nul::Oid const &oid) {
    Registry &r = registry();
    Nul::CriticalSection guard(r.lock);
    auto it = r.items.find(oid);
    return it == r.items.end() ? StateItemPtr() : it->second.item;
}

StateItemPtr lookup_for_call(Nul::Oid const &oid) {
    Registry &r = registry();
    std::vector<StateItemPtr> released;
    StateItemPtr found;
    bool trim = false;
    CallState const &call = this_call();
    {
        Nul::CriticalSection guard(r.lock);
        Clock::time_point const now = Clock::now();
        trim = sweep_due(r, now, released);
        Key const key = oid;
        auto it = r.items.find(key);
        if (it != r.items.end()) {
            Entry const &e = it->second;
            if (e.item->is_login_session()) {
                touch(r, key, now);
                found = e.item;
            } else if (e.owner.is_nil() || (call.session != nullptr && e.owner == call.session_key)) {
                found = e.item;
            }
        }
    }
    release_and_trim(released, trim);
    return found;
}

bool releasable_by_call(StateItem const &item, std::vector<StateItem const *> const &named) {
    std::uint64_t const connection = call_connection();
    Registry &r = registry();
    Nul::CriticalSection guard(r.lock);
    auto it = r.items.find(item.oid());
    if (it == r.items.end()) return false;
    Key const &owner = it->second.owner;
    if (owner.is_nil()) return true;
    for (StateItem const *session : named)
        if (session->oid() == owner) return true;
    auto s = r.sessions.find(owner);
    if (connection == 0 || s == r.sessions.end()) return false;
    auto const &seen = s->second.connections;
    return std::find(seen.begin(), seen.end(), connection) != seen.end();
}

void note_call_connection(StateItem const &session) {
    if (!in_served_call()) return;
    std::uint64_t const connection = call_connection();
    if (connection == 0) return;
    Registry &r = registry();
    Nul::CriticalSection guard(r.lock);
    auto s = r.sessions.find(session.oid());
    if (s != r.sessions.end()) add_connection(s->second, connection);
}

long session_idle_seconds() { return idle_seconds().load(); }

void set_session_idle_seconds(long seconds) { idle_seconds().store(seconds > 0 ? seconds : default_idle_seconds); }

long sessions_per_user() { return sessions_per_user_bound().load(); }

long sessions_max() { return sessions_max_bound().load(); }

void set_session_bounds(long per_user, long most) {
    sessions_per_user_bound().store(per_user > 0 ? per_user : default_sessions_per_user);
    sessions_max_bound().store(most > 0 ? most : default_sessions_max);
}

long login_sessions() {
    Registry &r = registry();
    Nul::CriticalSection guard(r.lock);
    return r.logins;
}

int end_idle_sessions(int most) {
    Registry &r = registry();
    std::vector<StateItemPtr> released;
    int ended = 0;
    {
        Nul::CriticalSection guard(r.lock);
        ended = sweep(r, Clock::now(), most, released);
    }
    release(released);
    return ended;
}

std::vector<StateItemPtr> registered_items() {
    Registry &r = registry();
    std::vector<StateItemPtr> items;
    CallState const &call = this_call();
    Nul::CriticalSection guard(r.lock);
    items.reserve(r.items.size());
    for (auto const &[key, entry] : r.items)
        if (entry.owner.is_nil() || (call.session != nullptr && entry.owner == call.session_key))
            items.push_back(entry.item);
    return items;
}

namespace {

constexpr u_int handle_length = 16;
constexpr u_int no_handle_length = 4;

// The Oid's words least significant byte first, as they lie in memory on the client's platform.
std::array<char, handle_length> handle_bytes(Nul::Oid const &oid) {
    std::array<char, handle_length> bytes{};
    Words w = oid_words(oid);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) bytes[4 * i + j] = static_cast<char>((w[i] >> (8 * j)) & 0xFF);
    return bytes;
}

Nul::Oid handle_oid(std::array<char, handle_length> const &bytes) {
    Words w{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) w[i] |= std::uint32_t(static_cast<unsigned char>(bytes[4 * i + j])) << (8 * j);
    return oid_from_words(w);
}

} // namespace

namespace {

// The Oid of a handle being decoded: nil for none; false when it is neither length.
bool_t decode_handle_oid(XDR *xdrs, Nul::Oid &oid) {
    u_int length = 0;
    if (!xdr_u_int(xdrs, &length)) return FALSE;
    if (length == no_handle_length) {
        char none[no_handle_length];
        oid = Nul::Oid();
        return xdr_opaque(xdrs, none, no_handle_length);
    }
    if (length != handle_length) return FALSE;
    std::array<char, handle_length> bytes{};
    if (!xdr_opaque(xdrs, bytes.data(), handle_length)) return FALSE;
    oid = handle_oid(bytes);
    return TRUE;
}

bool_t xdr_handle_with(XDR *xdrs, StateItemPtr &item, StateItemPtr (*lookup)(Nul::Oid const &)) noexcept {
    try {
        switch (xdrs->x_op) {
        case XDR_ENCODE: {
            if (!item) {
                u_int length = no_handle_length;
                char zeros[no_handle_length] = {};
                return xdr_u_int(xdrs, &length) && xdr_opaque(xdrs, zeros, no_handle_length);
            }
            Nul::Oid oid = item->oid();
            // Past the session's item bound the reply becomes the refusal.
            if (oid.is_nil()) oid = add_pointer_entry(item);
            u_int length = handle_length;
            std::array<char, handle_length> bytes = handle_bytes(oid);
            return xdr_u_int(xdrs, &length) && xdr_opaque(xdrs, bytes.data(), handle_length);
        }
        case XDR_DECODE: {
            Nul::Oid oid;
            if (!decode_handle_oid(xdrs, oid)) return FALSE;
            item = oid.is_nil() ? StateItemPtr() : lookup(oid);
            return TRUE;
        }
        case XDR_FREE:
            return TRUE;
        }
    } catch (Nul::STPException const &) {
        if (xdrs->x_op == XDR_ENCODE) hold_reply_failure(std::current_exception());
    } catch (...) {
        return hold_failure(xdrs, L"xdr_handle_with");
    }
    return FALSE;
}

} // namespace

bool_t xdr_state_handle(XDR *xdrs, StateItemPtr &item) noexcept { return xdr_handle_with(xdrs, item, lookup_for_call); }

bool_t xdr_handle_oid(XDR *xdrs, Nul::Oid &oid) noexcept {
    try {
        return xdrs->x_op == XDR_DECODE && decode_handle_oid(xdrs, oid);
    } catch (...) {
        // Read outside any call (a record's head on its way to disk): there is no call to answer.
        return FALSE;
    }
}

bool_t xdr_any_state_handle(XDR *xdrs, StateItemPtr &item) noexcept {
    return xdr_handle_with(xdrs, item, lookup_pointer_entry);
}

} // namespace KxRpc
