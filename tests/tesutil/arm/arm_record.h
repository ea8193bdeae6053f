// Reading what libarm4 recorded: one call per line, "call key=value ...", text fields escaped.
#pragma once

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "tesutil/stpexception.h"
#include "wexlog/logmanager.h"

namespace armtest {

struct Record {
    std::string call;
    std::map<std::string, std::string> fields;
    std::string const &operator[](std::string const &key) const {
        static std::string const none = "<absent>";
        auto it = fields.find(key);
        return it == fields.end() ? none : it->second;
    }
};

inline std::vector<Record> read_records(std::string const &path) {
    std::vector<Record> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        Record r;
        words >> r.call;
        std::string word;
        while (words >> word) {
            auto eq = word.find('=');
            r.fields[word.substr(0, eq)] = eq == std::string::npos ? std::string() : word.substr(eq + 1);
        }
        out.push_back(r);
    }
    return out;
}

// Undoes the agent's %XX escapes.
inline std::string unescape(std::string const &s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

inline std::string hex(unsigned char const *p, std::size_t n) {
    static char const digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

// A fresh record file for this process, named to the agent through KX_ARM4_LOG.
inline std::string fresh_record_file(std::string const &tag) {
    char const *tmp = std::getenv("TMPDIR");
    std::string path =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/kx_arm4_" + tag + "_" + std::to_string(::getpid()) + ".log";
    std::remove(path.c_str());
    ::setenv("KX_ARM4_LOG", path.c_str(), 1);
    return path;
}

// Collects the lines that the utility library writes to its log. The log keeps the sink, so a
// capture lives for the whole process.
struct LogCapture {
    std::vector<std::string> lines;
    static LogCapture &instance() {
        static LogCapture *c = new LogCapture;
        return *c;
    }

private:
    LogCapture() {
        Log::TsLogManager::set_sink_for_testing([this](std::string const &l) { lines.push_back(l); });
        Log::LogAdaptor::initialize("armtest", nullptr, "cfg", 2);
    }
};

} // namespace armtest
