#include "core/record_owners.h"

#include <array>
#include <cstddef>

#include "core/dispatch.h"
#include "props/requests.h"
#include "target/requests.h"
#include "wire/spool_charge.h"

namespace KxRpc {

namespace {

// By procedure number; filled before the runtime serves, read-only afterwards.
std::array<SessionPlace, procedure_count> places{};

// A request's class says where its arguments carry the session: a property request has a flag
// word before it, any other session request none; the rest carry no session.
SessionPlace place_of_request(RpcProcedure const &entry) {
    if (entry.construct == nullptr) return SessionPlace::none;
    alignas(std::max_align_t) unsigned char buffer[max_request_size];
    XdrObject *request = entry.construct(buffer);
    SessionPlace place = SessionPlace::none;
    if (dynamic_cast<PropsOpArgs *>(request) != nullptr)
        place = SessionPlace::props_header;
    else if (dynamic_cast<SessionArg *>(request) != nullptr)
        place = SessionPlace::header;
    request->~XdrObject();
    return place;
}

SessionPlace place_of(rpcprog_t prog, rpcvers_t vers, rpcproc_t proc) {
    if (prog != kxrpc_program || vers != kxrpc_version || proc >= places.size()) return SessionPlace::none;
    return places[proc];
}

} // namespace

void register_record_owners() {
    RpcProcedure const *table = procedure_table();
    for (int i = 0; i < procedure_count; ++i) places[static_cast<std::size_t>(i)] = place_of_request(table[i]);
    register_spool_owners(place_of);
}

} // namespace KxRpc
