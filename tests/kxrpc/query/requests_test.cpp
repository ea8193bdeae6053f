// Requests of queries decoded from bytes written with libtirpc's own primitives: database sets,
// record families, the oplog, renames, record lookup and the paged requests.
#include "query/requests.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "query/paged.h"
#include "target/target.h"
#include "wire_builder.h"

using namespace KxRpc;
using kxtest::action;
using kxtest::Bytes;
using kxtest::decode_args;
using kxtest::record;
using kxtest::rectype;
using kxtest::u8;
using kxtest::Wire;

TEST(RequestClasses, GetAllDbSets) {
    GetAllDbSetsArgs a;
    std::size_t used = 0;
    ASSERT_TRUE(decode_args(a, Wire().i(0).i(0x1f).bytes(), &used));
    EXPECT_EQ(used, 8u);
    EXPECT_EQ(u8(a.describe()), "wtid:1f");
    GetAllDbSetsArgs short_one;
    EXPECT_FALSE(decode_args(short_one, Wire().i(0).bytes()));
}

TEST(RequestClasses, GetUserDbDescription) {
    GetUserDbDescriptionArgs a;
    ASSERT_TRUE(decode_args(a, Wire().i(0).i(0xab).s("DEMO").s("SAMPL").bytes()));
    EXPECT_EQ(u8(a.dbset()), "DEMO");
    EXPECT_EQ(u8(a.userdb()), "SAMPL");
    EXPECT_EQ(u8(a.trace_line()), "wtid:ab :: dbset:DEMO :: userdb:SAMPL");
    GetUserDbDescriptionArgs cut;
    EXPECT_FALSE(decode_args(cut, Wire().i(0).i(1).s("DEMO").bytes()));
}

TEST(RequestClasses, GetAccessibleDatabasesNeverTracesTheCredential) {
    GetAccessibleDatabasesArgs a;
    ASSERT_TRUE(decode_args(a, Wire().i(0).i(2).s("DEMO").s("admin").s("s3cr3t").s("web1").b(true).bytes()));
    EXPECT_EQ(u8(a.password()), "s3cr3t");
    EXPECT_TRUE(a.security());
    std::string line = u8(a.trace_line());
    EXPECT_EQ(line, "wtid:2 :: dbset:DEMO :: username:admin :: host:web1 :: security:1");
    EXPECT_EQ(line.find("s3cr3t"), std::string::npos);
}

TEST(RequestClasses, GetRecFamilyInfoIsTheHeaderAlone) {
    GetRecFamilyInfoArgs a;
    Bytes b = Wire().session_header(7).bytes();
    std::size_t used = 0;
    ASSERT_TRUE(decode_args(a, b, &used));
    EXPECT_EQ(used, b.size());
    EXPECT_EQ(u8(a.trace_line()), u8(a.SessionArg::trace_line()));
}

TEST(RequestClasses, GetOplogEntries) {
    GetOplogEntriesArgs a;
    ASSERT_TRUE(decode_args(a, Wire().session_header(7).u(10).u(0xFFFFFFFFu).b(true).bytes()));
    EXPECT_EQ(a.start(), 10u);
    EXPECT_EQ(a.count(), 0xFFFFFFFFu);
    EXPECT_TRUE(a.asxml());
    EXPECT_EQ(u8(a.trace_line()), u8(a.SessionArg::trace_line()) + " :: start:10 :: cout:-1 :: asxml:1");
}

TEST(RequestClasses, RenameWorkspaceItemReadsTheDbidFirst) {
    RenameWorkspaceItemArgs a;
    ASSERT_TRUE(decode_args(a, Wire().session_header(7).i(33554433).s("Renamed").bytes()));
    EXPECT_EQ(a.dbid(), 33554433);
    EXPECT_EQ(u8(a.new_name()), "Renamed");
    EXPECT_EQ(u8(a.trace_line()), u8(a.SessionArg::trace_line()));
}

TEST(TargetRequests, FindRecordLocations) {
    FindRecordArgs none;
    ASSERT_TRUE(decode_args(none, Wire().session_header(7).b(false).s("ISSUE00000001").i(838).i(0).bytes()));
    EXPECT_EQ(
        u8(none.describe()),
        "wtid:7 :: no session :: is_dbid:F :: dbid:0 :: name:ISSUE00000001 :: find_mode:838 :: num_loc:0 :: locs:()");
    FindRecordArgs two;
    ASSERT_TRUE(decode_args(
        two,
        Wire().session_header(7).b(true).i(33554433).i(837).i(2).t(rectype(L"Defect")).t(rectype(L"Project")).bytes()));
    EXPECT_TRUE(two.is_dbid());
    EXPECT_EQ(two.dbid(), 33554433);
    ASSERT_EQ(two.locs_end() - two.locs_begin(), 2);
    std::string locs = "(" + u8(two.locs_begin()->trace_line()) + ")(" + u8((two.locs_begin() + 1)->trace_line()) + ")";
    EXPECT_EQ(u8(two.describe()), "wtid:7 :: no session :: is_dbid:T :: dbid:33554433 :: name: :: find_mode:837 :: "
                                  "num_loc:2 :: locs:(" +
                                      locs + ")");
    FindRecordArgs negative;
    EXPECT_FALSE(decode_args(negative, Wire().session_header(7).b(true).i(1).i(837).i(-1).bytes()));
    FindRecordArgs lying;
    EXPECT_FALSE(
        decode_args(lying, Wire().session_header(7).b(true).i(1).i(837).i(1000000).t(rectype(L"Defect")).bytes()));
}

TEST(QueryRequests, ExecuteQueryWithAndWithoutTarget) {
    ExecuteQueryArgs with;
    ASSERT_TRUE(decode_args(with, Wire()
                                      .session_header(7)
                                      .i(50)
                                      .b(false)
                                      .b(true)
                                      .t(TargetResourceArg(36, Nul::UString(L"Public Queries/All")))
                                      .s("<q/>")
                                      .bytes()));
    EXPECT_EQ(with.request_num(), 50);
    EXPECT_FALSE(with.has_def());
    EXPECT_EQ(with.resource_type(), 36);
    EXPECT_EQ(u8(with.trace_line()), "(wtid:7 :: no session) :: (is_returning:F :: request_num:50) :: (" +
                                         u8(with.target_op().trace_line()) + ") :: (request:<q/> :: has_def:F) ");
    ExecuteQueryArgs without;
    ASSERT_TRUE(decode_args(without, Wire().session_header(7).i(10).b(false).b(false).s("<def/>").bytes()));
    EXPECT_TRUE(without.has_def());
    EXPECT_TRUE(without.arm_target_uri().empty());
    EXPECT_EQ(u8(without.request()), "<def/>");
    // A returning call carries only the handle of the earlier call.
    ExecuteQueryArgs returning;
    std::size_t used = 0;
    Bytes r = Wire().session_header(7).i(10).b(true).i(4).i(0).bytes();
    ASSERT_TRUE(decode_args(returning, r, &used));
    EXPECT_EQ(used, r.size());
    EXPECT_TRUE(returning.is_returning());
}

TEST(QueryRequests, ActivityListReadsProjectAndStreamUnlessReturning) {
    KxGetMyActivityListArgs a;
    ASSERT_TRUE(decode_args(a, Wire().session_header(7).i(25).b(false).s("Apollo").s("main").bytes()));
    EXPECT_EQ(u8(a.project()), "Apollo");
    EXPECT_EQ(u8(a.stream()), "main");
    EXPECT_FALSE(a.is_state_item_target());
    EXPECT_TRUE(a.arm_target_uri().empty());
    a.set_request(Nul::UString(L"<doc/>"));
    a.set_has_def(true);
    EXPECT_EQ(u8(a.trace_line()).substr(u8(a.trace_line()).find(":: (request:")), ":: (request:<doc/> :: has_def:T) ");
    KxGetMyActivityListArgs cut;
    EXPECT_FALSE(decode_args(cut, Wire().session_header(7).i(25).b(false).s("Apollo").bytes()));
}

TEST(QueryRequests, FullTextSearchWithAndWithoutParent) {
    ExecuteFullTextSearchArgs bare;
    ASSERT_TRUE(decode_args(
        bare, Wire().session_header(7).i(20).b(false).i(20).i(200).s("crash").i(1).i(1).t(rectype(L"Defect")).bytes()));
    EXPECT_EQ(bare.rec_types().size(), 1u);
    EXPECT_TRUE(bare.display_field_names().empty());
    EXPECT_FALSE(bare.has_parent_record());

    ExecuteFullTextSearchArgs full;
    ASSERT_TRUE(decode_args(full, Wire()
                                      .session_header(7)
                                      .i(20)
                                      .b(false)
                                      .i(20)
                                      .i(200)
                                      .s("crash")
                                      .i(1)
                                      .i(0)
                                      .i(1)
                                      .t(TargetResourceArg(35, Nul::UString(L"Defect"), Nul::UString(L"Headline")))
                                      .t(rectype(L"Project"))
                                      .s("33554433")
                                      .t(TargetResourceArg(35, Nul::UString(L"Project"), Nul::UString(L"Lead")))
                                      .bytes()));
    EXPECT_TRUE(full.has_parent_record());
    EXPECT_EQ(full.parent_record_dbid(), 33554433);
    std::string expected =
        "wtid:7 :: no session :: is_returning:F :: request_num:20 :: page_size:20 :: "
        "cache_size:200 :: search_string:crash :: start_row:1 :: rec_types:() :: "
        "display_field_names:((" +
        u8(full.display_field_names()[0].trace_line()) +
        ")) :: parent_record_type:" + u8(full.parent_record_type().trace_line()) +
        " :: parent_record_dbid:33554433 :: parent_field_name:" + u8(full.parent_field_name().trace_line());
    EXPECT_EQ(u8(full.trace_line()), expected);

    ExecuteFullTextSearchArgs cut_parent;
    EXPECT_FALSE(decode_args(
        cut_parent,
        Wire().session_header(7).i(20).b(false).i(20).i(200).s("x").i(1).i(0).i(0).t(rectype(L"Project")).bytes()));
    ExecuteFullTextSearchArgs hostile;
    EXPECT_FALSE(decode_args(hostile, Wire().session_header(7).i(20).b(false).i(20).i(200).s("x").i(1).i(-7).bytes()));
}
