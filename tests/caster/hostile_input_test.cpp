// Careless and hostile peers at the login: passwords holding '/', headers
// with empty values, credentials repeated after the login, and connections
// that never say a word while others log in.

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sstream>
#include <thread>

#include "caster/base_login.h"
#include "caster/console_echo.h"
#include "caster/listen_socket.h"
#include "caster/listen_thread.h"
#include "caster/pending_logins.h"
#include "caster/rover_login.h"
#include "caster/rover_thread.h"
#include "caster_fixture.h"
#include "core/base64.h"
#include "core/base_station.h"
#include "platform/console.h"

namespace {

int countOccurrences(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

std::string basic(const std::string& credential)
{
    return base64Encode(reinterpret_cast<const uint8_t*>(credential.data()),
                        int(credential.size()));
}

class HostileLogin : public CasterTest {
protected:
    bool baseLogin(const std::string& text)
    {
        int ours, theirs;
        socketPair(ours, theirs);
        baseStation[0].socket = ours;
        std::istringstream request(text);
        return checkBaseRequest(ours, request, 0);
    }
    bool roverLogin(const std::string& text)
    {
        int ours, theirs;
        socketPair(ours, theirs);
        client[0].clientSocket = ours;
        std::istringstream request(text);
        return checkClientRequest(0, request);
    }
};

TEST_F(HostileLogin, SlashPasswordsLogInAndAreNeverShown)
{
    writeFile("base.txt", "se/cr/et /MP\r\nlone/pw\r\nsecond /B\r\n");
    consoleCaptureStart();
    // The whole word after SOURCE is the password, the next the mountpoint.
    ASSERT_TRUE(baseLogin("SOURCE se/cr/et /MP\r\nSTR: MP;Ident;RTCM3;x;2;GPS;N;C;1.5;2.5;\r\n"));
    EXPECT_EQ(baseStation[0].mountpoint, "MP");
    EXPECT_EQ(baseStation[0].identifier, "Ident");
    EXPECT_DOUBLE_EQ(baseStation[0].strLongitude, 2.5);
    // Run together, the split is at the last '/', and STR: is still read.
    ASSERT_TRUE(baseLogin("SOURCE se/cr/et/MP\r\nSTR: MP;Other;RTCM3\r\n"));
    EXPECT_EQ(baseStation[0].mountpoint, "MP");
    EXPECT_EQ(baseStation[0].identifier, "Other");
    // A wrong slash password, and one sent without its mountpoint.
    EXPECT_FALSE(baseLogin("SOURCE se/cr/ET /MP\r\n"));
    EXPECT_FALSE(baseLogin("SOURCE se/cr/et\r\n"));
    std::string console = consoleCaptureStop();
    for (const char* secret : {"se/", "cr/", "/et", "/ET", "lone", "/pw", "second"})
        EXPECT_EQ(console.find(secret), std::string::npos) << secret << "\n" << console;
    EXPECT_NE(console.find("from request mountpoint =   /MP\n"), std::string::npos);
    EXPECT_NE(console.find("from file mountpoint =   /MP\n"), std::string::npos);
}

TEST_F(HostileLogin, EmptyUserAgentDoesNotSwallowTheNextHeader)
{
    writeFile("users.txt", "user:pw 100 2099 a b c d e f g\r\n");
    writeFile("sourceTable.txt", "ST\r\n");
    baseStation[1].connected = 1;
    baseStation[1].mountpoint = "BASE";
    const std::string auth = "Authorization: Basic " + basic("user:pw") + "\r\n\r\n";
    for (const char* agentLine :
         {"User-Agent:\r\n", "User-Agent: NTRIP\r\n", "User-Agent: \t\r\n", "User-Agent:\r"}) {
        consoleCaptureStart();
        bool ok = roverLogin("GET /BASE0 HTTP/1.0\r\n" + std::string(agentLine) + auth);
        consoleCaptureStop();
        ASSERT_TRUE(ok) << agentLine;
        EXPECT_EQ(client[0].userAgent, "") << agentLine;
        EXPECT_EQ(client[0].credential, "user:pw");
    }
    consoleCaptureStart();
    ASSERT_TRUE(roverLogin("GET /BASE0 HTTP/1.0\r\nUser-Agent: NTRIP Rover/2 (x)\r\n" + auth));
    consoleCaptureStop();
    EXPECT_EQ(client[0].userAgent, "Rover/2");
}

TEST(ConsoleEcho, AuthorizationValueIsHiddenAlsoWhenCutBetweenReceives)
{
    const std::string secret = basic("user:pa/ss");
    const std::string request = "GET /BASE0 HTTP/1.0\r\nUser-Agent: NTRIP x\r\n"
                                "Authorization: Basic " + secret + "\r\n\x1b[2J\r\n$GPGGA,1*00\r\n";
    // Every cut of the block into two receives.
    for (size_t cut = 0; cut <= request.size(); ++cut) {
        uint8_t match = 0;
        bool masking = false;
        std::string echo = maskedEcho(request.data(), uint32_t(cut), match, masking);
        echo += maskedEcho(request.data() + cut, uint32_t(request.size() - cut), match, masking);
        EXPECT_EQ(echo, "GET /BASE0 HTTP/1.0\r\nUser-Agent: NTRIP x\r\nAuthorization: *****\r\n"
                        ".[2J\r\n$GPGGA,1*00\r\n")
            << cut;
    }
    // Any spelling, leading blanks; a header of another name is shown.
    uint8_t match = 0;
    bool masking = false;
    const std::string other = "  authorization:Digest x\nX-Authorization: y\n";
    EXPECT_EQ(maskedEcho(other.data(), uint32_t(other.size()), match, masking),
              "  authorization: *****\nX-Authorization: y\n");
}

TEST_F(HostileLogin, RepeatedRequestOfALoggedInRoverShowsNoCredential)
{
    int ours, theirs;
    socketPair(ours, theirs);
    Client& c = client[2];
    c.clientSocket = ours;
    c.active = true;
    c.streamCode = 0;
    const std::string secret = basic("user:pa/ss");
    const std::string request = "GET /BASE0 HTTP/1.0\r\nAuthorization: Basic " + secret + "\r\n\r\n";
    consoleCaptureStart();
    handleRoverInput(2, request.data(), 30);
    handleRoverInput(2, request.data() + 30, uint32_t(request.size() - 30));
    std::string console = consoleCaptureStop();
    EXPECT_EQ(console.find(secret.substr(0, 6)), std::string::npos) << console;
    // The block came in two receives, cut inside the header's name.
    EXPECT_NE(console.find("Authoriza\n"), std::string::npos) << console;
    EXPECT_NE(console.find("\ntion: *****\r\n"), std::string::npos) << console;
    c.active = false;
}

class PendingLogins : public CasterTest {
protected:
    void TearDown() override
    {
        closePendingLogins();
        for (Socket* s : {&clientListenSocket, &baseListenSocket}) {
            closeSocket(*s);
            *s = invalidSocket;
        }
        clientListening = baseListening = false;
        for (Client& c : client) closeSocket(c.clientSocket);
        for (BaseStation& b : baseStation) closeSocket(b.socket);
        for (int fd : peers) close(fd);
        CasterTest::TearDown();
    }
    int listenOn(Socket& s, bool& listening)
    {
        EXPECT_EQ(createListenSocket(s, "0"), 0);
        listening = true;
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
    int connectPeer(int port)
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        peers.push_back(fd);
        return fd;
    }
    std::vector<int> peers;
};

TEST_F(PendingLogins, SilentConnectionsHoldUpNoLoginAndTimeOutOnTheirOwn)
{
    writeFile("base.txt", "pw /MP\r\n");
    writeFile("users.txt", "user:pw 100 2099 a b c d e f g\r\n");
    int roverPort = listenOn(clientListenSocket, clientListening);
    int basePort = listenOn(baseListenSocket, baseListening);
    consoleCaptureStart();
    for (int i = 0; i < 5; ++i) {
        connectPeer(basePort);
        connectPeer(roverPort);
    }
    for (int turn = 0; turn < 40 && pendingLoginCount() < 10; ++turn) serveListenSockets(10);
    EXPECT_EQ(pendingLoginCount(), 10);
    // The silent ones hold no slot: a base and a rover log in at once.
    auto start = std::chrono::steady_clock::now();
    int base = connectPeer(basePort);
    std::string text = "SOURCE pw /MP\r\nSTR: MP;I;RTCM 3\r\n\r\n";
    ASSERT_EQ(send(base, text.data(), text.size(), 0), ssize_t(text.size()));
    int rover = connectPeer(roverPort);
    text = "GET /MP0 HTTP/1.0\r\nAuthorization: Basic " + basic("user:pw") + "\r\n\r\n";
    ASSERT_EQ(send(rover, text.data(), text.size(), 0), ssize_t(text.size()));
    while ((!baseStation[0].connected || !client[0].active) &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(1))
        serveListenSockets(100);
    EXPECT_TRUE(baseStation[0].connected);
    EXPECT_TRUE(client[0].active);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));

    // Each silent connection is dropped after its own time: rovers after
    // 2 s, bases after 5 s, counted from their accept.
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(3000))
        serveListenSockets(100);
    EXPECT_EQ(pendingLoginCount(), 5);
    while (pendingLoginCount() > 0 &&
           std::chrono::steady_clock::now() - start < std::chrono::milliseconds(7000))
        serveListenSockets(100);
    EXPECT_EQ(pendingLoginCount(), 0);
    std::string console = consoleCaptureStop();
    EXPECT_EQ(countOccurrences(console, "checkClientListenSocket, select timeout\n"), 5);
    EXPECT_EQ(countOccurrences(console, "checkBaseListenSocket, select timeout\n"), 5);
}

TEST_F(PendingLogins, BeyondTheBoundTheLongestWaitingGivesWay)
{
    int roverPort = listenOn(clientListenSocket, clientListening);
    consoleCaptureStart();
    int first = connectPeer(roverPort);
    for (int turn = 0; turn < 20 && pendingLoginCount() < 1; ++turn) serveListenSockets(10);
    for (int i = 0; i < maxPendingLogins; ++i) connectPeer(roverPort);
    for (int turn = 0; turn < 4 * maxPendingLogins && peers.size() > 0; ++turn) {
        serveListenSockets(10);
        if (pendingLoginCount() == maxPendingLogins && waitReadable(first, 0) == 1) break;
    }
    EXPECT_EQ(pendingLoginCount(), maxPendingLogins);
    // The first one was closed to make room.
    char byte;
    EXPECT_EQ(waitReadable(first, 1000), 1);
    EXPECT_EQ(recv(first, &byte, 1, 0), 0);
    std::string console = consoleCaptureStop();
    EXPECT_EQ(countOccurrences(console, "too many logins waiting, closing the oldest connection\n"),
              1);
}

}   // namespace
