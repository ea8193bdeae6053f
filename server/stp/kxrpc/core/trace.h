// The dispatcher's seams to tracing, error replies, ARM and the product's per-call facilities.
#pragma once

#include <memory>

#include "ks_rpcsvc.h"
#include "tesutil/stpexception.h"
#include "tesutil/ustring.h"
#include "wire/trace.h"
#include "wire/xdrobject.h"

class AdDiagnosticMemoryReporter;

namespace KxRpc {

struct RpcProcedure;

// Trace lines of the core: category "KXRPC", event 66, level 1.
void trace_core(char const *format, ...) __attribute__((format(printf, 1, 2)));

// Sends TRUE and the exception's error record; SYSTEM_ERR when that fails.
void send_error_reply(KS_SVCXPRT *transport, Nul::STPException const &e, wchar_t const *method);

// Starts the call's ARM transaction when ARM is on and the request carried a correlator.
bool start_arm_transaction(RpcProcedure const &entry, XdrObject *request);

// The product's memory-report scope of one call, named "KXRPC:" and the procedure name.
class MemoryReportScope {
public:
    explicit MemoryReportScope(wchar_t const *name);
    MemoryReportScope(MemoryReportScope const &) = delete;
    MemoryReportScope &operator=(MemoryReportScope const &) = delete;
    ~MemoryReportScope();

private:
    std::unique_ptr<AdDiagnosticMemoryReporter> reporter_;
};

} // namespace KxRpc
