// GGA from rovers and GSV from bases.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "core/base_station.h"
#include "core/records.h"
#include "formats/nmea/nmea.h"

namespace {

// "$" + body + "*" + checksum.
std::string sentence(const std::string& body, bool lowerCase = false)
{
    unsigned sum = 0;
    for (char ch : body) sum ^= uint8_t(ch);
    char tail[8];
    snprintf(tail, sizeof tail, lowerCase ? "*%02x" : "*%02X", sum);
    return "$" + body + tail;
}

struct Gga {
    float lat = -1, lon = -1, hdop = -1, alt = -1, age = -1;
    int fix = -1, sats = -1, station = -1;
    bool parse(const std::string& s, uint32_t start = 0) { return parse(s, start, uint32_t(s.size())); }
    bool parse(const std::string& s, uint32_t start, uint32_t length)
    {
        return parseGga(s.data(), start, length, lat, lon, fix, sats, hdop, alt, age, station);
    }
};

class Nmea : public testing::Test {
protected:
    void SetUp() override { initGlobals(); }
};

TEST_F(Nmea, GgaFields)
{
    Gga g;
    // The textbook sentence, with its published checksum.
    ASSERT_TRUE(g.parse("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n"));
    EXPECT_NEAR(g.lat, 48.1173, 1e-4);
    EXPECT_NEAR(g.lon, 11.516667, 1e-5);
    EXPECT_EQ(g.fix, 1);
    EXPECT_EQ(g.sats, 8);
    EXPECT_FLOAT_EQ(g.hdop, 0.9f);
    EXPECT_FLOAT_EQ(g.alt, 545.4f);
    EXPECT_EQ(g.age, 0);
    EXPECT_EQ(g.station, 0);

    // South and west, a differential age and station, lower-case checksum
    // digits, other talker.
    ASSERT_TRUE(g.parse(sentence("GNGGA,000001.00,3345.1234,S,07012.5000,W,4,12,1.2,10.0,M,-3.0,M,2.5,0123", true)));
    EXPECT_NEAR(g.lat, -(33 + 45.1234 / 60), 1e-5);
    EXPECT_NEAR(g.lon, -(70 + 12.5 / 60), 1e-5);
    EXPECT_EQ(g.fix, 4);
    EXPECT_FLOAT_EQ(g.age, 2.5f);
    EXPECT_EQ(g.station, 123);

    // A damaged GGA, then an intact one: the second is read.
    std::string bad = sentence("GPGGA,1,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,");
    bad[10] = '9';
    ASSERT_TRUE(g.parse(bad + "\r\n" + sentence("GPGGA,1,5000.000,N,00800.000,E,2,05,1.0,100.0,M,0,M,,")));
    EXPECT_NEAR(g.lat, 50, 1e-5);
    EXPECT_EQ(g.fix, 2);

    // An intact sentence of another kind first ends the search.
    Gga h;
    EXPECT_FALSE(h.parse(sentence("GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W") +
                         "\r\n" + sentence("GPGGA,1,5000.000,N,00800.000,E,2,05,1.0,100.0,M,0,M,,")));
    EXPECT_EQ(h.lat, -1);   // outputs untouched
}

TEST_F(Nmea, GgaStaysInsideItsData)
{
    std::string s = sentence("GPGGA,1,5000.000,N,00800.000,E,2,05,1.0,100.0,M,0,M,,");
    Gga g;
    // Every cut short of the checksum's last digit is no sentence yet.
    for (uint32_t n = 0; n < s.size(); ++n) EXPECT_FALSE(g.parse(s, 0, n)) << n;
    EXPECT_TRUE(g.parse(s, 0, uint32_t(s.size())));
    // Too few fields, values that are no numbers to store, positions off
    // the globe: refused.
    EXPECT_FALSE(g.parse(sentence("GPGGA,1,5000.000,N,00800.000,E,2,05,1.0,100.0,M,0,M")));
    EXPECT_FALSE(g.parse(sentence("GPGGA,1,5000.000,N,00800.000,E,2,05,nan,100.0,M,0,M,,")));
    EXPECT_FALSE(g.parse(sentence("GPGGA,1,5000.000,N,00800.000,E,2,05,1.0,1e99,M,0,M,,")));
    EXPECT_FALSE(g.parse(sentence("GPGGA,1,9500.000,N,00800.000,E,2,05,1.0,100.0,M,0,M,,")));
    EXPECT_FALSE(g.parse(sentence("GPGGA,1,48nan,N,00800.000,E,2,05,1.0,100.0,M,0,M,,")));
    EXPECT_TRUE(g.parse(sentence("GPGGA,1,5000.000,N,00800.000,E,2,99999999999999,1.0,100.0,M,0,M,,")));
    EXPECT_EQ(g.sats, 2147483647);
    // Empty fields give 0.
    EXPECT_TRUE(g.parse(sentence("GPGGA,,,,,,,,,,,,,,")));
    EXPECT_EQ(g.lat, 0);
    EXPECT_EQ(g.lon, 0);
    EXPECT_EQ(g.fix, 0);
    EXPECT_EQ(g.sats, 0);
}

TEST_F(Nmea, FindSentence)
{
    std::string gsv = sentence("GPGSV,1,1,01,05,45,120,40");
    std::string data = "xx" + gsv + "\r\n";
    uint32_t len = 0;
    // Split at the end of the data: nothing until the last checksum digit.
    for (uint32_t n = 3; n < 2 + gsv.size(); ++n) EXPECT_EQ(findNmeaSentence(data.data(), 2, n, len), nmeaNone) << n;
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(findNmeaSentence(data.data(), 2, uint32_t(2 + gsv.size()), len), nmeaGsv);
    EXPECT_EQ(len, gsv.size());
    EXPECT_EQ(findNmeaSentence(data.data(), 0, uint32_t(data.size()), len), nmeaNone);

    std::string gga = sentence("GPGGA,1,5000.000,N,00800.000,E,2,05,1.0,100.0,M,0,M,,", true);
    EXPECT_EQ(findNmeaSentence(gga.data(), 0, uint32_t(gga.size()), len), nmeaGga);
    EXPECT_EQ(len, gga.size());
    std::string rmc = sentence("GPRMC,1,A");
    EXPECT_EQ(findNmeaSentence(rmc.data(), 0, uint32_t(rmc.size()), len), nmeaNone);
    gga[gga.size() - 1] = gga[gga.size() - 1] == '0' ? '1' : '0';
    EXPECT_EQ(findNmeaSentence(gga.data(), 0, uint32_t(gga.size()), len), nmeaNone);
    std::string bare = "$GPGSV*";
    EXPECT_EQ(findNmeaSentence(bare.data(), 0, uint32_t(bare.size()), len), nmeaNone);

    // The search for '*' stays within a sentence's reach: a '*' further out
    // belongs to something else.
    std::string runaway = sentence("GPGSV,1,1,01" + std::string(300, ','));
    EXPECT_EQ(findNmeaSentence(runaway.data(), 0, uint32_t(runaway.size()), len), nmeaNone);
    std::string longButFine = sentence("GPGSV,1,1,01" + std::string(150, ','));
    EXPECT_EQ(findNmeaSentence(longButFine.data(), 0, uint32_t(longButFine.size()), len), nmeaGsv);
}

TEST_F(Nmea, GsvStoresGeometry)
{
    BaseStation& b = baseStation[4];
    // An empty SNR field (satellite in view, not tracked) is still a field:
    // the satellites after it keep their own values.
    std::string s = sentence("GPGSV,3,1,11,05,45,120,,07,30,200,42,32,10,300,,40,50,60,30");
    ASSERT_TRUE(parseGsv(s.data(), 0, uint32_t(s.size()), 4));
    EXPECT_EQ(b.gpsSat[5].elevation, 45);
    EXPECT_EQ(b.gpsSat[5].azimuth, 120);
    EXPECT_EQ(b.gpsSat[7].elevation, 30);
    EXPECT_EQ(b.gpsSat[7].azimuth, 200);
    EXPECT_EQ(b.gpsSat[0].elevation, 10);   // 32
    EXPECT_EQ(b.gpsSat[0].azimuth, 300);
    EXPECT_EQ(b.gpsSat[39].elevation, 0);   // SBAS numbers are not GPS entries

    // A short last sentence stops at its '*', not in the next sentence.
    std::string last = sentence("GPGSV,3,3,11,23,45,123,40");
    std::string next = sentence("GPGSV,3,1,11,01,11,111,30,02,22,222,31,03,33,333,32,04,44,44,33");
    std::string data = last + "\r\n" + next + "\r\n";
    ASSERT_TRUE(parseGsv(data.data(), 0, uint32_t(data.size()), 4));
    EXPECT_EQ(b.gpsSat[23].elevation, 45);
    EXPECT_EQ(b.gpsSat[23].azimuth, 123);
    EXPECT_EQ(b.gpsSat[1].elevation, 0);
    EXPECT_EQ(b.gpsSat[1].azimuth, 0);

    // A satellite without elevation takes nothing from its neighbour.
    s = sentence("GPGSV,1,1,02,08,60,100,40,09,,,35");
    ASSERT_TRUE(parseGsv(s.data(), 0, uint32_t(s.size()), 4));
    EXPECT_EQ(b.gpsSat[8].elevation, 60);
    EXPECT_EQ(b.gpsSat[9].elevation, 0);
    EXPECT_EQ(b.gpsSat[9].azimuth, 0);

    // GLONASS 38..61 are slots 1..24, BeiDou 141..204 are 1..64.
    s = sentence("GLGSV,1,1,04,61,20,30,40,38,21,31,41,65,22,32,42,37,23,33,43");
    ASSERT_TRUE(parseGsv(s.data(), 0, uint32_t(s.size()), 4));
    EXPECT_EQ(b.gloSat[0].elevation, 20);
    EXPECT_EQ(b.gloSat[1].elevation, 21);
    for (int i = 2; i < 24; ++i) EXPECT_EQ(b.gloSat[i].elevation, 0) << i;
    s = sentence("BDGSV,1,1,03,141,24,34,44,204,25,35,45,205,26,36,46");
    ASSERT_TRUE(parseGsv(s.data(), 0, uint32_t(s.size()), 4));
    EXPECT_EQ(b.bdsSat[1].elevation, 24);
    EXPECT_EQ(b.bdsSat[0].azimuth, 35);

    // Other talkers, out-of-range geometry, bad checksum, bad base.
    s = sentence("GAGSV,1,1,01,11,50,50,50");
    EXPECT_TRUE(parseGsv(s.data(), 0, uint32_t(s.size()), 4));
    EXPECT_EQ(b.gpsSat[11].elevation, 0);
    s = sentence("GPGSV,1,1,02,12,95,50,50,13,40,70000,50");
    EXPECT_TRUE(parseGsv(s.data(), 0, uint32_t(s.size()), 4));
    EXPECT_EQ(b.gpsSat[12].elevation, 0);
    EXPECT_EQ(b.gpsSat[13].azimuth, 0);
    s = sentence("GPGSV,1,1,01,14,50,50,50");
    s[8] = '2';
    EXPECT_FALSE(parseGsv(s.data(), 0, uint32_t(s.size()), 4));
    EXPECT_EQ(b.gpsSat[14].elevation, 0);
    s = sentence("GPGSV,1,1,01,14,50,50,50");
    EXPECT_FALSE(parseGsv(s.data(), 0, uint32_t(s.size()), 10));
    EXPECT_FALSE(parseGsv(s.data(), 0, uint32_t(s.size() - 1), 4));
    std::string gga = sentence("GPGGA,1,5000.000,N,00800.000,E,2,05,1.0,100.0,M,0,M,,");
    EXPECT_FALSE(parseGsv(gga.data(), 0, uint32_t(gga.size()), 4));
}

}   // namespace
