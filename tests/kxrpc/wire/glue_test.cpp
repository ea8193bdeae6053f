// The typed argument and result routines: decode only, framing, freeing, and cast failures as FALSE.
#include "wire/glue.h"

#include <gtest/gtest.h>

#include "query/requests.h"
#include "wire_builder.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::Wire;

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
