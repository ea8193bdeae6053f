// The procedure table: the subsystems' rows joined by procedure number.
#include "core/dispatch.h"

#include <atomic>
#include <cstdlib>

#include "core/options.h"

namespace KxRpc {

bool join_procedures(std::span<std::span<ProcedureRow const> const> lists,
                     std::array<ProcedureRow const *, procedure_count> &by_number, std::string &problem) {
    by_number.fill(nullptr);
    for (std::span<ProcedureRow const> list : lists) {
        for (ProcedureRow const &row : list) {
            if (row.number < 0 || row.number >= procedure_count) {
                problem = "procedure number " + std::to_string(row.number) + " is out of range";
                return false;
            }
            if (by_number[row.number]) {
                problem = "procedure number " + std::to_string(row.number) + " is listed twice";
                return false;
            }
            by_number[row.number] = &row;
        }
    }
    for (int i = 0; i < procedure_count; ++i) {
        if (!by_number[i]) {
            problem = "procedure number " + std::to_string(i) + " is missing";
            return false;
        }
    }
    return true;
}

namespace {

struct JoinedRows {
    std::array<ProcedureRow const *, procedure_count> by_number{};
    std::string problem; // empty when the rows make a table
};

JoinedRows const &joined_rows() {
    static JoinedRows const joined = [] {
        std::span<ProcedureRow const> const lists[] = {core_procedures(), session_procedures(), props_procedures(),
                                                       query_procedures(), change_procedures()};
        JoinedRows rows;
        if (!join_procedures(lists, rows.by_number, rows.problem) && rows.problem.empty())
            rows.problem = "the rows do not join";
        return rows;
    }();
    return joined;
}

std::array<ProcedureRow const *, procedure_count> const &rows_by_number() {
    JoinedRows const &joined = joined_rows();
    if (!joined.problem.empty()) {
        // A build defect that start-up reports before serving; no table is better than a wrong one.
        log_message("kxrpc: the procedure table is inconsistent: %s\n", joined.problem.c_str());
        std::abort();
    }
    return joined.by_number;
}

std::atomic<bool> table_built{false};

RpcProcedure make_entry(ProcedureRow const &row) {
    rpc_handler_t handler = row.handler;
    // A handler is only reachable with a request to decode and a reply to encode.
    if (!row.construct || !row.xdr_args || !row.xdr_result || row.request_size > max_request_size) handler = nullptr;
    return RpcProcedure{handler, row.construct, row.request_size, row.xdr_args, row.xdr_result, row.name, {}};
}

} // namespace

ProcedureRow const *procedure_row(int number) {
    if (number < 0 || number >= procedure_count) return nullptr;
    return rows_by_number()[number];
}

RpcProcedure *procedure_table() {
    // Built by start-up (build_procedure_table) before any listener opens; read-only afterwards
    // except for the ARM transaction ids that start-up registers.
    static RpcProcedure *table = [] {
        static RpcProcedure entries[procedure_count];
        for (int i = 0; i < procedure_count; ++i) entries[i] = make_entry(*rows_by_number()[i]);
        table_built = true;
        return entries;
    }();
    return table;
}

bool build_procedure_table(std::string &problem) {
    problem = joined_rows().problem;
    if (!problem.empty()) return false;
    procedure_table();
    return true;
}

bool procedure_table_built() { return table_built; }

} // namespace KxRpc
