// The recording agent, called directly: what it answers and what it writes.
#include "arm4/arm4.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

class Agent : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = "/tmp/kx_arm4_agent_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
        std::remove(path_.c_str());
        ::setenv("KX_ARM4_LOG", path_.c_str(), 1);
        ::unsetenv("KX_ARM4_FAIL");
        ASSERT_EQ(arm_register_application("app", nullptr, 0, nullptr, &app_), 0);
        ASSERT_EQ(arm_start_application(&app_, nullptr, nullptr, 0, nullptr, &handle_), 0);
        ASSERT_EQ(arm_register_transaction(&app_, "tx", nullptr, 0, nullptr, &tran_), 0);
    }
    void TearDown() override {
        ::unsetenv("KX_ARM4_FAIL");
        std::remove(path_.c_str());
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::ifstream in(path_);
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
    std::string path_;
    arm_id_t app_{};
    arm_id_t tran_{};
    arm_app_start_handle_t handle_ = 0;
};

} // namespace

TEST_F(Agent, RecordsOneLinePerCall) {
    auto l = lines();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0].rfind("register_application name=app in_id=- flags=0 out_id=", 0), 0u);
    EXPECT_NE(l[0].find(" buffer=- rc=0"), std::string::npos);
    EXPECT_EQ(l[1].rfind("start_application app_id=", 0), 0u);
    EXPECT_NE(l[1].find(" group=- instance=- flags=0 handle=" + std::to_string(handle_) + " buffer=- rc=0"),
              std::string::npos);
    EXPECT_EQ(l[2].rfind("register_transaction app_id=", 0), 0u);
}

TEST_F(Agent, EscapesSeparatorsAndControlsInText) {
    arm_id_t out;
    ASSERT_EQ(arm_register_transaction(&app_, "a b=c,d;e%f\ng-h", nullptr, 0, nullptr, &out), 0);
    auto l = lines();
    ASSERT_EQ(l.size(), 4u);
    EXPECT_NE(l[3].find(" name=a%20b%3dc%2cd%3be%25f%0ag%2dh "), std::string::npos);
}

TEST_F(Agent, CorrelatorsCarryTheirLengthAndParents) {
    arm_correlator_t parent{};
    arm_correlator_t child{};
    arm_tran_start_handle_t h1 = 0, h2 = 0;
    ASSERT_EQ(arm_start_transaction(handle_, &tran_, &parent, 3, nullptr, &h1, &parent), 0);
    unsigned len = (unsigned(parent.opaque[0]) << 8) | parent.opaque[1];
    EXPECT_EQ(len, 20u);
    ASSERT_EQ(arm_start_transaction(handle_, &tran_, &parent, 7, nullptr, &h2, &child), 0);
    arm_correlator_t bad{};
    bad.opaque[0] = 0x7f; // longer than a correlator can be
    arm_tran_start_handle_t h3 = 0;
    ASSERT_EQ(arm_start_transaction(handle_, &tran_, &bad, 3, nullptr, &h3, nullptr), 0);
    auto l = lines();
    ASSERT_EQ(l.size(), 6u);
    EXPECT_NE(l[3].find(" parent=none "), std::string::npos);
    std::string corr = l[3].substr(l[3].find(" correlator=") + 12);
    corr = corr.substr(0, corr.find(' '));
    EXPECT_EQ(corr.size(), 36u);
    EXPECT_NE(l[4].find(" parent=" + corr + " flags=7 "), std::string::npos);
    EXPECT_NE(l[5].find(" parent=invalid:32512 "), std::string::npos);
}

TEST_F(Agent, RefusesUnknownHandlesIdsAndMalformedBuffers) {
    arm_tran_start_handle_t h = 0;
    arm_correlator_t c{};
    EXPECT_EQ(arm_stop_transaction(999999, 0, 0, nullptr), ARM_ERROR_AGENT_UNKNOWN_HANDLE);
    EXPECT_EQ(arm_start_transaction(handle_ + 1000, &tran_, nullptr, 0, nullptr, &h, &c),
              ARM_ERROR_AGENT_UNKNOWN_HANDLE);
    arm_id_t unknown{};
    unknown.id_u.uint8[0] = 1;
    EXPECT_EQ(arm_start_transaction(handle_, &unknown, nullptr, 0, nullptr, &h, &c), ARM_ERROR_AGENT_UNKNOWN_ID);
    EXPECT_EQ(arm_register_transaction(&unknown, "x", nullptr, 0, nullptr, &unknown), ARM_ERROR_AGENT_UNKNOWN_ID);
    EXPECT_EQ(arm_register_application(nullptr, nullptr, 0, nullptr, &unknown), ARM_ERROR_AGENT_NULL_ARGUMENT);
    arm_buffer4_t five{5, nullptr};
    EXPECT_EQ(arm_stop_transaction(1, 0, 0, &five), ARM_ERROR_AGENT_BAD_BUFFER);
    arm_subbuffer_t *none[1] = {nullptr};
    arm_buffer4_t holes{1, none};
    arm_id_t out;
    EXPECT_EQ(arm_register_transaction(&app_, "y", nullptr, 0, &holes, &out), ARM_ERROR_AGENT_BAD_BUFFER);
    // A stopped transaction cannot be stopped again.
    ASSERT_EQ(arm_start_transaction(handle_, &tran_, nullptr, 0, nullptr, &h, &c), 0);
    EXPECT_EQ(arm_stop_transaction(h, ARM_STATUS_GOOD, 0, nullptr), 0);
    EXPECT_EQ(arm_stop_transaction(h, ARM_STATUS_GOOD, 0, nullptr), ARM_ERROR_AGENT_UNKNOWN_HANDLE);
    auto l = lines();
    EXPECT_NE(l.back().find(" rc=" + std::to_string(ARM_ERROR_AGENT_UNKNOWN_HANDLE)), std::string::npos);
}

TEST_F(Agent, RefusesTheCallsItIsToldTo) {
    ::setenv("KX_ARM4_FAIL", "start_transaction,register_transaction:b", 1);
    arm_id_t out;
    EXPECT_EQ(arm_register_transaction(&app_, "a", nullptr, 0, nullptr, &out), 0);
    EXPECT_EQ(arm_register_transaction(&app_, "b", nullptr, 0, nullptr, &out), ARM_ERROR_AGENT_REFUSED);
    EXPECT_EQ(arm_register_transaction(&app_, "bb", nullptr, 0, nullptr, &out), 0);
    arm_tran_start_handle_t h = 0;
    EXPECT_EQ(arm_start_transaction(handle_, &tran_, nullptr, 0, nullptr, &h, nullptr), ARM_ERROR_AGENT_REFUSED);
    char msg[ARM_MSG_BUFFER_LENGTH];
    EXPECT_EQ(arm_get_error_message(ARM_CHARSET_UTF8, ARM_ERROR_AGENT_REFUSED, msg), 0);
    EXPECT_STREQ(msg, "refused by KX_ARM4_FAIL");
    EXPECT_LT(arm_get_error_message(ARM_CHARSET_UTF8, -1, msg), 0);
    EXPECT_STREQ(msg, "unknown ARM error -1");
}

TEST_F(Agent, InputIdsAreKeptAndArrivalTimeAdvances) {
    arm_id_t in{}, out{};
    for (int i = 0; i < 16; ++i) in.id_u.uint8[i] = static_cast<arm_uint8_t>(i + 1);
    ASSERT_EQ(arm_register_transaction(&app_, "given", &in, 0, nullptr, &out), 0);
    EXPECT_EQ(0, std::memcmp(&in, &out, sizeof in));
    arm_arrival_time_t a = 0, b = 0;
    ASSERT_EQ(arm_get_arrival_time(&a), 0);
    ASSERT_EQ(arm_get_arrival_time(&b), 0);
    EXPECT_GE(b, a);
    EXPECT_EQ(arm_get_arrival_time(nullptr), ARM_ERROR_AGENT_NULL_ARGUMENT);
}

TEST(AgentWithoutRecordFile, AnswersButWritesNothing) {
    ::unsetenv("KX_ARM4_LOG");
    arm_id_t app;
    EXPECT_EQ(arm_register_application("quiet", nullptr, 0, nullptr, &app), 0);
}
