// BINR builders: fixed layouts, and DLE doubling so that data bytes of 0x10
// cannot be taken for the end of a frame.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/base_station.h"
#include "core/records.h"
#include "formats/binr/binr_encode.h"

namespace {

// A receiver's deframing: DLE id, data with doubled DLEs, DLE ETX. Returns
// false on a frame that does not close where the bytes say.
bool unframe(const uint8_t* f, int len, uint8_t& id, std::vector<uint8_t>& data)
{
    data.clear();
    if (len < 4 || f[0] != 0x10) return false;
    id = f[1];
    for (int i = 2; i < len; ++i) {
        if (f[i] == 0x10) {
            if (i + 1 < len && f[i + 1] == 0x10) {
                data.push_back(0x10);
                ++i;
            } else {
                return i + 1 == len - 1 && f[i + 1] == 0x03;
            }
        } else {
            data.push_back(f[i]);
        }
    }
    return false;
}

class BinrBuild : public ::testing::Test {
protected:
    void SetUp() override { initGlobals(); }
    uint8_t buf[binrMaxFrameBytes] = {};
};

}  // namespace

TEST_F(BinrBuild, ReferencePosition6A)
{
    BaseStation& b = baseStation[1];
    b.latitude = -45.0;
    b.longitude = 90.0;
    b.ellipsoidHeight = 123.9;
    int len = encodeBinr6A(buf, 1);
    ASSERT_EQ(len, 18);
    const uint8_t expect[18] = {0x10, 0x6A, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x20, 0x7B, 0x00,
                                0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x10, 0x03};
    EXPECT_EQ(0, std::memcmp(buf, expect, 18));
    EXPECT_EQ(encodeBinr6A(buf, 10), 0);
}

// A height of 16 m puts 0x10 into the data: it is doubled, and a receiver
// that deframes by DLE gets the 14 data bytes back intact.
TEST_F(BinrBuild, FrameWith0x10InItsData)
{
    BaseStation& b = baseStation[0];
    b.latitude = 0;
    b.longitude = 0;
    b.ellipsoidHeight = 16.0;
    int len = encodeBinr6A(buf, 0);
    ASSERT_EQ(len, 19);
    EXPECT_EQ(buf[8], 0x10);
    EXPECT_EQ(buf[9], 0x10);
    uint8_t id = 0;
    std::vector<uint8_t> data;
    ASSERT_TRUE(unframe(buf, len, id, data));
    EXPECT_EQ(id, 0x6A);
    ASSERT_EQ(data.size(), 14u);
    EXPECT_EQ(data[6], 16);
    EXPECT_EQ(data[7], 0);

    // The same in 69h: satellite 16 with a reference word of 0x1010.
    b.gpsTowMs = 3600500;
    b.gpsSatCount = 1;
    GpsSatObs& s = b.gpsSat[16];
    s.epochMs = 3600500;
    s.nctRefWord = 0x1010;
    s.deltaIonoScaled = -2;
    s.codeDelayF[0] = 2.5f;
    s.ionoRate[0] = -0.125f;
    len = encodeBinr69(buf, 0, 1);
    ASSERT_TRUE(unframe(buf, len, id, data));
    EXPECT_EQ(len, 7 + 13 + 3);   // three doubled bytes
    EXPECT_EQ(id, 0x69);
    const uint8_t expect[16] = {1, 0, 0, 16, 0x10, 0x10, 0xFE, 0xFF, 0, 0, 0x20, 0x40, 0, 0, 0, 0xBE};
    ASSERT_EQ(data.size(), 16u);
    EXPECT_EQ(0, std::memcmp(data.data(), expect, 16));
}

TEST_F(BinrBuild, IonosphereMessage69)
{
    BaseStation& b = baseStation[0];
    b.gloEpochMs = 3599999;
    b.gloSatCount = 2;
    for (int slot : {0, 5}) {
        b.gloSat[slot].epochMs = 3599999;
        b.gloSat[slot].ephemerisTb = 80;
    }
    b.gloSat[6].epochMs = 1;   // an older epoch
    int len = encodeBinr69(buf, 0, 2);
    ASSERT_EQ(len, 7 + 2 * 13);
    EXPECT_EQ(buf[2], 2);
    EXPECT_EQ(buf[3] | buf[4] << 8, 3599);
    EXPECT_EQ(buf[5], 24);   // entry 0 is satellite 24
    EXPECT_EQ(buf[6], 80);
    EXPECT_EQ(buf[5 + 13], 5);

    // No satellites counted, or another system: the 7-byte frame.
    b.gloSatCount = 0;
    EXPECT_EQ(encodeBinr69(buf, 0, 2), 7);
    len = encodeBinr69(buf, 0, 3);
    const uint8_t empty[7] = {0x10, 0x69, 0x03, 0, 0, 0x10, 0x03};
    ASSERT_EQ(len, 7);
    EXPECT_EQ(0, std::memcmp(buf, empty, 7));
}
