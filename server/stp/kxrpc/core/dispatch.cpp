// kxrpc_dispatch: one RPC call from the table lookup to the freed reply.
#include "core/dispatch.h"

#include <cstdlib>
#include <exception>

#include <malloc.h>

#include "core/com_startup.h"
#include "core/crash.h"
#include "core/options.h"
#include "core/shutdown.h"
#include "core/trace.h"
#include "kxwin/crash.h"
#include "tesutil/arm.h"
#include "wire/call_scope.h"
#include "wire/catalog.h"
#include "wire/decode_budget.h"
#include "wire/exceptions.h"
#include "wire/handles.h"

namespace KxRpc {

void ArgsHolder::free() {
    XdrObject *object = object_;
    object_ = nullptr; // cleared first: a throwing destructor must not run twice
    if (!object) return;
    try {
        object->~XdrObject();
    } catch (...) {
        trace_core("ArgsHolder::free(), Error unmarshalling rpc args");
        throw;
    }
}

ArgsHolder::~ArgsHolder() {
    try {
        free();
    } catch (...) {
        // Already traced; a destructor that runs during unwinding must not throw again.
    }
}

namespace {

// The call's ARM transaction; stopped exactly once, with status 2 unless the call succeeded.
class ArmCall {
public:
    ArmCall() = default;
    ArmCall(ArmCall const &) = delete;
    ArmCall &operator=(ArmCall const &) = delete;
    ~ArmCall() { stop(2, nullptr); }
    void start(RpcProcedure const &entry, XdrObject *request) { started_ = start_arm_transaction(entry, request); }
    void stop(int status, Nul::ArmBuffer const *buffer) {
        if (!started_) return;
        started_ = false;
        Nul::ArmPerThreadOperationStack::stop_transaction(status, buffer);
    }

private:
    bool started_ = false;
};

// The response of a call; freed through its result routine exactly once.
class ResultHolder {
public:
    explicit ResultHolder(xdrproc_t routine) : routine_(routine) {}
    ResultHolder(ResultHolder const &) = delete;
    ResultHolder &operator=(ResultHolder const &) = delete;
    ~ResultHolder() {
        try {
            free();
        } catch (...) {
            // A destructor that may run during unwinding: the reply's own free has reported it.
        }
    }
    XdrObject **slot() { return &result_; }
    XdrObject *get() const { return result_; }
    void set(std::unique_ptr<XdrObject> response) {
        free();
        result_ = response.release();
    }
    void free() {
        if (result_) xdr_free(routine_, reinterpret_cast<char *>(&result_));
        result_ = nullptr;
    }

private:
    xdrproc_t routine_;
    XdrObject *result_ = nullptr;
};

// The call's decode budget. After a call whose arguments held much, their memory goes back to the
// system: the many small blocks of a long list would otherwise stay with the worker's arena.
class CallDecodeBudget {
public:
    CallDecodeBudget() : budget_(decode_bytes_limit()) {}
    CallDecodeBudget(CallDecodeBudget const &) = delete;
    CallDecodeBudget &operator=(CallDecodeBudget const &) = delete;
    ~CallDecodeBudget() {
        if (budget_.exceeded() || budget_.charged_over(trim_after)) malloc_trim(0);
    }

private:
    static constexpr std::size_t trim_after = std::size_t{4} << 20;
    DecodeBudget budget_;
};

struct Call {
    ks_svc_req *request;
    KS_SVCXPRT *transport;
};

void guarded_dispatch(void *context) {
    auto *call = static_cast<Call *>(context);
    dispatch_request(call->request, call->transport);
}

long dispatch_filter(KxWin::EXCEPTION_POINTERS *pointers, void *) { return crash_filter(pointers); }

} // namespace

extern "C" void kxrpc_dispatch(ks_svc_req *request, KS_SVCXPRT *transport) {
    initialize_com_for_thread();
    Call call{request, transport};
    try {
        if (!KxWin::seh_try(guarded_dispatch, &call, dispatch_filter, nullptr) && settings().on_error == 1)
            std::abort();
    } catch (...) {
        // Passed on by the guard (on-error mode 2): nothing above the dispatcher may see it, so
        // the process's last resort takes it.
        std::terminate();
    }
}

void dispatch_request(ks_svc_req *request, KS_SVCXPRT *transport) {
    wchar_t const *name = L"unknown";
    RpcProcedure *entry = nullptr;
    try {
        rpcproc_t const number = request->rq_proc;
        if (number == 0) {
            ks_svc_sendreply(transport, procedure_table()[0].xdr_result, nullptr);
            trace_core("Error unknown rpc method");
            return;
        }
        if (number >= static_cast<rpcproc_t>(procedure_count) || !procedure_table()[number].handler) {
            ks_svcerr_noproc(transport);
            trace_core("Error unknown rpc method");
            return;
        }
        entry = &procedure_table()[number];
    } catch (...) {
        trace_exception(name, L"Unhandled exception lookup method");
        throw;
    }

    CallScope call_scope(transport);
    if (request->rq_proc == shutdown_procedure && !shutdown_allowed(call_peer(), remote_shutdown_allowed())) {
        // Anyone who reaches the port may not stop the server: only a peer on this host.
        ks_svcerr_weakauth(transport);
        trace_core("Refused shutdown from %s", call_peer().host().c_str());
        return;
    }
    MemoryReportScope memory_scope(entry->name);
    alignas(std::max_align_t) unsigned char buffer[max_request_size];
    CallDecodeBudget decode_budget; // outlives the request, which frees what it decoded
    ArgsHolder args;
    ArmCall arm;
    ResultHolder result(entry->xdr_result);
    bool replied = false;
    bool sending = false;
    try {
        if (entry->request_size != 0) {
            args.set(entry->construct(buffer));
            if (!ks_svc_getargs(transport, entry->xdr_args, args.get())) {
                // A server exception while decoding is answered as an error reply.
                if (std::exception_ptr failure = take_decode_failure()) {
                    args.free();
                    std::rethrow_exception(failure);
                }
                ks_svcerr_decode(transport);
                trace_exception(L"", L"Error getting arguments...returning");
                args.free();
                return;
            }
        }
        // Decoding only decodes: whether the session's user may still be served is asked here.
        if (StateItem *session = call_scope.state().session) session->check_access();
        arm.start(*entry, args.get());
        name = entry->name;
        trace_start(name, L"");

        try {
            result.set(entry->handler(args.get()));
        } catch (Nul::STPException const &e) {
            replied = true;
            send_error_reply(transport, e, name);
            Nul::ArmBuffer stop_buffer;
            stop_buffer.add_buffer(exception_message_text(e));
            arm.stop(2, &stop_buffer);
        }

        if (result.get()) {
            sending = true;
            if (!ks_svc_sendreply(transport, entry->xdr_result, result.slot())) {
                // The runtime took back what was written: the encoder's own error goes out instead.
                if (std::exception_ptr failure = take_reply_failure()) {
                    result.free();
                    sending = false;
                    std::rethrow_exception(failure);
                }
                ks_svcerr_systemerr(transport);
            }
            replied = true;
            arm.stop(0, nullptr);
            result.free();
            sending = false;
        }
        args.free();
        trace_finish(name, L"");
    } catch (Nul::STPException const &e) {
        if (!replied) send_error_reply(transport, e, name);
        trace_stp_exception(name, e);
    } catch (...) {
        if (sending) {
            trace_exception(name, L"Unhandled exception sending response");
            throw;
        }
        if (!replied && !settings().just_exit) {
            Nul::UString text(name);
            text.append(L": ");
            text.append(L"Unexpected Exception");
            send_error_reply(transport, KXInternalErrorException(Reason::unexpected_exception, text, nullptr), name);
        }
        trace_exception(name, L"Unhandled exception .. catch all");
        throw;
    }
}

int register_arm(int level) {
    Nul::ArmBuffer application_buffer;
    int rc = Nul::ArmApplication::register_application(static_cast<Nul::arm_level_t>(level), Nul::UString(L"kxrpc"),
                                                       &application_buffer);
    for (int i = 0; rc >= 0 && i < procedure_count; ++i) {
        RpcProcedure &entry = procedure_table()[i];
        rc = Nul::ArmApplication::register_transaction(Nul::ArmBuffer::pool_string(Nul::UString(entry.name)), 0,
                                                       nullptr, &entry.arm_tran_id);
    }
    if (rc >= 0) rc = Nul::ArmApplication::start_application(nullptr, Nul::UString(), Nul::UString());
    if (rc < 0) {
        char text[ARM_MSG_BUFFER_LENGTH + 1] = {};
        Nul::ArmApplication::get_error_message(0, rc, text);
        trace_core("ARM registration failed: %s", text);
    }
    return rc;
}

} // namespace KxRpc
