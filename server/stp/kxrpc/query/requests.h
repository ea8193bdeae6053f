// Requests of the query subsystem without paging: database sets, record families, the oplog,
// workspace renames and folders, record lookup, bulk fetch, and copying and moving queries.
#pragma once

#include <rpc/xdr.h>
#include <vector>

#include "kxproduct/query.h"
#include "props/requests.h"
#include "target/genericop.h"
#include "target/requests.h"
#include "tesutil/ustring.h"

namespace KxRpc {

// Correlator, trace id.
class GetAllDbSetsArgs : public ArmCorrelatorArg {
public:
    ~GetAllDbSetsArgs() override;
    Nul::UString describe() const { return trace_.trace_line(); }

protected:
    bool_t decode(XDR *xdrs) override;

private:
    TraceInfo trace_;
};

// Correlator, trace id, dbset, userdb.
class GetUserDbDescriptionArgs : public ArmCorrelatorArg {
public:
    ~GetUserDbDescriptionArgs() override;
    Nul::UString trace_line() const;
    Nul::UString dbset() const { return dbset_; }
    Nul::UString userdb() const { return userdb_; }

protected:
    bool_t decode(XDR *xdrs) override;

private:
    TraceInfo trace_;
    Nul::UString dbset_;
    Nul::UString userdb_;
};

// Correlator, trace id, dbset, username, password, host, security.
class GetAccessibleDatabasesArgs : public ArmCorrelatorArg {
public:
    ~GetAccessibleDatabasesArgs() override;
    // Never shows the credential.
    Nul::UString trace_line() const;
    Nul::UString dbset() const { return dbset_; }
    Nul::UString username() const { return username_; }
    Nul::UString password() const { return password_; }
    Nul::UString host() const { return host_; }
    bool security() const { return security_; }

protected:
    bool_t decode(XDR *xdrs) override;

private:
    TraceInfo trace_;
    Nul::UString dbset_;
    Nul::UString username_;
    Nul::UString password_;
    Nul::UString host_;
    bool security_ = false;
};

// The session header alone.
class GetRecFamilyInfoArgs : public SessionArg {
public:
    ~GetRecFamilyInfoArgs() override;

protected:
    bool_t decode(XDR *xdrs) override;
};

// Session header, start, count, asxml.
class GetOplogEntriesArgs : public SessionArg {
public:
    ~GetOplogEntriesArgs() override;
    Nul::UString trace_line();
    unsigned start() const { return start_; }
    unsigned count() const { return count_; }
    bool asxml() const { return asxml_; }

protected:
    bool_t decode(XDR *xdrs) override;

private:
    unsigned start_ = 0;
    unsigned count_ = 0;
    bool asxml_ = false;
};

// Session header, dbid, new name.
class RenameWorkspaceItemArgs : public SessionArg {
public:
    ~RenameWorkspaceItemArgs() override;
    Nul::UString new_name() const { return new_name_; }
    int dbid() const { return dbid_; }

protected:
    bool_t decode(XDR *xdrs) override;

private:
    Nul::UString new_name_;
    int dbid_ = 0;
};

// Session header, target.
class FetchBulkArg : public TargetOpArgs {
public:
    ~FetchBulkArg() override;
    Nul::UString describe() { return session_and_target(); }
};

// Session header, target (the folder).
class GetFolderDescendentsArgs : public TargetOpArgs {
public:
    ~GetFolderDescendentsArgs() override;
    Nul::UString arm_target_uri() override { return Nul::UString(); }
    Nul::UString trace_line() { return session_and_target(); }
};

class FindRecordArgs : public SessionArg {
public:
    ~FindRecordArgs() override;
    Nul::UString describe();
    bool is_dbid() const { return is_dbid_; }
    int dbid() const { return dbid_; }
    Nul::UString name() const { return name_; }
    int find_mode() const { return find_mode_; }
    std::vector<GenericOpArgs>::iterator locs_begin() { return locations_.begin(); }
    std::vector<GenericOpArgs>::iterator locs_end() { return locations_.end(); }

protected:
    // Session header, is_dbid, the dbid or the name, the find mode, then the counted locations.
    bool_t decode(XDR *xdrs) override;

private:
    bool is_dbid_ = false;
    int dbid_ = 0;
    Nul::UString name_;
    int find_mode_ = 0;
    int num_loc_ = 0;
    std::vector<GenericOpArgs> locations_;
};

// copy_query: the source, the destination path, the workspace dbids not to copy, the new or
// modified items under the source, then the values to put.
class CopyQueryArgs : public PutPropsArgs {
public:
    CopyQueryArgs();
    ~CopyQueryArgs() override;
    Nul::UString destination() const { return destination_; }
    std::vector<int> const &do_not_copy() const { return do_not_copy_; }
    bool is_do_not_copy(int dbid) const;
    std::vector<GenericOpArgs>::iterator items_begin() { return items_.begin(); }
    std::vector<GenericOpArgs>::iterator items_end() { return items_.end(); }

protected:
    bool_t decode(XDR *xdrs) override;

private:
    AdQueryDefPtr query_def_;
    bool flag_ = false;
    Nul::UString destination_;
    std::vector<int> do_not_copy_;
    std::vector<GenericOpArgs> items_;
};

// move_query: the source, the destination path, overwrite, then the values to put.
class MoveQueryArgs : public PutPropsArgs {
public:
    MoveQueryArgs();
    ~MoveQueryArgs() override;
    Nul::UString destination() const { return destination_; }
    bool overwrite() const { return overwrite_; }

protected:
    bool_t decode(XDR *xdrs) override;

private:
    AdQueryDefPtr query_def_;
    bool flag_ = false;
    Nul::UString destination_;
    bool overwrite_ = false;
};

} // namespace KxRpc
