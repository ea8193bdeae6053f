// Points the registry store at a fresh temporary folder for each test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "kxwin/registry.h"

class TempRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kxreg_util_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        registry_dir_ = tmpl;
        kxwin_registry_set_root(registry_dir_.c_str());
    }
    void TearDown() override {
        kxwin_registry_set_root(nullptr);
        std::filesystem::remove_all(registry_dir_);
    }
    std::string registry_dir_;
};
