// Upkeep of the bases: trust, silence, the ten-second builds, the magnetic
// field; and the base data thread over real sockets.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "caster/base_data_thread.h"
#include "caster/base_upkeep.h"
#include "caster/transcoding.h"
#include "core/base_station.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "geomag/geomag.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/net.h"
#include "support/test_support.h"

namespace {

constexpr time_t t0 = 1700000000;   // 14 Nov 2023

class BaseUpkeep : public ::testing::Test {
protected:
    void SetUp() override
    {
        initGlobals();
        setWallTimeOverride(t0);
        consoleCaptureStart();
    }
    void TearDown() override
    {
        consoleCaptureStop();
        setWallTimeOverride(0);
        for (int fd : peers) close(fd);
        for (BaseStation& b : baseStation) closeSocket(b.socket);
        initGlobals();
    }

    // Base slot `i` connected over a socket pair; returns the far end.
    int connectBase(int i, const std::string& mountpoint, time_t at = t0)
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        setNonBlocking(sv[0]);
        BaseStation& b = baseStation[i];
        b.socket = sv[0];
        b.mountpoint = mountpoint;
        b.connectTime = b.lastDataTime = at;
        b.connected = 1;
        peers.push_back(sv[1]);
        return sv[1];
    }

    std::vector<int> peers;
};

template <typename Pred>
bool waitFor(Pred pred, int ms = 3000)
{
    for (int waited = 0; waited < ms; waited += 10) {
        if (pred()) return true;
        sleepMs(10);
    }
    return pred();
}

}   // namespace

TEST_F(BaseUpkeep, TrustAfterAMinuteOfData)
{
    connectBase(2, "TRUSTME");
    BaseStation& b = baseStation[2];
    sourceTableCurrent = true;

    b.lastDataTime = t0 + 60;   // exactly a minute is not yet enough
    runSilenceTrustPass(t0 + 60, 100000);
    EXPECT_EQ(b.trusted, 0);
    EXPECT_TRUE(sourceTableCurrent);

    b.lastDataTime = t0 + 61;
    runSilenceTrustPass(t0 + 61, 101000);
    EXPECT_EQ(b.trusted, 1);
    EXPECT_FALSE(sourceTableCurrent);
    sourceTableCurrent = true;
    runSilenceTrustPass(t0 + 62, 102000);   // trusted once, logged once
    EXPECT_TRUE(sourceTableCurrent);
    EXPECT_EQ(consoleCaptureStop(), "baseID TRUSTME is now trusted\n");
}

TEST_F(BaseUpkeep, SilentBaseClosed)
{
    int far = connectBase(1, "QUIET");
    BaseStation& b = baseStation[1];
    sourceTableCurrent = true;
    runSilenceTrustPass(t0 + 14, 100000);
    EXPECT_EQ(b.connected, 1);
    // The difference counts either way: a clock set back closes too.
    runSilenceTrustPass(t0 - 15, 100000);
    EXPECT_EQ(b.connected, 0);
    EXPECT_EQ(b.socket, invalidSocket);
    EXPECT_FALSE(sourceTableCurrent);
    std::string out = consoleCaptureStop();
    EXPECT_EQ(out, formatLocalTime("%d/%b/%Y:%X GMT\r\n", t0) +
                       " no data activity from basestation QUIET\n");
    char c;
    EXPECT_EQ(read(far, &c, 1), 0);   // the caster's end is closed
}

TEST_F(BaseUpkeep, TenSecondPassBuildsDescriptorsAndDayNumber)
{
    connectBase(0, "A");
    connectBase(1, "B");
    const uint32_t now = 100000;
    // Base 1 sent a 1033 8 s ago and a 1013 just now.
    baseStation[1].msg[kind1033].msgRxTime = now - 8000;
    baseStation[1].msg[kind1013].msgRxTime = now - 1000;
    // GPS week 2288, Tuesday 12:00 -> MJD 44244 + 7 * 2288 + 2 = 60262.
    setGpsWeek(2288);
    setGpsTow((2 * 86400 + 43200) * 1000u);
    setMjd(60000);

    runPeriodicPass(t0, now);
    EXPECT_EQ(currentMjd, 60262u);
    EXPECT_EQ(consoleCaptureStop(), "building 1008\n");
    EXPECT_EQ(baseStation[0].msg[kind1008].msgNative, 0);
    EXPECT_EQ(baseStation[0].msg[kind1008].msgStamp, now);
    EXPECT_GT(baseStation[0].msg[kind1008].msgLength, 0u);
    EXPECT_EQ(baseStation[0].msg[kind1013].msgStamp, now);
    EXPECT_EQ(baseStation[1].msg[kind1008].msgLength, 0u);
    EXPECT_EQ(baseStation[1].msg[kind1013].msgLength, 0u);
    // 1013 is rebuilt from 15 s on; 1008 only after more than 15 s.
    baseStation[1].msg[kind1013].msgRxTime = now - 15000;
    baseStation[1].msg[kind1033].msgRxTime = now - 15000;
    consoleCaptureStart();
    runPeriodicPass(t0, now);
    EXPECT_EQ(baseStation[1].msg[kind1013].msgStamp, now);
    EXPECT_EQ(baseStation[1].msg[kind1008].msgLength, 0u);

    // Without a decoded GPS time the day number stays.
    initEpochValues();
    setMjd(60100);
    runPeriodicPass(t0, now);
    EXPECT_EQ(currentMjd, 60100u);
}

TEST_F(BaseUpkeep, MagneticFieldOncePerDayAndFailuresRetriedAfterAMinute)
{
    namespace fs = std::filesystem;
    fs::path home = fs::current_path();
    fs::path dir = makeTempDir();
    fs::current_path(dir);
    BaseStation& b = baseStation[0];
    b.strLatitude = 48.1;
    b.strLongitude = 11.6;

    // No coefficient file: 0 is stored, and the next tries within a minute
    // do not read for the file again.
    checkMagneticField(0, 100000);
    EXPECT_EQ(b.magFieldNt, 0.0);
    EXPECT_EQ(b.magFieldDate, getDateString());
    fs::copy_file(dataPath("WMM.COF"), dir / "WMM.COF");
    checkMagneticField(0, 159999);
    EXPECT_EQ(b.magFieldNt, 0.0);
    checkMagneticField(0, 160000);
    // The field 350 km above the base.
    EXPECT_DOUBLE_EQ(b.magFieldNt, calcMagneticFieldAt("WMM.COF", 48.1, 11.6, 350.0,
                                                       currentDecimalYear()));
    EXPECT_GT(b.magFieldNt, 35000.0);
    EXPECT_LT(b.magFieldNt, 48000.0);

    // Computed once a day: without the file the value stays all day...
    fs::remove(dir / "WMM.COF");
    double field = b.magFieldNt;
    checkMagneticField(0, 500000);
    EXPECT_EQ(b.magFieldNt, field);
    // ...and the next day's try fails at once, whatever the last failure.
    setWallTimeOverride(t0 + 86400);
    checkMagneticField(0, 500001);
    EXPECT_EQ(b.magFieldNt, 0.0);

    // A base without a position gets no field; a reset slot computes anew.
    fs::copy_file(dataPath("WMM.COF"), dir / "WMM.COF");
    resetBaseStation(b);
    checkMagneticField(0, 500002);
    EXPECT_EQ(b.magFieldNt, 0.0);
    EXPECT_EQ(b.magFieldDate, "");
    b.strLatitude = -33.9;
    b.strLongitude = 18.4;
    checkMagneticField(0, 500003);
    EXPECT_GT(b.magFieldNt, 20000.0);

    fs::current_path(home);
    fs::remove_all(dir);
}

TEST_F(BaseUpkeep, ReceivesFromTheSocket)
{
    int far = connectBase(0, "SOCK");
    BaseStation& b = baseStation[0];
    std::vector<uint8_t> glo = readFileBytes(dataPath("rtcm3/testglo.rtcm3"));
    ASSERT_GT(glo.size(), 2000u);

    // Would-block changes nothing.
    receiveBaseData(0, t0, 100000);
    EXPECT_EQ(b.connected, 1);
    EXPECT_EQ(b.rxWriteIndex, 0u);

    // A receive takes no more than the free space: the rest waits in the
    // socket for the next receive.
    std::memset(b.rxBuffer, 0x11, sizeof b.rxBuffer);
    b.rxWriteIndex = rxBufferSize - 90;
    ASSERT_EQ(write(far, glo.data(), 500), 500);
    receiveBaseData(0, t0, 100000);
    EXPECT_LE(b.rxWriteIndex, uint32_t(maxFrameBytes));
    uint8_t rest[600];
    EXPECT_EQ(recv(b.socket, rest, sizeof rest, MSG_DONTWAIT), 410);

    // The base hanging up frees the slot.
    close(far);
    peers.pop_back();
    receiveBaseData(0, t0, 100000);
    EXPECT_EQ(b.connected, 0);
    std::string out = consoleCaptureStop();
    EXPECT_EQ(out.substr(out.size() - 42), "base station closed connection gracefully\n");
}

TEST_F(BaseUpkeep, ThreadServesBasesAndClosesSilentOnes)
{
    int far = connectBase(4, "LIVE");
    BaseStation& b = baseStation[4];
    std::vector<uint8_t> glo = readFileBytes(dataPath("rtcm3/testglo.rtcm3"));
    dataThreadsRun = true;
    std::thread thread(baseDataThread);

    // Three epochs of the recording, in two writes split mid-frame.
    ASSERT_EQ(write(far, glo.data(), 700), 700);
    sleepMs(30);
    ASSERT_EQ(write(far, glo.data() + 700, 900), 900);
    // All read once only the first 21 bytes of the next 1012 are left.
    EXPECT_TRUE(waitFor([&] { return b.rxWriteIndex == 21; }));
    EXPECT_EQ(b.msg[kind1012].msgLength, 112u);
    EXPECT_EQ(b.msg[kind1004].msgNative, 1);
    EXPECT_EQ(b.lastDataTime, t0);

    // Fifteen silent seconds close the base.
    sourceTableCurrent = true;
    setWallTimeOverride(t0 + 15);
    EXPECT_TRUE(waitFor([&] { return b.connected == 0; }));
    EXPECT_TRUE(waitFor([&] { return !sourceTableCurrent; }));

    dataThreadsRun = false;
    thread.join();
    std::string out = consoleCaptureStop();
    EXPECT_NE(out.find(" no data activity from basestation LIVE\n"), std::string::npos);
    EXPECT_NE(out.find("found 1004\n"), std::string::npos);
}
