// The server's branch of the exception family, its throw functions and the translators that turn
// a caught failure of the product interface into one of its exceptions.
#pragma once

#include <cstdint>
#include <exception>
#include <vector>

#include <rpc/xdr.h>

#include "tesutil/stpexception.h"
#include "tesutil/umessage.h"
#include "tesutil/ustring.h"

namespace KxRpc {

// The reason codes the server raises. One value space with the utility library's (38 to 40); the
// error record carries the number.
enum class Reason : std::int32_t {
    action_in_progress = 1, // the record is already in another action
    illegal_value = 4,      // a value or request the server cannot take
    character_encoding = 8,
    read_only = 9, // a supported property that cannot be set
    conflict = 17,
    login_forbidden = 18,
    refused = 31, // the user database is locked, or the operation is refused for this target
    illegal_request = 33,
    bad_query = 35, // a query definition that does not parse
    lookup_failed = 37,
    unexpected_failure = 39, // the utility library's illegal argument, state and run-time failures
    internal_error = 40,
    login_refused = 47,
    record_changed = 49,
    not_applicable = 51,
    not_found = 53,
    not_supported = 54,
    wrong_count = 57, // of parameters or values
    value_type = 61,
    unknown_property = 64,
    read_failed = 69,
    duplicate_name = 70,
    export_failed = 71,
    already_exists = 73,
    no_submit_action = 77,
    insufficient_privilege = 80,
    no_action = 81,
    unexpected_exception = 89,
};

inline Nul::STPException::stp_reason_code_t stp_code(Reason reason) {
    return static_cast<Nul::STPException::stp_reason_code_t>(reason);
}
inline Reason reason_of(Nul::STPException const &e) { return static_cast<Reason>(e.stp_reason_code()); }

// A server exception raised while a request was decoded. XDR routines must not let it unwind, so
// they hold it for the calling thread; the dispatcher answers it as an error reply rather than as
// undecodable arguments. Taking it clears it.
void hold_decode_failure(std::exception_ptr failure) noexcept;
std::exception_ptr take_decode_failure() noexcept;
// The same for a reply whose encoding raised one after the handler had done the work: the
// dispatcher answers it as the call's error reply rather than as a system error.
void hold_reply_failure(std::exception_ptr failure) noexcept;
std::exception_ptr take_reply_failure() noexcept;

class KxRpcException : public Nul::STPException {
public:
    KxRpcException(Reason reason, Nul::UMessage const &message = Nul::UMessage::nil,
                   Nul::Resource const *resource = nullptr, Nul::STPException const *cause = nullptr);
    KxRpcException(KxRpcException const &other) = default;
    KxRpcException &operator=(KxRpcException const &other) = default;
    ~KxRpcException() override;
    KxRpcException *clone() const override { return new KxRpcException(*this); }
    // What the error record writes after its common fields: 0 none, 1 invalid fields, 2 login.
    virtual int extension_kind() const { return 0; }
    virtual bool_t xdr_extension(XDR *xdrs) const;
};

class KXInternalErrorException : public KxRpcException {
public:
    KXInternalErrorException(Reason reason, Nul::UString const &text, Nul::STPException const *cause);
    KXInternalErrorException(Nul::UString const &text, Nul::STPException const *cause);
    explicit KXInternalErrorException(Nul::UMessage const &message);
    KXInternalErrorException(Nul::STPException const *cause, Nul::UMessage const &message);
    KXInternalErrorException(KXInternalErrorException const &other) = default;
    ~KXInternalErrorException() override;
    KXInternalErrorException *clone() const override { return new KXInternalErrorException(*this); }
};

class KXCharacterEncodingErrorException : public KxRpcException {
public:
    KXCharacterEncodingErrorException(Nul::Resource const *resource, Nul::UMessage const &message);
    KXCharacterEncodingErrorException(Nul::Resource const *resource, Nul::UString const &text);
    KXCharacterEncodingErrorException(Nul::UMessage const &message, Nul::STPException const *cause);
    explicit KXCharacterEncodingErrorException(Nul::UString const &text);
    KXCharacterEncodingErrorException(KXCharacterEncodingErrorException const &other) = default;
    ~KXCharacterEncodingErrorException() override;
    KXCharacterEncodingErrorException *clone() const override { return new KXCharacterEncodingErrorException(*this); }
};

class KXConflictException : public KxRpcException {
public:
    KXConflictException(Nul::UString const &text, Nul::STPException const *cause);
    KXConflictException(Nul::STPException const *cause, Nul::UMessage const &message);
    explicit KXConflictException(Nul::UMessage const &message);
    KXConflictException(KXConflictException const &other) = default;
    ~KXConflictException() override;
    KXConflictException *clone() const override { return new KXConflictException(*this); }
};

class LockedDatabaseException : public KxRpcException {
public:
    LockedDatabaseException();
    LockedDatabaseException(LockedDatabaseException const &other) = default;
    ~LockedDatabaseException() override;
    LockedDatabaseException *clone() const override { return new LockedDatabaseException(*this); }
};

class KXImplementationErrorException : public KxRpcException {
public:
    explicit KXImplementationErrorException(Nul::UString const &text);
    KXImplementationErrorException(KXImplementationErrorException const &other) = default;
    ~KXImplementationErrorException() override;
    KXImplementationErrorException *clone() const override { return new KXImplementationErrorException(*this); }
};

class KXNotFoundException : public KxRpcException {
public:
    KXNotFoundException(Nul::Resource const *resource, Nul::UMessage const &message);
    KXNotFoundException(Nul::Resource const *resource, Nul::UString const &text);
    KXNotFoundException(Nul::UMessage const &message, Nul::STPException const *cause);
    explicit KXNotFoundException(Nul::UString const &text);
    KXNotFoundException(KXNotFoundException const &other) = default;
    ~KXNotFoundException() override;
    KXNotFoundException *clone() const override { return new KXNotFoundException(*this); }
};

class InvalidFieldsException : public KxRpcException {
public:
    InvalidFieldsException();
    InvalidFieldsException(InvalidFieldsException const &other) = default;
    InvalidFieldsException &operator=(InvalidFieldsException const &other) = default;
    ~InvalidFieldsException() override;
    InvalidFieldsException *clone() const override { return new InvalidFieldsException(*this); }
    int extension_kind() const override { return 1; }
    bool_t xdr_extension(XDR *xdrs) const override;

    // One invalid field and its product field value type (1 to 14).
    void add_field(Nul::UString const &name, int field_type);
    std::vector<Nul::UString> const &field_names() const { return names_; }
    std::vector<int> const &field_types() const { return types_; }

private:
    std::vector<Nul::UString> names_;
    std::vector<int> types_;
};

class KXPropertyValueTypeException : public KxRpcException {
public:
    explicit KXPropertyValueTypeException(int expected_type);
    KXPropertyValueTypeException(KXPropertyValueTypeException const &other) = default;
    KXPropertyValueTypeException &operator=(KXPropertyValueTypeException const &other) = default;
    ~KXPropertyValueTypeException() override;
    KXPropertyValueTypeException *clone() const override { return new KXPropertyValueTypeException(*this); }
    int expected_type() const { return expected_; }

private:
    int expected_;
};

class LoginException : public KxRpcException {
public:
    LoginException(Reason reason, Nul::UMessage const &message, Nul::UString const &text);
    LoginException(LoginException const &other) = default;
    LoginException &operator=(LoginException const &other) = default;
    ~LoginException() override;
    LoginException *clone() const override { return new LoginException(*this); }
    int extension_kind() const override { return 2; }
    bool_t xdr_extension(XDR *xdrs) const override;
    Nul::UString const &text() const { return text_; }

private:
    Nul::UString text_;
};

// Outside the KxRpcException branch: its error record has no extension.
class PropertyValueMarshallingException : public Nul::STPException {
public:
    PropertyValueMarshallingException();
    explicit PropertyValueMarshallingException(Nul::UString const &text);
    PropertyValueMarshallingException(PropertyValueMarshallingException const &other) = default;
    ~PropertyValueMarshallingException() override;
    PropertyValueMarshallingException *clone() const override { return new PropertyValueMarshallingException(*this); }
};

// Names of the value types for KXPropertyValueTypeException; "<unknown>" for any other code.
char const *property_value_type_name(int value_type);

// The one way to refuse a request with a reason that has no exception class of its own.
[[noreturn]] void raise_reason(Reason reason, Nul::UMessage const &message = Nul::UMessage::nil,
                               Nul::STPException const *cause = nullptr);
[[noreturn]] void throw_internal_error(Nul::UString const &text, Nul::STPException const *cause = nullptr);
[[noreturn]] void throw_internal_error(Nul::UMessage const &message);
[[noreturn]] void throw_conflict(Nul::UMessage const &message);
[[noreturn]] void throw_locked_database();
[[noreturn]] void throw_implementation_error(Nul::UString const &text);
[[noreturn]] void throw_not_found(Nul::Resource const *resource, Nul::UMessage const &message);
[[noreturn]] void throw_not_found(Nul::Resource const *resource, Nul::UString const &text);
[[noreturn]] void throw_not_found(Nul::UMessage const &message, Nul::STPException const *cause);
[[noreturn]] void throw_not_found(Nul::UString const &text);
[[noreturn]] void throw_invalid_fields_exception(InvalidFieldsException const &e);
[[noreturn]] void throw_login_exception(Reason reason, Nul::UMessage const &message, Nul::UString const &text);
[[noreturn]] void throw_marshalling_error();

// The exception's message rendered without a locale, for trace lines.
Nul::UString exception_message_text(Nul::STPException const &e);
bool exception_has_message_text(Nul::STPException const &e);

} // namespace KxRpc
