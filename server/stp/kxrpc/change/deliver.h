// deliver_change_context: the handler and the reply that performs a change batch, one operation
// after the other, while the reply is written.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include <rpc/xdr.h>

#include "change/deliverops.h"
#include "tesutil/critsec.h"
#include "tesutil/stpexception.h"
#include "wire/xdrobject.h"

class AdSession;

namespace KxRpc {

// What one performed operation reports: kind 1 two texts, kind 2 (resource type, dbid) pairs.
struct DeliverResult {
    int kind = 1;
    Nul::UString first;
    Nul::UString second;
    std::vector<std::pair<int, std::int64_t>> items;
};

class DeliverChangeContextResp : public XdrObject {
public:
    // The request stays the caller's and outlives the reply.
    explicit DeliverChangeContextResp(DeliverChangeContextArgs *args);
    ~DeliverChangeContextResp() override;
    // Encode only: performs the operations in order, a result record for each, up to and
    // including the first that fails, then FALSE.
    bool_t xdr(XDR *xdrs) override;

    // One operation; raises the operation's failure as an exception of the server's family.
    DeliverResult perform(DeliverOperation &op);

private:
    DeliverResult make_query_object(DeliverOperation &op);
    DeliverResult modify_query_object(DeliverOperation &op);
    DeliverResult delete_query_object(DeliverOperation &op);
    DeliverResult perform_record_op(DeliverOperation &op);
    DeliverResult delete_record(DeliverOperation &op);
    DeliverResult modify_dynamic_list(DeliverOperation &op);
    DeliverResult not_served(DeliverOperation &op);

    DeliverChangeContextArgs *args_;
    AdSession *session_ = nullptr;
    XDR *xdrs_ = nullptr;
};

// The lock that serialises the dynamic-list operations of change batches.
Nul::CriticalSectionLock &dynamic_list_lock();

// Handler of procedure 10: refuses a locked user database before any operation runs.
bool kxrpc_deliver_change_context(XdrObject *request, XdrObject **result);

} // namespace KxRpc
