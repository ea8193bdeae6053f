#include "session/delete_state.h"

#include "tesutil/umessage.h"
#include "wire/casts.h"
#include "wire/decode_budget.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

// ---- DeleteStateArgs / DeleteStateResp

DeleteStateArgs::DeleteStateArgs() = default;

DeleteStateArgs::~DeleteStateArgs() = default;

bool_t DeleteStateArgs::decode(XDR *xdrs) {
    int count = 0;
    if (!xdr_correlator(xdrs) || !xdr_list_count(xdrs, count)) return FALSE;
    items_.clear();
    items_.reserve(list_reserve(count));
    for (int i = 0; i < count; ++i) {
        StateItemPtr item;
        if (!xdr_any_state_handle(xdrs, item) || !keep_decoded(items_, std::move(item))) return FALSE;
    }
    // The request carries the sessions it names and those used on its connection: a handle of
    // another session's item is as unknown as it is to that session's calls.
    std::vector<StateItem const *> named;
    for (auto const &item : items_)
        if (item && item->is_login_session()) named.push_back(item.get());
    for (auto &item : items_)
        if (item && !item->is_login_session() && !releasable_by_call(*item, named)) item.reset();
    return TRUE;
}

Nul::UString DeleteStateArgs::describe() const {
    Nul::UString text;
    for (auto const &item : items_) {
        text.append(L"(");
        text.append(item ? item->oid().dense_str() : Nul::UString(L"null"));
        text.append(L")");
    }
    return text;
}

DeleteStateResp::DeleteStateResp(DeleteStateArgs const &args) : args_(args) {}

DeleteStateResp::~DeleteStateResp() = default;

bool_t DeleteStateResp::xdr(XDR *xdrs) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    if (xdrs->x_op != XDR_ENCODE) return FALSE;
    try {
        for (auto const &item : args_.items()) {
            // A handle named twice is released once; the second answers as unknown.
            bool unknown = !item || !remove_pointer_entry(item->oid());
            if (!xdr_flag(xdrs, unknown)) return FALSE;
        }
        return TRUE;
    } catch (...) {
        return hold_failure(xdrs, L"DeleteStateResp::xdr");
    }
}

std::unique_ptr<XdrObject> kxrpc_delete_state(XdrObject *request) {
    DeleteStateArgs *args = checked_cast<DeleteStateArgs>(request);
    auto response = std::make_unique<DeleteStateResp>(*args);
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_delete_state %s)", args->describe()); });
    return response;
}

} // namespace KxRpc
