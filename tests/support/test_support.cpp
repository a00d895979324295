#include "support/test_support.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

std::string dataPath(const std::string& relative)
{
    return std::string(CASTER_DATA_DIR) + "/" + relative;
}

std::vector<uint8_t> readFileBytes(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

std::vector<uint8_t> hexBytes(const std::string& text)
{
    std::vector<uint8_t> out;
    std::istringstream in(text);
    std::string word;
    while (in >> word) out.push_back(uint8_t(std::stoul(word, nullptr, 16)));
    return out;
}

std::string makeTempDir()
{
    char pattern[] = "/tmp/caster-test-XXXXXX";
    char* dir = mkdtemp(pattern);
    return dir ? std::string(dir) : std::string("/tmp");
}
