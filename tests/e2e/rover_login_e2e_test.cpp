// Rovers logging in to the running caster, and sourcetable requests.

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <unistd.h>

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

}   // namespace
