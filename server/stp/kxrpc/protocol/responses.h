// Replies that carry plain values from their handlers, and the helpers handlers share.
#pragma once

#include <vector>

#include <rpc/xdr.h>

#include "kxproduct/entity.h"
#include "protocol/xdrobject.h"
#include "tesutil/critsec.h"
#include "tesutil/ustring.h"

namespace KxRpc {

// One string.
class FireScriptAliasResp : public XdrObject {
public:
    explicit FireScriptAliasResp(Nul::UString const &result);
    ~FireScriptAliasResp() override;
    bool_t xdr(XDR *xdrs) override;

private:
    Nul::UString result_;
};

// Whether a record was found; when it was, a target by dbids: 2, record type dbid, record dbid.
class FindRecordResp : public XdrObject {
public:
    explicit FindRecordResp(AdEntityPtr const &record);
    ~FindRecordResp() override;
    bool_t xdr(XDR *xdrs) override;

private:
    AdEntityPtr record_;
};

// A count, then the strings.
class StringListResp : public XdrObject {
public:
    explicit StringListResp(std::vector<Nul::UString> const &lines);
    ~StringListResp() override;
    bool_t xdr(XDR *xdrs) override;

private:
    std::vector<Nul::UString> lines_;
};

class GetOplogEntriesResp : public StringListResp {
public:
    using StringListResp::StringListResp;
    ~GetOplogEntriesResp() override;
};

class UpgradeDatabasesResp : public StringListResp {
public:
    using StringListResp::StringListResp;
    ~UpgradeDatabasesResp() override;
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

// The text alone goes on the wire; the result code stays with the server.
class MasterPropertyResp : public XdrObject {
public:
    MasterPropertyResp(int result, Nul::UString const &text);
    ~MasterPropertyResp() override;
    bool_t xdr(XDR *xdrs) override;
    int result() const { return result_; }

private:
    int result_;
    Nul::UString text_;
};

// Serialises work on workspace buckets; lives for the whole process.
Nul::CriticalSectionLock &workspace_lock();

Nul::UString concat_prefix(wchar_t const *prefix, Nul::UString const &text);

} // namespace KxRpc
