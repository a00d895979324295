// Network streams end to end, over the real binary: the simulated network's
// five bases replayed in lockstep, rovers at the two rover points on the
// FKP and MAC streams. Every epoch must bring frames that decode: the
// observations with convbin, the FKP and MAC messages with the reader below,
// written from the public RTCM 3 message layouts and nothing of the caster.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <unistd.h>

#include "network_replay.h"
#include "replay_base.h"
#include "stream_frames.h"
#include "support/test_support.h"

namespace {

const std::vector<std::string> simulatedBases = {"BAS1", "BAS2", "BAS3", "BAS4", "BAS5"};
// truth.json of the simulated network.
constexpr double rov1Lat = 47.2282831, rov1Lon = 15.0085323, rov1H = 486.955;
constexpr double rov2Lat = 47.0089932, rov2Lon = 15.75, rov2H = 496.080;

SplitStream splitRover(const NetworkRover& r)
{
    return splitStream(r.capture, greetingLength(r.capture.bytes), RoverFormat::rtcm);
}

}   // namespace

TEST(NetworkStreamsE2E, HarnessReplaysTheNetworkInLockstep)
{
    NetworkReplay net;
    ASSERT_TRUE(net.addBases(dataPath("network/simulated"), simulatedBases));
    ASSERT_EQ(net.bases().size(), 5u);
    // The 1006 position of BAS1 is that of truth.json.
    EXPECT_NEAR(net.bases()[0].latitude, 47.3300959, 1e-6);
    EXPECT_NEAR(net.bases()[0].longitude, 14.9589589, 1e-6);
    ASSERT_TRUE(net.start(2.0, 600));
    int early = net.addRover("RTCM31_NEAR", rov1Lat, rov1Lon, rov1H);
    ASSERT_GE(early, 0);
    ASSERT_TRUE(net.waitTrusted(80000)) << net.caster().console();
    net.runFor(8000);
    std::vector<ReplayedEpoch> sent = net.replayed();
    ASSERT_GT(sent.size(), 120u);
    EXPECT_EQ(sent[0].towMs, (423000u + 600u) * 1000u);
    for (size_t k = 1; k < sent.size(); ++k) {
        EXPECT_EQ(sent[k].towMs - sent[k - 1].towMs, 1000u);
        EXPECT_EQ(sent[k].bases, 5);
        EXPECT_GE(sent[k].sentAtMs - sent[k - 1].sentAtMs, 400.0);
    }
    // The rover near BAS1 is served BAS1's epochs.
    SplitStream s = splitRover(net.rover(early));
    EXPECT_EQ(s.error, "");
    EXPECT_GE(countFrames(s, 0, 1004), 10);
}
