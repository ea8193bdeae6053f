// resolve_type, create_temp and mkresource: their requests and replies, and the name and id texts
// of a new record for the mkresource reply.
#pragma once

#include <memory>

#include "props/replies.h"
#include "props/requests.h"
#include "target/genericop.h"
#include "target/requests.h"
#include "wire/handles.h"
#include "wire/xdrobject.h"

namespace KxRpc {

// Session header, target.
class ResolveTypeArg : public TargetOpArgs {
public:
    ResolveTypeArg();
    ~ResolveTypeArg() override;
    // The target's ARM text in the request's user session.
    Nul::UString arm_target_uri() override;
    Nul::UString trace_line() { return describe(); }
    // "%s :: %s": the session line and the target line.
    Nul::UString describe() { return session_and_target(); }
};

// Encode only: the kind of the workspace item (a resource tag id), its path and its dbid text.
class ResolveTypeResp : public XdrObject {
public:
    ResolveTypeResp(int type_code, Nul::UString const &uri_path, Nul::UString const &dbid_text);
    ~ResolveTypeResp() override;
    bool_t xdr(XDR *xdrs) override;

private:
    int type_code_;
    Nul::UString uri_path_;
    Nul::UString dbid_text_;
};

class CreateTempArgs : public TargetOpArgs {
public:
    CreateTempArgs();
    ~CreateTempArgs() override;
    Nul::UString arm_target_uri() override;
    Nul::UString trace_line() { return describe(); }
    Nul::UString describe();

    bool has_action() const { return has_action_; }
    bool has_duplicate() const { return has_duplicate_; }
    // The action definition of the action target, in the request's session.
    AdActionDef *action_def();
    // Null unless a duplicate was asked for: the record of a record state item, or the record
    // the duplicate target addresses.
    AdEntityPtr duplicate_record();
    GenericOpArgs &action() { return action_; }
    GenericOpArgs &duplicate() { return duplicate_; }

protected:
    // Session header, a target, then an optional action target and an optional record to
    // duplicate.
    bool_t decode(XDR *xdrs) override;

private:
    bool has_action_ = false;
    GenericOpArgs action_;
    bool has_duplicate_ = false;
    GenericOpArgs duplicate_;
};

// Encode only: the state handle of the temporary object (registered on first send), then the two
// texts that name it.
class CreateTempResp : public XdrObject {
public:
    CreateTempResp(StateItemPtr const &item, Nul::UString const &name, Nul::UString const &id);
    ~CreateTempResp() override;
    bool_t xdr(XDR *xdrs) override;
    StateItemPtr const &item() const { return item_; }

private:
    StateItemPtr item_;
    Nul::UString name_;
    Nul::UString id_;
};

// The name and id texts of a newly made resource.
class NameIdFetcher {
public:
    virtual ~NameIdFetcher();
    virtual Nul::UString name_text() = 0;
    virtual Nul::UString id_text() = 0;
};

class RecordNameIdFetcher : public NameIdFetcher {
public:
    explicit RecordNameIdFetcher(AdEntityPtr const &record);
    ~RecordNameIdFetcher() override;
    // The record type's name, "/", the record's name as a selector segment.
    Nul::UString name_text() override;
    // The record type's dbid, "/", the record's dbid.
    Nul::UString id_text() override;

private:
    AdEntityPtr record_;
};

// The mkresource reply: the new resource's state handle, the results of its property values, then
// for a record its name and id texts.
class CreateResourceResp : public PutPropsIter {
public:
    // `name_id` is null for resources other than records.
    CreateResourceResp(std::unique_ptr<PropsResource> resource, PropValues const &values, bool register_callback,
                       StateItemPtr const &item, std::unique_ptr<NameIdFetcher> name_id);
    ~CreateResourceResp() override;
    // Applies the values, then reads the name and id texts (the puts may rename the record), so
    // that writing the reply makes no product call.
    void finish();
    bool_t xdr(XDR *xdrs) override;
    StateItemPtr const &item() const { return item_; }

private:
    StateItemPtr item_;
    std::unique_ptr<NameIdFetcher> name_id_;
    bool finished_ = false;
    bool named_ = false;
    Nul::UString name_, id_;
};

class CreateResourceArgs : public PutPropsArgs {
public:
    CreateResourceArgs();
    ~CreateResourceArgs() override;
    // "(has_parent:%s :: full_name:%s :: m_parent: (%s) (%s))".
    Nul::UString describe();
    int resource_type() const { return new_type_; }
    bool has_parent() const { return has_parent_; }
    // The parent folder in the request's session.
    AdBucketPtr parent_bucket() { return parent_.bucket(api_session_or_fail()); }
    Nul::UString full_name() const { return full_name_; }

protected:
    // The props header, the target, the type of the new resource, an optional parent folder, the
    // full name (not sent for records), then the values to put.
    bool_t decode(XDR *xdrs) override;

private:
    int new_type_ = 0;
    bool has_parent_ = false;
    GenericOpArgs parent_;
    Nul::UString full_name_;
};

} // namespace KxRpc
