// fetch_props and put_props requests decoded whole, from bytes written with libtirpc's encoders.
#include "protocol/propsargs.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/glue.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;

namespace {

class Wire {
public:
    Wire &i(int v) { return op([v](XDR *x) mutable { return xdr_int(x, &v); }); }
    Wire &b(bool v) {
        return op([v](XDR *x) {
            bool_t w = v ? TRUE : FALSE;
            return xdr_bool(x, &w);
        });
    }
    Wire &s(std::string v) {
        return op([v](XDR *x) mutable {
            char *p = v.data();
            return xdr_string(x, &p, ~0u);
        });
    }
    // A record type target by name.
    Wire &target(std::wstring name) {
        i(31);
        return op([name](XDR *x) {
            TargetResourceArg t(31, Nul::UString(name.c_str()));
            return t.xdr(x);
        });
    }
    // Correlator, batch flag, no session, locale, trace id, target.
    Wire &head(bool batch = false) {
        i(0).b(batch).i(4).i(0).s("en_US").i(0x2a);
        return target(L"Defect");
    }
    Bytes bytes() const {
        bool ok = false;
        Bytes out = kxtest::encode(
            [&](XDR *x) {
                for (auto const &o : ops_)
                    if (!o(x)) return FALSE;
                return TRUE;
            },
            &ok);
        EXPECT_TRUE(ok);
        return out;
    }

private:
    Wire &op(std::function<bool_t(XDR *)> f) {
        ops_.push_back(std::move(f));
        return *this;
    }
    std::vector<std::function<bool_t(XDR *)>> ops_;
};

template <class T>
bool decode_request(T &args, Bytes const &bytes, std::size_t *used = nullptr) {
    return kxtest::decode(bytes, [&](XDR *x) { return xdr_args_of<T>(x, static_cast<XdrObject *>(&args)); }, used);
}

std::string u8(Nul::UString const &s) { return s.utf8_str().std_str(); }

} // namespace

TEST(FetchPropsArgs, PropertiesMetasAndDynamicIds) {
    Bytes b = Wire()
                  .head()
                  .i(2)
                  .i(576).i(-1).i(942).i(-2).i(1000001).i(0)
                  .i(2).s("ACL:").s("owner").s("ACL:").s("reader")
                  .b(false).b(false)
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
    EXPECT_EQ(u8(args.trace_line()), "wtid:2a :: no session :: " + u8(args.GenericOpArgs::trace_line()));
    EXPECT_EQ(u8(args.GenericOpArgs::trace_line()).rfind("target_resource_arg:(", 0), 0u);
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

TEST(PutPropsArgs, ValuesFlagsAndTrace) {
    Bytes b = Wire()
                  .head()
                  .i(3)
                  .i(576).i(100001).s("Headline")
                  .i(1000000).i(100006).b(true)
                  .i(577).i(100002)
                  .i(1).s("ACL:").s("owner")
                  .b(false).b(true)
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
        EXPECT_FALSE(decode_request(args, Wire().head().i(2).i(576).i(100002).i(577).i(code).i(7).i(0).b(false).b(false).bytes()))
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
