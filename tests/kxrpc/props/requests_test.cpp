// fetch_props and put_props requests decoded whole, from bytes written with libtirpc's encoders.
#include "change/admin.h"
#include "change/new_resources.h"
#include "props/requests.h"
#include "query/requests.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "wire/glue.h"
#include "wire/xdr.h"
#include "wire_builder.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::u8;

namespace {

// Property requests: their header and targets on top of the plain builder.
class Wire : public kxtest::Wire {
public:
    Wire &i(int v) { return as(kxtest::Wire::i(v)); }
    Wire &b(bool v) { return as(kxtest::Wire::b(v)); }
    Wire &s(std::string v) { return as(kxtest::Wire::s(std::move(v))); }
    // A record type target by name.
    Wire &target(std::wstring name) { return as(t(TargetResourceArg(31, Nul::UString(name.c_str())))); }
    // Correlator, batch flag, no session, locale, trace id.
    Wire &header(bool batch = false) { return i(0).b(batch).i(4).i(0).s("en_US").i(0x2a); }
    // ... and a target.
    Wire &head(bool batch = false) {
        header(batch);
        return target(L"Defect");
    }
    Wire &query(std::wstring path) { return as(t(TargetResourceArg(36, Nul::UString(path.c_str())))); }

private:
    static Wire &as(kxtest::Wire &w) { return static_cast<Wire &>(w); }
};

template <class T>
bool decode_request(T &args, Bytes const &bytes, std::size_t *used = nullptr) {
    return kxtest::decode_args(args, bytes, used);
}

} // namespace

TEST(FetchPropsArgs, PropertiesMetasAndDynamicIds) {
    Bytes b = Wire()
                  .head()
                  .i(2)
                  .i(576)
                  .i(-1)
                  .i(942)
                  .i(-2)
                  .i(1000001)
                  .i(0)
                  .i(2)
                  .s("ACL:")
                  .s("owner")
                  .s("ACL:")
                  .s("reader")
                  .b(false)
                  .b(false)
                  .bytes();
    FetchPropsArgs args;
    std::size_t used = 0;
    ASSERT_TRUE(decode_request(args, b, &used));
    EXPECT_EQ(used, b.size());
    ASSERT_EQ(args.requested_props().size(), 2u);
    EXPECT_EQ(args.requested_props()[0].metas, std::vector<int>{942});
    EXPECT_EQ(args.requested_props()[1].prop_id, 1000001);
    EXPECT_EQ(args.resource_type(), 31);
    EXPECT_EQ(args.dynamic_props().at(1000001).second.utf8_str().std_str(), "reader");
    EXPECT_EQ(args.context_item(), nullptr);
    EXPECT_EQ(u8(args.trace_line()), "wtid:2a :: no session :: " + u8(args.target_op().trace_line()));
    EXPECT_EQ(u8(args.target_op().trace_line()).rfind("target_resource_arg:(", 0), 0u);
}

TEST(FetchPropsArgs, EmptyListStillCarriesOneEnum) {
    FetchPropsArgs args;
    std::size_t used = 0;
    Bytes b = Wire().head().i(0).i(12345).i(0).b(false).b(false).bytes();
    ASSERT_TRUE(decode_request(args, b, &used));
    EXPECT_EQ(used, b.size());
    EXPECT_TRUE(args.requested_props().empty());
}

TEST(FetchPropsArgs, FlagsAndCountsThatFail) {
    FetchPropsArgs batch;
    EXPECT_FALSE(decode_request(batch, Wire().head(true).i(0).i(0).i(0).b(false).b(false).bytes()));
    FetchPropsArgs trailing;
    EXPECT_FALSE(decode_request(trailing, Wire().head().i(0).i(0).i(0).b(true).b(false).bytes()));
    FetchPropsArgs negative;
    EXPECT_FALSE(decode_request(negative, Wire().head().i(-1).i(0).i(0).b(false).b(false).bytes()));
    FetchPropsArgs huge;
    EXPECT_FALSE(decode_request(huge, Wire().head().i(0x7FFFFFFF).i(0).i(0).b(false).b(false).bytes()));
    FetchPropsArgs dyn;
    EXPECT_FALSE(decode_request(dyn, Wire().head().i(0).i(0).i(-5).b(false).b(false).bytes()));
}

TEST(FetchPropsArgs, PropertyIdsAndDynamicNamesAreBoundedPerCall) {
    // n ids (and a last enum) and m dynamic names, all present on the wire.
    auto request = [](int n, int m) {
        Wire w;
        w.head().i(n);
        for (int k = 0; k <= n; ++k) w.i(576);
        w.i(m);
        for (int k = 0; k < m; ++k) w.s("ACL:").s("owner");
        return w.b(false).b(false).bytes();
    };
    struct Case {
        int ids, names;
        bool decoded;
    } const cases[] = {{max_wire_prop_count, 0, true},
                       {max_wire_prop_count + 1, 0, false},
                       {1, max_wire_prop_count, true},
                       {1, max_wire_prop_count + 1, false}};
    for (Case const &c : cases) {
        FetchPropsArgs args;
        EXPECT_EQ(decode_request(args, request(c.ids, c.names)), c.decoded) << c.ids << " " << c.names;
        if (c.decoded) {
            EXPECT_EQ(args.requested_props().size(), static_cast<std::size_t>(c.ids));
        }
    }
    // put_props shares the bound.
    Wire put;
    put.head().i(max_wire_prop_count + 1).i(576);
    PutPropsArgs values;
    EXPECT_FALSE(decode_request(values, put.bytes()));
}

TEST(PutPropsArgs, ValuesFlagsAndTrace) {
    Bytes b = Wire()
                  .head()
                  .i(3)
                  .i(576)
                  .i(100001)
                  .s("Headline")
                  .i(1000000)
                  .i(100006)
                  .b(true)
                  .i(577)
                  .i(100002)
                  .i(1)
                  .s("ACL:")
                  .s("owner")
                  .b(false)
                  .b(true)
                  .bytes();
    PutPropsArgs args;
    std::size_t used = 0;
    ASSERT_TRUE(decode_request(args, b, &used));
    EXPECT_EQ(used, b.size());
    ASSERT_EQ(args.values().size(), 3u);
    EXPECT_EQ(args.values()[1]->prop_id(), 1000000);
    EXPECT_TRUE(args.values()[2]->is_empty_value());
    EXPECT_FALSE(args.atomic());
    EXPECT_TRUE(args.register_callback());
    EXPECT_EQ(u8(args.describe()), "(" + u8(args.trace_line()) + ") (atomic:F :: register_callback:T)");
}

TEST(PutPropsArgs, AnIntegerValueFailsTheWholeRequest) {
    for (int code : {100005, 100017, 100004, 28, 51}) {
        PutPropsArgs args;
        EXPECT_FALSE(decode_request(
            args, Wire().head().i(2).i(576).i(100002).i(577).i(code).i(7).i(0).b(false).b(false).bytes()))
            << code;
        // The value decoded before it is still owned (and freed) by the request.
        EXPECT_EQ(args.values().size(), 1u);
    }
}

TEST(PutPropsArgs, AShortValueIsKeptForTheDestructor) {
    PutPropsArgs args;
    EXPECT_FALSE(decode_request(args, Wire().head().i(1).i(576).i(100021).i(3).s("a").bytes()));
    ASSERT_EQ(args.values().size(), 1u);
    EXPECT_EQ(dynamic_cast<ListPropValue<Nul::UString> const &>(*args.values()[0]).values.size(), 1u);
}

TEST(PutPropsArgs, UnknownSessionFailsOnFirstUse) {
    PutPropsArgs args;
    ASSERT_TRUE(decode_request(args, Wire().head().i(0).i(0).b(false).b(false).bytes()));
    EXPECT_THROW(args.arm_target_uri(), Nul::STPException);
}

TEST(PutPropsExtensions, OwnFieldsSitBetweenTargetAndValues) {
    CreateUserArgs user;
    std::size_t used = 0;
    Bytes u = Wire().head().s("frank").i(1).i(576).i(100001).s("Frank").i(0).b(true).b(false).bytes();
    ASSERT_TRUE(decode_request(user, u, &used));
    EXPECT_EQ(used, u.size());
    EXPECT_EQ(u8(user.name()), "frank");
    ASSERT_EQ(user.values().size(), 1u);
    EXPECT_TRUE(user.atomic());
    EXPECT_EQ(u8(user.describe()), "(" + u8(user.trace_line()) + ") (atomic:T :: register_callback:F) :: name:frank");

    CopyQueryArgs copy;
    Bytes c = Wire()
                  .header()
                  .query(L"Public Queries/Sub")
                  .s("Personal Queries/Sub copy")
                  .i(2)
                  .i(101)
                  .i(102)
                  .i(1)
                  .query(L"Public Queries/Sub/New")
                  .i(0)
                  .i(0)
                  .b(false)
                  .b(false)
                  .bytes();
    ASSERT_TRUE(decode_request(copy, c, &used));
    EXPECT_EQ(used, c.size());
    EXPECT_EQ(u8(copy.destination()), "Personal Queries/Sub copy");
    EXPECT_TRUE(copy.is_do_not_copy(102));
    EXPECT_FALSE(copy.is_do_not_copy(103));
    ASSERT_EQ(copy.items_end() - copy.items_begin(), 1);
    EXPECT_EQ(copy.items_begin()->resource_type(), 36);
    CopyQueryArgs hostile;
    EXPECT_FALSE(decode_request(hostile, Wire().header().query(L"Q").s("d").i(0x7FFFFFFF).i(1).bytes()));

    MoveQueryArgs move;
    Bytes m = Wire()
                  .header()
                  .query(L"Public Queries/Q")
                  .s("Public Queries/Old/Q")
                  .b(true)
                  .i(0)
                  .i(0)
                  .b(false)
                  .b(false)
                  .bytes();
    ASSERT_TRUE(decode_request(move, m, &used));
    EXPECT_EQ(used, m.size());
    EXPECT_TRUE(move.overwrite());
    EXPECT_EQ(move.resource_type(), 36);
}

TEST(PutPropsExtensions, MkresourceNamesAllButRecords) {
    std::size_t used = 0;
    // A query under a parent folder: type, has_parent, parent, full name, then the values.
    CreateResourceArgs query;
    Bytes q = Wire()
                  .header()
                  .query(L"Personal Queries")
                  .i(36)
                  .b(true)
                  .query(L"Personal Queries/Mine")
                  .s("Personal Queries/Mine/New")
                  .i(1)
                  .i(576)
                  .i(100001)
                  .s("v")
                  .i(0)
                  .b(false)
                  .b(true)
                  .bytes();
    ASSERT_TRUE(decode_request(query, q, &used));
    EXPECT_EQ(used, q.size());
    EXPECT_EQ(query.resource_type(), 36);
    EXPECT_TRUE(query.has_parent());
    EXPECT_EQ(u8(query.full_name()), "Personal Queries/Mine/New");
    ASSERT_EQ(query.values().size(), 1u);
    EXPECT_TRUE(query.register_callback());
    std::string d = u8(query.describe());
    EXPECT_EQ(d.rfind("(has_parent:T :: full_name:Personal Queries/Mine/New :: m_parent: (", 0), 0u) << d;
    EXPECT_NE(d.find("Mine"), std::string::npos) << d;
    std::string tail = ") (" + u8(query.PutPropsArgs::describe()) + "))";
    ASSERT_GE(d.size(), tail.size());
    EXPECT_EQ(d.substr(d.size() - tail.size()), tail);

    // A record: no full name on the wire; the values follow the parent flag at once.
    CreateResourceArgs record;
    Bytes r = Wire().head().i(32).b(false).i(0).i(0).b(false).b(false).bytes();
    ASSERT_TRUE(decode_request(record, r, &used));
    EXPECT_EQ(used, r.size());
    EXPECT_EQ(record.resource_type(), 32);
    EXPECT_FALSE(record.has_parent());
    EXPECT_TRUE(record.full_name().empty());

    // A query without its full name is cut short.
    CreateResourceArgs cut;
    EXPECT_FALSE(decode_request(cut, Wire().head().i(36).b(false).bytes()));
}
