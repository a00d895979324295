// Rovers logging in to the running caster, and sourcetable requests.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "caster_process.h"
#include "core/checksum.h"
#include "platform/clock.h"

namespace {

const std::string connectOkPattern =
    "ICY 200 OK\r\nServer: Quillmark Corvane-GNSS/1\\.0\r\n"
    "Date: \\d\\d/[A-Z][a-z]{2}/\\d{4}:\\d\\d:\\d\\d:\\d\\d GMT\r\n\r\n\r\n";

// "user:pass", "old:pass", "other:pass" in Base64.
const char* const userPass = "dXNlcjpwYXNz";
const char* const oldPass = "b2xkOnBhc3M=";
const char* const otherPass = "b3RoZXI6cGFzcw==";

std::string getRequest(const std::string& target, const std::string& credential)
{
    return "GET " + target + " HTTP/1.0\r\nUser-Agent: NTRIP test/1.0\r\n"
           "Authorization: Basic " + credential + "\r\n\r\n";
}

class RoverE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string nextYear =
            std::to_string(std::stoi(formatLocalTime("%Y", time(nullptr))) + 1);
        caster.writeFile("base.txt", "pass /MOUNT\r\n");
        caster.writeFile("users.txt", "user:pass 100 " + nextYear + " l f s t st z e\r\n" +
                                          "old:pass 001 2000 l f s t st z e\r\n");
        ASSERT_TRUE(caster.start());
        base = connectTo(caster.ports().base);
        ASSERT_GE(base, 0);
        ASSERT_TRUE(sendText(base, "SOURCE pass /MOUNT\r\nSTR: MOUNT;Ottawa;RTCM 3;x;2;GPS;"
                                   "Net;CAN;45.42;-75.69;0\r\n\r\n"));
        ASSERT_TRUE(caster.waitConsole("OK message sent base is connected", 2000));
    }
    void TearDown() override
    {
        if (base >= 0) close(base);
        EXPECT_EQ(caster.stop(3000), 0);
    }
    // One request; the whole reply up to the caster's close.
    std::string refused(const std::string& request, bool& closed)
    {
        int fd = connectTo(caster.ports().rover);
        if (fd < 0 || !sendText(fd, request)) return "<no connection>";
        std::string reply = readUntilClosed(fd, 1500, closed);
        close(fd);
        return reply;
    }
    CasterProcess caster;
    int base = -1;
};

// The RTCM 3 frame at the start of `bytes`: its message number, or -1 when
// it is no complete frame with a good CRC.
int rtcmMessageAt(const std::string& bytes, size_t at, size_t& length)
{
    if (bytes.size() < at + 6 || uint8_t(bytes[at]) != 0xD3) return -1;
    size_t payload = ((uint8_t(bytes[at + 1]) & 0x03) << 8) | uint8_t(bytes[at + 2]);
    length = payload + 6;
    if (bytes.size() < at + length) return -1;
    const uint8_t* frame = reinterpret_cast<const uint8_t*>(bytes.data() + at);
    if (!checkCrc24q(frame, length)) return -1;
    return (frame[3] << 4) | (frame[4] >> 4);
}

TEST_F(RoverE2E, AdmittedRoverGetsGreetingAnd1013)
{
    int fd = connectTo(caster.ports().rover);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendText(fd, getRequest("/MOUNT0", userPass)));
    std::string reply = readAtLeast(fd, 90, 2000);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(reply, m, std::regex("^" + connectOkPattern))) << reply;
    size_t length = 0;
    EXPECT_EQ(rtcmMessageAt(reply, size_t(m.length(0)), length), 1013);
    EXPECT_EQ(reply.size(), size_t(m.length(0)) + length);

    // The same account a second time while the first is on line.
    bool closed = false;
    EXPECT_EQ(refused(getRequest("/MOUNT0", userPass), closed),
              refusalPage("ERROR-Mount Point Taken", "MOUNT",
                          "<p> <center>ERROR-Mount Point Taken</center> </p>\n"));
    EXPECT_TRUE(closed);
    close(fd);
}

TEST_F(RoverE2E, EveryRefusalPage)
{
    const std::string badPassword =
        refusalPage("ERROR-Bad Password", "MOUNT", privilegesParagraph() + "\n");
    const struct { std::string request; std::string page; } cases[] = {
        {"SOURCE pass /MOUNT\r\n\r\n",
         refusalPage("HTTP/1.1 401 Unauthorized", "",
                     "<p> <center>HTTP/1.1 401 Unauthorized</center> </p>\n")},
        {"GET /MOUNT0 HTTP/1.0\r\nAuthorization: Digest abc\r\n\r\n",
         refusalPage("HTTP/1.1 401 Unauthorized", "MOUNT",
                     privilegesParagraph() +
                         "<br>\n<p> <center>This datastream requires a secure login and "
                         "password</center> </p>\n")},
        {getRequest("/MOUNT0", otherPass), badPassword},   // no such account
        {getRequest("/MOUNT0", oldPass), badPassword},     // expired subscription
    };
    for (const auto& c : cases) {
        bool closed = false;
        EXPECT_EQ(refused(c.request, closed), c.page) << c.request;
        EXPECT_TRUE(closed) << c.request;
    }
}

TEST_F(RoverE2E, SourceTableForRootAndUnknownMountpoint)
{
    for (const char* target : {"/", "/UNKNOWN0"}) {
        bool closed = false;
        std::string reply = refused(getRequest(target, userPass), closed);
        EXPECT_TRUE(closed);
        ASSERT_EQ(reply.rfind("SOURCETABLE 200 OK\r\n", 0), 0u) << reply;
        size_t headEnd = reply.find("\r\n\r\n");
        ASSERT_NE(headEnd, std::string::npos);
        std::smatch m;
        std::string head = reply.substr(0, headEnd + 4);
        ASSERT_TRUE(std::regex_search(head, m, std::regex("\r\nContent-Length: (\\d+)\r\n")));
        size_t length = std::stoul(m[1]);
        std::string body = reply.substr(headEnd + 4, length);
        EXPECT_EQ(body.rfind("CAS;", 0), 0u);
        EXPECT_EQ(body.substr(body.size() - 2), "\r\n");
        // What follows the counted records is the closing line (and the line
        // feed the sender adds to the file's last line).
        EXPECT_EQ(reply.substr(headEnd + 4 + length), "ENDSOURCETABLE\r\n\n");
        EXPECT_EQ(reply, caster.readFile("sourceTable.txt") + "\n");
    }
}

TEST_F(RoverE2E, HangUpRereadsCasterSettings)
{
    std::string settings = caster.readFile("caster.txt");
    size_t at = settings.find("\r\n");
    ASSERT_NE(at, std::string::npos);
    size_t second = settings.find("\r\n", at + 2);
    settings.replace(at + 2, second - at - 2, "Atlantis");   // line 2: country
    caster.writeFile("caster.txt", settings);
    caster.signal(SIGHUP);
    ASSERT_TRUE(caster.waitConsole("sourceTable.txt written.", 2000, 2));
    bool closed = false;
    std::string reply = refused(getRequest("/", userPass), closed);
    EXPECT_NE(reply.find(";Atlantis;"), std::string::npos) << reply;
}

// A rover of a nearest-base stream that has sent no position has no base
// to be served from: it gets the greeting's 1013 and then a keep-alive 1013
// every 5 s, timed by the rover thread's clock rather than by any traffic.
TEST(RoverKeepAliveE2E, RoverWithoutBaseGetsA1013EveryFiveSeconds)
{
    CasterProcess caster;
    std::string nextYear = std::to_string(std::stoi(formatLocalTime("%Y", time(nullptr))) + 1);
    caster.writeFile("users.txt", "user:pass 100 " + nextYear + " l f s t st z e\r\n");
    caster.writeFile("base.txt", "pass /MOUNT\r\n");
    // Nearest-base streams and RTCM 3.1 output on (see the caster file's
    // line order in the data path test).
    const char* lines[] = {"Test Net", "CAN", "45.00", "-75.00", "www.example.com",
                           "127.0.0.1", "10000", "127.0.0.1", "10000",
                           "0", "0", "0", "0", "1", "0", "0", "1", "0", "1", "1", "0", "0", "0",
                           "200"};
    std::string settings;
    for (const char* line : lines) settings += std::string(line) + "\r\n";
    caster.writeFile("caster.txt", settings);
    ASSERT_TRUE(caster.start());

    int fd = connectTo(caster.ports().rover);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendText(fd, getRequest("/RTCM31_NEAR", userPass)));
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    std::string bytes;
    size_t parsed = 0;
    std::vector<double> arrivals;   // ms after the request, one per 1013
    char buf[4096];
    while (arrivals.size() < 4 && Clock::now() - start < std::chrono::seconds(17)) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        double at = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        bytes.append(buf, size_t(n));
        if (parsed == 0) {
            size_t header = bytes.find("\r\n\r\n\r\n");
            if (header == std::string::npos) continue;
            parsed = header + 6;
        }
        size_t length = 0;
        for (int message = rtcmMessageAt(bytes, parsed, length); message >= 0;
             message = rtcmMessageAt(bytes, parsed, length)) {
            EXPECT_EQ(message, 1013);
            arrivals.push_back(at);
            parsed += length;
        }
    }
    close(fd);
    ASSERT_EQ(arrivals.size(), 4u) << "bytes received: " << bytes.size();
    EXPECT_EQ(parsed, bytes.size()) << "bytes outside whole frames";
    // The first keep-alive comes when the caster's clock first allows it;
    // from then on one every 5000 ms, neither early nor held for a turn.
    for (size_t k = 2; k < arrivals.size(); ++k) {
        double gap = arrivals[k] - arrivals[k - 1];
        EXPECT_GE(gap, 4950.0) << k;
        EXPECT_LE(gap, 5080.0) << k;
    }
}

}   // namespace
