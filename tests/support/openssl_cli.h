// The digest the openssl command-line tool gives, as a reference computed outside the
// library under test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

namespace varnholt::testing {

// Runs `shell_pipeline | openssl md5 -r` and returns the digest in upper case.
inline std::string OpensslMd5Of(const std::string& shell_pipeline) {
    const std::string command = "(" + shell_pipeline + ") | openssl md5 -r";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run: " << command;
        return {};
    }
    char line[256] = {};
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    const int status = ::pclose(pipe);
    EXPECT_TRUE(read && status == 0) << "failed: " << command;
    std::string digest(line, std::min<std::size_t>(32, std::char_traits<char>::length(line)));
    std::transform(digest.begin(), digest.end(), digest.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return digest;
}

inline std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

}  // namespace varnholt::testing
