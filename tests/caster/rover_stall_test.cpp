// A rover that stops reading is closed once nothing of what waits for it
// has been acknowledged for 30 s, long before a send would fail; one that
// reads seldom, or has read everything and is sent nothing, keeps its
// stream. Real loopback TCP, the rover with the smallest receive buffer (a
// GNSS receiver's TCP stack offers a few kB); the pass clock is stepped one
// second per round.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "caster/rover_stall.h"
#include "caster_fixture.h"
#include "platform/console.h"
#include "platform/net.h"

namespace {

struct TcpLink {
    Socket caster = invalidSocket;
    Socket rover = invalidSocket;
};

TcpLink connectLoopback()
{
    Socket listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    EXPECT_EQ(listen(listener, 1), 0);
    TcpLink link;
    link.rover = socket(AF_INET, SOCK_STREAM, 0);
    int smallest = 1;
    setsockopt(link.rover, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
    EXPECT_EQ(connect(link.rover, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    link.caster = accept(listener, nullptr, nullptr);
    close(listener);
    setNonBlocking(link.caster);
    return link;
}

void readAll(Socket s)
{
    char buffer[65536];
    while (recv(s, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {}
}

class RoverStall : public CasterTest {
protected:
    // Rounds of one second: `bytes` sent (0: nothing), the rover reading
    // everything on the rounds `reads` says, then the check. The round in
    // which the rover was closed, or -1.
    int run(TcpLink link, int rounds, int bytes, bool (*reads)(int round))
    {
        Client& c = client[5];
        c.clientSocket = link.caster;
        c.active = true;
        std::string frame(size_t(bytes), 'x');
        int closedAt = -1;
        consoleCaptureStart();
        for (int round = 1; round <= rounds && closedAt < 0; ++round) {
            if (bytes > 0) socketSend(link.caster, frame.data(), frame.size());
            // Time for the rover's acknowledgement, delayed ones included.
            usleep(50000);
            if (reads(round)) readAll(link.rover);
            if (!checkRoverTakesData(5, uint32_t(round) * 1000)) closedAt = round;
        }
        console = consoleCaptureStop();
        if (closedAt < 0) closeClient(c);
        close(link.rover);
        return closedAt;
    }
    std::string console;
};

TEST_F(RoverStall, StoppedReaderIsClosedAfter30sSlowReaderIsNot)
{
    // 2 kB a second: our send buffer alone holds minutes of it.
    int closedAt = run(connectLoopback(), 45, 2000, [](int round) { return round < 5; });
    // It last read in round 4.
    EXPECT_GE(closedAt, 4 + 30);
    EXPECT_LE(closedAt, 4 + 34);
    EXPECT_NE(console.find("client has taken no data for 30 s, closing connection\n"),
              std::string::npos);
    EXPECT_FALSE(client[5].active);

    // One read every 5 s keeps the stream, as does reading everything and
    // then being sent nothing for a minute.
    EXPECT_EQ(run(connectLoopback(), 45, 2000, [](int round) { return round % 5 == 0; }), -1);
    TcpLink idle = connectLoopback();
    socketSend(idle.caster, std::string(3000, 'y').data(), 3000);
    usleep(50000);
    readAll(idle.rover);
    EXPECT_EQ(run(idle, 65, 0, [](int) { return false; }), -1);
    EXPECT_EQ(console, "");
}

}   // namespace
