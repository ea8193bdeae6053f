// Tracing and the product's per-call facilities as the core uses them.
#include "core/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/dispatch.h"
#include "core/options.h"
#include "kxproduct/diag.h"
#include "kxproduct/exceptions.h"
#include "target/requests.h"
#include "tesutil/arm.h"
#include "wire/errors.h"
#include "wire/exceptions.h"
#include "wire/locale.h"

namespace KxRpc {

void trace_core(char const *format, ...) {
    if (!trace_enabled(1)) return;
    std::va_list args;
    va_start(args, format);
    std::va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    trace_text(1, Nul::UString(Nul::Utf8String(text)));
}

namespace {

struct ErrorReply {
    Nul::STPException const *exception;
    wchar_t const *method;
};

bool_t xdr_error_reply_of_call(XDR *xdrs, void *reply) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    auto const *r = static_cast<ErrorReply const *>(reply);
    return report_error_reply(Nul::UString(r->method), xdrs, *r->exception);
}

} // namespace

void send_error_reply(KS_SVCXPRT *transport, Nul::STPException const &e, wchar_t const *method) {
    ErrorReply reply{&e, method};
    auto routine = reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_error_reply_of_call));
    if (!ks_svc_sendreply(transport, routine, &reply)) ks_svcerr_systemerr(transport);
}

bool start_arm_transaction(RpcProcedure const &entry, XdrObject *request) {
    if (settings().arm_level == 0) return false;
    Nul::ArmBuffer buffer;
    std::int64_t arrival = 0;
    bool const have_arrival = Nul::ArmApplication::get_arrival_time(&arrival) >= 0;
    auto *arg = dynamic_cast<ArmCorrelatorArg *>(request);
    if (!arg || !arg->has_correlator()) return false;
    if (have_arrival) buffer.add_buffer(arrival);
    Nul::UString user = arg->arm_user_name();
    if (!user.empty()) {
        arm_id const no_identity{};
        buffer.add_buffer(user, true, no_identity);
    }
    arg->add_arm_context(buffer);
    return Nul::ArmPerThreadOperationStack::start_transaction(entry.arm_tran_id, &buffer, true) >= 0;
}

MemoryReportScope::MemoryReportScope(wchar_t const *name) {
    std::wstring scope = L"KXRPC:";
    scope += name;
    reporter_ = std::make_unique<AdDiagnosticMemoryReporter>(scope.c_str());
}
MemoryReportScope::~MemoryReportScope() = default;

} // namespace KxRpc
