// Requests that act on one record or resource of a change: validation, reverting, hooks and
// script aliases, and the reply of a script alias.
#pragma once

#include <memory>
#include <rpc/xdr.h>
#include <vector>

#include "target/genericop.h"
#include "target/requests.h"
#include "target/target.h"
#include "tesutil/ustring.h"
#include "wire/xdrobject.h"

namespace KxRpc {

class RecordStateItem;

// Session header, target.
class ValidateRecordPropsArgs : public TargetOpArgs {
public:
    ~ValidateRecordPropsArgs() override;
    Nul::UString trace_line() { return session_and_target(); }
};

// Session header, target.
class RevertRecordArgs : public TargetOpArgs {
public:
    ~RevertRecordArgs() override;
    Nul::UString describe() { return session_and_target(); }
};

class ValidateActionArgs : public TargetOpArgs {
public:
    ~ValidateActionArgs() override;
    Nul::UString describe();
    GenericOpArgs &action() { return action_; }
    int action_type() const { return action_type_; }

protected:
    // Session header, the record, the action, and the action type.
    bool_t decode(XDR *xdrs) override;

private:
    GenericOpArgs action_;
    int action_type_ = 0;
};

class FireHookArgs : public TargetOpArgs {
public:
    ~FireHookArgs() override;
    Nul::UString describe();
    GenericOpArgs &hook() { return hook_; }
    Nul::UString param() const { return param_; }
    bool get_side_effects() const { return get_side_effects_; }
    // A global hook is used by its name only.
    bool hook_given_by_name() const { return hook_.resource_type() == TT_GLOBAL_HOOK; }
    Nul::UString hook_name() const { return hook_.target().hook_name(); }
    Nul::UString form_name() const { return form_name_; }
    Nul::UString tab_name() const { return tab_name_; }
    // The target's temporary record; an internal error when the target names none.
    std::shared_ptr<RecordStateItem> temporary_record();

protected:
    // Session header, target, hook, param, get_side_effects, form name, tab name.
    bool_t decode(XDR *xdrs) override;

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
    Nul::UString describe();
    GenericOpArgs &action() { return action_; }
    Nul::UString form_name() const { return form_name_; }
    Nul::UString tab_name() const { return tab_name_; }
    // The record of the target's temporary record, or the stored record it names.
    AdEntityPtr record(AdSession *session);

protected:
    // Session header, target, action, form name, tab name.
    bool_t decode(XDR *xdrs) override;

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
