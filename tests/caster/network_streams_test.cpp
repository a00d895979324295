// The network streams of the stream sender: a new epoch of the master is
// seen by its observation message's stamp, and its network frames follow
// 200 ms later; the MAC stream's correction differences are read back
// with a bit reader written here from the RTCM 3 message layout of 1015
// (network id 8, subnetwork 4, epoch 23 in 0.1 s, multiple message 1,
// master id 12, auxiliary id 12, satellite count 4; per satellite id 6,
// ambiguity status 2, non-sync count 3, difference 17 signed in 0.5 mm).

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "caster/stream_sender.h"
#include "rover_test_support.h"
#include "support/rtcm_fields.h"

using namespace rovertest;

namespace {

struct Frame {
    int number = 0;
    std::vector<uint8_t> bytes;
};

std::vector<Frame> frames(const std::vector<uint8_t>& stream)
{
    std::vector<Frame> out;
    size_t p = 0;
    while (p + 6 <= stream.size()) {
        size_t length = ((size_t(stream[p + 1]) & 0x03) << 8 | stream[p + 2]) + 6;
        if (p + length > stream.size()) break;
        Frame f;
        f.bytes.assign(stream.begin() + long(p), stream.begin() + long(p + length));
        f.number = int(rtcmPayloadBits(f.bytes.data(), 0, 12));
        out.push_back(f);
        p += length;
    }
    EXPECT_EQ(p, stream.size()) << "a cut frame";
    return out;
}

// 1017 carries after the non-sync count the geometric difference (17) and
// the IODE (8) before the ionospheric one.
struct Ionospheric1015 {
    int master = 0, aux = 0, multiple = 0;
    uint32_t epoch = 0;
    std::vector<std::pair<int, double>> satellites;   // id, ionospheric metres
    std::vector<double> geometric;                    // 1017: metres
};

Ionospheric1015 read1015(const Frame& f)
{
    const uint8_t* b = f.bytes.data();
    const bool combined = f.number == 1017;
    Ionospheric1015 m;
    m.epoch = uint32_t(rtcmPayloadBits(b, 24, 23));
    m.multiple = int(rtcmPayloadBits(b, 47, 1));
    m.master = int(rtcmPayloadBits(b, 48, 12));
    m.aux = int(rtcmPayloadBits(b, 60, 12));
    int count = int(rtcmPayloadBits(b, 72, 4));
    unsigned pos = 76;
    for (int k = 0; k < count; ++k, pos += combined ? 53 : 28) {
        unsigned iono = pos + 11;
        if (combined) {
            m.geometric.push_back(double(rtcmPayloadSigned(b, pos + 11, 17)) * 0.0005);
            iono += 25;
        }
        m.satellites.push_back({int(rtcmPayloadBits(b, pos, 6)),
                                double(rtcmPayloadSigned(b, iono, 17)) * 0.0005});
    }
    return m;
}

constexpr uint32_t tow = 423600000;

// A base at `tow` with GPS satellites 5 and 12 and the given L1 phase
// advances.
void gpsEpoch(int base, uint16_t stationId, double advance5, double advance12)
{
    BaseStation& b = baseStation[base];
    b.stationId = stationId;
    b.gpsTowMs = tow;
    for (int slot : {5, 12}) {
        b.gpsSat[slot].epochMs = tow;
        b.gpsSat[slot].levelling.count = 600;
    }
    b.gpsSat[5].phaseAdvance[0] = advance5;
    b.gpsSat[12].phaseAdvance[0] = advance12;
}

class NetworkStreams : public RoverTest {};

}   // namespace

TEST_F(NetworkStreams, MacEpochFollowsTheMasterAfter200msWithEachAuxiliary)
{
    for (int b = 0; b < 4; ++b) makeTrustedBase(b);
    gpsEpoch(0, 201, 2.000, 3.000);
    gpsEpoch(1, 202, 2.010, 2.950);
    gpsEpoch(2, 203, 2.100, 3.100);
    gpsEpoch(3, 204, 1.990, std::numeric_limits<double>::quiet_NaN());
    baseStation[2].gpsTowMs = tow - 1000;   // one epoch behind: takes no part
    // A troposphere where both stations know the elevation: a geometric
    // difference, and the combined message; none where one does not.
    baseStation[0].gpsSat[5].tropoDelay = 2.500;
    baseStation[1].gpsSat[5].tropoDelay = 2.430;
    baseStation[3].gpsSat[12].tropoDelay = 2.6;
    keep(0, kind1004, rtcmFrame(1004, 40), 500);
    keep(0, kind1012, rtcmFrame(1012, 40), 500);

    SocketPair p = pair();
    attachRover(0, p.caster, 20, 0);
    Client& c = client[0];
    c.auxBase[0] = 1;
    c.auxBase[1] = 2;
    c.auxBase[2] = 3;

    // The epoch is seen at 1000; nothing of it goes out before 1200.
    EXPECT_TRUE(sendBaseDataAt(0, 1000));
    EXPECT_TRUE(c.netPending[0]);
    EXPECT_EQ(c.lastSent1004, 500u);
    EXPECT_TRUE(drain(p.rover).empty());
    EXPECT_TRUE(sendBaseDataAt(0, 1199));
    EXPECT_TRUE(drain(p.rover).empty());

    // GLONASS first: no auxiliary has the master's GLONASS epoch, so only the
    // master's 1012; then GPS: the master's 1004 and one 1015 per auxiliary
    // that takes part, the first saying that another follows.
    EXPECT_TRUE(sendBaseDataAt(0, 1201));
    std::vector<Frame> got = frames(drain(p.rover));
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].number, 1012);
    EXPECT_EQ(got[1].number, 1004);
    ASSERT_EQ(got[2].number, 1017);
    ASSERT_EQ(got[3].number, 1015);
    Ionospheric1015 first = read1015(got[2]), second = read1015(got[3]);
    EXPECT_EQ(first.epoch, tow / 100);
    EXPECT_EQ(first.master, 201);
    EXPECT_EQ(first.aux, 202);
    EXPECT_EQ(first.multiple, 1);
    ASSERT_EQ(first.satellites.size(), 2u);
    EXPECT_EQ(first.satellites[0].first, 5);
    EXPECT_NEAR(first.satellites[0].second, 2.000 - 2.010, 0.001);
    EXPECT_EQ(first.satellites[1].first, 12);
    EXPECT_NEAR(first.satellites[1].second, 3.000 - 2.950, 0.001);
    ASSERT_EQ(first.geometric.size(), 2u);
    EXPECT_NEAR(first.geometric[0], 0.070, 0.001);
    EXPECT_EQ(first.geometric[1], 0.0);
    // The third auxiliary: its satellite 12 has no finite value and is left out.
    EXPECT_EQ(second.aux, 204);
    EXPECT_EQ(second.multiple, 0);
    ASSERT_EQ(second.satellites.size(), 1u);
    EXPECT_EQ(second.satellites[0].first, 5);
    EXPECT_NEAR(second.satellites[0].second, 0.010, 0.001);
    EXPECT_FALSE(c.netPending[0]);
    EXPECT_FALSE(c.netPending[1]);
    EXPECT_EQ(c.lastSent1015, 500u);
    EXPECT_EQ(c.lastSent1017, 500u);

    // Once per epoch: the next pass sends nothing.
    EXPECT_TRUE(sendBaseDataAt(0, 1400));
    EXPECT_TRUE(drain(p.rover).empty());

    // A new stamp 150 ms after the last renews the wait.
    keep(0, kind1004, rtcmFrame(1004, 40), 1500);
    EXPECT_TRUE(sendBaseDataAt(0, 1500));
    keep(0, kind1004, rtcmFrame(1004, 40), 1650);
    EXPECT_TRUE(sendBaseDataAt(0, 1650));
    EXPECT_TRUE(sendBaseDataAt(0, 1750));
    EXPECT_TRUE(drain(p.rover).empty());
    EXPECT_TRUE(sendBaseDataAt(0, 1851));
    got = frames(drain(p.rover));
    ASSERT_GE(got.size(), 1u);
    EXPECT_EQ(got[0].number, 1004);
}

TEST_F(NetworkStreams, EveryStreamKeepsItsEpochStamps)
{
    makeTrustedBase(0);
    keep(0, kind1004, rtcmFrame(1004, 40), 700);
    keep(0, kind1074, rtcmFrame(1074, 40), 710);
    keep(0, kind1094, rtcmFrame(1094, 40), 720);
    keep(0, kindCmr0, rtcmFrame(1000, 20), 730);
    // Single base, FKP and every iMAC stream see the master's new epochs;
    // the iMAC streams of MSM, CMR and NCT also by their own kinds.
    struct Case {
        int code;
        bool gps, gal;
        uint32_t Client::*own;
        uint32_t ownStamp;
    } cases[] = {{0, false, false, nullptr, 0},   // relayed at once, taken by the relay
                 {40, false, false, nullptr, 0},  // likewise
                 {30, true, false, nullptr, 0},
                 {32, true, true, &Client::lastSent1074, 710},
                 {34, true, false, &Client::lastSentCmr0, 730},
                 {50, true, false, nullptr, 0}};
    int slot = 20;
    for (const Case& k : cases) {
        SocketPair p = pair();
        attachRover(slot, p.caster, k.code, 0);
        sendBaseDataAt(slot, 1000);
        Client& c = client[slot];
        EXPECT_EQ(c.lastSent1004, 700u) << k.code;
        EXPECT_EQ(c.netPending[0], k.gps) << k.code;
        EXPECT_EQ(c.netPending[3], k.gal) << k.code;
        if (k.own) {
            EXPECT_EQ(c.*k.own, k.ownStamp) << k.code;
        }
        // The iMAC frames themselves are not built here: a due system is
        // cleared without sending anything.
        if (k.code >= 30 && k.code < 40) {
            drain(p.rover);
            sendBaseDataAt(slot, 1300);
            EXPECT_FALSE(c.netPending[0]) << k.code;
        }
        closeClient(c);
        ++slot;
    }
}
