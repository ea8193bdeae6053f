// kxrpc_fetch_bulk: one text of fixed properties per item of a workspace folder.
#pragma once

#include <memory>
#include <vector>

#include "kxproduct/workspace.h"
#include "tesutil/ustring.h"
#include "wire/string_list.h"
#include "wire/xdrobject.h"

namespace KxRpc {

class FetchBulkResp : public StringListResp {
public:
    using StringListResp::StringListResp;
    ~FetchBulkResp() override;
};

// What every item text of one call shares.
struct BulkContext {
    AdSessionPtr session;
    Nul::UString login_repository; // as the client logged in
    Nul::UString master_replica;
    Nul::UString dbset;
};

// "<TAG>value<TAG>" per property, in a fixed order; every value is escaped so that no name can
// add an element of its own.
Nul::UString bulk_item_text(BulkContext const &context, AdBucketPtr const &item);

// The texts of the folder's readable children in dbid order; none for an item that is not a
// folder, a folder the user may not read, or an empty folder. Children removed since the folder
// was read are left out.
std::vector<Nul::UString> bulk_item_texts(BulkContext const &context, AdBucketPtr const &folder);

std::unique_ptr<XdrObject> kxrpc_fetch_bulk(XdrObject *request);

} // namespace KxRpc
