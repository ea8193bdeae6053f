// copy_query (20): copies of a workspace item, and of a folder's subtree, held as new items for a
// change batch to store; the request's values are put on the copy while the reply is written.
#pragma once

#include <memory>
#include <vector>

#include "props/replies.h"
#include "target/held_items.h"
#include "tesutil/ustring.h"

namespace KxRpc {

// int n, per copied item: handle, path, enum type code; int m, per new-or-modified item: path,
// handle, enum type code; then the put reply of the values.
class CopyQueryResp : public PutPropsIter {
public:
    struct Entry {
        Nul::UString path;
        std::shared_ptr<QueryItemStateItem> item;
        int type_code;
    };
    CopyQueryResp(std::vector<Entry> copied, std::vector<Entry> new_or_modified,
                  std::unique_ptr<PropsResource> resource, PropValues const &values, bool register_callback);
    ~CopyQueryResp() override;
    bool_t xdr(XDR *xdrs) override;
    std::vector<Entry> const &copied() const { return copied_; }
    std::vector<Entry> const &new_or_modified() const { return new_or_modified_; }

private:
    std::vector<Entry> copied_;
    std::vector<Entry> new_or_modified_;
};

std::unique_ptr<XdrObject> kxrpc_copy_query(XdrObject *request);

} // namespace KxRpc
