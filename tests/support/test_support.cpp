#include "support/test_support.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

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

namespace {
// The Debian package of each independent tool the judges run.
std::string packageOf(const std::string& program)
{
    const std::string name = program.substr(program.find_last_of('/') + 1);
    if (name == "convbin" || name == "rnx2rtkp" || name == "str2str") return "rtklib";
    if (name == "gpsdecode") return "gpsd-clients";
    return name;   // chromium, curl
}
}   // namespace

std::string missingTools(std::initializer_list<std::string> programs)
{
    std::string names, packages;
    for (const std::string& p : programs) {
        if (access(p.c_str(), X_OK) == 0) continue;
        names += " " + p;
        const std::string package = packageOf(p);
        if (packages.find(" " + package) == std::string::npos) packages += " " + package;
    }
    if (names.empty()) return "";
    return "missing" + names + "; install with: sudo apt-get install -y" + packages +
           " (or run make test as root), or set CASTER_NO_TOOLS=1 to skip these checks";
}

bool toolsOptedOut()
{
    const char* v = std::getenv("CASTER_NO_TOOLS");
    return v && *v && std::string(v) != "0";
}
