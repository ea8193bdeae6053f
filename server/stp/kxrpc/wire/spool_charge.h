// Call records that go on to disk while they arrive belong to the login session their arguments
// name first: the runtime asks before a record passes KS_SPOOL_THRESHOLD, and its file's bytes are
// charged to that session, its user and the process (Holding::disk) as they come. A record that
// names no open session, or whose bytes a bound refuses, goes no further: the runtime reads the
// rest and drops it, and its call is answered from its head.
#pragma once

#include <cstdint>
#include <exception>

#include <rpc/rpc.h>

#include "wire/ledger.h"

namespace KxRpc {

// Where a procedure's arguments name their login session: nowhere, after the correlator, or
// after the correlator and a flag word.
enum class SessionPlace { none, header, props_header };
using SessionPlaceOf = SessionPlace (*)(rpcprog_t prog, rpcvers_t vers, rpcproc_t proc);

// Registers the owners with the runtime (before it serves); `place` must be safe from any thread.
void register_spool_owners(SessionPlaceOf place);

// Why the runtime cut the call's record on its way to disk, as the call's refusal: the bound
// that refused its bytes, or no known session for it; null when neither cut it.
std::exception_ptr spool_refusal(XDR *xdrs);
// Holds that refusal for the dispatcher (hold_decode_failure) unless a decode failure is held.
void hold_spool_refusal(XDR *xdrs) noexcept;
// Takes up to `bytes` of what the call's record charges over into `into` (see Charge::take):
// bytes copied from the record's file into one of their own leave the record's file.
void take_spool_charge(XDR *xdrs, Charge &into, std::uint64_t bytes);

} // namespace KxRpc
