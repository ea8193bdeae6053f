// With the recording agent on the library search path: registration, per-thread transaction
// stacks and buffers, read back from what the agent recorded.
#include "tesutil/arm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "arm_record.h"
#include "tesutil/stpexception.h"
#include "tesutil/thread.h"

using armtest::read_records;
using armtest::Record;
using Nul::ArmApplication;
using Nul::ArmBuffer;
using Nul::ArmPerThreadOperationStack;
using Nul::UString;

namespace {

class IdentityRegistrar : public ArmApplication::OperationRegistrar {
public:
    using OperationRegistrar::OperationRegistrar;
    void user_data(ArmBuffer &buffer) const override {
        Nul::ArmTransIdentyBuffer id;
        id.add_identity_prop(L"host", L"alpha");
        id.add_context_prop(UString(L"user"));
        id.set_uri(L"kx://db/first");
        buffer.add_buffer(id);
    }
};

class DetailRegistrar : public ArmApplication::OperationRegistrar {
public:
    using OperationRegistrar::OperationRegistrar;
    void user_data(ArmBuffer &buffer) const override { buffer.add_buffer(UString(L"third detail")); }
};

IdentityRegistrar first(UString(L"first"));
ArmApplication::OperationRegistrar second(UString(L"second"));
DetailRegistrar third(UString(L"third"));

int register_rc = 1, start_rc = 1;
std::vector<Record> registration;

class Registration : public ::testing::Environment {
public:
    void SetUp() override {
        std::string path = armtest::fresh_record_file("registration");
        ArmBuffer app;
        app.add_buffer();
        register_rc = ArmApplication::register_application(Nul::ARM_VERBOSE, UString(L"kxrpc"), &app);
        start_rc = ArmApplication::start_application(nullptr, UString(), UString());
        registration = read_records(path);
        std::remove(path.c_str());
    }
};

auto *const registration_env = ::testing::AddGlobalTestEnvironment(new Registration);

std::string hex(arm_id_t const &id) { return armtest::hex(id.id_u.uint8, 16); }

// The text the agent records for a correlator: its bytes after the length.
std::string corr_text(arm_correlator_t const *c) {
    unsigned len = (unsigned(c->opaque[0]) << 8) | c->opaque[1];
    return len == 0 ? "none" : armtest::hex(c->opaque + 2, len - 2);
}

// Stacks live per thread; each case runs on a thread of the library's starter, whose end frees
// the thread's stack through the key's destructor.
void on_new_thread(std::function<void()> body) {
    pthread_t id;
    ASSERT_EQ(Nul::start_thread(
                  [](void *arg) -> void * {
                      (*static_cast<std::function<void()> *>(arg))();
                      return nullptr;
                  },
                  &body, &id),
              0);
    void *result = nullptr;
    ASSERT_EQ(Nul::thread_join(id, &result), 0);
}

class ArmAgent : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(register_rc, 0);
        ASSERT_GE(start_rc, 0);
        path_ = armtest::fresh_record_file(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override {
        ::unsetenv("KX_ARM4_FAIL");
        std::remove(path_.c_str());
    }
    std::vector<Record> records() const { return read_records(path_); }
    std::string path_;
};

} // namespace

TEST_F(ArmAgent, ApplicationAndTransactionsRegisterInOrder) {
    EXPECT_EQ(ArmApplication::level(), Nul::ARM_VERBOSE);
    ASSERT_EQ(registration.size(), 5u);
    Record const &app = registration[0];
    EXPECT_EQ(app.call, "register_application");
    EXPECT_EQ(app["name"], "kxrpc");
    EXPECT_EQ(app["flags"], "0");
    EXPECT_EQ(app["buffer"], "[charset{106,flags=0}]");
    EXPECT_EQ(app["out_id"], hex(ArmApplication::app_id()));
    EXPECT_NE(app["in_id"], std::string(32, '0'));

    char const *names[] = {"first", "second", "third"};
    wchar_t const *wide_names[] = {L"first", L"second", L"third"};
    ArmApplication::OperationRegistrar const *regs[] = {&first, &second, &third};
    for (int i = 0; i < 3; ++i) {
        Record const &r = registration[1 + i];
        EXPECT_EQ(r.call, "register_transaction");
        EXPECT_EQ(r["name"], names[i]);
        EXPECT_EQ(r["app_id"], hex(ArmApplication::app_id()));
        EXPECT_EQ(r["flags"], "0");
        EXPECT_EQ(r["rc"], "0");
        EXPECT_EQ(r["out_id"], hex(*regs[i]));
        // The agent keeps the id that the library generated for the transaction.
        EXPECT_EQ(r["in_id"], r["out_id"]);
        EXPECT_NE(r["in_id"], std::string(32, '0'));
        EXPECT_EQ(regs[i]->name(), UString(wide_names[i]));
    }
    // Each transaction gets an id of its own.
    EXPECT_NE(registration[1]["in_id"], registration[2]["in_id"]);
    EXPECT_NE(registration[2]["in_id"], registration[3]["in_id"]);
    // Identity data of each registrar goes with its own registration only.
    EXPECT_EQ(registration[1]["buffer"], "[tran_identity{props=[host=alpha],context=[user],uri=kx://db/first}]");
    EXPECT_EQ(registration[2]["buffer"], "-");
    EXPECT_EQ(registration[3]["buffer"], "[diag{third%20detail}]");

    Record const &start = registration[4];
    EXPECT_EQ(start.call, "start_application");
    EXPECT_EQ(start["group"], "-");
    EXPECT_EQ(start["instance"], "-");
    EXPECT_EQ(start["buffer"], "-");
    EXPECT_EQ(start["flags"], "0");
    EXPECT_EQ(start["handle"], std::to_string(ArmApplication::app_handle()));
}

TEST_F(ArmAgent, NestedTransactionsPassTheParentCorrelator) {
    on_new_thread([&] {
        arm_correlator_t *base = ArmPerThreadOperationStack::get_base_correlator();
        ASSERT_NE(base, nullptr);
        // A new thread's base correlator is empty, never left-over memory.
        arm_correlator_t zero{};
        EXPECT_EQ(std::memcmp(base, &zero, sizeof zero), 0);
        EXPECT_EQ(ArmPerThreadOperationStack::get_base_correlator(), base);

        ASSERT_EQ(ArmPerThreadOperationStack::start_transaction(first, nullptr, false), 0);
        std::int64_t outer = ArmPerThreadOperationStack::current_local_operation();
        std::string outer_corr = corr_text(ArmPerThreadOperationStack::current_local_correlator());
        ASSERT_EQ(ArmPerThreadOperationStack::start_transaction(second, nullptr, true), 0);
        std::int64_t inner = ArmPerThreadOperationStack::current_local_operation();
        EXPECT_NE(inner, outer);
        EXPECT_TRUE(ArmPerThreadOperationStack::doing_local_operation());

        ASSERT_EQ(ArmPerThreadOperationStack::stop_transaction(0, nullptr), 0);
        EXPECT_EQ(ArmPerThreadOperationStack::current_local_operation(), outer);
        EXPECT_EQ(corr_text(ArmPerThreadOperationStack::current_local_correlator()), outer_corr);
        ASSERT_EQ(ArmPerThreadOperationStack::stop_transaction(2, nullptr), 0);
        EXPECT_FALSE(ArmPerThreadOperationStack::doing_local_operation());
        EXPECT_EQ(ArmPerThreadOperationStack::current_local_operation(), 0);
        EXPECT_EQ(ArmPerThreadOperationStack::current_local_correlator(), nullptr);

        auto r = records();
        ASSERT_EQ(r.size(), 4u);
        EXPECT_EQ(r[0].call, "start_transaction");
        EXPECT_EQ(r[0]["tran_id"], hex(first));
        EXPECT_EQ(r[0]["parent"], "none");
        EXPECT_EQ(r[0]["flags"], "3");
        EXPECT_EQ(r[0]["app_handle"], std::to_string(ArmApplication::app_handle()));
        EXPECT_EQ(r[0]["handle"], std::to_string(outer));
        EXPECT_EQ(r[0]["correlator"], outer_corr);
        EXPECT_EQ(r[1]["tran_id"], hex(second));
        EXPECT_EQ(r[1]["parent"], outer_corr);
        EXPECT_EQ(r[1]["flags"], "7");
        EXPECT_EQ(r[1]["handle"], std::to_string(inner));
        EXPECT_EQ(r[2].call, "stop_transaction");
        EXPECT_EQ(r[2]["handle"], std::to_string(inner));
        EXPECT_EQ(r[2]["status"], "0");
        EXPECT_EQ(r[2]["flags"], "0");
        EXPECT_EQ(r[2]["buffer"], "-");
        EXPECT_EQ(r[3]["handle"], std::to_string(outer));
        EXPECT_EQ(r[3]["status"], "2");

        // The chain is reused: a new outermost transaction starts from the base again.
        ASSERT_EQ(ArmPerThreadOperationStack::start_transaction(third, nullptr, false), 0);
        ASSERT_EQ(ArmPerThreadOperationStack::start_transaction(first, nullptr, false), 0);
        ASSERT_EQ(ArmPerThreadOperationStack::start_transaction(second, nullptr, false), 0);
        for (int i = 0; i < 3; ++i) ASSERT_EQ(ArmPerThreadOperationStack::stop_transaction(0, nullptr), 0);
        r = records();
        ASSERT_EQ(r.size(), 10u);
        EXPECT_EQ(r[4]["parent"], "none");
        EXPECT_EQ(r[5]["parent"], r[4]["correlator"]);
        EXPECT_EQ(r[6]["parent"], r[5]["correlator"]);
        EXPECT_EQ(r[7]["handle"], r[6]["handle"]);
        EXPECT_EQ(r[9]["handle"], r[4]["handle"]);
    });
}

TEST_F(ArmAgent, StopWithNothingOpenCallsNothing) {
    on_new_thread([&] {
        ASSERT_NE(ArmPerThreadOperationStack::get_base_correlator(), nullptr);
        EXPECT_EQ(ArmPerThreadOperationStack::stop_transaction(0, nullptr), Nul::ARM_DISABLED);
        ASSERT_EQ(ArmPerThreadOperationStack::start_transaction(first, nullptr, false), 0);
        ASSERT_EQ(ArmPerThreadOperationStack::stop_transaction(0, nullptr), 0);
        EXPECT_EQ(ArmPerThreadOperationStack::stop_transaction(0, nullptr), Nul::ARM_DISABLED);
        EXPECT_EQ(records().size(), 2u);
    });
}

TEST_F(ArmAgent, ThreadWithoutRecordCannotStart) {
    on_new_thread([&] {
        EXPECT_EQ(ArmPerThreadOperationStack::start_transaction(first, nullptr, false), Nul::ARM_DISABLED);
        EXPECT_EQ(ArmPerThreadOperationStack::stop_transaction(0, nullptr), Nul::ARM_DISABLED);
        EXPECT_FALSE(ArmPerThreadOperationStack::doing_local_operation());
        EXPECT_EQ(ArmPerThreadOperationStack::current_local_correlator(), nullptr);
    });
    EXPECT_TRUE(records().empty());
}

TEST_F(ArmAgent, ClientCorrelatorIsTheOutermostParent) {
    on_new_thread([&] {
        arm_correlator_t *base = ArmPerThreadOperationStack::get_base_correlator();
        ASSERT_NE(base, nullptr);
        unsigned char const client[] = {0x00, 0x06, 0xde, 0xad, 0xbe, 0xef};
        std::memcpy(base->opaque, client, sizeof client);
        ASSERT_EQ(ArmPerThreadOperationStack::start_transaction(second, nullptr, false), 0);
        ASSERT_EQ(ArmPerThreadOperationStack::stop_transaction(0, nullptr), 0);
        auto r = records();
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(r[0]["parent"], "deadbeef");
    });
}

TEST_F(ArmAgent, EachThreadHasItsOwnStack) {
    on_new_thread([&] {
        ASSERT_NE(ArmPerThreadOperationStack::get_base_correlator(), nullptr);
        ASSERT_EQ(ArmPerThreadOperationStack::start_transaction(first, nullptr, false), 0);
        std::int64_t mine = ArmPerThreadOperationStack::current_local_operation();
        on_new_thread([&] {
            EXPECT_FALSE(ArmPerThreadOperationStack::doing_local_operation());
            ASSERT_NE(ArmPerThreadOperationStack::get_base_correlator(), nullptr);
            ASSERT_EQ(ArmPerThreadOperationStack::start_transaction(second, nullptr, false), 0);
            EXPECT_NE(ArmPerThreadOperationStack::current_local_operation(), mine);
            ASSERT_EQ(ArmPerThreadOperationStack::stop_transaction(0, nullptr), 0);
        });
        EXPECT_EQ(ArmPerThreadOperationStack::current_local_operation(), mine);
        ASSERT_EQ(ArmPerThreadOperationStack::stop_transaction(0, nullptr), 0);
        auto r = records();
        ASSERT_EQ(r.size(), 4u);
        EXPECT_EQ(r[1]["parent"], "none"); // not the other thread's open transaction
        EXPECT_EQ(r[2]["handle"], r[1]["handle"]);
        EXPECT_EQ(r[3]["handle"], std::to_string(mine));
    });
}

TEST_F(ArmAgent, FailedStartChangesNothing) {
    on_new_thread([&] {
        ASSERT_NE(ArmPerThreadOperationStack::get_base_correlator(), nullptr);
        ::setenv("KX_ARM4_FAIL", "start_transaction", 1);
        EXPECT_EQ(ArmPerThreadOperationStack::start_transaction(first, nullptr, false), ARM_ERROR_AGENT_REFUSED);
        EXPECT_FALSE(ArmPerThreadOperationStack::doing_local_operation());
        ::unsetenv("KX_ARM4_FAIL");
        ASSERT_EQ(ArmPerThreadOperationStack::start_transaction(first, nullptr, false), 0);
        std::int64_t outer = ArmPerThreadOperationStack::current_local_operation();
        ::setenv("KX_ARM4_FAIL", "start_transaction", 1);
        EXPECT_EQ(ArmPerThreadOperationStack::start_transaction(second, nullptr, false), ARM_ERROR_AGENT_REFUSED);
        ::unsetenv("KX_ARM4_FAIL");
        EXPECT_EQ(ArmPerThreadOperationStack::current_local_operation(), outer);
        ASSERT_EQ(ArmPerThreadOperationStack::stop_transaction(0, nullptr), 0);
        EXPECT_FALSE(ArmPerThreadOperationStack::doing_local_operation());
        auto r = records();
        ASSERT_EQ(r.size(), 4u);
        EXPECT_EQ(r[0]["rc"], std::to_string(ARM_ERROR_AGENT_REFUSED));
        EXPECT_EQ(r[1]["parent"], "none");
        EXPECT_EQ(r[2]["parent"], r[1]["correlator"]);
        EXPECT_EQ(r[3]["handle"], std::to_string(outer));
        EXPECT_EQ(r[3]["rc"], "0");
    });
}

TEST_F(ArmAgent, BuffersAsTheAgentReceivesThem) {
    on_new_thread([&] {
        ASSERT_NE(ArmPerThreadOperationStack::get_base_correlator(), nullptr);
        ArmBuffer start;
        start.add_buffer(UString(std::wstring(5000, L'x')));
        Nul::ArmMetricValuesBuffer metrics;
        metrics.add_value(1, ARM_METRIC_FORMAT_COUNTER64, 0, true, std::int32_t{-1});
        metrics.add_value(2, true, UString(std::wstring(40, L'm')));
        start.add_buffer(metrics);
        arm_id_t uid{};
        uid.id_u.uint8[15] = 0xab;
        start.add_buffer(UString(L"J\u00f6rg"), true, uid);
        Nul::ArmAppIdentyBuffer names;
        names.add_context_prop(UString(L"db"));
        names.add_context_prop(UString(L"set"));
        Nul::ArmTransContextBuffer ctx(names.ctx_indicies());
        ctx.add_ctx_prop(UString(L"set"), UString(L"demo"));
        ctx.set_uri(UString(L"kx://demo/db"));
        start.add_buffer(ctx);
        try {
            start.add_buffer(std::int64_t{1});
            ADD_FAILURE() << "a fifth sub-buffer was taken";
        } catch (Nul::STPException &e) {
            EXPECT_EQ(e.msg().utf8_str(), "TLQSV0670E Application Resource Measurement (ARM) error: "
                                          "ArmBuffer::add_buffer():  Max Buffer count exceeded..");
        }
        ASSERT_EQ(ArmPerThreadOperationStack::start_transaction(third, &start, false), 0);
        ArmBuffer stop;
        stop.add_buffer(std::int64_t{123456789});
        ASSERT_EQ(ArmPerThreadOperationStack::stop_transaction(2, &stop), 0);
        // An empty buffer is passed as none.
        ArmBuffer empty;
        ASSERT_EQ(ArmPerThreadOperationStack::start_transaction(third, &empty, false), 0);
        ASSERT_EQ(ArmPerThreadOperationStack::stop_transaction(0, &empty), 0);

        auto r = records();
        ASSERT_EQ(r.size(), 4u);
        std::string const expect = "[diag{" + std::string(4095, 'x') + "};metrics{1/2/0/1/4294967295,6/10/2/1/" +
                                   std::string(32, 'm') +
                                   "};user{name=J\xC3\xB6rg,id_valid=1,id=" + std::string(30, '0') +
                                   "ab};tran_context{values=[-,demo],uri=kx://demo/db}]";
        EXPECT_EQ(r[0]["buffer"], expect);
        EXPECT_EQ(r[1]["status"], "2");
        EXPECT_EQ(r[1]["buffer"], "[arrival{123456789}]");
        EXPECT_EQ(r[2]["buffer"], "-");
        EXPECT_EQ(r[3]["buffer"], "-");
    });
}

TEST_F(ArmAgent, ErrorMessagesAndArrivalTime) {
    std::int64_t t = 0;
    EXPECT_EQ(ArmApplication::get_arrival_time(&t), 0);
    EXPECT_GT(t, 0);
    char message[ARM_MSG_BUFFER_LENGTH] = {};
    EXPECT_EQ(ArmApplication::get_error_message(ARM_CHARSET_UTF8, ARM_ERROR_AGENT_REFUSED, message), 0);
    EXPECT_STREQ(message, "refused by KX_ARM4_FAIL");
    // A transaction name is registered once more on demand, under a fresh id.
    arm_id_t out{};
    EXPECT_EQ(ArmApplication::register_transaction("late", 0, nullptr, &out), 0);
    auto r = records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]["name"], "late");
    EXPECT_EQ(r[0]["out_id"], hex(out));
    EXPECT_NE(r[0]["in_id"], registration[1]["in_id"]);
}
