// Bases logging in to the running caster.

#include <gtest/gtest.h>

#include <regex>
#include <unistd.h>

#include "caster_process.h"

namespace {

const std::regex connectOk(
    "ICY 200 OK\r\nServer: Quillmark Corvane-GNSS/1\\.0\r\n"
    "Date: \\d\\d/[A-Z][a-z]{2}/\\d{4}:\\d\\d:\\d\\d:\\d\\d GMT\r\n\r\n\r\n");

// Sends one login; the reply up to the caster's close, and whether it closed.
std::string baseLogin(int port, const std::string& text, bool& closed, int& fd)
{
    fd = connectTo(port);
    if (fd < 0 || !sendText(fd, text)) return "<no connection>";
    return readUntilClosed(fd, 1500, closed);
}

// Sends one login that should be admitted; the greeting (84 bytes: its date
// text has a fixed width), and whether more than that came or the caster
// closed within a short wait.
std::string admittedLogin(int port, const std::string& text, bool& more, int& fd)
{
    fd = connectTo(port);
    if (fd < 0 || !sendText(fd, text)) return "<no connection>";
    std::string greeting = readAtLeast(fd, 84, 1500);
    bool closed = false;
    more = !readUntilClosed(fd, 50, closed).empty() || closed;
    return greeting;
}

std::string loginText(const std::string& password, const std::string& mountpoint)
{
    return "SOURCE " + password + " /" + mountpoint +
           "\r\nSource-Agent: NTRIP test/1.0\r\nSTR: " + mountpoint +
           ";Ottawa;RTCM 3;1004(1);2;GPS;Net;CAN;45.42;-75.69;0;0;x\r\n\r\n";
}

TEST(BaseLoginE2E, AdmitsAndRefusesByteForByte)
{
    CasterProcess caster;
    caster.writeFile("base.txt", "s3cret /MOUNT\r\nw0rd /OTHER\r\n");
    ASSERT_TRUE(caster.start());
    int port = caster.ports().base;

    bool closed = false;
    int admitted = -1;
    std::string reply = admittedLogin(port, loginText("s3cret", "MOUNT"), closed, admitted);
    // The reply comes and the connection stays open for the stream.
    EXPECT_TRUE(std::regex_match(reply, connectOk)) << reply;
    EXPECT_FALSE(closed);
    ASSERT_TRUE(caster.waitConsole("OK message sent base is connected", 1000));

    const struct { std::string login; const char* reply; } refusals[] = {
        {loginText("nope", "MOUNT"), "ERROR-Bad Password"},
        {loginText("w0rd", "MOUNT"), "ERROR-Mount Point Invalid"},
        {loginText("s3cret", "MOUNT"), "ERROR-Mount Point Taken"},
        {"GET /MOUNT HTTP/1.0\r\n\r\n", "INVALID ACTION"},
    };
    for (const auto& r : refusals) {
        int fd = -1;
        EXPECT_EQ(baseLogin(port, r.login, closed, fd), r.reply);
        EXPECT_TRUE(closed) << r.reply;
        close(fd);
    }
    // The passwords never reach the console.
    std::string console = caster.console();
    EXPECT_EQ(console.find("s3cret"), std::string::npos);
    EXPECT_EQ(console.find("w0rd"), std::string::npos);
    EXPECT_EQ(console.find("nope"), std::string::npos);
    close(admitted);
    EXPECT_EQ(caster.stop(3000), 0);
}

TEST(BaseLoginE2E, EleventhBaseIsTurnedAwayAndThePortReopens)
{
    CasterProcess caster;
    std::string baseFile;
    for (int i = 0; i <= 10; ++i) baseFile += "pw /M" + std::to_string(i) + "\r\n";
    caster.writeFile("base.txt", baseFile);
    ASSERT_TRUE(caster.start());
    int port = caster.ports().base;

    int fds[10];
    bool closed = false;
    for (int i = 0; i < 10; ++i) {
        std::string reply = admittedLogin(port, loginText("pw", "M" + std::to_string(i)), closed,
                                          fds[i]);
        ASSERT_FALSE(closed);
        ASSERT_TRUE(std::regex_match(reply, connectOk)) << i << ": " << reply;
    }

    std::string listening =
        "NTRIP baseListenSocket   is listening on Port " + std::to_string(port);
    int eleventh = -1;
    std::string reply = baseLogin(port, loginText("pw", "M10"), closed, eleventh);
    // Turned away either way: closed without a word, or, when the listen
    // socket went down with the connection still queued, reset before the
    // login text could be sent.
    if (reply == "<no connection>") {
        closed = true;
        reply.clear();
    }
    EXPECT_EQ(reply, "");
    EXPECT_TRUE(closed);
    if (eleventh >= 0) close(eleventh);
    EXPECT_TRUE(caster.waitConsole("base limit reached.", 1000));
    // Opened again on the listen thread's next turn.
    EXPECT_TRUE(caster.waitConsole(listening, 1000, 2));
    int again = connectTo(port);
    EXPECT_GE(again, 0);
    close(again);

    for (int fd : fds) close(fd);
    EXPECT_EQ(caster.stop(3000), 0);
}

}   // namespace
