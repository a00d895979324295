// The listen thread's turn: it waits on its listen sockets and serves a
// connection as soon as one comes.

#include "caster/listen_socket.h"
#include "caster/listen_thread.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <thread>

#include "caster_fixture.h"
#include "caster/rover_login.h"
#include "core/base64.h"
#include "core/caster_settings.h"
#include "core/records.h"
#include "platform/console.h"

namespace {

class ListenTurn : public CasterTest {
protected:
    void TearDown() override
    {
        closeSocket(httpListenSocket);
        httpListenSocket = invalidSocket;
        httpListening = false;
        closeSocket(clientListenSocket);
        clientListenSocket = invalidSocket;
        clientListening = false;
        for (Client& c : client) {
            closeSocket(c.clientSocket);
            c.clientSocket = invalidSocket;
        }
        for (WebUser& w : webUser) {
            closeSocket(w.socket);
            w.socket = invalidSocket;
        }
        CasterTest::TearDown();
    }
};

TEST_F(ListenTurn, ConnectionEndsTheWaitAndIsServed)
{
    // The kernel picks the port; it is read back for the peer.
    ASSERT_EQ(createListenSocket(httpListenSocket, "0"), 0);
    httpListening = true;
    sockaddr_in a {};
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(httpListenSocket, reinterpret_cast<sockaddr*>(&a), &len), 0);
    EXPECT_FALSE(serveListenSockets(10));

    // A browser that connects during a long wait is taken into a slot at
    // once: the turn must not sit out a fixed sleep while a peer waits. The
    // bound is far above any scheduling delay and far below the time-out.
    int peer = socket(AF_INET, SOCK_STREAM, 0);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::thread connector([&] {
        usleep(50000);
        EXPECT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(serveListenSockets(30000));
    auto waited = std::chrono::steady_clock::now() - start;
    connector.join();
    EXPECT_LT(waited, std::chrono::seconds(15));
    EXPECT_TRUE(webUser[0].inUse);
    EXPECT_NE(webUser[0].socket, invalidSocket);
    close(peer);
}

TEST_F(ListenTurn, RoverSocketsSendEachFrameAtOnce)
{
    // A rover that sends GGA acknowledges late; with Nagle's rule the second
    // frame of every epoch would wait for that acknowledgement.
    writeFile("users.txt", "user:pw 100 2027 l f s t st z e\r\n");
    casterSettings.streamNearest = true;
    ASSERT_EQ(createListenSocket(clientListenSocket, "0"), 0);
    clientListening = true;
    sockaddr_in a {};
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(clientListenSocket, reinterpret_cast<sockaddr*>(&a), &len), 0);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int peer = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string credential = "user:pw";
    std::string request =
        "GET /RTCM31_NEAR HTTP/1.0\r\nAuthorization: Basic " +
        base64Encode(reinterpret_cast<const uint8_t*>(credential.data()), int(credential.size())) +
        "\r\n\r\n";
    ASSERT_EQ(write(peer, request.data(), request.size()), ssize_t(request.size()));

    consoleCaptureStart();
    // One turn accepts the rover, the next runs its login.
    for (int turn = 0; turn < 20 && !client[0].active; ++turn) serveListenSockets(100);
    consoleCaptureStop();
    ASSERT_TRUE(client[0].active);
    const int slot = 0;
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    ASSERT_EQ(getsockopt(client[slot].clientSocket, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_NE(noDelay, 0);
    close(peer);
}

}   // namespace
