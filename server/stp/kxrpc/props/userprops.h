// The properties of the principals and databases of a set: user databases (with the settings a
// user may change), database sets, the session's own user, named users (with put), groups and
// replicas.
#pragma once

#include <set>

#include "kxproduct/session.h"
#include "props/resource.h"
#include "target/attachments.h"

namespace KxRpc {

class UserDbProps : public PropsResource {
public:
    UserDbProps(LoginSession *session, KXSmartPtr<KXDatabaseDesc> const &userdb);
    ~UserDbProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    void put_prop(BasePropValue &value) override;
    Nul::UString describe() override;
    std::set<int> const &supported_properties() override;

private:
    AdSessionPtr api_session() const;
    void fetch_dynamic(FetchPropResponses &out, int prop_id);
    void fetch_oplog_range(FetchPropResponses &out);
    void fetch_folder_items(FetchPropResponses &out);
    void fetch_workspace_members(FetchPropResponses &out);
    void fetch_startup_queries(FetchPropResponses &out);
    void put_restricted(BasePropValue &value);
    void put_mail_settings(BasePropValue &value);
    void put_preference(BasePropValue &value, long key);
    void put_name_value(BasePropValue &value, Nul::UString const &name);

    KXSmartPtr<KXDatabaseDesc> userdb_;
};

class DbSetProps : public PropsResource {
public:
    DbSetProps(LoginSession *session, KXSmartPtr<KXDatabase> const &dbset);
    ~DbSetProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    Nul::UString describe() override;
    std::set<int> const &supported_properties() override;

private:
    KXSmartPtr<KXDatabase> dbset_;
};

// What the named user and the session's own user answer alike, from a product user object.
class UserPropsBase : public PropsResource {
public:
    std::set<int> const &supported_properties() override;

protected:
    UserPropsBase(LoginSession *session, KXSmartPtr<KXUser> const &user);
    // False when the id is not a user property.
    bool fetch_user_prop(FetchPropResponses &out, int prop_id);
    // The subscribed databases that are neither the master nor a test database.
    virtual void fetch_databases(FetchPropResponses &out) = 0;
    KXUser *user() const { return user_.get(); }

private:
    KXSmartPtr<KXUser> user_;
};

class UserProps : public UserPropsBase {
public:
    UserProps(LoginSession *session, KXSmartPtr<KXUser> const &user);
    ~UserProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    void put_prop(BasePropValue &value) override;
    Nul::UString describe() override;

private:
    void fetch_databases(FetchPropResponses &out) override;
};

class CurrentUserProps : public UserPropsBase {
public:
    CurrentUserProps(LoginSession *session, CurrentUserInfo const &info);
    ~CurrentUserProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    Nul::UString describe() override;

private:
    void fetch_databases(FetchPropResponses &out) override;
    void fetch_master_replica(FetchPropResponses &out);
    Nul::UString login_;
};

class GroupProps : public PropsResource {
public:
    GroupProps(LoginSession *session, KXSmartPtr<KXGroup> const &group);
    ~GroupProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    Nul::UString describe() override;
    std::set<int> const &supported_properties() override;

private:
    KXSmartPtr<KXGroup> group_;
};

class ReplicaProps : public PropsResource {
public:
    ReplicaProps(LoginSession *session, AdReplica *replica);
    ~ReplicaProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    Nul::UString describe() override;
    std::set<int> const &supported_properties() override;

private:
    KXSmartPtr<AdReplica> replica_;
};

} // namespace KxRpc
