// The status page over the real binary: curl takes a page whose sourcetable
// is far larger than a socket buffer, then a base whose STR: text carries
// markup becomes trusted and a real browser (headless Chromium) renders the
// page: the operator's name and every sourcetable line are there, the
// markup as text.

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <unistd.h>

#include "caster_process.h"
#include "platform/clock.h"
#include "replay_base.h"
#include "support/test_support.h"

namespace {

const char* const chromiumPath = "/usr/bin/chromium";
const char* const curlPath = "/usr/bin/curl";

// Operator "Test & <i>Net</i>", RTCM 3.1 single-base streams only.
std::string casterSettingsText(int roverPort)
{
    const char* lines[] = {"Test & <i>Net</i>", "JPN", "35.87", "138.39", "www.example.com",
                           "127.0.0.1", nullptr, "127.0.0.1", nullptr,
                           "0", "0", "0", "0", "0", "0", "0", "1", "0", "1", "1", "0", "0",
                           "1", "200"};
    std::string text;
    for (const char* line : lines)
        text += (line ? std::string(line) : std::to_string(roverPort)) + "\r\n";
    return text;
}

// Standard output of a command line (run through the shell).
std::string runCommand(const std::string& command)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// How a serialised DOM writes a text node: & < > as entities.
std::string domText(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

// The lines of a sourcetable file, line feed as separator, CR dropped.
std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (true) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos
                                                                        : end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        if (end == std::string::npos) return lines;
        start = end + 1;
    }
}

}   // namespace

TEST(WebStatusE2E, CurlGetsLargePageWholeAndChromiumRendersMarkupAsText)
{
    REQUIRE_TOOLS(curlPath);
    CasterProcess caster;
    CasterPorts ports = pickFreePorts();
    caster.writeFile("caster.txt", casterSettingsText(ports.rover));
    caster.writeFile("base.txt", "pw /WEBBASE\r\n");
    ASSERT_TRUE(caster.start(ports));
    ASSERT_TRUE(caster.waitConsole("sourceTable.txt written", 3000));
    std::string url = "http://127.0.0.1:" + std::to_string(ports.http) + "/";

    {
        SCOPED_TRACE("curl, a sourcetable of 6 MB read at 3 MB/s");
        // Stands in for the built table until the next rebuild (a trusted
        // base); the caster sends the file as it finds it.
        std::string table;
        for (int i = 0; table.size() < 6000000; ++i)
            table += "STR;M" + std::to_string(i) +
                     ";A&B<x>;RTCM 3;1004(1);2;GPS;Net;JPN;35.87;138.39;0;0;sw;none;N;N;9600;\r\n";
        table += "ENDSOURCETABLE\r\n";
        caster.writeFile("sourceTable.txt", table);
        std::string head = caster.dir() + "/head.txt", body = caster.dir() + "/body.html";
        double start = msSinceStart();
        runCommand(std::string(curlPath) + " -s --max-time 30 --limit-rate 3M -D " + head +
                   " -o " + body + " " + url);
        std::printf("page of %zu bytes in %.0f ms\n", caster.readFile("body.html").size(),
                    msSinceStart() - start);
        std::string headers = caster.readFile("head.txt");
        EXPECT_TRUE(std::regex_match(
            headers, std::regex("HTTP/1\\.1 200 OK\r\nServer: Quillmark Corvane-GNSS/1\\.0\r\n"
                                "Date: \\d\\d/[A-Z][a-z][a-z]/\\d{4}:\\d\\d:\\d\\d:\\d\\d GMT\r\n"
                                "Content-Type: text/html\r\n\r\n")))
            << headers;
        std::string page = caster.readFile("body.html");
        std::string section;
        for (const std::string& line : linesOf(table)) section += domText(line) + "\r<br>\n";
        // The empty rest after the last line feed is a line with no CR.
        section.erase(section.size() - 6);
        section += "<br>\n";
        size_t at = page.find("<p>\n");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(page.rfind("<!DOCTYPE html>\n", 0), 0u);
        EXPECT_TRUE(page.compare(at + 4, section.size(), section) == 0) << "section differs";
        EXPECT_EQ(page.substr(at + 4 + section.size(), 11), "</p>\n</div>");
        EXPECT_EQ(page.size() >= 16 ? page.substr(page.size() - 16) : page, "</body>\n</html>\n");
    }

    if (!missingTools({chromiumPath}).empty()) {
        EXPECT_EQ(caster.stop(3000), 0);
        REQUIRE_TOOLS(chromiumPath);
    }
    // A base whose STR: text would add a script and an element to the page.
    const std::string identifier = "<i>Nagano</i><script>document.body.id='in'+'jected'</script>";
    std::vector<uint8_t> bytes = readFileBytes(dataPath("rtcm3/testglo.rtcm3"));
    ReplayBase base(cutIntoEpochs(bytes));
    ASSERT_TRUE(base.login(ports.base, "SOURCE pw /WEBBASE\r\nSource-Agent: NTRIP replay/1.0\r\n"
                                       "STR: WEBBASE;" + identifier +
                                       ";RTCM 3;1004(1);2;GPS+GLO;Net&Co;JPN;35.87;138.39;0;0;"
                                       "replay;none;N;N;9600;test\r\n\r\n"));
    base.start();
    ASSERT_TRUE(caster.waitConsole("baseID WEBBASE is now trusted", 75000)) << caster.console();
    std::string table;
    for (int i = 0; i < 50 && table.find("STR;WEBBASE") == std::string::npos; ++i) {
        usleep(100000);
        table = caster.readFile("sourceTable.txt");
    }
    ASSERT_NE(table.find("STR;WEBBASE"), std::string::npos) << table;

    std::string profile = caster.dir() + "/chromium";
    double start = msSinceStart();
    std::string dom = runCommand("timeout 60 " + std::string(chromiumPath) +
                                 " --headless --no-sandbox --disable-gpu --no-first-run"
                                 " --user-data-dir=" + profile + " --dump-dom " + url +
                                 " 2>/dev/null");
    std::printf("chromium: %zu bytes of DOM in %.0f ms\n", dom.size(), msSinceStart() - start);
    ASSERT_NE(dom.find("GNSS CASTER SOURCETABLE"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<a href=\"http://www.example.com\"> Test &amp; &lt;i&gt;Net&lt;/i&gt; </a>"),
              std::string::npos)
        << dom;
    int strLines = 0;
    for (const std::string& line : linesOf(table)) {
        if (line.rfind("STR;", 0) == 0) ++strLines;
        EXPECT_NE(dom.find(domText(line)), std::string::npos) << line;
    }
    EXPECT_GE(strLines, 1);
    EXPECT_NE(dom.find(domText(identifier)), std::string::npos);
    // Text, not elements: no script ran, no <i> element or script element.
    EXPECT_EQ(dom.find("<script"), std::string::npos);
    EXPECT_EQ(dom.find("<i>"), std::string::npos);
    EXPECT_EQ(dom.find("injected"), std::string::npos);

    base.stop();
    EXPECT_EQ(caster.stop(3000), 0);
}
