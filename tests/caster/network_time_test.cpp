// The network time query against SNTP responders on loopback: which
// replies count as a time, the order the servers are asked in, and the
// epoch values stored from the answer.

#include "caster/network_time.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <thread>
#include <vector>

#include "caster_fixture.h"
#include "core/gnss_time.h"
#include "platform/console.h"

namespace {

// A UDP responder on a loopback address of its own (127.0.0.x), all on one
// port, answering one request with `reply`.
struct Responder {
    int fd = -1;
    std::string address;
    std::vector<uint8_t> reply;
    std::thread thread;
    bool asked = false;

    bool open(const std::string& addr, int& port)
    {
        address = addr;
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        return true;
    }
    void serve()
    {
        thread = std::thread([this] {
            pollfd p {fd, POLLIN, 0};
            if (poll(&p, 1, 3000) <= 0) return;
            uint8_t request[64];
            sockaddr_in from {};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(fd, request, sizeof request, 0,
                                 reinterpret_cast<sockaddr*>(&from), &len);
            if (n != 48 || request[0] != 0x1B) return;
            asked = true;
            sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        });
    }
    ~Responder()
    {
        if (thread.joinable()) thread.join();
        if (fd >= 0) close(fd);
    }
};

// A reply of a synchronised stratum-2 server (version 4, server mode)
// carrying Unix time t.
std::vector<uint8_t> goodReply(uint32_t unixTime)
{
    std::vector<uint8_t> r(48, 0);
    r[0] = 0x24;
    r[1] = 2;
    uint32_t ntp = unixTime + 2208988800u;
    for (int i = 0; i < 4; ++i) r[40 + i] = uint8_t(ntp >> (24 - 8 * i));
    r[44] = 0x80;   // half a second: the fraction plays no part
    return r;
}

class NetworkTime : public CasterTest {
protected:
    void SetUp() override
    {
        CasterTest::SetUp();
        initEpochValues();
    }
};

TEST_F(NetworkTime, BadRepliesAreRefusedAndTheNextServerAnswers)
{
    // 2026-12-07 09:30:15 UTC, a Monday: with GPS time 17 s ahead, GPS week
    // 2448 (1980-01-06 + 2448 weeks is 2026-12-06), day 1, second 120632.
    const uint32_t t = 1796635815;
    std::vector<std::vector<uint8_t>> replies;
    auto bad = [&](auto change) {
        auto r = goodReply(t);
        change(r);
        replies.push_back(r);
    };
    bad([](auto& r) { r.resize(47); });                       // short
    bad([](auto& r) { r[0] = 0x23; });                        // client mode
    bad([](auto& r) { r[1] = 0; });                           // stratum 0 (kiss of death)
    bad([](auto& r) { r[1] = 16; });                          // unsynchronised stratum
    bad([](auto& r) { r[0] = 0xE4; });                        // leap indicator 3
    bad([](auto& r) { for (int i = 40; i < 48; ++i) r[i] = 0; });   // no transmit time
    replies.push_back(goodReply(t));
    replies.back()[0] = 0x25;   // broadcast mode is a time too
    replies.push_back(goodReply(t + 1000));   // never asked

    std::vector<std::unique_ptr<Responder>> servers;
    std::vector<const char*> list;
    int port = 0;
    for (size_t i = 0; i < replies.size(); ++i) {
        servers.push_back(std::make_unique<Responder>());
        ASSERT_TRUE(servers.back()->open("127.0.0." + std::to_string(i + 2), port));
        servers.back()->reply = replies[i];
        if (i + 1 < replies.size()) servers.back()->serve();
    }
    for (auto& s : servers) list.push_back(s->address.c_str());
    std::string portText = std::to_string(port);

    consoleCaptureStart();
    EXPECT_TRUE(getNetworkTime(list.data(), int(list.size()), portText.c_str()));
    std::string log = consoleCaptureStop();
    for (size_t i = 0; i + 1 < servers.size(); ++i) {
        EXPECT_TRUE(servers[i]->asked) << i;
        EXPECT_NE(log.find("           trying server at " + servers[i]->address + "\n"),
                  std::string::npos);
    }
    EXPECT_EQ(log.find("trying server at " + servers.back()->address), std::string::npos);
    EXPECT_NE(log.find("short reply from time server, 47 bytes"), std::string::npos);
    EXPECT_EQ(log.find("tried all time servers"), std::string::npos);

    EXPECT_EQ(currentGpsWeek.load(), 2448);
    EXPECT_EQ(currentMjd.load(), 61381u);
    EXPECT_EQ(currentGpsDayOfWeek.load(), 1u);
    EXPECT_EQ(currentGpsTowMs.load(), 120632000u);
}

TEST_F(NetworkTime, NobodyAnswersAndTheDayTurnsAtMidnight)
{
    // Every server refuses (nothing listens): nothing is stored.
    int port = 0;
    Responder probe;
    ASSERT_TRUE(probe.open("127.0.0.1", port));
    close(probe.fd);
    probe.fd = -1;
    const char* none[2] = {"127.0.0.1", "127.0.0.1"};
    std::string portText = std::to_string(port);
    consoleCaptureStart();
    EXPECT_FALSE(getNetworkTime(none, 2, portText.c_str()));
    std::string log = consoleCaptureStop();
    EXPECT_NE(log.find("tried all time servers\n"), std::string::npos) << log;
    EXPECT_EQ(currentMjd.load(), 0u);

    // 2026-12-07 00:00:00 UTC is MJD 61381; one second earlier is 61380.
    // The MJD follows UTC; GPS time, 17 s ahead, is in Monday already.
    storeNetworkTime(1796601600u - 1);
    EXPECT_EQ(currentMjd.load(), 61380u);
    EXPECT_EQ(currentGpsTowMs.load(), (86400u + 16u) * 1000u);
    EXPECT_EQ(currentGpsDayOfWeek.load(), 1u);
    storeNetworkTime(1796601600u);
    EXPECT_EQ(currentMjd.load(), 61381u);
    EXPECT_EQ(currentGpsTowMs.load(), (86400u + 17u) * 1000u);
    EXPECT_EQ(currentGpsWeek.load(), 2448);

    // The built-in list: sixteen addresses, the thirteenth again last.
    EXPECT_EQ(std::string(timeServers[12]), timeServers[15]);
    for (int i = 0; i < 15; ++i)
        for (int j = i + 1; j < 15; ++j) EXPECT_STRNE(timeServers[i], timeServers[j]);
    EXPECT_STREQ(timeServerPort, "123");
}

}   // namespace

namespace {

TEST_F(NetworkTime, LoopAsksAtOnceAndStopsWithinAStep)
{
    Responder server;
    int port = 0;
    ASSERT_TRUE(server.open("127.0.0.1", port));
    server.reply = goodReply(1796635815);
    server.serve();
    const char* list[1] = {"127.0.0.1"};
    std::string portText = std::to_string(port);
    consoleCaptureStart();
    std::thread loop(timeQueryLoop, list, 1, portText.c_str());
    for (int i = 0; i < 300 && currentMjd.load() == 0; ++i) usleep(10000);
    usleep(200000);
    auto start = std::chrono::steady_clock::now();
    dataThreadsRun = false;
    loop.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    std::string log = consoleCaptureStop();
    EXPECT_EQ(currentMjd.load(), 61381u);
    EXPECT_EQ(log, "waiting on time reply\n           trying server at 127.0.0.1\n");
}

}   // namespace
