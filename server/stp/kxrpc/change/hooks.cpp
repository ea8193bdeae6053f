// Handlers of fire_hook and fire_script_alias.
#include "change/hooks.h"

#include <memory>
#include <utility>

#include "change/new_resources.h"
#include "change/requests.h"
#include "kxproduct/entity.h"
#include "props/field_tracker.h"
#include "target/held_items.h"
#include "target/mru_context.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

// Runs the handler's work; an exception of the server's family passes traced, and a product
// failure of any kind becomes a conflict with `message` and the product's text.
template <class Work>
std::unique_ptr<XdrObject> converting(wchar_t const *method, int message, Work &&work) {
    return product_call(
        [&] {
            try {
                return work();
            } catch (Nul::STPException const &e) {
                trace_lazy(1, [&] {
                    return text_format("Exception: STPException is caught in %s(%s)", Nul::UString(method),
                                       exception_message_text(e));
                });
                throw;
            }
        },
        [&](ProductFailure const &f) {
            trace_caught(f, Nul::UString(method));
            throw KXConflictException(kx_message(message, f.text));
        });
}

void show_form(AdEntityPtr const &record, Nul::UString const &form, Nul::UString const &tab) {
    if (!form.empty()) record->SetViewFormAndTab(cstr(form), cstr(tab));
}

std::unique_ptr<XdrObject> fire_hook(FireHookArgs &args) {
    AdSession *session = args.api_session_or_fail();
    AdHookDef *hook = args.hook_given_by_name() ? nullptr : args.hook().target().hook_def(session);
    bool const by_handle = args.is_state_item_target();
    std::shared_ptr<RecordStateItem> item =
        by_handle ? args.temporary_record() : std::make_shared<RecordStateItem>(args.record(session));
    std::unique_ptr<FieldChangedTracker> tracker;
    if (args.get_side_effects()) {
        tracker = std::make_unique<FieldChangedTracker>(*item);
        tracker->start_tracking();
    }
    Nul::UString const name = hook ? ustr(hook->GetName()) : args.hook_name();
    AdEntityPtr const &record = item->entity();
    Nul::UString text;
    {
        MRU_context mru(record);
        show_form(record, args.form_name(), args.tab_name());
        // What the script sets stays with the record: its item is charged for it.
        item->change_held(0, [&] { text = ustr(record->FireNamedHook(cstr(name), cstr(args.param()))); });
    }
    if (tracker) tracker->stop_tracking();
    bool const hand_out = !by_handle && record->IsEditable();
    Nul::UString name_text, id_text;
    if (hand_out) {
        RecordNameIdFetcher texts(record);
        name_text = texts.name_text();
        id_text = texts.id_text();
    }
    return std::make_unique<FireHookResp>(text, std::move(item), hand_out, name_text, id_text, std::move(tracker));
}

std::unique_ptr<XdrObject> fire_script_alias(FireScriptAliasArgs &args) {
    AdSession *session = args.api_session_or_fail();
    AdEntityPtr record = args.record(session);
    AdActionDef *action = args.action().action_def(session);
    CString result, error;
    {
        MRU_context mru(record);
        show_form(record, args.form_name(), args.tab_name());
        FireRecordHookAlias(AdSessionPtr(session), record, action, result, error);
    }
    if (!error.IsEmpty()) throw KXConflictException(kx_message(MSG_FIRE_SCRIPT_ALIAS_FAILED, ustr(error)));
    return std::make_unique<FireScriptAliasResp>(ustr(result));
}

} // namespace

std::shared_ptr<RecordStateItem> FireHookArgs::temporary_record() {
    auto item = is_state_item_target() ? std::dynamic_pointer_cast<RecordStateItem>(target().state_item()) : nullptr;
    if (!item) throw_internal_error(Nul::UString(L"was expecting a temporary record"));
    return item;
}

AdEntityPtr FireScriptAliasArgs::record(AdSession *session) {
    if (!is_state_item_target()) return target_op_.record(session);
    auto *item = dynamic_cast<RecordStateItem *>(state_item_or_fail());
    if (item == nullptr) throw_internal_error(Nul::UString(L"Expecting temporary record"));
    return item->entity();
}

FireHookResp::FireHookResp(Nul::UString const &result, StateItemPtr record, bool hand_out,
                           Nul::UString const &name_text, Nul::UString const &id_text,
                           std::unique_ptr<FieldChangedTracker> tracker)
    : result_(result), record_(std::move(record)), hand_out_(hand_out), name_text_(name_text), id_text_(id_text),
      tracker_(std::move(tracker)) {}

FireHookResp::~FireHookResp() = default;

bool_t FireHookResp::xdr(XDR *xdrs) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    if (xdrs->x_op != XDR_ENCODE) return FALSE;
    try {
        bool has_record = hand_out_;
        bool has_changes = tracker_ != nullptr;
        if (!xdr_ustring(xdrs, result_) || !xdr_flag(xdrs, has_record)) return FALSE;
        if (has_record &&
            !(xdr_state_handle(xdrs, record_) && xdr_ustring(xdrs, name_text_) && xdr_ustring(xdrs, id_text_)))
            return FALSE;
        if (!xdr_flag(xdrs, has_changes)) return FALSE;
        return has_changes ? tracker_->xdr(xdrs) : TRUE;
    } catch (...) {
        return hold_failure(xdrs, L"FireHookResp::xdr");
    }
}

std::unique_ptr<XdrObject> kxrpc_fire_hook(XdrObject *request) {
    auto *args = checked_cast<FireHookArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_fire_hook %s)", args->describe()); });
    return converting(L"kxrpc_fire_hook", MSG_FIRE_HOOK_FAILED, [&] { return fire_hook(*args); });
}

std::unique_ptr<XdrObject> kxrpc_fire_script_alias(XdrObject *request) {
    auto *args = checked_cast<FireScriptAliasArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_fire_script_alias %s)", args->describe()); });
    return converting(L"kxrpc_fire_script_alias", MSG_FIRE_SCRIPT_ALIAS_FAILED,
                      [&] { return fire_script_alias(*args); });
}

} // namespace KxRpc
