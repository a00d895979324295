// Station and system message decoders against real frames and gpsdecode,
// then descriptor limits, short frames and the station id latch.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/base_station.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "core/troposphere.h"
#include "formats/rtcm3/rtcm3_station_decode.h"
#include "platform/console.h"
#include "rtcm3_test_frames.h"
#include "support/test_support.h"

namespace {

class StationDecode : public ::testing::Test {
protected:
    void SetUp() override
    {
        initGlobals();
        initEpochValues();
    }
};

std::vector<uint8_t> capture() { return readFileBytes(dataPath("rtcm3/ntrip-capture-msm4.rtcm3")); }

std::vector<uint8_t> withoutLastBytes(const std::vector<uint8_t>& frame, size_t cut)
{
    return rtcmFrame(std::vector<uint8_t>(frame.begin() + 3, frame.end() - 3 - long(cut)));
}

}  // namespace

TEST_F(StationDecode, PositionFromNtripCapture)
{
    // gpsdecode -j < ntrip-capture-msm4.rtcm3:
    //   1005 "system":["GPS","GLONASS","GALILEO"],"sro":true,
    //        "x":1762489.6191,"y":-5027633.8438,"z":-3496008.8438
    //   1006 the same with "h":0.0343
    // Geodetic values: closed-form WGS-84 conversion (Heikkinen) in Python.
    const auto data = capture();
    BaseStation& b = baseStation[0];
    b.gpsSat[5].elevation = 30;
    b.gloSat[0].elevation = 10;
    b.galSat[39].elevation = 60;
    b.bdsSat[63].elevation = 2;   // below 3 degrees: no delay

    consoleCaptureStart();
    ASSERT_TRUE(decodeRtcm1005(nthFrame(data, 1005).data(), 0, 0));
    EXPECT_EQ(consoleCaptureStop(),
              "RTCM 1005  pos X   1762489.619100 , pos Y   -5027633.843800 , "
              "pos Z   -3496008.843800  \r\n");
    EXPECT_EQ(b.gpsIndicator, 1);
    EXPECT_EQ(b.gloIndicator, 1);
    EXPECT_EQ(b.galIndicator, 1);
    EXPECT_EQ(b.singleOscillator, 1);
    EXPECT_EQ(b.itrfYear, 0);
    EXPECT_NEAR(b.ecefX, 1762489.6191, 1e-6);
    EXPECT_NEAR(b.ecefY, -5027633.8438, 1e-6);
    EXPECT_NEAR(b.ecefZ, -3496008.8438, 1e-6);
    EXPECT_NEAR(b.latitude, -33.449845643, 1e-8);
    EXPECT_NEAR(b.longitude, -70.681351357, 1e-8);
    EXPECT_NEAR(b.ellipsoidHeight, 570.7687, 1e-3);
    EXPECT_NEAR(b.latitudeRad, -33.449845643 * 3.1415926535898 / 180, 1e-9);
    // The STR line gave no position: the sourcetable takes it, two decimals.
    EXPECT_EQ(b.strLatitude, -33.45);
    EXPECT_EQ(b.strLongitude, -70.68);
    // Every entry's troposphere follows the station.
    EXPECT_DOUBLE_EQ(b.gpsSat[5].tropoDelay, tropoDelay(30, b.latitude, b.ellipsoidHeight));
    EXPECT_DOUBLE_EQ(b.gloSat[0].tropoDelay, tropoDelay(10, b.latitude, b.ellipsoidHeight));
    EXPECT_DOUBLE_EQ(b.galSat[39].tropoDelay, tropoDelay(60, b.latitude, b.ellipsoidHeight));
    EXPECT_GT(b.gpsSat[5].tropoDelay, 2.0);
    EXPECT_EQ(b.bdsSat[63].tropoDelay, 0.0);

    // 1006: the same point and the antenna height; the sourcetable position
    // set by the first message stays.
    b.strLatitude = 12.5;
    ASSERT_TRUE(decodeRtcm1006(nthFrame(data, 1006).data(), 0, 0));
    EXPECT_NEAR(b.antennaHeight, 0.0343, 1e-9);
    EXPECT_NEAR(b.ecefZ, -3496008.8438, 1e-6);
    EXPECT_EQ(b.strLatitude, 12.5);
    EXPECT_EQ(b.strLongitude, -70.68);
}

TEST_F(StationDecode, PositionFromTestglo)
{
    // gpsdecode -j < testglo.rtcm3: 1005 "system":["GPS"],"sro":false,
    //   "x":-3869297.5138,"y":3436571.3345,"z":3717369.3757 (the negative X
    //   checks the sign of the 38-bit field); convbin's APPROX POSITION XYZ agrees.
    const auto data = readFileBytes(dataPath("rtcm3/testglo.rtcm3"));
    BaseStation& b = baseStation[0];
    b.strLatitude = 35.0;   // from the STR line: kept
    consoleCaptureStart();
    ASSERT_TRUE(decodeRtcm1005(nthFrame(data, 1005).data(), 0, 0));
    consoleCaptureStop();
    EXPECT_EQ(b.gpsIndicator, 1);
    EXPECT_EQ(b.gloIndicator, 0);
    EXPECT_EQ(b.galIndicator, 0);
    EXPECT_EQ(b.singleOscillator, 0);
    EXPECT_NEAR(b.ecefX, -3869297.5138, 1e-6);
    EXPECT_NEAR(b.ecefY, 3436571.3345, 1e-6);
    EXPECT_NEAR(b.ecefZ, 3717369.3757, 1e-6);
    EXPECT_NEAR(b.latitude, 35.872988846, 1e-8);
    EXPECT_NEAR(b.longitude, 138.389665471, 1e-8);
    EXPECT_NEAR(b.ellipsoidHeight, 1003.8599, 1e-3);
    EXPECT_EQ(b.strLatitude, 35.0);
    EXPECT_EQ(b.strLongitude, 138.39);
}

TEST_F(StationDecode, PositionEdgeCases)
{
    BaseStation& b = baseStation[0];
    b.latitude = 48.0;
    // A base that does not know where it is sends zeros: taken, nothing to convert.
    PayloadWriter zero;
    zero.u(12, 1005).u(12, 9).u(6, 0).u(3, 0b100).u(1, 0).s(38, 0).u(2, 0).s(38, 0).u(2, 0).s(38, 0);
    consoleCaptureStart();
    EXPECT_TRUE(decodeRtcm1005(rtcmFrame(zero).data(), 0, 0));
    consoleCaptureStop();
    EXPECT_EQ(b.ecefX, 0.0);
    EXPECT_EQ(b.latitude, 48.0);
    EXPECT_EQ(b.strLatitude, 0.0);
    EXPECT_EQ(b.stationId, 9);

    // 1006 height field 15000 -> 1.5 m.
    PayloadWriter h;
    h.u(12, 1006).u(12, 9).u(6, 0).u(3, 0b100).u(1, 0).s(38, -1).u(2, 0).s(38, 2).u(2, 0).s(38, 3);
    h.u(16, 15000);
    ASSERT_TRUE(decodeRtcm1006(rtcmFrame(h).data(), 0, 0));
    EXPECT_DOUBLE_EQ(b.antennaHeight, 1.5);
    EXPECT_DOUBLE_EQ(b.ecefX, -0.0001);

    // Too short by a byte: refused, nothing stored.
    const auto data = capture();
    EXPECT_FALSE(decodeRtcm1005(withoutLastBytes(nthFrame(data, 1005), 1).data(), 0, 0));
    EXPECT_FALSE(decodeRtcm1006(withoutLastBytes(nthFrame(data, 1006), 1).data(), 0, 0));
    EXPECT_DOUBLE_EQ(b.ecefX, -0.0001);

    // Another station: refused, and the latch opens for the next message.
    debugPrint = true;
    consoleCaptureStart();
    EXPECT_FALSE(decodeRtcm1005(nthFrame(data, 1005).data(), 0, 0));   // station 0
    EXPECT_EQ(consoleCaptureStop(), "RTCM ERROR station number mismatch MT1005\n");
    debugPrint = false;
    EXPECT_EQ(b.stationId, 0);
    EXPECT_DOUBLE_EQ(b.ecefX, -0.0001);
    EXPECT_FALSE(decodeRtcm1005(nthFrame(data, 1005).data(), 0, 10));
}

TEST_F(StationDecode, DescriptorsFromRealFrames)
{
    // gpsdecode -j < ntrip-capture-msm4.rtcm3:
    //   1007 "desc":"SEPCHOKE_B3E6   SPKE","setup_id":0
    //   1008 ... "serial":"5856"
    //   1033 ... "receiver":"SEPT POLARX5","firmware":"5.5.0"
    // gpsdecode does not print the receiver serial; the frame's bytes read "3075024".
    const auto data = capture();
    BaseStation& b = baseStation[0];
    ASSERT_TRUE(decodeRtcm1007(nthFrame(data, 1007).data(), 0, 0));
    EXPECT_EQ(b.antennaDescriptor, "SEPCHOKE_B3E6   SPKE");
    EXPECT_EQ(b.descriptorLength[0], 20);
    EXPECT_EQ(b.antennaSerial, "0");   // not in 1007
    ASSERT_TRUE(decodeRtcm1008(nthFrame(data, 1008).data(), 0, 0));
    EXPECT_EQ(b.antennaSerial, "5856");
    EXPECT_EQ(b.descriptorLength[1], 4);
    ASSERT_TRUE(decodeRtcm1033(nthFrame(data, 1033).data(), 0, 0));
    EXPECT_EQ(b.antennaDescriptor, "SEPCHOKE_B3E6   SPKE");
    EXPECT_EQ(b.receiverType, "SEPT POLARX5");
    EXPECT_EQ(b.firmwareVersion, "5.5.0");
    EXPECT_EQ(b.receiverSerial, "3075024");
    EXPECT_EQ(b.antennaSetupId, 0);
    const uint8_t counts[5] = {20, 4, 12, 7, 5};   // antenna, serial, receiver, rx serial, firmware
    for (int i = 0; i < 5; ++i) EXPECT_EQ(b.descriptorLength[i], counts[i]) << i;

    // gpsdecode -j < gmsd7-part1-msm4.rtcm3: station 611, 1007 "desc":"",
    //   1008 "serial":"", 1033 "receiver":"TRIMBLE NETR9","firmware":"".
    initGlobals();
    const auto gmsd = readFileBytes(dataPath("rtcm3/gmsd7-part1-msm4.rtcm3"));
    ASSERT_TRUE(decodeRtcm1007(nthFrame(gmsd, 1007).data(), 0, 0));
    EXPECT_EQ(b.stationId, 611);
    EXPECT_EQ(b.antennaDescriptor, "");
    EXPECT_EQ(b.descriptorLength[0], 0);
    ASSERT_TRUE(decodeRtcm1008(nthFrame(gmsd, 1008).data(), 0, 0));
    EXPECT_EQ(b.antennaSerial, "");
    ASSERT_TRUE(decodeRtcm1033(nthFrame(gmsd, 1033).data(), 0, 0));
    EXPECT_EQ(b.receiverType, "TRIMBLE NETR9");
    EXPECT_EQ(b.descriptorLength[2], 13);
    EXPECT_EQ(b.firmwareVersion, "");
    EXPECT_EQ(b.receiverSerial, "");
}

TEST_F(StationDecode, DescriptorLimits)
{
    BaseStation& b = baseStation[0];
    const std::string longText(40, 'A');
    // Counts up to 255 arrive; we keep 31 characters and still find the
    // fields behind the long text.
    PayloadWriter w;
    w.u(12, 1033).u(12, 0).byte(40).text(longText.c_str()).byte(3);
    w.byte(2).text("SN").byte(3).text("RX1").byte(1).text("7").byte(4).text("R123");
    ASSERT_TRUE(decodeRtcm1033(rtcmFrame(w).data(), 0, 0));
    EXPECT_EQ(b.antennaDescriptor, std::string(31, 'A'));
    EXPECT_EQ(b.descriptorLength[0], 31);
    EXPECT_EQ(b.antennaSetupId, 3);
    EXPECT_EQ(b.antennaSerial, "SN");
    EXPECT_EQ(b.receiverType, "RX1");
    EXPECT_EQ(b.firmwareVersion, "7");
    EXPECT_EQ(b.receiverSerial, "R123");
    EXPECT_EQ(b.descriptorLength[3], 4);
    EXPECT_EQ(b.descriptorLength[4], 1);

    // A count that runs past the payload refuses the message, at every text.
    const char* const stored = "SN";
    for (int broken = 0; broken < 5; ++broken) {
        PayloadWriter p;
        p.u(12, 1033).u(12, 0);
        const char* texts[5] = {"ANT", "S2", "RX2", "8", "R9"};
        for (int i = 0; i < 5; ++i) {
            const bool last = i == broken;
            p.byte(uint8_t(last ? 200 : strlen(texts[i]))).text(last ? "X" : texts[i]);
            if (i == 0 && !last) p.byte(1);
            if (last) break;
        }
        EXPECT_FALSE(decodeRtcm1033(rtcmFrame(p).data(), 0, 0)) << broken;
        EXPECT_EQ(b.antennaSerial, stored);
    }
    // No setup id after the text: refused.
    PayloadWriter noSetup;
    noSetup.u(12, 1007).u(12, 0).byte(3).text("ANT");
    EXPECT_FALSE(decodeRtcm1007(rtcmFrame(noSetup).data(), 0, 0));
    // Only the message number and half a station id.
    EXPECT_FALSE(decodeRtcm1007(rtcmFrame(std::vector<uint8_t>{0x3E, 0xF0}).data(), 0, 0));
    EXPECT_EQ(b.antennaDescriptor, std::string(31, 'A'));

    // An empty descriptor replaces the old one.
    PayloadWriter empty;
    empty.u(12, 1007).u(12, 0).byte(0).byte(5);
    ASSERT_TRUE(decodeRtcm1007(rtcmFrame(empty).data(), 0, 0));
    EXPECT_EQ(b.antennaDescriptor, "");
    EXPECT_EQ(b.descriptorLength[0], 0);
    EXPECT_EQ(b.antennaSetupId, 5);
}

TEST_F(StationDecode, SystemParameters)
{
    // gpsdecode -j: 1013 "mjd":60382,"sec":59727,"leapsecs":18.
    BaseStation& b = baseStation[0];
    const auto frame = nthFrame(capture(), 1013);
    consoleCaptureStart();
    ASSERT_TRUE(decodeRtcm1013(frame.data(), 0, 0));
    EXPECT_EQ(consoleCaptureStop(), "RTCM1013 updating mjd= 60382\n");
    EXPECT_EQ(b.mjd, 60382);
    EXPECT_EQ(b.secondsOfDay, 59727u);
    EXPECT_EQ(b.leapSeconds, 18);
    EXPECT_EQ(b.gpsWeek, 2305);   // 2024-03-10 starts GPS week 2305
    EXPECT_EQ(currentMjd.load(), 60382u);
    EXPECT_EQ(currentGpsWeek.load(), 2305);
    // The same day again: no line.
    consoleCaptureStart();
    ASSERT_TRUE(decodeRtcm1013(frame.data(), 0, 0));
    EXPECT_EQ(consoleCaptureStop(), "");

    auto m1013 = [](uint32_t mjd, uint32_t announced, int sent) {
        PayloadWriter w;
        w.u(12, 1013).u(12, 0).u(16, mjd).u(17, 100).u(5, announced).u(8, 18);
        for (int i = 0; i < sent; ++i) w.u(12, 1004).u(1, 1).u(16, 10);
        return rtcmFrame(w);
    };
    consoleCaptureStart();
    ASSERT_TRUE(decodeRtcm1013(m1013(60000, 2, 2).data(), 0, 0));
    consoleCaptureStop();
    EXPECT_EQ(b.gpsWeek, 2250);
    // Before the GPS epoch (MJD 44244, 1980-01-06): dropped.
    EXPECT_FALSE(decodeRtcm1013(m1013(44243, 0, 0).data(), 0, 0));
    EXPECT_TRUE(decodeRtcm1013(m1013(44244, 0, 0).data(), 0, 0));
    EXPECT_EQ(b.gpsWeek, 0);
    // Announcing more messages than the frame holds, or cut in the header.
    EXPECT_FALSE(decodeRtcm1013(m1013(60001, 3, 2).data(), 0, 0));
    EXPECT_FALSE(decodeRtcm1013(withoutLastBytes(frame, 1).data(), 0, 0));
    EXPECT_EQ(b.mjd, 44244);
}
