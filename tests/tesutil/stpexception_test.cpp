#include "tesutil/stpexception.h"

#include <gtest/gtest.h>

#include "test_resource.h"
#include "wexlog/logmanager.h"

using Nul::STPException;
using Nul::UMessage;

namespace {
char const *const cat[] = {"test 2", "TLQSV0001E outer %s", "TLQSV0002E inner"};
std::string text(STPException const &e) { return e.msg().utf8_str(); }
} // namespace

TEST(STPException, RaiseWithResourceAndCauseThenCopy) {
    int before = TestResource::live;
    STPException *copy = nullptr;
    try {
        Nul::IreqException cause(UMessage(cat, 2));
        TestResource res(L"r9");
        STPException::raise(static_cast<STPException::stp_reason_code_t>(53), UMessage(cat, 1, "x"), &res, &cause);
    } catch (STPException &e) {
        EXPECT_EQ(e.stp_reason_code(), 53);
        copy = new STPException(e);
    }
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(TestResource::live, before + 1); // only the copy's clone is left
    ASSERT_NE(copy->resource(), nullptr);
    EXPECT_EQ(copy->resource()->to_selector().utf8_str(), "kx.record:r9@db");
    ASSERT_EQ(copy->causes().size(), 1u);
    EXPECT_EQ(text(*copy->causes()[0]), "TLQSV0002E inner");
    // The cause keeps its own class through the clone.
    EXPECT_NE(dynamic_cast<Nul::IreqException *>(copy->causes()[0].get()), nullptr);
    EXPECT_EQ(copy->causes()[0]->stp_reason_code(), 38);
    delete copy;
    EXPECT_EQ(TestResource::live, before);
}

TEST(STPException, CauseListIsClonedInOrder) {
    Nul::IreqException a(UMessage(cat, 1, "a"));
    STPException b(static_cast<STPException::stp_reason_code_t>(7), UMessage(cat, 1, "b"));
    std::vector<STPException *> causes{&a, nullptr, &b};
    try {
        STPException::raise(STPException::REASON_INTERNAL, UMessage(cat, 2), nullptr, causes);
    } catch (STPException &e) {
        ASSERT_EQ(e.causes().size(), 2u);
        EXPECT_EQ(text(*e.causes()[0]), "TLQSV0001E outer a");
        EXPECT_EQ(e.causes()[1]->stp_reason_code(), 7);
        EXPECT_EQ(e.resource(), nullptr);
    }
}

TEST(STPException, AssignmentDeepCopiesAndSelfAssignmentIsHarmless) {
    int before = TestResource::live;
    TestResource r(L"a");
    STPException x(STPException::REASON_ILLEGAL, UMessage(cat, 1, "x"), &r);
    STPException y(STPException::REASON_IREQ, UMessage(cat, 2), nullptr, &x);
    x = x;
    EXPECT_EQ(text(x), "TLQSV0001E outer x");
    y = x;
    EXPECT_EQ(y.stp_reason_code(), STPException::REASON_ILLEGAL);
    EXPECT_TRUE(y.causes().empty());
    ASSERT_NE(y.resource(), nullptr);
    EXPECT_NE(y.resource(), x.resource());
    EXPECT_EQ(TestResource::live, before + 3); // r, x's clone and y's clone; y's old cause is gone
}

namespace {
// A resource whose copy fails on demand, to prove assignment keeps the target whole.
struct FailingResource : Nul::Resource {
    static inline bool fail = false;
    int kind() const override { return 1; }
    Nul::UString to_selector() const override { return Nul::UString(L"failing"); }
    Nul::Resource *copy() const override {
        if (fail) throw std::bad_alloc();
        return new FailingResource(*this);
    }
};
} // namespace

TEST(STPException, AssignmentKeepsTargetWhenACloneThrows) {
    TestResource keep(L"kept");
    STPException target(STPException::REASON_IREQ, UMessage(cat, 1, "target"), &keep);
    FailingResource fr;
    STPException source(STPException::REASON_ILLEGAL, UMessage(cat, 2), &fr);
    FailingResource::fail = true;
    EXPECT_THROW(target = source, std::bad_alloc);
    FailingResource::fail = false;
    EXPECT_EQ(target.stp_reason_code(), STPException::REASON_IREQ);
    EXPECT_EQ(text(target), "TLQSV0001E outer target");
    ASSERT_NE(target.resource(), nullptr);
    EXPECT_EQ(target.resource()->to_selector().utf8_str(), "kx.record:kept@db");
}

TEST(STPException, SubclassReasonCodes) {
    auto reason_of = [](auto raise) -> int {
        try {
            raise();
        } catch (STPException &e) {
            return e.stp_reason_code();
        }
        return -1;
    };
    EXPECT_EQ(reason_of([] { Nul::IreqException::raise(UMessage(cat, 2)); }), 38);
    EXPECT_EQ(reason_of([] { Nul::StateException::raise(UMessage(cat, 2)); }), 39);
    EXPECT_EQ(reason_of([] { Nul::IllegalArgException::raise(UMessage(cat, 2)); }), 39);
    EXPECT_EQ(reason_of([] { Nul::RuntimeException::raise(UMessage(cat, 2)); }), 39);
    try {
        Nul::StateException::raise(UMessage(cat, 1, "s"));
    } catch (Nul::StateException &e) {
        std::unique_ptr<STPException> c(e.clone());
        EXPECT_NE(dynamic_cast<Nul::StateException *>(c.get()), nullptr);
        EXPECT_EQ(text(*c), "TLQSV0001E outer s");
    }
}

TEST(STPException, RaiseCopyIsSliced) {
    Nul::IreqException ireq(UMessage(cat, 2));
    try {
        STPException::raise(ireq);
    } catch (Nul::IreqException &) {
        FAIL() << "raise(e) throws a plain STPException";
    } catch (STPException &e) {
        EXPECT_EQ(e.stp_reason_code(), 38);
    }
}

TEST(STPException, PlainExceptionRoot) {
    try {
        Nul::Exception::raise(Nul::UString(L"base"));
    } catch (Nul::Exception &e) {
        e.add(Nul::UString(L"+more"));
        EXPECT_EQ(e.msg().utf8_str(), "base+more");
        EXPECT_EQ(e.kind(), 0);
    }
}

// Runs last in this binary's order of definition: it switches the logging binding on.
TEST(STPExceptionLogging, LogsOnlyWhenEnabledAndBound) {
    std::vector<std::string> lines;
    STPException::set_logging_enabled(true);
    // Enabled but never bound: throws, logs nothing.
    EXPECT_THROW(STPException::raise(STPException::REASON_INTERNAL, UMessage(cat, 2)), STPException);
    Log::TsLogManager::set_sink_for_testing([&](std::string const &l) { lines.push_back(l); });
    ASSERT_NE(Log::LogAdaptor::initialize("test", nullptr, "cfg", 2), nullptr);
    ASSERT_NE(Log::LogAdaptor::logger_nul(), nullptr);
    EXPECT_EQ(Log::LogAdaptor::logger_nul()->name(), "Nul");
    EXPECT_EQ(Log::LogAdaptor::logger_kxrpc()->name(), "KxRpc");
    EXPECT_THROW(STPException::raise(STPException::REASON_INTERNAL, UMessage(cat, 1, "logged"), nullptr, nullptr,
                                     STPException::LOG_WARNING),
                 STPException);
    EXPECT_THROW(
        STPException::raise(STPException::REASON_INTERNAL, UMessage(cat, 2), nullptr, nullptr, STPException::LOG_NONE),
        STPException);
    // Subclass raises never log.
    EXPECT_THROW(Nul::StateException::raise(UMessage(cat, 2)), STPException);
    STPException::set_logging_enabled(false);
    EXPECT_THROW(STPException::raise(STPException::REASON_INTERNAL, UMessage(cat, 2)), STPException);
    Log::TsLogManager::set_sink_for_testing(nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "WARNING [Nul] TLQSV0001E outer logged");
}
