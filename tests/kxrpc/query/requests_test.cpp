// Request classes without targets, decoded from bytes written with libtirpc's own primitives,
// and the typed glue routines around them.
#include "query/requests.h"
#include "change/admin.h"
#include "change/attachment_requests.h"
#include "change/requests.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "wire/glue.h"
#include "query/paged.h"
#include "wire/target.h"
#include "wire_builder.h"

using namespace KxRpc;
using kxtest::Bytes;

namespace {

using kxtest::Wire;

template <class T>
bool decode_all(T &args, Bytes const &bytes, std::size_t *consumed = nullptr) {
    return kxtest::decode_args(args, bytes, consumed);
}

std::string u8(Nul::UString const &s) { return s.utf8_str().std_str(); }

} // namespace

TEST(RequestClasses, GetAllDbSets) {
    GetAllDbSetsArgs a;
    std::size_t used = 0;
    ASSERT_TRUE(decode_all(a, Wire().i(0).i(0x1f).bytes(), &used));
    EXPECT_EQ(used, 8u);
    EXPECT_EQ(u8(a.describe()), "wtid:1f");
    GetAllDbSetsArgs short_one;
    EXPECT_FALSE(decode_all(short_one, Wire().i(0).bytes()));
}

TEST(RequestClasses, GetUserDbDescription) {
    GetUserDbDescriptionArgs a;
    ASSERT_TRUE(decode_all(a, Wire().i(0).i(0xab).s("DEMO").s("SAMPL").bytes()));
    EXPECT_EQ(u8(a.dbset()), "DEMO");
    EXPECT_EQ(u8(a.userdb()), "SAMPL");
    EXPECT_EQ(u8(a.trace_line()), "wtid:ab :: dbset:DEMO :: userdb:SAMPL");
    GetUserDbDescriptionArgs cut;
    EXPECT_FALSE(decode_all(cut, Wire().i(0).i(1).s("DEMO").bytes()));
}

TEST(RequestClasses, GetAccessibleDatabasesNeverTracesTheCredential) {
    GetAccessibleDatabasesArgs a;
    ASSERT_TRUE(decode_all(a, Wire().i(0).i(2).s("DEMO").s("admin").s("s3cr3t").s("web1").b(true).bytes()));
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
    ASSERT_TRUE(decode_all(a, b, &used));
    EXPECT_EQ(used, b.size());
    EXPECT_EQ(u8(a.trace_line()), u8(a.SessionArg::trace_line()));
}

TEST(RequestClasses, GetOplogEntries) {
    GetOplogEntriesArgs a;
    ASSERT_TRUE(decode_all(a, Wire().session_header(7).u(10).u(0xFFFFFFFFu).b(true).bytes()));
    EXPECT_EQ(a.start(), 10u);
    EXPECT_EQ(a.count(), 0xFFFFFFFFu);
    EXPECT_TRUE(a.asxml());
    EXPECT_EQ(u8(a.trace_line()), u8(a.SessionArg::trace_line()) + " :: start:10 :: cout:-1 :: asxml:1");
}

TEST(RequestClasses, RenameWorkspaceItemReadsTheDbidFirst) {
    RenameWorkspaceItemArgs a;
    ASSERT_TRUE(decode_all(a, Wire().session_header(7).i(33554433).s("Renamed").bytes()));
    EXPECT_EQ(a.dbid(), 33554433);
    EXPECT_EQ(u8(a.new_name()), "Renamed");
    EXPECT_EQ(u8(a.trace_line()), u8(a.SessionArg::trace_line()));
}

TEST(RequestClasses, MasterPropertyTrailingFlagIsOptional) {
    MasterPropertyArgs without;
    ASSERT_TRUE(decode_all(without, Wire().session_header(7).s("get").s("p").s("v").s("db").s("rep").bytes()));
    EXPECT_FALSE(without.use_user_session());
    EXPECT_EQ(u8(without.trace_line()),
              u8(without.SessionArg::trace_line()) +
                  " :: action_name:get :: property_name:p :: property_value:v :: db_name:db :: replica_name:rep"
                  " :: use_user_session:0");
    MasterPropertyArgs with;
    ASSERT_TRUE(decode_all(with, Wire().session_header(7).s("set").s("p").s("v").s("db").s("rep").b(true).bytes()));
    EXPECT_TRUE(with.use_user_session());
    MasterPropertyArgs cut;
    EXPECT_FALSE(decode_all(cut, Wire().session_header(7).s("set").s("p").s("v").s("db").bytes()));
}

TEST(Glue, ArgumentRoutinesDecodeOnly) {
    GetOplogEntriesArgs a;
    Bytes b = Wire().session_header(7).u(1).u(2).b(false).bytes();
    bool ok = true;
    kxtest::encode([&](XDR *x) { return xdr_args_of<GetOplogEntriesArgs>(x, static_cast<XdrObject *>(&a)); }, &ok);
    EXPECT_FALSE(ok);
    // A request of another class is a cast failure reported as FALSE, never an exception.
    RenameWorkspaceItemArgs other;
    EXPECT_FALSE(kxtest::decode(
        b, [&](XDR *x) { return xdr_args_of<GetOplogEntriesArgs>(x, static_cast<XdrObject *>(&other)); }));
    EXPECT_FALSE(kxtest::decode(b, [&](XDR *x) { return xdr_args_of<GetOplogEntriesArgs>(x, nullptr); }));
}

TEST(Glue, ResultRoutinesFrameEncodeAndFree) {
    XdrObject *response = new XdrVoid();
    bool ok = false;
    Bytes framed = kxtest::encode([&](XDR *x) { return xdr_result_of<XdrVoid>(x, &response); }, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(framed, kxtest::words({0}));
    Bytes bare = kxtest::encode([&](XDR *x) { return xdr_unframed_result_of<XdrVoid>(x, &response); }, &ok);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(bare.empty());
    // Wrong class at encode: FALSE, and nothing written.
    Bytes wrong = kxtest::encode([&](XDR *x) { return xdr_result_of<GetOplogEntriesArgs>(x, &response); }, &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(wrong.empty());
    EXPECT_FALSE(kxtest::decode(Bytes(), [&](XDR *x) { return xdr_result_of<XdrVoid>(x, &response); }));
    XDR fx;
    fx.x_op = XDR_FREE;
    EXPECT_TRUE(xdr_result_of<XdrVoid>(&fx, &response));
    EXPECT_EQ(response, nullptr);
    EXPECT_TRUE(xdr_result_of<XdrVoid>(&fx, &response));
}

namespace {

TargetResourceArg rectype(wchar_t const *name) { return TargetResourceArg(31, Nul::UString(name)); }
TargetResourceArg record(u_int type_dbid, u_int dbid) { return TargetResourceArg(32, type_dbid, dbid); }
TargetResourceArg action(wchar_t const *type, wchar_t const *name) {
    return TargetResourceArg(40, Nul::UString(type), Nul::UString(name));
}

} // namespace

TEST(TargetRequests, BodyIsTheTarget) {
    Bytes b = Wire().session_header(7).t(record(16777217u, 33554433u)).bytes();
    ValidateRecordPropsArgs v;
    std::size_t used = 0;
    ASSERT_TRUE(decode_all(v, b, &used));
    EXPECT_EQ(used, b.size());
    EXPECT_EQ(v.resource_type(), 32);
    EXPECT_TRUE(v.target().is_marshalled_by_dbid());
    std::string target_line = u8(v.GenericOpArgs::trace_line());
    EXPECT_EQ(target_line, "target_resource_arg:(" + u8(v.target().trace_line()) + ")");
    EXPECT_EQ(u8(v.trace_line()), "wtid:7 :: no session :: " + target_line);
    RevertRecordArgs r;
    ASSERT_TRUE(decode_all(r, b));
    EXPECT_EQ(u8(r.describe()), "wtid:7 :: no session :: " + target_line);
    // The target URI needs the session.
    EXPECT_THROW(r.arm_target_uri(), Nul::STPException);
    GetFolderDescendentsArgs f;
    ASSERT_TRUE(decode_all(f, b));
    EXPECT_TRUE(f.arm_target_uri().empty());
    UpgradeDatabasesArgs cut;
    EXPECT_FALSE(decode_all(cut, Wire().session_header(7).i(32).bytes()));
}

TEST(TargetRequests, GetArgsOfBothAttachmentProcedures) {
    Bytes b = Wire().session_header(7).t(record(1, 2)).i(65536).bytes();
    GetArgs g;
    ASSERT_TRUE(decode_all(g, b));
    EXPECT_EQ(g.chunk_size(), 65536);
    EXPECT_EQ(g.target_type(), 32);
    GetArgs missing_chunk;
    EXPECT_FALSE(decode_all(missing_chunk, Wire().session_header(7).t(record(1, 2)).bytes()));
}

TEST(TargetRequests, ValidateActionTrace) {
    Bytes b = Wire().session_header(7).t(record(1, 2)).t(action(L"Defect", L"Assign")).i(3).bytes();
    ValidateActionArgs a;
    ASSERT_TRUE(decode_all(a, b));
    EXPECT_EQ(a.action_type(), 3);
    EXPECT_EQ(a.action().resource_type(), 40);
    EXPECT_EQ(u8(a.describe()), "(wtid:7 :: no session) (" + u8(a.GenericOpArgs::trace_line()) + ") :: (action:" +
                                    u8(a.action().trace_line()) + " :: type:3)");
    EXPECT_NE(u8(a.action().trace_line()).find("Assign"), std::string::npos);
}

TEST(TargetRequests, FireHookFieldsAndTrace) {
    Bytes b = Wire()
                  .session_header(7)
                  .t(record(1, 2))
                  .t(TargetResourceArg(51, Nul::UString(L"Notify")))
                  .s("p1")
                  .b(true)
                  .s("Defect_Form")
                  .s("Main")
                  .bytes();
    FireHookArgs h;
    ASSERT_TRUE(decode_all(h, b));
    EXPECT_TRUE(h.hook_given_by_name());
    EXPECT_TRUE(h.get_side_effects());
    EXPECT_EQ(u8(h.form_name()), "Defect_Form");
    EXPECT_EQ(u8(h.describe()), "wtid:7 :: no session :: " + u8(h.GenericOpArgs::trace_line()) + " :: (hook:" +
                                    u8(h.hook().trace_line()) +
                                    " :: param:p1:: get_side_effects:T :: formName:Defect_Form :: tabName:Main)");
    FireScriptAliasArgs s;
    ASSERT_TRUE(decode_all(s, Wire().session_header(7).t(record(1, 2)).t(action(L"Defect", L"Alias")).s("").s("T").bytes()));
    EXPECT_EQ(u8(s.describe()), "wtid:7 :: no session :: " + u8(s.GenericOpArgs::trace_line()) + " :: action:" +
                                    u8(s.action().trace_line()) + " :: formName: :: tabName:T");
}

TEST(TargetRequests, FindRecordLocations) {
    FindRecordArgs none;
    ASSERT_TRUE(decode_all(none, Wire().session_header(7).b(false).s("ISSUE00000001").i(838).i(0).bytes()));
    EXPECT_EQ(u8(none.describe()),
              "wtid:7 :: no session :: is_dbid:F :: dbid:0 :: name:ISSUE00000001 :: find_mode:838 :: num_loc:0 :: locs:()");
    FindRecordArgs two;
    ASSERT_TRUE(
        decode_all(two, Wire().session_header(7).b(true).i(33554433).i(837).i(2).t(rectype(L"Defect")).t(rectype(L"Project")).bytes()));
    EXPECT_TRUE(two.is_dbid());
    EXPECT_EQ(two.dbid(), 33554433);
    ASSERT_EQ(two.locs_end() - two.locs_begin(), 2);
    std::string locs = "(" + u8(two.locs_begin()->trace_line()) + ")(" + u8((two.locs_begin() + 1)->trace_line()) + ")";
    EXPECT_EQ(u8(two.describe()), "wtid:7 :: no session :: is_dbid:T :: dbid:33554433 :: name: :: find_mode:837 :: "
                                  "num_loc:2 :: locs:(" + locs + ")");
    FindRecordArgs negative;
    EXPECT_FALSE(decode_all(negative, Wire().session_header(7).b(true).i(1).i(837).i(-1).bytes()));
    FindRecordArgs lying;
    EXPECT_FALSE(decode_all(lying, Wire().session_header(7).b(true).i(1).i(837).i(1000000).t(rectype(L"Defect")).bytes()));
}

TEST(QueryRequests, ExecuteQueryWithAndWithoutTarget) {
    ExecuteQueryArgs with;
    ASSERT_TRUE(decode_all(with, Wire().session_header(7).i(50).b(false).b(true).t(TargetResourceArg(36, Nul::UString(L"Public Queries/All")))
                                     .s("<q/>").bytes()));
    EXPECT_EQ(with.request_num(), 50);
    EXPECT_FALSE(with.has_def());
    EXPECT_EQ(with.resource_type(), 36);
    EXPECT_EQ(u8(with.trace_line()), "(wtid:7 :: no session) :: (is_returning:F :: request_num:50) :: (" +
                                         u8(with.GenericOpArgs::trace_line()) + ") :: (request:<q/> :: has_def:F) ");
    ExecuteQueryArgs without;
    ASSERT_TRUE(decode_all(without, Wire().session_header(7).i(10).b(false).b(false).s("<def/>").bytes()));
    EXPECT_TRUE(without.has_def());
    EXPECT_TRUE(without.arm_target_uri().empty());
    EXPECT_EQ(u8(without.request()), "<def/>");
    // A returning call carries only the handle of the earlier call.
    ExecuteQueryArgs returning;
    std::size_t used = 0;
    Bytes r = Wire().session_header(7).i(10).b(true).i(4).i(0).bytes();
    ASSERT_TRUE(decode_all(returning, r, &used));
    EXPECT_EQ(used, r.size());
    EXPECT_TRUE(returning.is_returning());
}

TEST(QueryRequests, ActivityListReadsProjectAndStreamUnlessReturning) {
    KxGetMyActivityListArgs a;
    ASSERT_TRUE(decode_all(a, Wire().session_header(7).i(25).b(false).s("Apollo").s("main").bytes()));
    EXPECT_EQ(u8(a.project()), "Apollo");
    EXPECT_EQ(u8(a.stream()), "main");
    EXPECT_FALSE(a.is_state_item_target());
    EXPECT_TRUE(a.arm_target_uri().empty());
    a.set_request(Nul::UString(L"<doc/>"));
    a.set_has_def(true);
    EXPECT_EQ(u8(a.trace_line()).substr(u8(a.trace_line()).find(":: (request:")), ":: (request:<doc/> :: has_def:T) ");
    KxGetMyActivityListArgs cut;
    EXPECT_FALSE(decode_all(cut, Wire().session_header(7).i(25).b(false).s("Apollo").bytes()));
}

TEST(QueryRequests, FullTextSearchWithAndWithoutParent) {
    ExecuteFullTextSearchArgs bare;
    ASSERT_TRUE(decode_all(bare, Wire().session_header(7).i(20).b(false).i(20).i(200).s("crash").i(1).i(1)
                                     .t(rectype(L"Defect")).bytes()));
    EXPECT_EQ(bare.rec_types().size(), 1u);
    EXPECT_TRUE(bare.display_field_names().empty());
    EXPECT_FALSE(bare.has_parent_record());

    ExecuteFullTextSearchArgs full;
    ASSERT_TRUE(decode_all(full, Wire().session_header(7).i(20).b(false).i(20).i(200).s("crash").i(1).i(0).i(1)
                                     .t(TargetResourceArg(35, Nul::UString(L"Defect"), Nul::UString(L"Headline")))
                                     .t(rectype(L"Project")).s("33554433")
                                     .t(TargetResourceArg(35, Nul::UString(L"Project"), Nul::UString(L"Lead")))
                                     .bytes()));
    EXPECT_TRUE(full.has_parent_record());
    EXPECT_EQ(full.parent_record_dbid(), 33554433);
    std::string expected = "wtid:7 :: no session :: is_returning:F :: request_num:20 :: page_size:20 :: "
                           "cache_size:200 :: search_string:crash :: start_row:1 :: rec_types:() :: "
                           "display_field_names:((" + u8(full.display_field_names()[0].trace_line()) +
                           ")) :: parent_record_type:" + u8(full.parent_record_type().trace_line()) +
                           " :: parent_record_dbid:33554433 :: parent_field_name:" +
                           u8(full.parent_field_name().trace_line());
    EXPECT_EQ(u8(full.trace_line()), expected);

    ExecuteFullTextSearchArgs cut_parent;
    EXPECT_FALSE(decode_all(cut_parent, Wire().session_header(7).i(20).b(false).i(20).i(200).s("x").i(1).i(0).i(0)
                                           .t(rectype(L"Project")).bytes()));
    ExecuteFullTextSearchArgs hostile;
    EXPECT_FALSE(decode_all(hostile, Wire().session_header(7).i(20).b(false).i(20).i(200).s("x").i(1).i(-7).bytes()));
}
