#include "change/create_temp.h"
#include "wire/conversions.h"

#include <memory>

#include "change/create_temp_items.h"
#include "change/database_lock.h"
#include "change/new_resources.h"
#include "kxproduct/exceptions.h"
#include "kxproduct/session.h"
#include "kxwin/cexception.h"
#include "props/recordprops.h"
#include "target/mru_context.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

constexpr wchar_t const *record_method = L"kxrpc_create_temp_record";

AdActionDef *requested_action(CreateTempArgs &args, AdEntityPtr const &record) {
    if (args.has_action()) {
        try {
            return args.action_def();
        } catch (KXNotFoundException const &e) {
            trace_lazy(1, [&] {
                return text_format("Exception: NotFoundException is caught kxrpc_create_temp_record(%s)",
                                   exception_message_text(e));
            });
            raise_reason(Reason::no_action);
        }
    }
    AdActionDef *modify = record->GetEntityDef()->LookupActionDef(static_cast<int>(AD_ACTION_MODIFY));
    if (modify == nullptr) {
        trace_info(record_method, L"action def is zero!");
        raise_reason(Reason::no_action);
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
            raise_reason(Reason::illegal_value, kx_message(MSG_DUPLICATE_NEEDS_RECORD));
        }
        if (open) MarkEntityAsDuplicate(record, original, action->GetName());
        return;
    }
    case AD_ACTION_UNDUPLICATE:
        if (open) UnmarkEntityAsDuplicate(record, action->GetName());
        return;
    default:
        trace_info(record_method, L"msg action not supported for modify!");
        raise_reason(Reason::illegal_value, kx_message(MSG_ACTION_NOT_FOR_MODIFY, ustr(action->GetActionTypeName())));
    }
}

} // namespace

CreateTempResp *kxrpc_create_temp_record(CreateTempArgs &args) {
    auto work = [&] {
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
        }
    };
    auto fail = [](ProductFailure const &f) {
        Nul::UString const text = f.kind == ProductFailure::OTHER ? Nul::UString() : f.text;
        trace_lazy(1, [&] {
            return text_format("Exception: PaMsgException is caught in kxrpc_create_temp_record(%s)", text);
        });
        throw KXConflictException(kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, text));
    };
    return product_call(work, fail, Taking{.full_message = true});
}

std::unique_ptr<XdrObject> kxrpc_create_temp(XdrObject *request) {
    auto *args = checked_cast<CreateTempArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_create_temp %s)", args->trace_line()); });
    // Its one item, before the record is opened for the action.
    reserve_session_items(1);
    switch (args->resource_type()) {
    case TT_RECORD:
        return std::unique_ptr<XdrObject>(kxrpc_create_temp_record(*args));
    case TT_QUERY:
    case TT_QUERY_FOLDER:
    case TT_REPORT:
    case TT_ATTACHMENT:
        return std::unique_ptr<XdrObject>(create_temp_item(*args));
    default:
        trace_info(L"kxrpc_create_temp", L"invalid arg type!");
        raise_reason(Reason::refused);
    }
}

} // namespace KxRpc
