#include "wire/conversions.h"
#include "change/create_temp.h"

#include <memory>

#include "change/create_temp_items.h"
#include "change/database_lock.h"
#include "change/new_resources.h"
#include "kxproduct/exceptions.h"
#include "kxproduct/session.h"
#include "kxwin/cexception.h"
#include "props/recordprops.h"
#include "props/replies.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"
#include "wire/textfmt.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

enum : int {
    R_BAD_REQUEST = 4,
    R_INVALID_TARGET = 31,
    R_NO_ACTION = 81,
};

constexpr wchar_t const *record_method = L"kxrpc_create_temp_record";

[[noreturn]] void refuse(int code, Nul::UMessage const &message = Nul::UMessage::nil) {
    throw Nul::STPException(reason(code), message);
}

AdActionDef *requested_action(CreateTempArgs &args, AdEntityPtr const &record) {
    if (args.has_action()) {
        try {
            return args.action_def();
        } catch (KXNotFoundException const &e) {
            trace_lazy(1, [&] {
                return text_format("Exception: NotFoundException is caught kxrpc_create_temp_record(%s)",
                                   exception_message_text(e));
            });
            refuse(R_NO_ACTION);
        }
    }
    AdActionDef *modify = record->GetEntityDef()->LookupActionDef(static_cast<int>(AD_ACTION_MODIFY));
    if (modify == nullptr) {
        trace_info(record_method, L"action def is zero!");
        refuse(R_NO_ACTION);
    }
    return modify;
}

// Starts the action on the record when `open`; the kind of action is checked either way.
void start_action(CreateTempArgs &args, AdEntityPtr const &record, AdActionDef *action, bool open) {
    MRU_context mru(record);
    switch (action->GetActionType()) {
    case AD_ACTION_MODIFY:
    case AD_ACTION_CHANGE_STATE:
        if (open) EditEntity(record, action);
        return;
    case AD_ACTION_DUPLICATE: {
        AdEntityPtr original = args.duplicate_record();
        if (!original) {
            trace_info(record_method, L"can't get duplicate ptr!");
            refuse(R_BAD_REQUEST, kx_message(MSG_DUPLICATE_NEEDS_RECORD));
        }
        if (open) MarkEntityAsDuplicate(record, original, action->GetName());
        return;
    }
    case AD_ACTION_UNDUPLICATE:
        if (open) UnmarkEntityAsDuplicate(record, action->GetName());
        return;
    default:
        trace_info(record_method, L"msg action not supported for modify!");
        refuse(R_BAD_REQUEST, kx_message(MSG_ACTION_NOT_FOR_MODIFY, ustr(action->GetActionTypeName())));
    }
}

} // namespace

CreateTempResp *kxrpc_create_temp_record(CreateTempArgs &args) {
    try {
        AdSession *session = args.api_session_or_fail();
        AdEntityPtr record = args.record(session);
        AdActionDef *action = requested_action(args, record);
        bool const open = database_and_edit_check(session, record, action);
        start_action(args, record, action, open);
        // Only the item that opened the record owns the edit: a second handle on a record
        // already being edited must not revert the first one's changes when it is deleted.
        auto item = std::make_shared<RecordStateItem>(record, open);
        RecordNameIdFetcher texts(record);
        return new CreateTempResp(item, texts.name_text(), texts.id_text());
    } catch (Nul::STPException const &e) {
        trace_lazy(1, [&] {
            return text_format("Exception: STPExcepton is caught in kxrpc_create_temp_record(%s)",
                               exception_message_text(e));
        });
        throw;
    } catch (...) {
        Nul::UString text = take_product_failure_text();
        trace_lazy(1, [&] {
            return text_format("Exception: PaMsgException is caught in kxrpc_create_temp_record(%s)", text);
        });
        throw KXConflictException(kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, text));
    }
}

bool kxrpc_create_temp(XdrObject *request, XdrObject **result) {
    auto *args = checked_cast<CreateTempArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_create_temp %s)", args->trace_line()); });
    switch (args->resource_type()) {
    case TT_RECORD:
        *result = kxrpc_create_temp_record(*args);
        return true;
    case TT_QUERY:
    case TT_QUERY_FOLDER:
    case TT_REPORT:
    case TT_ATTACHMENT:
        *result = create_temp_item(*args);
        return true;
    default:
        trace_info(L"kxrpc_create_temp", L"invalid arg type!");
        refuse(R_INVALID_TARGET);
    }
}

} // namespace KxRpc
