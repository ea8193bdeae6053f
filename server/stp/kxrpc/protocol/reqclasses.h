// Request classes of the procedures whose arguments carry no target resource.
#pragma once

#include <rpc/xdr.h>

#include "protocol/requests.h"
#include "tesutil/ustring.h"

namespace KxRpc {

// Requests without a session: correlator, trace id, then their own fields.
class NoSessionArgs : public ArmCorrelatorArg, public TraceInfo {
public:
    ~NoSessionArgs() override;
    bool_t xdr(XDR *xdrs) override;

protected:
    virtual bool_t xdr_fields(XDR *xdrs) = 0;
};

class GetAllDbSetsArgs : public NoSessionArgs {
public:
    ~GetAllDbSetsArgs() override;
    virtual Nul::UString describe();

protected:
    bool_t xdr_fields(XDR *) override { return TRUE; }
};

class GetUserDbDescriptionArgs : public NoSessionArgs {
public:
    ~GetUserDbDescriptionArgs() override;
    Nul::UString trace_line() override;
    Nul::UString dbset() const { return dbset_; }
    Nul::UString userdb() const { return userdb_; }

protected:
    bool_t xdr_fields(XDR *xdrs) override;

private:
    Nul::UString dbset_;
    Nul::UString userdb_;
};

class GetAccessibleDatabasesArgs : public NoSessionArgs {
public:
    ~GetAccessibleDatabasesArgs() override;
    // Never shows the credential.
    Nul::UString trace_line() override;
    Nul::UString dbset() const { return dbset_; }
    Nul::UString username() const { return username_; }
    Nul::UString password() const { return password_; }
    Nul::UString host() const { return host_; }
    bool security() const { return security_; }

protected:
    bool_t xdr_fields(XDR *xdrs) override;

private:
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
    bool_t xdr_body(XDR *) override { return TRUE; }
};

class GetOplogEntriesArgs : public SessionArg {
public:
    ~GetOplogEntriesArgs() override;
    bool_t xdr_body(XDR *xdrs) override;
    Nul::UString trace_line() override;
    unsigned start() const { return start_; }
    unsigned count() const { return count_; }
    bool asxml() const { return asxml_; }

private:
    unsigned start_ = 0;
    unsigned count_ = 0;
    bool asxml_ = false;
};

class RenameWorkspaceItemArgs : public SessionArg {
public:
    ~RenameWorkspaceItemArgs() override;
    bool_t xdr_body(XDR *xdrs) override;
    Nul::UString new_name() const { return new_name_; }
    int dbid() const { return dbid_; }

private:
    Nul::UString new_name_;
    int dbid_ = 0;
};

class MasterPropertyArgs : public SessionArg {
public:
    ~MasterPropertyArgs() override;
    // Five strings, then use_user_session when the request still holds it.
    bool_t xdr_body(XDR *xdrs) override;
    Nul::UString trace_line() override;
    Nul::UString action_name() const { return action_name_; }
    Nul::UString property_name() const { return property_name_; }
    Nul::UString property_value() const { return property_value_; }
    Nul::UString db_name() const { return db_name_; }
    Nul::UString replica_name() const { return replica_name_; }
    bool use_user_session() const { return use_user_session_; }

private:
    Nul::UString action_name_;
    Nul::UString property_name_;
    Nul::UString property_value_;
    Nul::UString db_name_;
    Nul::UString replica_name_;
    bool use_user_session_ = false;
};

} // namespace KxRpc
