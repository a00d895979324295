// Builders of the RTCM 3.1 set, checked field by field and against the
// values that independent decoders (gpsdecode, convbin) read from the
// built frames.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/base_station.h"
#include "core/bits.h"
#include "core/checksum.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "formats/rtcm3/rtcm3_encode.h"
#include "platform/clock.h"

namespace {

struct Reader {
    const uint8_t* buf;
    BitCursor c;
    explicit Reader(const uint8_t* b, int frameLength) : buf(b), c(bitCursor(3, uint32_t(frameLength - 3))) {}
    uint32_t u(int n) { uint64_t v; readBitsU64(v, n, c, buf); return uint32_t(v); }
    int64_t s(int n) { int64_t v; readBitsI64(v, n, c, buf); return v; }
};

bool frameOk(const uint8_t* f, int len)
{
    if (len < 6 || f[0] != 0xD3) return false;
    int payload = ((f[1] & 3) << 8) | f[2];
    return payload + 6 == len && checkCrc24q(f, size_t(len));
}

class Rtcm31Build : public ::testing::Test {
protected:
    void SetUp() override { initGlobals(); }
    uint8_t buf[1029] = {};
};

}  // namespace

// gpsdecode -j on the frame built here reads:
// {"type":1013,"length":27,"station_id":2003,"mjd":60383,"sec":43210,"leapsecs":18,
//  {"id":1004,"sync":"true","interval":10}{"id":1012,...,"interval":10}
//  {"id":1104,...,"interval":10}{"id":1005,...,"interval":100}{"id":1008,...,"interval":100}}
TEST_F(Rtcm31Build, Message1013ForABaseAndForNone)
{
    BaseStation& b = baseStation[3];
    b.stationId = 2003;
    b.mjd = 60383;
    b.secondsOfDay = 43210;
    b.leapSeconds = 18;
    int len = encodeRtcm1013(3, buf);
    ASSERT_EQ(len, 33);
    ASSERT_TRUE(frameOk(buf, len));
    Reader r(buf, len);
    EXPECT_EQ(r.u(12), 1013u);
    EXPECT_EQ(r.u(12), 2003u);
    EXPECT_EQ(r.u(16), 60383u);
    EXPECT_EQ(r.u(17), 43210u);
    EXPECT_EQ(r.u(5), 5u);
    EXPECT_EQ(r.u(8), 18u);
    const uint32_t ids[5] = {1004, 1012, 1104, 1005, 1008};
    const uint32_t intervals[5] = {10, 10, 10, 100, 100};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(r.u(12), ids[i]);
        EXPECT_EQ(r.u(1), 1u);
        EXPECT_EQ(r.u(16), intervals[i]);
    }
    EXPECT_EQ(r.u(1), 0u);   // spare bit of the last byte is clear

    // A rover slot number or -1 never reaches the base records: it gives the
    // keep-alive form with today's MJD.
    setMjd(60400);
    for (int index : {-1, 10, 57}) {
        std::memset(buf, 0xFF, sizeof buf);
        len = encodeRtcm1013(index, buf);
        ASSERT_TRUE(frameOk(buf, len));
        Reader k(buf, len);
        k.u(12);
        EXPECT_EQ(k.u(12), 0u);
        EXPECT_EQ(k.u(16), 60400u);
        EXPECT_EQ(k.u(17), 0u);
        k.u(5);
        EXPECT_EQ(k.u(8), 0u);
    }
}
