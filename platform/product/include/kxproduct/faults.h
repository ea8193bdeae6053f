// Fault injection and call counting for tests of the product's callers.
// Every product operation enters through KXFaultInjector::Enter with its name, "Class::Method"
// (for example "KXSession::WebUserLogon", "AdEntityMgr::LookupEntityByDbIdWithStatus").
#pragma once
#include <optional>

#include "kxwin/cstring.h"

enum class KXFaultKind {
    KXException,    // throw new KXException(msg_id, text)
    PaMsgException, // throw new PaMsgException(msg_id, text) (one message)
    CException,     // throw new CException(text)
    LookupStatus,   // a lookup answers with `status` (operations that answer a lookup status)
    ErrorText,      // the operation answers with `text` as its error text (operations that answer one)
    OutOfMemory,    // throw std::bad_alloc(), as an allocation that fails
};

struct KXFault {
    KXFaultKind kind = KXFaultKind::KXException;
    int msg_id = 0;
    CString text;
    int status = 0;
};

class KXFaultInjector {
public:
    // The nth call of the operation from now on takes the fault (1: the next call); the fault
    // then disarms. Arming an operation again replaces its fault.
    static void Arm(const char *operation, const KXFault &fault, int nth = 1);
    static void Disarm(const char *operation);
    // Clears all faults and call counts.
    static void Reset();
    // Calls counted since the injector was first armed, reset or asked for a count (before that
    // no call is counted, so counts are compared before and after, or after a Reset).
    static long CallCount(const char *operation);

    // Answers accepted by an operation besides exceptions.
    enum Accepts { kThrowOnly = 0, kStatus = 1, kText = 2 };
    // Counts the call and, when a fault is due, throws it or returns it (kinds the operation
    // accepts). A due fault of a kind the operation cannot answer with is a test error and
    // raises std::logic_error.
    static std::optional<KXFault> Enter(const char *operation, int accepts = kThrowOnly);
};
