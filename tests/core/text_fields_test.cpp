#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "core/base64.h"
#include "core/text_fields.h"

namespace {

std::string encode(const std::string& s)
{
    return base64Encode(reinterpret_cast<const uint8_t*>(s.data()), int(s.size()));
}

TEST(Base64, Rfc4648VectorsBothWays)
{
    const char* vectors[][2] = {{"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},
                                {"foo", "Zm9v"},    {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                {"foobar", "Zm9vYmFy"}};
    for (auto& v : vectors) {
        EXPECT_EQ(encode(v[0]), v[1]) << v[0];
        EXPECT_EQ(base64Decode(v[1]), v[0]) << v[1];
    }
    const uint8_t m[] = {0x4D, 0x61};
    EXPECT_EQ(base64Encode(m, 1), "TQ==");
    EXPECT_EQ(base64Encode(m, 2), "TWE=");
    EXPECT_EQ(base64Encode(m, 0), "");
    EXPECT_EQ(base64Encode(nullptr, 5), "");
    EXPECT_EQ(base64Encode(m, -1), "");
    // printf 'user:marigold' | base64
    EXPECT_EQ(base64Decode("dXNlcjptYXJpZ29sZA=="), "user:marigold");

    // Every byte value survives the round trip (printf '\x00\xff\xfe' | base64 -> AP/+).
    std::string all;
    for (int i = 0; i < 256; ++i) all += char(i);
    EXPECT_EQ(base64Decode(encode(all)), all);
    EXPECT_EQ(base64Decode("AP/+"), std::string("\x00\xff\xfe", 3));
}

TEST(Base64, DecodingStopsAtPaddingOrAStranger)
{
    EXPECT_EQ(base64Decode("YWJj"), "abc");
    EXPECT_EQ(base64Decode("YWI=\r\n"), "ab");
    EXPECT_EQ(base64Decode("YWI\r\nYWJj"), "ab");        // unpadded tail, line end stops
    EXPECT_EQ(base64Decode("=YWJj"), "");
    EXPECT_EQ(base64Decode("YWJj=YWJj"), "abc");         // nothing after "=" is looked at
    EXPECT_EQ(base64Decode("YWJj YWJj"), "abc");         // a blank stops too
    EXPECT_EQ(base64Decode("YW-Jj"), "a");
    EXPECT_EQ(base64Decode("YWJjY"), "abc");             // a lone character adds nothing
    EXPECT_EQ(base64Decode("YW\xc3\xa9Jj"), "a");        // non-ASCII byte
    EXPECT_EQ(base64Decode(std::string("YW\0Jj", 5)), "a");
}

TEST(CsvFields, EmptyFieldIsSteppedOver)
{
    const char buf[] = ",12,,7";
    int cursor = 0, value = -99;
    EXPECT_EQ(getCsvInt(buf, cursor, 6, value), 1);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(cursor, 3);
    value = -99;
    EXPECT_EQ(getCsvInt(buf, cursor, 6, value), 0);
    EXPECT_EQ(value, -99);
    EXPECT_EQ(cursor, 4);                               // past the empty field
    EXPECT_EQ(getCsvInt(buf, cursor, 6, value), 1);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(cursor, 6);
    value = -99;
    EXPECT_EQ(getCsvInt(buf, cursor, 6, value), 0);     // no field left
    EXPECT_EQ(cursor, 6);
    EXPECT_EQ(value, -99);

    cursor = -1;
    EXPECT_EQ(getCsvInt(buf, cursor, 6, value), -1);
    EXPECT_EQ(cursor, -1);
    cursor = 50;                                        // beyond the buffer: nothing read
    EXPECT_EQ(getCsvInt(buf, cursor, 6, value), 0);
    EXPECT_EQ(cursor, 6);
    cursor = 0;
    EXPECT_EQ(getCsvInt(nullptr, cursor, 6, value), 0);
    EXPECT_EQ(getCsvInt2(buf, cursor, 6, value), 1);
    EXPECT_EQ(value, 12);

    // A GSV with an empty SNR: the satellite after it is still read.
    const char gsv[] = "$GPGSV,3,1,11,03,03,111,,04,15,270,00*74";
    int expected[] = {3, 1, 11, 3, 3, 111, -1, 4, 15, 270, 0};
    cursor = 0;
    for (int want : expected) {
        value = -1;
        int r = getCsvInt(gsv, cursor, int(strlen(gsv)), value);
        EXPECT_EQ(r, want < 0 ? 0 : 1);
        EXPECT_EQ(value, want);
    }
}

TEST(CsvFields, ConversionAndBounds)
{
    const char buf[] = ", -5,+7,abc,12x,99999999999,-99999999999,2147483647";
    const int len = int(strlen(buf));
    int expected[] = {-5, 7, 0, 12, INT_MAX, INT_MIN, INT_MAX};
    int cursor = 0;
    for (int want : expected) {
        int value = -1;
        EXPECT_EQ(getCsvInt(buf, cursor, len, value), 1);
        EXPECT_EQ(value, want);
    }

    // The length bounds the scan even when the text goes on.
    const char more[] = ",12,34";
    int value = 0;
    cursor = 0;
    EXPECT_EQ(getCsvInt(more, cursor, 4, value), 1);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(getCsvInt(more, cursor, 4, value), 0);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(cursor, 4);

    const char text[] = "$X,ab,,cd";
    std::string out;
    cursor = 0;
    EXPECT_TRUE(getCsvField(text, cursor, 9, out));
    EXPECT_EQ(cursor, 5);
    EXPECT_FALSE(getCsvField(text, cursor, 9, out));
    EXPECT_EQ(cursor, 6);
    EXPECT_TRUE(getCsvField(text, cursor, 9, out));
    EXPECT_EQ(out, "abcd");
    EXPECT_FALSE(getCsvField(text, cursor, 9, out));
    cursor = -2;
    EXPECT_FALSE(getCsvField(text, cursor, 9, out));
    EXPECT_EQ(out, "abcd");
}

} // namespace
