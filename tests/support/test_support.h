#pragma once
// Helpers shared by the test binaries.

#include <cstdint>
#include <string>
#include <vector>

// Path of a file below the shared data directory.
std::string dataPath(const std::string& relative);
// Whole file as bytes; empty when it cannot be read.
std::vector<uint8_t> readFileBytes(const std::string& path);
// Parses "D3 00 13 ..." into bytes.
std::vector<uint8_t> hexBytes(const std::string& text);
// A fresh empty directory under the system temp dir.
std::string makeTempDir();
