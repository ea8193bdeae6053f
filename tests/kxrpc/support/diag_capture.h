// Captures the product's diagnostic reports for a test and restores the defaults afterwards.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "kxproduct/diag.h"

namespace kxtest {

class DiagCapture {
public:
    DiagCapture() {
        AdDiagnostic::ClearFlags();
        AdDiagnostic::SetSink([this](CString const &category, CString const &text) {
            std::lock_guard<std::mutex> guard(mu_);
            lines_.push_back(category.ToUtf8() + "|" + text.ToUtf8());
        });
    }
    ~DiagCapture() {
        AdDiagnostic::ClearFlags();
        AdDiagnostic::SetStderrSink();
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(mu_);
        return lines_;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mu_);
        lines_.clear();
    }

private:
    std::mutex mu_;
    std::vector<std::string> lines_;
};

} // namespace kxtest
