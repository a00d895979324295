#pragma once
// Helpers shared by the test binaries.

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

// Path of a file below the project's test data directory (tests/data).
std::string dataPath(const std::string& relative);
// Whole file as bytes; empty when it cannot be read.
std::vector<uint8_t> readFileBytes(const std::string& path);
// Parses "D3 00 13 ..." into bytes.
std::vector<uint8_t> hexBytes(const std::string& text);
// A fresh empty directory under the system temp dir.
std::string makeTempDir();

// Empty when every program (a full path) can be run; otherwise which are
// missing and the command that installs their packages.
std::string missingTools(std::initializer_list<std::string> programs);
// Set by a user who runs the suite without the independent tools on purpose.
bool toolsOptedOut();

// A check judged by an independent tool cannot pass without that tool: it
// fails with the install command, or is skipped when the user opted out.
#define REQUIRE_TOOLS(...)                                        \
    do {                                                          \
        const std::string missing_ = missingTools({__VA_ARGS__}); \
        if (missing_.empty()) break;                              \
        if (toolsOptedOut()) GTEST_SKIP() << missing_;            \
        FAIL() << missing_;                                       \
    } while (0)
