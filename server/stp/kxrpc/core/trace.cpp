// Tracing and the product's per-call facilities as the core uses them.
#include "kxrpc_trace.h"

#include <cstdarg>
#include <cstdio>

#include "kxrpc_core.h"
#include "kxrpc_dispatch.h"
#include "kxwin/cexception.h"
#include "protocol/exceptions.h"

namespace KxRpc {

void trace_core(char const *, ...) {}
void trace_start(wchar_t const *, wchar_t const *) {}
void trace_finish(wchar_t const *, wchar_t const *) {}
void trace_exception(wchar_t const *, wchar_t const *) {}
void trace_stp_exception(wchar_t const *, Nul::STPException const &) {}

void send_error_reply(KS_SVCXPRT *transport, Nul::STPException const &, wchar_t const *) {
    ks_svcerr_systemerr(transport);
}

bool start_arm_transaction(RpcProcedure const &, XdrObject *) { return false; }

void initialize_com_for_thread() {}
void after_request() {}

MemoryReportScope::MemoryReportScope(wchar_t const *) : scope_(nullptr) {}
MemoryReportScope::~MemoryReportScope() = default;

void report_command_line(int, char **) {}
void prepare_process() {}
void init_client_locale() {}
[[noreturn]] void throw_product_test_failure() { throw new CException(CString(L"forceCrashInLoadAttachment")); }

} // namespace KxRpc
