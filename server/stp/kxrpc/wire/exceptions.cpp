#include "wire/exceptions.h"

#include "wire/call_scope.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/fieldtypes.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

constexpr auto kLevel = Nul::STPException::LOG_INFO;

Nul::UMessage text_message(int index, Nul::UString const &text) { return kx_message(index, Nul::UMessage::Arg(text)); }

std::exception_ptr take(std::exception_ptr &held) noexcept {
    std::exception_ptr failure = std::move(held);
    held = nullptr;
    return failure;
}

} // namespace

void hold_decode_failure(std::exception_ptr failure) noexcept { this_call().decode_failure = std::move(failure); }

std::exception_ptr take_decode_failure() noexcept { return take(this_call().decode_failure); }

void hold_reply_failure(std::exception_ptr failure) noexcept { this_call().reply_failure = std::move(failure); }

std::exception_ptr take_reply_failure() noexcept { return take(this_call().reply_failure); }

KxRpcException::KxRpcException(Reason reason, Nul::UMessage const &message, Nul::Resource const *resource,
                               Nul::STPException const *cause)
    : Nul::STPException(stp_code(reason), message, resource, cause, kLevel) {}
KxRpcException::~KxRpcException() = default;
bool_t KxRpcException::xdr_extension(XDR *) const { return TRUE; }

KXInternalErrorException::KXInternalErrorException(Reason reason, Nul::UString const &text,
                                                   Nul::STPException const *cause)
    : KxRpcException(reason, text_message(MSG_INTERNAL_ERROR, text), nullptr, cause) {}
KXInternalErrorException::KXInternalErrorException(Nul::UString const &text, Nul::STPException const *cause)
    : KXInternalErrorException(Reason::internal_error, text, cause) {}
KXInternalErrorException::KXInternalErrorException(Nul::UMessage const &message)
    : KxRpcException(Reason::internal_error, message, nullptr, nullptr) {}
KXInternalErrorException::KXInternalErrorException(Nul::STPException const *cause, Nul::UMessage const &message)
    : KxRpcException(Reason::internal_error, message, nullptr, cause) {}
KXInternalErrorException::~KXInternalErrorException() = default;

KXCharacterEncodingErrorException::KXCharacterEncodingErrorException(Nul::Resource const *resource,
                                                                     Nul::UMessage const &message)
    : KxRpcException(Reason::character_encoding, message, resource, nullptr) {}
KXCharacterEncodingErrorException::KXCharacterEncodingErrorException(Nul::Resource const *resource,
                                                                     Nul::UString const &text)
    : KxRpcException(Reason::character_encoding, text_message(MSG_CHARACTER_ENCODING, text), resource, nullptr) {}
KXCharacterEncodingErrorException::KXCharacterEncodingErrorException(Nul::UMessage const &message,
                                                                     Nul::STPException const *cause)
    : KxRpcException(Reason::character_encoding, message, nullptr, cause) {}
KXCharacterEncodingErrorException::KXCharacterEncodingErrorException(Nul::UString const &text)
    : KxRpcException(Reason::character_encoding, text_message(MSG_CHARACTER_ENCODING, text), nullptr, nullptr) {}
KXCharacterEncodingErrorException::~KXCharacterEncodingErrorException() = default;

KXConflictException::KXConflictException(Nul::UString const &text, Nul::STPException const *cause)
    : KxRpcException(Reason::conflict, text_message(MSG_INTERNAL_ERROR, text), nullptr, cause) {}
KXConflictException::KXConflictException(Nul::STPException const *cause, Nul::UMessage const &message)
    : KxRpcException(Reason::conflict, message, nullptr, cause) {}
KXConflictException::KXConflictException(Nul::UMessage const &message)
    : KxRpcException(Reason::conflict, message, nullptr, nullptr) {}
KXConflictException::~KXConflictException() = default;

LockedDatabaseException::LockedDatabaseException() : KxRpcException(Reason::refused) {}
LockedDatabaseException::~LockedDatabaseException() = default;

KXImplementationErrorException::KXImplementationErrorException(Nul::UString const &text)
    : KxRpcException(Reason::internal_error, text_message(MSG_IMPLEMENTATION_ERROR, text), nullptr, nullptr) {}
KXImplementationErrorException::~KXImplementationErrorException() = default;

KXNotFoundException::KXNotFoundException(Nul::Resource const *resource, Nul::UMessage const &message)
    : KxRpcException(Reason::not_found, message, resource, nullptr) {}
KXNotFoundException::KXNotFoundException(Nul::Resource const *resource, Nul::UString const &text)
    : KxRpcException(Reason::not_found, text_message(MSG_NOT_FOUND, text), resource, nullptr) {}
KXNotFoundException::KXNotFoundException(Nul::UMessage const &message, Nul::STPException const *cause)
    : KxRpcException(Reason::not_found, message, nullptr, cause) {}
KXNotFoundException::KXNotFoundException(Nul::UString const &text)
    : KxRpcException(Reason::not_found, text_message(MSG_NOT_FOUND, text), nullptr, nullptr) {}
KXNotFoundException::~KXNotFoundException() = default;

InvalidFieldsException::InvalidFieldsException() : KxRpcException(Reason::conflict) {}
InvalidFieldsException::~InvalidFieldsException() = default;

void InvalidFieldsException::add_field(Nul::UString const &name, int field_type) {
    names_.push_back(name);
    types_.push_back(field_type);
}

bool_t InvalidFieldsException::xdr_extension(XDR *xdrs) const {
    try {
        int count = static_cast<int>(names_.size());
        if (!xdr_int(xdrs, &count)) return FALSE;
        for (std::size_t i = 0; i < names_.size(); ++i) {
            Nul::UString name = names_[i];
            if (!xdr_ustring(xdrs, name)) return FALSE;
            enum_t tag = field_value_tag(types_[i]);
            if (!xdr_enum(xdrs, &tag)) return FALSE;
        }
        return TRUE;
    } catch (...) {
        // Part of an error record being written: the record goes out without its extension.
        return FALSE;
    }
}

KXPropertyValueTypeException::KXPropertyValueTypeException(int expected_type)
    : KxRpcException(
          Reason::value_type,
          kx_message(MSG_INCOMPATIBLE_VALUE_TYPE, Nul::UMessage::Arg(property_value_type_name(expected_type))), nullptr,
          nullptr),
      expected_(expected_type) {}
KXPropertyValueTypeException::~KXPropertyValueTypeException() = default;

LoginException::LoginException(Reason reason, Nul::UMessage const &message, Nul::UString const &text)
    : KxRpcException(reason, message, nullptr, nullptr), text_(text) {}
LoginException::~LoginException() = default;

bool_t LoginException::xdr_extension(XDR *xdrs) const {
    try {
        Nul::UString text = text_;
        return xdr_ustring(xdrs, text);
    } catch (...) {
        // Part of an error record being written: the record goes out without its extension.
        return FALSE;
    }
}

PropertyValueMarshallingException::PropertyValueMarshallingException()
    : Nul::STPException(stp_code(Reason::internal_error), Nul::UMessage::nil, nullptr, nullptr, kLevel) {}
PropertyValueMarshallingException::PropertyValueMarshallingException(Nul::UString const &text)
    : Nul::STPException(stp_code(Reason::internal_error), text_message(MSG_MARSHALLING_ERROR, text), nullptr, nullptr,
                        kLevel) {}
PropertyValueMarshallingException::~PropertyValueMarshallingException() = default;

char const *property_value_type_name(int value_type) {
    switch (value_type) {
    case 100001:
        return "string";
    case 100002:
        return "empty value";
    case 100005:
        return "integer";
    case 100006:
        return "boolean";
    case 100007:
        return "date";
    case 100008:
        return "list";
    case 100017:
        return "64 bit integer";
    default:
        return "<unknown>";
    }
}

void throw_internal_error(Nul::UString const &text, Nul::STPException const *cause) {
    throw KXInternalErrorException(text, cause);
}
void throw_internal_error(Nul::UMessage const &message) { throw KXInternalErrorException(message); }
void throw_conflict(Nul::UMessage const &message) { throw KXConflictException(message); }
void raise_reason(Reason reason, Nul::UMessage const &message, Nul::STPException const *cause) {
    throw KxRpcException(reason, message, nullptr, cause);
}
void throw_locked_database() { throw LockedDatabaseException(); }
void throw_implementation_error(Nul::UString const &text) { throw KXImplementationErrorException(text); }
void throw_not_found(Nul::Resource const *resource, Nul::UMessage const &message) {
    throw KXNotFoundException(resource, message);
}
void throw_not_found(Nul::Resource const *resource, Nul::UString const &text) {
    throw KXNotFoundException(resource, text);
}
void throw_not_found(Nul::UMessage const &message, Nul::STPException const *cause) {
    throw KXNotFoundException(message, cause);
}
void throw_not_found(Nul::UString const &text) { throw KXNotFoundException(text); }
void throw_invalid_fields_exception(InvalidFieldsException const &e) { throw InvalidFieldsException(e); }
void throw_login_exception(Reason reason, Nul::UMessage const &message, Nul::UString const &text) {
    throw LoginException(reason, message, text);
}
void throw_marshalling_error() { throw PropertyValueMarshallingException(); }

Nul::UString exception_message_text(Nul::STPException const &e) { return e.message().message_string(nullptr); }

bool exception_has_message_text(Nul::STPException const &e) { return !exception_message_text(e).empty(); }

} // namespace KxRpc
