// The system's exception family: Nul::STPException and its utility-library subclasses.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "tesutil/umessage.h"
#include "tesutil/ustring.h"

namespace Log {
class LogManager;
class LoggerGroup;
} // namespace Log

namespace Nul {

// What a message or failure is about. The concrete resources live in the server.
class Resource {
public:
    Resource() = default;
    Resource(Resource const &) = default;
    Resource &operator=(Resource const &) = default;
    virtual ~Resource() = default;
    // The key of the resource encoder registry.
    virtual int kind() const = 0;
    // Text form; what a message argument of a resource prints.
    virtual UString to_selector() const = 0;
    virtual Resource *copy() const = 0;
    Resource *clone() const { return copy(); }
};

class STPException {
public:
    // One value space for the whole system; the utility library uses 38 to 40.
    enum stp_reason_code_t : std::int32_t {
        REASON_IREQ = 38,
        REASON_ILLEGAL = 39,
        REASON_INTERNAL = 40,
    };
    // 0 error, 1 warning, 2 info; any other value is not logged.
    enum stp_log_level_t : std::int32_t { LOG_ERROR = 0, LOG_WARNING = 1, LOG_INFO = 2, LOG_NONE = 3 };

    STPException(stp_reason_code_t reason, UMessage const &message, Resource const *resource = nullptr,
                 STPException const *cause = nullptr, stp_log_level_t level = LOG_ERROR);
    STPException(stp_reason_code_t reason, UMessage const &message, Resource const *resource,
                 std::vector<STPException *> const &causes, stp_log_level_t level = LOG_ERROR);
    STPException(STPException const &other);
    STPException &operator=(STPException const &other);
    virtual ~STPException();
    // A new heap copy of the object's own class.
    virtual STPException *clone() const;

    stp_reason_code_t stp_reason_code() const { return reason_; }
    UMessage const &message() const { return message_; }
    Resource const *resource() const { return resource_.get(); }
    std::vector<std::unique_ptr<STPException>> const &causes() const { return causes_; }
    // The message in the default locale.
    UString msg() const { return message_.message_string(nullptr); }

    [[noreturn]] static void raise(stp_reason_code_t reason, UMessage const &message,
                                   Resource const *resource = nullptr, STPException const *cause = nullptr,
                                   stp_log_level_t level = LOG_ERROR);
    [[noreturn]] static void raise(stp_reason_code_t reason, UMessage const &message, Resource const *resource,
                                   std::vector<STPException *> const &causes, stp_log_level_t level = LOG_ERROR);
    [[noreturn]] static void raise(STPException const &e, stp_log_level_t level = LOG_ERROR);
    static void set_logging_enabled(bool on);
    static bool logging_enabled();

private:
    static void log(UMessage const &message, stp_log_level_t level);

    stp_reason_code_t reason_;
    std::unique_ptr<Resource> resource_;
    UMessage message_;
    std::vector<std::unique_ptr<STPException>> causes_;
};

class StateException : public STPException {
public:
    StateException(StateException const &other) : STPException(other) {}
    ~StateException() override;
    STPException *clone() const override { return new StateException(*this); }
    [[noreturn]] static void raise(UMessage const &message) { throw StateException(message); }

protected:
    explicit StateException(UMessage const &message) : STPException(REASON_ILLEGAL, message) {}
    StateException(stp_reason_code_t reason, UMessage const &message) : STPException(reason, message) {}
};

class IllegalArgException : public STPException {
public:
    IllegalArgException(IllegalArgException const &other) : STPException(other) {}
    ~IllegalArgException() override;
    STPException *clone() const override { return new IllegalArgException(*this); }
    [[noreturn]] static void raise(UMessage const &message) { throw IllegalArgException(message); }

protected:
    explicit IllegalArgException(UMessage const &message) : STPException(REASON_ILLEGAL, message) {}
};

class IreqException : public STPException {
public:
    explicit IreqException(UMessage const &message) : STPException(REASON_IREQ, message) {}
    ~IreqException() override;
    STPException *clone() const override { return new IreqException(*this); }
    [[noreturn]] static void raise(UMessage const &message) { throw IreqException(message); }

    // Thrown by value, so the copy must be reachable from the throw site.
    IreqException(IreqException const &other) : STPException(other) {}
};

class RuntimeException : public STPException {
public:
    RuntimeException(RuntimeException const &other) : STPException(other) {}
    ~RuntimeException() override;
    STPException *clone() const override { return new RuntimeException(*this); }
    [[noreturn]] static void raise(UMessage const &message) { throw RuntimeException(message); }

protected:
    explicit RuntimeException(UMessage const &message) : STPException(REASON_ILLEGAL, message) {}
    RuntimeException(stp_reason_code_t reason, UMessage const &message) : STPException(reason, message) {}
};

// A separate root with a plain text; nothing in the system raises it.
class Exception {
public:
    Exception(Exception const &) = default;
    Exception &operator=(Exception const &) = default;
    virtual ~Exception() = default;
    virtual UString msg() const { return text_; }
    virtual Exception &add(UString const &more) {
        text_.append(more);
        return *this;
    }
    virtual int kind() const { return 0; }
    void log_throw() const {}
    [[noreturn]] static void raise(UString const &text) { throw Exception(text); }

protected:
    explicit Exception(UString const &text) : text_(text) {}

private:
    UString text_;
};

} // namespace Nul

namespace Log {

// The binding to the logging library through which raised exceptions can be logged.
class LogAdaptor {
public:
    static LogManager *initialize(char const *a, char const *b, char const *c, int n);
    static LogManager *get_log_manager();
    static LoggerGroup *logger_stprpc();
    static LoggerGroup *logger_nul();
    static LoggerGroup *logger_vtrpc();
    static LoggerGroup *logger_kxrpc();
};

} // namespace Log
