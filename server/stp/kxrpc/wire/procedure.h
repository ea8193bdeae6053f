// One registration row per procedure: what the dispatcher needs to build, decode, serve and answer
// a call. Each subsystem lists its rows in its procedures.cpp; core's table joins the lists.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <span>

#include <rpc/xdr.h>

#include "wire/glue.h"
#include "wire/xdrobject.h"

namespace KxRpc {

// A handler returns its response, or throws an exception of the Nul::STPException family.
using rpc_handler_t = std::unique_ptr<XdrObject> (*)(XdrObject *request);

constexpr int procedure_count = 37;
// The dispatcher's request buffer: every request class fits it (checked where its row is made).
constexpr std::size_t max_request_size = 8192;

struct ProcedureRow {
    int number;
    wchar_t const *name;
    XdrObject *(*construct)(void *storage); // placement-new into the dispatcher's buffer
    std::size_t request_size;
    xdrproc_t xdr_args;    // decode only
    xdrproc_t xdr_result;  // encode (with or without the leading FALSE) and free
    rpc_handler_t handler; // null: answered PROC_UNAVAIL
};

// An XDR routine of any typed signature as the runtime's xdrproc_t.
template <class F>
xdrproc_t xdr_routine(F *f) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(f));
}

template <class Args>
XdrObject *construct_request(void *storage) {
    return ::new (storage) Args();
}

// A procedure whose request decodes into Args; a null handler or result routine leaves it
// answered PROC_UNAVAIL until both exist.
template <class Args>
ProcedureRow served(int number, wchar_t const *name, xdrproc_t result, rpc_handler_t handler) {
    static_assert(sizeof(Args) <= max_request_size, "the request does not fit the dispatcher's buffer");
    static_assert(alignof(Args) <= alignof(std::max_align_t), "the dispatcher's buffer is not aligned for the request");
    return ProcedureRow{number, name,   construct_request<Args>, sizeof(Args), xdr_routine(xdr_args_of<Args>),
                        result, handler};
}

// A procedure whose request decodes while its reply and handler are not built yet.
template <class Args>
ProcedureRow decoded(int number, wchar_t const *name) {
    return served<Args>(number, name, nullptr, nullptr);
}

// Each subsystem's rows, from its procedures.cpp.
std::span<ProcedureRow const> core_procedures();
std::span<ProcedureRow const> session_procedures();
std::span<ProcedureRow const> props_procedures();
std::span<ProcedureRow const> query_procedures();
std::span<ProcedureRow const> change_procedures();

} // namespace KxRpc
