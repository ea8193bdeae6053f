// deliver_change_context: the request and the operations of a change batch, as decoded. Each
// operation holds its operands as decoded objects; a handle of the wrong kind of state item is
// refused when the operand is used, never while decoding.
#pragma once

#include <memory>
#include <vector>

#include <rpc/xdr.h>

#include "target/genericop.h"
#include "target/requests.h"
#include "tesutil/armbuffer.h"
#include "tesutil/ustring.h"
#include "wire/casts.h"
#include "wire/handles.h"
#include "wire/xdrobject.h"

namespace KxRpc {

class AttachmentStateItem;
class QueryItemStateItem;
class RecordStateItem;

// The operation kinds of a change batch.
enum DeliverKind : int {
    DELIVER_MAKE_QUERY = 0,
    DELIVER_MAKE_QUERY_ALT = 1,
    DELIVER_MODIFY_QUERY = 2,
    DELIVER_MODIFY_QUERY_ALT = 3,
    DELIVER_DELETE_QUERY = 4,
    DELIVER_MAKE_RECORD = 5,
    DELIVER_MODIFY_RECORD = 6,
    DELIVER_DELETE_RECORD = 7,
    DELIVER_MAKE_ATTACHMENT = 8,
    DELIVER_MODIFY_ATTACHMENT = 9,
    DELIVER_DELETE_ATTACHMENT = 10,
    DELIVER_MODIFY_DYNAMIC_LIST = 11,
};

class DeliverOperation : public XdrObject {
public:
    explicit DeliverOperation(int kind) : kind_(kind) {}
    DeliverOperation(DeliverOperation const &) = delete;
    DeliverOperation &operator=(DeliverOperation const &) = delete;
    ~DeliverOperation() override;
    // Decode only: the operands of the kind.
    bool_t xdr(XDR *xdrs) override = 0;
    // The id of the kind's registered commit transaction.
    virtual arm_id const &arm_operation_id() const = 0;
    // "op:%d"; every operation's text ends with it.
    virtual Nul::UString to_string();

    int kind() const { return kind_; }

protected:
    int kind_;
};

// A new operation of that kind with nothing decoded yet, charged to the call's decode budget (null
// past it); a kind outside 0..11 raises reason 40 with no message.
std::unique_ptr<DeliverOperation> make_deliver_operation(int kind);

// Kinds 0 and 1: a new query, report or folder from a query item state item.
class MakeQueryOperation : public DeliverOperation {
public:
    using DeliverOperation::DeliverOperation;
    ~MakeQueryOperation() override;
    bool_t xdr(XDR *xdrs) override;
    arm_id const &arm_operation_id() const override;
    Nul::UString to_string() override;

    Nul::UString const &parent_path() const { return parent_path_; }
    Nul::UString const &name() const { return name_; }
    StateItemPtr const &item_handle() const { return item_; }
    // Refuses a missing item or one of another kind.
    QueryItemStateItem *item() const;
    int type() const { return type_; }
    bool overwrite() const { return overwrite_; }

private:
    Nul::UString parent_path_;
    Nul::UString name_;
    StateItemPtr item_;
    int type_ = 0;
    bool overwrite_ = false;
};

// Kinds 2 and 3: an existing workspace item edited through its query item state item.
class ModifyQueryOperation : public DeliverOperation {
public:
    using DeliverOperation::DeliverOperation;
    ~ModifyQueryOperation() override;
    bool_t xdr(XDR *xdrs) override;
    arm_id const &arm_operation_id() const override;
    Nul::UString to_string() override;

    StateItemPtr const &item_handle() const { return item_; }
    QueryItemStateItem *item() const;
    int type() const { return type_; }

private:
    StateItemPtr item_;
    int type_ = 0;
};

// Kind 4.
class DeleteQueryOperation : public DeliverOperation {
public:
    using DeliverOperation::DeliverOperation;
    ~DeleteQueryOperation() override;
    bool_t xdr(XDR *xdrs) override;
    arm_id const &arm_operation_id() const override;
    Nul::UString to_string() override;

    GenericOpArgs &query() { return query_; }
    bool recursive() const { return recursive_; }

private:
    GenericOpArgs query_;
    bool recursive_ = false;
};

// Kinds 5 (a new record) and 6 (an edited one): commit of a record state item.
class RecordOperation : public DeliverOperation {
public:
    using DeliverOperation::DeliverOperation;
    ~RecordOperation() override;
    bool_t xdr(XDR *xdrs) override;
    arm_id const &arm_operation_id() const override;
    Nul::UString to_string() override;

    StateItemPtr const &record_handle() const { return record_; }
    RecordStateItem *record() const;

private:
    StateItemPtr record_;
};

// Kind 7: the record and the delete action.
class DeleteRecordOperation : public DeliverOperation {
public:
    using DeliverOperation::DeliverOperation;
    ~DeleteRecordOperation() override;
    bool_t xdr(XDR *xdrs) override;
    arm_id const &arm_operation_id() const override;
    Nul::UString to_string() override;

    GenericOpArgs &record() { return record_; }
    GenericOpArgs &action() { return action_; }

private:
    GenericOpArgs record_;
    GenericOpArgs action_;
};

// Kinds 8 (add) and 9 (new description): an attachment state item of a record state item.
class MakeModifyAttachmentOperation : public DeliverOperation {
public:
    using DeliverOperation::DeliverOperation;
    ~MakeModifyAttachmentOperation() override;
    bool_t xdr(XDR *xdrs) override;
    arm_id const &arm_operation_id() const override;
    Nul::UString to_string() override;

    StateItemPtr const &record_handle() const { return record_; }
    StateItemPtr const &attachment_handle() const { return attachment_; }
    RecordStateItem *record() const;
    AttachmentStateItem *attachment() const;

private:
    StateItemPtr record_;
    StateItemPtr attachment_;
};

// Kind 10.
class DeleteAttachmentOperation : public DeliverOperation {
public:
    using DeliverOperation::DeliverOperation;
    ~DeleteAttachmentOperation() override;
    bool_t xdr(XDR *xdrs) override;
    arm_id const &arm_operation_id() const override;
    Nul::UString to_string() override;

    GenericOpArgs &attachment() { return attachment_; }

private:
    GenericOpArgs attachment_;
};

// Kind 11: values to delete (or all of them), then values to add.
class ModifyDynamicListOperation : public DeliverOperation {
public:
    using DeliverOperation::DeliverOperation;
    ~ModifyDynamicListOperation() override;
    bool_t xdr(XDR *xdrs) override;
    arm_id const &arm_operation_id() const override;
    Nul::UString to_string() override;

    GenericOpArgs &list() { return list_; }
    bool remove_all() const { return remove_all_; }
    std::vector<Nul::UString> const &values_to_delete() const { return to_delete_; }
    std::vector<Nul::UString> const &values_to_add() const { return to_add_; }

private:
    GenericOpArgs list_;
    bool remove_all_ = false;
    std::vector<Nul::UString> to_delete_;
    std::vector<Nul::UString> to_add_;
};

class DeliverChangeContextArgs : public SessionArg {
public:
    using Operations = std::vector<std::unique_ptr<DeliverOperation>>;

    DeliverChangeContextArgs();
    DeliverChangeContextArgs(DeliverChangeContextArgs const &) = delete;
    DeliverChangeContextArgs &operator=(DeliverChangeContextArgs const &) = delete;
    ~DeliverChangeContextArgs() override;
    // "dbset/userdb" of the session's database; empty without a user session.
    Nul::UString arm_target_uri() override;
    // "%s :: (ops_size:%d)".
    Nul::UString describe();

    Operations const &ops() const { return ops_; }
    std::size_t ops_size() const { return ops_.size(); }

protected:
    // Session header, then entries of (more, kind, operands) until more is FALSE.
    bool_t decode(XDR *xdrs) override;

private:
    Operations ops_;
};

} // namespace KxRpc
