// Outgoing TCP bases: tcpbase.txt into the table, one outgoing connection,
// and the connect turn that puts listed bases into free base slots.

#include "caster/tcp_base_connect.h"
#include "caster/tcp_base_file.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <thread>

#include "caster_fixture.h"
#include "core/base_station.h"
#include "core/caster_settings.h"
#include "platform/console.h"

namespace {

int countOccurrences(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// A loopback listen socket on a port the kernel picks.
int listenOnLoopback(int& port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 8) != 0) return -1;
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return s;
}

// A loopback port on which nobody listens.
int closedPort()
{
    int port = 0;
    int s = listenOnLoopback(port);
    close(s);
    return port;
}

class TcpBases : public CasterTest {
protected:
    void TearDown() override
    {
        for (BaseStation& b : baseStation) resetBaseStation(b);
        CasterTest::TearDown();
    }
};

TEST_F(TcpBases, FileFillsAtMostTenEntriesUpToAnEmptyLine)
{
    std::string lines;
    for (int i = 0; i < 12; ++i)
        lines += "M" + std::to_string(i) + " 10.0.0." + std::to_string(i) +
                 " 2101 City Net CAN GPS+GLO\r\n";
    writeFile("tcpbase.txt", lines);
    consoleCaptureStart();
    EXPECT_TRUE(readTcpBaseFile());
    EXPECT_EQ(consoleCaptureStop(), "reading TCPbasefile.txt\n");
    EXPECT_EQ(tcpBaseCount, 10);
    EXPECT_EQ(tcpBase[9].mountpoint, "M9");
    EXPECT_EQ(tcpBase[9].ipAddress, "10.0.0.9");
    EXPECT_EQ(tcpBase[9].gnss, "GPS+GLO");

    // A second read forgets marks and times; a short line leaves the fields
    // it lacks as they were; an empty line ends the table.
    tcpBase[0].online = true;
    tcpBase[0].lastConnectTime = 5;
    writeFile("tcpbase.txt", "A 1.2.3.4 99\n\nB 5.6.7.8 1 x y z w\n");
    EXPECT_TRUE(readTcpBaseFile());
    EXPECT_EQ(tcpBaseCount, 1);
    EXPECT_FALSE(tcpBase[0].online);
    EXPECT_EQ(tcpBase[0].lastConnectTime, 0);
    EXPECT_EQ(tcpBase[0].port, "99");
    EXPECT_EQ(tcpBase[0].location, "City");
    EXPECT_EQ(tcpBase[1].mountpoint, "");

    // An entry held elsewhere: the table stays as it is until it is free.
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        waitMutex(tcpBase[3].mutex, 0);
        held = true;
        while (!release) usleep(1000);
        releaseMutex(tcpBase[3].mutex);
    });
    while (!held) usleep(1000);
    writeFile("tcpbase.txt", "");
    consoleCaptureStart();
    EXPECT_EQ(loadTcpBaseFile(), TcpBaseFileRead::tableBusy);
    consoleCaptureStop();
    EXPECT_EQ(tcpBaseCount, 1);
    EXPECT_EQ(tcpBase[0].ipAddress, "1.2.3.4");
    release = true;
    holder.join();
    EXPECT_EQ(loadTcpBaseFile(), TcpBaseFileRead::done);
    EXPECT_EQ(tcpBaseCount, 0);

    std::remove("tcpbase.txt");
    consoleCaptureStart();
    EXPECT_FALSE(readTcpBaseFile());
    EXPECT_EQ(consoleCaptureStop(), "reading TCPbasefile.txt\nfailed opening user file\n");
}

TEST_F(TcpBases, ConnectStandsOnlyWhenTheConnectionDoes)
{
    int port = 0;
    int server = listenOnLoopback(port);
    ASSERT_GE(server, 0);
    Socket s = invalidSocket;
    consoleCaptureStart();
    EXPECT_TRUE(connectToServer(s, "127.0.0.1", std::to_string(port)));
    std::string log = consoleCaptureStop();
    EXPECT_TRUE(log == "socket opened to server instantly\n" ||
                log == "socket opened to server, after wait\n")
        << log;
    EXPECT_NE(s, invalidSocket);
    int peer = accept(server, nullptr, nullptr);
    EXPECT_EQ(send(peer, "x", 1, 0), 1);
    char c = 0;
    usleep(20000);
    EXPECT_EQ(recv(s, &c, 1, 0), 1);

    // A socket left in the field is closed first.
    int refused = closedPort();
    consoleCaptureStart();
    EXPECT_FALSE(connectToServer(s, "127.0.0.1", std::to_string(refused)));
    EXPECT_EQ(consoleCaptureStop(), "debug socket was not invalid, closing now\n"
                                    "no server program at requested address 127.0.0.1\n");
    EXPECT_EQ(s, invalidSocket);
    EXPECT_TRUE(peerClosed(peer));
    close(peer);
    close(server);

    consoleCaptureStart();
    EXPECT_FALSE(connectToServer(s, "127.0.0.1", "no-such-service"));
    EXPECT_EQ(consoleCaptureStop().rfind("Winsock getaddrinfo failed for outbound struct. ", 0),
              0u);
    EXPECT_EQ(s, invalidSocket);
}

TEST_F(TcpBases, TurnConnectsListedBasesIntoFreeSlotsAndRetriesRefusals)
{
    int port = 0;
    int server = listenOnLoopback(port);
    int refused = closedPort();
    writeFile("tcpbase.txt", "TCPB 127.0.0.1 " + std::to_string(port) +
                                 " Ottawa NetX CAN GPS+GLO\r\nGONE 127.0.0.1 " +
                                 std::to_string(refused) + " a b c d\r\nONE 1 2101 a b c d\r\n");
    ASSERT_TRUE(readTcpBaseFile());
    tcpBaseConnectEnabled = true;
    time_t t0 = pinnedTime;
    time_t lastCheck = 0;
    // Someone else's base in slot 0: the TCP base goes into slot 1.
    baseStation[0].connected = 1;
    baseStation[0].mountpoint = "OTHER";

    // Switched off: nothing is tried.
    casterSettings.useTcpBases = false;
    consoleCaptureStart();
    tcpBaseConnectTurn(t0, lastCheck);
    EXPECT_EQ(consoleCaptureStop(), "");
    EXPECT_EQ(lastCheck, t0);

    casterSettings.useTcpBases = true;
    consoleCaptureStart();
    tcpBaseConnectTurn(t0, lastCheck);
    std::string log = consoleCaptureStop();
    EXPECT_NE(log.find("TCPbase thread SUCCESS connecting to outside IP address\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("no server program at requested address 127.0.0.1\n"
                       "TCPbase thread FAILED to connect to outside IP address 127.0.0.1   port " +
                       std::to_string(refused) + "\n"),
              std::string::npos)
        << log;
    // The one-character address is never tried.
    EXPECT_EQ(countOccurrences(log, "127.0.0.1"), 2) << log;
    BaseStation& b = baseStation[1];
    EXPECT_TRUE(b.connected);
    EXPECT_EQ(b.mountpoint, "TCPB");
    EXPECT_EQ(b.identifier, "Ottawa");
    EXPECT_EQ(b.network, "NetX");
    EXPECT_EQ(b.country, "CAN");
    EXPECT_EQ(b.navSystem, "GPS+GLO");
    EXPECT_EQ(b.carrier, 2);
    EXPECT_EQ(b.connectTime, t0);
    EXPECT_EQ(b.lastDataTime, t0);
    EXPECT_FALSE(b.trusted);
    EXPECT_TRUE(tcpBase[0].online);
    EXPECT_FALSE(tcpBase[1].online);
    EXPECT_EQ(tcpBase[1].lastConnectTime, int32_t(t0));
    EXPECT_FALSE(baseStation[2].connected) << "a refused connect is no base";
    EXPECT_EQ(baseStation[2].socket, invalidSocket);
    int peer = accept(server, nullptr, nullptr);
    EXPECT_GE(peer, 0);

    // The refused entry again only after more than 4 s; the connected one
    // not at all while it is on line.
    consoleCaptureStart();
    tcpBaseConnectTurn(t0 + 4, lastCheck);
    EXPECT_EQ(consoleCaptureStop(), "");
    consoleCaptureStart();
    tcpBaseConnectTurn(t0 + 5, lastCheck);
    log = consoleCaptureStop();
    EXPECT_EQ(countOccurrences(log, "no server program at requested address 127.0.0.1"), 1);
    EXPECT_EQ(countOccurrences(log, "SUCCESS"), 0);

    // The base data thread closes the slot; the on-line check (more than
    // 19 s after the last) clears the mark and the base is connected again.
    resetBaseStation(b);
    close(peer);
    consoleCaptureStart();
    tcpBaseConnectTurn(t0 + 19, lastCheck);
    EXPECT_EQ(countOccurrences(consoleCaptureStop(), "SUCCESS"), 0);
    EXPECT_TRUE(tcpBase[0].online);
    consoleCaptureStart();
    tcpBaseConnectTurn(t0 + 21, lastCheck);
    EXPECT_EQ(countOccurrences(consoleCaptureStop(), "SUCCESS"), 1);
    EXPECT_TRUE(b.connected);
    peer = accept(server, nullptr, nullptr);
    close(peer);

    // All slots taken: no attempt, nothing logged.
    for (BaseStation& x : baseStation) x.connected = 1;
    tcpBase[0].online = false;
    consoleCaptureStart();
    tcpBaseConnectTurn(t0 + 40, lastCheck);
    tcpBaseConnectTurn(t0 + 50, lastCheck);
    EXPECT_EQ(consoleCaptureStop(), "");
    close(server);
}

TEST_F(TcpBases, ThreadStopsWithinOneTurnAndClearsTheTable)
{
    writeFile("tcpbase.txt", "A 1.2.3.4 2101\r\n");
    std::thread t(tcpBaseConnectThread);
    while (tcpBaseCount == 0) usleep(1000);
    auto start = std::chrono::steady_clock::now();
    tcpBaseThreadRun = false;
    t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(tcpBaseCount, 0);
    EXPECT_EQ(tcpBase[0].ipAddress, "");
}

}   // namespace

namespace {

TEST_F(TcpBases, AMountpointThatLoggedInMeanwhileIsNotConnectedTwice)
{
    int port = 0;
    int server = listenOnLoopback(port);
    writeFile("tcpbase.txt", "TCPB 127.0.0.1 " + std::to_string(port) + " a b c d\r\n");
    ASSERT_TRUE(readTcpBaseFile());
    tcpBaseConnectEnabled = true;
    casterSettings.useTcpBases = true;
    // The base logged in on the base port after the last look at the
    // on-line marks, so the entry still counts as off-line.
    baseStation[0].connected = 1;
    baseStation[0].mountpoint = "TCPB";
    time_t lastCheck = pinnedTime;
    consoleCaptureStart();
    tcpBaseConnectTurn(pinnedTime, lastCheck);
    std::string log = consoleCaptureStop();
    EXPECT_NE(log.find("TCPbase thread mountpoint TCPB already connected, closing\n"),
              std::string::npos)
        << log;
    int connected = 0;
    for (const BaseStation& b : baseStation) connected += b.connected;
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(baseStation[1].socket, invalidSocket);
    close(server);
}

}   // namespace
