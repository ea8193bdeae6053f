// Request classes of the procedures whose arguments carry no target resource.
#pragma once

#include <rpc/xdr.h>

#include <vector>

#include "protocol/genericop.h"
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

// A session request whose body is its target.
class TargetOpArgs : public SessionArg, public GenericOpArgs {
public:
    ~TargetOpArgs() override;
    bool_t xdr_body(XDR *xdrs) override { return GenericOpArgs::xdr(xdrs); }
    // The target's ARM text in the request's product session.
    Nul::UString arm_target_uri() override;
    // "%s :: %s": the session line and the target line.
    Nul::UString session_and_target();
};

class ValidateRecordPropsArgs : public TargetOpArgs {
public:
    ~ValidateRecordPropsArgs() override;
    Nul::UString trace_line() override { return session_and_target(); }
};

class ResolveAttachmentArgs : public TargetOpArgs {
public:
    ~ResolveAttachmentArgs() override;
    virtual Nul::UString describe() { return session_and_target(); }
    // The target attachment in the request's session.
    Attachment *attachment() { return GenericOpArgs::attachment(api_session_or_fail()); }
};

class RevertRecordArgs : public TargetOpArgs {
public:
    ~RevertRecordArgs() override;
    virtual Nul::UString describe() { return session_and_target(); }
};

class UpgradeDatabasesArgs : public TargetOpArgs {
public:
    ~UpgradeDatabasesArgs() override;
    virtual Nul::UString describe() { return session_and_target(); }
};

class FetchBulkArg : public TargetOpArgs {
public:
    ~FetchBulkArg() override;
    virtual Nul::UString describe() { return session_and_target(); }
};

// The request of get_attachment and get_attachment_direct: the target, then the chunk size.
class GetArgs : public TargetOpArgs {
public:
    ~GetArgs() override;
    bool_t xdr_body(XDR *xdrs) override;
    virtual Nul::UString describe() { return session_and_target(); }
    int chunk_size() const { return chunk_size_; }
    int target_type() const { return resource_type_; }

private:
    int chunk_size_ = 0;
};

class GetFolderDescendentsArgs : public TargetOpArgs {
public:
    ~GetFolderDescendentsArgs() override;
    Nul::UString arm_target_uri() override { return Nul::UString(); }
    Nul::UString trace_line() override { return session_and_target(); }
};

// The record, the action, and the action type.
class ValidateActionArgs : public TargetOpArgs {
public:
    ~ValidateActionArgs() override;
    bool_t xdr_body(XDR *xdrs) override;
    virtual Nul::UString describe();
    GenericOpArgs &action() { return action_; }
    int action_type() const { return action_type_; }

private:
    GenericOpArgs action_;
    int action_type_ = 0;
};

class FireHookArgs : public TargetOpArgs {
public:
    ~FireHookArgs() override;
    bool_t xdr_body(XDR *xdrs) override;
    virtual Nul::UString describe();
    GenericOpArgs &hook() { return hook_; }
    Nul::UString param() const { return param_; }
    bool get_side_effects() const { return get_side_effects_; }
    // A global hook is used by its name only.
    bool hook_given_by_name() const { return hook_.resource_type() == 51; }
    Nul::UString hook_name() const { return hook_.target().hook_name(); }
    Nul::UString form_name() const { return form_name_; }
    Nul::UString tab_name() const { return tab_name_; }

private:
    GenericOpArgs hook_;
    Nul::UString param_;
    bool get_side_effects_ = false;
    Nul::UString form_name_;
    Nul::UString tab_name_;
};

class FireScriptAliasArgs : public TargetOpArgs {
public:
    ~FireScriptAliasArgs() override;
    bool_t xdr_body(XDR *xdrs) override;
    virtual Nul::UString describe();
    GenericOpArgs &action() { return action_; }
    Nul::UString form_name() const { return form_name_; }
    Nul::UString tab_name() const { return tab_name_; }

private:
    GenericOpArgs action_;
    Nul::UString form_name_;
    Nul::UString tab_name_;
};

class FindRecordArgs : public SessionArg {
public:
    ~FindRecordArgs() override;
    // is_dbid, the dbid or the name, the find mode, then the counted locations.
    bool_t xdr_body(XDR *xdrs) override;
    virtual Nul::UString describe();
    bool is_dbid() const { return is_dbid_; }
    int dbid() const { return dbid_; }
    Nul::UString name() const { return name_; }
    int find_mode() const { return find_mode_; }
    std::vector<GenericOpArgs>::iterator locs_begin() { return locations_.begin(); }
    std::vector<GenericOpArgs>::iterator locs_end() { return locations_.end(); }

private:
    bool is_dbid_ = false;
    int dbid_ = 0;
    Nul::UString name_;
    int find_mode_ = 0;
    int num_loc_ = 0;
    std::vector<GenericOpArgs> locations_;
};

} // namespace KxRpc
