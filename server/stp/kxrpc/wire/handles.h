// Server-side objects held between calls, and the registry that names them by 16-byte handles.
#pragma once

#include <memory>
#include <vector>

#include <rpc/xdr.h>

#include "tesutil/oid.h"

namespace KxRpc {

class StateItem {
public:
    StateItem() = default;
    StateItem(StateItem const &) = delete;
    StateItem &operator=(StateItem const &) = delete;
    virtual ~StateItem();
    // Nil until the item is first sent.
    Nul::Oid oid() const;
    void set_oid(Nul::Oid const &oid);

private:
    Nul::Oid oid_;
};

// The registry shares ownership with every call that decoded the handle, so releasing an item
// never frees it under a call that is still using it.
using StateItemPtr = std::shared_ptr<StateItem>;

// Registers the item under a fresh Oid (or answers the one it already has).
Nul::Oid add_pointer_entry(StateItemPtr const &item);
// Unregisters; true when the handle was registered.
bool remove_pointer_entry(Nul::Oid const &oid);
// The registered item, or null.
StateItemPtr lookup_pointer_entry(Nul::Oid const &oid);
// Every item registered at the moment of the call.
std::vector<StateItemPtr> registered_items();

// Four ints: the Oid's four words in order.
bool_t xdr_oid(XDR *xdrs, Nul::Oid &oid) noexcept;
// Length 16 and the Oid's bytes as they lie in memory for an item (registering it on first
// send), length 4 and four zero bytes for none. Decode accepts only those two lengths; an
// unknown handle decodes to null.
bool_t xdr_state_handle(XDR *xdrs, StateItemPtr &item) noexcept;

} // namespace KxRpc
