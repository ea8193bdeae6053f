#include "protocol/casts.h"

#include <gtest/gtest.h>

#include "protocol/xdrobject.h"
#include "tesutil/stpexception.h"

using namespace KxRpc;

namespace {

struct Base : XdrObject {
    bool_t xdr(XDR *) override { return TRUE; }
};
struct Target : Base {};
struct Derived : Target {};
struct Other : Base {};

Nul::UString cast_failure(XdrObject *p, char const *name) {
    try {
        checked_cast<Target>(p, name);
    } catch (Nul::STPException &e) {
        EXPECT_EQ(e.stp_reason_code(), 40);
        EXPECT_EQ(e.resource(), nullptr);
        EXPECT_TRUE(e.causes().empty());
        return e.msg();
    }
    ADD_FAILURE() << "no exception";
    return Nul::UString();
}

} // namespace

TEST(CheckedCast, ReturnsTheSameObject) {
    Target t;
    Derived d;
    XdrObject *pt = &t, *pd = &d;
    EXPECT_EQ(checked_cast<Target>(pt, "Target"), &t);
    EXPECT_EQ(checked_cast<Target>(pd, "Target"), static_cast<Target *>(&d));
}

TEST(CheckedCast, NullNamesNonNull) {
    EXPECT_EQ(cast_failure(nullptr, "Target"), Nul::UString(L"TLQSV0748E expected 'non-null' object in dynamic_cast"));
}

TEST(CheckedCast, MismatchNamesTheCallersType) {
    Other o;
    EXPECT_EQ(cast_failure(&o, "Target"), Nul::UString(L"TLQSV0748E expected 'Target' object in dynamic_cast"));
    EXPECT_EQ(cast_failure(&o, "T"), Nul::UString(L"TLQSV0748E expected 'T' object in dynamic_cast"));
}

TEST(PlainCast, NullForNullAndForOtherClasses) {
    Other o;
    Target t;
    XdrObject *po = &o;
    EXPECT_EQ(plain_cast<Target>(static_cast<XdrObject *>(nullptr)), nullptr);
    EXPECT_EQ(plain_cast<Target>(po), nullptr);
    EXPECT_EQ(plain_cast<ArmStopOperation>(static_cast<XdrObject *>(&t)), nullptr);
}
