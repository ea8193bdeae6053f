// Handlers of validate_action, validate_record_props and resolve_attachment.
#include "change/validation_handlers.h"

#include "change/attachment_requests.h"
#include "change/database_lock.h"
#include "change/requests.h"
#include "change/validation.h"
#include "target/held_items.h"
#include "target/mru_context.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

constexpr wchar_t const *validate_action_method = L"kxrpc_validate_action";

void check_delete_action(ValidateActionArgs &args) {
    AdSession *session = args.api_session_or_fail();
    AdEntityPtr record = args.record(session);
    AdActionDef *action = args.action().action_def(session);
    if (!database_and_edit_check(session, record, action)) {
        trace_info(validate_action_method, L"already being edited!");
        raise_reason(Reason::action_in_progress);
    }
    if (args.action_type() != AD_ACTION_DELETE) {
        trace_info(validate_action_method, L"msg not implement yet!");
        throw KXInternalErrorException(kx_message(MSG_NOT_IMPLEMENTED));
    }
    if (action->GetActionType() != AD_ACTION_DELETE) {
        trace_info(validate_action_method, L"msg not a deletion action!");
        raise_reason(Reason::illegal_value, kx_message(MSG_NOT_DELETE_ACTION));
    }
}

} // namespace

std::unique_ptr<XdrObject> kxrpc_validate_action(XdrObject *request) {
    auto *args = checked_cast<ValidateActionArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_validate_action %s)", args->describe()); });
    product_call(
        [&] {
            try {
                check_delete_action(*args);
            } catch (Nul::STPException const &e) {
                trace_lazy(1, [&] {
                    return text_format("Exception: STPException is caught in kxrpc_validate_action(%s)",
                                       exception_message_text(e));
                });
                throw;
            }
        },
        unexpected_in(validate_action_method));
    return std::make_unique<XdrVoid>();
}

std::unique_ptr<XdrObject> kxrpc_validate_record_props(XdrObject *request) {
    auto *args = checked_cast<ValidateRecordPropsArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_validate_record_props %s)", args->trace_line()); });
    if (!args->is_state_item_target()) raise_reason(Reason::not_applicable);
    product_call(
        [&] {
            auto *item = checked_cast<RecordStateItem>(args->state_item_or_fail());
            AdEntityPtr record = item->entity();
            MRU_context mru(record);
            throw_invalid_fields(validate_record(record, args->api_session_or_fail()));
        },
        unexpected_in(L"kxrpc_validate_record_props"));
    return std::make_unique<XdrVoid>();
}

std::unique_ptr<XdrObject> kxrpc_resolve_attachment(XdrObject *request) {
    auto *args = checked_cast<ResolveAttachmentArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_resolve_attachment %s)", args->describe()); });
    product_call([&] { args->attachment(); }, unexpected_in(L"kxrpc_resolve_attachment"));
    return std::make_unique<XdrVoid>();
}

} // namespace KxRpc
