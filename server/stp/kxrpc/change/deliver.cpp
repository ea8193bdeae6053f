#include "change/deliver.h"

#include <string>

#include "change/database_lock.h"
#include "change/deliver_attach.h"
#include "change/validation.h"
#include "kxproduct/entity.h"
#include "kxproduct/exceptions.h"
#include "kxproduct/lists.h"
#include "kxproduct/query.h"
#include "kxproduct/session.h"
#include "kxproduct/workspace.h"
#include "target/held_items.h"
#include "target/login_session.h"
#include "target/mru_context.h"
#include "target/queryutil.h"
#include "target/target.h"
#include "target/workspace.h"
#include "tesutil/arm.h"
#include "tesutil/armbuffer.h"
#include "tesutil/critsec.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/errors.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {
// Every kind of workspace item.
constexpr int ANY_ITEM =
    AD_BUCKET_QUERY | AD_BUCKET_CHART | AD_BUCKET_FOLDER | AD_BUCKET_REPORT | AD_BUCKET_REPORT_FORMAT;

void trace_step(char const *step, DeliverOperation &op) {
    trace_lazy(1, [&] { return text_format("DeliverChangeContextResp::%s: (%s)", step, op.to_string()); });
}

// The item a handle names while it is still registered. An earlier operation of the batch that
// consumed it unregistered it: it then counts as unknown, like a handle that was never sent.
StateItem *registered(StateItemPtr const &item) {
    if (!item || lookup_pointer_entry(item->oid()) != item) return nullptr;
    return item.get();
}

// A target given by a state handle must still name a registered item.
void require_registered(GenericOpArgs &target) {
    if (!target.is_state_item_target()) return;
    StateItem *item = target.state_item_or_fail();
    StateItemPtr current = lookup_pointer_entry(item->oid());
    if (current.get() != item) raise_cast_failure(Nul::UMessage::Arg(L"non-null"));
}

// An operation consumes its state item: unregistered first; the last holder destroys it.
void consume(StateItem *item) { remove_pointer_entry(item->oid()); }

Nul::UString record_key(AdEntityPtr const &record) {
    return text_format("%s/%s", Nul::UString(std::to_wstring(record->GetEntityDef()->GetDbId())),
                       Nul::UString(std::to_wstring(record->GetDbId())));
}

// The ARM transaction of one operation, when ARM is on and the call runs inside one.
class OperationTransaction {
public:
    OperationTransaction(DeliverChangeContextArgs &args, DeliverOperation &op) {
        if (Nul::ArmApplication::level() == 0 || !Nul::ArmPerThreadOperationStack::doing_local_operation()) return;
        Nul::ArmBuffer buffer(false);
        arm_id const no_identity{};
        buffer.add_buffer(args.arm_user_name(), false, no_identity);
        started_ = Nul::ArmPerThreadOperationStack::start_transaction(op.arm_operation_id(), &buffer, true) >= 0;
    }
    OperationTransaction(OperationTransaction const &) = delete;
    OperationTransaction &operator=(OperationTransaction const &) = delete;
    // An operation left by an exception that escaped the batch ends as failed.
    ~OperationTransaction() { stop(2, Nul::UString()); }
    void stop(int status, Nul::UString const &detail) {
        if (!started_) return;
        started_ = false;
        if (detail.empty()) {
            Nul::ArmPerThreadOperationStack::stop_transaction(status, nullptr);
            return;
        }
        Nul::ArmBuffer buffer(false);
        buffer.add_buffer(detail);
        Nul::ArmPerThreadOperationStack::stop_transaction(status, &buffer);
    }

private:
    bool started_ = false;
};

// TRUE and the result's kind, then its body.
template <class Result>
bool_t xdr_result_head(XDR *xdrs, Result const &) {
    bool_t more = TRUE;
    int kind = Result::wire_kind;
    return xdr_bool(xdrs, &more) && xdr_int(xdrs, &kind);
}

bool_t xdr_result_body(XDR *xdrs, DeliverFailure &r) { return xdr_exception(xdrs, r.exception.get()); }

bool_t xdr_result_body(XDR *xdrs, DeliverTexts &r) {
    return xdr_ustring(xdrs, r.key) && xdr_ustring(xdrs, r.message, max_wire_text);
}

bool_t xdr_result_body(XDR *xdrs, DeliverItems &r) {
    int count = static_cast<int>(r.items.size());
    if (!xdr_int(xdrs, &count)) return FALSE;
    for (auto &[type, dbid] : r.items) {
        Nul::UString text(std::to_wstring(dbid));
        if (!xdr_int(xdrs, &type) || !xdr_ustring(xdrs, text)) return FALSE;
    }
    return TRUE;
}

bool_t xdr_result(XDR *xdrs, DeliverResult &result) {
    return std::visit([xdrs](auto &r) { return xdr_result_head(xdrs, r) && xdr_result_body(xdrs, r); }, result);
}

// The product work of one batch, one operation at a time.
class Batch {
public:
    explicit Batch(DeliverChangeContextArgs &args) : args_(&args) {}
    // One operation; raises the operation's failure as an exception of the server's family.
    DeliverResult perform(DeliverOperation &op);

private:
    DeliverResult make_query_object(DeliverOperation &op);
    DeliverResult modify_query_object(DeliverOperation &op);
    DeliverResult delete_query_object(DeliverOperation &op);
    DeliverResult perform_record_op(DeliverOperation &op);
    DeliverResult delete_record(DeliverOperation &op);
    DeliverResult modify_dynamic_list(DeliverOperation &op);

    DeliverChangeContextArgs *args_;
    AdSession *session_ = nullptr;
};

} // namespace

Nul::CriticalSectionLock &dynamic_list_lock() {
    static Nul::CriticalSectionLock lock;
    return lock;
}

std::vector<DeliverResult> perform_batch(DeliverChangeContextArgs &args) {
    Batch batch(args);
    std::vector<DeliverResult> results;
    for (std::unique_ptr<DeliverOperation> const &entry : args.ops()) {
        DeliverOperation &op = *checked_cast<DeliverOperation>(entry.get());
        OperationTransaction transaction(args, op);
        DeliverFailure failure;
        try {
            // perform converts every failure; the unexpected one is the last line of defence.
            results.push_back(
                product_call([&] { return batch.perform(op); }, unexpected_in(L"DeliverChangeContextResp::xdr")));
        } catch (Nul::STPException const &e) {
            failure.exception.reset(e.clone());
        }
        if (failure.exception) {
            // The batch ends here; what was performed before stays committed.
            trace_stp_exception(L"DeliverChangeContextResp::xdr", *failure.exception);
            transaction.stop(2, exception_message_text(*failure.exception));
            results.emplace_back(std::move(failure));
            break;
        }
        transaction.stop(0, Nul::UString());
    }
    return results;
}

DeliverChangeContextResp::DeliverChangeContextResp(std::vector<DeliverResult> results) : results_(std::move(results)) {}

DeliverChangeContextResp::~DeliverChangeContextResp() = default;

bool_t DeliverChangeContextResp::xdr(XDR *xdrs) {
    if (xdrs->x_op != XDR_ENCODE) return FALSE;
    for (DeliverResult &result : results_) {
        if (!xdr_result(xdrs, result)) throw_marshalling_error();
    }
    bool_t end = FALSE;
    if (!xdr_bool(xdrs, &end)) throw_marshalling_error();
    return TRUE;
}

DeliverResult Batch::perform(DeliverOperation &op) {
    session_ = args_->api_session_or_fail();
    switch (op.kind()) {
    case DELIVER_MAKE_QUERY:
    case DELIVER_MAKE_QUERY_ALT: {
        Nul::CriticalSection guard(workspace_lock());
        return make_query_object(op);
    }
    case DELIVER_MODIFY_QUERY:
    case DELIVER_MODIFY_QUERY_ALT: {
        Nul::CriticalSection guard(workspace_lock());
        return modify_query_object(op);
    }
    case DELIVER_DELETE_QUERY: {
        Nul::CriticalSection guard(workspace_lock());
        return delete_query_object(op);
    }
    case DELIVER_MAKE_RECORD:
    case DELIVER_MODIFY_RECORD:
        return perform_record_op(op);
    case DELIVER_DELETE_RECORD:
        return delete_record(op);
    case DELIVER_MAKE_ATTACHMENT:
    case DELIVER_MODIFY_ATTACHMENT:
        return make_modify_attachment(op);
    case DELIVER_DELETE_ATTACHMENT:
        return delete_attachment(op, session_);
    case DELIVER_MODIFY_DYNAMIC_LIST: {
        Nul::CriticalSection guard(dynamic_list_lock());
        return modify_dynamic_list(op);
    }
    default:
        throw_implementation_error(text_format("change operations of kind %d are not served", op.kind()));
    }
}

namespace {

// A failed workspace write: message 31 with the item's path and the product's text.
[[noreturn]] void raise_query_failure(ProductFailure const &f, wchar_t const *method, Nul::UString const &path) {
    trace_caught(f, Nul::UString(method));
    throw KXInternalErrorException(
        kx_message(MSG_DELIVER_QUERY, Nul::UMessage::Arg(path), Nul::UMessage::Arg(f.text_or_unknown())));
}

CString item_data(QueryItemStateItem const &item) {
    return CString::FromUtf8(std::string(item.data(), item.data_length()));
}

// The item's group permissions onto its folder, written at once.
void commit_permissions(AdFolderPtr const &folder, QueryItemStateItem &item) {
    if (!folder) return;
    for (auto const &[group, kind] : item.permissions()) folder->SetPermissions(cstr(group), kind);
    folder->CommitPermissions();
}

// The item and, below a folder, every descendant, depth first, as (wire resource type, dbid).
void collect_items(AdWorkspaceMgrPtr const &workspace, AdBucketPtr const &bucket,
                   std::vector<std::pair<int, std::int64_t>> &into) {
    into.emplace_back(QueryUtil::bucket_wire_resource_type(bucket), bucket->GetDbId());
    for (std::int64_t child : QueryUtil::child_bucket_ids(bucket, ANY_ITEM))
        if (AdBucketPtr found = workspace->GetBucket(child)) collect_items(workspace, found, into);
}

} // namespace

DeliverResult Batch::make_query_object(DeliverOperation &base) {
    auto &op = *checked_cast<MakeQueryOperation>(&base);
    trace_step("make_query_object", op);
    auto *item = checked_cast<QueryItemStateItem>(registered(op.item_handle()));
    AdSessionPtr api(session_);
    Nul::UString const path = op.parent_path() + Nul::UString(L"/") + op.name();
    AdBucketPtr parent;
    bool personal = false;
    product_call(
        [&] { personal = QueryUtil::get_bucket_for_uri(api, op.parent_path(), parent); },
        [&](ProductFailure const &f) { raise_query_failure(f, L"DeliverChangeContextResp::make_query_object", path); });
    if (!parent)
        throw KXNotFoundException(kx_message(MSG_QUERY_NOT_FOUND, Nul::UMessage::Arg(op.parent_path())), nullptr);
    std::int64_t dbid = 0;
    product_call(
        [&] {
            CString const name = cstr(op.name());
            AdBucketPtr existing = AdBucketMgr::GetBucketByName(parent, name, ANY_ITEM, parent->GetUserId());
            if (existing && !op.overwrite())
                raise_reason(Reason::already_exists, kx_message(MSG_QUERY_EXISTS, Nul::UMessage::Arg(path)));
            // An overwritten item is replaced in the transaction that writes the new one.
            std::int64_t const owner = personal ? parent->GetUserId() : 0;
            AdWorkspaceMgrPtr workspace = GetWorkspaceMgr(api);
            AdBucketPtr made;
            if (item->has_data()) {
                made = workspace->BuildBucket(owner, name, item->item_type(), 0, parent, nullptr, item_data(*item),
                                              existing);
            } else if (op.type() == TT_QUERY_FOLDER) {
                made = workspace->BuildBucket(owner, name, AD_BUCKET_FOLDER, 0, parent, nullptr, CString(), existing);
                if (!item->permissions().empty()) commit_permissions(AdFolder::LookupFolderFromBucket(made), *item);
            } else if (op.type() == TT_REPORT) {
                KXSmartPtr<KXWorkSpaceMgr> reports = args_->session_or_fail()->user_session()->GetWorkSpace();
                dbid = reports->InsertNewReportDef(name, parent->GetDbId(), item->report_def(),
                                                   existing ? existing->GetDbId() : 0);
            } else {
                AdQueryDefPtr const &def = item->query_def();
                if (!def) throw_internal_error(Nul::UString(L"the query item holds no query definition"));
                int const type =
                    item->item_type() & (AD_BUCKET_QUERY | AD_BUCKET_CHART) ? item->item_type() : AD_BUCKET_QUERY;
                made = workspace->BuildBucket(owner, name, type, 0, parent, def->GetPrimaryEntity(),
                                              def->GetDefinition(), existing);
                if (item->is_startup()) workspace->SetStartUpBit(made->GetDbId());
            }
            if (made) {
                made->Update();
                dbid = made->GetDbId();
            }
        },
        [&](ProductFailure const &f) { raise_query_failure(f, L"DeliverChangeContextResp::make_query_object", path); });
    consume(item);
    return DeliverTexts{Nul::UString(std::to_wstring(dbid)), {}};
}

DeliverResult Batch::modify_query_object(DeliverOperation &base) {
    auto &op = *checked_cast<ModifyQueryOperation>(&base);
    trace_step("modify_query_object", op);
    auto *item = checked_cast<QueryItemStateItem>(registered(op.item_handle()));
    AdBucketPtr bucket = item->bucket();
    if (!bucket) throw_internal_error(Nul::UString(L"the query item names no stored workspace item"));
    std::int64_t const dbid = bucket->GetDbId();
    product_call(
        [&] {
            AdSessionPtr api(session_);
            switch (op.type()) {
            case TT_QUERY: {
                if (!item->query_def()) throw_internal_error(Nul::UString(L"the query item holds no query definition"));
                bucket->PutQueryDef(item->query_def());
                AdWorkspaceMgrPtr workspace = GetWorkspaceMgr(api);
                if ((AdBucketMgr::IsQueryStartUp(bucket) != FALSE) != item->is_startup()) {
                    if (item->is_startup())
                        workspace->SetStartUpBit(dbid);
                    else
                        workspace->ClearStartUpBit(dbid);
                }
                bucket->Update();
                break;
            }
            case TT_QUERY_FOLDER:
                commit_permissions(AdFolder::LookupFolderFromBucket(bucket), *item);
                break;
            case TT_REPORT:
                args_->session_or_fail()->user_session()->GetWorkSpace()->UpdateReportDef(dbid, item->report_def());
                break;
            default:
                throw_internal_error(text_format("workspace items of type %d are not changed by a batch", op.type()));
            }
        },
        [&](ProductFailure const &f) {
            raise_query_failure(f, L"DeliverChangeContextResp::modify_query_object", item->name());
        });
    consume(item);
    return DeliverTexts{Nul::UString(std::to_wstring(dbid)), {}};
}

DeliverResult Batch::delete_query_object(DeliverOperation &base) {
    auto &op = *checked_cast<DeleteQueryOperation>(&base);
    trace_step("delete_query_object", op);
    AdBucketPtr bucket;
    // A target that resolves to nothing is reported, not failed.
    ignoring_failures([&] { bucket = op.query().bucket(session_); });
    if (!bucket) return DeliverTexts{Nul::UString(L"-1"), {}};
    DeliverItems result;
    product_call(
        [&] {
            AdWorkspaceMgrPtr workspace = GetWorkspaceMgr(AdSessionPtr(session_));
            collect_items(workspace, bucket, result.items);
            AdFolderPtr folder = AdFolder::LookupFolderFromBucket(bucket);
            if (folder && !op.recursive() && result.items.size() > 1)
                raise_reason(Reason::not_applicable, kx_message(MSG_QUERY_FOLDER_NOT_EMPTY));
            if (folder) folder->RevertPermissions();
            if (!folder && AdBucketMgr::IsQueryStartUp(bucket)) workspace->ClearStartUpBit(bucket->GetDbId());
            AdBucketMgr::DeleteBucket(bucket);
        },
        [](ProductFailure const &f) {
            trace_caught(f, Nul::UString(L"DeliverChangeContextResp::delete_query_object"));
            throw KXInternalErrorException(kx_message(MSG_DELETE_QUERY, Nul::UMessage::Arg(f.text)));
        });
    return result;
}

DeliverResult Batch::perform_record_op(DeliverOperation &base) {
    auto &op = *checked_cast<RecordOperation>(&base);
    trace_step("perform_record_op", op);
    auto *item = checked_cast<RecordStateItem>(registered(op.record_handle()));
    AdEntityPtr record = item->entity();
    // Hook values of a multi-modify batch are kept apart while an edited record commits.
    std::unique_ptr<MRU_context> mru;
    if (op.kind() == DELIVER_MODIFY_RECORD) mru = std::make_unique<MRU_context>(record);
    throw_invalid_fields(validate_record(record, session_));
    Nul::UString text;
    product_call([&] { text = ustr(record->Commit()); },
                 [](ProductFailure const &f) {
                     // The record keeps its edits and its handle: the client may correct it and deliver again.
                     trace_caught(f, Nul::UString(L"DeliverChangeContextResp::perform_record_op"));
                     Nul::UMessage message = kx_message(MSG_SAVE_RECORD, Nul::UMessage::Arg(f.text));
                     if (f.kind == ProductFailure::OTHER) throw KXInternalErrorException(message);
                     if (f.msg_id == KX_MSG_RECORD_CHANGED) raise_reason(Reason::record_changed, message);
                     throw KXConflictException(message);
                 });
    if (!text.empty())
        trace_lazy(1, [&] {
            return text_format("DeliverChangeContextResp::perform_record_op: Entity Commit Msg: (%s)", text);
        });
    Nul::UString key = record_key(record);
    consume(item);
    return DeliverTexts{std::move(key), text};
}

DeliverResult Batch::delete_record(DeliverOperation &base) {
    auto &op = *checked_cast<DeleteRecordOperation>(&base);
    trace_step("delete_record", op);
    require_registered(op.record());
    AdEntityPtr record = op.record().record(session_);
    AdActionDef *action = op.action().action_def(session_);
    MRU_context mru(record);
    product_call([&] { DeleteEntity(AdSessionPtr(session_), record, action); },
                 [](ProductFailure const &f) {
                     trace_caught(f, Nul::UString(L"DeliverChangeContextResp::delete_record"));
                     throw KXInternalErrorException(kx_message(MSG_DELIVER_RECORD, Nul::UMessage::Arg(f.text)));
                 });
    return DeliverTexts{record_key(record), {}};
}

DeliverResult Batch::modify_dynamic_list(DeliverOperation &base) {
    auto &op = *checked_cast<ModifyDynamicListOperation>(&base);
    trace_step("modify_dynamic_list", op);
    AdListDef *def = op.list().target().dynamic_choice_list(session_);
    product_call(
        [&] {
            KXSmartPtr<AdListMgr> lists = AdListMgr::Get(AdSessionPtr(session_));
            KXSmartPtr<AdDynamicList> list = lists->LookupList(def->GetName());
            if (!list) throw KXInternalErrorException(kx_message(MSG_NO_DYNAMIC_LISTS));
            // The changes gather in the list and are written once: an interruption never leaves the
            // list emptied or half changed.
            if (op.remove_all()) {
                list->SetMembers({});
            } else {
                for (Nul::UString const &value : op.values_to_delete()) list->DeleteMember(cstr(value));
            }
            for (Nul::UString const &value : op.values_to_add()) list->AddMember(cstr(value));
            list->Commit();
        },
        [](ProductFailure const &f) {
            trace_caught(f, Nul::UString(L"DeliverChangeContextResp::modify_dynamic_list"));
            if (f.msg_id == KX_MSG_NO_LIST_PRIVILEGE)
                raise_reason(Reason::refused, kx_message(MSG_INSUFFICIENT_PRIVILEGE, Nul::UMessage::Arg(f.text)));
            throw KXInternalErrorException(kx_message(MSG_EDIT_LIST, Nul::UMessage::Arg(f.text)));
        });
    return DeliverTexts{Nul::UString(std::to_wstring(def->GetDbId())), {}};
}

std::unique_ptr<XdrObject> kxrpc_deliver_change_context(XdrObject *request) {
    auto *args = checked_cast<DeliverChangeContextArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_deliver_change_context %s)", args->describe()); });
    check_user_database_unlocked(args->api_session_or_fail());
    return std::make_unique<DeliverChangeContextResp>(perform_batch(*args));
}

} // namespace KxRpc
