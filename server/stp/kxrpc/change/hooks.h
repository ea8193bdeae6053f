// fire_hook and fire_script_alias: product hooks run on a record being edited.
#pragma once

#include <memory>

#include <rpc/xdr.h>

#include "tesutil/ustring.h"
#include "wire/handles.h"
#include "wire/xdrobject.h"

namespace KxRpc {

class FieldChangedTracker;

// The hook's result text; for a record addressed by name or id that the hook left editable, the
// new temporary record with its two selector texts; the fields the hook changed when asked.
class FireHookResp : public XdrObject {
public:
    // `record` is kept alive for the tracker; it goes to the client only when `hand_out`.
    FireHookResp(Nul::UString const &result, StateItemPtr record, bool hand_out, Nul::UString const &name_text,
                 Nul::UString const &id_text, std::unique_ptr<FieldChangedTracker> tracker);
    ~FireHookResp() override;
    // Encode only.
    bool_t xdr(XDR *xdrs) override;

private:
    Nul::UString result_;
    StateItemPtr record_;
    bool hand_out_;
    Nul::UString name_text_;
    Nul::UString id_text_;
    // Refers to the item in record_: declared after it, so it goes first.
    std::unique_ptr<FieldChangedTracker> tracker_;
};

std::unique_ptr<XdrObject> kxrpc_fire_hook(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_fire_script_alias(XdrObject *request);

} // namespace KxRpc
