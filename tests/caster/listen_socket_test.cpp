#include "caster/listen_socket.h"
#include "caster/time_query.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <thread>

#include "caster_fixture.h"
#include "platform/console.h"

namespace {

// A port nobody listens on at the moment.
int freePort(int type)
{
    int s = socket(AF_INET, type, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

TEST(ListenSocket, OpensAndRefusesAPortInUse)
{
    std::string port = std::to_string(freePort(SOCK_STREAM));
    Socket first = invalidSocket;
    ASSERT_EQ(createListenSocket(first, port.c_str()), 0);
    ASSERT_NE(first, invalidSocket);

    Socket second = 1234;
    consoleCaptureStart();
    EXPECT_EQ(createListenSocket(second, port.c_str()), 1);
    std::string console = consoleCaptureStop();
    EXPECT_EQ(second, invalidSocket);
    EXPECT_EQ(console.rfind("Server bind failed on listensocket ", 0), 0u);
    EXPECT_EQ(console.substr(console.size() - 3), ". \n");

    // Closed and opened again at once, though a connection was just served.
    int peer = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(std::stoi(port)));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    short revents = 0;
    ASSERT_EQ(pollSocket(first, POLLIN, 1000, revents), 1);
    int served = accept(first, nullptr, nullptr);
    ASSERT_GE(served, 0);
    close(served);   // our side closes first and keeps TIME_WAIT
    close(peer);
    closeSocket(first);
    ASSERT_EQ(createListenSocket(first, port.c_str()), 0);
    closeSocket(first);

    Socket untouched = 77;
    consoleCaptureStart();
    EXPECT_EQ(createListenSocket(untouched, "no-such-service"), 1);
    EXPECT_EQ(consoleCaptureStop().rfind(" getaddrinfo failed. ", 0), 0u);
    EXPECT_EQ(untouched, 77);
}

TEST(ListenSocket, LoginWaitEndsOnDataHangUpTimeOutOrShutdown)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::atomic<bool> run{true};
    EXPECT_EQ(waitForLogin(fds[0], 150, run), LoginWait::timeout);
    run = false;
    uint32_t start = clockMs();
    EXPECT_EQ(waitForLogin(fds[0], 5000, run), LoginWait::timeout);
    EXPECT_LT(clockDiff(clockMs(), start), 1000u);
    run = true;
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_EQ(waitForLogin(fds[0], 1000, run), LoginWait::readable);
    char c;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
    close(fds[1]);
    EXPECT_EQ(waitForLogin(fds[0], 1000, run), LoginWait::readable);
    close(fds[0]);
}

// A one-shot time server answering with the given number of bytes whose
// transmit seconds are E3 00 00 00 (a stratum-1 server's reply).
void serveTime(int s, int replyBytes)
{
    uint8_t request[64];
    sockaddr_in from {};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(s, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n != 48 || request[0] != 0x1B) return;
    uint8_t reply[48] = {};
    reply[0] = 0x1C;   // server mode, synchronised
    reply[1] = 1;      // stratum 1
    reply[40] = 0xE3;
    sendto(s, reply, size_t(replyBytes), 0, reinterpret_cast<sockaddr*>(&from), len);
}

TEST(TimeQuery, TransmitSecondsBecomeUnixTime)
{
    int server = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(server, reinterpret_cast<sockaddr*>(&a), &len);
    std::string port = std::to_string(ntohs(a.sin_port));

    std::thread t(serveTime, server, 48);
    uint32_t unixTime = 0;
    consoleCaptureStart();
    EXPECT_TRUE(queryTimeServer("127.0.0.1", port.c_str(), unixTime));
    t.join();
    EXPECT_EQ(consoleCaptureStop(), "waiting on time reply\n");
    // 3808428032 s after 1900 is 2020-09-07 00:00:32 UTC.
    EXPECT_EQ(unixTime, 1599439232u);

    // A reply too short to hold the transmit time is no time.
    std::thread t2(serveTime, server, 40);
    unixTime = 0;
    consoleCaptureStart();
    EXPECT_FALSE(queryTimeServer("127.0.0.1", port.c_str(), unixTime));
    t2.join();
    EXPECT_NE(consoleCaptureStop().find("short reply from time server, 40 bytes"),
              std::string::npos);
    EXPECT_EQ(unixTime, 0u);
    close(server);

    consoleCaptureStart();
    EXPECT_FALSE(queryTimeServer("127.0.0.1", "no-such-service", unixTime));
    EXPECT_EQ(consoleCaptureStop().rfind(
                  "Winsock getaddrinfo failed for outbound struct. NTP function ", 0),
              0u);
}

}   // namespace
