// A test fixture with the real program serving its demo set from a fresh directory, four
// workers, stopped by SIGTERM and expected to end cleanly.
#pragma once

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server_process.h"

namespace e2e {

class DemoServerTest : public testing::Test {
protected:
    void SetUp() override {
        server_ = std::make_unique<ServerProcess>(std::vector<std::string>{"-worker_threads", "4"}, dir_.path(),
                                                  std::vector<std::string>{"KX_PRODUCT_DATA=" + dir_.file("data")});
        ASSERT_TRUE(server_->start());
    }
    void TearDown() override {
        server_->signal(SIGTERM);
        EXPECT_EQ(0, server_->wait().status);
    }
    TempDir dir_;
    std::unique_ptr<ServerProcess> server_;
};

} // namespace e2e
