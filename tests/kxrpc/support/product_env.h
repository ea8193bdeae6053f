// Shared set-up for tests that run against the product: a private data folder, counts of live
// exceptions to catch leaks, and armed faults.
#pragma once

#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "kxproduct/exceptions.h"
#include "kxproduct/faults.h"
#include "kxproduct/object.h"
#include "kxwin/cexception.h"

namespace kxtest {

// Makes a fresh folder from the mkdtemp template and points the product's data below it.
inline void make_product_data(std::string &dir, std::string const &tmpl) {
    std::string name = tmpl;
    ASSERT_NE(::mkdtemp(name.data()), nullptr);
    dir = name;
    ::setenv("KX_PRODUCT_DATA", (dir + "/data").c_str(), 1);
}

// Live exception counts taken when made; a test must leave them as it found them.
struct ExceptionCounts {
    long kx = KXException::LiveCount();
    long pa = PaMsgException::LiveCount();
    long c = CException::LiveCount();

    void expect_unchanged() const {
        EXPECT_EQ(KXException::LiveCount(), kx);
        EXPECT_EQ(PaMsgException::LiveCount(), pa);
        EXPECT_EQ(CException::LiveCount(), c);
    }
};

// The same, with the product objects alive.
struct ProductCounts : ExceptionCounts {
    long objects = KXObject::LiveCount();

    void expect_unchanged() const {
        ExceptionCounts::expect_unchanged();
        EXPECT_EQ(KXObject::LiveCount(), objects) << "product objects leaked";
    }
};

inline KXFault fault(KXFaultKind kind, int id, wchar_t const *text) {
    KXFault f;
    f.kind = kind;
    f.msg_id = id;
    f.text = CString(text);
    return f;
}

} // namespace kxtest
