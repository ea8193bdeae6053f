// Replies of the query subsystem that carry plain values from their handlers.
#pragma once

#include <rpc/xdr.h>
#include <vector>

#include "kxproduct/entity.h"
#include "tesutil/ustring.h"
#include "wire/string_list.h"
#include "wire/xdrobject.h"

namespace KxRpc {

// Whether a record was found; when it was, a target by dbids: 2, record type dbid, record dbid.
class FindRecordResp : public XdrObject {
public:
    explicit FindRecordResp(AdEntityPtr const &record);
    ~FindRecordResp() override;
    bool_t xdr(XDR *xdrs) override;

private:
    AdEntityPtr record_;
};

class GetOplogEntriesResp : public StringListResp {
public:
    using StringListResp::StringListResp;
    ~GetOplogEntriesResp() override;
};

// One string, empty when the database was not found.
class GetUserDbDescriptionResp : public XdrObject {
public:
    explicit GetUserDbDescriptionResp(Nul::UString const &description);
    ~GetUserDbDescriptionResp() override;
    bool_t xdr(XDR *xdrs) override;

private:
    Nul::UString description_;
};

// A count, then one pair of strings per database; lists of unequal length are not sent.
class GetAccessibleDatabasesResp : public XdrObject {
public:
    GetAccessibleDatabasesResp(std::vector<Nul::UString> const &first, std::vector<Nul::UString> const &second);
    ~GetAccessibleDatabasesResp() override;
    bool_t xdr(XDR *xdrs) override;

private:
    std::vector<Nul::UString> first_;
    std::vector<Nul::UString> second_;
};

// One boolean: TRUE when the product reported success.
class RenameWorkspaceItemResp : public XdrObject {
public:
    explicit RenameWorkspaceItemResp(int success);
    ~RenameWorkspaceItemResp() override;
    bool_t xdr(XDR *xdrs) override;

private:
    int success_;
};

} // namespace KxRpc
