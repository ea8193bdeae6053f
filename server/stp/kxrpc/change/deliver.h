// deliver_change_context: the handler that performs a change batch, one operation after the
// other, and the reply that writes what each reported.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <variant>
#include <vector>

#include <rpc/xdr.h>

#include "change/deliverops.h"
#include "tesutil/critsec.h"
#include "tesutil/stpexception.h"
#include "wire/xdrobject.h"

class AdSession;

namespace KxRpc {

// What one performed operation reports, each alternative with the kind its result record carries.
// The failure that ended the batch.
struct DeliverFailure {
    static constexpr int wire_kind = 0;
    std::unique_ptr<Nul::STPException> exception;
};
// The operation's key (a dbid, a record's key, an attachment's dbid path) and the product's message.
struct DeliverTexts {
    static constexpr int wire_kind = 1;
    Nul::UString key;
    Nul::UString message;
};
// The (resource type, dbid) pairs of what a workspace delete removed.
struct DeliverItems {
    static constexpr int wire_kind = 2;
    std::vector<std::pair<int, std::int64_t>> items;
};
using DeliverResult = std::variant<DeliverFailure, DeliverTexts, DeliverItems>;

// Performs the batch's operations in order, up to and including the first that fails; what each
// consumed is unregistered. Every product call of the batch is made here, none while encoding.
std::vector<DeliverResult> perform_batch(DeliverChangeContextArgs &args);

class DeliverChangeContextResp : public XdrObject {
public:
    explicit DeliverChangeContextResp(std::vector<DeliverResult> results);
    ~DeliverChangeContextResp() override;
    // Encode only: a result record for each performed operation, then FALSE.
    bool_t xdr(XDR *xdrs) override;

private:
    std::vector<DeliverResult> results_;
};

// The lock that serialises the dynamic-list operations of change batches.
Nul::CriticalSectionLock &dynamic_list_lock();

// Handler of procedure 10: refuses a locked user database before any operation runs.
std::unique_ptr<XdrObject> kxrpc_deliver_change_context(XdrObject *request);

} // namespace KxRpc
