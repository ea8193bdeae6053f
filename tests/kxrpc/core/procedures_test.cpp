// The procedure table: rows joined by number, names in procedure order, and routines that decode
// what they name.
#include "core/dispatch.h"

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "change/admin.h"
#include "change/attachment_requests.h"
#include "change/requests.h"
#include "query/requests.h"
#include "xdr_buffer.h"

using namespace KxRpc;

namespace {

// The procedure's result routine on an XdrVoid reply: the bytes it writes; freeing deletes the
// reply and clears the pointer.
kxtest::Bytes empty_reply(int procedure) {
    auto result = reinterpret_cast<bool_t (*)(XDR *, void *)>(procedure_row(procedure)->xdr_result);
    XdrObject *response = new XdrVoid();
    bool ok = false;
    kxtest::Bytes out = kxtest::encode([&](XDR *x) { return result(x, &response); }, &ok);
    EXPECT_TRUE(ok) << procedure;
    XDR free_op;
    free_op.x_op = XDR_FREE;
    EXPECT_TRUE(result(&free_op, &response));
    EXPECT_EQ(response, nullptr);
    return out;
}

} // namespace

TEST(ProcedureTable, NamesInProcedureOrder) {
    wchar_t const *names[] = {L"ping",
                              L"shutdown",
                              L"delete_state",
                              L"fetch_props",
                              L"put_props",
                              L"login",
                              L"resolve_type",
                              L"execute_query",
                              L"mkresource",
                              L"create_temp",
                              L"deliver_change_context",
                              L"validate_action",
                              L"validate_record_props",
                              L"get_attachment",
                              L"make_attachment",
                              L"resolve_attachment",
                              L"fire_hook",
                              L"fire_script_alias",
                              L"get_all_dbsets",
                              L"get_rec_family_info",
                              L"copy_query",
                              L"get_folder_descendents",
                              L"kx_get_my_activity_list",
                              L"find_record",
                              L"get_oplog_entries",
                              L"execute_fulltext_search",
                              L"upgrade_databases",
                              L"kxrpc_get_userdb_description",
                              L"kxrpc_get_accessible_databases",
                              L"revert_record",
                              L"create_user",
                              L"get_attachment_direct",
                              L"make_attachment_direct",
                              L"kxrpc_rename_workspace_item",
                              L"kxrpc_kx_masterproperty",
                              L"kxrpc_fetch_bulk",
                              L"move_query"};
    static_assert(sizeof(names) / sizeof(names[0]) == procedure_count);
    for (int i = 0; i < procedure_count; ++i) {
        ProcedureRow const *g = procedure_row(i);
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(g->number, i);
        EXPECT_EQ(std::wstring(g->name), names[i]) << i;
        // A request constructor always comes with its size and argument routine.
        EXPECT_EQ(g->construct == nullptr, g->xdr_args == nullptr) << i;
        EXPECT_EQ(g->construct == nullptr, g->request_size == 0) << i;
    }
    EXPECT_EQ(procedure_row(-1), nullptr);
    EXPECT_EQ(procedure_row(procedure_count), nullptr);
    EXPECT_EQ(procedure_row(0)->construct, nullptr);
    EXPECT_NE(procedure_row(0)->xdr_result, nullptr);
}

TEST(ProcedureTable, ShutdownReadsNothingAndRepliesWithNothing) {
    ProcedureRow const *g = procedure_row(1);
    ASSERT_NE(g->construct, nullptr);
    alignas(std::max_align_t) unsigned char storage[64];
    ASSERT_LE(g->request_size, sizeof(storage));
    XdrObject *request = g->construct(storage);
    EXPECT_NE(dynamic_cast<XdrVoid *>(request), nullptr);
    auto args = reinterpret_cast<bool_t (*)(XDR *, void *)>(g->xdr_args);
    std::size_t used = 1;
    EXPECT_TRUE(kxtest::decode(
        kxtest::words({7}), [&](XDR *x) { return args(x, request); }, &used));
    EXPECT_EQ(used, 0u);
    request->~XdrObject();
    // No leading FALSE: the reply body is empty.
    EXPECT_TRUE(empty_reply(1).empty());
}

TEST(ProcedureTable, RequestsBuildInStorageAndDecode) {
    ProcedureRow const *g = procedure_row(28);
    ASSERT_NE(g->construct, nullptr);
    ASSERT_EQ(g->request_size, sizeof(GetAccessibleDatabasesArgs));
    alignas(std::max_align_t) unsigned char storage[1024];
    ASSERT_LE(g->request_size, sizeof(storage));
    XdrObject *request = g->construct(storage);
    kxtest::Bytes b = kxtest::words({0, 5, 1, 0x41000000, 1, 0x42000000, 0, 1, 0x43000000, 0});
    auto args = reinterpret_cast<bool_t (*)(XDR *, void *)>(g->xdr_args);
    EXPECT_TRUE(kxtest::decode(b, [&](XDR *x) { return args(x, request); }));
    auto *typed = dynamic_cast<GetAccessibleDatabasesArgs *>(request);
    ASSERT_NE(typed, nullptr);
    EXPECT_EQ(typed->username().utf8_str().std_str(), "B");
    EXPECT_FALSE(typed->security());
    // Another procedure's routine refuses this object instead of misreading it.
    auto other = reinterpret_cast<bool_t (*)(XDR *, void *)>(procedure_row(24)->xdr_args);
    EXPECT_FALSE(kxtest::decode(b, [&](XDR *x) { return other(x, request); }));
    request->~XdrObject();
}

TEST(ProcedureTable, SharedRoutines) {
    // get_attachment and get_attachment_direct send one request body.
    EXPECT_EQ(procedure_row(13)->xdr_args, procedure_row(31)->xdr_args);
    EXPECT_EQ(procedure_row(13)->construct, procedure_row(31)->construct);
    // The empty response of validate_action serves 12, 15 and 29 too.
    for (int n : {12, 15, 29}) EXPECT_EQ(procedure_row(n)->xdr_result, procedure_row(11)->xdr_result) << n;
    EXPECT_NE(procedure_row(11)->xdr_result, nullptr);
    // make_attachment and make_attachment_direct answer with one reply class.
    EXPECT_NE(procedure_row(14)->xdr_result, nullptr);
    EXPECT_EQ(procedure_row(14)->xdr_result, procedure_row(32)->xdr_result);
    EXPECT_NE(procedure_row(14)->xdr_args, procedure_row(32)->xdr_args);
    // Every procedure has its reply.
    for (int n = 0; n < procedure_count; ++n) EXPECT_NE(procedure_row(n)->xdr_result, nullptr) << n;
}

TEST(ProcedureTable, ValidateActionRepliesWithOneFalse) { EXPECT_EQ(empty_reply(11), kxtest::words({0})); }

TEST(ProcedureTable, JoinRefusesGapsDuplicatesAndStrangers) {
    auto row = [](int number) { return ProcedureRow{number, L"p", nullptr, 0, nullptr, nullptr, nullptr}; };
    std::vector<ProcedureRow> all;
    for (int i = 0; i < procedure_count; ++i) all.push_back(row(i));
    std::array<ProcedureRow const *, procedure_count> joined{};
    std::string problem;
    std::span<ProcedureRow const> halves[] = {std::span(all).first(10), std::span(all).subspan(10)};
    EXPECT_TRUE(join_procedures(halves, joined, problem));
    int const last = procedure_count - 1;
    EXPECT_EQ(joined[last], &all[last]);

    std::span<ProcedureRow const> gap[] = {std::span(all).first(last)};
    EXPECT_FALSE(join_procedures(gap, joined, problem));
    EXPECT_EQ(problem, "procedure number " + std::to_string(last) + " is missing");

    std::vector<ProcedureRow> twice = {row(5)};
    std::span<ProcedureRow const> duplicate[] = {all, twice};
    EXPECT_FALSE(join_procedures(duplicate, joined, problem));
    EXPECT_EQ(problem, "procedure number 5 is listed twice");

    std::vector<ProcedureRow> stranger = {row(procedure_count)};
    std::span<ProcedureRow const> outside[] = {stranger};
    EXPECT_FALSE(join_procedures(outside, joined, problem));
    EXPECT_EQ(problem, "procedure number " + std::to_string(procedure_count) + " is out of range");
}
