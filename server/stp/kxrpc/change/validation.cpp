#include "change/validation.h"
#include "wire/conversions.h"

#include "kxproduct/exceptions.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

void trace_line(char const *format, Nul::UString const &text) {
    trace_lazy(1, [&] { return Nul::UMessage::sprintf(format, Nul::UMessage::Arg(text)); });
}

CString validation_text(AdEntityPtr const &record) {
    return product_call(
        [&] { return record->Validate(); },
        [](ProductFailure const &failure) {
            if (failure.kind != ProductFailure::OTHER) {
                trace_line("Exception: CException caught in validate_record(%s)", failure.text);
                throw KXConflictException(kx_message(MSG_VALIDATE_FAILED, Nul::UMessage::Arg(failure.text)));
            }
            Nul::UMessage message = kx_message(MSG_VALIDATE_FAILED, Nul::UMessage::Arg(unknown_error_text));
            trace_exception(Nul::UString(L"KxRpc::validate_record"),
                            exception_message_text(KXInternalErrorException(message)));
            throw KXInternalErrorException(message);
        });
}

// A new record, or one whose unique key changed in this action, is checked for a taken name.
bool key_may_be_taken(AdEntityPtr const &record) {
    if (record->GetActionType() == AD_ACTION_SUBMIT) return true;
    std::vector<CString> const updated = record->GetFieldValuesUpdatedThisAction();
    AdIterator<AdFieldDef> keys = record->GetEntityDef()->GetUniqueKeyFieldDefs();
    for (int i = 0; i < keys.GetLength(); ++i) {
        AdFieldDef *key = keys.GetItem(i);
        if (!key) continue;
        for (CString const &name : updated)
            if (name == key->GetName()) return true;
    }
    return false;
}

bool display_name_taken(AdEntityPtr const &record, AdSession *session) {
    AdEntityPtr found;
    int const status =
        AdEntityMgr::Get(AdSessionPtr(session))->EntityExists(record->GetEntityDef(), record->GetDisplayName(), found);
    // A status that claims a record without giving one finds nothing.
    return status != AD_LOOKUP_NOT_FOUND && found && found->GetDbId() != record->GetDbId();
}

} // namespace

std::vector<AdFieldInfo> validate_record(AdEntityPtr const &record, AdSession *session) {
    if (!record || !record->IsEditable()) {
        trace_line("Info: validate_record(entity(%s) is not editable!)", trace_object_text(L"AdEntity", record.get()));
        throw KXInternalErrorException(kx_message(MSG_ONLY_ACTIONABLE));
    }
    CString const text = validation_text(record);
    if (text.IsEmpty()) return {};
    trace_line("Info: validate_record(get error msg: %s)", ustr(text));
    std::vector<AdFieldInfo> invalid = record->GetInvalidFieldValues();
    if (!invalid.empty()) return invalid;
    if (record->GetType() == AD_STATELESS && key_may_be_taken(record) && display_name_taken(record, session)) {
        trace_text(1, Nul::UString(L"Info: validate_record(msg record with same displayname exists!)"));
        raise_reason(Reason::duplicate_name, kx_message(MSG_SAME_DISPLAY_NAME));
    }
    trace_text(1, Nul::UString(L"Info: validate_record(msg validation error for record deliver!)"));
    raise_reason(Reason::illegal_value, kx_message(MSG_VALIDATION_ERROR, Nul::UMessage::Arg(ustr(text))));
}

void throw_invalid_fields(std::vector<AdFieldInfo> const &invalid) {
    if (invalid.empty()) return;
    InvalidFieldsException e;
    for (AdFieldInfo const &field : invalid) e.add_field(ustr(field.GetName()), field.GetType());
    throw e;
}

} // namespace KxRpc
