// Runs a shell command for tests that check files with tools written elsewhere.
#pragma once

#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <utility>

namespace velcap::test {

// The command's output (standard output and error) and exit status.
inline std::pair<std::string, int> run(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return {"popen failed", -1};
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    const int status = ::pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

} // namespace velcap::test
