// One turn of the network-correction thread: the FKP message of a system is
// rebuilt once the system's observations are new and their message has
// stood for more than 400 ms, and read back here by the RTCM 3 layout of
// 1034 (station id 12, epoch 20 s, count 5; per satellite id 6, IODE 8,
// N0 12, E0 12 and NI 14, EI 14 signed in 0.01 ppm).

#include <gtest/gtest.h>

#include "core/base_station.h"
#include "core/erp_record.h"
#include "core/records.h"
#include "network/network_thread.h"
#include "support/rtcm_fields.h"

namespace {

// The kept frame of a kind and its stamp; empty when nothing is kept.
std::vector<uint8_t> kept(int base, int kind, uint32_t& stamp)
{
    KeptMessage& m = baseStation[base].msg[kind];
    stamp = m.msgStamp;
    if (!eventIsSet(m.msgEvent) || m.msgLength == 0) return {};
    return std::vector<uint8_t>(m.msgBuffer, m.msgBuffer + m.msgLength);
}

void keepObservations(int base, int kind, uint32_t stamp)
{
    uint8_t frame[8] = {0xD3, 0, 2, 0x3E, 0xC0, 0, 0, 0};
    ASSERT_TRUE(storeKeptMessage(baseStation[base], kind, frame, sizeof frame, stamp, true));
}

class NetworkThread : public ::testing::Test {
protected:
    void SetUp() override { initGlobals(); }
};

}   // namespace

TEST_F(NetworkThread, FkpFollowsTheObservationsAfter400ms)
{
    BaseStation& b = baseStation[3];
    b.connected = 1;
    b.stationId = 203;
    b.gpsTowMs = 423600000;
    b.gpsSat[7].epochMs = 423600000;
    b.gpsSat[9].epochMs = 423599000;   // not in the current epoch
    b.netGradient.gps[2][7] = 0.123;    // troposphere north, ppm
    b.netGradient.gps[1][7] = -0.456;   // ionosphere east, ppm
    keepObservations(3, kind1004, 10000);
    b.gpsObsNew = 1;

    uint32_t stamp = 0;
    networkCorrectionTurn(10400);
    EXPECT_TRUE(kept(3, kind1034, stamp).empty());
    EXPECT_EQ(b.gpsObsNew, 1);

    networkCorrectionTurn(10401);
    std::vector<uint8_t> f = kept(3, kind1034, stamp);
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(stamp, 10401u);
    EXPECT_EQ(b.gpsObsNew, 0);
    EXPECT_EQ(rtcmPayloadBits(f.data(), 0, 12), 1034u);
    EXPECT_EQ(rtcmPayloadBits(f.data(), 12, 12), 203u);
    EXPECT_EQ(rtcmPayloadBits(f.data(), 24, 20), 423600u);
    ASSERT_EQ(rtcmPayloadBits(f.data(), 44, 5), 1u);
    EXPECT_EQ(rtcmPayloadBits(f.data(), 49, 6), 7u);
    // The troposphere block holds the correction gradient, FKP the error's.
    EXPECT_EQ(rtcmPayloadSigned(f.data(), 63, 12), -12);    // N0
    EXPECT_EQ(rtcmPayloadSigned(f.data(), 75, 12), 0);      // E0
    EXPECT_EQ(rtcmPayloadSigned(f.data(), 87, 14), 0);      // NI
    EXPECT_EQ(rtcmPayloadSigned(f.data(), 101, 14), -45);   // EI
    // Once per epoch; GLONASS had nothing new.
    networkCorrectionTurn(10500);
    kept(3, kind1034, stamp);
    EXPECT_EQ(stamp, 10401u);
    EXPECT_TRUE(kept(3, kind1035, stamp).empty());

    // A base data thread in the middle of writing the record: the epoch waits
    // for the next turn.
    b.gpsObsNew = 1;
    beginRecordWrite(b);
    networkCorrectionTurn(10900);
    kept(3, kind1034, stamp);
    EXPECT_EQ(stamp, 10401u);
    EXPECT_EQ(b.gpsObsNew, 1);
    endRecordWrite(b);
    networkCorrectionTurn(10950);
    kept(3, kind1034, stamp);
    EXPECT_EQ(stamp, 10950u);

    // GLONASS: 1035 after the 1012; BeiDou marks are cleared with no message.
    keepObservations(3, kind1012, 20000);
    b.gloObsNew = 1;
    b.bdsObsNew = 1;
    networkCorrectionTurn(20401);
    EXPECT_FALSE(kept(3, kind1035, stamp).empty());
    EXPECT_EQ(stamp, 20401u);
    EXPECT_EQ(b.gloObsNew, 0);
    EXPECT_EQ(b.bdsObsNew, 0);
}

TEST_F(NetworkThread, SleepsTillTheSoonestObservationsHaveStood)
{
    // Nothing marked, no synthetic station: the longest sleep.
    EXPECT_EQ(networkTurnWaitMs(20000, 20000), networkIdleTurnMs);
    // Observations kept at 19650 are taken at 20051, 51 ms after the turn
    // began: the sleep ends there. One kept at 19950 is due 351 ms after the
    // turn began, past the idle turn.
    keepObservations(2, kind1012, 19650);
    baseStation[2].gloObsNew = 1;
    EXPECT_EQ(networkTurnWaitMs(20000, 20020), 31);
    EXPECT_EQ(networkTurnWaitMs(20000, 20000), 51);
    keepObservations(2, kind1012, 19950);
    EXPECT_EQ(networkTurnWaitMs(20000, 20000), 100);
    // A mark the turn left behind is tried again after the usual period.
    keepObservations(2, kind1012, 19000);
    EXPECT_EQ(networkTurnWaitMs(20000, 20010), networkTurnMs - 10);
    baseStation[2].gloObsNew = 0;
    // A synthetic station keeps the usual period.
    erp[4].inUse = 1;
    EXPECT_EQ(networkTurnWaitMs(20000, 20010), networkTurnMs - 10);
    EXPECT_EQ(networkTurnWaitMs(20000, 20070), 1);
}
