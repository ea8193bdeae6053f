// Tracing and the product's per-call facilities as the core uses them.
#include "kxrpc_trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kxproduct/diag.h"
#include "kxproduct/exceptions.h"
#include "kxproduct/store.h"
#include "kxrpc_core.h"
#include "kxrpc_dispatch.h"
#include "protocol/exceptions.h"
#include "protocol/locale.h"

namespace KxRpc {

void trace_core(char const *format, ...) {
    if (!trace_enabled(1))
        return;
    std::va_list args;
    va_start(args, format);
    std::va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    trace_text(1, Nul::UString(Nul::Utf8String(text)));
}

void send_error_reply(KS_SVCXPRT *transport, Nul::STPException const &, wchar_t const *) {
    ks_svcerr_systemerr(transport);
}

bool start_arm_transaction(RpcProcedure const &, XdrObject *) { return false; }

void initialize_com_for_thread() { callCoInitializeEx(); }
void after_request() {}

MemoryReportScope::MemoryReportScope(wchar_t const *name) {
    std::wstring scope = L"KXRPC:";
    scope += name;
    reporter_ = std::make_unique<AdDiagnosticMemoryReporter>(scope.c_str());
}
MemoryReportScope::~MemoryReportScope() = default;

void report_command_line(int argc, char **argv) {
    // Where the product's diagnostics go, and which are on, is the operator's choice.
    if (char const *flags = std::getenv("KX_DIAG"))
        AdDiagnostic::Configure(flags);
    if (char const *file = std::getenv("KX_DIAG_FILE"))
        AdDiagnostic::SetFileSink(file);
    if (!AdDiagnostic::IsEnabled(19))
        return;
    CString line;
    for (int i = 0; i < argc; ++i) {
        if (i)
            line += L" ";
        line += CString::FromUtf8(argv[i]);
    }
    AdDiagnostic::Report(L"kxprc", line);
}

void prepare_process() {
    ::setenv("TEVRA_NO_BOLD", "1", 1);
    ::setenv("TEVRA_WEB_GUI", "1", 1);
}

void init_client_locale() { init_client_locale_key(); }

[[noreturn]] void throw_product_test_failure() {
    throw new PaMsgException(KX_MSG_BAD_VALUE, CString(L"forceCrashInLoadAttachment"));
}

} // namespace KxRpc
