#pragma once
// Rovers without the network: a Client slot whose socket is one end of a
// local connection, the test holding the other end as the rover, and a
// master base whose kept messages the test stores directly.

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "core/base_station.h"
#include "core/checksum.h"
#include "core/records.h"
#include "platform/console.h"
#include "platform/net.h"

namespace rovertest {

struct SocketPair {
    Socket caster = invalidSocket;   // the slot's end, non-blocking
    Socket rover = invalidSocket;    // the test's end
};

// A connected AF_UNIX stream pair; a caster end with a small send buffer
// fills after a few frames.
inline SocketPair unixPair(int casterSendBuffer = 0)
{
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    if (casterSendBuffer > 0)
        setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &casterSendBuffer, sizeof casterSendBuffer);
    setNonBlocking(fds[0]);
    return {fds[0], fds[1]};
}

// A loopback TCP connection with small buffers and small segments, where a
// non-blocking send takes part of a frame once the buffers fill.
inline SocketPair tcpPair(int buffer = 4096)
{
    const int segment = 100;
    Socket listener = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(listener, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    EXPECT_EQ(listen(listener, 1), 0);
    Socket rover = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(rover, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    setsockopt(rover, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    EXPECT_EQ(connect(rover, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    Socket caster = accept(listener, nullptr, nullptr);
    close(listener);
    setsockopt(caster, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    setNonBlocking(caster);
    return {caster, rover};
}

inline void attachRover(int slot, Socket s, int streamCode, int masterBase)
{
    Client& c = client[slot];
    c.clientSocket = s;
    c.streamCode = streamCode;
    c.masterBase = masterBase;
    c.active = true;
}

inline void makeTrustedBase(int slot)
{
    baseStation[slot].connected = 1;
    baseStation[slot].trusted = 1;
}

// An RTCM 3 frame of message `number` with `payload` bytes (the first two
// carry the number, the rest `fill`) and a valid CRC.
inline std::vector<uint8_t> rtcmFrame(int number, int payload, uint8_t fill = 0x5A)
{
    std::vector<uint8_t> f(size_t(payload) + 6, fill);
    f[0] = 0xD3;
    f[1] = uint8_t((payload >> 8) & 0x03);
    f[2] = uint8_t(payload & 0xFF);
    f[3] = uint8_t(number >> 4);
    f[4] = uint8_t(((number & 0x0F) << 4) | (fill & 0x0F));
    appendCrc24q(f.data(), size_t(payload) + 3);
    return f;
}

// Keeps a frame in the base as the base data thread does.
inline void keep(int base, int kind, const std::vector<uint8_t>& frame, uint32_t stamp)
{
    ASSERT_TRUE(storeKeptMessage(baseStation[base], kind, frame.data(), uint32_t(frame.size()),
                                 stamp, true));
}

// Everything the rover end can read now.
inline std::vector<uint8_t> drain(Socket s)
{
    std::vector<uint8_t> out;
    uint8_t buf[8192];
    while (true) {
        ssize_t n = recv(s, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

// The message numbers of a stream of whole RTCM 3 frames; a broken or cut
// frame fails the test.
inline std::vector<int> rtcmNumbers(const std::vector<uint8_t>& bytes)
{
    std::vector<int> numbers;
    size_t p = 0;
    while (p < bytes.size()) {
        if (bytes[p] != 0xD3 || p + 6 > bytes.size()) {
            ADD_FAILURE() << "no whole frame at byte " << p;
            break;
        }
        size_t length = ((size_t(bytes[p + 1]) & 0x03) << 8 | bytes[p + 2]) + 6;
        if (p + length > bytes.size() || !checkCrc24q(bytes.data() + p, length)) {
            ADD_FAILURE() << "broken frame at byte " << p;
            break;
        }
        numbers.push_back(int(bytes[p + 3]) << 4 | bytes[p + 4] >> 4);
        p += length;
    }
    return numbers;
}

// Frees every slot (closing the caster ends) and silences the console.
class RoverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        initGlobals();
        consoleCaptureStart();
    }
    void TearDown() override
    {
        for (Client& c : client)
            if (c.active) closeClient(c);
        for (Socket s : roverEnds_) close(s);
        consoleCaptureStop();
    }
    SocketPair pair(bool tcp = false, int buffer = 0)
    {
        SocketPair p = tcp ? tcpPair(buffer > 0 ? buffer : 4096) : unixPair(buffer);
        roverEnds_.push_back(p.rover);
        return p;
    }
    // The console text written since the last call.
    static std::string takeConsole()
    {
        std::string text = consoleCaptureStop();
        consoleCaptureStart();
        return text;
    }
    // Closes a rover end early (the rover hangs up).
    void hangUp(Socket s)
    {
        for (auto& r : roverEnds_)
            if (r == s) r = invalidSocket;
        close(s);
    }
private:
    std::vector<Socket> roverEnds_;
};

}   // namespace rovertest
