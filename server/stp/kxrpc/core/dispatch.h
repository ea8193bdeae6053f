// The procedure table and the dispatcher of RPC program 0x20031855 version 1.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>

#include <rpc/xdr.h>

#include "ks_rpcsvc.h"
#include "tesutil/armbuffer.h"
#include "wire/procedure.h"
#include "wire/xdrobject.h"

namespace KxRpc {

constexpr rpcprog_t kxrpc_program = 0x20031855;
constexpr rpcvers_t kxrpc_version = 1;

using request_ctor_t = XdrObject *(*)(void *buffer);

struct RpcProcedure {
    rpc_handler_t handler;
    request_ctor_t construct;
    std::size_t request_size;
    xdrproc_t xdr_args;   // decodes the request object it is given
    xdrproc_t xdr_result; // encodes (and frees) through a pointer to the response pointer
    wchar_t const *name;
    arm_id arm_tran_id;
};

// The table indexed by procedure number, procedure_count entries, built from the subsystems'
// rows on first use.
RpcProcedure *procedure_table();
// Builds the table and checks the rows it is built from; false (with what is wrong) when they do
// not make one. Start-up calls it before it opens a listener, whatever the options.
bool build_procedure_table(std::string &problem);
// Whether the table has been built in this process.
bool procedure_table_built();
// The registration row of a procedure; null outside 0 to procedure_count - 1.
ProcedureRow const *procedure_row(int number);
// Joins lists of rows into `by_number`; false (with what is wrong) unless every number from 0 to
// procedure_count - 1 appears exactly once.
bool join_procedures(std::span<std::span<ProcedureRow const> const> lists,
                     std::array<ProcedureRow const *, procedure_count> &by_number, std::string &problem);

// Holds the request object built in the dispatcher's buffer; destroys it in place exactly once.
class ArgsHolder {
public:
    ArgsHolder() = default;
    ArgsHolder(ArgsHolder const &) = delete;
    ArgsHolder &operator=(ArgsHolder const &) = delete;
    ~ArgsHolder();
    void set(XdrObject *object) { object_ = object; }
    XdrObject *get() const { return object_; }
    void free();

private:
    XdrObject *object_ = nullptr;
};

extern "C" void kxrpc_dispatch(ks_svc_req *request, KS_SVCXPRT *transport);

// One call without the crash guard; also used by the tests.
void dispatch_request(ks_svc_req *request, KS_SVCXPRT *transport);

// Registers the application and one transaction per table entry with the ARM agent; the first
// negative result ends it and is returned.
int register_arm(int level);

} // namespace KxRpc
