#include "change/deliverops.h"

#include <memory>

#include "kxproduct/session.h"
#include "target/attachments.h"
#include "target/held_items.h"
#include "target/login_session.h"
#include "tesutil/arm.h"
#include "tesutil/stpexception.h"
#include "wire/conversions.h"
#include "wire/decode_budget.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

using Registrar = Nul::ArmApplication::OperationRegistrar;

// Registered with the application in this order when ARM starts.
Registrar make_query_commit(Nul::UString(L"make_query_commit"));
Registrar modify_query_commit(Nul::UString(L"modify_query_commit"));
Registrar delete_query_commit(Nul::UString(L"delete_query_commit"));
Registrar make_record_commit(Nul::UString(L"make_record_commit"));
Registrar modify_record_commit(Nul::UString(L"modify_record_commit"));
Registrar delete_record_commit(Nul::UString(L"delete_record_commit"));
Registrar make_attachment_commit(Nul::UString(L"make_attachment_commit"));
Registrar modify_attachment_commit(Nul::UString(L"modify_attachment_commit"));
Registrar delete_attachment_commit(Nul::UString(L"delete_attachment_commit"));
Registrar modify_dynamic_list_commit(Nul::UString(L"modify_dynamic_list_commit"));

Nul::UString handle_text(StateItemPtr const &item) { return item ? item->oid().dense_str() : Nul::UString(L"NULL"); }

// Operations are only ever read from the wire.
bool decoding(XDR *xdrs) { return xdrs->x_op == XDR_DECODE; }

// A target may hold a product object it resolved; releasing it talks to the product, which
// must not fail a destructor.
void release(GenericOpArgs &target) {
    ignoring_failures([&] { target = GenericOpArgs(); });
}

// `count` strings appended one by one: room grows with what actually arrived.
bool_t xdr_values(XDR *xdrs, int count, std::vector<Nul::UString> &values) {
    for (int i = 0; i < count; ++i) {
        Nul::UString value;
        if (!xdr_ustring(xdrs, value, max_wire_text) || !keep_decoded(values, std::move(value))) return FALSE;
    }
    return TRUE;
}

} // namespace

// ---- DeliverOperation

DeliverOperation::~DeliverOperation() = default;

Nul::UString DeliverOperation::to_string() { return text_format("op:%d", kind_); }

namespace {

// An operation charged to the call's decode budget before it is made; null past the budget.
template <class Operation>
std::unique_ptr<DeliverOperation> charged(int kind) {
    if (!charge_decoded(heap_cost(sizeof(Operation)))) return nullptr;
    return std::make_unique<Operation>(kind);
}

} // namespace

std::unique_ptr<DeliverOperation> make_deliver_operation(int kind) {
    switch (kind) {
    case DELIVER_MAKE_QUERY:
    case DELIVER_MAKE_QUERY_ALT:
        return charged<MakeQueryOperation>(kind);
    case DELIVER_MODIFY_QUERY:
    case DELIVER_MODIFY_QUERY_ALT:
        return charged<ModifyQueryOperation>(kind);
    case DELIVER_DELETE_QUERY:
        return charged<DeleteQueryOperation>(kind);
    case DELIVER_MAKE_RECORD:
    case DELIVER_MODIFY_RECORD:
        return charged<RecordOperation>(kind);
    case DELIVER_DELETE_RECORD:
        return charged<DeleteRecordOperation>(kind);
    case DELIVER_MAKE_ATTACHMENT:
    case DELIVER_MODIFY_ATTACHMENT:
        return charged<MakeModifyAttachmentOperation>(kind);
    case DELIVER_DELETE_ATTACHMENT:
        return charged<DeleteAttachmentOperation>(kind);
    case DELIVER_MODIFY_DYNAMIC_LIST:
        return charged<ModifyDynamicListOperation>(kind);
    default:
        raise_reason(Reason::internal_error);
    }
}

// ---- queries

MakeQueryOperation::~MakeQueryOperation() = default;

bool_t MakeQueryOperation::xdr(XDR *xdrs) {
    return decoding(xdrs) && xdr_ustring(xdrs, parent_path_) && xdr_ustring(xdrs, name_) &&
           xdr_state_handle(xdrs, item_) && xdr_int(xdrs, &type_) && xdr_flag(xdrs, overwrite_);
}

arm_id const &MakeQueryOperation::arm_operation_id() const { return make_query_commit; }

QueryItemStateItem *MakeQueryOperation::item() const { return checked_cast<QueryItemStateItem>(item_.get()); }

Nul::UString MakeQueryOperation::to_string() {
    return text_format("parant:%s :: name:%s :: item:%s :: type:%d :: overwite:%s :: %s", parent_path_, name_,
                       handle_text(item_), type_, tf(overwrite_), DeliverOperation::to_string());
}

ModifyQueryOperation::~ModifyQueryOperation() = default;

bool_t ModifyQueryOperation::xdr(XDR *xdrs) {
    return decoding(xdrs) && xdr_state_handle(xdrs, item_) && xdr_int(xdrs, &type_);
}

arm_id const &ModifyQueryOperation::arm_operation_id() const { return modify_query_commit; }

QueryItemStateItem *ModifyQueryOperation::item() const { return checked_cast<QueryItemStateItem>(item_.get()); }

Nul::UString ModifyQueryOperation::to_string() {
    return text_format("item:%s :: type:%d :: %s", handle_text(item_), type_, DeliverOperation::to_string());
}

DeleteQueryOperation::~DeleteQueryOperation() { release(query_); }

bool_t DeleteQueryOperation::xdr(XDR *xdrs) {
    return decoding(xdrs) && xdr_target(xdrs, query_) && xdr_flag(xdrs, recursive_);
}

arm_id const &DeleteQueryOperation::arm_operation_id() const { return delete_query_commit; }

Nul::UString DeleteQueryOperation::to_string() {
    return text_format("query:(%s) :: recursive:%s :: %s)", query_.trace_line(), tf(recursive_),
                       DeliverOperation::to_string());
}

// ---- records

RecordOperation::~RecordOperation() = default;

bool_t RecordOperation::xdr(XDR *xdrs) { return decoding(xdrs) && xdr_state_handle(xdrs, record_); }

arm_id const &RecordOperation::arm_operation_id() const {
    return kind_ == DELIVER_MAKE_RECORD ? make_record_commit : modify_record_commit;
}

RecordStateItem *RecordOperation::record() const { return checked_cast<RecordStateItem>(record_.get()); }

Nul::UString RecordOperation::to_string() {
    return text_format("item:%s :: %s", handle_text(record_), DeliverOperation::to_string());
}

DeleteRecordOperation::~DeleteRecordOperation() {
    release(action_);
    release(record_);
}

bool_t DeleteRecordOperation::xdr(XDR *xdrs) {
    return decoding(xdrs) && xdr_target(xdrs, record_) && xdr_target(xdrs, action_);
}

arm_id const &DeleteRecordOperation::arm_operation_id() const { return delete_record_commit; }

Nul::UString DeleteRecordOperation::to_string() {
    return text_format("rec:(%s) :: action:(%s) :: %s)", record_.trace_line(), action_.trace_line(),
                       DeliverOperation::to_string());
}

// ---- attachments

MakeModifyAttachmentOperation::~MakeModifyAttachmentOperation() = default;

bool_t MakeModifyAttachmentOperation::xdr(XDR *xdrs) {
    return decoding(xdrs) && xdr_state_handle(xdrs, record_) && xdr_state_handle(xdrs, attachment_);
}

arm_id const &MakeModifyAttachmentOperation::arm_operation_id() const {
    return kind_ == DELIVER_MAKE_ATTACHMENT ? make_attachment_commit : modify_attachment_commit;
}

RecordStateItem *MakeModifyAttachmentOperation::record() const { return checked_cast<RecordStateItem>(record_.get()); }

AttachmentStateItem *MakeModifyAttachmentOperation::attachment() const {
    return checked_cast<AttachmentStateItem>(attachment_.get());
}

Nul::UString MakeModifyAttachmentOperation::to_string() {
    return text_format("item:%s :: rec_item:%s :: %s", handle_text(attachment_), handle_text(record_),
                       DeliverOperation::to_string());
}

DeleteAttachmentOperation::~DeleteAttachmentOperation() { release(attachment_); }

bool_t DeleteAttachmentOperation::xdr(XDR *xdrs) { return decoding(xdrs) && xdr_target(xdrs, attachment_); }

arm_id const &DeleteAttachmentOperation::arm_operation_id() const { return delete_attachment_commit; }

Nul::UString DeleteAttachmentOperation::to_string() {
    return text_format("attach:%s :: %s", attachment_.trace_line(), DeliverOperation::to_string());
}

// ---- dynamic lists

ModifyDynamicListOperation::~ModifyDynamicListOperation() { release(list_); }

bool_t ModifyDynamicListOperation::xdr(XDR *xdrs) {
    if (!decoding(xdrs)) return FALSE;
    try {
        if (!xdr_target(xdrs, list_)) return FALSE;
        int to_delete = 0;
        if (!xdr_int(xdrs, &to_delete)) return FALSE;
        remove_all_ = to_delete == -1;
        if (!remove_all_) {
            if (to_delete < 0 || to_delete > max_wire_list_count) return FALSE;
            if (!xdr_values(xdrs, to_delete, to_delete_)) return FALSE;
        }
        int to_add = 0;
        return xdr_list_count(xdrs, to_add) && xdr_values(xdrs, to_add, to_add_);
    } catch (...) {
        return hold_failure(xdrs, L"ModifyDynamicListOperation::xdr");
    }
}

arm_id const &ModifyDynamicListOperation::arm_operation_id() const { return modify_dynamic_list_commit; }

Nul::UString ModifyDynamicListOperation::to_string() {
    return text_format("list:(%s) :: remove_all:%s :: %s", list_.trace_line(), tf(remove_all_),
                       DeliverOperation::to_string());
}

// ---- the request

DeliverChangeContextArgs::DeliverChangeContextArgs() = default;

DeliverChangeContextArgs::~DeliverChangeContextArgs() = default;

Nul::UString DeliverChangeContextArgs::arm_target_uri() {
    AdSession *api = session_or_fail()->session();
    if (api == nullptr) return Nul::UString();
    KXSmartPtr<KXDatabaseDesc> db = api->GetSessionDatabase();
    if (!db) return Nul::UString();
    return ustr(db->GetDatabaseSetName()) + Nul::UString(L"/") + ustr(db->GetDatabaseName());
}

bool_t DeliverChangeContextArgs::decode(XDR *xdrs) {
    if (!xdr_session_header(xdrs)) return FALSE;
    for (;;) {
        bool more = false;
        if (!xdr_flag(xdrs, more)) return FALSE;
        if (!more) return TRUE;
        int kind = 0;
        if (!xdr_int(xdrs, &kind)) return FALSE;
        std::unique_ptr<DeliverOperation> op = make_deliver_operation(kind);
        if (!op || !op->xdr(xdrs) || !keep_decoded(ops_, std::move(op))) return FALSE;
    }
}

Nul::UString DeliverChangeContextArgs::describe() {
    return text_format("%s :: (ops_size:%d)", SessionArg::trace_line(), static_cast<int>(ops_.size()));
}

} // namespace KxRpc
