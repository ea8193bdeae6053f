// Runs a shell command of the host (xmllint and the like) and collects its standard output.
#pragma once

#include <stdio.h>

#include <string>

namespace kxtest {

// The command's output, or "<failure> failed: " and the output when it exits with a failure.
inline std::string command_output(std::string const &command, std::string const &failure = "command") {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p) return "popen failed";
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    return pclose(p) == 0 ? out : failure + " failed: " + out;
}

} // namespace kxtest
