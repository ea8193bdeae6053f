// Administration requests and their replies: master properties, database upgrades and new users.
#pragma once

#include <rpc/xdr.h>
#include <vector>

#include "props/requests.h"
#include "target/requests.h"
#include "tesutil/ustring.h"
#include "wire/string_list.h"
#include "wire/xdrobject.h"

namespace KxRpc {

class MasterPropertyArgs : public SessionArg {
public:
    ~MasterPropertyArgs() override;
    Nul::UString trace_line();
    Nul::UString action_name() const { return action_name_; }
    Nul::UString property_name() const { return property_name_; }
    Nul::UString property_value() const { return property_value_; }
    Nul::UString db_name() const { return db_name_; }
    Nul::UString replica_name() const { return replica_name_; }
    bool use_user_session() const { return use_user_session_; }

protected:
    // Session header, five strings, then use_user_session when the request still holds it.
    bool_t decode(XDR *xdrs) override;

private:
    Nul::UString action_name_;
    Nul::UString property_name_;
    Nul::UString property_value_;
    Nul::UString db_name_;
    Nul::UString replica_name_;
    bool use_user_session_ = false;
};

// Session header, target.
class UpgradeDatabasesArgs : public TargetOpArgs {
public:
    ~UpgradeDatabasesArgs() override;
    Nul::UString describe() { return session_and_target(); }
};

// create_user: the props header, the target, the new user's name, then the values to put.
class CreateUserArgs : public PutPropsArgs {
public:
    CreateUserArgs();
    ~CreateUserArgs() override;
    // "%s :: name:%s".
    Nul::UString describe();
    Nul::UString name() const { return name_; }

protected:
    bool_t decode(XDR *xdrs) override;

private:
    Nul::UString name_;
};

class UpgradeDatabasesResp : public StringListResp {
public:
    using StringListResp::StringListResp;
    ~UpgradeDatabasesResp() override;
};

// create_user's reply: the values put on the new user, as put_props answers them.
class CreateUserResp : public PutPropsIter {
public:
    using PutPropsIter::PutPropsIter;
    ~CreateUserResp() override;
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

} // namespace KxRpc
