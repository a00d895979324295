#pragma once
// What the fuzz targets that read and write the caster's text files share:
// a working directory of their own, and the checks of a written sourcetable.
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#define FUZZ_TEXT_CHECK __attribute__((no_sanitize("coverage")))

// The files are read and written in a directory of their own; between
// inputs the fuzzer's directory is the working one again, as it reads its
// corpus files by the names it was given. Make one at start-up, then hold
// an InFuzzDirectory for the length of each input.
class FuzzDirectory {
public:
    explicit FuzzDirectory(const char* pattern)
    {
        std::string name = pattern;
        if (!mkdtemp(name.data()) || (work_ = open(name.c_str(), O_RDONLY | O_DIRECTORY)) < 0 ||
            (home_ = open(".", O_RDONLY | O_DIRECTORY)) < 0)
            std::abort();
    }
    int work() const { return work_; }
    int home() const { return home_; }

private:
    int work_ = -1, home_ = -1;
};

class InFuzzDirectory {
public:
    explicit InFuzzDirectory(const FuzzDirectory& d) : home_(d.home())
    {
        if (fchdir(d.work()) != 0) std::abort();
    }
    ~InFuzzDirectory()
    {
        if (fchdir(home_) != 0) std::abort();
    }

private:
    int home_;
};

inline std::string readWholeFile(const char* name)
{
    std::ifstream f(name, std::ios::binary);
    std::ostringstream text;
    text << f.rdbuf();
    return text.str();
}

// A sourcetable as written to sourceTable.txt: its length header counts the
// records, each record keeps its number of fields and no byte other than the
// line ends is a control byte.
FUZZ_TEXT_CHECK inline void checkSourceTableText(const std::string& table)
{
    size_t body = table.find("\r\n\r\n");
    size_t at = table.find("Content-Length: ");
    if (body == std::string::npos || at == std::string::npos) std::abort();
    const std::string text = table.substr(body + 4);
    const std::string end = "ENDSOURCETABLE\r\n";
    if (text.size() < end.size() || text.compare(text.size() - end.size(), end.size(), end) != 0 ||
        std::strtoul(table.c_str() + at + 16, nullptr, 10) != text.size() - end.size())
        std::abort();
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line.back() != '\r') std::abort();
        line.pop_back();
        size_t fields = 1;
        for (char ch : line) {
            if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) std::abort();
            fields += ch == ';';
        }
        if ((line.rfind("STR;", 0) == 0 && fields != 19) ||
            (line.rfind("CAS;", 0) == 0 && fields != 12))
            std::abort();
    }
}
