#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "core/base_station.h"
#include "core/checksum.h"
#include "core/erp_record.h"
#include "core/records.h"
#include "platform/clock.h"
#include "support/rtcm_walk.h"
#include "support/test_support.h"

namespace {
class Records : public ::testing::Test {
protected:
    void SetUp() override { initGlobals(); }
};

// A valid RTCM 3 frame of `payload` bytes whose content depends on `seed`.
std::vector<uint8_t> makeFrame(uint32_t payload, uint32_t seed)
{
    std::vector<uint8_t> f(payload + 6);
    f[0] = 0xD3;
    f[1] = uint8_t(payload >> 8);
    f[2] = uint8_t(payload);
    for (uint32_t i = 0; i < payload; ++i) f[3 + i] = uint8_t(seed * 31 + i * 7);
    appendCrc24q(f.data(), payload + 3);
    return f;
}
}

TEST_F(Records, FreshBaseRecordDefaults)
{
    BaseStation& b = baseStation[3];
    EXPECT_EQ(b.socket, invalidSocket);
    for (auto& m : b.msg) EXPECT_FALSE(eventIsSet(m.msgEvent));
    EXPECT_EQ(b.gpsTowMs, 1u);
    EXPECT_EQ(b.gloEpochMs, 1u);
    EXPECT_EQ(b.bdsTowMs, 1u);
    EXPECT_EQ(b.galTowMs, 1u);
    EXPECT_EQ(b.antennaDescriptor, "GPPNULLANTENNA");
    EXPECT_EQ(b.descriptorLength[0], 14);
    EXPECT_EQ(b.receiverType, "UNKNOWN");
    EXPECT_EQ(b.descriptorLength[2], 7);
    for (auto& s : b.gpsSat) {
        EXPECT_DOUBLE_EQ(s.cmrConvL1, 0.000743709);
        EXPECT_DOUBLE_EQ(s.cmrConvL2, 0.000953371);
        EXPECT_DOUBLE_EQ(s.ionoFilter[5].P, 1.0);
        EXPECT_DOUBLE_EQ(s.ionoFilter[5].R, 0.1);
        EXPECT_DOUBLE_EQ(s.ionoFilter[5].F, 1.0);
    }
    for (auto& s : b.galSat) {
        EXPECT_DOUBLE_EQ(s.carrierHz[0], 1575.42e6);
        EXPECT_DOUBLE_EQ(s.carrierHz[1], 1278.75e6);
        EXPECT_DOUBLE_EQ(s.carrierHz[2], 1176.45e6);
    }

    EXPECT_EQ(gpsSatIndex(32), 0);
    EXPECT_EQ(bdsSatIndex(64), 0);
    EXPECT_EQ(gloSatIndex(24), 0);
    EXPECT_EQ(galSatIndex(52), 0);
    EXPECT_EQ(gpsSatIndex(40), -1);
    EXPECT_EQ(gloSatIndex(25), -1);
    EXPECT_EQ(bdsSatIndex(0), -1);
    EXPECT_EQ(gpsSatNumber(0), 32);

    const Client& c = client[99];
    EXPECT_EQ(c.clientSocket, invalidSocket);
    EXPECT_EQ(c.streamCode, -1);
    EXPECT_EQ(c.auxBase[2], -1);
    EXPECT_DOUBLE_EQ(c.nearestDistance, -1.0);
    EXPECT_EQ(erp[9].gpsEpochMs, 1u);
    EXPECT_EQ(base64Alphabet.size(), 64u);
    EXPECT_EQ(glonassChannelBySlot[0], 9);
    EXPECT_FLOAT_EQ(glonassL1Freq[7], 1602.0e6f);
    EXPECT_FLOAT_EQ(glonassL2Freq[0], 1246.0e6f - 7 * 437500.0f);
}

// The slot table stands in for the channel of MSM and NCT input without a
// 1020: it must say what the satellites themselves announce in the real
// recordings (1020 ephemerides and 1011/1012 observations).
TEST(GlonassChannels, SlotTableAgreesWithEveryChannelTheRecordingsAnnounce)
{
    int checked = 0;
    for (const char* name : {"ntrip-capture-msm4", "gmsd7-part1-msm4", "testglo", "mixed-kinds"}) {
        const std::vector<uint8_t> data = readFileBytes(dataPath(std::string("rtcm3/") + name + ".rtcm3"));
        for (const RtcmWalkFrame& f : walkRtcmFrames(data)) {
            const uint8_t* p = &data[f.offset + 3];
            auto bits = [&](unsigned at, unsigned n) {
                uint32_t v = 0;
                for (unsigned i = at; i < at + n; ++i) v = (v << 1) | ((p[i / 8] >> (7 - i % 8)) & 1u);
                return v;
            };
            std::vector<std::pair<uint32_t, uint32_t>> satChannel;
            if (f.messageNumber == 1020) satChannel.push_back({bits(12, 6), bits(18, 5)});
            if (f.messageNumber == 1011 || f.messageNumber == 1012) {
                const unsigned count = bits(52, 5), block = f.messageNumber == 1012 ? 130 : 107;
                for (unsigned k = 0; k < count; ++k)
                    satChannel.push_back({bits(61 + k * block, 6), bits(61 + k * block + 7, 5)});
            }
            for (auto [sat, channel] : satChannel) {
                if (sat < 1 || sat > 24) continue;
                SCOPED_TRACE(std::string(name) + " R" + std::to_string(sat));
                EXPECT_EQ(glonassChannelBySlot[sat % 24], channel);
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 100);
}

TEST_F(Records, ResetFreesTheSlotAndKeepsWhatTheNextBaseOverwrites)
{
    BaseStation& b = baseStation[0];
    b.connected = 1;
    b.trusted = 1;
    b.mountpoint = "MOUNT";
    b.latitude = 52.5;
    b.longitude = 13.4;
    b.ellipsoidHeight = 80.0;
    b.gpsTowMs = 12345;
    b.stationId = 99;
    b.antennaDescriptor = "TRM59800.00";
    b.gpsSat[5].slipCount = 3;
    b.gpsSat[5].smoothState[0] = 2e7;
    b.gloSat[3].ionoFilter[0].P = 0.01;
    auto f = makeFrame(20, 1);
    for (int k = 0; k < msgKindCount; ++k) {
        if (msgCapacity(k) < f.size()) continue;
        ASSERT_TRUE(storeKeptMessage(b, k, f.data(), uint32_t(f.size()), 700, true));
        ASSERT_TRUE(storeKeptMessage(b, k, f.data(), uint32_t(f.size()), 777, true));
    }
    b.netGradient.gps[1][5] = 0.5;

    resetBaseStation(b);
    EXPECT_EQ(b.connected, 0);
    EXPECT_EQ(b.trusted, 0);
    EXPECT_EQ(b.socket, invalidSocket);
    EXPECT_TRUE(b.mountpoint.empty());
    EXPECT_EQ(b.gpsTowMs, 1u);
    EXPECT_EQ(b.stationId, 0);
    EXPECT_EQ(b.antennaDescriptor, "GPPNULLANTENNA");
    EXPECT_EQ(b.descriptorLength[0], 14);
    for (auto& m : b.msg) {
        EXPECT_FALSE(eventIsSet(m.msgEvent));
        EXPECT_EQ(m.msgLength, 0u);
        EXPECT_EQ(m.msgStamp, 0u);
        EXPECT_EQ(m.msgRxTime, 0u);
    }
    // Kept for the next base to overwrite.
    EXPECT_DOUBLE_EQ(b.latitude, 52.5);
    EXPECT_DOUBLE_EQ(b.longitude, 13.4);
    EXPECT_DOUBLE_EQ(b.ellipsoidHeight, 80.0);
    EXPECT_DOUBLE_EQ(b.netGradient.gps[1][5], 0.5);
    EXPECT_EQ(b.msg[kind1004].msgPrevRxTime, 700u);
    // A new base must not inherit the old one's filter and slip state.
    EXPECT_EQ(b.gpsSat[5].slipCount, 0);
    EXPECT_DOUBLE_EQ(b.gpsSat[5].smoothState[0], 0.0);
    EXPECT_DOUBLE_EQ(b.gloSat[3].ionoFilter[0].P, 1.0);
}

TEST_F(Records, ResetWaitsForAHolderInsteadOfRunningOverIt)
{
    BaseStation& b = baseStation[1];
    b.connected = 1;
    b.mountpoint = "HELD";
    std::atomic<bool> holding{false};
    std::thread holder([&] {
        waitMutex(b.mutex, 0);
        holding = true;
        sleepMs(1500);
        b.mountpoint = "HELD2";   // an update still in progress
        releaseMutex(b.mutex);
    });
    while (!holding) sleepMs(1);
    resetBaseStation(b);
    holder.join();
    EXPECT_EQ(b.connected, 0);
    EXPECT_TRUE(b.mountpoint.empty());
    // The reset released what it took and nothing more.
    EXPECT_TRUE(waitMutex(b.mutex, 0));
    releaseMutex(b.mutex);
}

TEST_F(Records, KeptFramesRefuseWhatDoesNotFit)
{
    BaseStation& b = baseStation[2];
    auto f25 = makeFrame(19, 5);
    auto f26 = makeFrame(20, 5);
    EXPECT_TRUE(storeKeptMessage(b, kind1005, f25.data(), 25, 10, true));
    EXPECT_FALSE(storeKeptMessage(b, kind1005, f26.data(), 26, 11, true));
    EXPECT_EQ(b.msg[kind1005].msgStamp, 10u);
    EXPECT_EQ(b.msg[kind1005].msgNative, 1);

    uint8_t out[maxFrameBytes];
    uint32_t len = 0, stamp = 0;
    EXPECT_TRUE(copyKeptMessage(b, kind1005, out, len, stamp, 0));
    EXPECT_EQ(len, 25u);
    EXPECT_EQ(stamp, 10u);
    EXPECT_FALSE(copyKeptMessage(b, kind1005, out, len, stamp, 10));   // already taken
    resetEvent(b.msg[kind1005].msgEvent);
    EXPECT_FALSE(copyKeptMessage(b, kind1005, out, len, stamp, 0));   // being rewritten

    // A built frame does not move the reception times.
    EXPECT_TRUE(storeKeptMessage(b, kind1005, f25.data(), 25, 20, false));
    EXPECT_EQ(b.msg[kind1005].msgRxTime, 10u);
    EXPECT_EQ(b.msg[kind1005].msgNative, 0);
}

TEST_F(Records, ReadersNeverSeeATornFrame)
{
    BaseStation& b = baseStation[4];
    std::atomic<bool> stop{false};
    std::atomic<long> copies{0}, torn{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            uint32_t seed = uint32_t(w) * 100000;
            while (!stop) {
                auto f = makeFrame(100 + seed % 900, seed);
                storeKeptMessage(b, kind1004, f.data(), uint32_t(f.size()), seed + 1, true);
                ++seed;
            }
        });
    }
    for (int r = 0; r < 3; ++r) {
        threads.emplace_back([&] {
            uint8_t out[maxFrameBytes];
            uint32_t last = 0;
            while (!stop) {
                uint32_t len = 0, stamp = 0;
                if (!copyKeptMessage(b, kind1004, out, len, stamp, last)) continue;
                last = stamp;
                ++copies;
                if (!checkCrc24q(out, len)) ++torn;
            }
        });
    }
    sleepMs(700);
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_GT(copies.load(), 100);
    EXPECT_EQ(torn.load(), 0);
}

TEST_F(Records, CloseClientFreesTheSlot)
{
    Client& c = client[7];
    c.active = true;
    c.clientSocket = invalidSocket;
    c.connectTimeText = "07/Dec/2026:12:00:00 GMT\r\n";
    c.masterBase = 2;
    c.auxBase[1] = 3;
    c.erpIndex = 4;
    c.streamCode = 10;
    c.nearestDistance = 12.5;
    c.credential = "user:pass";
    c.lastSent1004 = 55;
    c.lastSent1034 = 66;
    closeClient(c);
    EXPECT_FALSE(c.active);
    EXPECT_EQ(c.clientSocket, invalidSocket);
    EXPECT_EQ(c.masterBase, -1);
    EXPECT_EQ(c.auxBase[1], -1);
    EXPECT_EQ(c.erpIndex, -1);
    EXPECT_EQ(c.streamCode, -1);
    EXPECT_DOUBLE_EQ(c.nearestDistance, -1.0);
    EXPECT_TRUE(c.credential.empty());
    EXPECT_EQ(c.lastSent1004, 0u);
    EXPECT_EQ(c.lastSent1034, 66u);   // network stamps survive a reset
    EXPECT_EQ(c.connectTimeText, "07/Dec/2026:12:00:00 GMT\r\n");
    EXPECT_TRUE(waitMutex(c.mutex, 0));
    releaseMutex(c.mutex);
}

TEST_F(Records, SlipRuleCountsSlipsAMinuteApart)
{
    GpsSatObs s;
    const uint16_t up[3] = {100, 100, 0};
    const uint16_t down[3] = {10, 100, 0};
    applySlipRule(s, up, 1000);
    EXPECT_EQ(s.slipFlag, 0);
    applySlipRule(s, down, 1000);   // first slip always counts
    EXPECT_EQ(s.slipFlag, 1);
    EXPECT_EQ(s.slipCount, 1);
    applySlipRule(s, up, 1010);
    EXPECT_EQ(s.slipFlag, 0);
    applySlipRule(s, down, 1030);   // 30 s later: flagged, not counted
    EXPECT_EQ(s.slipFlag, 1);
    EXPECT_EQ(s.slipCount, 1);
    uint32_t t = 1030;
    for (int i = 0; i < 7; ++i) {
        applySlipRule(s, up, t);
        t += 61;
        applySlipRule(s, down, t);
    }
    EXPECT_EQ(s.slipCount, 1);   // 2..7 then round to 1

    BdsSatObs bds;
    const uint16_t b1[3] = {50, 50, 50};
    const uint16_t b2[3] = {50, 10, 60};
    applySlipRuleBds(bds, b1, 5000);
    applySlipRuleBds(bds, b2, 5000);
    EXPECT_EQ(bds.slipFlag[0], 0);
    EXPECT_EQ(bds.slipFlag[1], 1);
    EXPECT_EQ(bds.slipFlag[2], 0);
    EXPECT_EQ(bds.slipCount, 1);
}
