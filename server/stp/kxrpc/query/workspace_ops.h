// The folder walk, the move of a workspace item and the rename of one (procedures 21, 36, 33).
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "kxproduct/workspace.h"
#include "target/held_items.h"
#include "tesutil/ustring.h"
#include "wire/xdrobject.h"

namespace KxRpc {

// Every item below a folder, depth first, as (type code, dbid): a chain of bool TRUE, enum, u_int,
// ended by FALSE. The walk runs in the handler under the workspace lock; only the collected pairs
// are written, outside the lock.
class GetFolderDescendentsResp : public XdrObject {
public:
    using Entry = std::pair<int, unsigned>;
    // Walks `folder` in a fresh picture of the workspace; children removed meanwhile are skipped.
    explicit GetFolderDescendentsResp(AdBucketPtr const &folder);
    ~GetFolderDescendentsResp() override;
    bool_t xdr(XDR *xdrs) override;
    std::vector<Entry> const &entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
};

// int n, then per moved item: state handle, path, enum type code.
class MoveQueryResp : public XdrObject {
public:
    struct Entry {
        Nul::UString path;
        std::shared_ptr<QueryItemStateItem> item;
        int type_code;
    };
    explicit MoveQueryResp(std::vector<Entry> entries);
    ~MoveQueryResp() override;
    bool_t xdr(XDR *xdrs) override;

private:
    std::vector<Entry> entries_;
};

std::unique_ptr<XdrObject> kxrpc_get_folder_descendents(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_move_query(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_rename_workspace_item(XdrObject *request);

} // namespace KxRpc
