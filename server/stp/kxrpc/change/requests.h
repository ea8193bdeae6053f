// Requests that act on one record or resource of a change: validation, reverting, hooks and
// script aliases, and the reply of a script alias.
#pragma once

#include <rpc/xdr.h>
#include <memory>
#include <vector>

#include "tesutil/ustring.h"
#include "target/genericop.h"
#include "target/requests.h"
#include "wire/xdrobject.h"

namespace KxRpc {

class RecordStateItem;

class ValidateRecordPropsArgs : public TargetOpArgs {
public:
    ~ValidateRecordPropsArgs() override;
    Nul::UString trace_line() override { return session_and_target(); }
};

class RevertRecordArgs : public TargetOpArgs {
public:
    ~RevertRecordArgs() override;
    virtual Nul::UString describe() { return session_and_target(); }
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
    // The target's temporary record; an internal error when the target names none.
    std::shared_ptr<RecordStateItem> temporary_record();

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
    // The record of the target's temporary record, or the stored record it names.
    AdEntityPtr record(AdSession *session);

private:
    GenericOpArgs action_;
    Nul::UString form_name_;
    Nul::UString tab_name_;
};

// One string.
class FireScriptAliasResp : public XdrObject {
public:
    explicit FireScriptAliasResp(Nul::UString const &result);
    ~FireScriptAliasResp() override;
    bool_t xdr(XDR *xdrs) override;

private:
    Nul::UString result_;
};

} // namespace KxRpc
