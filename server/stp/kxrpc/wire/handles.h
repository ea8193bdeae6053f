// Server-side objects held between calls, and the registry that names them by 16-byte handles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <rpc/xdr.h>

#include "tesutil/oid.h"
#include "wire/ledger.h"

namespace KxRpc {

class StateItem {
public:
    StateItem() = default;
    StateItem(StateItem const &) = delete;
    StateItem &operator=(StateItem const &) = delete;
    virtual ~StateItem();
    // A login session: its handle is the credential that the items it makes answer to.
    virtual bool is_login_session() const { return false; }
    // Run for the call's session once its arguments are decoded, before the call is served: a
    // login session refuses a user whose access has gone (by raising the call's error).
    virtual void check_access() {}
    // Nil until the item is first sent.
    Nul::Oid oid() const;
    void set_oid(Nul::Oid const &oid);
    // Charges the memory the item holds, `bytes` in all now, to the session of the call that
    // first charged it, its user and the process. Past a bound it is refused (reason 40, naming
    // the bound) and the charge stays as it was. The bytes go back with the item.
    void hold_bytes(std::uint64_t bytes);
    std::uint64_t held_bytes() const;

private:
    Nul::Oid oid_;
    mutable std::mutex held_mu_;
    Charge held_;
};

// The registry shares ownership with every call that decoded the handle, so releasing an item
// never frees it under a call that is still using it.
using StateItemPtr = std::shared_ptr<StateItem>;

// The login session that the request served on this thread carries (null: none), set by the
// session header. Handles of other sessions' items decode as unknown, and an item registered
// while it is set belongs to it and ends with it.
void set_call_session(StateItem *session);
// Clears the call's session when it is still `session`.
void clear_call_session(StateItem const *session);

// Registers the item under a fresh Oid (or answers the one it already has). A login session
// owns itself; another item belongs to the call's session. Items registered outside a served
// call (tools, tests) belong to no session and answer every request. An item that would take
// the call's login session past session_items_max() is refused (reason 47, naming the bound),
// and what the call registered before is taken back with it: the call holds nothing.
Nul::Oid add_pointer_entry(StateItemPtr const &item);
// The same refusal, before any work, when the call's login session cannot take `count` more.
void reserve_session_items(std::size_t count);
// Items one login session may hold besides itself (KX_SESSION_ITEMS; default 1024); 0 or less
// sets the default again.
long session_items_max();
void set_session_items_max(long most);
// The items the session holds now, itself not counted.
long session_item_count(StateItem const &session);
enum class SessionAdmission { admitted, user_full, process_full };
// Registers a login session of `user` (its database set and login name) unless that user already
// holds sessions_per_user() sessions or the process sessions_max(); past a bound nothing is
// registered. Sessions idle past their time are ended first.
SessionAdmission add_login_session(StateItemPtr const &session, std::string const &user);
// Unregisters; true when the handle was registered. A login session takes its items with it.
bool remove_pointer_entry(Nul::Oid const &oid);
// The registered item, or null, whoever asks.
StateItemPtr lookup_pointer_entry(Nul::Oid const &oid);
// The registered item when it answers the call's session (a login session answers as itself).
StateItemPtr lookup_for_call(Nul::Oid const &oid);
// Whether delete_state may release the item: its session is named in the same request
// (`named`), or has been used on the connection of this call.
bool releasable_by_call(StateItem const &item, std::vector<StateItem const *> const &named);
// Notes the call's connection (the runtime's identity of it, never its peer's address) as one
// that the session has been used on.
void note_call_connection(StateItem const &session);

// Every registered item that answers the call's session.
std::vector<StateItemPtr> registered_items();

// Sessions named by no call for longer than this end, with their items (KX_SESSION_IDLE_SECONDS;
// default four hours).
long session_idle_seconds();
void set_session_idle_seconds(long seconds);
// Ends the sessions idle past the limit, at most `most` of them; their number.
int end_idle_sessions(int most);
// Login sessions one user may hold (KX_SESSIONS_PER_USER; default 64) and the process may hold
// (KX_SESSIONS_MAX; default 4096); 0 or less sets the default again.
long sessions_per_user();
long sessions_max();
void set_session_bounds(long per_user, long most);
// The login sessions registered now.
long login_sessions();

// Length 16 and the Oid's bytes as they lie in memory for an item (registering it on first
// send), length 4 and four zero bytes for none. Decode accepts only those two lengths; an
// unknown handle, or one whose item answers another session, decodes to null.
bool_t xdr_state_handle(XDR *xdrs, StateItemPtr &item) noexcept;
// Decodes a handle as above into its Oid (nil for none), looking nothing up.
bool_t xdr_handle_oid(XDR *xdrs, Nul::Oid &oid) noexcept;
// The same, but decoding any registered item: for delete_state, which checks them itself.
bool_t xdr_any_state_handle(XDR *xdrs, StateItemPtr &item) noexcept;

} // namespace KxRpc
