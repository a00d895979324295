// A base slot outlives the base in it: after a reset another base may log
// into the same slot. No rover that named the first base may be fed the
// second.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sstream>

#include "caster/base_login.h"
#include "caster/listen_socket.h"
#include "caster/listen_thread.h"
#include "caster/rover_login.h"
#include "caster/rover_thread.h"
#include "caster_fixture.h"
#include "core/base_station.h"
#include "rover_test_support.h"

using namespace rovertest;

namespace {

class SlotReuse : public RoverTest {};

}   // namespace

TEST_F(SlotReuse, SingleBaseRoverIsNeverServedByTheNextBaseOfTheSlot)
{
    const int base = 2;
    makeTrustedBase(base);
    baseStation[base].connectionSerial = 7;
    SocketPair named = pair(), nearest = pair();
    attachRover(0, named.caster, 0, base);   // "/MOUNT0"
    client[0].masterConnectionSerial = 7;
    attachRover(1, nearest.caster, 10, base);   // RTCM31_NEAR, chosen by position

    keep(base, kind1004, rtcmFrame(1004, 40), 100);
    roverSendPass(100);
    EXPECT_EQ(rtcmNumbers(drain(named.rover)), std::vector<int>{1004});
    EXPECT_EQ(rtcmNumbers(drain(nearest.rover)), std::vector<int>{1004});

    // The base leaves and another one logs into the slot and is trusted.
    resetBaseStation(baseStation[base]);
    makeTrustedBase(base);
    baseStation[base].connectionSerial = 8;
    keep(base, kind1004, rtcmFrame(1004, 50), 200);
    takeConsole();
    roverSendPass(200);

    EXPECT_FALSE(client[0].active);
    EXPECT_EQ(client[0].masterBase, -1);
    EXPECT_TRUE(drain(named.rover).empty());
    EXPECT_NE(takeConsole().find("base of client disconnected, closing connection"),
              std::string::npos);
    // A nearest-base rover follows whatever base its position picks.
    EXPECT_TRUE(client[1].active);
    EXPECT_EQ(rtcmNumbers(drain(nearest.rover)), std::vector<int>{1004});
}

TEST_F(SlotReuse, RoverOfABaseThatLeftIsClosedAtOnce)
{
    const int base = 4;
    makeTrustedBase(base);
    SocketPair p = pair();
    attachRover(3, p.caster, 2, base);
    roverSendPass(10);
    EXPECT_TRUE(client[3].active);

    // Nothing would ever be sent to it again: a rover that vanished without
    // a word would hold its slot for good.
    resetBaseStation(baseStation[base]);
    roverSendPass(20);
    EXPECT_FALSE(client[3].active);
}

namespace {

class SlotReuseLogin : public CasterTest {};

}   // namespace

TEST_F(SlotReuseLogin, EachBaseLoginCountsAndTheRoverTakesTheCount)
{
    writeFile("base.txt", "pw /MP\r\n");
    writeFile("users.txt", "user:pw 100 2099 l f s t st z e\r\n");
    consoleCaptureStart();
    ASSERT_EQ(createListenSocket(baseListenSocket, "0"), 0);
    baseListening = true;
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(baseListenSocket, reinterpret_cast<sockaddr*>(&addr), &len);

    auto loginBase = [&] {
        Socket peer = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        const std::string text = "SOURCE pw /MP\r\nSTR: MP;I;RTCM 3\r\n\r\n";
        EXPECT_EQ(send(peer, text.data(), text.size(), 0), ssize_t(text.size()));
        // One turn accepts the base, the next runs its login.
        for (int turn = 0; turn < 20 && !baseStation[0].connected; ++turn) serveListenSockets(100);
        EXPECT_TRUE(baseStation[0].connected);
        return peer;
    };
    Socket first = loginBase();
    EXPECT_EQ(baseStation[0].connectionSerial, 1u);

    int ours, theirs;
    socketPair(ours, theirs);
    client[0].clientSocket = ours;
    std::istringstream request("GET /MP0 HTTP/1.0\r\nAuthorization: Basic dXNlcjpwdw==\r\n\r\n");
    ASSERT_TRUE(checkClientRequest(0, request));
    EXPECT_EQ(client[0].masterBase, 0);
    EXPECT_EQ(client[0].masterConnectionSerial, 1u);

    // The same mountpoint again after a reset is another connection.
    resetBaseStation(baseStation[0]);
    Socket second = loginBase();
    EXPECT_EQ(baseStation[0].connectionSerial, 2u);

    resetBaseStation(baseStation[0]);
    closeSocket(baseListenSocket);
    baseListenSocket = invalidSocket;
    close(first);
    close(second);
    consoleCaptureStop();
}
