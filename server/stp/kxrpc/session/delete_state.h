// delete_state: the request that releases state handles, its reply and the handler.
#pragma once

#include <memory>
#include <rpc/xdr.h>
#include <vector>

#include "target/requests.h"
#include "tesutil/ustring.h"
#include "wire/handles.h"
#include "wire/xdrobject.h"

namespace KxRpc {

class DeleteStateArgs : public ArmCorrelatorArg {
public:
    DeleteStateArgs();
    ~DeleteStateArgs() override;
    // "(%s)" per handle with its dense Oid text or "null".
    Nul::UString describe() const;
    std::vector<StateItemPtr> const &items() const { return items_; }

protected:
    // Correlator, count, that many state handles.
    bool_t decode(XDR *xdrs) override;

private:
    std::vector<StateItemPtr> items_;
};

// One boolean per handle of the request, no count: FALSE for an item released now, TRUE for an
// unknown handle (also for a handle named a second time).
class DeleteStateResp : public XdrObject {
public:
    explicit DeleteStateResp(DeleteStateArgs const &args);
    ~DeleteStateResp() override;
    bool_t xdr(XDR *xdrs) override;

private:
    DeleteStateArgs const &args_;
};

// The handler of procedure 2.
std::unique_ptr<XdrObject> kxrpc_delete_state(XdrObject *request);

} // namespace KxRpc
