// Requests of changes decoded from bytes written with libtirpc's own primitives: targets,
// attachments' chunks, validation, hooks and master properties.
#include "change/admin.h"
#include "change/attachment_requests.h"
#include "change/requests.h"

#include <string>

#include <gtest/gtest.h>

#include "query/requests.h"
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

TEST(RequestClasses, MasterPropertyTrailingFlagIsOptional) {
    MasterPropertyArgs without;
    ASSERT_TRUE(decode_args(without, Wire().session_header(7).s("get").s("p").s("v").s("db").s("rep").bytes()));
    EXPECT_FALSE(without.use_user_session());
    EXPECT_EQ(u8(without.trace_line()),
              u8(without.SessionArg::trace_line()) +
                  " :: action_name:get :: property_name:p :: property_value:v :: db_name:db :: replica_name:rep"
                  " :: use_user_session:0");
    MasterPropertyArgs with;
    ASSERT_TRUE(decode_args(with, Wire().session_header(7).s("set").s("p").s("v").s("db").s("rep").b(true).bytes()));
    EXPECT_TRUE(with.use_user_session());
    MasterPropertyArgs cut;
    EXPECT_FALSE(decode_args(cut, Wire().session_header(7).s("set").s("p").s("v").s("db").bytes()));
}

TEST(TargetRequests, BodyIsTheTarget) {
    Bytes b = Wire().session_header(7).t(record(16777217u, 33554433u)).bytes();
    ValidateRecordPropsArgs v;
    std::size_t used = 0;
    ASSERT_TRUE(decode_args(v, b, &used));
    EXPECT_EQ(used, b.size());
    EXPECT_EQ(v.resource_type(), 32);
    EXPECT_TRUE(v.target().is_marshalled_by_dbid());
    std::string target_line = u8(v.target_op().trace_line());
    EXPECT_EQ(target_line, "target_resource_arg:(" + u8(v.target().trace_line()) + ")");
    EXPECT_EQ(u8(v.trace_line()), "wtid:7 :: no session :: " + target_line);
    RevertRecordArgs r;
    ASSERT_TRUE(decode_args(r, b));
    EXPECT_EQ(u8(r.describe()), "wtid:7 :: no session :: " + target_line);
    // The target URI needs the session.
    EXPECT_THROW(r.arm_target_uri(), Nul::STPException);
    GetFolderDescendentsArgs f;
    ASSERT_TRUE(decode_args(f, b));
    EXPECT_TRUE(f.arm_target_uri().empty());
    UpgradeDatabasesArgs cut;
    EXPECT_FALSE(decode_args(cut, Wire().session_header(7).i(32).bytes()));
}

TEST(TargetRequests, GetArgsOfBothAttachmentProcedures) {
    Bytes b = Wire().session_header(7).t(record(1, 2)).i(65536).bytes();
    GetArgs g;
    ASSERT_TRUE(decode_args(g, b));
    EXPECT_EQ(g.chunk_size(), 65536);
    EXPECT_EQ(g.target_type(), 32);
    GetArgs missing_chunk;
    EXPECT_FALSE(decode_args(missing_chunk, Wire().session_header(7).t(record(1, 2)).bytes()));
}

TEST(TargetRequests, ValidateActionTrace) {
    Bytes b = Wire().session_header(7).t(record(1, 2)).t(action(L"Defect", L"Assign")).i(3).bytes();
    ValidateActionArgs a;
    ASSERT_TRUE(decode_args(a, b));
    EXPECT_EQ(a.action_type(), 3);
    EXPECT_EQ(a.action().resource_type(), 40);
    EXPECT_EQ(u8(a.describe()), "(wtid:7 :: no session) (" + u8(a.target_op().trace_line()) +
                                    ") :: (action:" + u8(a.action().trace_line()) + " :: type:3)");
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
    ASSERT_TRUE(decode_args(h, b));
    EXPECT_TRUE(h.hook_given_by_name());
    EXPECT_TRUE(h.get_side_effects());
    EXPECT_EQ(u8(h.form_name()), "Defect_Form");
    EXPECT_EQ(u8(h.describe()), "wtid:7 :: no session :: " + u8(h.target_op().trace_line()) +
                                    " :: (hook:" + u8(h.hook().trace_line()) +
                                    " :: param:p1:: get_side_effects:T :: formName:Defect_Form :: tabName:Main)");
    FireScriptAliasArgs s;
    ASSERT_TRUE(
        decode_args(s, Wire().session_header(7).t(record(1, 2)).t(action(L"Defect", L"Alias")).s("").s("T").bytes()));
    EXPECT_EQ(u8(s.describe()), "wtid:7 :: no session :: " + u8(s.target_op().trace_line()) +
                                    " :: action:" + u8(s.action().trace_line()) + " :: formName: :: tabName:T");
}
